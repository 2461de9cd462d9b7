// Tests of the window's keyboard rules: Tab follows the reading order, the focus never stays on a lost control.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "app/ControlIds.h"
#include "app/FocusRules.h"
#include "app/SessionEnd.h"
#include "app/WindowLayout.h"

namespace {

// The window's tab stops as SetBusyUi leaves them: idle or busy, connected or not, one group shown.
std::vector<FocusCandidate> Controls(bool busy, bool connected, bool network, bool firmware) {
    std::vector<FocusCandidate> controls;
    for (int id : TabOrder()) {
        bool enabled = true;
        bool visible = true;
        switch (id) {
        case IdFirmwareEdit:
            break;
        case IdBrowse:
        case IdConnect:
            enabled = !busy;
            break;
        case IdReadLog:
            enabled = !busy && connected;
            break;
        case IdStartUpdate:
            enabled = !busy && connected && firmware;
            break;
        case IdCancel:
            enabled = busy;
            break;
        case IdPortCombo:
        case IdRefresh:
            visible = !network;
            enabled = !busy && !connected;
            break;
        case IdDiscoveredCombo:
        case IdDiscover:
        case IdAddressEdit:
        case IdTelnetPortEdit:
            visible = network;
            enabled = !busy && !connected;
            break;
        default:  // the radio pair
            enabled = !busy && !connected;
            break;
        }
        controls.push_back({id, enabled, visible});
    }
    return controls;
}

std::vector<int> TabCycle(const std::vector<FocusCandidate>& controls, int from, bool backwards) {
    std::vector<int> visited;
    int id = from;
    for (int k = 0; k < 20; ++k) {
        id = NextTabStop(controls, id, backwards);
        visited.push_back(id);
        if (id == from || id == 0) break;
    }
    return visited;
}

// Reading order derived from the layout itself: by the middle of each control's row, then left to right.
// Combo boxes count with the height of their closed field.
TEST(FocusRules, TabOrderIsTheReadingOrderOfTheLayoutAtEveryScale) {
    const std::map<Slot, int> ids = {
        {Slot::FirmwareEdit, IdFirmwareEdit}, {Slot::Browse, IdBrowse},
        {Slot::ComPort, IdComPortRadio},      {Slot::Network, IdNetworkRadio},
        {Slot::PortCombo, IdPortCombo},       {Slot::Refresh, IdRefresh},
        {Slot::DiscoveredCombo, IdDiscoveredCombo}, {Slot::Discover, IdDiscover},
        {Slot::AddressEdit, IdAddressEdit},   {Slot::TelnetPortEdit, IdTelnetPortEdit},
        {Slot::Connect, IdConnect},           {Slot::StartUpdate, IdStartUpdate},
        {Slot::Cancel, IdCancel},             {Slot::ReadLog, IdReadLog},
    };
    // The two connection groups share their rows; each is read with the other one hidden.
    const std::vector<int> comGroup = {IdPortCombo, IdRefresh};
    const std::vector<int> networkGroup = {IdDiscoveredCombo, IdDiscover, IdAddressEdit, IdTelnetPortEdit};
    for (int dpi : {96, 144, 192}) {
        for (const std::vector<int>* hidden : {&networkGroup, &comGroup}) {
            struct Stop {
                int middle, x, id;
            };
            std::vector<Stop> stops;
            for (const Placement& p : LayoutControls(ScaleForDpi(804, dpi), ScaleForDpi(681, dpi), 40, dpi)) {
                const auto found = ids.find(p.slot);
                if (found == ids.end()) continue;
                if (std::count(hidden->begin(), hidden->end(), found->second)) continue;
                const bool combo = p.slot == Slot::PortCombo || p.slot == Slot::DiscoveredCombo;
                const int height = combo ? ScaleForDpi(30, dpi) : p.box.height;
                stops.push_back({(2 * p.box.y + height) / 2, p.box.x, found->second});
            }
            // Rows are far apart; within one, the middles differ by a few pixels (Read modem log... is
            // lower by 3 at 100 %): the row is the middle rounded to a grid of 20 pixels at 100 %.
            const int grid = ScaleForDpi(20, dpi);
            std::sort(stops.begin(), stops.end(), [grid](const Stop& l, const Stop& r) {
                const int lr = (l.middle + grid / 2) / grid, rr = (r.middle + grid / 2) / grid;
                return lr != rr ? lr < rr : l.x < r.x;
            });
            std::vector<int> reading, expected;
            for (const Stop& stop : stops) reading.push_back(stop.id);
            for (int id : TabOrder()) {
                if (!std::count(hidden->begin(), hidden->end(), id)) expected.push_back(id);
            }
            EXPECT_EQ(reading, expected) << dpi << " dpi";
        }
    }
}

TEST(FocusRules, TabAndShiftTabVisitOnlyUsableControlsAndWrapAround) {
    // Connected and idle over the network, a firmware file chosen.
    const auto connected = Controls(false, true, true, true);
    EXPECT_EQ(TabCycle(connected, IdFirmwareEdit, false),
              (std::vector<int>{IdBrowse, IdConnect, IdStartUpdate, IdReadLog, IdFirmwareEdit}));
    EXPECT_EQ(TabCycle(connected, IdFirmwareEdit, true),
              (std::vector<int>{IdReadLog, IdStartUpdate, IdConnect, IdBrowse, IdFirmwareEdit}));
    // Idle, not connected, COM group shown: the network controls are hidden.
    const auto com = Controls(false, false, false, false);
    EXPECT_EQ(TabCycle(com, IdNetworkRadio, false),
              (std::vector<int>{IdPortCombo, IdRefresh, IdConnect, IdFirmwareEdit, IdBrowse, IdComPortRadio,
                                IdNetworkRadio}));
    const auto network = Controls(false, false, true, false);
    EXPECT_EQ(NextTabStop(network, IdNetworkRadio, false), IdDiscoveredCombo);
    EXPECT_EQ(NextTabStop(network, IdTelnetPortEdit, false), IdConnect);
    // Nothing focused yet: Tab takes the first, Shift+Tab the last usable control.
    EXPECT_EQ(NextTabStop(network, 0, false), IdFirmwareEdit);
    EXPECT_EQ(NextTabStop(network, 0, true), IdConnect);
    // Busy: the firmware field and Cancel are all that is left.
    EXPECT_EQ(TabCycle(Controls(true, true, true, true), IdCancel, false),
              (std::vector<int>{IdFirmwareEdit, IdCancel}));
    EXPECT_EQ(NextTabStop({}, 0, false), 0);
    EXPECT_EQ(NextTabStop({{IdBrowse, false, true}}, IdBrowse, false), 0);
}

TEST(FocusRules, ALostFocusGoesToCancelWhileBusyElseToTheNextUsableControl) {
    // Connect modem pressed from the keyboard: it is disabled by the start, Cancel takes the focus.
    EXPECT_EQ(FocusAfterLoss(Controls(true, false, true, false), IdConnect, true), IdCancel);
    // An update started from Start update: the same.
    EXPECT_EQ(FocusAfterLoss(Controls(true, true, true, true), IdStartUpdate, true), IdCancel);
    // A foreground discovery ends: Cancel is disabled, the next usable control after it (wrapping).
    EXPECT_EQ(FocusAfterLoss(Controls(false, false, false, false), IdCancel, false), IdFirmwareEdit);
    // A control of the group just hidden: the next one that is shown.
    EXPECT_EQ(FocusAfterLoss(Controls(false, false, false, false), IdAddressEdit, false), IdConnect);
    // Busy without a usable Cancel (it cannot be, but the rule must not pick a disabled one).
    auto noCancel = Controls(true, false, true, false);
    for (FocusCandidate& c : noCancel) {
        if (c.id == IdCancel) c.enabled = false;
    }
    EXPECT_EQ(FocusAfterLoss(noCancel, IdConnect, true), IdFirmwareEdit);
}

TEST(FocusRules, AfterAnOperationTheFocusGoesToTheNextLikelyStep) {
    const auto withFirmware = Controls(false, true, true, true);
    const auto withoutFirmware = Controls(false, true, true, false);
    const auto notConnected = Controls(false, false, true, true);
    EXPECT_EQ(FocusAfterOperation(withFirmware, OperationKind::Connection, true), IdStartUpdate);
    EXPECT_EQ(FocusAfterOperation(withoutFirmware, OperationKind::Connection, true), IdBrowse);
    EXPECT_EQ(FocusAfterOperation(notConnected, OperationKind::Connection, false), IdConnect);
    EXPECT_EQ(FocusAfterOperation(notConnected, OperationKind::Update, true), IdConnect);
    EXPECT_EQ(FocusAfterOperation(notConnected, OperationKind::Update, false), IdConnect);
    EXPECT_EQ(FocusAfterOperation(withFirmware, OperationKind::LogDownload, true), IdReadLog);
    EXPECT_EQ(FocusAfterOperation(notConnected, OperationKind::LogDownload, false), IdConnect);
}

TEST(SessionEnd, AnUpdateOrALogHoldsLogoffBackWithItsReasonAConnectionDoesNot) {
    EXPECT_EQ(SessionEndBlockReason(OperationKind::Update),
              L"Firmware update in progress: turning off now may leave the modem without working firmware");
    EXPECT_EQ(SessionEndBlockReason(OperationKind::LogDownload),
              L"Reading the modem log: turning off now loses the log");
    EXPECT_EQ(SessionEndBlockReason(OperationKind::Connection), L"");
}

}  // namespace
