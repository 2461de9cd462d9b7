// Firmware update over the scripted link: image preparation, wire bytes, progress, verdicts, deadlines, cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <tuple>

#include "support/LoopbackPeer.h"
#include "support/ScriptedTransport.h"
#include "update/Update.h"

using namespace std::chrono_literals;

namespace {

struct ProgressReport {
    int percent;
    std::string stage;
    std::string detail;
    bool operator==(const ProgressReport& o) const {
        return std::tie(percent, stage, detail) == std::tie(o.percent, o.stage, o.detail);
    }
};

std::ostream& operator<<(std::ostream& out, const ProgressReport& r) {
    return out << "{" << r.percent << ", \"" << r.stage << "\", \"" << r.detail << "\"}";
}

struct ProgressLog {
    std::vector<ProgressReport> reports;
    ProgressCallback Callback() {
        return [this](int p, const std::string& s, const std::string& d) { reports.push_back({p, s, d}); };
    }
};

Bytes Pattern(std::size_t size, unsigned seed = 1) {
    Bytes data(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(x >> 24);
    }
    return data;
}

Bytes DefaultHeader() { return Bytes{0x1F, 0xA4, 1, 2, 3, 4}; }

// The modem's side of an update, fed with whatever the tool writes, in whatever pieces.
class FakeUpdateModem {
public:
    struct Config {
        bool offersFast = true;                      // answers "UPDFAST\r" with the handshake text
        bool offersLegacy = true;                    // answers "UPDATE\r" with it
        Bytes header = DefaultHeader();
        unsigned char sizeVerdict = ACK;
        std::size_t frameSize = 65536;
        // Verdict for frame n (1-based) of `frames`; nullopt: never answers.
        std::function<std::optional<unsigned char>(std::size_t n, std::size_t frames)> verdict;
        // Fake delay before the verdict of frame n.
        std::function<std::chrono::milliseconds(std::size_t n, std::size_t frames)> delay;
    };

    FakeUpdateModem(ScriptedTransport& link, FakeClock& clock, Config config)
        : link_(link), clock_(clock), config_(std::move(config)) {
        link_.OnWrite([this](const unsigned char* data, std::size_t length) { Feed(data, length); });
    }

    const Bytes& Received() const { return image_; }
    std::size_t FramesAnswered() const { return framesAnswered_; }
    std::uint16_t AnnouncedBlocks() const { return blocks_; }
    std::chrono::milliseconds LastFrameWrittenAt() const { return lastFrameAt_; }

private:
    enum class State { Command, Handshake, HeaderAck, Count, Frames, Done };

    void Feed(const unsigned char* data, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) Byte(data[i]);
    }

    void Byte(unsigned char b) {
        switch (state_) {
        case State::Command:
            text_ += static_cast<char>(b);
            if (EndsWith("QUIT\r")) link_.Deliver("\r\ncmd: ");
            if (EndsWith("UPDFAST\r")) {
                link_.Deliver(config_.offersFast ? "UPDFAST\r\nSend handshake sequence" : "Unknown\r\ncmd: ");
                if (config_.offersFast) state_ = State::Handshake;
            }
            if (EndsWith("UPDATE\r")) {
                link_.Deliver(config_.offersLegacy ? "Send handshake sequence" : "Unknown\r\ncmd: ");
                if (config_.offersLegacy) state_ = State::Handshake;
            }
            break;
        case State::Handshake:
            EXPECT_EQ(b, ACK);
            link_.Deliver(config_.header);
            state_ = State::HeaderAck;
            break;
        case State::HeaderAck:
            EXPECT_EQ(b, ACK);
            state_ = State::Count;
            break;
        case State::Count:
            count_.push_back(b);
            if (count_.size() == 2) {
                blocks_ = static_cast<std::uint16_t>(count_[0] << 8 | count_[1]);
                link_.Deliver(Bytes{config_.sizeVerdict});
                state_ = State::Frames;
            }
            break;
        case State::Frames: {
            image_.push_back(b);
            const std::size_t total = std::size_t{blocks_} * 256;
            const bool frameDone = image_.size() % config_.frameSize == 0 || image_.size() == total;
            if (!frameDone) break;
            const std::size_t frames = (total + config_.frameSize - 1) / config_.frameSize;
            const std::size_t n = (image_.size() + config_.frameSize - 1) / config_.frameSize;
            lastFrameAt_ = clock_.Elapsed();
            const auto verdict = config_.verdict ? config_.verdict(n, frames) : std::optional<unsigned char>(ACK);
            if (image_.size() == total) state_ = State::Done;
            if (!verdict) break;
            ++framesAnswered_;
            const auto delay = config_.delay ? config_.delay(n, frames) : 0ms;
            if (delay == 0ms) {
                link_.Deliver(Bytes{*verdict});
            } else {
                const unsigned char v = *verdict;
                link_.At(clock_.Elapsed() + delay, [this, v] { link_.Deliver(Bytes{v}); });
            }
            break;
        }
        case State::Done:
            ADD_FAILURE() << "byte written after the transfer ended";
            break;
        }
    }

    bool EndsWith(const std::string& tail) const {
        return text_.size() >= tail.size() && text_.compare(text_.size() - tail.size(), tail.size(), tail) == 0;
    }

    ScriptedTransport& link_;
    FakeClock& clock_;
    Config config_;
    State state_ = State::Command;
    std::string text_;
    Bytes count_;
    std::uint16_t blocks_ = 0;
    Bytes image_;
    std::size_t framesAnswered_ = 0;
    std::chrono::milliseconds lastFrameAt_{0};
};

Bytes Padded(const Bytes& firmware) {
    Bytes image = firmware;
    image.resize((firmware.size() + 255) / 256 * 256, 0xFF);
    return image;
}

// Everything the tool wrote after the count field; the frames.
Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace

TEST(PrepareFirmwareTest, BlocksAndPaddingAtTheEdges) {
    struct Case {
        std::size_t size;
        std::uint16_t blocks;
    } cases[] = {{1, 1}, {255, 1}, {256, 1}, {257, 2}, {65536, 256}, {65792, 257}, {16776960, 65535}};
    for (const auto& c : cases) {
        Bytes firmware(c.size, 0xFF);  // content that already ends in 0xFF is kept as it is
        firmware[0] = 0x12;
        firmware[c.size - 1] = 0xFE;
        Bytes image;
        std::uint16_t blocks = 0;
        std::string error;
        ASSERT_TRUE(PrepareFirmware(firmware, image, blocks, error)) << c.size;
        EXPECT_EQ(blocks, c.blocks);
        ASSERT_EQ(image.size(), std::size_t{c.blocks} * 256);
        EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), image.begin()));
        for (std::size_t i = c.size; i < image.size(); ++i) ASSERT_EQ(image[i], 0xFF) << i;
    }
}

TEST(PrepareFirmwareTest, OutOfRangeLeavesOutputsUntouched) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{16776961}}) {
        Bytes firmware(size, 1);
        Bytes image = {9, 9};
        std::uint16_t blocks = 77;
        std::string error;
        EXPECT_FALSE(PrepareFirmware(firmware, image, blocks, error));
        EXPECT_EQ(error, "Firmware size must be between 1 and 16776960 bytes");
        EXPECT_EQ(image, (Bytes{9, 9}));
        EXPECT_EQ(blocks, 77);
    }
}

TEST(FastUpdateTest, WireBytesForTwoFrames) {
    for (const std::uint32_t seed : {0u, 5u, 99u}) {
        FakeClock clock;
        ScriptedTransport link(&clock);
        if (seed != 0) link.SetRandomChunks(seed, 3);
        FakeUpdateModem modem(link, clock, {});
        const Bytes firmware = Pattern(65792 - 10);
        std::atomic<bool> cancel{false};
        ProgressLog progress;
        std::string error = "unchanged";
        ASSERT_EQ(RunFastUpdate(link, firmware, cancel, progress.Callback(), error), 0) << error;
        EXPECT_EQ(error, "unchanged");
        const Bytes image = Padded(firmware);
        const Bytes expected = Concat({ToBytes("QUIT\rUPDFAST\r"), Bytes{ACK, ACK, 0x01, 0x01}, image});
        EXPECT_TRUE(link.Written() == expected);
        // Commands, handshake, header ACK and count each as one write; then one write per frame.
        EXPECT_EQ(link.WriteSizes(), (std::vector<std::size_t>{5, 8, 1, 1, 2, 65536, 256}));
        EXPECT_EQ(modem.AnnouncedBlocks(), 257);
        EXPECT_EQ(modem.FramesAnswered(), 2u);
        // Padding only after the last firmware byte.
        EXPECT_EQ(std::count(image.begin() + firmware.size(), image.end(), 0xFF), 10);
    }
}

TEST(FastUpdateTest, RightAfterTheIdentityCheckTheFastRequestGoesFirst) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeUpdateModem modem(link, clock, {});
    link.Reply("V ###\r", "V ###\r\n#0:U#1:7.2#2:0000000000000001#3:SIM\r\ncmd: ");
    ModemIdentity identity;
    std::string error;
    ASSERT_TRUE(CheckModemIdentity(link, identity, error)) << error;
    const Bytes firmware = Pattern(300);
    Bytes image;
    std::uint16_t blocks = 0;
    ASSERT_TRUE(PrepareFirmware(firmware, image, blocks, error));
    std::atomic<bool> cancel{false};
    ProgressLog progress;
    ASSERT_EQ(RunPreparedFastUpdate(link, image, blocks, cancel, progress.Callback(), error, nullptr, nullptr, true), 0) << error;
    // The identity check left the modem at its menu: a second QUIT would cost a round trip for nothing.
    EXPECT_EQ(ToText(link.Written()), "QUIT\rV ###\rUPDFAST\r" + ToText(Concat({Bytes{ACK, ACK, 0x00, 0x02}, image})));
    ASSERT_FALSE(progress.reports.empty());
    EXPECT_EQ(progress.reports[0].stage, "Starting fast update");
}

TEST(FastUpdateTest, SingleFrameProgressAndVerificationWait) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeUpdateModem::Config config;
    // The verdict on the whole image comes late but within the 30 s allowed for it.
    config.delay = [](std::size_t n, std::size_t frames) { return n == frames ? 29000ms : 0ms; };
    FakeUpdateModem modem(link, clock, config);
    std::atomic<bool> cancel{false};
    ProgressLog progress;
    std::string error;
    ASSERT_EQ(RunFastUpdate(link, Pattern(65536), cancel, progress.Callback(), error), 0) << error;
    const std::vector<ProgressReport> expected = {
        {0, "Starting fast update", "Returning modem to cmd: menu"},
        {1, "Transferring firmware", "Frame size: 65536 bytes"},
        {95, "Verifying on modem", "Transferred 65536 / 65536 bytes"},
        {100, "Checksum OK on Modem", "Firmware CRC and modem file write verified; modem is rebooting"},
    };
    EXPECT_EQ(progress.reports, expected);
}

TEST(FastUpdateTest, SmallImageStillNamesTheFastFrameSize) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeUpdateModem modem(link, clock, {});
    std::atomic<bool> cancel{false};
    ProgressLog progress;
    std::string error;
    ASSERT_EQ(RunFastUpdate(link, Pattern(256), cancel, progress.Callback(), error), 0) << error;
    ASSERT_GE(progress.reports.size(), 2u);
    EXPECT_EQ(progress.reports[1], (ProgressReport{1, "Transferring firmware", "Frame size: 65536 bytes"}));
    EXPECT_EQ(link.WriteSizes().back(), 256u);
    EXPECT_EQ(link.Written()[link.Written().size() - 258], 0x00);  // count 0x00 0x01 before the frame
    EXPECT_EQ(link.Written()[link.Written().size() - 257], 0x01);
}

TEST(FastUpdateTest, LargeImageReportsZeroAfterTheFrameSizeReport) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.SetRecordWrites(false);
    FakeUpdateModem modem(link, clock, {});
    const std::size_t size = 96 * 65536;  // above 6,225,920: the first frame is below 1 %
    std::atomic<bool> cancel{false};
    ProgressLog progress;
    std::string error;
    ASSERT_EQ(RunFastUpdate(link, Bytes(size, 0x5A), cancel, progress.Callback(), error), 0) << error;
    const auto& r = progress.reports;
    ASSERT_GE(r.size(), 5u);
    EXPECT_EQ(r[1].percent, 1);
    EXPECT_EQ(r[2], (ProgressReport{0, "Transferring firmware", "Transferred 65536 / 6291456 bytes"}));
    // Then once per percentage step, the last frame at 95 % while verifying, and the final 100 %.
    for (std::size_t i = 3; i + 2 < r.size(); ++i) {
        EXPECT_GT(r[i].percent, r[i - 1].percent);
        EXPECT_EQ(r[i].stage, "Transferring firmware");
    }
    EXPECT_EQ(r[r.size() - 2], (ProgressReport{95, "Verifying on modem", "Transferred 6291456 / 6291456 bytes"}));
    EXPECT_EQ(r.back().percent, 100);
    EXPECT_LE(r.size(), 100u);
    EXPECT_EQ(modem.Received(), Bytes(size, 0x5A));
}

TEST(FastUpdateTest, FirstFrameAtOnePercentIsStillReported) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.SetRecordWrites(false);
    FakeUpdateModem modem(link, clock, {});
    const std::size_t size = 60 * 65536;  // the first frame is 1 %, like the frame-size report before it
    std::atomic<bool> cancel{false};
    ProgressLog progress;
    std::string error;
    ASSERT_EQ(RunFastUpdate(link, Bytes(size, 0x11), cancel, progress.Callback(), error), 0) << error;
    ASSERT_GE(progress.reports.size(), 3u);
    EXPECT_EQ(progress.reports[2], (ProgressReport{1, "Transferring firmware", "Transferred 65536 / 3932160 bytes"}));
}

TEST(FastUpdateTest, ModemWithoutFastTransfer) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeUpdateModem::Config config;
    config.offersFast = false;
    FakeUpdateModem modem(link, clock, config);
    std::atomic<bool> cancel{false};
    ProgressLog progress;
    std::string error;
    EXPECT_EQ(RunFastUpdate(link, Pattern(1000), cancel, progress.Callback(), error), 1);
    EXPECT_EQ(error, "UPDFAST is not supported by this modem firmware");
    EXPECT_EQ(link.WrittenText(), "QUIT\rUPDFAST\r");
    EXPECT_GE(clock.Elapsed(), 5000ms);
    EXPECT_LT(clock.Elapsed(), 5500ms);
}

// A cancel while the modem is asked for its fast transfer is no refusal: no legacy fallback may follow.
TEST(FastUpdateTest, CancelWhileWaitingForTheHandshakeIsNoRefusal) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.Reply("QUIT\r", "cmd: ");
    std::atomic<bool> cancel{false};
    link.SetCancel(&cancel);
    link.At(1000ms, [&cancel] { cancel = true; });
    ProgressLog progress;
    std::string error;
    EXPECT_EQ(RunFastUpdate(link, Pattern(1000), cancel, progress.Callback(), error),
              static_cast<int>(UpdateResult::Failed));
    EXPECT_EQ(error, "Update cancelled");
    EXPECT_LE(clock.Elapsed(), 1250ms);
}

// Only the modem's refusal or its silence says its firmware has no fast transfer; a link that drops, a modem
// that stops part way or answers nonsense after the request is a failed transfer, and no legacy question.
TEST(FastUpdateTest, OnlyARefusalOrSilenceAfterTheRequestMeansNoFastTransfer) {
    const std::string noMarker = ": no \"Send handshake sequence\" within 5 s (received: ";
    const struct Case {
        const char* name;
        std::function<void(ScriptedTransport&)> answer;
        UpdateResult result;
        UpdateCause cause;
        std::string message;
    } cases[] = {
        {"refusal", [](ScriptedTransport& l) { l.Deliver("UPDFAST\r\nUnknown command\r\ncmd: "); },
         UpdateResult::NotSupported, UpdateCause::Refused, "UPDFAST is not supported by this modem firmware"},
        {"silence", [](ScriptedTransport&) {}, UpdateResult::NotSupported, UpdateCause::NoAnswer,
         "UPDFAST is not supported by this modem firmware (no answer to the fast-update request within 5 s)"},
        {"drop", [](ScriptedTransport& l) { l.DeliverPeerClose(); }, UpdateResult::Failed, UpdateCause::LinkLost,
         "Link lost while waiting for the answer to the fast-update request: Scripted link is not connected"},
        {"stall", [](ScriptedTransport& l) { l.Deliver("UPDFAST\r\nSend hand"); }, UpdateResult::Failed,
         UpdateCause::Stalled, "The modem stopped answering the fast-update request" + noMarker + "UPDFAST<CR><LF>Send hand)"},
        {"garbage", [](ScriptedTransport& l) { l.Deliver("\x8f\x13zz"); }, UpdateResult::Failed, UpdateCause::Garbled,
         "Unexpected answer to the fast-update request" + noMarker + "<143><19>zz)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClock clock;
        ScriptedTransport link(&clock);
        link.Reply("QUIT\r", "cmd: ");
        link.After("UPDFAST\r", [&] { c.answer(link); });
        std::atomic<bool> cancel{false};
        std::string error;
        std::vector<unsigned char> image;
        std::uint16_t blocks = 0;
        ASSERT_TRUE(PrepareFirmware(Pattern(10), image, blocks, error));
        UpdateOutcome outcome;
        EXPECT_EQ(RunPreparedFastUpdate(link, image, blocks, cancel, nullptr, error, nullptr, &outcome),
                  static_cast<int>(c.result));
        EXPECT_EQ(error, c.message);
        EXPECT_EQ(outcome.step, UpdateStep::Request);
        EXPECT_EQ(outcome.cause, c.cause);
        EXPECT_EQ(link.WrittenText(), "QUIT\rUPDFAST\r") << "nothing follows the request";
    }
}

TEST(FastUpdateTest, RefusedFirmwareSizeSendsNothing) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    std::atomic<bool> cancel{false};
    ProgressLog progress;
    std::string error;
    EXPECT_EQ(RunFastUpdate(link, Bytes(), cancel, progress.Callback(), error), 2);
    EXPECT_EQ(error, "Firmware size must be between 1 and 16776960 bytes");
    EXPECT_EQ(RunFastUpdate(link, Bytes(16776961, 0), cancel, progress.Callback(), error), 2);
    EXPECT_EQ(error, "Firmware size must be between 1 and 16776960 bytes");
    EXPECT_TRUE(link.WriteSizes().empty());
    EXPECT_TRUE(link.ReadTimeouts().empty());
    EXPECT_TRUE(progress.reports.empty());
}

namespace {

struct FailureCase {
    const char* name;
    std::size_t frames;  // image size in 65,536-byte frames
    std::function<void(FakeUpdateModem::Config&)> setup;
    std::string message;
    // Write calls the tool made before it stopped: QUIT, UPDFAST and the handshake ACK are 3, the header
    // ACK and the count make 5, and every frame one more.
    std::size_t writes;
};

}  // namespace

TEST(FastUpdateTest, EveryFailureHasItsMessageAndNothingFollows) {
    const FailureCase cases[] = {
        {"wrong header", 2, [](auto& c) { c.header = {0x1F, 0xA5, 0, 0, 0, 0}; }, "Unexpected modem update header", 3},
        {"size refused", 2, [](auto& c) { c.sizeVerdict = ESC; }, "Modem rejected the firmware size", 5},
        {"size odd verdict", 2, [](auto& c) { c.sizeVerdict = 0x15; }, "Modem rejected the firmware size", 5},
        {"frame 3 of 10 rejected", 10,
         [](auto& c) {
             c.verdict = [](std::size_t n, std::size_t) { return std::optional<unsigned char>(n == 3 ? ESC : ACK); };
         },
         "Modem rejected a transfer frame", 8},
        {"frame 10 of 10 rejected", 10,
         [](auto& c) {
             c.verdict = [](std::size_t n, std::size_t f) { return std::optional<unsigned char>(n == f ? ESC : ACK); };
         },
         "Checksum ERROR on Modem", 15},
        {"odd verdict", 4,
         [](auto& c) {
             c.verdict = [](std::size_t n, std::size_t) { return std::optional<unsigned char>(n == 2 ? 'A' : ACK); };
         },
         "Unexpected modem response during update", 7},
        {"stall on frame 2", 4,
         [](auto& c) {
             c.verdict = [](std::size_t n, std::size_t) {
                 return n == 2 ? std::nullopt : std::optional<unsigned char>(ACK);
             };
         },
         "No answer from the modem within 10 s while waiting for the verdict on frame 2 of 4", 7},
        {"no header", 2, [](auto& c) { c.header.clear(); },
         "No answer from the modem within 5 s while waiting for the update header", 3},
        {"short header", 2, [](auto& c) { c.header = {0x1F, 0xA4, 0}; },
         "Only 3 of 6 bytes from the modem within 5 s while waiting for the update header", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClock clock;
        ScriptedTransport link(&clock);
        link.SetRecordWrites(false);
        FakeUpdateModem::Config config;
        c.setup(config);
        FakeUpdateModem modem(link, clock, config);
        std::atomic<bool> cancel{false};
        std::string error;
        EXPECT_EQ(RunFastUpdate(link, Bytes(c.frames * 65536, 1), cancel, nullptr, error), 2);
        EXPECT_EQ(error, c.message);
        EXPECT_EQ(link.WriteSizes().size(), c.writes);
        EXPECT_EQ(link.CloseCalls(), 0);
    }
}

TEST(FastUpdateTest, VerdictDeadlinesAreTenSecondsPerFrameAndThirtyForTheLast) {
    // A first frame that left at once (this link cannot tell what it holds) is also given its time at the slowest
    // link an update gets through, 2,400 B/s: a modem behind a buffering relay on such a link is not blamed.
    constexpr auto kFirstFrameTransit = std::chrono::milliseconds(65536 * 1000 / 2400);
    struct Case {
        std::size_t frames;
        std::chrono::milliseconds delay;  // on the last frame
        bool ok;
    } cases[] = {{2, 29000ms, true},
                 {2, 31000ms, false},
                 {1, kFirstFrameTransit + 29000ms, true},
                 {1, kFirstFrameTransit + 31000ms, false}};
    for (const auto& c : cases) {
        FakeClock clock;
        ScriptedTransport link(&clock);
        FakeUpdateModem::Config config;
        config.delay = [&](std::size_t n, std::size_t f) { return n == f ? c.delay : 0ms; };
        FakeUpdateModem modem(link, clock, config);
        std::atomic<bool> cancel{false};
        std::string error;
        const int result = RunFastUpdate(link, Bytes(c.frames * 65536, 3), cancel, nullptr, error);
        EXPECT_EQ(result, c.ok ? 0 : 2);
        if (!c.ok) {
            const auto allowance = c.frames == 1 ? kFirstFrameTransit : 0ms;
            EXPECT_EQ(error, std::string("No answer from the modem within 30 s") +
                                 (c.frames == 1 ? " after the frame's time on a link as slow as 2400 bytes/s" : "") +
                                 " while waiting for the modem's verdict on the whole image");
            const auto waited = clock.Elapsed() - modem.LastFrameWrittenAt();
            EXPECT_GE(waited, allowance + 30000ms);
            EXPECT_LT(waited, allowance + 30500ms);
        }
    }
    // A non-last frame gets 10 s once the pace of the link is known (here: instant).
    for (const auto delay : {9500ms, 10500ms}) {
        FakeClock clock;
        ScriptedTransport link(&clock);
        FakeUpdateModem::Config config;
        config.delay = [&](std::size_t n, std::size_t) { return n == 2 ? delay : 0ms; };
        FakeUpdateModem modem(link, clock, config);
        std::atomic<bool> cancel{false};
        std::string error;
        EXPECT_EQ(RunFastUpdate(link, Bytes(3 * 65536, 3), cancel, nullptr, error), delay < 10000ms ? 0 : 2);
    }
}

// Over a slow link the verdict's wait counts from when the frame can have reached the modem: from when the
// link's queue has drained, or, where the link cannot tell, after the frame's time at the pace so far.
TEST(FastUpdateTest, TheVerdictWaitBeginsWhenTheFrameCanHaveReachedTheModem) {
    constexpr std::uint64_t kRate = 2400;
    const auto transit = std::chrono::milliseconds(65536 * 1000 / kRate + 1);
    struct Case {
        const char* name;
        bool linkTellsQueue;
        std::function<std::chrono::milliseconds(std::size_t)> delay;  // of frame n's verdict after its write
        bool answersFirst;
        std::size_t frames;
        bool ok;
    } cases[] = {
        {"queue drains, modem answers 8 s later", true, [&](std::size_t) { return transit + 8000ms; }, true, 2, true},
        {"queue drains, modem silent", true, [&](std::size_t) { return 0ms; }, false, 2, false},
        // The first frame took 9 s; the second, as slow, is answered 8 s after it could have arrived.
        {"queue unknown, the pace so far", false, [](std::size_t n) { return n == 1 ? 9000ms : 17000ms; }, true, 3, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClock clock;
        ScriptedTransport link(&clock);
        if (c.linkTellsQueue) link.SetSendRate(kRate);
        FakeUpdateModem::Config config;
        config.delay = [&](std::size_t n, std::size_t) { return c.delay(n); };
        config.verdict = [&](std::size_t, std::size_t) { return c.answersFirst ? std::optional<unsigned char>(ACK) : std::nullopt; };
        FakeUpdateModem modem(link, clock, config);
        std::atomic<bool> cancel{false};
        std::string error;
        EXPECT_EQ(RunFastUpdate(link, Bytes(c.frames * 65536, 3), cancel, nullptr, error), c.ok ? 0 : 2) << error;
        if (c.ok) continue;
        EXPECT_EQ(error.rfind("No answer from the modem within 10 s after the frame reached it over a slow link (about ", 0), 0u)
            << error;
        EXPECT_NE(error.find(" bytes/s) while waiting for the verdict on frame 1 of 2"), std::string::npos) << error;
        const auto waited = clock.Elapsed() - modem.LastFrameWrittenAt();
        EXPECT_GE(waited, transit + 10000ms);
        EXPECT_LT(waited, transit + 10500ms);
    }
}

TEST(FastUpdateTest, CancellationBeforeAFrameSendsNoFurtherFrame) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.SetRecordWrites(false);
    FakeUpdateModem modem(link, clock, {});
    std::atomic<bool> cancel{false};
    std::string error;
    // Cancel while the report for frame 2 is being shown: frame 2's verdict is still read, frame 3 never sent.
    const ProgressCallback progress = [&](int, const std::string&, const std::string& detail) {
        if (detail == "Transferred 131072 / 327680 bytes") cancel = true;
    };
    EXPECT_EQ(RunFastUpdate(link, Bytes(5 * 65536, 7), cancel, progress, error), 2);
    EXPECT_EQ(error, "Update cancelled");
    EXPECT_EQ(link.WriteSizes(), (std::vector<std::size_t>{5, 8, 1, 1, 2, 65536, 65536}));
}

TEST(FastUpdateTest, CancellationAtTheSizeReportSendsNoFrame) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeUpdateModem modem(link, clock, {});
    std::atomic<bool> cancel{false};
    std::string error;
    const ProgressCallback progress = [&](int percent, const std::string&, const std::string&) {
        if (percent == 1) cancel = true;
    };
    EXPECT_EQ(RunFastUpdate(link, Bytes(65536, 7), cancel, progress, error), 2);
    EXPECT_EQ(error, "Update cancelled");
    EXPECT_EQ(link.WriteSizes(), (std::vector<std::size_t>{5, 8, 1, 1, 2}));
}

TEST(FastUpdateTest, CancellationDuringVerificationEndsWithinAQuarterSecond) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeUpdateModem::Config config;
    config.verdict = [](std::size_t n, std::size_t f) {
        return n == f ? std::nullopt : std::optional<unsigned char>(ACK);
    };
    FakeUpdateModem modem(link, clock, config);
    std::atomic<bool> cancel{false};
    std::chrono::milliseconds cancelledAt{0};
    const ProgressCallback progress = [&](int, const std::string& stage, const std::string&) {
        if (stage == "Verifying on modem") {
            cancelledAt = clock.Elapsed() + 12345ms;
            link.At(cancelledAt, [&] { cancel = true; });
        }
    };
    std::string error;
    EXPECT_EQ(RunFastUpdate(link, Bytes(2 * 65536, 7), cancel, progress, error), 2);
    EXPECT_EQ(error, "Update cancelled");
    EXPECT_GE(clock.Elapsed(), cancelledAt);
    EXPECT_LE(clock.Elapsed() - cancelledAt, 250ms);
    // Nothing is sent after the last frame: no abort byte.
    EXPECT_EQ(link.WriteSizes().size(), 7u);
}

TEST(FastUpdateTest, LinkWriteFailureStopsAtOnce) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.SetRecordWrites(false);
    FakeUpdateModem modem(link, clock, {});
    link.FailWriteCall(6, "Telnet send failed: gone");  // the second frame
    std::atomic<bool> cancel{false};
    std::string error;
    EXPECT_EQ(RunFastUpdate(link, Bytes(3 * 65536, 7), cancel, nullptr, error), 2);
    EXPECT_EQ(error, "Link lost while sending frame 2 of 3: Telnet send failed: gone");
    EXPECT_EQ(link.WriteSizes().size(), 6u);
}

// The tally counts what the link took whatever the outcome; only a whole image without a verdict may be installed.
TEST(TransferUpdateTest, TallyCountsTheBytesSentWhateverTheOutcome) {
    struct Case {
        const char* name;
        std::optional<unsigned char> lastVerdict;  // of frame 4 of 4; frame 3 is refused when `third` is ESC
        unsigned char third;
        std::uint64_t sent;
        bool mayInstall;
    };
    const Case cases[] = {
        {"frame 3 refused", ACK, ESC, 3 * 65536, false},
        {"checksum refused", ESC, ACK, 4 * 65536, false},
        {"no verdict on the whole image", std::nullopt, ACK, 4 * 65536, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClock clock;
        ScriptedTransport link(&clock);
        link.SetRecordWrites(false);
        FakeUpdateModem::Config config;
        config.verdict = [&c](std::size_t n, std::size_t f) {
            return n == f ? c.lastVerdict : std::optional<unsigned char>(n == 3 ? c.third : ACK);
        };
        FakeUpdateModem modem(link, clock, config);
        Bytes image;
        std::uint16_t blocks = 0;
        std::string error;
        ASSERT_TRUE(PrepareFirmware(Bytes(4 * 65536 - 100, 1), image, blocks, error));
        std::atomic<bool> cancel{false};
        TransferTally tally;
        EXPECT_EQ(RunPreparedFastUpdate(link, image, blocks, cancel, nullptr, error, &tally), 2);
        EXPECT_EQ(tally.sent.load(), c.sent);
        EXPECT_EQ(MayInstall(tally, 4 * 65536 - 100), c.mayInstall);
    }
}

TEST(TransferUpdateTest, InconsistentArgumentsAreRefusedBeforeSending) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    std::atomic<bool> cancel{false};
    std::string error;
    EXPECT_FALSE(TransferUpdate(link, Bytes(256, 0), 1, 0, true, cancel, nullptr, error));
    EXPECT_FALSE(TransferUpdate(link, Bytes(), 0, 256, true, cancel, nullptr, error));
    EXPECT_FALSE(TransferUpdate(link, Bytes(512, 0), 1, 256, true, cancel, nullptr, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(link.WriteSizes().empty());
}

TEST(LegacyUpdateTest, ThreeHundredBytesAsTwoBlocks) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.SetRandomChunks(11, 2);
    FakeUpdateModem::Config config;
    config.frameSize = 256;
    FakeUpdateModem modem(link, clock, config);
    const Bytes firmware = Pattern(300, 4);
    std::atomic<bool> cancel{false};
    ProgressLog progress;
    std::string error = "unchanged";
    ASSERT_TRUE(RunLegacyUpdate(link, firmware, cancel, progress.Callback(), error)) << error;
    EXPECT_EQ(error, "unchanged");
    const Bytes expected = Concat({ToBytes("QUIT\rUPDATE\r"), Bytes{ACK, ACK, 0x00, 0x02}, Padded(firmware)});
    EXPECT_TRUE(link.Written() == expected);
    EXPECT_EQ(link.WriteSizes(), (std::vector<std::size_t>{5, 7, 1, 1, 2, 256, 256}));
    EXPECT_EQ(std::count(link.Written().end() - 212, link.Written().end(), 0xFF), 212);
    const std::vector<ProgressReport> reports = {
        {0, "Starting legacy update", "Returning modem to cmd: menu"},
        {1, "Transferring firmware", "Frame size: 256 bytes"},
        {47, "Transferring firmware", "Transferred 256 / 512 bytes"},
        {95, "Transferring firmware", "Transferred 512 / 512 bytes"},
        {100, "Legacy transfer complete",
         "All 256-byte frames were acknowledged; this firmware cannot report its final modem-side checksum result. "
         "Check after reboot that the new firmware version is running"},
    };
    EXPECT_EQ(progress.reports, reports);
}

TEST(LegacyUpdateTest, LargeImageReportsZeroAfterTheFrameSizeReport) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeUpdateModem::Config config;
    config.frameSize = 256;
    FakeUpdateModem modem(link, clock, config);
    std::atomic<bool> cancel{false};
    ProgressLog progress;
    std::string error;
    ASSERT_TRUE(RunLegacyUpdate(link, Bytes(24576, 1), cancel, progress.Callback(), error)) << error;
    ASSERT_GE(progress.reports.size(), 3u);
    EXPECT_EQ(progress.reports[2], (ProgressReport{0, "Transferring firmware", "Transferred 256 / 24576 bytes"}));
    EXPECT_EQ(modem.FramesAnswered(), 96u);
}

TEST(LegacyUpdateTest, LastBlockIsAnOrdinaryFrame) {
    {
        FakeClock clock;
        ScriptedTransport link(&clock);
        FakeUpdateModem::Config config;
        config.frameSize = 256;
        config.verdict = [](std::size_t n, std::size_t f) { return std::optional<unsigned char>(n == f ? ESC : ACK); };
        FakeUpdateModem modem(link, clock, config);
        std::atomic<bool> cancel{false};
        std::string error;
        EXPECT_FALSE(RunLegacyUpdate(link, Bytes(1024, 1), cancel, nullptr, error));
        EXPECT_EQ(error, "Modem rejected a transfer frame");
    }
    for (const auto delay : {9500ms, 10500ms}) {
        FakeClock clock;
        ScriptedTransport link(&clock);
        FakeUpdateModem::Config config;
        config.frameSize = 256;
        config.delay = [&](std::size_t n, std::size_t f) { return n == f ? delay : 0ms; };
        FakeUpdateModem modem(link, clock, config);
        std::atomic<bool> cancel{false};
        std::string error;
        const bool ok = RunLegacyUpdate(link, Bytes(1024, 1), cancel, nullptr, error);
        EXPECT_EQ(ok, delay < 10000ms);
        if (!ok) {
            EXPECT_EQ(error, "No answer from the modem within 10 s while waiting for the verdict on block 4 of 4");
            EXPECT_LT(clock.Elapsed() - modem.LastFrameWrittenAt(), 10500ms);
        }
    }
}

TEST(LegacyUpdateTest, ModemThatRefusesUpdateToo) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeUpdateModem::Config config;
    config.offersLegacy = false;
    FakeUpdateModem modem(link, clock, config);
    std::atomic<bool> cancel{false};
    std::string error;
    EXPECT_FALSE(RunLegacyUpdate(link, Bytes(10, 1), cancel, nullptr, error));
    EXPECT_EQ(error, "The modem refused the legacy update request (received: Unknown<CR><LF>cmd: )");
    EXPECT_EQ(link.WrittenText(), "QUIT\rUPDATE\r");
    EXPECT_GE(clock.Elapsed(), 5000ms);
}

TEST(LegacyUpdateTest, CancellationBeforeABlockAndSizeFailures) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeUpdateModem::Config config;
    config.frameSize = 256;
    FakeUpdateModem modem(link, clock, config);
    std::atomic<bool> cancel{false};
    const ProgressCallback progress = [&](int, const std::string&, const std::string& detail) {
        if (detail == "Transferred 512 / 2560 bytes") cancel = true;
    };
    std::string error;
    EXPECT_FALSE(RunLegacyUpdate(link, Bytes(2560, 1), cancel, progress, error));
    EXPECT_EQ(error, "Update cancelled");
    EXPECT_EQ(modem.Received().size(), 512u);

    std::string error2;
    EXPECT_FALSE(RunLegacyUpdate(link, Bytes(), cancel, nullptr, error2));
    EXPECT_EQ(error2, "Firmware size must be between 1 and 16776960 bytes");
}

namespace {

// A connection reset right after the fast-update request is a lost link, as a clean close is: over a real
// socket, whose failure the link reports as a system error rather than as the peer's close.
TEST(FastUpdateTest, AConnectionResetAfterTheRequestIsNoRefusal) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Listen());
    auto link = CreateTelnetTransport("127.0.0.1", peer.Port());
    std::string error;
    ASSERT_TRUE(link->Open(error)) << error;
    ASSERT_TRUE(peer.Accept());
    std::thread modem([&peer] {
        if (ToText(peer.Receive(8)) == "UPDFAST\r") peer.ResetClient();
    });
    std::vector<unsigned char> image;
    std::uint16_t blocks = 0;
    ASSERT_TRUE(PrepareFirmware(Pattern(10), image, blocks, error));
    std::atomic<bool> cancel{false};
    UpdateOutcome outcome;
    const int result = RunPreparedFastUpdate(*link, image, blocks, cancel, nullptr, error, nullptr, &outcome, true);
    modem.join();
    EXPECT_EQ(result, static_cast<int>(UpdateResult::Failed)) << error;
    EXPECT_EQ(outcome.cause, UpdateCause::LinkLost);
    EXPECT_EQ(error.rfind("Link lost while waiting for the answer to the fast-update request: ", 0), 0u) << error;
}

}  // namespace
