// Network discovery: the UDP broadcast probe on port 1101 and the 32-byte replies of the modems.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct DiscoveredModem {
    std::string address;             // dotted IPv4 source address of the reply
    std::uint16_t port = 0;          // Telnet console port, from the reply
    std::uint64_t serialNumber = 0;
    std::uint8_t statusByte = 0;     // never shown; compared to notice a changed record
    std::string callSign;            // 0 to 9 characters
};

constexpr std::uint16_t kDiscoveryPort = 1101;
constexpr std::size_t kDiscoveryReplySize = 32;

// Probes every directed broadcast address, listens for timeoutMs, returns one record per
// address:port in the order of first replies. `error` is set only when the pass failed. Once `cancel` is set
// the pass ends within 250 ms with the replies it has.
std::vector<DiscoveredModem> DiscoverModems(std::uint32_t timeoutMs, std::string& error,
                                            const std::atomic<bool>* cancel = nullptr);

// address + ":" + port: the identity of a modem across passes.
std::string DiscoveryKey(const DiscoveredModem& modem);

// Decodes the payload of one reply (not the address). False for fewer than 32 bytes or another magic.
bool DecodeDiscoveryReply(const unsigned char* data, std::size_t length, DiscoveredModem& modem);
