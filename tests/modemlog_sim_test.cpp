// Modem log download from the simulator over loopback Telnet, saved to disk: both transfers, limits, failures.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>

#include "modemlog/ModemLog.h"
#include "support/Simulator.h"
#include "support/FileFaults.h"
#include "transport/File.h"
#include "transport/Transport.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Pattern(std::size_t size, unsigned seed) {
    Bytes data(size);
    std::uint32_t x = seed * 2246822519u + 1;
    for (auto& b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x);
    }
    return data;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& content) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

class LogSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (SimulatorPath().empty()) GTEST_SKIP() << "no simulator (set BRISKLODE_SIM)";
    }
    void TearDown() override { SetFileFaults(FileFaults()); }

    // Starts the simulator serving `content` as its log, and opens a Telnet link to it.
    void Start(const Bytes& content, std::vector<std::string> args) {
        WriteFile(sim_.LocalPath("content.bin"), content);
        args.push_back("--log-content");
        args.push_back(sim_.NativePath("content.bin"));
        std::string error;
        ASSERT_TRUE(sim_.Start(args, error)) << error;
        link_ = CreateTelnetTransport("127.0.0.1", sim_.TelnetPort());
        ASSERT_TRUE(link_->Open(error)) << error;
    }

    int Download(Bytes& log, std::string& error) {
        return DownloadModemLog(*link_, log, cancel_, [](int, const std::string&, const std::string&) {}, error);
    }

    std::wstring SavePath(const std::string& name) const { return Utf8ToWide(sim_.LocalPath(name)); }

    SimulatorProcess sim_;
    std::unique_ptr<ITransport> link_;
    std::atomic<bool> cancel_{false};
};

}  // namespace

TEST_F(LogSimTest, FastLogSavedByteIdentical) {
    const Bytes content = Pattern(3 * 65536 + 1234, 1);
    Start(content, {"--log-mode", "fast"});
    Bytes log;
    std::string error;
    ASSERT_EQ(Download(log, error), 0) << error;
    std::string saveError;
    ASSERT_TRUE(SaveModemLogFile(SavePath("saved.log"), log, saveError)) << saveError;
    EXPECT_TRUE(ReadFile(sim_.LocalPath("saved.log")) == content);

    // The link stays usable: a second download over it gives the same bytes.
    Bytes again;
    ASSERT_EQ(Download(again, error), 0) << error;
    EXPECT_TRUE(again == content);
}

TEST_F(LogSimTest, LegacyLogSavedByteIdentical) {
    const Bytes content = Pattern(768, 2);
    Start(content, {"--log-mode", "legacy"});
    Bytes log;
    std::string error;
    ASSERT_EQ(Download(log, error), 1) << error;
    std::string saveError;
    ASSERT_TRUE(SaveModemLogFile(SavePath("saved.log"), log, saveError)) << saveError;
    EXPECT_TRUE(ReadFile(sim_.LocalPath("saved.log")) == content);
}

TEST_F(LogSimTest, LegacyLogIsWholeBlocks) {
    const Bytes content = Pattern(1000, 3);
    Start(content, {"--log-mode", "legacy"});
    Bytes log;
    std::string error;
    ASSERT_EQ(Download(log, error), 1) << error;
    ASSERT_EQ(log.size(), 1024u);
    EXPECT_TRUE(std::equal(content.begin(), content.end(), log.begin()));
}

TEST_F(LogSimTest, EmptyLogGivesAnEmptyFile) {
    Start(Bytes(), {"--log-mode", "fast"});
    Bytes log = {1};
    std::string error;
    ASSERT_EQ(Download(log, error), 0) << error;
    EXPECT_TRUE(log.empty());
    const std::string path = sim_.LocalPath("empty.log");
    WriteFile(path, Pattern(50, 4));
    ASSERT_TRUE(SaveModemLogFile(Utf8ToWide(path), log, error)) << error;
    EXPECT_TRUE(ReadFile(path).empty());
}

TEST_F(LogSimTest, ImplausibleSizeIsRefusedWithEsc) {
    Start(Pattern(100, 5), {"--log-announce", "536870913"});
    Bytes log;
    std::string error;
    EXPECT_EQ(Download(log, error), 2);
    EXPECT_EQ(error, "The modem reported an implausible log size of 536870913 bytes");
    EXPECT_TRUE(sim_.WaitForLog("<27>")) << sim_.ReadLog();
}

TEST_F(LogSimTest, BannerWithoutADownloadText) {
    Start(Pattern(100, 6), {"--log-banner-plain"});
    Bytes log;
    std::string error;
    EXPECT_EQ(Download(log, error), 2);
    EXPECT_EQ(error.rfind("The modem did not start its log-download protocol (", 0), 0u) << error;
    EXPECT_NE(error.find("press <ESC> to exit.<CR><LF>"), std::string::npos) << error;
}

TEST_F(LogSimTest, StalledLegacyBlockTimesOut) {
    Start(Pattern(256 * 5, 7), {"--log-mode", "legacy", "--log-stall-chunk", "3"});
    Bytes log;
    std::string error;
    EXPECT_EQ(Download(log, error), 2);
    EXPECT_EQ(error, "Only 128 of 256 bytes from the modem within 5 s while waiting for log block 3 of 5");
    EXPECT_TRUE(log.empty());
}

TEST_F(LogSimTest, CancellationSendsEsc) {
    Start(Pattern(5 * 65536, 8), {"--log-mode", "fast"});
    Bytes log;
    std::string error;
    const ProgressCallback progress = [&](int percent, const std::string&, const std::string& detail) {
        if (percent > 0 && detail.rfind("Received ", 0) == 0) cancel_ = true;
    };
    EXPECT_EQ(DownloadModemLog(*link_, log, cancel_, progress, error), 2);
    EXPECT_EQ(error, "Log download cancelled");
    EXPECT_TRUE(sim_.WaitForLog("<27>")) << sim_.ReadLog();
}

TEST_F(LogSimTest, SaveFailuresKeepTheExistingFile) {
    const Bytes content = Pattern(2 * 1048576 + 77, 9);
    Start(content, {"--log-mode", "fast"});
    Bytes log;
    std::string error;
    ASSERT_EQ(Download(log, error), 0) << error;

    EXPECT_FALSE(SaveModemLogFile(SavePath("missing-folder/x.log"), log, error));
    EXPECT_EQ(error, "Cannot create the selected log file");

    const std::string path = sim_.LocalPath("keep.log");
    const Bytes previous = Pattern(999, 10);
    WriteFile(path, previous);
    FileFaults faults;
    faults.writeFailsAfter = 1048576 + 5;
    SetFileFaults(faults);
    EXPECT_FALSE(SaveModemLogFile(Utf8ToWide(path), log, error));
    SetFileFaults(FileFaults());
    EXPECT_EQ(error, "Cannot write the selected log file");
    EXPECT_TRUE(ReadFile(path) == previous);

    ASSERT_TRUE(SaveModemLogFile(Utf8ToWide(path), log, error)) << error;
    EXPECT_TRUE(ReadFile(path) == content);
}
