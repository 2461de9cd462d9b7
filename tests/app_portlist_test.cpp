// Tests of the COM port list: the maker's ports first, the display fixes and the kept selection.
#include <gtest/gtest.h>

#include "app/PortList.h"

namespace {

std::vector<std::wstring> Names(const std::vector<SerialPortInfo>& ports) {
    std::vector<std::wstring> names;
    for (const auto& port : ports) names.push_back(port.portName);
    return names;
}

TEST(PortListOrder, MakerPortsComeFirstAndBothGroupsKeepTheirOrder) {
    std::vector<SerialPortInfo> ports = {
        {L"COM1", L"Communications Port (COM1)"},
        {L"COM3", L"USB Serial Port (COM3)"},
        {L"COM7", L"Velmor Radio Modem (COM7)"},
        {L"COM8", L"Other device (COM8)"},
        {L"COM9", L"=VELMOR modem port (COM9)"},
        {L"COM10", L"usb velmor adapter (COM10)"},
    };
    OrderSerialPorts(ports);
    EXPECT_EQ(Names(ports), (std::vector<std::wstring>{L"COM7", L"COM9", L"COM10", L"COM1", L"COM3", L"COM8"}));
    // The records are moved, not rewritten.
    EXPECT_EQ(ports[1].displayName, L"=VELMOR modem port (COM9)");
}

TEST(PortListOrder, GenericPortBeforeMakerPortIsMovedBehindItAndMakerPortSelected) {
    std::vector<SerialPortInfo> ports = {{L"COM1", L"Communications Port (COM1)"},
                                         {L"COM7", L"Velmor USB modem (COM7)"}};
    OrderSerialPorts(ports);
    EXPECT_EQ(Names(ports), (std::vector<std::wstring>{L"COM7", L"COM1"}));
    EXPECT_EQ(PortSelectionIndex(ports, L""), 0);
}

TEST(PortListOrder, NoMakerPortLeavesTheEnumeratedOrder) {
    std::vector<SerialPortInfo> ports = {{L"COM2", L"B"}, {L"COM1", L"A"}, {L"COM3", L"Velmo r"}};
    OrderSerialPorts(ports);
    EXPECT_EQ(Names(ports), (std::vector<std::wstring>{L"COM2", L"COM1", L"COM3"}));
}

TEST(PortListText, LeadingEqualsBeforeMakerNameIsDroppedInAnyCase) {
    EXPECT_EQ(PortDisplayText(L"=VELMOR Modem (COM4)"), L"VELMOR Modem (COM4)");
    EXPECT_EQ(PortDisplayText(L"=velmor modem (COM4)"), L"velmor modem (COM4)");
    EXPECT_EQ(PortDisplayText(L"=Velmor"), L"Velmor");
}

TEST(PortListText, EqualsNotFollowedByMakerNameOrNotLeadingStays) {
    EXPECT_EQ(PortDisplayText(L"=Serial port (COM2)"), L"=Serial port (COM2)");
    EXPECT_EQ(PortDisplayText(L"= Velmor (COM2)"), L"= Velmor (COM2)");
    EXPECT_EQ(PortDisplayText(L"=Velmo"), L"=Velmo");
    EXPECT_EQ(PortDisplayText(L"Port =Velmor"), L"Port =Velmor");
    EXPECT_EQ(PortDisplayText(L"="), L"=");
    EXPECT_EQ(PortDisplayText(L""), L"");
}

TEST(PortListText, OnlyTheFirstTorivanixIsCorrected) {
    EXPECT_EQ(PortDisplayText(L"Torivanix Torivanix (COM5)"), L"Torvanix Torivanix (COM5)");
    EXPECT_EQ(PortDisplayText(L"Velmor Torivanix VX (COM5)"), L"Velmor Torvanix VX (COM5)");
    // The correction is case-sensitive; only the maker's-name test ignores case.
    EXPECT_EQ(PortDisplayText(L"TORIVANIX (COM5)"), L"TORIVANIX (COM5)");
    EXPECT_EQ(PortDisplayText(L"=Velmor Torivanix"), L"Velmor Torvanix");
}

TEST(PortListSelection, ChosenPortStaysChosenWhileItExists) {
    std::vector<SerialPortInfo> ports = {{L"COM7", L"Velmor (COM7)"}, {L"COM1", L"Port (COM1)"}};
    EXPECT_EQ(PortSelectionIndex(ports, L"COM1"), 1);
    EXPECT_EQ(PortSelectionIndex(ports, L"COM7"), 0);
    // Gone, or named differently (the match is exact): the first entry.
    EXPECT_EQ(PortSelectionIndex(ports, L"COM4"), 0);
    EXPECT_EQ(PortSelectionIndex(ports, L"com1"), 0);
    EXPECT_EQ(PortSelectionIndex(ports, L"COM1 "), 0);
    EXPECT_EQ(PortSelectionIndex({}, L"COM1"), -1);
}

}  // namespace
