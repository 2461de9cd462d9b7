// The platform calls of one discovery pass (UDP socket, interface list, send, wait, receive) behind one small class.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "discovery/Discovery.h"

// One IPv4 interface as the interface list reports it; both values in host byte order.
struct InterfaceAddress {
    std::uint32_t address = 0;
    std::uint32_t netmask = 0;
};

// At most this many interfaces are considered (the Windows query buffer holds 64 entries of 76 bytes).
constexpr std::size_t kMaxDiscoveryInterfaces = 64;
constexpr std::uint32_t kLimitedBroadcast = 0xFFFFFFFFu;

class DiscoverySocket {
public:
    enum class OpenResult { Ok, CreateFailed, BindFailed };
    enum class WaitResult { Ready, Nothing, Failed };

    virtual ~DiscoverySocket() = default;
    // UDP socket, SO_BROADCAST on, bound to 0.0.0.0 port 0. A socket that cannot be bound is closed again.
    virtual OpenResult Open() = 0;
    // The IPv4 address/netmask pairs of the machine, at most kMaxDiscoveryInterfaces. False: no list.
    virtual bool ListInterfaces(std::vector<InterfaceAddress>& interfaces) = 0;
    // One datagram to address (host order) port 1101. Failures are deliberately not reported.
    virtual void SendTo(std::uint32_t address, const unsigned char* data, std::size_t length) = 0;
    // Waits up to `milliseconds` for a datagram; on Failed, `errorCode` is the socket error code.
    virtual WaitResult Wait(unsigned int milliseconds, unsigned long& errorCode) = 0;
    // One datagram into `buffer`: its length (a longer datagram is cut to `capacity`), or -1.
    // `source` is the sender's dotted address, empty when it cannot be rendered.
    virtual int Receive(unsigned char* buffer, std::size_t capacity, std::string& source) = 0;
    // Harmless when not open.
    virtual void Close() = 0;
};

// The platform's implementation, closed.
std::unique_ptr<DiscoverySocket> CreateDiscoverySocket();

// One whole pass over any socket implementation; DiscoverModems runs it over the platform's.
std::vector<DiscoveredModem> RunDiscovery(DiscoverySocket& socket, std::uint32_t timeoutMs, std::string& error,
                                          const std::atomic<bool>* cancel = nullptr);

// The probe's destinations (host order), each once, in the order first seen: address | ~netmask of
// every interface except exactly 127.0.0.1; {255.255.255.255} when there is no list or nothing is left.
std::vector<std::uint32_t> BroadcastDestinations(bool listed, const std::vector<InterfaceAddress>& interfaces);

// The wait before the next look at the clock: whole milliseconds left until `until`, never below 1.
unsigned int DiscoveryWaitMs(std::chrono::steady_clock::duration remaining);
