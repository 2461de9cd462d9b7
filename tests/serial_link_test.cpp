// Identity, updates and log downloads over the serial link against the simulator's pseudo-terminal
// (natively by device path; under Wine through a COM name that scripts/wine-com mapped beforehand).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "console/Console.h"
#include "modemlog/ModemLog.h"
#include "support/PacedSerialDriver.h"
#include "support/SerialPty.h"
#include "support/Simulator.h"
#include "support/Watchdog.h"
#include "transport/SendLimit.h"
#include "transport/SerialPacing.h"
#include "transport/Transport.h"
#include "update/Update.h"

namespace {

std::vector<unsigned char> Pattern(size_t size, unsigned seed) {
    std::vector<unsigned char> data(size);
    unsigned value = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        value = value * 1103515245u + 12345u;
        data[i] = static_cast<unsigned char>(value >> 16);
    }
    return data;
}

std::vector<unsigned char> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const std::vector<unsigned char>& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

// The COM name mapped for the Wine run, and the path the simulator's --link must create for it.
const char* MappedCom() { return std::getenv("BRISKLODE_TEST_COM"); }
const char* MappedLink() { return std::getenv("BRISKLODE_TEST_COM_LINK"); }

class SerialAgainstSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        if (SimulatorPath().empty()) GTEST_SKIP() << "no simulator binary known";
        const bool mapped = MappedCom() != nullptr && MappedLink() != nullptr;
        if (!mapped && !PseudoTerminalsAvailable()) {
            GTEST_SKIP() << "set BRISKLODE_TEST_COM and BRISKLODE_TEST_COM_LINK (see scripts/wine-com)";
        }
    }

    // Callers wrap these in ASSERT_NO_FATAL_FAILURE: a failed start leaves no link to use.
    void StartModem(std::vector<std::string> args) {
        const bool mapped = MappedCom() != nullptr && MappedLink() != nullptr;
        args.push_back("--serial");
        if (mapped) {
            args.push_back("--link");
            args.push_back(MappedLink());
        }
        std::string error;
        ASSERT_TRUE(simulator.Start(args, error)) << error;
        portName = mapped ? Utf8ToWide(MappedCom()) : Utf8ToWide(simulator.SerialDevice());
        link = CreateSerialTransport(portName, &cancel);
        ASSERT_TRUE(link->Open(error)) << error;
    }

    // Restarts the simulator with more options (its folder, and so NativePath/LocalPath, stay the same)
    // and reopens the link onto the new terminal.
    void RestartWith(std::vector<std::string> args) {
        link->Close();
        simulator.Stop();
        args.push_back("--serial");
        const bool mapped = MappedCom() != nullptr && MappedLink() != nullptr;
        if (mapped) {
            args.push_back("--link");
            args.push_back(MappedLink());
        }
        std::string error;
        ASSERT_TRUE(simulator.Start(args, error)) << error;
        if (!mapped) portName = Utf8ToWide(simulator.SerialDevice());
        link = CreateSerialTransport(portName, &cancel);
        ASSERT_TRUE(link->Open(error)) << error;
    }

    ProgressCallback Recorder() {
        return [this](int percent, const std::string&, const std::string&) { percents.push_back(percent); };
    }

    SimulatorProcess simulator;
    std::wstring portName;
    std::unique_ptr<ITransport> link;
    std::vector<int> percents;
    std::atomic<bool> cancel{false};
};

// At 9600 baud a write goes out in pieces of about a tenth of a second, each handed over only once less than a
// piece is queued, and the cancel flag is read after every one: a cancel finds at most about two pieces
// (0.2 s) ahead of the ESC it sends next. Natively over a pseudo-terminal; under Wine on the mapped COM port.
TEST_F(SerialAgainstSimulator, WritesGoOutInPiecesOfATenthOfASecondOnTheWire) {
    constexpr unsigned int kBaud = 9600;
    ASSERT_NO_FATAL_FAILURE(StartModem({}));
    link.reset();
    PacedSerialDriver driver(kBaud);
    auto paced = CreateSerialTransportOver(driver, portName, kBaud, kSendStallLimitMs, &cancel);
    std::string error;
    ASSERT_TRUE(paced->Open(error)) << error;
    std::thread canceller([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        cancel = true;
    });
    const std::vector<unsigned char> frame = Pattern(65536, 3);
    const bool written = paced->Write(frame.data(), frame.size(), error);
    const long long queuedAtCancel = paced->QueuedToSend();
    canceller.join();
    EXPECT_FALSE(written);
    EXPECT_EQ(paced->LastFailure(), LinkFailure::Cancelled);
    const std::vector<std::size_t> pieces = driver.Pieces(), ahead = driver.AheadOfPieces();
    ASSERT_GE(pieces.size(), 3u) << "the line carries several pieces in 0.7 s";
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_LE(SerialPieceMs(pieces[i], kBaud), 110u) << pieces[i] << " bytes";
        EXPECT_LE(SerialPieceMs(ahead[i], kBaud), 110u) << "queued ahead: " << ahead[i];
    }
    EXPECT_LE(SerialPieceMs(static_cast<std::size_t>(queuedAtCancel), kBaud), 220u) << queuedAtCancel << " bytes queued";
}

TEST_F(SerialAgainstSimulator, UpdateToAModemThatStopsReadingMidFrameFailsAfterTheSendLimit) {
    // The modem takes half of the first frame and then nothing, while it still acknowledges the next frames:
    // the terminal's buffer (at most some 64 KiB) fills and the writes cannot go on. The real limit runs
    // here, once.
    ASSERT_NO_FATAL_FAILURE(StartModem({"--hostile", "stop-reading:update"}));
    const std::vector<unsigned char> firmware = Pattern(200000, 5);
    std::string error;
    int result;
    const auto start = std::chrono::steady_clock::now();
    {
        // A write without a limit would wait until the terminal goes away.
        Watchdog watchdog(60000, [this] { simulator.Stop(); });
        result = RunFastUpdate(*link, firmware, cancel, Recorder(), error);
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result, static_cast<int>(UpdateResult::Failed));
    EXPECT_EQ(error, "Link stalled while sending frame 1 of 4: COM write failed: the port took no data for 10 seconds");
    EXPECT_GE(elapsed, 9000) << "the limit ran out early";
    EXPECT_LT(elapsed, 10000 + 10000 + 10000);
    EXPECT_TRUE(simulator.WaitForLog("hostile: no longer reading, halfway through frame 1"));
}

// A frame the modem stops taking halfway is given up within a fraction of a second of the cancel flag the
// link was made with, not after the 10 s send limit.
TEST_F(SerialAgainstSimulator, CancelEndsAFrameTheModemStoppedTaking) {
    ASSERT_NO_FATAL_FAILURE(StartModem({"--hostile", "stop-reading:update"}));
    std::string error;
    int result;
    std::chrono::steady_clock::time_point cancelled;
    {
        Watchdog hang(60000, [this] { simulator.Stop(); });
        Watchdog canceller(1500, [this, &cancelled] {
            cancelled = std::chrono::steady_clock::now();
            cancel = true;
        });
        result = RunFastUpdate(*link, Pattern(200000, 5), cancel, Recorder(), error);
    }
    const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - cancelled);
    EXPECT_EQ(result, static_cast<int>(UpdateResult::Failed));
    EXPECT_EQ(error, "Update cancelled");
    EXPECT_LT(late.count(), 1000);
    EXPECT_TRUE(simulator.WaitForLog("hostile: no longer reading, halfway through frame 1"));
}

TEST_F(SerialAgainstSimulator, IdentityAndBusyPort) {
    ASSERT_NO_FATAL_FAILURE(StartModem({"--type", "U", "--firmware", "7.2"}));
    ModemIdentity identity;
    std::string error;
    ASSERT_TRUE(CheckModemIdentity(*link, identity, error)) << error;
    EXPECT_EQ(identity.firmware, "7.2");
    EXPECT_EQ(identity.model, ModelForTypeCode("U"));
    EXPECT_NE(identity.response.find("#0:U"), std::string::npos) << identity.response;

    // Wine does not refuse a second exclusive open; natively the busy port must be refused.
    if (MappedCom() == nullptr) {
        auto second = CreateSerialTransport(portName);
        ASSERT_FALSE(second->Open(error));
        EXPECT_EQ(error.rfind("Cannot open " + WideToUtf8(portName) + ": ", 0), 0u) << error;
    }
    // The link stays usable for a second dialogue on the same open port.
    ASSERT_TRUE(CheckModemIdentity(*link, identity, error)) << error;
    EXPECT_EQ(identity.firmware, "7.2");
}

TEST_F(SerialAgainstSimulator, FastAndLegacyUpdatesStoreTheExactImage) {
    // Two frames: a whole 65,536-byte one and a short last one that the modem verifies.
    const std::vector<unsigned char> firmware = Pattern(70000, 3);
    ASSERT_NO_FATAL_FAILURE(StartModem({}));
    std::string error;
    // The first start made the simulator's folder; the restart names files in it.
    ASSERT_NO_FATAL_FAILURE(RestartWith({"--image-file", simulator.NativePath("fast.bin")}));
    ASSERT_EQ(RunFastUpdate(*link, firmware, cancel, Recorder(), error), static_cast<int>(UpdateResult::Installed))
        << error;
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    ASSERT_TRUE(simulator.WaitForLog("image written to")) << simulator.ReadLog();
    std::vector<unsigned char> image;
    std::uint16_t blocks = 0;
    ASSERT_TRUE(PrepareFirmware(firmware, image, blocks, error)) << error;
    EXPECT_TRUE(ReadFileBytes(simulator.LocalPath("fast.bin")) == image) << "image changed on the serial link";

    // Legacy: one verdict per 256-byte block; a small image keeps the Wine run short.
    const std::vector<unsigned char> small = Pattern(2600, 4);
    ASSERT_NO_FATAL_FAILURE(RestartWith({"--image-file", simulator.NativePath("legacy.bin")}));
    percents.clear();
    ASSERT_TRUE(RunLegacyUpdate(*link, small, cancel, Recorder(), error)) << error;
    ASSERT_TRUE(simulator.WaitForLog("image written to")) << simulator.ReadLog();
    ASSERT_TRUE(PrepareFirmware(small, image, blocks, error)) << error;
    EXPECT_TRUE(ReadFileBytes(simulator.LocalPath("legacy.bin")) == image);
}

TEST_F(SerialAgainstSimulator, FastAndLegacyLogDownloadsAreByteExact) {
    ASSERT_NO_FATAL_FAILURE(StartModem({}));
    // Every byte value, 0x11/0x13 (XON/XOFF) and CR/LF included, must pass the raw line unchanged.
    std::vector<unsigned char> content = Pattern(150000, 9);
    for (int b = 0; b < 256; ++b) content[static_cast<size_t>(b)] = static_cast<unsigned char>(b);
    ASSERT_TRUE(WriteFileBytes(simulator.LocalPath("log.bin"), content));
    ASSERT_NO_FATAL_FAILURE(RestartWith({"--log-mode", "fast", "--log-content", simulator.NativePath("log.bin")}));
    std::vector<unsigned char> log;
    std::string error;
    ASSERT_EQ(DownloadModemLog(*link, log, cancel, Recorder(), error), static_cast<int>(LogDownloadResult::FastComplete))
        << error;
    EXPECT_EQ(log.size(), content.size());
    EXPECT_TRUE(log == content);

    // Legacy blocks: the log comes back padded to whole 256-byte blocks.
    const std::vector<unsigned char> shortLog(content.begin(), content.begin() + 1000);
    ASSERT_TRUE(WriteFileBytes(simulator.LocalPath("short.bin"), shortLog));
    ASSERT_NO_FATAL_FAILURE(RestartWith({"--log-mode", "legacy", "--log-content", simulator.NativePath("short.bin")}));
    log.clear();
    ASSERT_EQ(DownloadModemLog(*link, log, cancel, Recorder(), error),
              static_cast<int>(LogDownloadResult::LegacyComplete))
        << error;
    ASSERT_EQ(log.size(), 1024u);
    EXPECT_TRUE(std::equal(shortLog.begin(), shortLog.end(), log.begin()));
}

}  // namespace
