// The Telnet link through ser2net (RFC 2217 mode) onto the simulator's serial terminal: a server we did not write.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "console/Console.h"
#include "modemlog/ModemLog.h"
#include "support/SerialBridge.h"
#include "support/Simulator.h"
#include "transport/Transport.h"
#include "update/Update.h"

namespace {

// scripts/ser2net-bridge of the tree the tests were built from.
std::string BridgeScript() { return std::string(BRISKLODE_SOURCE_DIR) + "/scripts/ser2net-bridge"; }

std::vector<unsigned char> Pattern(size_t size, unsigned seed) {
    std::vector<unsigned char> data(size);
    unsigned value = seed * 2654435761u + 7;
    for (size_t i = 0; i < size; ++i) {
        value = value * 1103515245u + 12345u;
        data[i] = static_cast<unsigned char>(value >> 16);
    }
    return data;
}

TEST(SerialThroughSer2net, IdentityFastUpdateAndLogDownload) {
    std::string reason;
    if (SimulatorPath().empty()) GTEST_SKIP() << "no simulator binary known";
    if (!Ser2netBridge::Available(reason)) GTEST_SKIP() << reason;

    SimulatorProcess simulator;
    std::string error;
    // The first start creates the simulator's folder, which the options of the real run refer to.
    ASSERT_TRUE(simulator.Start({"--serial"}, error)) << error;
    simulator.Stop();
    // Log bytes 255 arrive doubled by ser2net and must come out single; CR LF stays as it is.
    std::vector<unsigned char> content = Pattern(200000, 5);
    for (size_t i = 0; i < content.size(); i += 61) content[i] = (i % 3 == 0) ? 0xFF : (i % 3 == 1 ? 0x0D : 0x0A);
    {
        FILE* f = std::fopen(simulator.LocalPath("log.bin").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
        std::fclose(f);
    }
    ASSERT_TRUE(simulator.Start({"--serial", "--image-file", simulator.NativePath("image.bin"), "--log-content",
                                 simulator.NativePath("log.bin")},
                                error))
        << error;
    Ser2netBridge bridge;
    ASSERT_TRUE(bridge.Start(BridgeScript(), simulator.SerialDevice(), error)) << error;

    auto link = CreateTelnetTransport("127.0.0.1", bridge.Port());
    ASSERT_TRUE(link->Open(error)) << error;
    ModemIdentity identity;
    ASSERT_TRUE(CheckModemIdentity(*link, identity, error)) << error;
    EXPECT_EQ(identity.firmware, "7.2");

    // Image bytes 255 are doubled by our Telnet link and undoubled by ser2net; CRs must pass as they are.
    std::vector<unsigned char> firmware = Pattern(140000, 2);
    for (size_t i = 0; i < firmware.size(); i += 97) firmware[i] = (i % 2 == 0) ? 0xFF : 0x0D;
    std::atomic<bool> cancel{false};
    ASSERT_EQ(RunFastUpdate(*link, firmware, cancel, nullptr, error), static_cast<int>(UpdateResult::Installed))
        << error << "\n" << simulator.ReadLog();
    ASSERT_TRUE(simulator.WaitForLog("image written to")) << simulator.ReadLog();
    std::vector<unsigned char> image;
    std::uint16_t blocks = 0;
    ASSERT_TRUE(PrepareFirmware(firmware, image, blocks, error)) << error;
    const std::string stored = [&] {
        std::string text;
        FILE* f = std::fopen(simulator.LocalPath("image.bin").c_str(), "rb");
        if (f == nullptr) return text;
        char buffer[65536];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
        return text;
    }();
    EXPECT_TRUE(stored == std::string(image.begin(), image.end())) << "image changed on the way through ser2net";
    link->Close();

    // A fresh connection, as after an update; the log arrives byte for byte.
    ASSERT_TRUE(link->Open(error)) << error;
    std::vector<unsigned char> log;
    ASSERT_EQ(DownloadModemLog(*link, log, cancel, nullptr, error), static_cast<int>(LogDownloadResult::FastComplete))
        << error;
    EXPECT_EQ(log.size(), content.size());
    EXPECT_TRUE(log == content);
}

}  // namespace
