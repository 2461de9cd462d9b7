// The discovery socket on Windows: Winsock UDP, SIO_GET_INTERFACE_LIST for the interfaces, select for the wait.
#include "discovery/DiscoverySocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "transport/SystemError.h"

namespace {

constexpr DWORD kInterfaceEntrySize = 76;
constexpr DWORD kInterfaceBufferSize = kInterfaceEntrySize * kMaxDiscoveryInterfaces;  // 4864
static_assert(sizeof(INTERFACE_INFO) == kInterfaceEntrySize, "INTERFACE_INFO layout");

class WinsockDiscoverySocket : public DiscoverySocket {
public:
    ~WinsockDiscoverySocket() override { Close(); }

    OpenResult Open() override {
        Close();
        socket_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        if (socket_ == INVALID_SOCKET) return OpenResult::CreateFailed;
        const BOOL on = TRUE;
        ::setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = 0;
        if (::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
            Close();
            return OpenResult::BindFailed;
        }
        // select announces the datagrams; a non-blocking read keeps a vanished one from stalling the pass.
        u_long nonBlocking = 1;
        ::ioctlsocket(socket_, FIONBIO, &nonBlocking);
        return OpenResult::Ok;
    }

    bool ListInterfaces(std::vector<InterfaceAddress>& interfaces) override {
        static_assert(kInterfaceBufferSize == 4864, "room for 64 entries");
        unsigned char buffer[kInterfaceBufferSize];
        std::memset(buffer, 0, sizeof buffer);
        DWORD returned = 0;
        if (::WSAIoctl(socket_, SIO_GET_INTERFACE_LIST, nullptr, 0, buffer, sizeof buffer, &returned, nullptr,
                       nullptr) == SOCKET_ERROR) {
            return false;
        }
        const DWORD count = (returned > sizeof buffer ? static_cast<DWORD>(sizeof buffer) : returned) /
                            kInterfaceEntrySize;
        for (DWORD i = 0; i < count; ++i) {
            INTERFACE_INFO entry;
            std::memcpy(&entry, buffer + i * kInterfaceEntrySize, sizeof entry);
            InterfaceAddress item;
            item.address = ntohl(entry.iiAddress.AddressIn.sin_addr.s_addr);
            item.netmask = ntohl(entry.iiNetmask.AddressIn.sin_addr.s_addr);
            interfaces.push_back(item);
        }
        return true;
    }

    void SendTo(std::uint32_t address, const unsigned char* data, std::size_t length) override {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(address);
        to.sin_port = htons(kDiscoveryPort);
        (void)::sendto(socket_, reinterpret_cast<const char*>(data), static_cast<int>(length), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    WaitResult Wait(unsigned int milliseconds, unsigned long& errorCode) override {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_, &readable);
        timeval wait{};
        wait.tv_sec = static_cast<long>(milliseconds / 1000);
        wait.tv_usec = static_cast<long>((milliseconds % 1000) * 1000);
        const int ready = ::select(0, &readable, nullptr, nullptr, &wait);
        if (ready > 0) return WaitResult::Ready;
        if (ready == 0) return WaitResult::Nothing;
        errorCode = LastSocketError();
        return WaitResult::Failed;
    }

    int Receive(unsigned char* buffer, std::size_t capacity, std::string& source) override {
        sockaddr_in from{};
        int fromLength = sizeof from;
        int n = ::recvfrom(socket_, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n == SOCKET_ERROR) {
            // A datagram longer than the buffer arrives cut to the buffer, as the POSIX read does;
            // its bytes past the 32nd never matter.
            if (::WSAGetLastError() != WSAEMSGSIZE) return -1;
            n = static_cast<int>(capacity);
        }
        const char* text = from.sin_family == AF_INET ? ::inet_ntoa(from.sin_addr) : nullptr;
        if (text != nullptr) {
            source = text;
        } else {
            source.clear();
        }
        return n;
    }

    void Close() override {
        if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
};

}  // namespace

std::unique_ptr<DiscoverySocket> CreateDiscoverySocket() { return std::make_unique<WinsockDiscoverySocket>(); }
