// Names Windows keeps for its devices: a file of that name (with any extension, in any folder) is the device.
#include <cwctype>

#include "transport/File.h"

bool IsWindowsDeviceName(const std::wstring& path) {
    // "COM1:" and "NUL:" name the device as the plain names do: closing colons go before the last part is taken.
    std::wstring name = path;
    while (!name.empty() && (name.back() == L':' || name.back() == L' ')) name.pop_back();
    const std::size_t slash = name.find_last_of(L"\\/:");
    std::wstring stem = slash == std::wstring::npos ? name : name.substr(slash + 1);
    // "COM1.log", "nul.txt.bak" and "CON  " name the device as much as "COM1" does.
    stem = stem.substr(0, stem.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& c : stem) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" || stem == L"CONIN$" ||
        stem == L"CONOUT$") {
        return true;
    }
    if (stem.size() != 4 || (stem.compare(0, 3, L"COM") != 0 && stem.compare(0, 3, L"LPT") != 0)) return false;
    const wchar_t digit = stem[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}
