// The discovery socket on POSIX: BSD sockets, getifaddrs for the interface list, poll for the wait.
#include "discovery/DiscoverySocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "transport/SystemError.h"

namespace {

class PosixDiscoverySocket : public DiscoverySocket {
public:
    ~PosixDiscoverySocket() override { Close(); }

    OpenResult Open() override {
        Close();
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
        if (fd_ < 0) return OpenResult::CreateFailed;
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = 0;
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            Close();
            return OpenResult::BindFailed;
        }
        return OpenResult::Ok;
    }

    bool ListInterfaces(std::vector<InterfaceAddress>& interfaces) override {
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) != 0) return false;
        for (const ifaddrs* entry = list; entry != nullptr && interfaces.size() < kMaxDiscoveryInterfaces;
             entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
            InterfaceAddress item;
            item.address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
            // An interface without a mask counts as a host route, as the Windows list would report it.
            item.netmask = entry->ifa_netmask != nullptr
                               ? ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr)
                               : 0xFFFFFFFFu;
            interfaces.push_back(item);
        }
        ::freeifaddrs(list);
        return true;
    }

    void SendTo(std::uint32_t address, const unsigned char* data, std::size_t length) override {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(address);
        to.sin_port = htons(kDiscoveryPort);
        (void)::sendto(fd_, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    WaitResult Wait(unsigned int milliseconds, unsigned long& errorCode) override {
        pollfd p{};
        p.fd = fd_;
        p.events = POLLIN;
        const int ready = ::poll(&p, 1, static_cast<int>(milliseconds));
        if (ready > 0) return WaitResult::Ready;
        if (ready == 0) return WaitResult::Nothing;
        // A signal cutting the wait short is not a network failure; the loop simply looks again.
        if (errno == EINTR) return WaitResult::Nothing;
        errorCode = LastSocketError();
        return WaitResult::Failed;
    }

    int Receive(unsigned char* buffer, std::size_t capacity, std::string& source) override {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        // Never blocks: a datagram announced by poll may have been dropped (bad checksum) meanwhile.
        const ssize_t n = ::recvfrom(fd_, buffer, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                     &fromLength);
        if (n < 0) return -1;
        char text[INET_ADDRSTRLEN] = {};
        if (from.sin_family == AF_INET && ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text) != nullptr) {
            source = text;
        } else {
            source.clear();
        }
        return static_cast<int>(n);
    }

    void Close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<DiscoverySocket> CreateDiscoverySocket() { return std::make_unique<PosixDiscoverySocket>(); }
