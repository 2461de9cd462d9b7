// Choosing the targets of a resumed run from a record: each status, cut and foreign lines, another image.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rollout/Record.h"
#include "rollout/Resume.h"

namespace {

const ImageInfo kImage{"", "fw.qz7", 5000, std::string(64, 'a')};
const ImageInfo kOtherImage{"", "old.qz7", 4000, std::string(64, 'b')};

// A record line as a run writes it.
std::string Line(const std::string& command, const std::string& target, Status status, const ImageInfo* image = &kImage,
                 const std::string& version = "1.00.06") {
    TargetResult result;
    result.label = target;
    result.status = status;
    result.image = command == "update" ? image : nullptr;
    return RecordOutput::Line(command, result, version, "rig") + "\n";
}

std::vector<std::string> Labels(const ResumeChoice& choice) {
    std::vector<std::string> labels;
    for (const RolloutTarget& target : choice.targets) labels.push_back(target.Label());
    return labels;
}

}  // namespace

TEST(RolloutResume, RunsAgainEveryTargetWhoseLastResultWasNotOkOrSkipped) {
    const std::string a = "telnet 198.18.0.1:3000", b = "telnet 198.18.0.2:3000", c = "serial /dev/ttyUSB0",
                      d = "telnet [2001:db8::1]:3001", e = "telnet 198.18.0.5:3000", f = "serial-number 00000000000000AB",
                      g = "telnet 198.18.0.7:3000", h = "telnet 198.18.0.8:3000";
    std::string record;
    record += Line("update", a, Status::Failed);
    record += Line("update", b, Status::Ok);
    record += Line("update", c, Status::Cancelled);
    record += "{\"event\":\"start\",\"command\":\"update\"}\n";     // not a record line
    record += "garbage from another tool\n";
    record += Line("update", d, Status::NotStarted, nullptr, "0.9.1");  // failed before its image was known
    record += Line("update", e, Status::Skipped);
    record += Line("update", f, Status::Failed, nullptr);
    record += Line("identify", g, Status::Failed);                        // another command
    record += Line("update", g, Status::Ok);
    record += Line("update", h, Status::Failed, &kOtherImage);             // another rollout's image
    record += Line("update", a, Status::Ok);                               // a's last line: done now
    record += Line("update", b, Status::Failed);                           // b's last line: again
    const std::string cut = Line("update", e, Status::Ok);
    record += cut.substr(0, cut.find("\"status\""));                      // its run ended while writing it

    ResumeWanted wanted{"update", {kImage.sha256}, false};
    ResumeChoice choice = ChooseResumeTargets("r.jsonl", record, wanted);
    ASSERT_EQ(choice.refusal, ResumeRefusal::None) << choice.error;
    // In the order they first appear; e's outcome is not known after the cut.
    EXPECT_EQ(Labels(choice), (std::vector<std::string>{b, c, d, e, f}));
    EXPECT_EQ(choice.targets[4].serialNumber, 0xABu) << "a modem discovery did not find is looked for again";
    EXPECT_EQ(choice.settled, 2u);  // a, g
    ASSERT_EQ(choice.notes.size(), 3u);
    EXPECT_NE(choice.notes[0].find("r.jsonl line 4"), std::string::npos) << choice.notes[0];
    EXPECT_NE(choice.notes[2].find("cut short"), std::string::npos) << choice.notes[2];

    // Another command's lines are its own: identify runs only g again.
    choice = ChooseResumeTargets("r.jsonl", record, {"identify", {}, false});
    EXPECT_EQ(Labels(choice), std::vector<std::string>{g});

    // The last update sent another image: refused, naming both, unless --force, which resumes that rollout.
    const std::string other = record + "\n" + Line("update", h, Status::Failed, &kOtherImage);
    wanted.imageSha256 = {std::string(64, 'c')};
    choice = ChooseResumeTargets("r.jsonl", other, wanted);
    EXPECT_EQ(choice.refusal, ResumeRefusal::OtherImage);
    EXPECT_TRUE(choice.targets.empty());
    EXPECT_NE(choice.error.find(kOtherImage.sha256), std::string::npos) << choice.error;
    EXPECT_NE(choice.error.find(std::string(64, 'c')), std::string::npos) << choice.error;
    wanted.force = true;
    choice = ChooseResumeTargets("r.jsonl", other, wanted);
    EXPECT_EQ(choice.refusal, ResumeRefusal::None);
    EXPECT_EQ(Labels(choice), (std::vector<std::string>{d, f, h}));

    // Nothing left: an empty choice, no refusal.
    choice = ChooseResumeTargets("r.jsonl", Line("update", a, Status::Ok) + Line("update", b, Status::Skipped),
                                 {"update", {kImage.sha256}, false});
    EXPECT_EQ(choice.refusal, ResumeRefusal::None);
    EXPECT_TRUE(choice.targets.empty());
    EXPECT_EQ(choice.settled, 2u);
}

// A journal: the run line lists every target, so a target without a line, or with a start and no result, runs
// again; a modem asked for by serial number is known by that key whatever address its result names.
TEST(RolloutResume, AJournalRunsAgainEveryListedTargetNotSettledSinceItsRun) {
    std::vector<RolloutTarget> targets(4);
    targets[0].host = "198.18.0.1";
    targets[0].key = "telnet 198.18.0.1:3000";
    targets[1].missing = targets[1].key = "serial-number 00000000000000AB";
    targets[1].serialNumber = 0xAB;
    targets[2].serial = true;
    targets[2].serialPort = "/dev/ttyUSB3";
    targets[2].baudRate = 19200;
    targets[2].key = "serial /dev/ttyUSB3";
    targets[3].host = "198.18.0.4";
    targets[3].key = "telnet 198.18.0.4:3000";
    RunStart start;
    start.command = "update";
    start.images = {&kImage};
    start.targets = &targets;
    const auto result = [](const std::string& label, const std::string& key, Status status) {
        TargetResult r;
        r.label = label;
        r.key = key;
        r.status = status;
        r.image = &kImage;
        return r;
    };
    std::string record = Line("update", targets[3].Label(), Status::Ok);  // an older run's: not this run's
    record += RecordOutput::RunLine(start, "1.00.07", "rig", "2026-12-08T10:00:00Z") + "\n";
    record += RecordOutput::StartLine("update", result(targets[0].Label(), targets[0].key, Status::Ok), "t") + "\n";
    record += RecordOutput::Line("update", result(targets[0].Label(), targets[0].key, Status::Ok), "1.00.07", "rig") + "\n";
    // Found by discovery this time: its result names the address, its key the serial number.
    record += RecordOutput::Line("update", result("telnet 198.18.0.9:3000", targets[1].key, Status::Ok), "1.00.07", "rig") + "\n";
    record += RecordOutput::StartLine("update", result(targets[2].Label(), targets[2].key, Status::Ok), "t") + "\n";
    const std::string cut = RecordOutput::Line("update", result(targets[3].Label(), targets[3].key, Status::Ok), "1.00.07", "rig");
    record += cut.substr(0, cut.find("\"status\""));  // killed while writing d's result

    ResumeChoice choice = ChooseResumeTargets("r.jsonl", record, {"update", {kImage.sha256}, false});
    ASSERT_EQ(choice.refusal, ResumeRefusal::None) << choice.error;
    EXPECT_TRUE(choice.found);
    EXPECT_EQ(choice.settled, 2u);
    ASSERT_EQ(Labels(choice), (std::vector<std::string>{targets[2].Label(), targets[3].Label()}));
    EXPECT_EQ(choice.targets[0].baudRate, 19200u) << "a port keeps its own rate";
    EXPECT_EQ(choice.targets[1].key, targets[3].key);
    // c's update began (it may hold the image: at the expected version it is the rollout's aim); d's never did.
    EXPECT_TRUE(choice.targets[0].begunBefore);
    EXPECT_FALSE(choice.targets[1].begunBefore);
    bool mayHold = false;
    for (const std::string& note : choice.notes) mayHold |= note.find("may already hold the image") != std::string::npos;
    EXPECT_TRUE(mayHold);

    // Nothing of this command in the record: not "nothing to resume" but nothing found.
    choice = ChooseResumeTargets("r.jsonl", record, {"identify", {}, false});
    EXPECT_FALSE(choice.found);
    EXPECT_TRUE(choice.targets.empty());
    // Its run sent another image: refused without --force.
    choice = ChooseResumeTargets("r.jsonl", record, {"update", {std::string(64, 'c')}, false});
    EXPECT_EQ(choice.refusal, ResumeRefusal::OtherImage);
}
