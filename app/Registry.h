// The list of network modems heard by discovery: merging passes, aging out silent modems, and
// everything the window shows about them (items, caption, log lines, status line).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/Records.h"
#include "discovery/Discovery.h"
#include "transport/Transport.h"

// address + ":" + port in decimal: one modem across passes.
std::string ModemKey(const DiscoveredModem& modem);

// "192.168.1.20:3000  KLM  S/N 00000000000004D2"
std::wstring ModemItemText(const DiscoveredModem& modem);
// "Selected KLM at 192.168.1.20:3000 - press Connect modem"
std::wstring SelectedModemStatus(const DiscoveredModem& modem);
// "Network / Telnet" or "Network / Telnet (N found)"
std::wstring NetworkCaption(std::size_t count);

constexpr const wchar_t* kComSelectedStatus = L"COM port selected - press Connect modem";

// What the window does after a pass: whether it refreshes the list at all, and with what.
struct DiscoveryView {
    bool refresh = false;              // false: the window is left untouched
    std::vector<std::wstring> items;   // the drop-down entries, item i is networkModems[i]
    int selection = -1;                // entry to select, -1 for none
    bool fillAddress = false;          // copy the selected modem into Address and Telnet port
    std::wstring address;
    std::wstring port;
    std::wstring caption;              // of the Network / Telnet button
    std::vector<std::wstring> logLines;
    bool setStatus = false;
    std::wstring status;
};

// Merges one pass into `networkModems` and `missedPasses`: new modems are added, changed ones
// updated in place, and a background pass counts a silent pass for every modem that did not
// answer, removing it at the sixth in a row. `rememberedKey` is the key of the entry selected
// before the pass (empty for none); `connected` and `networkChosen` decide whether the status
// line and the address fields may be rewritten.
DiscoveryView MergeDiscovery(std::vector<DiscoveredModem>& networkModems,
                             std::map<std::string, std::uint32_t>& missedPasses,
                             const DiscoveryMessage& message, const std::string& rememberedKey,
                             bool connected, bool networkChosen);
