// Modem log download over the scripted link (banners, both transfers, limits, cancellation) and the safe save.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <tuple>

#include "modemlog/ModemLog.h"
#include "support/FileSizeLimit.h"
#include "support/ScriptedTransport.h"
#include "support/FileFaults.h"
#include "transport/File.h"
#include "transport/Transport.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Paths as the core takes them: UTF-16/32 text converted from the path's UTF-8 form, whatever the locale.
std::wstring Wide(const fs::path& path) { return Utf8ToWide(path.u8string()); }

}  // namespace

namespace {

const char kFastBanner[] = "SYS LOG GETFAST\r\nSystem log fast download.\r\npress <ESC> to exit.\r\n";
const char kLegacyBanner[] = "SYS LOG GETFAST\r\nSystem log download.\r\npress <ESC> to exit.\r\n";

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

Bytes Pattern(std::size_t size, unsigned seed = 3) {
    Bytes data(size);
    std::uint32_t x = seed;
    for (auto& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(x >> 24);
    }
    return data;
}

// The modem's side: a banner, then the size or count field after SYN, then a piece after every ACK.
class FakeLogModem {
public:
    struct Config {
        std::string banner = kFastBanner;
        bool legacy = false;
        Bytes log;
        std::int64_t announce = -1;  // announced size (fast) or block count (legacy) instead of the real one
        std::size_t stallPiece = 0;  // 1-based piece that is never sent (0: none)
        std::size_t failPiece = 0;   // 1-based piece replaced by a link failure
        std::function<void(std::size_t piece)> beforePiece;
    };

    FakeLogModem(ScriptedTransport& link, Config config) : link_(link), config_(std::move(config)) {
        link_.Reply("QUIT\r", "\r\ncmd: ");
        link_.After("SYS LOG GETFAST\r", [this] {
            link_.Deliver(config_.banner);
            armNext_ = true;
        });
        link_.OnWrite([this](const unsigned char* data, std::size_t length) {
            for (std::size_t i = 0; i < length; ++i) Byte(data[i]);
            // Control bytes count from the write after the command.
            if (armNext_) armed_ = true;
        });
    }

    // Control bytes the tool sent after the command, in order.
    const Bytes& Controls() const { return controls_; }
    std::size_t PiecesSent() const { return piece_; }

private:
    void Byte(unsigned char b) {
        if (!armed_) return;
        controls_.push_back(b);
        if (b == SYN && !started_) {
            started_ = true;
            if (config_.legacy) {
                const std::uint64_t n = config_.announce >= 0 ? std::uint64_t(config_.announce) : config_.log.size() / 256;
                link_.Deliver(Bytes{static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
            } else {
                const std::uint64_t n = config_.announce >= 0 ? std::uint64_t(config_.announce) : config_.log.size();
                link_.Deliver(Bytes{static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
                                    static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
            }
            return;
        }
        if (b == ACK && started_ && sent_ < config_.log.size()) {
            const std::size_t size = config_.legacy ? 256 : 65536;
            const std::size_t n = std::min(size, config_.log.size() - sent_);
            ++piece_;
            if (config_.beforePiece) config_.beforePiece(piece_);
            if (piece_ == config_.stallPiece) {
                link_.Deliver(Bytes(config_.log.begin() + sent_, config_.log.begin() + sent_ + n / 2));
                sent_ = config_.log.size();
                return;
            }
            if (piece_ == config_.failPiece) {
                link_.DeliverReadFailure("Telnet receive failed: reset");
                return;
            }
            link_.Deliver(Bytes(config_.log.begin() + sent_, config_.log.begin() + sent_ + n));
            sent_ += n;
        }
    }

    ScriptedTransport& link_;
    Config config_;
    bool armed_ = false;
    bool armNext_ = false;
    bool started_ = false;
    std::size_t sent_ = 0;
    std::size_t piece_ = 0;
    Bytes controls_;
};

struct LogRun {
    int result = -1;
    Bytes log;
    std::string error;
    std::vector<ProgressReport> reports;
};

LogRun Download(ScriptedTransport& link, std::atomic<bool>& cancel) {
    LogRun run;
    run.log = {1, 2, 3};  // whatever was in it before is dropped
    run.result = DownloadModemLog(
        link, run.log, cancel,
        [&](int p, const std::string& s, const std::string& d) { run.reports.push_back({p, s, d}); }, run.error);
    return run;
}

}  // namespace

TEST(ModemLogDownloadTest, FastLogOf70000BytesInTwoChunks) {
    for (const std::uint32_t seed : {0u, 8u, 31u}) {
        FakeClock clock;
        ScriptedTransport link(&clock);
        if (seed != 0) link.SetRandomChunks(seed, 9000);
        FakeLogModem::Config config;
        config.log = Pattern(70000);
        FakeLogModem modem(link, config);
        std::atomic<bool> cancel{false};
        const LogRun run = Download(link, cancel);
        ASSERT_EQ(run.result, 0) << run.error;
        EXPECT_TRUE(run.log == config.log);
        EXPECT_EQ(link.WrittenText(), std::string("QUIT\rSYS LOG GETFAST\r") + char(SYN) + char(ACK) + char(ACK) + char(ACK));
        EXPECT_EQ(modem.PiecesSent(), 2u);
        const std::vector<ProgressReport> expected = {
            {0, "Preparing modem log", "Returning modem to cmd: menu"},
            {0, "Reading modem log", "Block size: 65536 bytes"},
            {93, "Reading modem log", "Received 65536 / 70000 bytes"},
            {100, "Reading modem log", "Received 70000 / 70000 bytes"},
        };
        EXPECT_EQ(run.reports, expected);
    }
}

TEST(ModemLogDownloadTest, EmptyFastLog) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeLogModem modem(link, {});
    std::atomic<bool> cancel{false};
    const LogRun run = Download(link, cancel);
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(run.log.empty());
    EXPECT_EQ(modem.Controls(), (Bytes{SYN, ACK}));
    ASSERT_EQ(run.reports.size(), 3u);
    EXPECT_EQ(run.reports[2], (ProgressReport{100, "Reading modem log", "The modem log is empty"}));
}

TEST(ModemLogDownloadTest, ImplausibleFastSizeIsRefusedWithEsc) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeLogModem::Config config;
    config.announce = 536870913;
    FakeLogModem modem(link, config);
    std::atomic<bool> cancel{false};
    const LogRun run = Download(link, cancel);
    EXPECT_EQ(run.result, 2);
    EXPECT_EQ(run.error, "The modem reported an implausible log size of 536870913 bytes");
    EXPECT_EQ(modem.Controls(), (Bytes{SYN, ESC}));
    EXPECT_TRUE(run.log.empty());
}

TEST(ModemLogDownloadTest, LargestThirtyTwoBitSizeIsRefused) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeLogModem::Config config;
    config.announce = 0xFFFFFFFFll;
    FakeLogModem modem(link, config);
    std::atomic<bool> cancel{false};
    const LogRun run = Download(link, cancel);
    EXPECT_EQ(run.error, "The modem reported an implausible log size of 4294967295 bytes");
    EXPECT_EQ(modem.Controls(), (Bytes{SYN, ESC}));
}

TEST(ModemLogDownloadTest, PercentagesOfLogsAbove42MBUse64BitArithmetic) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.SetRecordWrites(false);
    FakeLogModem::Config config;
    config.log = Pattern(45000000);
    FakeLogModem modem(link, config);
    std::atomic<bool> cancel{false};
    const LogRun run = Download(link, cancel);
    ASSERT_EQ(run.result, 0) << run.error;
    EXPECT_TRUE(run.log == config.log);
    // 0 % for the first chunk, then every step from 1 to 100 exactly once, in order.
    ASSERT_EQ(run.reports.size(), 2u + 101u);
    for (std::size_t i = 2; i < run.reports.size(); ++i) {
        EXPECT_EQ(run.reports[i].percent, static_cast<int>(i - 2));
    }
    EXPECT_EQ(run.reports[2].detail, "Received 65536 / 45000000 bytes");
    EXPECT_EQ(run.reports[3].detail, "Received 458752 / 45000000 bytes");  // the first chunk reaching 1 %
    EXPECT_EQ(run.reports.back().detail, "Received 45000000 / 45000000 bytes");
}

TEST(ModemLogDownloadTest, LegacyCountsZeroAndThree) {
    {
        FakeClock clock;
        ScriptedTransport link(&clock);
        FakeLogModem::Config config;
        config.banner = kLegacyBanner;
        config.legacy = true;
        FakeLogModem modem(link, config);
        std::atomic<bool> cancel{false};
        const LogRun run = Download(link, cancel);
        EXPECT_EQ(run.result, 1);
        EXPECT_TRUE(run.log.empty());
        EXPECT_EQ(modem.Controls(), (Bytes{SYN, ACK}));
        ASSERT_EQ(run.reports.size(), 2u);
        EXPECT_EQ(run.reports[1],
                  (ProgressReport{0, "Reading modem log (legacy protocol)", "This firmware uses 256-byte log blocks"}));
    }
    {
        FakeClock clock;
        ScriptedTransport link(&clock);
        link.SetRandomChunks(5, 100);
        FakeLogModem::Config config;
        config.banner = kLegacyBanner;
        config.legacy = true;
        config.log = Pattern(768);
        FakeLogModem modem(link, config);
        std::atomic<bool> cancel{false};
        const LogRun run = Download(link, cancel);
        ASSERT_EQ(run.result, 1) << run.error;
        EXPECT_TRUE(run.log == config.log);
        EXPECT_EQ(modem.Controls(), (Bytes{SYN, ACK, ACK, ACK, ACK}));
        const std::vector<ProgressReport> expected = {
            {0, "Preparing modem log", "Returning modem to cmd: menu"},
            {0, "Reading modem log (legacy protocol)", "This firmware uses 256-byte log blocks"},
            {33, "Reading modem log (legacy protocol)", "Received 256 / 768 bytes"},
            {66, "Reading modem log (legacy protocol)", "Received 512 / 768 bytes"},
            {100, "Reading modem log (legacy protocol)", "Received 768 / 768 bytes"},
        };
        EXPECT_EQ(run.reports, expected);
    }
}

TEST(ModemLogDownloadTest, BannerCases) {
    struct Case {
        const char* name;
        std::string banner;
        int result;
    } cases[] = {
        {"fast", kFastBanner, 0},
        {"legacy", kLegacyBanner, 1},
        // Both texts present: the fast one wins.
        {"both", "System log download.\r\nSystem log fast download.\r\npress <ESC> to exit.\r\n", 0},
        {"no exit line", "System log download.\r\n", 2},
        {"exit line without line feed", "System log fast download.\r\npress <ESC> to exit.\r", 2},
        {"neither text", "Log:\r\npress <ESC> to exit.\r\n", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClock clock;
        ScriptedTransport link(&clock);
        link.SetRandomChunks(17, 4);
        FakeLogModem::Config config;
        config.banner = c.banner;
        config.legacy = c.result == 1;
        FakeLogModem modem(link, config);
        std::atomic<bool> cancel{false};
        const LogRun run = Download(link, cancel);
        EXPECT_EQ(run.result, c.result);
        if (c.result == 2) {
            EXPECT_EQ(run.error, "The modem did not start its log-download protocol (" + DiagnosticResponse(c.banner) + ")");
            EXPECT_TRUE(modem.Controls().empty());
            EXPECT_GE(clock.Elapsed(), 5000ms);
            EXPECT_LT(clock.Elapsed(), 5500ms);
        }
    }
}

TEST(ModemLogDownloadTest, SilentModemAfterTheCommand) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.Reply("QUIT\r", "cmd: ");
    std::atomic<bool> cancel{false};
    const LogRun run = Download(link, cancel);
    EXPECT_EQ(run.result, 2);
    EXPECT_EQ(run.error, "The modem did not start its log-download protocol (no data received)");
    EXPECT_EQ(link.WrittenText(), "QUIT\rSYS LOG GETFAST\r");
}

// A cancel given to the link ends the return to the menu and the wait for the banner within 250 ms; once the
// command went out, the modem's log mode is still left with ESC.
TEST(ModemLogDownloadTest, CancelDuringTheMenuOrTheBannerEndsAtOnce) {
    for (const bool menuAnswered : {false, true}) {
        SCOPED_TRACE(menuAnswered);
        FakeClock clock;
        ScriptedTransport link(&clock);
        if (menuAnswered) link.Reply("QUIT\r", "cmd: ");
        std::atomic<bool> cancel{false};
        link.SetCancel(&cancel);
        link.At(1000ms, [&cancel] { cancel = true; });
        const LogRun run = Download(link, cancel);
        EXPECT_EQ(run.result, 2);
        EXPECT_EQ(run.error, "Log download cancelled");
        EXPECT_EQ(link.WrittenText(), menuAnswered ? "QUIT\rSYS LOG GETFAST\r\x1b" : "QUIT\r");
        EXPECT_LE(clock.Elapsed(), 1250ms);
    }
}

TEST(ModemLogDownloadTest, DeadlinesOfSizeChunkAndBlock) {
    struct Case {
        const char* name;
        bool legacy;
        std::size_t logSize;
        std::size_t stallPiece;
        bool silentSize;
        std::chrono::milliseconds limit;
        const char* message;
    } cases[] = {
        {"fast size", false, 1000, 0, true, 5000ms, "No answer from the modem within 5 s while waiting for the log size"},
        {"fast chunk", false, 200000, 2, false, 15000ms,
         "Only 32768 of 65536 bytes from the modem within 15 s while waiting for log chunk 2 of 4"},
        {"legacy count", true, 1024, 0, true, 5000ms,
         "No answer from the modem within 5 s while waiting for the log's block count"},
        {"legacy block", true, 1024, 3, false, 5000ms,
         "Only 128 of 256 bytes from the modem within 5 s while waiting for log block 3 of 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClock clock;
        ScriptedTransport link(&clock);
        FakeLogModem::Config config;
        config.banner = c.legacy ? kLegacyBanner : kFastBanner;
        config.legacy = c.legacy;
        config.log = Pattern(c.logSize);
        config.stallPiece = c.stallPiece;
        std::chrono::milliseconds stalledAt{0};
        config.beforePiece = [&](std::size_t piece) {
            if (piece == c.stallPiece) stalledAt = clock.Elapsed();
        };
        if (c.silentSize) {
            // Banner, then nothing at all after SYN.
            link.Reply("QUIT\r", "cmd: ");
            link.After("SYS LOG GETFAST\r", [&] {
                link.Deliver(config.banner);
                stalledAt = clock.Elapsed();
            });
        }
        std::unique_ptr<FakeLogModem> modem;
        if (!c.silentSize) modem = std::make_unique<FakeLogModem>(link, config);
        std::atomic<bool> cancel{false};
        const LogRun run = Download(link, cancel);
        EXPECT_EQ(run.result, 2);
        EXPECT_EQ(run.error, c.message);
        EXPECT_GE(clock.Elapsed() - stalledAt, c.limit);
        EXPECT_LT(clock.Elapsed() - stalledAt, c.limit + 500ms);
        EXPECT_TRUE(run.log.empty());
        // Nothing follows a timeout: the last byte written is the SYN or the last ACK.
        const unsigned char last = link.Written().back();
        EXPECT_TRUE(last == SYN || last == ACK);
    }
}

TEST(ModemLogDownloadTest, LinkFailureInTheDataPhase) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeLogModem::Config config;
    config.log = Pattern(200000);
    config.failPiece = 2;
    FakeLogModem modem(link, config);
    std::atomic<bool> cancel{false};
    const LogRun run = Download(link, cancel);
    EXPECT_EQ(run.result, 2);
    EXPECT_EQ(run.error, "Telnet receive failed: reset");
    EXPECT_EQ(modem.Controls(), (Bytes{SYN, ACK, ACK}));
}

TEST(ModemLogDownloadTest, CancellingAFastDownloadSendsEscInPlaceOfTheChunkAck) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    std::atomic<bool> cancel{false};
    FakeLogModem::Config config;
    config.log = Pattern(300000);
    // The user presses Cancel while chunk 2 is on its way.
    config.beforePiece = [&](std::size_t piece) {
        if (piece == 2) cancel = true;
    };
    FakeLogModem modem(link, config);
    const LogRun run = Download(link, cancel);
    EXPECT_EQ(run.result, 2);
    EXPECT_EQ(run.error, "Log download cancelled");
    EXPECT_EQ(modem.Controls(), (Bytes{SYN, ACK, ACK, ESC}));
    EXPECT_TRUE(run.log.empty());
}

TEST(ModemLogDownloadTest, CancellingWhileAFastChunkArrivesAnswersThatChunkWithEsc) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    std::atomic<bool> cancel{false};
    FakeLogModem::Config config;
    config.log = Pattern(100000);
    config.stallPiece = 1;  // half of chunk 1 comes at once, the rest a second later
    config.beforePiece = [&](std::size_t) {
        link.At(clock.Elapsed() + 1000ms, [&] {
            // The user presses Cancel while the tool is reading the chunk.
            cancel = true;
            link.Deliver(Bytes(config.log.begin() + 32768, config.log.begin() + 65536));
        });
    };
    FakeLogModem modem(link, config);
    const LogRun run = Download(link, cancel);
    EXPECT_EQ(run.result, 2);
    EXPECT_EQ(run.error, "Log download cancelled");
    EXPECT_EQ(modem.Controls(), (Bytes{SYN, ACK, ESC})) << "the chunk read during the cancel is not acknowledged";
}

TEST(ModemLogDownloadTest, AFastLogOfExactlyTheLimitIsAccepted) {
    // Nothing kept: the whole 512 MiB is not needed to see the size accepted.
    class CountingSink : public LogSink {
    public:
        bool Begin(std::uint64_t length, std::string&) override {
            announced = length;
            return true;
        }
        bool Append(const unsigned char*, std::size_t, std::string&) override { return true; }
        std::uint64_t announced = 0;
    };
    FakeClock clock;
    ScriptedTransport link(&clock);
    std::atomic<bool> cancel{false};
    FakeLogModem::Config config;
    config.log = Pattern(65536);
    config.announce = 536870912;
    config.beforePiece = [&](std::size_t) { cancel = true; };
    FakeLogModem modem(link, config);
    CountingSink sink;
    std::string error;
    EXPECT_EQ(DownloadModemLogTo(link, sink, cancel, nullptr, error), 2);
    EXPECT_EQ(error, "Log download cancelled");
    EXPECT_EQ(sink.announced, 536870912u);
    EXPECT_EQ(modem.Controls(), (Bytes{SYN, ACK, ESC})) << "the size is acknowledged, not refused";
}

TEST(ModemLogDownloadTest, CancelledBeforeTheFirstChunkOrBlock) {
    for (const bool legacy : {false, true}) {
        FakeClock clock;
        ScriptedTransport link(&clock);
        std::atomic<bool> cancel{false};
        FakeLogModem::Config config;
        config.banner = legacy ? kLegacyBanner : kFastBanner;
        config.legacy = legacy;
        config.log = Pattern(1024);
        // Cancel pressed as the size is acknowledged: the first piece is never read, ESC instead.
        config.beforePiece = [&](std::size_t piece) {
            if (piece == 1) cancel = true;
        };
        FakeLogModem modem(link, config);
        const LogRun run = Download(link, cancel);
        EXPECT_EQ(run.result, 2);
        EXPECT_EQ(run.error, "Log download cancelled");
        EXPECT_EQ(modem.Controls(), (Bytes{SYN, ACK, ESC}));
    }
}

TEST(ModemLogDownloadTest, CancellingALegacyDownloadSendsEscBeforeTheNextBlock) {
    FakeClock clock;
    ScriptedTransport link(&clock);
    std::atomic<bool> cancel{false};
    FakeLogModem::Config config;
    config.banner = kLegacyBanner;
    config.legacy = true;
    config.log = Pattern(256 * 10);
    config.beforePiece = [&](std::size_t piece) {
        if (piece == 4) cancel = true;
    };
    FakeLogModem modem(link, config);
    const LogRun run = Download(link, cancel);
    EXPECT_EQ(run.result, 2);
    EXPECT_EQ(run.error, "Log download cancelled");
    // Count ACK, blocks 1..3 read and acknowledged, then ESC instead of reading block 4 (already on its way).
    EXPECT_EQ(modem.Controls(), (Bytes{SYN, ACK, ACK, ACK, ACK, ESC}));
}

TEST(ModemLogDownloadTest, NoPromptAfterQuit) {
    FakeClock clock;
    ScriptedTransport link(&clock, "COM4");
    std::atomic<bool> cancel{false};
    const LogRun run = Download(link, cancel);
    EXPECT_EQ(run.result, 2);
    EXPECT_EQ(run.error.rfind("QUIT did not return the modem at COM4 to the cmd: menu", 0), 0u);
    EXPECT_EQ(link.WrittenText(), "QUIT\r");
    ASSERT_EQ(run.reports.size(), 1u);
}

// --- saving ---

namespace {

class SaveLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        folder_ = fs::temp_directory_path() / ("brisklode-log-" + std::to_string(random()));
        fs::create_directories(folder_);
    }
    void TearDown() override {
        SetFileFaults(FileFaults());
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    static Bytes ReadAll(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void WriteAll(const fs::path& path, const Bytes& content) {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder_)) names.push_back(entry.path().filename().u8string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path folder_;
};

}  // namespace

TEST_F(SaveLogTest, WritesTheBytesUnchangedAndReplacesAnExistingFile) {
    const fs::path path = folder_ / fs::u8path(u8"modem-log-\u00e9.bin");
    const Bytes first = Pattern(3 * 1048576 + 5, 1);
    std::string error = "unchanged";
    ASSERT_TRUE(SaveModemLogFile(Wide(path), first, error)) << error;
    EXPECT_EQ(error, "unchanged");
    EXPECT_TRUE(ReadAll(path) == first);

    const Bytes second = Pattern(1000, 2);
    ASSERT_TRUE(SaveModemLogFile(Wide(path), second, error)) << error;
    EXPECT_TRUE(ReadAll(path) == second);
    EXPECT_EQ(Entries(), std::vector<std::string>{path.filename().u8string()});
}

TEST_F(SaveLogTest, EmptyLogGivesAnEmptyFile) {
    const fs::path path = folder_ / "empty.log";
    WriteAll(path, Pattern(500));
    std::string error;
    ASSERT_TRUE(SaveModemLogFile(Wide(path), Bytes(), error)) << error;
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::file_size(path), 0u);
}

TEST_F(SaveLogTest, PathsThatCannotBeCreated) {
    std::string error;
    EXPECT_FALSE(SaveModemLogFile(Wide(folder_ / "no-such-folder" / "x.log"), Pattern(10), error));
    EXPECT_EQ(error, "Cannot create the selected log file");
    EXPECT_TRUE(Entries().empty());

    // The destination is a folder: it stays as it was and nothing is left beside it.
    const fs::path sub = folder_ / "taken";
    fs::create_directories(sub);
    WriteAll(sub / "inside.txt", Pattern(5));
    error.clear();
    EXPECT_FALSE(SaveModemLogFile(Wide(sub), Pattern(10), error));
    EXPECT_EQ(error, "Cannot create the selected log file");
    EXPECT_TRUE(fs::is_directory(sub));
    EXPECT_EQ(Entries(), std::vector<std::string>{"taken"});
}

TEST_F(SaveLogTest, EveryFailureLeavesTheExistingFileAndNoLeftovers) {
    struct Case {
        const char* name;
        FileFaults faults;
        std::string message;
    };
    auto make = [](auto set) {
        FileFaults f;
        set(f);
        return f;
    };
    const Case cases[] = {
        {"create", make([](auto& f) { f.failCreate = true; }), "Cannot create the selected log file"},
        {"write in the middle", make([](auto& f) { f.writeFailsAfter = 2 * 1048576 + 100; }),
         "Cannot write the selected log file"},
        {"first write", make([](auto& f) { f.writeFailsAfter = 0; }), "Cannot write the selected log file"},
        {"flush", make([](auto& f) { f.failFlush = true; }), "Cannot write the selected log file"},
        {"close", make([](auto& f) { f.failClose = true; }), "Cannot close the selected log file"},
        {"replace", make([](auto& f) { f.failCommit = true; }), "Cannot create the selected log file"},
    };
    const fs::path path = folder_ / "modem.log";
    const Bytes original = Pattern(4321, 9);
    const Bytes log = Pattern(5 * 1048576, 10);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteAll(path, original);
        SetFileFaults(c.faults);
        std::string error;
        EXPECT_FALSE(SaveModemLogFile(Wide(path), log, error));
        SetFileFaults(FileFaults());
        // Where a failed replacement keeps the new log (Windows), it says where, and that file holds the log.
        const std::string keptAs = c.message + " (the new log is kept as ";
        if (error.rfind(keptAs, 0) == 0) {
            const fs::path kept = fs::u8path(error.substr(keptAs.size(), error.size() - keptAs.size() - 1));
            EXPECT_TRUE(ReadAll(kept) == log);
            fs::remove(kept);
            error = c.message;
        }
        EXPECT_EQ(error, c.message);
        EXPECT_TRUE(ReadAll(path) == original);
        EXPECT_EQ(Entries(), std::vector<std::string>{"modem.log"});
    }
    // Without a previous file a failed save leaves no file at all.
    fs::remove(path);
    FileFaults faults;
    faults.writeFailsAfter = 1048576;
    SetFileFaults(faults);
    std::string error;
    EXPECT_FALSE(SaveModemLogFile(Wide(path), log, error));
    EXPECT_TRUE(Entries().empty());
}

TEST_F(SaveLogTest, NewFileIsInvisibleUnderTheDestinationNameUntilComplete) {
    const fs::path path = folder_ / "live.log";
    WriteAll(path, Pattern(10, 1));
    std::unique_ptr<ReplacementFile> file = CreateReplacementFile(Wide(path));
    ASSERT_TRUE(file);
    const fs::path temporary = fs::u8path(WideToUtf8(file->TemporaryPath()));
    EXPECT_EQ(temporary.parent_path(), folder_);
    const Bytes content = Pattern(100, 2);
    std::size_t written = 0;
    ASSERT_TRUE(file->Write(content.data(), content.size(), written));
    EXPECT_EQ(written, content.size());
    EXPECT_TRUE(ReadAll(path) == Pattern(10, 1));
    ASSERT_TRUE(file->Flush());
    ASSERT_TRUE(file->Close());
    EXPECT_TRUE(ReadAll(path) == Pattern(10, 1));
    ASSERT_TRUE(file->Commit());
    EXPECT_TRUE(ReadAll(path) == content);
    EXPECT_FALSE(fs::exists(temporary));
    file.reset();
    EXPECT_TRUE(ReadAll(path) == content);
}

TEST_F(SaveLogTest, RealWriteFailureInTheMiddleKeepsTheExistingFile) {
    const fs::path path = folder_ / "modem.log";
    const Bytes original = Pattern(1000, 11);
    WriteAll(path, original);
    const Bytes log = Pattern(6 * 1048576, 12);
    std::string error;
    bool ok;
    {
        // The system itself refuses the write once the new file passes 2.5 MiB.
        FileSizeLimit limit(5 * 512 * 1024);
        if (!limit.Active()) GTEST_SKIP() << "no file size limit on this platform";
        ok = SaveModemLogFile(Wide(path), log, error);
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "Cannot write the selected log file");
    EXPECT_TRUE(ReadAll(path) == original);
    EXPECT_EQ(Entries(), std::vector<std::string>{"modem.log"});
}

// --- streamed into a file ---

TEST_F(SaveLogTest, StreamedDownloadReplacesTheFileOnlyWhenComplete) {
    const fs::path path = folder_ / "streamed.log";
    const Bytes original = Pattern(777, 21);
    for (const bool legacy : {false, true}) {
        SCOPED_TRACE(legacy ? "legacy" : "fast");
        WriteAll(path, original);
        // A link failure in the middle: the old file stays whole and nothing is left beside it.
        {
            FakeClock clock;
            ScriptedTransport link(&clock);
            FakeLogModem::Config config;
            config.banner = legacy ? kLegacyBanner : kFastBanner;
            config.legacy = legacy;
            config.log = Pattern(legacy ? 2560 : 200000, 22);
            config.failPiece = 3;
            FakeLogModem modem(link, config);
            std::atomic<bool> cancel{false};
            LogFileOutcome outcome;
            std::string error;
            EXPECT_EQ(DownloadModemLogToFile(link, Wide(path), cancel, nullptr, outcome, error), 2);
            EXPECT_EQ(error, "Telnet receive failed: reset");
            EXPECT_FALSE(outcome.inPlace);
            EXPECT_TRUE(ReadAll(path) == original);
            EXPECT_EQ(Entries(), std::vector<std::string>{"streamed.log"});
        }
        FakeClock clock;
        ScriptedTransport link(&clock);
        FakeLogModem::Config config;
        config.banner = legacy ? kLegacyBanner : kFastBanner;
        config.legacy = legacy;
        config.log = Pattern(legacy ? 2560 : 200000, 23);
        FakeLogModem modem(link, config);
        std::atomic<bool> cancel{false};
        LogFileOutcome outcome;
        std::string error;
        ASSERT_EQ(DownloadModemLogToFile(link, Wide(path), cancel, nullptr, outcome, error), legacy ? 1 : 0) << error;
        EXPECT_EQ(outcome.bytes, config.log.size());
        EXPECT_TRUE(ReadAll(path) == config.log);
        EXPECT_EQ(Entries(), std::vector<std::string>{"streamed.log"});
    }
}

TEST_F(SaveLogTest, AFileThatCannotBeWrittenStopsTheDownloadWithEsc) {
    const fs::path path = folder_ / "modem.log";
    const Bytes original = Pattern(300, 24);
    WriteAll(path, original);
    // Writing fails within the second chunk: ESC goes in place of its ACK.
    FileFaults faults;
    faults.writeFailsAfter = 65536 + 1000;
    SetFileFaults(faults);
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeLogModem::Config config;
    config.log = Pattern(300000, 25);
    FakeLogModem modem(link, config);
    std::atomic<bool> cancel{false};
    LogFileOutcome outcome;
    std::string error;
    EXPECT_EQ(DownloadModemLogToFile(link, Wide(path), cancel, nullptr, outcome, error), 2);
    EXPECT_EQ(error, "Cannot write the selected log file");
    EXPECT_EQ(modem.Controls(), (Bytes{SYN, ACK, ACK, ESC}));
    EXPECT_TRUE(ReadAll(path) == original);
    EXPECT_EQ(Entries(), std::vector<std::string>{"modem.log"});

    // A destination that cannot be created is known before the modem is asked for anything.
    SetFileFaults(FileFaults());
    ScriptedTransport idle(&clock);
    error.clear();
    EXPECT_EQ(DownloadModemLogToFile(idle, Wide(folder_ / "no-such-folder" / "x.log"), cancel, nullptr, outcome, error), 2);
    EXPECT_EQ(error, "Cannot create the selected log file");
    EXPECT_EQ(idle.WrittenText(), "");
}

TEST_F(SaveLogTest, AFolderThatTakesNoNewFileIsWrittenInPlace) {
    const fs::path path = folder_ / "modem.log";
    const Bytes original = Pattern(5000, 26);
    WriteAll(path, original);
    FileFaults faults;
    faults.refuseNewFileBeside = true;
    SetFileFaults(faults);
    {
        // Until the first byte is written the old content stays: a download that fails early loses nothing.
        LogFileSink sink;
        std::string error;
        ASSERT_TRUE(sink.Open(Wide(path), error)) << error;
        EXPECT_TRUE(sink.InPlace());
    }
    EXPECT_TRUE(ReadAll(path) == original);

    const Bytes log = Pattern(1200, 27);
    std::string error;
    ASSERT_TRUE(SaveModemLogFile(Wide(path), log, error)) << error;
    EXPECT_TRUE(ReadAll(path) == log);
    ASSERT_TRUE(SaveModemLogFile(Wide(path), Bytes(), error)) << error;
    EXPECT_EQ(fs::file_size(path), 0u);
    EXPECT_EQ(Entries(), std::vector<std::string>{"modem.log"});

    // Without an existing file there is nothing to write in place.
    EXPECT_FALSE(SaveModemLogFile(Wide(folder_ / "new.log"), log, error));
    EXPECT_EQ(error, "Cannot create the selected log file");

    // A first write that fails has already cut the old content: the outcome says the file is incomplete.
    WriteAll(path, original);
    faults.writeFailsAfter = 0;
    SetFileFaults(faults);
    FakeClock clock;
    ScriptedTransport link(&clock);
    FakeLogModem::Config config;
    config.log = Pattern(1000, 28);
    FakeLogModem modem(link, config);
    std::atomic<bool> cancel{false};
    LogFileOutcome outcome;
    EXPECT_EQ(DownloadModemLogToFile(link, Wide(path), cancel, nullptr, outcome, error), 2);
    EXPECT_EQ(error, "Cannot write the selected log file");
    EXPECT_TRUE(outcome.inPlace);
    EXPECT_EQ(outcome.bytes, 0u);
    EXPECT_TRUE(outcome.incomplete);
    // What the window and the command line tell the user: the file, the system's reason, and that it changed.
    EXPECT_TRUE(outcome.fileFailed);
    EXPECT_NE(outcome.systemError, 0u);
    EXPECT_EQ(InPlaceNote("m.log", outcome, false),
              "m.log was written in place (its folder takes no new file, or it has other hard links) and is incomplete");
}

// A modem that stalls halfway through a piece: Cancel is answered with ESC within 250 ms, not after the
// piece's 15 s (fast) or 5 s (legacy) limit.
TEST(ModemLogDownloadTest, CancelDuringAStalledPieceSendsEscWithin250Ms) {
    for (const bool legacy : {false, true}) {
        SCOPED_TRACE(legacy ? "legacy" : "fast");
        FakeClock clock;
        ScriptedTransport link(&clock);
        std::atomic<bool> cancel{false};
        FakeLogModem::Config config;
        config.banner = legacy ? kLegacyBanner : kFastBanner;
        config.legacy = legacy;
        config.log = Pattern(legacy ? 256 * 10 : 300000);
        config.stallPiece = 2;
        FakeLogModem modem(link, config);
        std::chrono::milliseconds escAt{-1};
        link.OnWrite([&](const unsigned char* data, std::size_t length) {
            if (length == 1 && data[0] == ESC) escAt = clock.Elapsed();
        });
        link.At(std::chrono::milliseconds(2000), [&] { cancel = true; });
        const LogRun run = Download(link, cancel);
        EXPECT_EQ(run.result, 2);
        EXPECT_EQ(run.error, "Log download cancelled");
        EXPECT_EQ(modem.Controls(), (Bytes{SYN, ACK, ACK, ESC}));
        EXPECT_GE(escAt.count(), 2000);
        EXPECT_LE(escAt.count(), 2250);
        EXPECT_TRUE(run.log.empty());
    }
}

TEST_F(SaveLogTest, ManyReplacementFilesOpenAtOnceInOneFolder) {
    // One per running target of a large fleet saving into one folder.
    constexpr int kFiles = 150;
    std::vector<std::unique_ptr<ReplacementFile>> files;
    for (int i = 0; i < kFiles; ++i) {
        files.push_back(CreateReplacementFile(Wide(folder_ / ("target-" + std::to_string(i) + ".log"))));
        ASSERT_TRUE(files.back()) << "file " << i;
    }
    for (int i = 0; i < kFiles; ++i) {
        const Bytes content = Pattern(100, static_cast<unsigned>(i));
        std::size_t written = 0;
        ASSERT_TRUE(files[i]->Write(content.data(), content.size(), written));
        ASSERT_TRUE(files[i]->Flush() && files[i]->Close() && files[i]->Commit()) << "file " << i;
    }
    files.clear();
    EXPECT_EQ(Entries().size(), static_cast<std::size_t>(kFiles)) << "only the logs, nothing left beside them";
    EXPECT_TRUE(ReadAll(folder_ / "target-149.log") == Pattern(100, 149));
}
