// Simulator test support on Linux: fork/exec, a temporary folder under /tmp, SIGTERM then SIGKILL.
#include "support/Simulator.h"
#include "support/Simulator_common.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

SimulatorProcess::~SimulatorProcess() {
    Stop();
    if (!folder_.empty() && std::getenv("BRISKLODE_KEEP_SIM") == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::string SimulatorProcess::LocalPath(const std::string& name) const { return folder_ + "/" + name; }
std::string SimulatorProcess::NativePath(const std::string& name) const { return nativeFolder_ + "/" + name; }

bool SimulatorProcess::CreateFolder(std::string& error) {
    if (!folder_.empty()) {
        ::unlink(LocalPath("ready").c_str());
        ::unlink(LocalPath("stop").c_str());
        return true;
    }
    char pattern[] = "/tmp/brisklode-sim-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error = std::string("cannot create a folder for the simulator: ") + std::strerror(errno);
        return false;
    }
    folder_ = pattern;
    nativeFolder_ = folder_;
    return true;
}

bool SimulatorProcess::Launch(const std::vector<std::string>& argv, std::string& error) {
    std::vector<char*> pointers;
    for (const std::string& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    std::string out = LocalPath("stdout");
    pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork failed: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    process_ = pid;
    return true;
}

bool SimulatorProcess::Exited() {
    if (!running_) return true;
    int status = 0;
    if (waitpid(static_cast<pid_t>(process_), &status, WNOHANG) == static_cast<pid_t>(process_)) {
        running_ = false;
        return true;
    }
    return false;
}

void SimulatorProcess::Stop() {
    if (!running_) return;
    pid_t pid = static_cast<pid_t>(process_);
    kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {  // up to 3 s for an orderly exit (it flushes its log)
        if (Exited()) return;
        SleepMs(10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    running_ = false;
}

RawSocket::RawSocket() : socket_(-1) {}
RawSocket::~RawSocket() { Close(); }

void RawSocket::Close() {
    if (socket_ >= 0) ::close(static_cast<int>(socket_));
    socket_ = -1;
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
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = std::string("connect failed: ") + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    socket_ = fd;
    return true;
}

bool RawSocket::OpenUdp(std::string& error) {
    Close();
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = std::string("UDP socket failed: ") + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    socket_ = fd;
    return true;
}

bool RawSocket::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(static_cast<int>(socket_), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool RawSocket::SendTo(unsigned short port, const std::string& bytes) {
    sockaddr_in address = Loopback(port);
    return ::sendto(static_cast<int>(socket_), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address),
                    sizeof address) == static_cast<ssize_t>(bytes.size());
}

int RawSocket::Receive(std::string& out, int timeoutMs) {
    if (socket_ < 0) return -1;
    pollfd entry = {static_cast<int>(socket_), POLLIN, 0};
    int ready = ::poll(&entry, 1, timeoutMs);
    if (ready == 0) return 0;
    if (ready < 0) return -1;
    char buffer[65536];
    ssize_t n = ::recv(static_cast<int>(socket_), buffer, sizeof buffer, 0);
    if (n <= 0) return -1;
    out.append(buffer, static_cast<size_t>(n));
    return static_cast<int>(n);
}
