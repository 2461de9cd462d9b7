// The targets of a rollout: the target list, when two targets are one modem, log file names, discovery's filters.
#include <gtest/gtest.h>

#include "rollout/Targets.h"
#include "transport/File.h"
#include "transport/Transport.h"

TEST(RolloutTargets, TargetListLinesAndTheirErrors) {
    std::vector<RolloutTarget> targets;
    std::string error;
    ASSERT_TRUE(ParseTargetList("# rig 1\r\ntelnet 198.18.1.10\n\n  serial /dev/ttyUSB0 115200  # bench\n"
                                "telnet 198.18.1.11:3001\r\nserial COM7",
                                targets, error))
        << error;
    ASSERT_EQ(targets.size(), 4u);
    EXPECT_EQ(targets[0].Label(), "telnet 198.18.1.10:3000");
    EXPECT_EQ(targets[1].serialPort, "/dev/ttyUSB0");
    EXPECT_EQ(targets[1].baudRate, 115200u);
    EXPECT_EQ(targets[2].port, 3001);
    EXPECT_EQ(targets[3].baudRate, 0u);
    for (const char* bad : {"telnet\n", "telnet a b\n", "ssh host\n", "serial COM1 fast\n", "serial COM1 0\n",
                            "telnet h:0\n", "serial COM1 9600 x\n"}) {
        targets.clear();
        EXPECT_FALSE(ParseTargetList(std::string("# ok\n") + bad, targets, error)) << bad;
        EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    }
    // As Windows editors and PowerShell's ">" save it: a byte order mark, UTF-8 or UTF-16.
    const std::string utf16le("\xFF\xFEt\0e\0l\0n\0e\0t\0 \0h\0\r\0\n\0s\0e\0r\0i\0a\0l\0 \0C\0O\0M\0003\0", 44);
    for (const std::string& marked : {std::string("\xEF\xBB\xBFtelnet h\r\nserial COM3\r\n"), utf16le}) {
        targets.clear();
        ASSERT_TRUE(ParseTargetList(marked, targets, error)) << error;
        ASSERT_EQ(targets.size(), 2u);
        EXPECT_EQ(targets[0].Label(), "telnet h:3000");
        EXPECT_EQ(targets[1].Label(), "serial COM3");
    }
    targets.clear();
    ASSERT_TRUE(ParseTargetList("telnet h\ntelnet h:3000\n", targets, error));
    EXPECT_FALSE(CheckDistinctTargets(targets, error));
    EXPECT_EQ(error, "Target given twice: telnet h:3000");

    // Any address in common makes one modem: localhost resolving to ::1 first and 127.0.0.1 after it.
    targets.clear();
    ASSERT_TRUE(ParseTargetList("telnet localhost:23\ntelnet 127.0.0.1:23\ntelnet 127.0.0.1:24\n", targets, error));
    const ModemKeys keys = [](const RolloutTarget& target) {
        if (target.host == "localhost") return std::vector<std::string>{"::1:23", "127.0.0.1:23"};
        return std::vector<std::string>{target.host + ":" + std::to_string(target.port)};
    };
    EXPECT_FALSE(CheckSameModems(targets, keys, error));
    EXPECT_EQ(error, "Target given twice: telnet localhost:23 and telnet 127.0.0.1:23 are the same modem (127.0.0.1:23)");
    targets.erase(targets.begin() + 1);
    EXPECT_TRUE(CheckSameModems(targets, keys, error)) << error;
}

TEST(RolloutTargets, LogFileNamesAreDistinctAndSafe) {
    std::vector<RolloutTarget> targets(6);
    targets[0].discovered = true;
    targets[0].serialNumber = 0xAB;
    targets[1].host = "198.18.1.10";
    targets[1].port = 3001;
    targets[2].serial = true;
    targets[2].serialPort = "/dev/ttyUSB0";
    targets[3].serial = true;
    targets[3].serialPort = "\\\\.\\COM12";
    targets[4] = targets[0];  // the same serial number from two addresses
    targets[5].host = "..";
    const std::vector<std::string> names = LogFileNames(targets);
    EXPECT_EQ(names, (std::vector<std::string>{"00000000000000AB.log", "198.18.1.10_3001.log", "ttyUSB0.log",
                                               "COM12.log", "00000000000000AB-2.log", "_.._3000.log"}));
}

TEST(RolloutTargets, LogFileNamesAreNeverWindowsDeviceNames) {
    std::vector<RolloutTarget> targets(4);
    for (RolloutTarget& target : targets) target.serial = true;
    targets[0].serialPort = "COM1";
    targets[1].serialPort = "\\\\.\\com9";
    targets[2].serialPort = "/dev/lpt2";
    targets[3].serial = false;
    targets[3].host = "nul.example";
    const std::vector<std::string> names = LogFileNames(targets);
    EXPECT_EQ(names, (std::vector<std::string>{"COM1_port.log", "com9_port.log", "lpt2_port.log",
                                               "nul_port.example_3000.log"}));
    for (const std::string& name : names) EXPECT_FALSE(IsWindowsDeviceName(Utf8ToWide(name))) << name;
    EXPECT_TRUE(IsWindowsDeviceName(L"C:\\logs\\Com3.log"));
    EXPECT_TRUE(IsWindowsDeviceName(L"aux"));
    EXPECT_TRUE(IsWindowsDeviceName(L"COM1:"));
    EXPECT_TRUE(IsWindowsDeviceName(L"C:\\logs\\nul:"));
    EXPECT_FALSE(IsWindowsDeviceName(L"COM12.log"));
}

TEST(RolloutTargets, DiscoveryFiltersSelectBySerialNumberAndCall) {
    std::vector<RolloutTarget> found(3);
    found[0].serialNumber = 1, found[0].callSign = "A";
    found[1].serialNumber = 2, found[1].callSign = "B";
    found[2].serialNumber = 3, found[2].callSign = "B";
    EXPECT_EQ(FilterDiscovered(found, {}, {}).size(), 3u);
    EXPECT_EQ(FilterDiscovered(found, {1, 3}, {}).size(), 2u);
    // Either list names a wanted modem: serial number 1 and call sign B select all three.
    const std::vector<RolloutTarget> either = FilterDiscovered(found, {1}, {"b"});
    ASSERT_EQ(either.size(), 3u);
    EXPECT_EQ(FilterDiscovered(found, {9}, {"A"}).at(0).serialNumber, 1u);
}
