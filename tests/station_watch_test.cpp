// The station's port watch: patterns, the settle time, flickers and pulls, over a scripted listing and clock.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "rollout/PortWatch.h"

namespace {

using std::chrono::milliseconds;

TEST(StationWatch, PatternsMatchAsAShellWould) {
    EXPECT_TRUE(WildcardMatch("/dev/ttyUSB*", "/dev/ttyUSB12"));
    EXPECT_FALSE(WildcardMatch("/dev/ttyUSB*", "/dev/ttyACM0"));
    EXPECT_TRUE(WildcardMatch("COM?", "com7", true));
    EXPECT_FALSE(WildcardMatch("COM?", "com7"));
    EXPECT_FALSE(WildcardMatch("COM?", "COM12", true));
    EXPECT_TRUE(WildcardMatch("*port0", "usb-FTDI_A50285BI-if00-port0"));
    EXPECT_TRUE(WildcardMatch("a*b*c", "aXbYbZc"));  // the first "*" must give back what the second needs
}

TEST(StationWatch, APortAppearsOnceSettledAndDisappearsAtTheFirstMiss) {
    std::vector<std::string> listed;
    PortWatch watch([&listed] { return listed; }, milliseconds(1000));
    const PortWatch::Clock::time_point t0{};
    const auto look = [&](int ms) { return watch.Look(t0 + milliseconds(ms)); };

    listed = {"/dev/ttyUSB0"};
    EXPECT_TRUE(look(0).empty());
    EXPECT_TRUE(look(500).empty());
    // A flicker before it settled is forgotten without a word, and the settle time starts again.
    listed = {};
    EXPECT_TRUE(look(700).empty());
    listed = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
    EXPECT_TRUE(look(1000).empty());
    std::vector<PortChange> changes = look(2000);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].kind, PortChange::Kind::Appeared);
    EXPECT_EQ(changes[0].port, "/dev/ttyUSB0");
    EXPECT_TRUE(watch.Present("/dev/ttyUSB1"));
    EXPECT_TRUE(look(2500).empty()) << "a port appears once";

    listed = {"/dev/ttyUSB1"};
    changes = look(3000);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].kind, PortChange::Kind::Disappeared);
    EXPECT_EQ(changes[0].port, "/dev/ttyUSB0");
    EXPECT_FALSE(watch.Present("/dev/ttyUSB0"));
    // Plugged again: a new unit, after its own settle time.
    listed = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
    EXPECT_TRUE(look(3500).empty());
    changes = look(4500);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].kind, PortChange::Kind::Appeared);
}

}  // namespace
