// Console services of the command-line front end on Windows: wide arguments, Winsock, terminal queries, prompt input.
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <iostream>

#include "cli/Terminal.h"
#include "transport/Transport.h"

std::vector<std::string> Utf8Arguments(int, char**) {
    std::vector<std::string> result;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return result;
    for (int i = 1; i < count; ++i) result.push_back(WideToUtf8(wide[i]));
    LocalFree(wide);
    return result;
}

bool StartNetworking() {
    SetConsoleOutputCP(CP_UTF8);
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopNetworking() { WSACleanup(); }

bool StdinIsTerminal() { return _isatty(_fileno(stdin)) != 0; }

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        const int width = info.srWindow.Right - info.srWindow.Left + 1;
        if (width > 20) return width;
    }
    return 80;
}

bool ReadInputLine(std::string& line) {
    if (!std::getline(std::cin, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

bool EnableTerminalEscapes() {
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) return false;
    return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool IsStandardOutput(const std::string& path) {
    const std::wstring wide = Utf8ToWide(path);
    if (_wcsicmp(wide.c_str(), L"CON") == 0 || _wcsicmp(wide.c_str(), L"CONOUT$") == 0) return true;
    const HANDLE named = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION a {}, b {};
    const bool same = GetFileInformationByHandle(named, &a) &&
                      GetFileInformationByHandle(GetStdHandle(STD_OUTPUT_HANDLE), &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                      a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(named);
    return same;
}
