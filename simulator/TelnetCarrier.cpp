// Telnet server side of the simulator: option offers, IAC handling both ways, one client, busy refusals.
#include "simulator/TelnetCarrier.h"

#include <cstdint>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t kReadSize = 256 * 1024;
constexpr size_t kTakeSize = 256 * 1024;
constexpr size_t kFloodBlockRequests = 16 * 1024;
// The longest a read without a poll waits for the client; the loop polls everything else in between.
constexpr int kReadWaitMs = 5;

// A client that hangs up is noticed even while its input is left unread.
#ifdef POLLRDHUP
constexpr short kHangupEvents = POLLRDHUP | POLLHUP | POLLERR;
#else
constexpr short kHangupEvents = POLLHUP | POLLERR;
#endif

const char* CommandName(unsigned char command) {
    switch (command) {
    case 251: return "WILL";
    case 252: return "WONT";
    case 253: return "DO";
    case 254: return "DONT";
    default: return "?";
    }
}

std::string PeerText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (address.ss_family == AF_INET) {
        auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    return std::string(text) + ":" + std::to_string(port);
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

TelnetCarrier::TelnetCarrier(const SimOptions& options, EventLog& log, ModemConsole& console)
    : options_(options), log_(log), console_(console), rxBuffer_(kReadSize) {}

TelnetCarrier::~TelnetCarrier() {
    if (clientFd_ >= 0) ::close(clientFd_);
    if (listenFd_ >= 0) ::close(listenFd_);
}

bool TelnetCarrier::Listen(std::string& error) {
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, options_.bindAddress.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<unsigned short>(port_ != 0 ? port_ : options_.telnetPort));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, options_.bindAddress.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<unsigned short>(port_ != 0 ? port_ : options_.telnetPort));
        length = sizeof *v6;
    } else {
        error = "--bind: not a numeric address: " + options_.bindAddress;
        return false;
    }
    listenFd_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        error = std::string("cannot create the Telnet socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listenFd_, 8) != 0) {
        error = "cannot listen on " + options_.bindAddress + ":" + std::to_string(options_.telnetPort) + ": " +
                std::strerror(errno);
        ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    SetNonBlocking(listenFd_);
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    port_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                             : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    log_.Event("Telnet console listening on " + options_.bindAddress + ":" + std::to_string(port_));
    return true;
}

void TelnetCarrier::Prepare(Clock::time_point now, std::vector<pollfd>& fds, Clock::time_point& wake) {
    if (clientFd_ >= 0 && txDone_ == tx_.size()) Pump(now);
    // The client first, so that a client that has just gone is noticed before a new one is judged busy.
    clientPolled_ = clientFd_ >= 0;
    if (clientPolled_) {
        clientIndex_ = fds.size();
        short events = console_.ReadingStopped() ? kHangupEvents : POLLIN;
        if (txDone_ < tx_.size()) events |= POLLOUT;
        fds.push_back({clientFd_, events, 0});
        wake = std::min(wake, console_.NextWake(now, txDone_ == tx_.size()));
    }
    // A restarting modem is unreachable: connection attempts are refused until it is back, on the same port.
    if (console_.Rebooting(now)) {
        if (clientFd_ < 0 && listenFd_ >= 0) {
            ::close(listenFd_);
            listenFd_ = -1;
            log_.Event("restarting: the Telnet console stops listening");
        }
        wake = std::min(wake, console_.RebootEnd());
    } else if (listenFd_ < 0) {
        std::string error;
        if (Listen(error)) log_.Event("restarted: the Telnet console listens again");
        else log_.Event("restart: " + error + " (trying again)");
    }
    listenIndex_ = listenFd_ >= 0 ? fds.size() : SIZE_MAX;
    if (listenFd_ >= 0) fds.push_back({listenFd_, POLLIN, 0});
}

void TelnetCarrier::Handle(Clock::time_point now, const std::vector<pollfd>& fds) {
    if (clientPolled_ && clientFd_ >= 0) {
        short revents = fds[clientIndex_].revents;
        if (console_.ReadingStopped()) {
            if (revents & kHangupEvents) DropClient(now, "client went away (its input was left unread)");
        } else if (revents & (POLLIN | POLLHUP | POLLERR)) {
            if (ReadClient(now)) readFirst_ = true;
        }
        if (clientFd_ >= 0) Pump(now);
    }
    if (clientFd_ >= 0) console_.Tick(now, txDone_ == tx_.size());
    if (listenIndex_ < fds.size() && fds[listenIndex_].revents & POLLIN) Accept(now);
}

// In a stop-and-wait exchange (a legacy block, then its one-byte verdict) the loop's next task is the client's
// next block: it waits for it in the receive itself, briefly, as the modem's own answer would, where a poll and
// then a receive would be two system calls per block. A client that falls silent is left to the poll.
bool TelnetCarrier::ReadWithoutPoll(Clock::time_point now) {
    if (!readFirst_ || clientFd_ < 0 || console_.ReadingStopped() || txDone_ != tx_.size()) return false;
    if (console_.NextWake(now, true) - now < std::chrono::milliseconds(kReadWaitMs)) return false;
    if (!ReadClient(now, true)) {
        // A signal ends the wait as well: the loop then looks at its flag first.
        const bool interrupted = errno == EINTR;
        readFirst_ = false;
        return interrupted;
    }
    if (clientFd_ >= 0) Pump(now);
    if (clientFd_ >= 0) console_.Tick(now, txDone_ == tx_.size());
    return true;
}

bool TelnetCarrier::ClientStillThere() {
    unsigned char probe;
    ssize_t n = ::recv(clientFd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

void TelnetCarrier::Accept(Clock::time_point now) {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
        if (fd < 0) return;
        if (clientFd_ >= 0 && !ClientStillThere()) {
            ReadClient(now);  // consumes what is left and notices the end
        }
        if (clientFd_ >= 0) {
            if (options_.refuseSecond) {
                log_.Event("second client " + PeerText(peer) + " refused: closed at once");
            } else {
                static const char busy[] = "Console busy\r\n";
                ssize_t ignored = ::send(fd, busy, sizeof busy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                (void)ignored;
                log_.Event("second client " + PeerText(peer) + " refused with \"Console busy\"");
            }
            ::close(fd);
            continue;
        }
        clientFd_ = fd;
        // Blocking, with a receive timeout, for the wait in ReadWithoutPoll; every other call passes MSG_DONTWAIT.
        const timeval readWait{0, kReadWaitMs * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &readWait, sizeof readWait);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        int size = 1024 * 1024;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        telnetState_ = 0;
        tx_.clear();
        txDone_ = 0;
        hangupAfterTx_ = false;
        readFirst_ = false;
        floodRequests_ = 0;
        log_.Event("client connected from " + PeerText(peer));
        for (const auto& offer : options_.telnetOffers) {
            tx_.append(reinterpret_cast<const char*>(offer.data()), offer.size());
            if (offer[1] == 250) {
                log_.Tx("telnet SB " + RenderBytes(offer.data() + 2, offer.size() - 4) + " SE");
            } else {
                log_.Tx(std::string("telnet ") + CommandName(offer[1]) + " " + std::to_string(offer[2]));
            }
        }
        console_.Connect(now);
        Pump(now);
    }
}

bool TelnetCarrier::ReadClient(Clock::time_point& now, bool wait) {
    ssize_t n = ::recv(clientFd_, rxBuffer_.data(), rxBuffer_.size(), wait ? 0 : MSG_DONTWAIT);
    // After a wait, what arrived is handled at the time it came, as after a poll.
    if (wait && n >= 0) now = Clock::now();
    if (n == 0) {
        DropClient(now, "client closed the connection");
        return true;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return false;
        DropClient(now, std::string("receive failed: ") + std::strerror(errno));
        return true;
    }
    const unsigned char* data = rxBuffer_.data();
    size_t length = static_cast<size_t>(n);
    if (telnetState_ == 0 && std::memchr(data, 255, length) == nullptr) {
        console_.Receive(data, length, now);  // the common case: no Telnet commands, no copy
        return true;
    }
    data_.clear();
    Parse(data, length, data_);
    if (!data_.empty()) console_.Receive(data_.data(), data_.size(), now);
    return true;
}

void TelnetCarrier::Parse(const unsigned char* data, size_t length, std::vector<unsigned char>& out) {
    out.reserve(out.size() + length);
    for (size_t i = 0; i < length; ++i) {
        if (telnetState_ == 0) {
            // Firmware frames are mostly plain data: copy each run up to the next 255 in one go.
            const void* found = std::memchr(data + i, 255, length - i);
            const size_t end = found != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(found) - data) : length;
            out.insert(out.end(), data + i, data + end);
            i = end;
            if (i == length) break;
        }
        unsigned char b = data[i];
        switch (telnetState_) {
        case 0:
            if (b == 255) telnetState_ = 1;
            else out.push_back(b);
            break;
        case 1:
            if (b == 255) {
                out.push_back(255);
                telnetState_ = 0;
            } else if (b >= 251) {
                telnetCommand_ = b;
                telnetState_ = 2;
            } else if (b == 250) {
                subnegotiation_.clear();
                telnetState_ = 3;
            } else {
                log_.Rx("telnet command " + std::to_string(b));
                telnetState_ = 0;
            }
            break;
        case 2:
            log_.Rx(std::string("telnet ") + CommandName(telnetCommand_) + " " + std::to_string(b));
            telnetState_ = 0;
            break;
        case 3:
            if (b == 255) telnetState_ = 4;
            else if (subnegotiation_.size() < 1024) subnegotiation_.push_back(b);
            break;
        default:
            if (b == 240) {
                log_.Rx("telnet SB " + RenderBytes(subnegotiation_.data(), subnegotiation_.size()) + " SE");
                telnetState_ = 0;
            } else {
                if (subnegotiation_.size() < 1024) subnegotiation_.push_back(b);
                telnetState_ = 3;
            }
            break;
        }
    }
}

void TelnetCarrier::Pump(Clock::time_point now) {
    while (clientFd_ >= 0) {
        if (txDone_ == tx_.size()) {
            tx_.clear();
            txDone_ = 0;
            if (hangupAfterTx_) {
                DropClient(now, "the modem dropped the link");
                return;
            }
            scratch_.clear();
            bool hangup = false;
            console_.TakeOutput(now, kTakeSize, scratch_, hangup);
            hangupAfterTx_ = hangup;
            const char* from = scratch_.data();
            const char* end = from + scratch_.size();
            const char* mark = static_cast<const char*>(std::memchr(from, 0xFF, scratch_.size()));
            if (mark == nullptr) {
                tx_.swap(scratch_);
            } else {
                // Segment copies between the 255 bytes, in one pass: this runs over every byte of a streamed log.
                tx_.clear();
                tx_.reserve(scratch_.size() + scratch_.size() / 64 + 16);
                while (from < end) {
                    const char* stop = mark == nullptr ? end : mark + 1;
                    tx_.append(from, static_cast<size_t>(stop - from));
                    if (mark != nullptr) tx_.push_back('\xFF');
                    from = stop;
                    if (from < end) mark = static_cast<const char*>(std::memchr(from, 0xFF, static_cast<size_t>(end - from)));
                }
            }
            if (tx_.empty() && !hangupAfterTx_) {
                if (!console_.FloodingOptions()) return;
                AppendFlood();
            }
            continue;
        }
        ssize_t n = ::send(clientFd_, tx_.data() + txDone_, tx_.size() - txDone_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (errno == EINTR) continue;
            DropClient(now, std::string("send failed: ") + std::strerror(errno));
            return;
        }
        txDone_ += static_cast<size_t>(n);
    }
}

void TelnetCarrier::AppendFlood() {
    // DO and WILL in turn over every option value, so that the client has accepted and refused ones to answer.
    tx_.reserve(tx_.size() + 3 * kFloodBlockRequests);
    for (size_t i = 0; i < kFloodBlockRequests; ++i) {
        tx_.push_back('\xFF');
        tx_.push_back(static_cast<char>(floodRequests_ % 2 == 0 ? 253 : 251));
        tx_.push_back(static_cast<char>(floodOption_++));
        ++floodRequests_;
    }
}

void TelnetCarrier::DropClient(Clock::time_point now, const std::string& why) {
    if (floodRequests_ > 0) log_.Event("flood: " + std::to_string(floodRequests_) + " option requests sent");
    log_.Event("client disconnected: " + why);
    ::close(clientFd_);
    clientFd_ = -1;
    tx_.clear();
    txDone_ = 0;
    hangupAfterTx_ = false;
    console_.Disconnect(now);
}
