// Text rules of the scrolling log box: one line per entry and the trimming that keeps it bounded.
#include "app/LogText.h"

std::wstring LogLine(const std::wstring& text) {
    std::wstring line = text;
    for (wchar_t& c : line) {
        if (c == L'\r' || c == L'\n') c = L' ';
    }
    line += L"\r\n";
    return line;
}

bool LogNeedsTrim(std::size_t current, std::size_t added) {
    // Sizes are compared unsigned and in full width, so a huge entry cannot wrap around the check.
    return current + added > kLogLimit;
}

std::size_t LogTrimLength(const std::wstring& text) {
    const std::size_t keep = kLogLimit / 2;
    const std::size_t start = text.size() > keep ? text.size() - keep : 0;
    const std::size_t lf = text.find(L'\n', start);
    return lf == std::wstring::npos ? start : lf + 1;
}
