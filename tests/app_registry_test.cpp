// Tests of the network modem registry: merging passes, aging, sorting, selection, captions, log and status texts.
#include <gtest/gtest.h>

#include "app/Registry.h"

namespace {

DiscoveredModem Modem(const std::string& address, std::uint16_t port, std::uint64_t serial,
                      const std::string& call, std::uint8_t status = 0) {
    DiscoveredModem m;
    m.address = address;
    m.port = port;
    m.serialNumber = serial;
    m.statusByte = status;
    m.callSign = call;
    return m;
}

DiscoveryMessage Pass(bool background, std::vector<DiscoveredModem> modems, std::wstring error = L"") {
    DiscoveryMessage message;
    message.background = background;
    message.modems = std::move(modems);
    message.error = std::move(error);
    return message;
}

std::vector<std::string> Keys(const std::vector<DiscoveredModem>& modems) {
    std::vector<std::string> keys;
    for (const auto& m : modems) keys.push_back(ModemKey(m));
    return keys;
}

class Registry : public ::testing::Test {
protected:
    DiscoveryView Run(const DiscoveryMessage& message, const std::string& remembered = "", bool connected = false,
                      bool networkChosen = false) {
        return MergeDiscovery(modems, missed, message, remembered, connected, networkChosen);
    }
    std::vector<DiscoveredModem> modems;
    std::map<std::string, std::uint32_t> missed;
};

TEST_F(Registry, TextsOfOneModem) {
    const DiscoveredModem m = Modem("192.168.1.20", 3000, 1234, "KLM");
    EXPECT_EQ(ModemKey(m), "192.168.1.20:3000");
    EXPECT_EQ(ModemItemText(m), L"192.168.1.20:3000  KLM  S/N 00000000000004D2");
    EXPECT_EQ(SelectedModemStatus(m), L"Selected KLM at 192.168.1.20:3000 - press Connect modem");
    EXPECT_EQ(ModemItemText(Modem("10.0.0.1", 1, 0xFEDCBA9876543210ull, "")), L"10.0.0.1:1    S/N FEDCBA9876543210");
    EXPECT_EQ(SelectedModemStatus(Modem("10.0.0.1", 23, 1, "")),
              L"Selected network modem at 10.0.0.1:23 - press Connect modem");
    EXPECT_EQ(NetworkCaption(0), L"Network / Telnet");
    EXPECT_EQ(NetworkCaption(2), L"Network / Telnet (2 found)");
    EXPECT_EQ(NetworkCaption(12), L"Network / Telnet (12 found)");
}

TEST_F(Registry, StartupWithTwoModemsAndComChosenListsBothSorted) {
    DiscoveryView view = Run(Pass(false, {Modem("10.0.0.9", 3000, 2, "BBB"), Modem("10.0.0.10", 3000, 1, "AAA")}));
    ASSERT_TRUE(view.refresh);
    EXPECT_EQ(Keys(modems), (std::vector<std::string>{"10.0.0.10:3000", "10.0.0.9:3000"}));
    EXPECT_EQ(view.items, (std::vector<std::wstring>{L"10.0.0.10:3000  AAA  S/N 0000000000000001",
                                                     L"10.0.0.9:3000  BBB  S/N 0000000000000002"}));
    EXPECT_EQ(view.selection, 0);
    EXPECT_TRUE(view.fillAddress);
    EXPECT_EQ(view.address, L"10.0.0.10");
    EXPECT_EQ(view.port, L"3000");
    EXPECT_EQ(view.caption, L"Network / Telnet (2 found)");
    EXPECT_EQ(view.logLines, (std::vector<std::wstring>{L"Network modem: AAA at 10.0.0.10:3000, S/N 0000000000000001",
                                                        L"Network modem: BBB at 10.0.0.9:3000, S/N 0000000000000002"}));
    ASSERT_TRUE(view.setStatus);
    EXPECT_EQ(view.status, L"2 network modem(s) available - choose Network / Telnet to use them");
    EXPECT_EQ(missed.at("10.0.0.9:3000"), 0u);
    EXPECT_EQ(missed.at("10.0.0.10:3000"), 0u);
}

TEST_F(Registry, KeysSortAsByteStrings) {
    Run(Pass(false, {Modem("192.168.1.5", 3000, 1, "A"), Modem("192.168.1.5", 300, 2, "B"),
                     Modem("192.168.1.50", 1, 3, "C"), Modem("10.0.0.9", 3000, 4, "D"),
                     Modem("10.0.0.10", 3000, 5, "E")}));
    EXPECT_EQ(Keys(modems), (std::vector<std::string>{"10.0.0.10:3000", "10.0.0.9:3000", "192.168.1.50:1",
                                                      "192.168.1.5:300", "192.168.1.5:3000"}));
}

TEST_F(Registry, ForegroundPassWithNobodyShowsNoModemFoundOrTheError) {
    DiscoveryView view = Run(Pass(false, {}));
    ASSERT_TRUE(view.refresh);
    EXPECT_TRUE(view.items.empty());
    EXPECT_EQ(view.selection, -1);
    EXPECT_FALSE(view.fillAddress);
    EXPECT_EQ(view.caption, L"Network / Telnet");
    EXPECT_TRUE(view.setStatus);
    EXPECT_EQ(view.status, L"No modem found");
    EXPECT_TRUE(view.logLines.empty());

    view = Run(Pass(false, {}, L"Cannot bind discovery socket"));
    EXPECT_EQ(view.status, L"Cannot bind discovery socket");

    view = Run(Pass(false, {}, L"Cannot bind discovery socket"), "", /*connected=*/true);
    EXPECT_TRUE(view.refresh);
    EXPECT_FALSE(view.setStatus);
}

TEST_F(Registry, ErrorOfAPassIsDroppedWhenModemsAreListed) {
    DiscoveryView view = Run(Pass(false, {Modem("10.0.0.1", 3000, 1, "A")}, L"Modem discovery receive failed: x"));
    EXPECT_EQ(view.status, L"1 network modem(s) available - choose Network / Telnet to use them");
    EXPECT_EQ(modems.size(), 1u);
}

TEST_F(Registry, BackgroundPassOnEmptyListChangesNothing) {
    DiscoveryView view = Run(Pass(true, {}, L"Cannot create discovery socket"));
    EXPECT_FALSE(view.refresh);
    EXPECT_FALSE(view.setStatus);
    EXPECT_TRUE(modems.empty());
}

TEST_F(Registry, QuietBackgroundPassLeavesTheWindowAlone) {
    Run(Pass(false, {Modem("10.0.0.1", 3000, 1, "A"), Modem("10.0.0.2", 3000, 2, "B")}));
    DiscoveryView view = Run(Pass(true, {Modem("10.0.0.2", 3000, 2, "B"), Modem("10.0.0.1", 3000, 1, "A")}));
    EXPECT_FALSE(view.refresh);
    EXPECT_TRUE(view.logLines.empty());
    EXPECT_FALSE(view.setStatus);
}

TEST_F(Registry, SilentModemIsRemovedAtTheSixthBackgroundPass) {
    Run(Pass(false, {Modem("10.0.0.5", 3000, 7, "KLM"), Modem("10.0.0.6", 3000, 8, "NOP")}));
    const DiscoveredModem other = Modem("10.0.0.6", 3000, 8, "NOP");
    for (std::uint32_t pass = 1; pass <= 5; ++pass) {
        DiscoveryView view = Run(Pass(true, {other}));
        EXPECT_FALSE(view.refresh) << "pass " << pass;
        ASSERT_EQ(modems.size(), 2u) << "pass " << pass;
        EXPECT_EQ(missed.at("10.0.0.5:3000"), pass);
        EXPECT_EQ(missed.at("10.0.0.6:3000"), 0u);
    }
    DiscoveryView view = Run(Pass(true, {other}), "10.0.0.5:3000");
    ASSERT_TRUE(view.refresh);
    EXPECT_EQ(Keys(modems), (std::vector<std::string>{"10.0.0.6:3000"}));
    EXPECT_EQ(missed.count("10.0.0.5:3000"), 0u);
    EXPECT_EQ(view.logLines, (std::vector<std::wstring>{L"Network modem removed after 30 seconds: KLM at 10.0.0.5:3000"}));
    EXPECT_EQ(view.caption, L"Network / Telnet (1 found)");
    // The selected modem went away: the first entry is chosen and copied into the fields.
    EXPECT_EQ(view.selection, 0);
    EXPECT_TRUE(view.fillAddress);
    EXPECT_EQ(view.address, L"10.0.0.6");
    EXPECT_EQ(view.status, std::wstring(kComSelectedStatus));
}

TEST_F(Registry, AnswerInBetweenEvenInForegroundRestartsTheCount) {
    const DiscoveredModem m = Modem("10.0.0.5", 3000, 7, "KLM");
    Run(Pass(false, {m}));
    for (int i = 0; i < 5; ++i) Run(Pass(true, {}));
    EXPECT_EQ(missed.at("10.0.0.5:3000"), 5u);
    // A foreground pass in which nobody answers neither ages nor removes, and lists everybody.
    DiscoveryView view = Run(Pass(false, {}));
    EXPECT_EQ(missed.at("10.0.0.5:3000"), 5u);
    EXPECT_EQ(view.logLines, (std::vector<std::wstring>{L"Network modem: KLM at 10.0.0.5:3000, S/N 0000000000000007"}));
    ASSERT_EQ(modems.size(), 1u);

    Run(Pass(false, {m}));
    EXPECT_EQ(missed.at("10.0.0.5:3000"), 0u);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(Run(Pass(true, {})).refresh);
    EXPECT_EQ(modems.size(), 1u);
    view = Run(Pass(true, {}));
    EXPECT_TRUE(modems.empty());
    EXPECT_EQ(view.caption, L"Network / Telnet");
    EXPECT_EQ(view.status, L"No modem found");
    EXPECT_EQ(view.logLines, (std::vector<std::wstring>{L"Network modem removed after 30 seconds: KLM at 10.0.0.5:3000"}));
}

TEST_F(Registry, AdjacentSilentModemsAreAllRemovedInOrder) {
    Run(Pass(false, {Modem("10.0.0.1", 1, 1, ""), Modem("10.0.0.2", 1, 2, "B"), Modem("10.0.0.3", 1, 3, "C")}));
    for (int i = 0; i < 5; ++i) Run(Pass(true, {Modem("10.0.0.3", 1, 3, "C")}));
    DiscoveryView view = Run(Pass(true, {Modem("10.0.0.3", 1, 3, "C")}), "", /*connected=*/true);
    EXPECT_EQ(Keys(modems), (std::vector<std::string>{"10.0.0.3:1"}));
    EXPECT_EQ(view.logLines, (std::vector<std::wstring>{L"Network modem removed after 30 seconds: <no call> at 10.0.0.1:1",
                                                        L"Network modem removed after 30 seconds: B at 10.0.0.2:1"}));
    EXPECT_FALSE(view.setStatus);
    EXPECT_FALSE(view.fillAddress);
}

TEST_F(Registry, RemovingTheLastModemReportsThePassError) {
    Run(Pass(false, {Modem("10.0.0.5", 3000, 7, "KLM")}));
    for (int i = 0; i < 5; ++i) Run(Pass(true, {}));
    DiscoveryView view = Run(Pass(true, {}, L"Modem discovery receive failed: boom"));
    EXPECT_TRUE(view.refresh);
    EXPECT_EQ(view.status, L"Modem discovery receive failed: boom");
}

TEST_F(Registry, ChangedCallSignIsUpdatedInPlaceWithoutLogLineInBackground) {
    Run(Pass(false, {Modem("10.0.0.1", 3000, 1, "OLD"), Modem("10.0.0.2", 3000, 2, "B")}));
    DiscoveryView view = Run(Pass(true, {Modem("10.0.0.1", 3000, 1, "NEW"), Modem("10.0.0.2", 3000, 2, "B")}));
    ASSERT_TRUE(view.refresh);
    EXPECT_TRUE(view.logLines.empty());
    EXPECT_EQ(view.items[0], L"10.0.0.1:3000  NEW  S/N 0000000000000001");
    EXPECT_EQ(modems[0].callSign, "NEW");
    EXPECT_EQ(view.status, std::wstring(kComSelectedStatus));

    view = Run(Pass(false, {Modem("10.0.0.1", 3000, 1, "NEWER")}));
    EXPECT_EQ(view.logLines[0], L"Network modem: NEWER at 10.0.0.1:3000, S/N 0000000000000001");
}

TEST_F(Registry, StatusByteOrSerialChangeCountsAsChange) {
    Run(Pass(false, {Modem("10.0.0.1", 3000, 1, "A", 0)}));
    EXPECT_TRUE(Run(Pass(true, {Modem("10.0.0.1", 3000, 1, "A", 9)})).refresh);
    EXPECT_EQ(modems[0].statusByte, 9);
    EXPECT_TRUE(Run(Pass(true, {Modem("10.0.0.1", 3000, 2, "A", 9)})).refresh);
    EXPECT_EQ(modems[0].serialNumber, 2u);
    EXPECT_FALSE(Run(Pass(true, {Modem("10.0.0.1", 3000, 2, "A", 9)})).refresh);
}

TEST_F(Registry, SelectionIsKeptWhenANewModemSortsBeforeIt) {
    Run(Pass(false, {Modem("10.0.0.5", 3000, 5, "E"), Modem("10.0.0.7", 3000, 7, "G")}));
    DiscoveryView view = Run(Pass(true, {Modem("10.0.0.1", 3000, 1, "A"), Modem("10.0.0.5", 3000, 5, "E"),
                                         Modem("10.0.0.7", 3000, 7, "G")}),
                             "10.0.0.7:3000", false, /*networkChosen=*/true);
    ASSERT_TRUE(view.refresh);
    EXPECT_EQ(view.selection, 2);
    EXPECT_EQ(view.address, L"10.0.0.7");
    EXPECT_EQ(view.status, L"Selected G at 10.0.0.7:3000 - press Connect modem");
    EXPECT_EQ(view.logLines, (std::vector<std::wstring>{L"Network modem added: A at 10.0.0.1:3000, S/N 0000000000000001"}));
    EXPECT_EQ(view.caption, L"Network / Telnet (3 found)");
}

TEST_F(Registry, BackgroundAdditionWithComChosenAnnouncesNewModem) {
    Run(Pass(false, {Modem("10.0.0.5", 3000, 5, "E")}));
    DiscoveryView view = Run(Pass(true, {Modem("10.0.0.9", 3001, 9, ""), Modem("10.0.0.3", 3000, 3, "C"),
                                         Modem("10.0.0.5", 3000, 5, "E")}));
    EXPECT_EQ(view.status, L"New network modem found");
    // Added lines follow the order of the pass, not the sorted list.
    EXPECT_EQ(view.logLines, (std::vector<std::wstring>{L"Network modem added: <no call> at 10.0.0.9:3001, S/N 0000000000000009",
                                                        L"Network modem added: C at 10.0.0.3:3000, S/N 0000000000000003"}));
    EXPECT_EQ(view.items[2], L"10.0.0.9:3001    S/N 0000000000000009");
}

TEST_F(Registry, WhileConnectedTheListChangesButStatusAndFieldsDoNot) {
    DiscoveryView view = Run(Pass(false, {Modem("10.0.0.5", 3000, 5, "E")}), "", /*connected=*/true, true);
    EXPECT_TRUE(view.refresh);
    EXPECT_EQ(view.items.size(), 1u);
    EXPECT_EQ(view.caption, L"Network / Telnet (1 found)");
    EXPECT_EQ(view.logLines.size(), 1u);
    EXPECT_FALSE(view.setStatus);
    EXPECT_FALSE(view.fillAddress);
    view = Run(Pass(true, {Modem("10.0.0.5", 3000, 5, "E"), Modem("10.0.0.6", 3000, 6, "F")}), "10.0.0.5:3000", true);
    EXPECT_FALSE(view.setStatus);
    EXPECT_FALSE(view.fillAddress);
    EXPECT_EQ(view.selection, 0);
}

TEST_F(Registry, SameAddressDifferentPortsAreDifferentModems) {
    Run(Pass(false, {Modem("10.0.0.5", 3001, 1, "B"), Modem("10.0.0.5", 3000, 2, "A")}));
    EXPECT_EQ(Keys(modems), (std::vector<std::string>{"10.0.0.5:3000", "10.0.0.5:3001"}));
}

}  // namespace
