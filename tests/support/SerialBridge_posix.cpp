// Starts and stops scripts/ser2net-bridge with fork/exec, reading its port from a pipe.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "support/SerialBridge.h"

Ser2netBridge::~Ser2netBridge() { Stop(); }

bool Ser2netBridge::Available(std::string& reason) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (!folder.empty() && access((folder + "/ser2net").c_str(), X_OK) == 0) return true;
    }
    reason = "ser2net is not installed";
    return false;
}

bool Ser2netBridge::Start(const std::string& script, const std::string& device, std::string& error) {
    Stop();
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        execl("/bin/bash", "bash", script.c_str(), device.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    process_ = pid;
    output_ = pipeFds[0];

    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        struct pollfd p {output_, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buffer[256];
        const ssize_t n = read(output_, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    std::istringstream line(text);
    std::string kind, address;
    unsigned port = 0;
    if (!(line >> kind >> address >> port) || kind != "telnet" || address != "127.0.0.1" || port == 0 || port > 65535) {
        error = "ser2net-bridge did not report a port (see its stderr): '" + text + "'";
        Stop();
        return false;
    }
    port_ = static_cast<unsigned short>(port);
    return true;
}

void Ser2netBridge::Stop() {
    if (process_ > 0) {
        const pid_t pid = static_cast<pid_t>(process_);
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        process_ = 0;
    }
    if (output_ >= 0) close(output_);
    output_ = -1;
    port_ = 0;
}
