// Firmware updates over loopback Telnet into the modem simulator: byte-exact images, the fallback, every fault knob.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "support/Simulator.h"
#include "transport/Transport.h"
#include "update/Update.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Pattern(std::size_t size, unsigned seed) {
    Bytes data(size);
    std::uint32_t x = seed * 747796405u + 2891336453u;
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

Bytes Padded(const Bytes& firmware) {
    Bytes image = firmware;
    image.resize((firmware.size() + 255) / 256 * 256, 0xFF);
    return image;
}

class UpdateSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (SimulatorPath().empty()) GTEST_SKIP() << "no simulator (set BRISKLODE_SIM)";
    }

    // Starts the simulator storing the image in its folder, and opens a Telnet link to it.
    void Start(std::vector<std::string> args) {
        args.push_back("--image-file");
        args.push_back(sim_.NativePath("image.bin"));
        std::string error;
        ASSERT_TRUE(sim_.Start(args, error)) << error;
        link_ = CreateTelnetTransport("127.0.0.1", sim_.TelnetPort());
        ASSERT_TRUE(link_->Open(error)) << error;
    }

    // The firmware goes through a real file and LoadFirmwareFile, as the tool does it.
    Bytes Load(const Bytes& content) {
        const std::string path = sim_.LocalPath("firmware.qz7");
        WriteFile(path, content);
        Bytes firmware;
        std::string error;
        EXPECT_TRUE(LoadFirmwareFile(Utf8ToWide(path), firmware, error)) << error;
        return firmware;
    }

    Bytes StoredImage() {
        EXPECT_TRUE(sim_.WaitForLog("image stored: ", 10000)) << sim_.ReadLog();
        return ReadFile(sim_.LocalPath("image.bin"));
    }

    SimulatorProcess sim_;
    std::unique_ptr<ITransport> link_;
    std::atomic<bool> cancel_{false};
};

}  // namespace

TEST_F(UpdateSimTest, FastImagesArriveByteExact) {
    const std::size_t sizes[] = {1, 256, 257, 65536, 65792, 16776960};
    unsigned seed = 1;
    for (const std::size_t size : sizes) {
        SCOPED_TRACE(size);
        SimulatorProcess sim;
        std::string error;
        ASSERT_TRUE(sim.Start({"--image-file", sim.NativePath("image.bin")}, error)) << error;
        auto link = CreateTelnetTransport("127.0.0.1", sim.TelnetPort());
        ASSERT_TRUE(link->Open(error)) << error;
        Bytes content = Pattern(size, seed++);
        content.back() = 0xFF;  // firmware that ends in 0xFF keeps it; padding starts after it
        WriteFile(sim.LocalPath("firmware.qz7"), content);
        Bytes firmware;
        ASSERT_TRUE(LoadFirmwareFile(Utf8ToWide(sim.LocalPath("firmware.qz7")), firmware, error)) << error;
        int lastPercent = -1;
        std::string lastStage;
        const ProgressCallback progress = [&](int p, const std::string& stage, const std::string&) {
            lastPercent = p;
            lastStage = stage;
        };
        ASSERT_EQ(RunFastUpdate(*link, firmware, cancel_, progress, error), 0) << error;
        EXPECT_EQ(lastPercent, 100);
        EXPECT_EQ(lastStage, "Checksum OK on Modem");
        link->Close();
        ASSERT_TRUE(sim.WaitForLog("image stored: ", 10000)) << sim.ReadLog();
        const Bytes stored = ReadFile(sim.LocalPath("image.bin"));
        EXPECT_EQ(stored.size(), Padded(content).size());
        EXPECT_TRUE(stored == Padded(content));
    }
}

TEST_F(UpdateSimTest, OneByteOverTheLimitIsRefusedBeforeAnythingIsSent) {
    Start({});
    const std::string path = sim_.LocalPath("big.qz7");
    WriteFile(path, Bytes(16776961, 0x11));
    Bytes firmware;
    std::string error;
    EXPECT_FALSE(LoadFirmwareFile(Utf8ToWide(path), firmware, error));
    EXPECT_EQ(error, "Firmware file has an invalid size");

    error.clear();
    EXPECT_EQ(RunFastUpdate(*link_, Bytes(16776961, 0x11), cancel_, nullptr, error), 2);
    EXPECT_EQ(error, "Firmware size must be between 1 and 16776960 bytes");
    EXPECT_FALSE(RunLegacyUpdate(*link_, Bytes(16776961, 0x11), cancel_, nullptr, error));
    EXPECT_EQ(error, "Firmware size must be between 1 and 16776960 bytes");
    link_->Close();
    // The modem saw a connection and nothing else.
    ASSERT_TRUE(sim_.WaitForLog("client disconnected")) << sim_.ReadLog();
    EXPECT_EQ(sim_.ReadLog().find("rx QUIT"), std::string::npos) << sim_.ReadLog();
}

TEST_F(UpdateSimTest, LegacyFallbackWhenFastIsUnknownOrUnanswered) {
    // The modem's refusal, and its silence: the only two signs of a firmware without the fast transfer.
    const std::pair<const char*, const char*> variants[] = {
        {"--no-updfast", "UPDFAST is not supported by this modem firmware"},
        {"--no-updfast=silent",
         "UPDFAST is not supported by this modem firmware (no answer to the fast-update request within 5 s)"}};
    for (const auto& [variant, message] : variants) {
        SCOPED_TRACE(variant);
        SimulatorProcess sim;
        std::string error;
        ASSERT_TRUE(sim.Start({variant, "--image-file", sim.NativePath("image.bin")}, error)) << error;
        auto link = CreateTelnetTransport("127.0.0.1", sim.TelnetPort());
        ASSERT_TRUE(link->Open(error)) << error;
        const Bytes firmware = Pattern(1000, 77);
        EXPECT_EQ(RunFastUpdate(*link, firmware, cancel_, nullptr, error), 1);
        EXPECT_EQ(error, message);
        // Same link, as the tool keeps it open between the attempts.
        std::vector<std::string> stages;
        const ProgressCallback progress = [&](int, const std::string& stage, const std::string&) {
            stages.push_back(stage);
        };
        error.clear();
        ASSERT_TRUE(RunLegacyUpdate(*link, firmware, cancel_, progress, error)) << error;
        ASSERT_FALSE(stages.empty());
        EXPECT_EQ(stages.front(), "Starting legacy update");
        EXPECT_EQ(stages.back(), "Legacy transfer complete");
        link->Close();
        ASSERT_TRUE(sim.WaitForLog("image stored: ", 10000)) << sim.ReadLog();
        EXPECT_TRUE(ReadFile(sim.LocalPath("image.bin")) == Padded(firmware));
    }
}

TEST_F(UpdateSimTest, LegacyRefusedToo) {
    Start({"--no-updfast", "--no-update"});
    std::string error;
    EXPECT_FALSE(RunLegacyUpdate(*link_, Pattern(300, 2), cancel_, nullptr, error));
    EXPECT_EQ(error, "The modem refused the legacy update request (received: UPDATE<CR><LF>Unknown command<CR><LF>cmd: )");
}

namespace {

struct Knob {
    std::vector<std::string> args;
    bool legacy;
    std::string message;
};

}  // namespace

TEST_F(UpdateSimTest, EveryFaultKnobEndsWithItsMessage) {
    const Knob knobs[] = {
        {{"--reject-size"}, false, "Modem rejected the firmware size"},
        {{"--reject-frame", "2"}, false, "Modem rejected a transfer frame"},
        {{"--reject-frame", "3"}, false, "Checksum ERROR on Modem"},
        {{"--reject-frame", "3"}, true, "Modem rejected a transfer frame"},
        {{"--bad-checksum"}, false, "Checksum ERROR on Modem"},
        {{"--verdict-byte", "2:65"}, false, "Unexpected modem response during update"},
        {{"--verdict-byte", "1:21"}, true, "Unexpected modem response during update"},
        {{"--bad-header"}, false, "Unexpected modem update header"},
        {{"--stall-after-frame", "2"}, false,
         "No answer from the modem within 10 s while waiting for the verdict on frame 2 of 3"},
    };
    for (const auto& knob : knobs) {
        SCOPED_TRACE(knob.args.front() + (knob.args.size() > 1 ? " " + knob.args[1] : "") +
                     (knob.legacy ? " legacy" : ""));
        SimulatorProcess sim;
        std::string error;
        ASSERT_TRUE(sim.Start(knob.args, error)) << error;
        auto link = CreateTelnetTransport("127.0.0.1", sim.TelnetPort());
        ASSERT_TRUE(link->Open(error)) << error;
        const Bytes firmware = Pattern(2 * 65536 + 100, 5);  // three fast frames, 513 legacy blocks
        bool ok;
        if (knob.legacy) {
            ok = RunLegacyUpdate(*link, firmware, cancel_, nullptr, error);
        } else {
            ok = RunFastUpdate(*link, firmware, cancel_, nullptr, error) == 0;
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(error, knob.message);
        link->Close();
        EXPECT_EQ(sim.ReadLog().find("image stored"), std::string::npos);
    }
}

TEST_F(UpdateSimTest, DroppedConnectionGivesTheLinkError) {
    Start({"--drop-after-bytes", "70000"});
    std::string error;
    EXPECT_EQ(RunFastUpdate(*link_, Pattern(4 * 65536, 9), cancel_, nullptr, error), 2);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find("Timeout"), std::string::npos) << error;
}

TEST_F(UpdateSimTest, SlowVerificationIsWaitedFor) {
    Start({"--verify-delay", "3000"});
    std::string error;
    const Bytes firmware = Pattern(70000, 12);
    ASSERT_EQ(RunFastUpdate(*link_, firmware, cancel_, nullptr, error), 0) << error;
    link_->Close();
    EXPECT_TRUE(StoredImage() == Padded(firmware));
}

TEST_F(UpdateSimTest, CancellingDuringALongVerificationEndsPromptly) {
    Start({"--verify-delay", "20000"});
    std::string error;
    std::thread canceller;
    std::chrono::steady_clock::time_point cancelledAt;
    const ProgressCallback progress = [&](int, const std::string& stage, const std::string&) {
        if (stage == "Verifying on modem") {
            canceller = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                cancelledAt = std::chrono::steady_clock::now();
                cancel_ = true;
            });
        }
    };
    EXPECT_EQ(RunFastUpdate(*link_, Pattern(70000, 13), cancel_, progress, error), 2);
    const auto ended = std::chrono::steady_clock::now();
    ASSERT_TRUE(canceller.joinable());
    canceller.join();
    EXPECT_EQ(error, "Update cancelled");
    // Generous: the point is that the 20 s verification is not waited out.
    EXPECT_LT(ended - cancelledAt, std::chrono::seconds(5));
}
