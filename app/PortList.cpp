// The order and display texts of the COM port list: the maker's own ports first, two display fixes.
#include "app/PortList.h"

#include <algorithm>

namespace {

const std::wstring kMaker = L"Velmor";

// Letter case is folded for ASCII only: the maker's name is ASCII, and a locale-dependent
// fold could make the port order differ from one machine to the next.
wchar_t FoldAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool SameIgnoringCase(const std::wstring& text, size_t at, const std::wstring& word) {
    if (at > text.size() || text.size() - at < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
        if (FoldAscii(text[at + i]) != FoldAscii(word[i])) return false;
    }
    return true;
}

bool ContainsIgnoringCase(const std::wstring& text, const std::wstring& word) {
    if (word.size() > text.size()) return false;
    for (size_t at = 0; at + word.size() <= text.size(); ++at) {
        if (SameIgnoringCase(text, at, word)) return true;
    }
    return false;
}

}  // namespace

void OrderSerialPorts(std::vector<SerialPortInfo>& ports) {
    std::stable_partition(ports.begin(), ports.end(), [](const SerialPortInfo& port) {
        return ContainsIgnoringCase(port.displayName, kMaker);
    });
}

std::wstring PortDisplayText(const std::wstring& displayName) {
    std::wstring text = displayName;
    // Some drivers register the maker's ports with a stray "=" in front of the friendly name.
    if (!text.empty() && text[0] == L'=' && SameIgnoringCase(text, 1, kMaker)) text.erase(0, 1);
    // A misspelling shipped in an older driver's port name.
    const std::wstring wrong = L"Torivanix";
    size_t at = text.find(wrong);
    if (at != std::wstring::npos) text.replace(at, wrong.size(), L"Torvanix");
    return text;
}

int PortSelectionIndex(const std::vector<SerialPortInfo>& ports, const std::wstring& remembered) {
    if (ports.empty()) return -1;
    for (size_t i = 0; i < ports.size(); ++i) {
        if (ports[i].portName == remembered) return static_cast<int>(i);
    }
    return 0;
}
