// The serial link on POSIX systems: an exclusive raw 8N1 terminal device with poll-based timed reads.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <string>

#include "transport/LinkCancel.h"
#include "transport/SendLimit.h"
#include "transport/SerialDriver.h"
#include "transport/SerialPacing.h"
#include "transport/SystemError.h"
#include "transport/Transport.h"

#if defined(__linux__) && defined(TCGETS2) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__))
// glibc's <termios.h> hides the kernel's termios2, the only way to ask for a rate without a Bxxx constant;
// the kernel header cannot be included beside it, so its layout (and the generic BOTHER/IBSHIFT of these
// architectures) is repeated here. TCGETS2 names the type as `struct termios2`, hence the global name.
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
#define BRISKLODE_HAVE_TERMIOS2 1
constexpr tcflag_t kBother = 0010000;
constexpr int kInputSpeedShift = 16;
#endif

namespace {

// Each system read or write moves at most this much, as on Windows.
constexpr size_t kMaxChunk = 65536;
// How long Close waits for bytes still queued for the wire (an ESC after a cancel) before it drops them:
// closing a terminal with output queued would otherwise wait for the driver's own, much longer bound.
constexpr unsigned int kCloseDrainMs = 200;


// The Bxxx constant for a rate, or B0 when the platform has none for it.
speed_t SpeedConstant(unsigned int baud) {
    switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
#ifdef B57600
    case 57600: return B57600;
#endif
#ifdef B115200
    case 115200: return B115200;
#endif
#ifdef B230400
    case 230400: return B230400;
#endif
#ifdef B460800
    case 460800: return B460800;
#endif
#ifdef B500000
    case 500000: return B500000;
#endif
#ifdef B576000
    case 576000: return B576000;
#endif
#ifdef B921600
    case 921600: return B921600;
#endif
#ifdef B1000000
    case 1000000: return B1000000;
#endif
#ifdef B1152000
    case 1152000: return B1152000;
#endif
#ifdef B1500000
    case 1500000: return B1500000;
#endif
#ifdef B2000000
    case 2000000: return B2000000;
#endif
#ifdef B2500000
    case 2500000: return B2500000;
#endif
#ifdef B3000000
    case 3000000: return B3000000;
#endif
#ifdef B3500000
    case 3500000: return B3500000;
#endif
#ifdef B4000000
    case 4000000: return B4000000;
#endif
    default: return B0;
    }
}

// Sets a rate that has no Bxxx constant. False with errno set when the driver refuses it.
bool SetCustomSpeed(int fd, unsigned int baud) {
#ifdef BRISKLODE_HAVE_TERMIOS2
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0) return false;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << kInputSpeedShift));
    settings.c_cflag |= kBother | (kBother << kInputSpeedShift);
    settings.c_ispeed = baud;
    settings.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &settings) == 0;
#else
    (void)fd;
    (void)baud;
    errno = EINVAL;
    return false;
#endif
}

class SystemDriver final : public SerialDriver {
public:
    long Write(SerialPortHandle port, const unsigned char* data, std::size_t length) override {
        return static_cast<long>(write(static_cast<int>(port), data, length));
    }
    std::size_t Queued(SerialPortHandle port) override {
        int queued = 0;
        return ioctl(static_cast<int>(port), TIOCOUTQ, &queued) == 0 && queued > 0 ? static_cast<size_t>(queued) : 0;
    }
};

class SerialTransport final : public ITransport {
public:
    SerialTransport(SerialDriver& driver, const std::wstring& portName, unsigned int baudRate,
                    unsigned int sendStallLimitMs, const std::atomic<bool>* cancel)
        : driver_(driver), portName_(portName), baudRate_(baudRate), sendStallLimitMs_(sendStallLimitMs),
          cancel_(cancel) {}
    ~SerialTransport() override { Close(); }

    LinkFailure LastFailure() const override { return lastFailure_; }
    // Opening a port never waits for a peer.
    void SetConnectTimeout(unsigned int) override {}
    long long QueuedToSend() const override { return fd_ < 0 ? -1 : static_cast<long long>(Queued(fd_)); }

    bool Open(std::string& error) override {
        Close();
        lastFailure_ = LinkFailure::System;
        const std::string name = WideToUtf8(portName_);
        if (IsCancelled(cancel_)) return Fail(LinkFailure::Cancelled, error, kLinkCancelledText);
        const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            error = "Cannot open " + name + ": " + WindowsError(LastSystemError());
            return false;
        }
        // TIOCEXCL alone does not stop a privileged second opener, so every opener of ours also takes
        // the advisory lock; a port held elsewhere is a busy port, as an exclusive open would report it.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            const unsigned long code = TranslateErrno(e == EWOULDBLOCK ? EBUSY : e, false);
            close(fd);
            error = "Cannot open " + name + ": " + WindowsError(code);
            return false;
        }
        struct termios settings {};
        if (tcgetattr(fd, &settings) != 0) {
            const unsigned long code = LastSystemError();
            close(fd);
            error = "Cannot read " + name + " settings: " + WindowsError(code);
            return false;
        }
        if (!Configure(fd, settings)) {
            const unsigned long code = LastSystemError();
            close(fd);
            error = "Cannot configure " + name + " for binary communication: " + WindowsError(code);
            return false;
        }
        // Exclusive only once we know it is a terminal; a failure here leaves the flock as the guard.
        ioctl(fd, TIOCEXCL);
        // Pseudo-terminals have no modem lines (ENOTTY/EINVAL); a real port gets DTR and RTS on.
        int lines = TIOCM_DTR | TIOCM_RTS;
        ioctl(fd, TIOCMBIS, &lines);
        tcflush(fd, TCIOFLUSH);
        piece_ = SerialWritePiece(OutputRate(fd), kMaxChunk);
        fd_ = fd;
        lastFailure_ = LinkFailure::None;
        return true;
    }

    void Close() override {
        if (fd_ < 0) return;
        // Output still queued gets a short while to leave, then is dropped: Close never waits long.
        const auto drainEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseDrainMs);
        while (Queued(fd_) > 0 && std::chrono::steady_clock::now() < drainEnd) poll(nullptr, 0, 10);
        if (Queued(fd_) > 0) tcflush(fd_, TCOFLUSH);
        // The exclusive flag belongs to the terminal, not to our descriptor: a pseudo-terminal whose
        // other side stays open would keep refusing unprivileged openers after we are gone.
        ioctl(fd_, TIOCNXCL);
        close(fd_);  // releases the flock as well
        fd_ = -1;
    }

    bool Write(const unsigned char* data, size_t length, std::string& error) override {
        lastFailure_ = LinkFailure::None;
        if (fd_ < 0) return Fail(LinkFailure::Closed, error, "COM port is not connected");
        // Pieces of about a tenth of a second on the wire, each handed over only once the driver has less
        // than a piece queued: a cancel then never finds more than that ahead of an ESC, and a stalled port
        // is noticed by the stall limit, which runs from the last byte taken.
        using Clock = std::chrono::steady_clock;
        const Clock::duration limit = std::chrono::milliseconds(sendStallLimitMs_);
        Clock::time_point lastProgress = Clock::now();
        size_t done = 0;
        while (done < length) {
            const size_t chunk = std::min(length - done, piece_);
            ssize_t n = -1;
            errno = EAGAIN;
            if (Queued(fd_) < piece_) n = driver_.Write(fd_, data + done, chunk);
            if (n > 0) {
                done += static_cast<size_t>(n);
                lastProgress = Clock::now();
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(lastProgress + limit - Clock::now()).count();
                if (left <= 0) {
                    return Fail(LinkFailure::TimedOut, error,
                                "COM write failed: the port took no data for " + SendStallText(sendStallLimitMs_));
                }
                if (IsCancelled(cancel_)) return Fail(LinkFailure::Cancelled, error, kLinkCancelledText);
                // A full queue polls writable all the same, so its wait is a plain pause of one slice.
                const unsigned int wait = CancelSlice(static_cast<unsigned int>(std::min<long long>(left, INT_MAX)), cancel_);
                struct pollfd p {Queued(fd_) < piece_ ? fd_ : -1, POLLOUT, 0};
                const int r = poll(&p, 1, static_cast<int>(p.fd < 0 ? std::min(wait, kCancelSliceMs) : wait));
                if (r < 0 && errno != EINTR) {
                    return Fail(LinkFailure::System, error, "COM write failed: " + WindowsError(LastSystemError()));
                }
                continue;
            }
            // A write that accepted nothing without an error code has no system text of its own.
            const unsigned long code = (n < 0) ? LastSystemError() : 1117ul;  // ERROR_IO_DEVICE
            return Fail(LinkFailure::System, error, "COM write failed: " + WindowsError(code));
        }
        return true;
    }

    int Read(unsigned char* buffer, size_t capacity, unsigned int timeoutMs, std::string& error) override {
        lastFailure_ = LinkFailure::None;
        if (fd_ < 0) return Fail(LinkFailure::Closed, error, "COM port is not connected"), -1;
        const size_t want = std::min(capacity, kMaxChunk);
        if (want == 0) return 0;
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        bool hungUp = false;
        for (;;) {
            const ssize_t n = read(fd_, buffer, want);
            if (n > 0) return static_cast<int>(n);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                return Fail(LinkFailure::System, error, "COM read failed: " + WindowsError(LastSystemError())), -1;
            }
            if (hungUp) {
                // The device went away without an error code; polling again would only spin.
                return Fail(LinkFailure::Closed, error, "COM read failed: " + WindowsError(1117ul)), -1;  // ERROR_IO_DEVICE
            }
            // Once cancelled, only what has already arrived is handed out.
            const bool cancelled = IsCancelled(cancel_);
            // Polled even when no time is left, so that a 0 ms read still notices a hang-up.
            const auto left = cancelled ? 0 : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            struct pollfd p {fd_, POLLIN, 0};
            const unsigned int wait = static_cast<unsigned int>(std::max<long long>(0, std::min<long long>(left, INT_MAX)));
            const int r = poll(&p, 1, static_cast<int>(CancelSlice(wait, cancel_)));
            if (r < 0 && errno != EINTR) {
                return Fail(LinkFailure::System, error, "COM read failed: " + WindowsError(LastSystemError())), -1;
            }
            if (r == 0 && cancelled) return Fail(LinkFailure::Cancelled, error, kLinkCancelledText), -1;
            if (r == 0 && left <= 0) return 0;
            // A hung-up terminal polls readable and reads 0 bytes for ever; only data may follow the flag.
            hungUp = r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            // Readable, hung up or timed out: the next read tells which, and the deadline ends the loop.
        }
    }

    std::string Description() const override { return WideToUtf8(portName_); }

private:
    bool Fail(LinkFailure kind, std::string& error, std::string text) {
        lastFailure_ = kind;
        error = std::move(text);
        return false;
    }

    size_t Queued(int fd) const { return driver_.Queued(fd); }

    // The output rate in effect, in baud; 0 when it cannot be told.
    unsigned int OutputRate(int fd) const {
#ifdef BRISKLODE_HAVE_TERMIOS2
        struct termios2 current {};
        if (ioctl(fd, TCGETS2, &current) == 0) return current.c_ospeed;
#endif
        if (baudRate_ != 0) return baudRate_;
        struct termios settings {};
        if (tcgetattr(fd, &settings) != 0) return 0;
        const speed_t speed = cfgetospeed(&settings);
        for (unsigned int rate : {1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u, 230400u, 460800u, 921600u}) {
            if (SpeedConstant(rate) == speed) return rate;
        }
        return 0;
    }

    bool Configure(int fd, struct termios settings) {
        cfmakeraw(&settings);
        settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
        settings.c_cflag |= CS8 | CLOCAL | CREAD;
#ifdef CRTSCTS
        settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
        settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        bool custom = false;
        if (baudRate_ != 0) {
            const speed_t speed = SpeedConstant(baudRate_);
            if (speed == B0) {
                custom = true;
            } else if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) {
                return false;
            }
        }
        if (tcsetattr(fd, TCSANOW, &settings) != 0) return false;
        if (custom && !SetCustomSpeed(fd, baudRate_)) return false;
        return true;
    }

    SerialDriver& driver_;
    std::wstring portName_;
    unsigned int baudRate_ = 0;
    unsigned int sendStallLimitMs_;
    const std::atomic<bool>* cancel_;
    LinkFailure lastFailure_ = LinkFailure::None;
    size_t piece_ = kMaxChunk;
    int fd_ = -1;
};

}  // namespace

SerialDriver& SystemSerialDriver() {
    static SystemDriver driver;
    return driver;
}

std::unique_ptr<ITransport> CreateSerialTransportOver(SerialDriver& driver, const std::wstring& portName,
                                                      unsigned int baudRate, unsigned int sendStallLimitMs,
                                                      const std::atomic<bool>* cancel) {
    return std::make_unique<SerialTransport>(driver, portName, baudRate, sendStallLimitMs, cancel);
}
