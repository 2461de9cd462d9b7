// Command-line parsing and progress formatting of brisklode-cli.
#include <gtest/gtest.h>

#include "cli/Args.h"
#include "cli/Progress.h"

namespace {

CliOptions Parse(const std::vector<std::string>& args, bool expectOk, std::string* errorOut = nullptr) {
    CliOptions options;
    std::string error;
    EXPECT_EQ(ParseCommandLine(args, options, error), expectOk) << error;
    if (errorOut != nullptr) *errorOut = error;
    return options;
}

TEST(CliTelnetTarget, SplitsHostPortForms) {
    std::string host, error;
    std::uint16_t port = 0;
    ASSERT_TRUE(ParseTelnetTarget("127.0.0.1:4000", host, port, error));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 4000);
    ASSERT_TRUE(ParseTelnetTarget("modem.local", host, port, error));
    EXPECT_EQ(host, "modem.local");
    EXPECT_EQ(port, 3000);
    ASSERT_TRUE(ParseTelnetTarget("[::1]:3001", host, port, error));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 3001);
    ASSERT_TRUE(ParseTelnetTarget("fe80::1", host, port, error));
    EXPECT_EQ(host, "fe80::1");
    EXPECT_EQ(port, 3000);
    ASSERT_TRUE(ParseTelnetTarget("h:65535", host, port, error));
    EXPECT_EQ(port, 65535);
}

TEST(CliTelnetTarget, RefusesEmptyHostAndPortsOutOfRange) {
    std::string host, error;
    std::uint16_t port = 0;
    for (const char* bad : {"", ":3000", "[]:3000", "h:0", "h:65536", "h:", "h:-1", "h:30x", "h:99999999999", "[::1"}) {
        EXPECT_FALSE(ParseTelnetTarget(bad, host, port, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(CliCommandLine, AcceptsEachCommand) {
    CliOptions o = Parse({"--telnet", "10.0.0.1:3000", "identify"}, true);
    EXPECT_EQ(o.command, "identify");
    EXPECT_EQ(o.telnetHost, "10.0.0.1");
    o = Parse({"--serial", "/dev/ttyUSB0", "--baud", "115200", "update", "fw.qz7", "--legacy", "yes"}, true);
    EXPECT_EQ(o.command, "update");
    EXPECT_EQ(o.path, "fw.qz7");
    EXPECT_EQ(o.baudRate, 115200u);
    EXPECT_EQ(o.legacy, LegacyChoice::Yes);
    o = Parse({"--telnet", "h", "log", "out.log"}, true);
    EXPECT_EQ(o.path, "out.log");
    o = Parse({"discover", "--timeout", "0"}, true);
    EXPECT_EQ(o.discoverTimeoutMs, 0u);
    o = Parse({"ports"}, true);
    EXPECT_EQ(o.command, "ports");
    EXPECT_TRUE(Parse({"--help"}, true).help);
    EXPECT_TRUE(Parse({"--version"}, true).version);
}

TEST(CliCommandLine, RefusesMalformedInvocations) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--telnet", "h"},
        {"--telnet", "h", "frobnicate"},
        {"--telnet", "h", "identify", "extra"},
        {"identify"},
        {"--telnet", "h", "--serial", "COM3", "identify"},
        {"--telnet", "h", "update"},
        {"--telnet", "h", "log"},
        {"--telnet", "h", "update", "fw", "--legacy", "maybe"},
        {"--telnet", "h", "identify", "--legacy", "yes"},
        {"--telnet", "h", "--baud", "9600", "identify"},
        {"--telnet", "h:0", "identify"},
        {"--telnet", "", "identify"},
        {"--unknown", "ports"},
        {"--telnet", "h", "ports"},
        {"discover", "--timeout", "soon"},
        {"--telnet"},
    };
    for (const auto& args : bad) {
        std::string error;
        Parse(args, false, &error);
        EXPECT_FALSE(error.empty());
    }
}

TEST(CliProgress, FindsByteCountsInProgressDetails) {
    std::uint64_t done = 0, total = 0;
    ASSERT_TRUE(ParseByteCounts("Transferred 65536 / 16776960 bytes", done, total));
    EXPECT_EQ(done, 65536u);
    EXPECT_EQ(total, 16776960u);
    ASSERT_TRUE(ParseByteCounts("Received 0 / 70000 bytes", done, total));
    EXPECT_EQ(done, 0u);
    EXPECT_FALSE(ParseByteCounts("Frame size: 65536 bytes", done, total));
    EXPECT_FALSE(ParseByteCounts("Returning modem to cmd: menu", done, total));
    EXPECT_FALSE(ParseByteCounts(" / bytes", done, total));
}

TEST(CliProgress, BarShowsPercentBytesRateAndTimeLeft) {
    const std::string line =
        ProgressDisplay::BarLine(50, "Transferring firmware", 8u << 20, 16u << 20, 2.0, 0, 120);
    EXPECT_NE(line.find(" 50%"), std::string::npos) << line;
    EXPECT_NE(line.find("8.0 MiB / 16.0 MiB"), std::string::npos) << line;
    EXPECT_NE(line.find("4.0 MiB/s"), std::string::npos) << line;
    EXPECT_NE(line.find("0:02 left"), std::string::npos) << line;
    EXPECT_NE(line.find("[############............]"), std::string::npos) << line;
    EXPECT_EQ(line.size(), 119u);
    // Narrow terminals lose the label before the numbers.
    const std::string narrow = ProgressDisplay::BarLine(50, "Transferring firmware", 8u << 20, 16u << 20, 2.0, 0, 60);
    EXPECT_EQ(narrow.find("Transferring"), std::string::npos);
    EXPECT_NE(narrow.find(" 50%"), std::string::npos);
}

TEST(CliProgress, FormatsSizesAndDurations) {
    EXPECT_EQ(FormatBytes(512), "512 B");
    EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
    EXPECT_EQ(FormatDuration(59.4), "0:59");
    EXPECT_EQ(FormatDuration(61), "1:01");
    EXPECT_EQ(FormatDuration(3725), "1:02:05");
}

}  // namespace
