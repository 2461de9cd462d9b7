// A hostile modem: random bytes, endless text without the awaited marker, oversized announcements and a flood
// of option requests at each phase; the tool must end with an error within its deadline and keep what it
// holds bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "console/Console.h"
#include "modemlog/ModemLog.h"
#include "support/Simulator.h"
#include "support/Watchdog.h"
#include "transport/Transport.h"
#include "update/Update.h"

namespace {

// ReadUntil keeps at most 32 KiB plus one 1 KiB read; a rendered byte takes at most five characters ("<255>").
constexpr std::size_t kTextBound = 32768 + 1024;
constexpr std::size_t kRenderedBound = 5 * kTextBound;

class HostileModem : public ::testing::Test {
protected:
    void StartModem(const std::vector<std::string>& extra) {
        if (SimulatorPath().empty()) GTEST_SKIP() << "simulator not available";
        std::vector<std::string> args = {"--telnet-offers", "none"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string error;
        ASSERT_TRUE(sim_.Start(args, error)) << error;
        link_ = CreateTelnetTransport("127.0.0.1", sim_.TelnetPort());
        ASSERT_TRUE(link_->Open(error)) << error;
        started_ = std::chrono::steady_clock::now();
    }
    long long ElapsedMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_)
            .count();
    }
    std::string Prefix() const { return "QUIT did not return the modem at " + link_->Description() + " to the cmd: menu ("; }

    SimulatorProcess sim_;
    std::unique_ptr<ITransport> link_;
    std::chrono::steady_clock::time_point started_;
    std::atomic<bool> cancel_{false};
    const ProgressCallback progress_ = [](int, const std::string&, const std::string&) {};
};

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST_F(HostileModem, RandomBytesAfterQuitKeepTheMarkerReadBoundedAndTimeOut) {
    StartModem({"--hostile", "random:quit"});
    static const unsigned char quit[] = {'Q', 'U', 'I', 'T', '\r'};
    std::string error;
    ASSERT_TRUE(link_->Write(quit, sizeof quit, error)) << error;
    std::string received;
    EXPECT_FALSE(ReadUntil(*link_, "cmd: ", 5000, received, error));
    EXPECT_EQ(error, "No \"cmd: \" from the modem within 5 s");
    // Megabytes arrived in those 5 s; the text kept is the newest part, cut back as it grows.
    EXPECT_LE(received.size(), kTextBound);
    EXPECT_GE(received.size(), 16384u);
    EXPECT_LT(ElapsedMs(), 5000 + 3000);
}

TEST_F(HostileModem, EndlessTextFromConnectEndsTheMenuReturnWithinItsBounds) {
    // The drain before QUIT never sees silence here; it must stop by itself, then QUIT gets its 5 s.
    StartModem({"--hostile", "endless:connect"});
    ModemIdentity identity;
    std::string error;
    EXPECT_FALSE(CheckModemIdentity(*link_, identity, error));
    EXPECT_TRUE(StartsWith(error, Prefix())) << error.substr(0, 200);
    EXPECT_TRUE(EndsWith(error, "): No \"cmd: \" from the modem within 5 s")) << error.substr(error.size() - 200);
    EXPECT_LE(error.size(), kRenderedBound + 200);
    EXPECT_LT(ElapsedMs(), 5000 + 5000 + 4000);
}

TEST_F(HostileModem, EndlessTextAfterTheIdentityQueryGivesTheIncompleteReplyMessage) {
    StartModem({"--hostile", "endless:identity"});
    ModemIdentity identity;
    std::string error;
    EXPECT_FALSE(CheckModemIdentity(*link_, identity, error));
    const std::string prefix = "No complete V ### reply from modem at " + link_->Description() + " within 5 s (";
    EXPECT_TRUE(StartsWith(error, prefix)) << error.substr(0, 200);
    EXPECT_TRUE(EndsWith(error, "the modem accepts only one Telnet console client at a time"));
    EXPECT_LE(error.size(), kRenderedBound + 300);
    EXPECT_LT(ElapsedMs(), 5000 + 3000);
}

TEST_F(HostileModem, AMegabyteTypeCodeNeverPassesAsAnIdentity) {
    StartModem({"--hostile", "oversized:identity"});
    ModemIdentity identity;
    std::string error;
    EXPECT_FALSE(CheckModemIdentity(*link_, identity, error));
    EXPECT_TRUE(StartsWith(error, "No complete V ### reply from modem at ")) << error.substr(0, 200);
    EXPECT_LE(error.size(), kRenderedBound + 300);
    EXPECT_LE(identity.response.size(), kTextBound);
    EXPECT_LT(ElapsedMs(), 5000 + 3000);
}

TEST_F(HostileModem, AMegabyteBeforeThePromptOrHandshakeRequestIsWadedThrough) {
    // Oversized text that does end in the awaited marker is no failure: the marker is still found.
    StartModem({"--hostile", "oversized:quit"});
    ModemIdentity identity;
    std::string error;
    EXPECT_TRUE(CheckModemIdentity(*link_, identity, error)) << error.substr(0, 300);
    EXPECT_EQ(identity.firmware, "7.2");

    SimulatorProcess updateSim;
    ASSERT_TRUE(updateSim.Start({"--telnet-offers", "none", "--hostile", "oversized:update"}, error)) << error;
    std::unique_ptr<ITransport> link = CreateTelnetTransport("127.0.0.1", updateSim.TelnetPort());
    ASSERT_TRUE(link->Open(error)) << error;
    const std::vector<unsigned char> firmware(1000, 0x42);
    EXPECT_EQ(RunFastUpdate(*link, firmware, cancel_, progress_, error), static_cast<int>(UpdateResult::Installed))
        << error;
    EXPECT_TRUE(updateSim.WaitForLog("image stored: 1024 bytes"));
}

TEST_F(HostileModem, EndlessTextInPlaceOfTheHandshakeRequestEndsBothUpdates) {
    StartModem({"--hostile", "endless:update"});
    const std::vector<unsigned char> firmware(512, 0x42);
    std::string error;
    // Text without the handshake or the prompt is no refusal: the modem is not asked the legacy question.
    EXPECT_EQ(RunFastUpdate(*link_, firmware, cancel_, progress_, error), static_cast<int>(UpdateResult::Failed));
    EXPECT_TRUE(StartsWith(error, "Unexpected answer to the fast-update request: no \"Send handshake sequence\" "
                                  "within 5 s (received: "))
        << error.substr(0, 200);
    EXPECT_LE(error.size(), 600u) << "what arrived is shown, but only its start";
    EXPECT_LT(ElapsedMs(), 5000 + 3000);
    // The stream goes on: the legacy attempt cannot even reach the menu again.
    EXPECT_FALSE(RunLegacyUpdate(*link_, firmware, cancel_, progress_, error));
    EXPECT_TRUE(StartsWith(error, Prefix())) << error.substr(0, 200);
    EXPECT_LE(error.size(), kRenderedBound + 200);
    EXPECT_FALSE(sim_.ReadLog().find("rx <6>") != std::string::npos) << "the tool sent a handshake";
}

TEST_F(HostileModem, RandomBytesInPlaceOfTheLogBannerEndTheDownload) {
    StartModem({"--hostile", "random:log"});
    std::vector<unsigned char> log;
    std::string error;
    EXPECT_EQ(DownloadModemLog(*link_, log, cancel_, progress_, error), static_cast<int>(LogDownloadResult::Failed));
    EXPECT_TRUE(StartsWith(error, "The modem did not start its log-download protocol (")) << error.substr(0, 200);
    EXPECT_LE(error.size(), kRenderedBound + 100);
    EXPECT_TRUE(log.empty());
    EXPECT_LT(ElapsedMs(), 5000 + 3000);
    EXPECT_FALSE(sim_.ReadLog().find("rx <22>") != std::string::npos) << "the tool started a transfer";
}

// Either way the link fails because the modem reads nothing: too many answers waiting, or none taken for 10 s.
const char kUnreadLinkFailure[] = "Telnet send failed: the modem ";

TEST_F(HostileModem, IdentifyAgainstAModemThatFloodsOptionRequestsFailsInsteadOfHanging) {
    StartModem({"--hostile", "flood-options:connect"});
    ModemIdentity identity;
    std::string error;
    bool identified;
    {
        // A tool that blocks in sending its answers would wait for as long as the modem floods.
        Watchdog watchdog(60000, [this] { sim_.Stop(); });
        identified = CheckModemIdentity(*link_, identity, error);
    }
    EXPECT_FALSE(identified);
    EXPECT_NE(error.find(kUnreadLinkFailure), std::string::npos) << error.substr(0, 300);
    // The drain, the QUIT and V ### replies, and the send limit, with room to spare.
    EXPECT_LT(ElapsedMs(), 5000 + 5000 + 5000 + 10000 + 5000);
    EXPECT_TRUE(sim_.WaitForLog("hostile: no longer reading, sending Telnet option requests"));
}

TEST_F(HostileModem, LogDownloadFromAModemThatFloodsOptionRequestsMidChunkFails) {
    StartModem({"--hostile", "flood-options:log", "--log-size", "200000"});
    std::vector<unsigned char> log;
    std::string error;
    int result;
    {
        Watchdog watchdog(60000, [this] { sim_.Stop(); });
        result = DownloadModemLog(*link_, log, cancel_, progress_, error);
    }
    EXPECT_EQ(result, static_cast<int>(LogDownloadResult::Failed));
    EXPECT_EQ(error.rfind(kUnreadLinkFailure, 0), 0u) << error.substr(0, 300);
    // The menu return, the banner and size, one chunk's wait and the send limit, with room to spare.
    EXPECT_LT(ElapsedMs(), 5000 + 5000 + 5000 + 15000 + 10000 + 5000);
    EXPECT_TRUE(sim_.WaitForLog("hostile: no longer reading, sending Telnet option requests"));
}

TEST_F(HostileModem, TheLargestFastLogSizeIsRefusedWithEscBeforeAnyAllocation) {
    StartModem({"--hostile", "oversized:log"});
    std::vector<unsigned char> log;
    std::string error;
    EXPECT_EQ(DownloadModemLog(*link_, log, cancel_, progress_, error), static_cast<int>(LogDownloadResult::Failed));
    EXPECT_EQ(error, "The modem reported an implausible log size of 4294967295 bytes");
    EXPECT_EQ(log.capacity(), 0u);
    EXPECT_TRUE(sim_.WaitForLog("rx <27> the tool refused the announced size"));
}

TEST_F(HostileModem, OneByteOverTheFastLogCapIsRefusedWithEsc) {
    StartModem({"--log-announce", "536870913"});
    std::vector<unsigned char> log;
    std::string error;
    EXPECT_EQ(DownloadModemLog(*link_, log, cancel_, progress_, error), static_cast<int>(LogDownloadResult::Failed));
    EXPECT_EQ(error, "The modem reported an implausible log size of 536870913 bytes");
    EXPECT_EQ(log.capacity(), 0u);
    EXPECT_TRUE(sim_.WaitForLog("rx <27> the tool refused the announced size"));
}

TEST_F(HostileModem, TheLargestLegacyBlockCountIsBoundedByItsSixteenBits) {
    // 65,535 blocks is the most a legacy count can say: 16,776,960 bytes, taken block by block.
    StartModem({"--hostile", "oversized:log", "--log-mode", "legacy", "--log-size", "1000"});
    std::vector<unsigned char> log;
    std::string error;
    EXPECT_EQ(DownloadModemLog(*link_, log, cancel_, progress_, error),
              static_cast<int>(LogDownloadResult::LegacyComplete))
        << error;
    EXPECT_EQ(log.size(), 65535u * 256u);
    EXPECT_TRUE(sim_.WaitForLog("log sent: 16776960 bytes in 65535 blocks"));
}

}  // namespace
