// Modem discovery: the broadcast probe loop, reply decoding and the per-pass de-duplication by address and port.
#include "discovery/Discovery.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "console/Clock.h"
#include "discovery/DiscoverySocket.h"
#include "transport/Transport.h"

namespace {

const unsigned char kMagic[4] = {'Q', 'D', 'S', 'C'};
constexpr std::size_t kReceiveBufferSize = 256;
constexpr std::size_t kMaxAddressLength = 21;
constexpr auto kReprobeInterval = std::chrono::milliseconds(1000);
// The longest single wait while a cancel may come: short enough to end the pass within 250 ms of it.
constexpr auto kCancelSlice = std::chrono::milliseconds(100);

}  // namespace

std::string DiscoveryKey(const DiscoveredModem& modem) {
    return modem.address + ":" + std::to_string(static_cast<unsigned int>(modem.port));
}

bool DecodeDiscoveryReply(const unsigned char* data, std::size_t length, DiscoveredModem& modem) {
    if (data == nullptr || length < kDiscoveryReplySize) return false;
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0) return false;
    modem.statusByte = data[5];
    std::uint64_t serial = 0;
    for (std::size_t i = 12; i < 20; ++i) serial = (serial << 8) | data[i];
    modem.serialNumber = serial;
    modem.port = static_cast<std::uint16_t>((data[20] << 8) | data[21]);
    const char* sign = reinterpret_cast<const char*>(data + 23);
    std::size_t n = 0;
    while (n < 9 && sign[n] != '\0') ++n;
    while (n > 0 && sign[n - 1] == ' ') --n;
    modem.callSign.assign(sign, n);
    return true;
}

std::vector<std::uint32_t> BroadcastDestinations(bool listed, const std::vector<InterfaceAddress>& interfaces) {
    std::vector<std::uint32_t> destinations;
    if (listed) {
        const std::size_t count = std::min(interfaces.size(), kMaxDiscoveryInterfaces);
        for (std::size_t i = 0; i < count; ++i) {
            // Only the loopback's own address is skipped; a broadcast on it would reach nothing but us.
            if (interfaces[i].address == 0x7F000001u) continue;
            const std::uint32_t broadcast = interfaces[i].address | ~interfaces[i].netmask;
            if (std::find(destinations.begin(), destinations.end(), broadcast) == destinations.end()) {
                destinations.push_back(broadcast);
            }
        }
    }
    if (destinations.empty()) destinations.push_back(kLimitedBroadcast);
    return destinations;
}

unsigned int DiscoveryWaitMs(std::chrono::steady_clock::duration remaining) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(remaining).count();
    if (ms < 1) return 1;
    return static_cast<unsigned int>(std::min<long long>(ms, 1000000));
}

std::vector<DiscoveredModem> RunDiscovery(DiscoverySocket& socket, std::uint32_t timeoutMs, std::string& error,
                                          const std::atomic<bool>* cancel) {
    std::vector<DiscoveredModem> found;
    switch (socket.Open()) {
    case DiscoverySocket::OpenResult::Ok: break;
    case DiscoverySocket::OpenResult::CreateFailed:
        error = "Cannot create discovery socket";
        return found;
    case DiscoverySocket::OpenResult::BindFailed:
        error = "Cannot bind discovery socket";
        socket.Close();
        return found;
    }

    std::vector<InterfaceAddress> interfaces;
    const bool listed = socket.ListInterfaces(interfaces);
    const std::vector<std::uint32_t> destinations = BroadcastDestinations(listed, interfaces);

    const auto start = MonotonicNow();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    auto nextSend = start;
    std::set<std::string> keys;
    unsigned char buffer[kReceiveBufferSize];

    for (auto now = MonotonicNow(); now < deadline; now = MonotonicNow()) {
        if (cancel != nullptr && cancel->load()) break;
        if (now >= nextSend) {
            for (std::uint32_t destination : destinations) socket.SendTo(destination, kMagic, sizeof kMagic);
            nextSend = now + kReprobeInterval;
        }
        auto until = std::min(nextSend, deadline);
        if (cancel != nullptr) until = std::min(until, MonotonicNow() + kCancelSlice);
        unsigned long code = 0;
        const DiscoverySocket::WaitResult waited = socket.Wait(DiscoveryWaitMs(until - MonotonicNow()), code);
        if (waited == DiscoverySocket::WaitResult::Nothing) continue;
        if (waited == DiscoverySocket::WaitResult::Failed) {
            error = "Modem discovery receive failed: " + WindowsError(code);
            socket.Close();
            return found;
        }
        std::memset(buffer, 0, sizeof buffer);
        std::string source;
        const int received = socket.Receive(buffer, sizeof buffer, source);
        if (received < static_cast<int>(kDiscoveryReplySize)) continue;
        if (source.empty()) continue;
        DiscoveredModem modem;
        if (!DecodeDiscoveryReply(buffer, static_cast<std::size_t>(received), modem)) continue;
        modem.address = source.substr(0, kMaxAddressLength);
        // The first reply of a modem wins, even when a later one says something else.
        if (!keys.insert(DiscoveryKey(modem)).second) continue;
        found.push_back(std::move(modem));
    }
    socket.Close();
    return found;
}

std::vector<DiscoveredModem> DiscoverModems(std::uint32_t timeoutMs, std::string& error, const std::atomic<bool>* cancel) {
    const std::unique_ptr<DiscoverySocket> socket = CreateDiscoverySocket();
    return RunDiscovery(*socket, timeoutMs, error, cancel);
}
