// The Telnet link against the modem simulator over loopback: answers to its option offers, console dialogue.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/Simulator.h"
#include "transport/Transport.h"

namespace {

using Clock = std::chrono::steady_clock;

size_t Count(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

// Reads until `marker` shows up in the received text, the link fails, or timeoutMs passes.
std::string ReadUntil(ITransport& link, const std::string& marker, int timeoutMs, std::string& error) {
    std::string text;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    unsigned char buffer[1024];
    while (text.find(marker) == std::string::npos && Clock::now() < deadline) {
        const int n = link.Read(buffer, sizeof buffer, 100, error);
        if (n < 0) break;
        text.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    }
    return text;
}

bool WriteText(ITransport& link, const std::string& text, std::string& error) {
    return link.Write(reinterpret_cast<const unsigned char*>(text.data()), text.size(), error);
}

class TelnetAgainstSimulator : public ::testing::Test {
protected:
    void StartSimulator(const std::vector<std::string>& args) {
        if (SimulatorPath().empty()) GTEST_SKIP() << "no simulator binary known";
        std::string error;
        ASSERT_TRUE(simulator.Start(args, error)) << error;
        link = CreateTelnetTransport("127.0.0.1", simulator.TelnetPort());
        ASSERT_TRUE(link->Open(error)) << error;
    }

    SimulatorProcess simulator;
    std::unique_ptr<ITransport> link;
};

TEST_F(TelnetAgainstSimulator, AnswersEveryOfferByThePolicyAndNoRefusal) {
    StartSimulator({"--telnet-offers", "will:1,do:24,will:3,do:0,do:44,wont:3,dont:0,sb:24:1:255:255:7,will:3,will:44"});
    std::string error;
    // Only reading lets the link see the offers; the console prompt follows them.
    ASSERT_TRUE(WriteText(*link, "QUIT\r", error)) << error;
    const std::string reply = ReadUntil(*link, "cmd: ", 10000, error);
    ASSERT_NE(reply.find("cmd: "), std::string::npos) << "no prompt; read: " << reply << " error: " << error;
    EXPECT_EQ(reply.find('\xff'), std::string::npos) << "protocol bytes leaked into the data";

    ASSERT_TRUE(simulator.WaitForLog("rx telnet DO 44")) << simulator.ReadLog();
    const std::string log = simulator.ReadLog();
    EXPECT_EQ(Count(log, "rx telnet DONT 1"), 1u) << log;   // echo refused
    EXPECT_EQ(Count(log, "rx telnet WONT 24"), 1u) << log;  // terminal type refused
    EXPECT_EQ(Count(log, "rx telnet DO 3"), 2u) << log;     // every offer answered, repeats included
    EXPECT_EQ(Count(log, "rx telnet WILL 0"), 1u) << log;
    EXPECT_EQ(Count(log, "rx telnet WILL 44"), 1u) << log;
    EXPECT_EQ(Count(log, "rx telnet DO 44"), 1u) << log;
    // Refusals from the modem are never answered.
    EXPECT_EQ(Count(log, "rx telnet DONT 3"), 0u) << log;
    EXPECT_EQ(Count(log, "rx telnet WONT 0"), 0u) << log;
    EXPECT_EQ(Count(log, "rx telnet SB"), 0u) << log;
}

TEST_F(TelnetAgainstSimulator, IdentityDialogueAndA255ThatStaysData) {
    StartSimulator({"--type", "U", "--firmware", "7.2"});
    std::string error;
    // A lone 255 must reach the modem as data: sent undoubled it would swallow the carriage return.
    ASSERT_TRUE(WriteText(*link, "\xff\rQUIT\r", error)) << error;
    ASSERT_NE(ReadUntil(*link, "cmd: ", 10000, error).find("cmd: "), std::string::npos) << error;
    ASSERT_TRUE(WriteText(*link, "V ###\r", error)) << error;
    const std::string identity = ReadUntil(*link, "#1:7.2", 10000, error);
    EXPECT_NE(identity.find("#0:U"), std::string::npos) << identity << " error: " << error;
    EXPECT_NE(identity.find("#1:7.2"), std::string::npos) << identity;
    // The modem saw the 255 as a data byte, and no Telnet command at all.
    EXPECT_TRUE(simulator.WaitForLog("rx <255>")) << simulator.ReadLog();
    ASSERT_TRUE(simulator.WaitForLog("rx V ###<CR>")) << simulator.ReadLog();
    EXPECT_EQ(Count(simulator.ReadLog(), "telnet command"), 0u) << simulator.ReadLog();
}

TEST_F(TelnetAgainstSimulator, DribbledReplyArrivesWhole) {
    StartSimulator({"--dribble", "2"});
    std::string error;
    ASSERT_TRUE(WriteText(*link, "QUIT\r", error)) << error;
    ASSERT_NE(ReadUntil(*link, "cmd: ", 20000, error).find("cmd: "), std::string::npos) << error;
    ASSERT_TRUE(WriteText(*link, "V ###\r", error)) << error;
    const std::string identity = ReadUntil(*link, "#1:", 20000, error);
    EXPECT_NE(identity.find("#0:"), std::string::npos) << identity << " error: " << error;
}

TEST_F(TelnetAgainstSimulator, ModemClosingMidReplyIsReported) {
    StartSimulator({"--close-mid-reply"});
    std::string error;
    ASSERT_TRUE(WriteText(*link, "QUIT\r", error)) << error;
    ASSERT_NE(ReadUntil(*link, "cmd: ", 10000, error).find("cmd: "), std::string::npos) << error;
    ASSERT_TRUE(WriteText(*link, "V ###\r", error)) << error;
    unsigned char buffer[256];
    int result = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline && (result = link->Read(buffer, sizeof buffer, 100, error)) >= 0) {
    }
    ASSERT_EQ(result, -1);
    EXPECT_EQ(error, "The modem closed the Telnet connection");
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 0, error), -1);
    EXPECT_EQ(error, "Telnet link is not connected");
}

}  // namespace
