// Pseudo-terminal carrier: raw pty master, client open/close detection through hang-up, line pacing.
#include "simulator/PtyCarrier.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr size_t kChunk = 64 * 1024;
}

PtyCarrier::PtyCarrier(const SimOptions& options, EventLog& log, ModemConsole& console)
    : options_(options), log_(log), console_(console), buffer_(kChunk) {}

PtyCarrier::~PtyCarrier() {
    // The link goes first, as a pulled USB adapter's device node goes before its line is seen dead.
    if (!options_.link.empty()) ::unlink(options_.link.c_str());
    if (master_ >= 0) ::close(master_);
}

bool PtyCarrier::Open(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    device_ = name;
    // Raw line discipline from the start, so nothing is echoed or translated even before the tool sets it.
    int slave = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0) {
        termios settings{};
        if (tcgetattr(slave, &settings) == 0) {
            cfmakeraw(&settings);
            tcsetattr(slave, TCSANOW, &settings);
        }
        ::close(slave);
    }
    if (!options_.link.empty()) {
        ::unlink(options_.link.c_str());
        if (::symlink(device_.c_str(), options_.link.c_str()) != 0) {
            error = "cannot create the link " + options_.link + ": " + std::strerror(errno);
            return false;
        }
    }
    log_.Event("serial console on " + device_ + (options_.link.empty() ? "" : " (link " + options_.link + ")") +
               (options_.baud ? ", paced at " + std::to_string(options_.baud) + " baud" : ""));
    return true;
}

// The rate the tool set on its side shows on the master too; logged when it changes, so that a test can see
// which rate a tool opened the port at.
void PtyCarrier::LogLineRate() {
    static const std::pair<speed_t, unsigned long> rates[] = {
        {B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200}, {B38400, 38400},
        {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    termios settings{};
    if (tcgetattr(master_, &settings) != 0) return;
    const speed_t speed = cfgetospeed(&settings);
    unsigned long rate = 0;
    for (const auto& [code, value] : rates) {
        if (code == speed) rate = value;
    }
    if (rate == 0 || rate == loggedRate_) return;
    loggedRate_ = rate;
    log_.Event("line rate " + std::to_string(rate) + " baud");
}

PtyCarrier::Clock::duration PtyCarrier::LineTime(size_t bytes) const {
    if (options_.baud == 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(bytes) * 10.0 / options_.baud));
}

PtyCarrier::Clock::time_point PtyCarrier::LineStart(Clock::time_point freeAt, Clock::time_point now) const {
    return freeAt < now - std::chrono::milliseconds(20) ? now : freeAt;
}

void PtyCarrier::SetAttached(bool attached, Clock::time_point now) {
    if (attached == attached_) return;
    attached_ = attached;
    tx_.clear();
    txDone_ = 0;
    arrivals_.clear();
    silentAfterHangup_ = false;
    if (attached) {
        log_.Event("the serial device was opened");
        console_.Connect(now);
    } else {
        log_.Event("the serial device was closed");
        // What a modem that stopped reading left in the buffer is not the next client's input.
        if (console_.ReadingStopped()) tcflush(master_, TCIFLUSH);
        console_.Disconnect(now);
    }
}

void PtyCarrier::Prepare(Clock::time_point now, std::vector<pollfd>& fds, Clock::time_point& wake) {
    polled_ = false;
    if (skipNextPoll_) {
        // Nobody has the device open: poll would report the hang-up at once, so look again shortly.
        skipNextPoll_ = false;
        wake = std::min(wake, now + std::chrono::milliseconds(20));
        return;
    }
    if (attached_) {
        Deliver(now);
        if (txDone_ == tx_.size()) Pump(now);
    }
    short events = 0;
    // Read on only while earlier bytes have (nearly) crossed the emulated line, so the writer is held back;
    // a modem that stopped reading leaves the tool's bytes in the terminal's buffer until that fills.
    if (!console_.ReadingStopped()) {
        if (options_.baud == 0 || rxFree_ <= now + std::chrono::milliseconds(20)) events |= POLLIN;
        else wake = std::min(wake, rxFree_ - std::chrono::milliseconds(20));
    }
    if (attached_ && txDone_ < tx_.size()) {
        if (options_.baud != 0 && txFree_ > now) wake = std::min(wake, txFree_);
        else events |= POLLOUT;
    }
    if (attached_) {
        if (!arrivals_.empty()) wake = std::min(wake, arrivals_.front().due);
        bool idle = txDone_ == tx_.size();
        wake = std::min(wake, console_.NextWake(now, idle && (options_.baud == 0 || txFree_ <= now)));
        if (idle && options_.baud != 0 && txFree_ > now) wake = std::min(wake, txFree_);
    }
    index_ = fds.size();
    fds.push_back({master_, events, 0});
    polled_ = true;
}

void PtyCarrier::Handle(Clock::time_point now, const std::vector<pollfd>& fds) {
    if (!polled_) return;
    short revents = fds[index_].revents;
    if (revents & POLLIN) ReadMaster(now);
    if ((revents & POLLHUP) && !(revents & POLLIN)) {
        SetAttached(false, now);
        skipNextPoll_ = true;
        return;
    }
    if (!(revents & POLLHUP)) SetAttached(true, now);
    if (!attached_) return;
    Deliver(now);
    Pump(now);
    console_.Tick(now, txDone_ == tx_.size());
}

void PtyCarrier::ReadMaster(Clock::time_point now) {
    size_t limit = buffer_.size();
    if (options_.baud != 0) limit = std::max<size_t>(16, std::min<size_t>(limit, options_.baud / 10 / 50));
    ssize_t n = ::read(master_, buffer_.data(), limit);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        SetAttached(false, now);  // EIO: the last holder of the device closed it
        skipNextPoll_ = true;
        return;
    }
    SetAttached(true, now);
    LogLineRate();
    if (options_.baud == 0) {
        console_.Receive(buffer_.data(), static_cast<size_t>(n), now);
        return;
    }
    // Bytes cannot come in before the tool wrote them: a line that went idle starts again now, so the
    // tool's own turnaround between a verdict and its next block is charged, as on a real line.
    rxFree_ = std::max(rxFree_, now) + LineTime(static_cast<size_t>(n));
    arrivals_.push_back({std::vector<unsigned char>(buffer_.begin(), buffer_.begin() + n), rxFree_});
}

void PtyCarrier::Deliver(Clock::time_point now) {
    while (!arrivals_.empty() && arrivals_.front().due <= now) {
        Arrival arrival = std::move(arrivals_.front());
        arrivals_.pop_front();
        console_.Receive(arrival.bytes.data(), arrival.bytes.size(), now);
    }
}

void PtyCarrier::Pump(Clock::time_point now) {
    for (;;) {
        if (txDone_ == tx_.size()) {
            tx_.clear();
            txDone_ = 0;
            if (silentAfterHangup_) return;
            size_t budget = kChunk;
            if (options_.baud != 0) {
                if (txFree_ > now) return;
                budget = std::max<size_t>(1, options_.baud / 10 / 200);  // about 5 ms of line time per write
            }
            bool hangup = false;
            console_.TakeOutput(now, budget, tx_, hangup);
            if (hangup) {
                // A pseudo-terminal cannot be unplugged: the modem falls silent until the device is closed.
                log_.Event("serial link dropped: the modem stays silent until the device is closed");
                silentAfterHangup_ = true;
            }
            if (tx_.empty()) return;
        }
        if (options_.baud != 0 && txFree_ > now) return;
        ssize_t n = ::write(master_, tx_.data() + txDone_, tx_.size() - txDone_);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // EAGAIN: the tool reads slower; EIO: handled as a close by the next poll
        }
        txDone_ += static_cast<size_t>(n);
        if (options_.baud != 0) txFree_ = LineStart(txFree_, now) + LineTime(static_cast<size_t>(n));
    }
}
