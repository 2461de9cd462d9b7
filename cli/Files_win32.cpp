// Small file services of brisklode-cli on Windows: wide paths.
#include <windows.h>

#include "cli/Files.h"
#include "transport/Transport.h"

bool ReadTextFile(const std::string& path, std::string& text, std::string& error) {
    HANDLE file = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "Cannot read " + path + ": " + WindowsError(GetLastError());
        return false;
    }
    text.clear();
    char buffer[4096];
    DWORD count = 0;
    bool ok = true;
    for (;;) {
        if (!ReadFile(file, buffer, sizeof buffer, &count, nullptr)) {
            error = "Cannot read " + path + ": " + WindowsError(GetLastError());
            ok = false;
            break;
        }
        if (count == 0) break;
        text.append(buffer, count);
        if (text.size() > (1u << 20)) {
            error = "Cannot read " + path + ": larger than 1 MiB";
            ok = false;
            break;
        }
    }
    CloseHandle(file);
    return ok;
}

bool EnsureFolder(const std::string& path, std::string& error) {
    const std::wstring wide = Utf8ToWide(path);
    if (CreateDirectoryW(wide.c_str(), nullptr)) return true;
    const DWORD code = GetLastError();
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
    error = "Cannot create the folder " + path + ": " + WindowsError(code);
    return false;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) return folder + name;
    return folder + "\\" + name;
}

bool EnableTerminalEscapes() {
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) return false;
    return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}
