// The system services of a rollout on Windows: files, folders, the host, the time and ports (wide paths).
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <ctime>

#include "rollout/System.h"
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

bool IsFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool EnsureFolder(const std::string& path, std::string& error) {
    const std::wstring wide = Utf8ToWide(path);
    if (CreateDirectoryW(wide.c_str(), nullptr)) return true;
    const DWORD code = GetLastError();
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
        error = path + " is a file, not a folder: the logs of several modems go into a folder";
        return false;
    }
    error = "Cannot create the folder " + path + ": " + WindowsError(code);
    return false;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) return folder + name;
    return folder + "\\" + name;
}

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &size) || size == 0) return "unknown";
    return WideToUtf8(std::wstring(name, size));
}

std::string UtcNow() {
    SYSTEMTIME utc {};
    GetSystemTime(&utc);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
                  utc.wMinute, utc.wSecond);
    return text;
}

bool PathExists(const std::string& path) {
    return GetFileAttributesW(Utf8ToWide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void UseBinaryStandardInput() {
    _setmode(_fileno(stdin), _O_BINARY);
}

std::string RealSerialPath(const std::string& port) {
    std::string name = port;
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return name;
}
