// Pseudo-terminal pairs for the serial link tests on POSIX systems (Linux termios2 for arbitrary rates).
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "support/SerialPty.h"

// The kernel's termios2 (x86/ARM layout), which glibc's <termios.h> does not declare; it carries the
// exact rate. TCGETS2 spells the type `struct termios2`, so it has to have that global name.
struct termios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
constexpr tcflag_t kBother = 0010000;
constexpr int kInputSpeedShift = 16;

bool PseudoTerminalsAvailable() { return true; }

SerialPty::~SerialPty() {
    if (held_ >= 0) close(held_);
    CloseMaster();
}

bool SerialPty::Create(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    devicePath_ = name;
    return true;
}

bool SerialPty::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string SerialPty::Receive(size_t count, unsigned int timeoutMs) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[65536];
    while (out.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        struct pollfd p {master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - out.size()));
        if (n > 0) out.append(buffer, static_cast<size_t>(n));
        else if (n < 0 && errno != EINTR && errno != EAGAIN) break;
    }
    return out;
}

void SerialPty::CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

bool SerialPty::Settings(SerialLineSettings& s) {
    struct termios2 t {};
    if (ioctl(master_, TCGETS2, &t) != 0) return false;
    s.baud = t.c_ospeed;
    s.eightBits = (t.c_cflag & CSIZE) == CS8;
    s.parity = (t.c_cflag & PARENB) != 0;
    s.twoStopBits = (t.c_cflag & CSTOPB) != 0;
    s.hardwareFlow = (t.c_cflag & CRTSCTS) != 0;
    s.softwareFlow = (t.c_iflag & (IXON | IXOFF)) != 0;
    s.translation = (t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IUCLC)) != 0 || (t.c_oflag & OPOST) != 0;
    s.canonical = (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) != 0;
    s.receiverOn = (t.c_cflag & CREAD) != 0;
    s.ignoresModemLines = (t.c_cflag & CLOCAL) != 0;
    return true;
}

bool SerialPty::SetBaud(unsigned int baud) {
    struct termios2 t {};
    if (ioctl(master_, TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << kInputSpeedShift));
    t.c_cflag |= kBother | (kBother << kInputSpeedShift);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    return ioctl(master_, TCSETS2, &t) == 0;
}

bool SerialPty::HoldTerminal() {
    if (held_ < 0) held_ = open(devicePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return held_ >= 0;
}

bool SerialPty::IsExclusive(bool& exclusive) {
    int value = 0;
    if (held_ < 0 || ioctl(held_, TIOCGEXCL, &value) != 0) return false;
    exclusive = value != 0;
    return true;
}
