// The system services of a rollout on Windows: files, folders, the host, the time, addresses and ports (wide paths).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
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

std::vector<std::string> NumericAddresses(const std::string& host) {
    ADDRINFOW hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* found = nullptr;
    if (GetAddrInfoW(Utf8ToWide(host).c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return {host};
    std::vector<std::string> addresses;
    for (const ADDRINFOW* at = found; at != nullptr; at = at->ai_next) {
        wchar_t text[NI_MAXHOST] = {};
        if (GetNameInfoW(at->ai_addr, static_cast<socklen_t>(at->ai_addrlen), text, NI_MAXHOST, nullptr, 0,
                         NI_NUMERICHOST) != 0) {
            continue;
        }
        std::string address = WideToUtf8(text);
        if (address.rfind("::ffff:", 0) == 0 && address.find('.') != std::string::npos) address.erase(0, 7);
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) addresses.push_back(address);
    }
    FreeAddrInfoW(found);
    if (addresses.empty()) addresses.push_back(host);
    return addresses;
}

std::string RealSerialPath(const std::string& port) {
    std::string name = port;
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return name;
}
