// Simulator test support under Wine: CreateProcessW of the native simulator's unix path, files through Z:\.
#include "support/Simulator.h"
#include "support/Simulator_common.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <filesystem>

namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Windows command-line quoting (backslashes before quotes doubled), so the simulator gets argv back intact.
std::wstring Quote(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return Widen(argument);
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') quoted.append(backslashes * 2 + 1, L'\\');
        else quoted.append(backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void StartWinsock() {
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

}  // namespace

SimulatorProcess::~SimulatorProcess() {
    Stop();
    if (!folder_.empty() && GetEnvironmentVariableW(L"BRISKLODE_KEEP_SIM", nullptr, 0) == 0) {
        std::error_code ignored;
        std::filesystem::remove_all(Widen(folder_), ignored);
    }
}

std::string SimulatorProcess::LocalPath(const std::string& name) const { return folder_ + "\\" + name; }
std::string SimulatorProcess::NativePath(const std::string& name) const { return nativeFolder_ + "/" + name; }

bool SimulatorProcess::CreateFolder(std::string& error) {
    if (!folder_.empty()) {
        DeleteFileW(Widen(LocalPath("ready")).c_str());
        DeleteFileW(Widen(LocalPath("stop")).c_str());
        return true;
    }
    static std::atomic<unsigned> counter{0};
    std::string name = "brisklode-sim-w" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(counter++) + "-" + std::to_string(GetTickCount64());
    nativeFolder_ = "/tmp/" + name;
    folder_ = "Z:\\tmp\\" + name;
    if (!CreateDirectoryW(Widen(folder_).c_str(), nullptr)) {
        error = "cannot create " + folder_ + " (error " + std::to_string(GetLastError()) + ")";
        folder_.clear();
        return false;
    }
    return true;
}

bool SimulatorProcess::Launch(const std::vector<std::string>& argv, std::string& error) {
    std::wstring commandLine;
    for (const std::string& argument : argv) {
        if (!commandLine.empty()) commandLine.push_back(L' ');
        commandLine += Quote(argument);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        error = "cannot start " + argv[0] + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    CloseHandle(info.hThread);
    process_ = reinterpret_cast<long long>(info.hProcess);
    return true;
}

bool SimulatorProcess::Exited() {
    if (!running_) return true;
    // Under Wine the handle of a unix process may not follow its life; the simulator removes its
    // ready file when it exits, which is the signal relied on here.
    return false;
}

void SimulatorProcess::Stop() {
    if (!running_) return;
    HANDLE process = reinterpret_cast<HANDLE>(process_);
    HANDLE stop = CreateFileW(Widen(LocalPath("stop")).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stop != INVALID_HANDLE_VALUE) CloseHandle(stop);
    for (int i = 0; i < 300 && FileExists(LocalPath("ready")); ++i) SleepMs(10);  // it polls every 100 ms
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 2000);
    CloseHandle(process);
    running_ = false;
}

RawSocket::RawSocket() : socket_(static_cast<long long>(INVALID_SOCKET)) { StartWinsock(); }
RawSocket::~RawSocket() { Close(); }

void RawSocket::Close() {
    if (static_cast<SOCKET>(socket_) != INVALID_SOCKET) closesocket(static_cast<SOCKET>(socket_));
    socket_ = static_cast<long long>(INVALID_SOCKET);
}

namespace {
sockaddr_in Loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}
}  // namespace

bool RawSocket::ConnectTcp(unsigned short port, std::string& error) {
    Close();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = Loopback(port);
    if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = "connect failed: Winsock error " + std::to_string(WSAGetLastError());
        if (s != INVALID_SOCKET) closesocket(s);
        return false;
    }
    socket_ = static_cast<long long>(s);
    return true;
}

bool RawSocket::OpenUdp(std::string& error) {
    Close();
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address = Loopback(0);
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = "UDP socket failed: Winsock error " + std::to_string(WSAGetLastError());
        if (s != INVALID_SOCKET) closesocket(s);
        return false;
    }
    socket_ = static_cast<long long>(s);
    return true;
}

bool RawSocket::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        int chunk = static_cast<int>(std::min<size_t>(bytes.size() - done, 65536));
        int n = send(static_cast<SOCKET>(socket_), bytes.data() + done, chunk, 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool RawSocket::SendTo(unsigned short port, const std::string& bytes) {
    sockaddr_in address = Loopback(port);
    return sendto(static_cast<SOCKET>(socket_), bytes.data(), static_cast<int>(bytes.size()), 0,
                  reinterpret_cast<sockaddr*>(&address), sizeof address) == static_cast<int>(bytes.size());
}

int RawSocket::Receive(std::string& out, int timeoutMs) {
    SOCKET s = static_cast<SOCKET>(socket_);
    if (s == INVALID_SOCKET) return -1;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int ready = select(0, &readable, nullptr, nullptr, &timeout);
    if (ready == 0) return 0;
    if (ready < 0) return -1;
    char buffer[65536];
    int n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) return -1;
    out.append(buffer, static_cast<size_t>(n));
    return n;
}
