// Console dialogue over the scripted link: exact reads, marker reads, rendering, fields, menu and identity.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "console/Console.h"
#include "support/ScriptedTransport.h"

using namespace std::chrono_literals;

namespace {

// Seeds for the random chunkings every dialogue is replayed with.
const std::uint32_t kSeeds[] = {1, 2, 3, 7, 42, 1234};

// A modem that keeps printing `text` every `periodMs` for as long as the returned handle lives.
std::shared_ptr<std::function<void()>> Chatter(ScriptedTransport& link, FakeClock& clock, const std::string& text,
                                               int periodMs) {
    auto self = std::make_shared<std::function<void()>>();
    std::weak_ptr<std::function<void()>> weak = self;
    *self = [&link, &clock, text, periodMs, weak] {
        link.Deliver(text);
        if (auto again = weak.lock()) link.At(clock.Elapsed() + std::chrono::milliseconds(periodMs), *again);
    };
    link.At(clock.Elapsed(), *self);
    return self;
}

}  // namespace

TEST(ReadExactTest, ZeroLengthSucceedsWithoutReading) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    std::string error = "before";
    unsigned char buffer[1];
    EXPECT_TRUE(ReadExact(link, buffer, 0, 5000, nullptr, error));
    EXPECT_TRUE(link.ReadTimeouts().empty());
    EXPECT_EQ(error, "before");
}

TEST(ReadExactTest, CancelledBeforeAnyRead) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.Deliver("abc");
    std::atomic<bool> cancel{true};
    std::string error;
    unsigned char buffer[3];
    EXPECT_FALSE(ReadExact(link, buffer, 3, 5000, &cancel, error));
    EXPECT_EQ(error, "Update cancelled");
    EXPECT_TRUE(link.ReadTimeouts().empty());
    EXPECT_EQ(link.PendingBytes(), 3u);
}

TEST(ReadExactTest, CollectsExactlyTheLengthInAnyChunking) {
    Bytes data(5000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + 3);
    for (const auto seed : kSeeds) {
        FakeClock clock;
        ScriptedTransport link(&clock);
        link.SetRandomChunks(seed, 700);
        link.Deliver(data);
        link.Deliver("tail");
        Bytes buffer(data.size());
        std::string error = "unchanged";
        ASSERT_TRUE(ReadExact(link, buffer.data(), buffer.size(), 5000, nullptr, error)) << error;
        EXPECT_EQ(buffer, data);
        EXPECT_EQ(error, "unchanged");
        // Never reads past the requested length: the tail stays with the link.
        EXPECT_EQ(link.PendingBytes(), 4u);
    }
}

TEST(ReadExactTest, PartialDataThenDeadline) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.Deliver("ab");
    std::string error;
    unsigned char buffer[4];
    EXPECT_FALSE(ReadExact(link, buffer, 4, 600, nullptr, error));
    EXPECT_EQ(error, "Only 2 of 4 bytes from the modem within 600 ms");
    EXPECT_GE(clock.Elapsed(), 600ms);
    EXPECT_LT(clock.Elapsed(), 700ms);
    // Waits are capped at 250 ms and the last one takes only the time left.
    for (const unsigned int t : link.ReadTimeouts()) EXPECT_LE(t, 250u);
    const std::vector<unsigned int> waits(link.ReadTimeouts().begin() + 1, link.ReadTimeouts().end());
    EXPECT_EQ(waits, (std::vector<unsigned int>{250, 250, 100}));
}

TEST(ReadExactTest, CancellationDuringLongWaitIsSeenWithinOneRead) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    std::atomic<bool> cancel{false};
    link.At(1000ms, [&] { cancel = true; });
    std::string error;
    unsigned char buffer[1];
    EXPECT_FALSE(ReadExact(link, buffer, 1, 30000, &cancel, error));
    EXPECT_EQ(error, "Update cancelled");
    EXPECT_LE(clock.Elapsed(), 1250ms);
}

TEST(ReadExactTest, LinkFailureCarriesTheLinkText) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.Deliver("a");
    link.DeliverReadFailure("COM read failed: broken");
    std::string error;
    unsigned char buffer[2];
    EXPECT_FALSE(ReadExact(link, buffer, 2, 5000, nullptr, error));
    EXPECT_EQ(error, "COM read failed: broken");
}

TEST(ReadUntilTest, FindsMarkerSplitAcrossPiecesAndKeepsTheRest) {
    for (const auto seed : kSeeds) {
        FakeClock clock;
        ScriptedTransport link(&clock);
        link.SetRandomChunks(seed, 3);
        link.Deliver("QUIT\r\nsome text\r\ncmd: V");
        std::string received;
        std::string error = "unchanged";
        ASSERT_TRUE(ReadUntil(link, "cmd: ", 5000, received, error));
        EXPECT_EQ(error, "unchanged");
        // Stops at the first read that completes the marker; whatever came with it stays in the text.
        EXPECT_NE(received.find("cmd: "), std::string::npos);
        EXPECT_EQ(received.size() + link.PendingBytes(), std::string("QUIT\r\nsome text\r\ncmd: V").size());
        EXPECT_LE(received.size(), std::string("QUIT\r\nsome text\r\ncmd: ").size() + 2);
    }
}

TEST(ReadUntilTest, ReadsTextIn1024ByteChunksWith200MsWaits) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.At(300ms, [&] { link.Deliver("x cmd: "); });
    std::string received;
    std::string error;
    ASSERT_TRUE(ReadUntil(link, "cmd: ", 5000, received, error));
    ASSERT_FALSE(link.ReadTimeouts().empty());
    for (const unsigned int t : link.ReadTimeouts()) EXPECT_EQ(t, 200u);
    for (const std::size_t c : link.ReadCapacities()) EXPECT_EQ(c, 1024u);
}

TEST(ReadUntilTest, TimeoutNamesTheMarkerAndClearsOldText) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.Deliver("nothing useful");
    std::string received = "stale";
    std::string error;
    EXPECT_FALSE(ReadUntil(link, "Send handshake sequence", 5000, received, error));
    EXPECT_EQ(error, "No \"Send handshake sequence\" from the modem within 5 s");
    EXPECT_EQ(received, "nothing useful");
    EXPECT_GE(clock.Elapsed(), 5000ms);
    EXPECT_LT(clock.Elapsed(), 5300ms);
}

TEST(ReadUntilTest, LinkFailureCarriesTheLinkText) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.Deliver("partial");
    link.DeliverPeerClose();
    std::string received;
    std::string error;
    EXPECT_FALSE(ReadUntil(link, "cmd: ", 5000, received, error));
    EXPECT_EQ(error, ScriptedTransport::kNotConnected);
}

TEST(ReadUntilTest, EndlessTextStaysBoundedAndAMarkerAcrossTheCutIsFound) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    // 40,000 bytes without the marker, then the marker split over two pieces.
    for (int i = 0; i < 40; ++i) link.Deliver(std::string(1000, 'a' + (i % 26)));
    link.Deliver("cm");
    link.Deliver("d: ");
    std::string received;
    std::string error;
    ASSERT_TRUE(ReadUntil(link, "cmd: ", 5000, received, error));
    EXPECT_LE(received.size(), 32768u + 1024u);
    EXPECT_EQ(received.substr(received.size() - 5), "cmd: ");
}

TEST(ReadUntilTest, TextIsCutBackToItsNewest16KiB) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    std::string stream;
    for (int i = 0; i < 33; ++i) stream += std::string(1024, static_cast<char>('A' + i % 26));
    link.Deliver(stream);
    std::string received;
    std::string error;
    EXPECT_FALSE(ReadUntil(link, "cmd: ", 5000, received, error));
    // After 33 chunks (33,792 bytes > 32,768) the text was cut to its last 16,384 bytes.
    EXPECT_EQ(received.size(), 16384u);
    EXPECT_EQ(received, stream.substr(stream.size() - 16384));
}

TEST(DiagnosticResponseTest, RendersEveryByteReadably) {
    EXPECT_EQ(DiagnosticResponse(""), "no data received");
    EXPECT_EQ(DiagnosticResponse("OK\r\n"), "OK<CR><LF>");
    EXPECT_EQ(DiagnosticResponse("\x1b"), "<27>");
    EXPECT_EQ(DiagnosticResponse("\x7f"), "<127>");
    EXPECT_EQ(DiagnosticResponse(std::string("\x00\x01 ~\xff", 5)), "<0><1> ~<255>");
    EXPECT_EQ(DiagnosticResponse("<CR>"), "<CR>");
    const std::string big(100000, '\x80');
    EXPECT_EQ(DiagnosticResponse(big).size(), 500000u);
}

TEST(FieldTest, ValueEndsAtHashElseLineEndElseEnd) {
    EXPECT_EQ(Field("#0:U#1:7.2\r\n", "#0:"), "U");
    EXPECT_EQ(Field("#0:U#1:7.2\r\n", "#1:"), "7.2");
    EXPECT_EQ(Field("#0:U#1:7.2\r\n", "#2:"), "");
    EXPECT_EQ(Field("#1:7.2", "#1:"), "7.2");
    EXPECT_EQ(Field("#1:7.2\nrest", "#1:"), "7.2");
    EXPECT_EQ(Field("#1:#", "#1:"), "");
    // A later "#" wins over a nearer line end.
    EXPECT_EQ(Field("#1:7.2\r\nmore#", "#1:"), "7.2\r\nmore");
    // The first occurrence of the marker counts.
    EXPECT_EQ(Field("#0:A#0:B#", "#0:"), "A");
}

TEST(EnterCommandMenuTest, DrainsLeftoversThenSendsQuitOnce) {
    for (const auto seed : kSeeds) {
        FakeClock clock;
        ScriptedTransport link(&clock);
        link.SetRandomChunks(seed, 5);
        link.Deliver("old output that includes cmd: already\r\n");
        link.Reply("QUIT\r", "QUIT\r\n\r\ncmd: ");
        std::string error = "unchanged";
        ASSERT_TRUE(EnterCommandMenu(link, error)) << error;
        EXPECT_EQ(link.WrittenText(), "QUIT\r");
        EXPECT_EQ(link.WriteSizes(), std::vector<std::size_t>{5});
        EXPECT_EQ(error, "unchanged");
        EXPECT_EQ(link.PendingBytes(), 0u);
        // Taking the leftovers costs no wait: no read of the drain waits for silence.
        EXPECT_EQ(clock.Elapsed(), 0ms);
    }
}

TEST(EnterCommandMenuTest, SilentModemGivesTheQuitMessageAfterFiveSeconds) {
    FakeClock clock;
    ScriptedTransport link(&clock, "127.0.0.1:3000");
    std::string error;
    EXPECT_FALSE(EnterCommandMenu(link, error));
    EXPECT_EQ(error,
              "QUIT did not return the modem at 127.0.0.1:3000 to the cmd: menu (no data received): "
              "No answer from the modem within 5 s while waiting for \"cmd: \"");
    EXPECT_GE(clock.Elapsed(), 5000ms);
    EXPECT_LT(clock.Elapsed(), 5500ms);
    EXPECT_EQ(link.WrittenText(), "QUIT\r");
}

TEST(EnterCommandMenuTest, OtherTextIsRenderedInTheMessage) {
    FakeClock clock;
    ScriptedTransport link(&clock, "COM3");
    link.Reply("QUIT\r", "Unknown\r\n\x1b");
    std::string error;
    EXPECT_FALSE(EnterCommandMenu(link, error));
    EXPECT_EQ(error,
              "QUIT did not return the modem at COM3 to the cmd: menu (Unknown<CR><LF><27>): "
              "No \"cmd: \" from the modem within 5 s");
}

TEST(EnterCommandMenuTest, WriteFailureAndDrainFailure) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.FailWriteCall(0, "Telnet send failed: reset");
    std::string error;
    EXPECT_FALSE(EnterCommandMenu(link, error));
    EXPECT_EQ(error, "Telnet send failed: reset");

    // A failing read while draining is not the caller's concern; the dialogue continues.
    ScriptedTransport drain(&clock);
    drain.DeliverReadFailure("transient");
    drain.Reply("QUIT\r", "cmd: ");
    std::string error2 = "unchanged";
    EXPECT_TRUE(EnterCommandMenu(drain, error2));
    EXPECT_EQ(error2, "unchanged");
}

TEST(EnterCommandMenuTest, ModemThatHangsUpBeforeQuitIsNamedWithWhatItSaid) {
    // A second console client hears "Console busy" and is dropped before the QUIT goes out.
    FakeClock clock;
    ScriptedTransport link(&clock, "127.0.0.1:3000");
    // As a Telnet link reports it: the read that meets the end fails, the link is closed, the write fails.
    link.Deliver("Console busy\r\n");
    link.DeliverReadFailure("The modem closed the Telnet connection");
    link.FailWriteCall(0, "Telnet link is not connected");
    std::string error;
    EXPECT_FALSE(EnterCommandMenu(link, error));
    EXPECT_EQ(error,
              "QUIT did not return the modem at 127.0.0.1:3000 to the cmd: menu (Console busy<CR><LF>): "
              "The modem closed the Telnet connection");
}

TEST(EnterCommandMenuTest, EndlessChatterDoesNotHangTheDrain) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    const auto chatter = Chatter(link, clock, "noise noise noise\r\n", 10);
    std::string error;
    EXPECT_FALSE(EnterCommandMenu(link, error));
    EXPECT_NE(error.find("No \"cmd: \" from the modem within 5 s"), std::string::npos);
    EXPECT_EQ(link.WrittenText(), "QUIT\r");
    // Bounded drain plus the 5 s prompt wait, with generous slack.
    EXPECT_LT(clock.Elapsed(), 12000ms);
}

namespace {

struct IdentityCase {
    std::string reply;
    std::string model;
    std::string firmware;
};

}  // namespace

TEST(CheckModemIdentityTest, CompleteReplyInAnyChunking) {
    const IdentityCase cases[] = {
        {"V ###\r\n#0:U#1:7.2#2:x\r\ncmd: ", "Torvanix / VX-4410", "7.2"},
        {"#0:I#1:8.01\n", "Selvanix-compatible modem", "8.01"},
        {"#0:B#1:1.0#", "MRT-II compatibility mode", "1.0"},
        {"#0:u#1:7.2#", "Velmor modem (type u)", "7.2"},
        {"#0:XR7#1:2\r", "Velmor modem (type XR7)", "2"},
    };
    for (const auto& c : cases) {
        for (const auto seed : kSeeds) {
            FakeClock clock;
            ScriptedTransport link(&clock);
            link.SetRandomChunks(seed, 4);
            link.Reply("QUIT\r", "QUIT\r\ncmd: ");
            link.Reply("V ###\r", c.reply);
            ModemIdentity identity;
            std::string error = "unchanged";
            ASSERT_TRUE(CheckModemIdentity(link, identity, error)) << error;
            EXPECT_EQ(identity.model, c.model);
            EXPECT_EQ(identity.firmware, c.firmware);
            // The reply is accumulated up to completeness: a prefix of what the modem sent.
            EXPECT_EQ(c.reply.compare(0, identity.response.size(), identity.response), 0);
            EXPECT_TRUE(IdentityReplyComplete(identity.response));
            EXPECT_EQ(link.WrittenText(), "QUIT\rV ###\r");
            EXPECT_EQ(link.WriteSizes(), (std::vector<std::size_t>{5, 6}));
            EXPECT_EQ(error, "unchanged");
        }
    }
}

// A cancel given to the link ends the wait for the reply within 250 ms, reported as the identity check's.
TEST(CheckModemIdentityTest, CancelDuringTheReplyEndsTheCheck) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.Reply("QUIT\r", "cmd: ");
    link.Reply("V ###\r", "#0:U");
    std::atomic<bool> cancel{false};
    link.SetCancel(&cancel);
    link.At(1000ms, [&cancel] { cancel = true; });
    ModemIdentity identity;
    std::string error;
    EXPECT_FALSE(CheckModemIdentity(link, identity, error));
    EXPECT_EQ(error, "Cancelled during the identity check of scripted:1");
    EXPECT_EQ(link.LastFailure(), LinkFailure::Cancelled);
    EXPECT_LE(clock.Elapsed(), 1250ms);
}

TEST(CheckModemIdentityTest, CompletenessIsTestedAfterEveryPiece) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.SetChunkLimit(1);
    link.Reply("QUIT\r", "cmd: ");
    link.Reply("V ###\r", "#0:U#1:7.2#REST-NOT-READ");
    ModemIdentity identity;
    std::string error;
    ASSERT_TRUE(CheckModemIdentity(link, identity, error));
    EXPECT_EQ(identity.response, "#0:U#1:7.2#");
    EXPECT_EQ(link.PendingBytes(), std::string("REST-NOT-READ").size());
}

TEST(CheckModemIdentityTest, UnterminatedValueWaitsForTheTerminator) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.Reply("QUIT\r", "cmd: ");
    link.Reply("V ###\r", "#0:U#1:7.2");
    link.At(3000ms, [&] { link.Deliver("\r\n"); });
    ModemIdentity identity;
    std::string error;
    ASSERT_TRUE(CheckModemIdentity(link, identity, error)) << error;
    EXPECT_EQ(identity.firmware, "7.2");
    EXPECT_GE(clock.Elapsed(), 3000ms);
}

TEST(IdentityReplyCompleteTest, BothValuesMustBeNonEmptyAndTerminated) {
    EXPECT_TRUE(IdentityReplyComplete("#0:U#1:7.2#"));
    EXPECT_TRUE(IdentityReplyComplete("#1:7.2\n#0:U\r"));
    EXPECT_FALSE(IdentityReplyComplete("#0:U#1:7.2"));
    EXPECT_FALSE(IdentityReplyComplete("#0:#1:7.2#"));
    EXPECT_FALSE(IdentityReplyComplete("#0:U#1:\r\n"));
    EXPECT_FALSE(IdentityReplyComplete("#0:U#"));
    EXPECT_FALSE(IdentityReplyComplete(""));
}

TEST(CheckModemIdentityTest, NoCompleteReplyAfterFiveSeconds) {
    FakeClock clock;
    ScriptedTransport link(&clock, "10.0.0.5:3000");
    link.Reply("QUIT\r", "cmd: ");
    link.Reply("V ###\r", "#0:U#1:7.2");
    ModemIdentity identity;
    std::string error;
    EXPECT_FALSE(CheckModemIdentity(link, identity, error));
    EXPECT_EQ(error,
              "No complete V ### reply from modem at 10.0.0.5:3000 within 5 s (#0:U#1:7.2). When using Telnet, close any "
              "other modem console connection; the modem accepts only one Telnet console client at a time");
    EXPECT_GE(clock.Elapsed(), 5000ms);
    EXPECT_LT(clock.Elapsed(), 5500ms);
}

TEST(CheckModemIdentityTest, SilentAfterQuestionRendersNoData) {
    FakeClock clock;
    ScriptedTransport link(&clock, "COM7");
    link.Reply("QUIT\r", "cmd: ");
    ModemIdentity identity;
    std::string error;
    EXPECT_FALSE(CheckModemIdentity(link, identity, error));
    EXPECT_EQ(error.rfind("No complete V ### reply from modem at COM7 within 5 s (no data received). ", 0), 0u) << error;
}

TEST(CheckModemIdentityTest, FailuresOfTheMenuTheWriteAndTheRead) {
    {
        FakeClock clock;
        ScriptedTransport link(&clock, "COM1");
        ModemIdentity identity;
        std::string error;
        EXPECT_FALSE(CheckModemIdentity(link, identity, error));
        EXPECT_EQ(error.rfind("QUIT did not return the modem at COM1", 0), 0u);
        EXPECT_EQ(link.WrittenText(), "QUIT\r");
    }
    {
        FakeClock clock;
        ScriptedTransport link(&clock);
        link.Reply("QUIT\r", "cmd: ");
        link.FailWriteCall(1, "write broke");
        ModemIdentity identity;
        std::string error;
        EXPECT_FALSE(CheckModemIdentity(link, identity, error));
        EXPECT_EQ(error, "write broke");
    }
    {
        FakeClock clock;
        ScriptedTransport link(&clock);
        link.Reply("QUIT\r", "cmd: ");
        link.After("V ###\r", [&] {
            link.Deliver("#0:U");
            link.DeliverReadFailure("read broke");
        });
        ModemIdentity identity;
        std::string error;
        EXPECT_FALSE(CheckModemIdentity(link, identity, error));
        EXPECT_EQ(error, "read broke");
    }
}

TEST(CheckModemIdentityTest, EndlessTextKeepsMemoryBounded) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.Reply("QUIT\r", "cmd: ");
    std::shared_ptr<std::function<void()>> chatter;
    link.After("V ###\r", [&] { chatter = Chatter(link, clock, std::string(1000, 'y'), 1); });
    ModemIdentity identity;
    std::string error;
    EXPECT_FALSE(CheckModemIdentity(link, identity, error));
    EXPECT_EQ(error.rfind("No complete V ### reply", 0), 0u);
    // The rendered text in the message is bounded too.
    EXPECT_LT(error.size(), 40000u);
    EXPECT_LT(clock.Elapsed(), 6000ms);
}
