// The list of network modems heard by discovery: merging passes, aging out silent modems, and
// everything the window shows about them (items, caption, log lines, status line).
#include "app/Registry.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "discovery/SerialNumber.h"

namespace {

// At the sixth background pass in a row without an answer (about 30 s) a modem is dropped.
constexpr std::uint32_t kMaxMissedPasses = 5;

std::string CallOr(const DiscoveredModem& modem, const char* fallback) {
    return modem.callSign.empty() ? std::string(fallback) : modem.callSign;
}

std::wstring ModemLogLine(const char* prefix, const DiscoveredModem& modem) {
    return Utf8ToWide(prefix + CallOr(modem, "<no call>") + " at " + ModemKey(modem) + ", S/N " +
                      SerialNumberText(modem.serialNumber));
}

std::wstring RemovedLogLine(const DiscoveredModem& modem) {
    return Utf8ToWide("Network modem removed after 30 seconds: " + CallOr(modem, "<no call>") + " at " +
                      ModemKey(modem));
}

bool SameContent(const DiscoveredModem& a, const DiscoveredModem& b) {
    return a.serialNumber == b.serialNumber && a.statusByte == b.statusByte && a.callSign == b.callSign;
}

}  // namespace

std::string ModemKey(const DiscoveredModem& modem) {
    return modem.address + ":" + std::to_string(modem.port);
}

std::wstring ModemItemText(const DiscoveredModem& modem) {
    return Utf8ToWide(ModemKey(modem) + "  " + modem.callSign + "  S/N " + SerialNumberText(modem.serialNumber));
}

std::wstring SelectedModemStatus(const DiscoveredModem& modem) {
    return Utf8ToWide("Selected " + CallOr(modem, "network modem") + " at " + ModemKey(modem) +
                      " - press Connect modem");
}

std::wstring NetworkCaption(std::size_t count) {
    if (count == 0) return L"Network / Telnet";
    return L"Network / Telnet (" + std::to_wstring(count) + L" found)";
}

DiscoveryView MergeDiscovery(std::vector<DiscoveredModem>& networkModems,
                             std::map<std::string, std::uint32_t>& missedPasses,
                             const DiscoveryMessage& message, const std::string& rememberedKey,
                             bool connected, bool networkChosen) {
    DiscoveryView view;
    std::set<std::string> answered;
    std::vector<DiscoveredModem> added;
    std::vector<DiscoveredModem> removed;
    bool changed = false;

    for (const DiscoveredModem& modem : message.modems) {
        const std::string key = ModemKey(modem);
        answered.insert(key);
        missedPasses[key] = 0;
        auto known = std::find_if(networkModems.begin(), networkModems.end(),
                                  [&](const DiscoveredModem& m) { return ModemKey(m) == key; });
        if (known == networkModems.end()) {
            networkModems.push_back(modem);
            added.push_back(modem);
            changed = true;
        } else if (!SameContent(*known, modem)) {
            *known = modem;
            changed = true;
        }
    }

    if (message.background) {
        if (networkModems.empty()) return view;
        for (size_t i = 0; i < networkModems.size();) {
            const std::string key = ModemKey(networkModems[i]);
            if (answered.count(key) != 0) {
                ++i;
                continue;
            }
            std::uint32_t& missed = missedPasses[key];
            ++missed;
            if (missed > kMaxMissedPasses) {
                removed.push_back(networkModems[i]);
                missedPasses.erase(key);
                networkModems.erase(networkModems.begin() + static_cast<std::ptrdiff_t>(i));
                changed = true;
            } else {
                ++i;
            }
        }
        // A quiet background pass must not disturb what the user is doing in the window.
        if (!changed) return view;
    }

    if (changed) {
        // std::string compares as unsigned bytes: "10.0.0.10:3000" sorts before "10.0.0.9:3000".
        std::sort(networkModems.begin(), networkModems.end(),
                  [](const DiscoveredModem& a, const DiscoveredModem& b) { return ModemKey(a) < ModemKey(b); });
    }

    view.refresh = true;
    view.caption = NetworkCaption(networkModems.size());
    if (networkModems.empty()) {
        if (!connected) {
            view.setStatus = true;
            view.status = message.error.empty() ? std::wstring(L"No modem found") : message.error;
        }
        for (const DiscoveredModem& modem : removed) view.logLines.push_back(RemovedLogLine(modem));
        return view;
    }

    view.selection = 0;
    for (size_t i = 0; i < networkModems.size(); ++i) {
        view.items.push_back(ModemItemText(networkModems[i]));
        if (!rememberedKey.empty() && ModemKey(networkModems[i]) == rememberedKey) {
            view.selection = static_cast<int>(i);
        }
    }
    const DiscoveredModem& selected = networkModems[static_cast<size_t>(view.selection)];

    if (message.background) {
        for (const DiscoveredModem& modem : added) view.logLines.push_back(ModemLogLine("Network modem added: ", modem));
    } else {
        for (const DiscoveredModem& modem : networkModems) view.logLines.push_back(ModemLogLine("Network modem: ", modem));
    }
    for (const DiscoveredModem& modem : removed) view.logLines.push_back(RemovedLogLine(modem));

    if (!connected) {
        view.fillAddress = true;
        view.address = Utf8ToWide(selected.address);
        view.port = std::to_wstring(selected.port);
        view.setStatus = true;
        if (networkChosen) {
            view.status = SelectedModemStatus(selected);
        } else if (message.background) {
            view.status = added.empty() ? std::wstring(kComSelectedStatus) : std::wstring(L"New network modem found");
        } else {
            view.status = std::to_wstring(networkModems.size()) +
                          L" network modem(s) available - choose Network / Telnet to use them";
        }
    }
    return view;
}
