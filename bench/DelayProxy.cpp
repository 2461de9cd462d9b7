// A loopback TCP relay that holds every byte for a fixed time each way, at a limited rate if asked: a slow link.
#include "bench/DelayProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>

#include "console/Console.h"

namespace {

using Clock = std::chrono::steady_clock;

// Bytes read in one piece, held until `due`; a piece with `close` set passes the sender's close on.
struct Piece {
    Clock::time_point due;
    std::vector<unsigned char> bytes;
    size_t done = 0;
    bool close = false;
};

struct Side {
    int fd = -1;
    bool readEnded = false;   // the peer closed (or failed): nothing more to read from it
    bool writeEnded = false;  // its close was passed on
    // With a rate: when the link from this side is free again, and so when this side may be read next.
    Clock::time_point readAt{};
    std::deque<Piece> out;    // what goes to this side, in order
};

struct Connection {
    Side tool, modem;
    int lastSpoke = 0;  // 1 the tool, 2 the modem
    // The connection to the modem is made one delay after the tool's, as its opening would reach the modem;
    // a close before it on an earlier connection then arrives first, as on a real link.
    Clock::time_point connectDue;
};

void NoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int ConnectLoopback(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    NoDelay(fd);
    return fd;
}

// Nothing but Telnet option answers (IAC, WILL/WONT/DO/DONT, option).
bool OptionAnswers(const std::vector<unsigned char>& bytes) {
    if (bytes.empty() || bytes.size() % 3 != 0) return false;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        if (bytes[i] != 0xFF || bytes[i + 1] < 251 || bytes[i + 1] > 254) return false;
    }
    return true;
}

// Sends what is due to `side` without waiting; false when the side is gone.
bool SendDue(Side& side, Clock::time_point now) {
    while (!side.out.empty() && side.out.front().due <= now) {
        Piece& piece = side.out.front();
        if (piece.close) {
            shutdown(side.fd, SHUT_WR);
            side.writeEnded = true;
            side.out.clear();
            return true;
        }
        while (piece.done < piece.bytes.size()) {
            const ssize_t n = send(side.fd, piece.bytes.data() + piece.done, piece.bytes.size() - piece.done,
                                   MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            if (n <= 0) return false;
            piece.done += static_cast<size_t>(n);
        }
        side.out.pop_front();
    }
    return true;
}

}  // namespace

bool DelayProxy::Start(unsigned short targetPort, std::chrono::milliseconds delay, std::string& error) {
    targetPort_ = targetPort;
    delay_ = delay;
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Accepted sockets take the listener's buffer size.
    constexpr int kSmallReceiveBuffer = 4096;
    if (rate_ != 0 && listener_ >= 0) {
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &kSmallReceiveBuffer, sizeof kSmallReceiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 8) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        pipe2(wake_, O_CLOEXEC) != 0) {
        error = std::string("delay proxy: ") + std::strerror(errno);
        return false;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void DelayProxy::Stop() {
    if (thread_.joinable()) {
        stop_ = true;
        const char byte = 0;
        [[maybe_unused]] const ssize_t ignored = write(wake_[1], &byte, 1);
        thread_.join();
    }
    for (int* fd : {&listener_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

bool DelayProxy::WaitIdle(std::chrono::milliseconds limit) const {
    const Clock::time_point deadline = Clock::now() + limit;
    while (open_.load() > 0) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

DelayProxy::Tally DelayProxy::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    Tally taken = tally_;
    tally_ = Tally();
    return taken;
}

void DelayProxy::Loop() {
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<unsigned char> buffer(65536);
    std::vector<pollfd> fds;
    while (!stop_) {
        Clock::time_point now = Clock::now();
        // Sleep until the next held piece is due, or something arrives.
        Clock::time_point wake = now + std::chrono::seconds(1);
        fds.clear();
        fds.push_back({listener_, POLLIN, 0});
        fds.push_back({wake_[0], POLLIN, 0});
        for (const auto& c : connections) {
            if (c->modem.fd < 0) wake = std::min(wake, c->connectDue);
            for (const Side* side : {&c->tool, &c->modem}) {
                if (side->fd < 0) continue;
                short events = side->readEnded ? 0 : POLLIN;
                if (events != 0 && rate_ != 0 && side->readAt > now) {
                    events = 0;
                    wake = std::min(wake, side->readAt);
                }
                if (!side->out.empty()) {
                    if (side->out.front().due <= now) events |= POLLOUT;
                    else wake = std::min(wake, side->out.front().due);
                }
                // A side with nothing to read or send is left out: a closed one would wake the wait at once.
                if (events != 0) fds.push_back({side->fd, events, 0});
            }
        }
        const long long waitNs = std::max<long long>(0, std::chrono::nanoseconds(wake - now).count());
        const timespec timeout{static_cast<time_t>(waitNs / 1000000000), static_cast<long>(waitNs % 1000000000)};
        if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) return;
        now = Clock::now();

        if (fds[0].revents & POLLIN) {
            const int tool = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (tool >= 0) {
                NoDelay(tool);
                auto c = std::make_unique<Connection>();
                c->tool.fd = tool;
                c->connectDue = now + delay_;
                connections.push_back(std::move(c));
                ++open_;
                std::lock_guard<std::mutex> lock(mutex_);
                ++tally_.connections;
            }
        }

        for (size_t k = 0; k < connections.size(); ++k) {
            Connection& c = *connections[k];
            bool gone = false;
            if (c.modem.fd < 0 && now >= c.connectDue) {
                c.modem.fd = ConnectLoopback(targetPort_);
                gone = c.modem.fd < 0;
            }
            for (int from = 0; from < 2; ++from) {
                Side& source = from == 0 ? c.tool : c.modem;
                Side& sink = from == 0 ? c.modem : c.tool;
                if (source.readEnded || source.fd < 0 || gone) continue;
                if (rate_ != 0 && source.readAt > now) continue;
                // With a rate, a tenth of a second's worth at a time.
                const size_t want = rate_ == 0 ? buffer.size() : std::clamp<size_t>(rate_ / 10, 1, buffer.size());
                const ssize_t n = recv(source.fd, buffer.data(), want, MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
                Piece piece;
                piece.due = now + delay_;
                if (rate_ != 0 && n > 0) {
                    // The piece's last byte is on the far side once the link has carried it.
                    source.readAt = std::max(now, source.readAt) +
                                    std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                        static_cast<double>(n) / static_cast<double>(rate_)));
                    piece.due = source.readAt + delay_;
                }
                if (n <= 0) {
                    source.readEnded = true;
                    piece.close = true;
                } else {
                    piece.bytes.assign(buffer.begin(), buffer.begin() + n);
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (from == 0) {
                        tally_.toModem += static_cast<unsigned long long>(n);
                        // Answers to the modem's Telnet option offers go out unasked and wait for nothing.
                        const bool optionAnswer = OptionAnswers(piece.bytes);
                        if (!optionAnswer && c.lastSpoke != 1) {
                            ++tally_.turns;
                            // Binary frames are told by their size alone: their bytes say nothing.
                            const std::string text(piece.bytes.begin(), piece.bytes.begin() + std::min<ssize_t>(n, 12));
                            tally_.turnStarts.push_back(n >= 256 ? std::string(kFrameTurn) : DiagnosticResponse(text));
                        }
                        if (!optionAnswer) c.lastSpoke = 1;
                    } else {
                        tally_.toTool += static_cast<unsigned long long>(n);
                        c.lastSpoke = 2;
                    }
                }
                sink.out.push_back(std::move(piece));
            }
            for (Side* side : {&c.tool, &c.modem}) {
                if (!gone && side->fd >= 0 && !SendDue(*side, now)) gone = true;
            }
            const bool finished = c.tool.writeEnded && c.modem.writeEnded;
            if (gone || finished) {
                close(c.tool.fd);
                if (c.modem.fd >= 0) close(c.modem.fd);
                connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(k));
                --open_;
                --k;
            }
        }
    }
    for (const auto& c : connections) {
        close(c->tool.fd);
        if (c->modem.fd >= 0) close(c->modem.fd);
    }
}
