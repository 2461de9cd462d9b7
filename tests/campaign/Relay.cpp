// The campaign's relay: one thread polls the listener and every connection; faults change while it runs.
#include "campaign/Relay.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

namespace {

int ConnectLoopback(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

// One direction of a connection: what was read and is not yet written, and the rate budget.
struct Pipe {
    std::string pending;
    double budget = 0;
    bool ended = false;  // the reading side closed; pass that on once pending is out
};

struct Connection {
    int client = -1;
    int modem = -1;  // -1: held (nothing answers)
    Pipe up, down;   // up: tool -> modem
    size_t toModem = 0;
    Relay::Clock::time_point active;
    Relay::Clock::time_point metered;
};

}  // namespace

bool Relay::Start(unsigned short modemPort, std::string& error) {
    modemPort_ = modemPort;
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // Accepted connections take the listener's small buffer: bytes a slow link has not carried yet stay in the
    // tool's send queue, where the tool can see them, as they do before a real slow link (a radio, a serial
    // bridge), rather than vanishing into a deep buffer of the relay's own.
    constexpr int kSmallReceiveBuffer = 4096;
    if (listener_ >= 0) setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &kSmallReceiveBuffer, sizeof kSmallReceiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 16) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error = std::string("relay: ") + std::strerror(errno);
        return false;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void Relay::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
}

void Relay::SetFaults(const Faults& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
}

Relay::Faults Relay::CurrentFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
}

Relay::Clock::time_point Relay::ModemClosedAfter(size_t bytes) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closedBytes_ >= bytes ? closedAt_ : Clock::time_point();
}

Relay::Clock::time_point Relay::Began(size_t bytes) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes > 1 ? imageBegan_ : requested_;
}

void Relay::Forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    closedAt_ = Clock::time_point();
    requested_ = imageBegan_ = Clock::time_point();
    closedBytes_ = 0;
}

void Relay::Loop() {
    std::list<Connection> connections;
    char buffer[16384];
    while (!stop_) {
        const Faults faults = CurrentFaults();
        std::vector<pollfd> fds{{listener_, POLLIN, 0}};
        // A slow link holds about a quarter second of its bytes, not 64 KiB that the tool would see as carried.
        const bool paced = faults.bytesPerSecond > 0;
        const size_t ahead = paced ? std::max<size_t>(512, static_cast<size_t>(faults.bytesPerSecond) / 4) : 65536;
        for (Connection& c : connections) {
            // A slow link writes on the poll's timeout, not whenever the socket could take more.
            fds.push_back({c.client, static_cast<short>((c.up.pending.size() < ahead ? POLLIN : 0) |
                                                        (c.down.pending.empty() || paced ? 0 : POLLOUT)), 0});
            fds.push_back({c.modem, static_cast<short>((c.down.pending.size() < ahead ? POLLIN : 0) |
                                                       (c.up.pending.empty() || paced ? 0 : POLLOUT)), 0});
        }
        poll(fds.data(), fds.size(), faults.bytesPerSecond > 0 ? 5 : 20);
        const Clock::time_point now = Clock::now();
        if (fds[0].revents & POLLIN) {
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (client >= 0) {
                Connection c;
                c.client = client;
                c.modem = ConnectLoopback(modemPort_);
                if (c.modem < 0 && faults.impostorPort != 0) c.modem = ConnectLoopback(faults.impostorPort);
                c.active = c.metered = now;
                if (c.modem >= 0 || faults.holdWhenRefused) connections.push_back(std::move(c));
                else close(client);
            }
        }
        for (auto it = connections.begin(); it != connections.end();) {
            Connection& c = *it;
            const double elapsed = std::chrono::duration<double>(now - c.metered).count();
            c.metered = now;
            bool closeBoth = false;
            // Moves what can go from one side to the other; false when that side's writing failed.
            const auto pump = [&](int from, int to, Pipe& pipe, size_t* counted) {
                if (!pipe.ended && pipe.pending.size() < ahead) {
                    const ssize_t n = from < 0 ? -1 : recv(from, buffer, std::min(sizeof buffer, ahead - pipe.pending.size()), MSG_DONTWAIT);
                    if (n > 0) {
                        pipe.pending.append(buffer, static_cast<size_t>(n));
                        c.active = now;
                    } else if (n == 0 || (n < 0 && from >= 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                        pipe.ended = true;
                    }
                }
                size_t allowed = pipe.pending.size();
                if (faults.bytesPerSecond > 0) {
                    pipe.budget = std::min(pipe.budget + elapsed * faults.bytesPerSecond, 512.0);
                    allowed = std::min(allowed, static_cast<size_t>(pipe.budget));
                }
                if (to < 0) {
                    pipe.pending.clear();  // held: the tool's bytes go nowhere
                } else if (allowed > 0) {
                    const ssize_t n = send(to, pipe.pending.data(), allowed, MSG_DONTWAIT | MSG_NOSIGNAL);
                    if (n > 0) {
                        // Bytes a slow link still delivers keep it busy, as a firewall sees them pass.
                        c.active = now;
                        pipe.pending.erase(0, static_cast<size_t>(n));
                        if (faults.bytesPerSecond > 0) pipe.budget -= static_cast<double>(n);
                        if (counted) *counted += static_cast<size_t>(n);
                    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                        return false;
                    }
                }
                return true;
            };
            if (!pump(c.client, c.modem, c.up, &c.toModem) || !pump(c.modem, c.client, c.down, nullptr)) closeBoth = true;
            if (c.up.ended && c.up.pending.empty()) closeBoth = true;
            if (c.toModem > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (requested_ == Clock::time_point()) requested_ = now;
                if (c.toModem >= 512 && imageBegan_ == Clock::time_point()) imageBegan_ = now;
            }
            if (c.down.ended && c.down.pending.empty() && c.modem >= 0) {
                if (c.toModem >= 512) {  // not an identity check: an update, ended by the modem's restart
                    std::lock_guard<std::mutex> lock(mutex_);
                    closedAt_ = now;
                    closedBytes_ = c.toModem;
                }
                closeBoth = true;
            }
            if (faults.idleCutMs > 0 && now - c.active > std::chrono::milliseconds(faults.idleCutMs)) closeBoth = true;
            if (closeBoth) {
                close(c.client);
                if (c.modem >= 0) close(c.modem);
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Connection& c : connections) {
        close(c.client);
        if (c.modem >= 0) close(c.modem);
    }
}
