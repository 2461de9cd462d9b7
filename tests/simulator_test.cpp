// Tests of the modem simulator itself, over bare loopback sockets (independent of the product's transports).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>

#include "simulator/GeneratedLog.h"
#include "support/Simulator.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

const std::string kAck = "\x06";
const std::string kEsc = "\x1B";
const std::string kSyn = "\x16";

// A hand-driven Telnet console client: doubles 255 when sending, strips Telnet commands when receiving.
class Client {
public:
    bool Connect(unsigned short port, std::string& error) { return socket_.ConnectTcp(port, error); }

    bool Send(const std::string& data) {
        std::string wire;
        for (char c : data) {
            wire.push_back(c);
            if (static_cast<unsigned char>(c) == 255) wire.push_back(c);
        }
        return socket_.Send(wire);
    }
    bool SendRaw(const std::string& wire) { return socket_.Send(wire); }

    // Reads until `needle` is in the data received so far; returns the data up to and including it.
    bool ReadUntil(const std::string& needle, std::string& text, int timeoutMs = 5000) {
        auto deadline = Now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            size_t at = data_.find(needle);
            if (at != std::string::npos) {
                text = data_.substr(0, at + needle.size());
                data_.erase(0, at + needle.size());
                return true;
            }
            if (Now() >= deadline || !Pump(50)) {
                text = data_;
                return false;
            }
        }
    }

    bool ReadExact(size_t count, std::string& bytes, int timeoutMs = 5000) {
        auto deadline = Now() + std::chrono::milliseconds(timeoutMs);
        while (data_.size() < count) {
            if (Now() >= deadline || !Pump(50)) return false;
        }
        bytes = data_.substr(0, count);
        data_.erase(0, count);
        return true;
    }

    // Everything that arrives within ms (for checking that nothing, or only so much, comes).
    std::string Collect(int ms) {
        auto deadline = Now() + std::chrono::milliseconds(ms);
        while (Now() < deadline && Pump(20)) {
        }
        std::string all;
        all.swap(data_);
        return all;
    }

    bool Closed() const { return closed_; }
    const std::string& Commands() const { return commands_; }
    int Receives() const { return receives_; }

private:
    static std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }

    bool Pump(int timeoutMs) {
        if (closed_) return false;
        std::string raw;
        int n = socket_.Receive(raw, timeoutMs);
        if (n < 0) {
            closed_ = true;
            return false;
        }
        if (n > 0) ++receives_;
        for (char c : raw) {
            unsigned char b = static_cast<unsigned char>(c);
            switch (state_) {
            case 0:
                if (b == 255) state_ = 1;
                else data_.push_back(c);
                break;
            case 1:
                if (b == 255) { data_.push_back(c); state_ = 0; }
                else if (b == 250) { commands_ += "SB"; state_ = 3; }
                else if (b >= 251) { commands_ += std::to_string(b) + ":"; state_ = 2; }
                else state_ = 0;
                break;
            case 2:
                commands_ += std::to_string(b) + ",";
                state_ = 0;
                break;
            case 3:
                if (b == 255) state_ = 4;
                else commands_ += "<" + std::to_string(b) + ">";
                break;
            default:
                if (b == 240) { commands_ += "SE,"; state_ = 0; }
                else { commands_ += "<" + std::to_string(b) + ">"; state_ = 3; }
                break;
            }
        }
        return true;
    }

    RawSocket socket_;
    std::string data_;
    std::string commands_;
    int state_ = 0;
    bool closed_ = false;
    int receives_ = 0;
};

class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (SimulatorPath().empty()) GTEST_SKIP() << "simulator not available";
    }

    void StartSim(const std::vector<std::string>& args) {
        std::string error;
        ASSERT_TRUE(sim.Start(args, error)) << error;
    }

    void ConnectClient() {
        std::string error;
        ASSERT_TRUE(client.Connect(sim.TelnetPort(), error)) << error;
    }

    // Brings the modem to the point where it waits for the block count of an update.
    void BeginUpdate(const std::string& command, std::string& header) {
        std::string text;
        ASSERT_TRUE(client.Send(command + "\r"));
        ASSERT_TRUE(client.ReadUntil("Send handshake sequence", text)) << text;
        ASSERT_TRUE(client.Send(kAck));
        ASSERT_TRUE(client.ReadExact(6, header));
        ASSERT_TRUE(client.Send(kAck));
    }

    static std::string Count(size_t blocks) {
        return std::string{static_cast<char>(blocks >> 8), static_cast<char>(blocks & 0xFF)};
    }

    SimulatorProcess sim;
    Client client;
};

std::string TestImage(size_t size) {
    std::string image(size, '\0');
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    return image;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string GeneratedLog(std::uint64_t seed, size_t size) {
    std::string log(size, '\0');
    FillGeneratedLog(seed, 0, reinterpret_cast<unsigned char*>(&log[0]), size);
    return log;
}

}  // namespace

TEST_F(SimulatorTest, OffersOptionsAnswersQuitAndIdentity) {
    StartSim({"--type", "I", "--firmware", "9.12", "--serial-number", "258", "--call-sign", "KLM"});
    ConnectClient();
    std::string text;
    ASSERT_TRUE(client.Send("QUIT\r"));
    ASSERT_TRUE(client.ReadUntil("cmd: ", text)) << text;
    // The default offers: WILL ECHO, WILL SGA, DO TTYPE, DO COM-PORT.
    EXPECT_EQ(client.Commands(), "251:1,251:3,253:24,253:44,");
    ASSERT_TRUE(client.Send("V ###\r"));
    ASSERT_TRUE(client.ReadUntil("cmd: ", text)) << text;
    EXPECT_EQ(text, "V ###\r\n#0:I#1:9.12#2:0000000000000102#3:KLM\r\ncmd: ");
    ASSERT_TRUE(client.Send("FOO\r"));
    ASSERT_TRUE(client.ReadUntil("cmd: ", text));
    EXPECT_NE(text.find("Unknown command"), std::string::npos) << text;
}

TEST_F(SimulatorTest, LogsTheClientsNegotiationAnswersAndSendsConfiguredOffers) {
    StartSim({"--telnet-offers", "wont:5,sb:24:1:255:2"});
    ConnectClient();
    // The client's answers, sent with a command line in one segment: the console still sees the command.
    ASSERT_TRUE(client.SendRaw(std::string("\xFF\xFE\x05\xFF\xFA\x18\x00xy\xFF\xF0QUIT\r", 16)));
    std::string text;
    ASSERT_TRUE(client.ReadUntil("cmd: ", text)) << text;
    EXPECT_EQ(client.Commands(), "252:5,SB<24><1><255><2>SE,");  // 255 inside SB arrives doubled
    ASSERT_TRUE(sim.WaitForLog("rx QUIT<CR>"));
    std::string log = sim.ReadLog();
    EXPECT_NE(log.find("rx telnet DONT 5"), std::string::npos) << log;
    EXPECT_NE(log.find("rx telnet SB <24><0>xy SE"), std::string::npos) << log;
}

TEST_F(SimulatorTest, ConsoleFaults) {
    {
        SimulatorProcess silent;
        std::string error;
        ASSERT_TRUE(silent.Start({"--silent"}, error)) << error;
        Client quiet;
        ASSERT_TRUE(quiet.Connect(silent.TelnetPort(), error)) << error;
        ASSERT_TRUE(quiet.Send("QUIT\r"));
        EXPECT_EQ(quiet.Collect(500), "");
        EXPECT_TRUE(silent.WaitForLog("rx QUIT<CR>"));
    }
    {
        SimulatorProcess unterminated;
        std::string error;
        ASSERT_TRUE(unterminated.Start({"--no-terminator"}, error)) << error;
        Client c;
        ASSERT_TRUE(c.Connect(unterminated.TelnetPort(), error)) << error;
        std::string text;
        ASSERT_TRUE(c.Send("QUIT\r"));
        ASSERT_TRUE(c.ReadUntil("cmd: ", text));
        ASSERT_TRUE(c.Send("V ###\r"));
        EXPECT_EQ(c.Collect(500), "V ###\r\n#0:U#1:7.2");
    }
    {
        SimulatorProcess closing;
        std::string error;
        ASSERT_TRUE(closing.Start({"--close-mid-reply"}, error)) << error;
        Client c;
        ASSERT_TRUE(c.Connect(closing.TelnetPort(), error)) << error;
        std::string text;
        ASSERT_TRUE(c.Send("QUIT\r"));
        ASSERT_TRUE(c.ReadUntil("cmd: ", text));
        ASSERT_TRUE(c.Send("V ###\r"));
        std::string rest = c.Collect(2000);
        EXPECT_TRUE(c.Closed());
        EXPECT_EQ(rest, "V ###\r\n#0:U#1:");
    }
}

TEST_F(SimulatorTest, DribbledReplyArrivesInSmallPieces) {
    StartSim({"--dribble", "30"});
    ConnectClient();
    std::string text;
    ASSERT_TRUE(client.Send("QUIT\r"));
    ASSERT_TRUE(client.ReadUntil("cmd: ", text, 10000)) << text;
    EXPECT_EQ(text, "QUIT\r\ncmd: ");
    // 11 bytes in pieces of 1 and 2 bytes, 30 ms apart: 8 pieces; a generous lower bound allows coalescing.
    EXPECT_GE(client.Receives(), 4);
}

TEST_F(SimulatorTest, SecondClientIsTurnedAwayAndServedAfterTheFirstLeaves) {
    StartSim({});
    std::string error, text;
    {
        Client first;
        ASSERT_TRUE(first.Connect(sim.TelnetPort(), error)) << error;
        ASSERT_TRUE(first.Send("QUIT\r"));
        ASSERT_TRUE(first.ReadUntil("cmd: ", text));
        Client second;
        ASSERT_TRUE(second.Connect(sim.TelnetPort(), error)) << error;
        EXPECT_EQ(second.Collect(2000), "Console busy\r\n");
        EXPECT_TRUE(second.Closed());
        // The first client is not disturbed.
        ASSERT_TRUE(first.Send("QUIT\r"));
        EXPECT_TRUE(first.ReadUntil("cmd: ", text));
    }
    Client third;
    ASSERT_TRUE(third.Connect(sim.TelnetPort(), error)) << error;
    ASSERT_TRUE(third.Send("QUIT\r"));
    EXPECT_TRUE(third.ReadUntil("cmd: ", text)) << text;

    SimulatorProcess refusing;
    ASSERT_TRUE(refusing.Start({"--refuse-second"}, error)) << error;
    Client holder, turnedAway;
    ASSERT_TRUE(holder.Connect(refusing.TelnetPort(), error)) << error;
    ASSERT_TRUE(holder.Send("QUIT\r"));
    ASSERT_TRUE(holder.ReadUntil("cmd: ", text));
    ASSERT_TRUE(turnedAway.Connect(refusing.TelnetPort(), error)) << error;
    EXPECT_EQ(turnedAway.Collect(2000), "");
    EXPECT_TRUE(turnedAway.Closed());
}

TEST_F(SimulatorTest, FastUpdateStoresTheImageByteExact) {
    // 257 blocks: a 65,536-byte frame and a 256-byte frame; the pattern contains 255, doubled on the wire.
    std::string image = TestImage(65792);
    StartSim({"--image-file", sim.NativePath("image.bin")});
    ConnectClient();
    std::string header, verdict;
    BeginUpdate("UPDFAST", header);
    EXPECT_EQ(header.substr(0, 2), "\x1F\xA4");
    ASSERT_TRUE(client.Send(Count(257)));
    ASSERT_TRUE(client.ReadExact(1, verdict));
    ASSERT_EQ(verdict, kAck);
    ASSERT_TRUE(client.Send(image.substr(0, 65536)));
    ASSERT_TRUE(client.ReadExact(1, verdict));
    ASSERT_EQ(verdict, kAck);
    ASSERT_TRUE(client.Send(image.substr(65536)));
    ASSERT_TRUE(client.ReadExact(1, verdict));
    ASSERT_EQ(verdict, kAck);
    ASSERT_TRUE(sim.WaitForLog("image written to"));
    EXPECT_NE(sim.ReadLog().find("image stored: 65792 bytes sha256 "
                                 "fbe8a8c9f17947002609be2d8d47786c832a6cf7e14e8fc7cbb9440a97f56b1e"),
              std::string::npos)
        << sim.ReadLog();
    EXPECT_TRUE(ReadFile(sim.LocalPath("image.bin")) == image);
}

TEST_F(SimulatorTest, LegacyUpdateAcknowledgesEveryBlock) {
    std::string image = TestImage(768);
    StartSim({"--image-file", sim.NativePath("legacy.bin")});
    ConnectClient();
    std::string header, verdict;
    BeginUpdate("UPDATE", header);
    EXPECT_EQ(header.substr(0, 2), "\x1F\xA4");
    ASSERT_TRUE(client.Send(Count(3)));
    ASSERT_TRUE(client.ReadExact(1, verdict));
    ASSERT_EQ(verdict, kAck);
    for (int block = 0; block < 3; ++block) {
        ASSERT_TRUE(client.Send(image.substr(block * 256, 256)));
        ASSERT_TRUE(client.ReadExact(1, verdict)) << "block " << block;
        EXPECT_EQ(verdict, kAck);
    }
    ASSERT_TRUE(sim.WaitForLog("image written to"));
    EXPECT_NE(sim.ReadLog().find("image stored: 768 bytes sha256 "
                                 "ac315a0be063ff331c93913f8b573005d48f9e62c09226c0527c96349c2ca34f"),
              std::string::npos);
    EXPECT_TRUE(ReadFile(sim.LocalPath("legacy.bin")) == image);
}

// Each update fault knob, driven through a two-frame (fast) transfer of 65,792 bytes.
TEST_F(SimulatorTest, UpdateFaultKnobs) {
    struct Case {
        std::vector<std::string> args;
        std::string header;       // expected header bytes 0-1
        std::string sizeVerdict;  // expected size verdict, empty: not reached
        std::string verdicts;     // expected verdict bytes of the frames, in order
        bool closes;              // the link is dropped
    };
    const std::vector<Case> cases = {
        {{"--reject-size"}, "\x1F\xA4", kEsc, "", false},
        {{"--bad-header"}, "\x1F\xA5", kAck, kAck + kAck, false},
        {{"--reject-frame", "1"}, "\x1F\xA4", kAck, kEsc, false},
        {{"--reject-frame", "2"}, "\x1F\xA4", kAck, kAck + kEsc, false},
        {{"--bad-checksum"}, "\x1F\xA4", kAck, kAck + kEsc, false},
        {{"--verdict-byte", "2:65"}, "\x1F\xA4", kAck, kAck + "A", false},
        {{"--stall-after-frame", "1"}, "\x1F\xA4", kAck, "", false},
        {{"--drop-after-bytes", "1000"}, "\x1F\xA4", kAck, "", true},
    };
    std::string image = TestImage(65792);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        SimulatorProcess faulty;
        std::string error;
        ASSERT_TRUE(faulty.Start(c.args, error)) << error;
        Client link;
        ASSERT_TRUE(link.Connect(faulty.TelnetPort(), error)) << error;
        std::string text, header, verdict;
        ASSERT_TRUE(link.Send("UPDFAST\r"));
        ASSERT_TRUE(link.ReadUntil("Send handshake sequence", text));
        ASSERT_TRUE(link.Send(kAck));
        ASSERT_TRUE(link.ReadExact(6, header));
        EXPECT_EQ(header.substr(0, 2), c.header);
        ASSERT_TRUE(link.Send(kAck + Count(257)));
        ASSERT_TRUE(link.ReadExact(1, verdict));
        EXPECT_EQ(verdict, c.sizeVerdict);
        if (verdict != kAck) continue;
        std::string got;
        for (size_t offset = 0; offset < image.size() && !link.Closed(); offset += 65536) {
            if (!link.Send(image.substr(offset, 65536))) break;
            if (!link.ReadExact(1, verdict, 1500)) break;
            got += verdict;
            if (verdict != kAck) break;
        }
        EXPECT_EQ(got, c.verdicts);
        EXPECT_EQ(link.Collect(300), "");
        EXPECT_EQ(link.Closed(), c.closes);
    }
}

TEST_F(SimulatorTest, UpdfastVariantsAndSlowVerification) {
    std::string error, text;
    {
        SimulatorProcess old;
        ASSERT_TRUE(old.Start({"--no-updfast", "--no-update"}, error)) << error;
        Client c;
        ASSERT_TRUE(c.Connect(old.TelnetPort(), error)) << error;
        ASSERT_TRUE(c.Send("UPDFAST\r"));
        ASSERT_TRUE(c.ReadUntil("cmd: ", text));
        EXPECT_EQ(text, "UPDFAST\r\nUnknown command\r\ncmd: ");
        ASSERT_TRUE(c.Send("UPDATE\r"));
        ASSERT_TRUE(c.ReadUntil("cmd: ", text));
        EXPECT_EQ(text, "UPDATE\r\nUnknown command\r\ncmd: ");
    }
    {
        SimulatorProcess mute;
        ASSERT_TRUE(mute.Start({"--no-updfast=silent"}, error)) << error;
        Client c;
        ASSERT_TRUE(c.Connect(mute.TelnetPort(), error)) << error;
        ASSERT_TRUE(c.Send("UPDFAST\r"));
        EXPECT_EQ(c.Collect(500), "");
        ASSERT_TRUE(c.Send("UPDATE\r"));  // the legacy command still works
        EXPECT_TRUE(c.ReadUntil("Send handshake sequence", text));
    }
    StartSim({"--verify-delay", "400"});
    ConnectClient();
    std::string header, verdict;
    BeginUpdate("UPDFAST", header);
    ASSERT_TRUE(client.Send(Count(1)));
    ASSERT_TRUE(client.ReadExact(1, verdict));
    ASSERT_TRUE(client.Send(TestImage(256)));
    auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.ReadExact(1, verdict));
    EXPECT_EQ(verdict, kAck);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(300));
}

TEST_F(SimulatorTest, FastLogDownloadIsTheGeneratedContent) {
    StartSim({"--log-size", "70000", "--log-seed", "5"});
    ConnectClient();
    std::string text, size, chunk;
    ASSERT_TRUE(client.Send("SYS LOG GETFAST\r"));
    ASSERT_TRUE(client.ReadUntil("press <ESC> to exit.\r\n", text));
    EXPECT_NE(text.find("System log fast download."), std::string::npos);
    ASSERT_TRUE(client.Send(kSyn));
    ASSERT_TRUE(client.ReadExact(4, size));
    EXPECT_EQ(size, std::string("\x00\x01\x11\x70", 4));  // 70,000
    std::string log;
    ASSERT_TRUE(client.Send(kAck));
    ASSERT_TRUE(client.ReadExact(65536, chunk));
    log += chunk;
    EXPECT_EQ(client.Collect(200), "");  // the next chunk waits for its ACK
    ASSERT_TRUE(client.Send(kAck));
    ASSERT_TRUE(client.ReadExact(4464, chunk));
    log += chunk;
    ASSERT_TRUE(client.Send(kAck));
    EXPECT_TRUE(log == GeneratedLog(5, 70000));
    EXPECT_TRUE(sim.WaitForLog("log sent: 70000 bytes in 2 chunks"));
}

TEST_F(SimulatorTest, LegacyLogPadsToWholeBlocksAndEscEndsTransfers) {
    std::string error, text, count, block;
    {
        SimulatorProcess legacy;
        ASSERT_TRUE(legacy.Start({"--log-mode", "legacy", "--log-size", "600", "--log-seed", "9"}, error)) << error;
        Client c;
        ASSERT_TRUE(c.Connect(legacy.TelnetPort(), error)) << error;
        ASSERT_TRUE(c.Send("SYS LOG GETFAST\r"));
        ASSERT_TRUE(c.ReadUntil("press <ESC> to exit.\r\n", text));
        EXPECT_NE(text.find("System log download."), std::string::npos);
        ASSERT_TRUE(c.Send(kSyn));
        ASSERT_TRUE(c.ReadExact(2, count));
        EXPECT_EQ(count, std::string("\x00\x03", 2));
        std::string log;
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(c.Send(kAck));
            ASSERT_TRUE(c.ReadExact(256, block));
            log += block;
        }
        ASSERT_TRUE(c.Send(kAck));
        EXPECT_TRUE(log == GeneratedLog(9, 600) + std::string(168, '\0'));
    }
    StartSim({"--log-size", "200000"});
    ConnectClient();
    ASSERT_TRUE(client.Send("SYS LOG GETFAST\r"));
    ASSERT_TRUE(client.ReadUntil("press <ESC> to exit.\r\n", text));
    ASSERT_TRUE(client.Send(kSyn));
    ASSERT_TRUE(client.ReadExact(4, count));
    ASSERT_TRUE(client.Send(kAck));
    ASSERT_TRUE(client.ReadExact(65536, block));
    ASSERT_TRUE(client.Send(kEsc));
    EXPECT_EQ(client.Collect(300), "");
    EXPECT_TRUE(sim.WaitForLog("log transfer ended by the tool after chunk 1"));
    ASSERT_TRUE(client.Send("QUIT\r"));  // back at the menu
    EXPECT_TRUE(client.ReadUntil("cmd: ", text));
}

TEST_F(SimulatorTest, LogFaultKnobs) {
    std::string error, text, bytes;
    {
        SimulatorProcess inflated;
        ASSERT_TRUE(inflated.Start({"--log-announce", "536870913"}, error)) << error;
        Client c;
        ASSERT_TRUE(c.Connect(inflated.TelnetPort(), error)) << error;
        ASSERT_TRUE(c.Send("SYS LOG GETFAST\r"));
        ASSERT_TRUE(c.ReadUntil("press <ESC> to exit.\r\n", text));
        ASSERT_TRUE(c.Send(kSyn));
        ASSERT_TRUE(c.ReadExact(4, bytes));
        EXPECT_EQ(bytes, std::string("\x20\x00\x00\x01", 4));
        ASSERT_TRUE(c.Send(kEsc));
        EXPECT_TRUE(inflated.WaitForLog("the tool refused the announced size"));
    }
    {
        SimulatorProcess stalling;
        ASSERT_TRUE(stalling.Start({"--log-size", "200000", "--log-stall-chunk", "2"}, error)) << error;
        Client c;
        ASSERT_TRUE(c.Connect(stalling.TelnetPort(), error)) << error;
        ASSERT_TRUE(c.Send("SYS LOG GETFAST\r"));
        ASSERT_TRUE(c.ReadUntil("press <ESC> to exit.\r\n", text));
        ASSERT_TRUE(c.Send(kSyn));
        ASSERT_TRUE(c.ReadExact(4, bytes));
        ASSERT_TRUE(c.Send(kAck));
        ASSERT_TRUE(c.ReadExact(65536, bytes));
        ASSERT_TRUE(c.Send(kAck));
        EXPECT_EQ(c.Collect(700).size(), 32768u);  // half of chunk 2, then nothing
    }
    for (const char* knob : {"--log-banner-no-esc", "--log-banner-plain"}) {
        SimulatorProcess banner;
        ASSERT_TRUE(banner.Start({knob}, error)) << error;
        Client c;
        ASSERT_TRUE(c.Connect(banner.TelnetPort(), error)) << error;
        ASSERT_TRUE(c.Send("SYS LOG GETFAST\r"));
        std::string all = c.Collect(500);
        bool hasEsc = all.find("press <ESC> to exit.\r\n") != std::string::npos;
        bool namesDownload = all.find("System log fast download.") != std::string::npos ||
                             all.find("System log download.") != std::string::npos;
        EXPECT_EQ(hasEsc, std::string(knob) == "--log-banner-plain") << all;
        EXPECT_EQ(namesDownload, std::string(knob) == "--log-banner-no-esc") << all;
    }
}

TEST_F(SimulatorTest, AbandonedTransferReturnsToTheMenu) {
    StartSim({"--transfer-idle-ms", "300"});
    ConnectClient();
    std::string text;
    ASSERT_TRUE(client.Send("UPDFAST\r"));
    ASSERT_TRUE(client.ReadUntil("Send handshake sequence", text));
    ASSERT_TRUE(sim.WaitForLog("transfer abandoned: no data for 300 ms"));
    ASSERT_TRUE(client.Send("QUIT\r"));
    EXPECT_TRUE(client.ReadUntil("cmd: ", text)) << text;
}

TEST_F(SimulatorTest, HostileModes) {
    std::string error, text;
    for (const char* kind : {"endless", "random"}) {
        SCOPED_TRACE(kind);
        SimulatorProcess hostile;
        ASSERT_TRUE(hostile.Start({"--hostile", std::string(kind) + ":quit"}, error)) << error;
        Client c;
        ASSERT_TRUE(c.Connect(hostile.TelnetPort(), error)) << error;
        ASSERT_TRUE(c.Send("QUIT\r"));
        std::string flood = c.Collect(500);
        EXPECT_GT(flood.size(), 65536u);  // far more than any reply, and it keeps coming
        EXPECT_EQ(flood.find("cmd: "), std::string::npos);
        EXPECT_GT(c.Collect(200).size(), 0u);
    }
    StartSim({"--hostile", "oversized:log"});
    ConnectClient();
    std::string size;
    ASSERT_TRUE(client.Send("SYS LOG GETFAST\r"));
    ASSERT_TRUE(client.ReadUntil("press <ESC> to exit.\r\n", text));
    ASSERT_TRUE(client.Send(kSyn));
    ASSERT_TRUE(client.ReadExact(4, size));
    EXPECT_EQ(size, "\xFF\xFF\xFF\xFF");
}

TEST_F(SimulatorTest, DiscoveryReplyLayout) {
    StartSim({"--no-console", "--discovery", "--discovery-bind", "127.0.0.1", "--discovery-port-udp", "0",
              "--serial-number", "258", "--call-sign", "KL  MN", "--call-pad", "space", "--status", "7",
              "--announce-port", "3000"});
    ASSERT_NE(sim.DiscoveryPort(), 0);
    RawSocket udp;
    std::string error, reply;
    ASSERT_TRUE(udp.OpenUdp(error)) << error;
    ASSERT_TRUE(udp.SendTo(sim.DiscoveryPort(), "HELLO"));  // not a probe: ignored
    EXPECT_EQ(udp.Receive(reply, 300), 0);
    ASSERT_TRUE(udp.SendTo(sim.DiscoveryPort(), "QDSC"));
    ASSERT_EQ(udp.Receive(reply, 2000), 32);
    EXPECT_EQ(reply.substr(0, 4), "QDSC");
    EXPECT_EQ(reply[5], '\x07');
    EXPECT_EQ(reply.substr(12, 8), std::string("\x00\x00\x00\x00\x00\x00\x01\x02", 8));
    EXPECT_EQ(reply.substr(20, 2), "\x0B\xB8");
    EXPECT_EQ(reply.substr(23, 9), "KL  MN   ");
}

TEST_F(SimulatorTest, DiscoveryKnobs) {
    struct Case {
        std::vector<std::string> args;
        std::vector<size_t> repliesPerProbe;  // datagram count after probe 1, 2
        size_t length;
        std::string magic;
    };
    const std::vector<Case> cases = {
        {{"--reply-twice"}, {2, 2}, 32, "QDSC"},
        {{"--reply-short"}, {1, 1}, 31, "QDSC"},
        {{"--wrong-magic"}, {1, 1}, 32, "QDSR"},
        {{"--every-second-probe"}, {0, 1}, 32, "QDSC"},
        {{"--discovery-silent"}, {0, 0}, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> args = {"--no-console", "--discovery", "--discovery-bind", "127.0.0.1",
                                         "--discovery-port-udp", "0", "--call-sign", "ABC"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SimulatorProcess responder;
        std::string error;
        ASSERT_TRUE(responder.Start(args, error)) << error;
        RawSocket udp;
        ASSERT_TRUE(udp.OpenUdp(error)) << error;
        for (size_t probe = 0; probe < 2; ++probe) {
            ASSERT_TRUE(udp.SendTo(responder.DiscoveryPort(), "QDSC"));
            size_t datagrams = 0;
            std::string reply;
            while (udp.Receive(reply, 400) > 0) {
                ++datagrams;
                EXPECT_EQ(reply.size(), c.length);
                EXPECT_EQ(reply.substr(0, 4), c.magic);
                EXPECT_EQ(reply.substr(23, 3), "ABC");
                EXPECT_EQ(reply.substr(26, 5), std::string(5, '\0'));
                reply.clear();
            }
            EXPECT_EQ(datagrams, c.repliesPerProbe[probe]) << "probe " << probe + 1;
        }
    }
}

#ifndef _WIN32
// The pseudo-terminal carrier: the same console behind a device that the tool opens and closes.
// POSIX only: under Wine the device is reached through a COM name that the scripts map.
namespace {

int OpenRaw(const std::string& device) {
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

std::string ReadDeviceUntil(int fd, const std::string& needle, int timeoutMs) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (text.find(needle) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd entry = {fd, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0) continue;
        char buffer[4096];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

}  // namespace

TEST_F(SimulatorTest, SerialConsoleOnPseudoTerminal) {
    StartSim({"--serial", "--link", sim.NativePath("modem"), "--no-terminator"});
    ASSERT_FALSE(sim.SerialDevice().empty());
    char target[256] = {};
    ASSERT_GT(::readlink(sim.NativePath("modem").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), sim.SerialDevice());

    int fd = OpenRaw(sim.SerialDevice());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "QUIT\r", 5), 5);
    EXPECT_EQ(ReadDeviceUntil(fd, "cmd: ", 3000), "QUIT\r\ncmd: ");
    // An unfinished identity reply, then the device is closed: the next opener finds a fresh menu.
    ASSERT_EQ(::write(fd, "V ###\r", 6), 6);
    EXPECT_EQ(ReadDeviceUntil(fd, "#1:7.2", 3000), "V ###\r\n#0:U#1:7.2");
    ::close(fd);
    ASSERT_TRUE(sim.WaitForLog("the serial device was closed"));
    fd = OpenRaw(sim.SerialDevice());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "QUIT\r", 5), 5);
    EXPECT_EQ(ReadDeviceUntil(fd, "cmd: ", 3000), "QUIT\r\ncmd: ");
    ::close(fd);
}

TEST_F(SimulatorTest, SerialPacingHoldsRepliesToTheLineRate) {
    // 1200 baud: 120 bytes per second, so the 49-byte identity reply needs about 0.4 s on the line.
    StartSim({"--serial", "--baud", "1200"});
    int fd = OpenRaw(sim.SerialDevice());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "V ###\r", 6), 6);
    auto start = std::chrono::steady_clock::now();
    std::string reply = ReadDeviceUntil(fd, "cmd: ", 5000);
    auto elapsed = std::chrono::steady_clock::now() - start;
    ::close(fd);
    EXPECT_EQ(reply, "V ###\r\n#0:U#1:7.2#2:0000000000000001#3:SIM\r\ncmd: ");
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
}
#endif
