// The verdict board's lines from a station's events, and the JSON lines of the same events.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/StationBoard.h"

namespace {

StationEvent Event(StationEvent::Kind kind, const std::string& port) {
    StationEvent event;
    event.kind = kind;
    event.port = port;
    return event;
}

TEST(StationBoard, RowsFollowEachPortAndVerdictsStayUntilTheUnitIsPulled) {
    StationBoard board;
    StationEvent phase = Event(StationEvent::Kind::Phase, "/dev/ttyUSB0");
    phase.phase = UnitPhase::Flashing;
    phase.percent = 45;
    phase.serialKnown = true;
    phase.serialNumber = 0x2A;
    phase.type = "U";
    board.Apply(Event(StationEvent::Kind::Arrived, "/dev/ttyUSB0"));
    board.Apply(phase);
    board.Apply(Event(StationEvent::Kind::Arrived, "/dev/ttyUSB1"));
    StationEvent fail = Event(StationEvent::Kind::Verdict, "/dev/ttyUSB1");
    fail.verdict = UnitVerdict::Fail;
    fail.reason = "unplugged";
    board.Apply(Event(StationEvent::Kind::Departed, "/dev/ttyUSB1"));  // pulled at work: the verdict still comes
    board.Apply(fail);
    StationEvent pass = Event(StationEvent::Kind::Verdict, "/dev/ttyUSB2");
    pass.verdict = UnitVerdict::Pass;
    board.Apply(pass);

    std::vector<std::string> lines = board.Lines(3600, 200, false);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "/dev/ttyUSB0  000000000000002A  U   flashing 45 %");
    EXPECT_EQ(lines[1], "/dev/ttyUSB1  -                 -   [  FAIL  ] unplugged");
    EXPECT_EQ(lines[2], "/dev/ttyUSB2  -                 -   [  PASS  ]");
    EXPECT_EQ(lines[3], "passed 1  failed 1  skipped 0  2 units per hour");

    // The pass stays until its unit goes; the port then waits for the next, and the counters keep counting.
    board.Apply(Event(StationEvent::Kind::Departed, "/dev/ttyUSB2"));
    lines = board.Lines(3600, 200, false);
    EXPECT_EQ(lines[2], "/dev/ttyUSB2  -                 -   waiting");
    EXPECT_EQ(lines[3], "passed 1  failed 1  skipped 0  2 units per hour");

    // On a terminal the verdict is a coloured badge, and a narrow one cuts lines without cutting an escape.
    lines = board.Lines(3600, 80, true);
    EXPECT_NE(lines[1].find("\x1b[1;37;41m  FAIL  \x1b[0m unplugged"), std::string::npos) << lines[1];
    EXPECT_EQ(board.Lines(3600, 40, true)[1], "/dev/ttyUSB1  -                 -   \x1b[1;37;41m  FA\x1b[0m");
    EXPECT_EQ(board.Lines(3600, 12, false)[0], "/dev/ttyUSB0");
}

TEST(StationBoard, JsonLinesCarryArrivalDepartureAndVerdict) {
    const nlohmann::json arrived = nlohmann::json::parse(StationJson(Event(StationEvent::Kind::Arrived, "COM3")));
    EXPECT_EQ(arrived.value("event", ""), "unit");
    EXPECT_EQ(arrived.value("state", ""), "arrived");
    StationEvent skip = Event(StationEvent::Kind::Verdict, "COM3");
    skip.verdict = UnitVerdict::Skip;
    skip.reason = kReasonDoneBefore;
    skip.serialKnown = true;
    skip.serialNumber = 0xA1;
    const nlohmann::json verdict = nlohmann::json::parse(StationJson(skip));
    EXPECT_EQ(verdict.value("verdict", ""), "skip");
    EXPECT_EQ(verdict.value("reason", ""), "done before");
    EXPECT_EQ(verdict.value("serial_number", ""), "00000000000000A1");
}

}  // namespace
