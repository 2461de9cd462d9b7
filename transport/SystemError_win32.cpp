// System error codes and texts on Windows: the system's own numbering and message table.
#include <windows.h>
#include <winsock2.h>

#include "transport/SystemError.h"
#include "transport/Transport.h"

unsigned long LastSystemError() { return GetLastError(); }

unsigned long LastSocketError() { return static_cast<unsigned long>(WSAGetLastError()); }

unsigned long TranslateErrno(int errnoValue, bool) { return kErrnoBase + static_cast<unsigned long>(errnoValue); }

std::string WindowsError(unsigned long code) {
    wchar_t* buffer = nullptr;
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
    const DWORD length = FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length != 0 && buffer != nullptr) text.assign(buffer, length);
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    if (text.empty()) return "Windows error " + std::to_string(static_cast<unsigned int>(code));
    return WideToUtf8(text);
}

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring result(static_cast<size_t>(needed > 0 ? needed : 0), L'\0');
    if (needed > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &result[0], needed);
    return result;
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &result[0], needed, nullptr, nullptr);
    return result;
}
