// Discovery over real broadcasts, run only inside the private test network that scripts/testnet builds.
//
// These tests broadcast. They run when BRISKLODE_TESTNET is set (only scripts/testnet sets it, in its
// own namespaces), and even then refuse to run unless the sockets of this process demonstrably live
// in such a namespace. The modems they expect are the ones scripts/test-discovery starts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "discovery/Discovery.h"
#include "discovery/DiscoverySocket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// --- A few plain UDP helpers for the checks and the in-process responder. ---

#ifdef _WIN32
using Sock = SOCKET;
const Sock kNoSock = INVALID_SOCKET;
void CloseSock(Sock s) { closesocket(s); }
#else
using Sock = int;
const Sock kNoSock = -1;
void CloseSock(Sock s) { close(s); }
#endif

class Udp {
public:
    Udp() : s_(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {}
    ~Udp() {
        if (s_ != kNoSock) CloseSock(s_);
    }
    Udp(const Udp&) = delete;
    Udp& operator=(const Udp&) = delete;

    bool Valid() const { return s_ != kNoSock; }

    bool Bind(const char* ip, unsigned short port) {
        sockaddr_in a = Address(ip, port);
        return bind(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }

    // A UDP connect sends nothing; it only asks the routing which local address would be used.
    bool Connect(const char* ip, unsigned short port, std::string& local) {
        sockaddr_in a = Address(ip, port);
        if (connect(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        sockaddr_in me{};
        socklen_t n = sizeof me;
        if (getsockname(s_, reinterpret_cast<sockaddr*>(&me), &n) != 0) return false;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &me.sin_addr, text, sizeof text);
        local = text;
        return true;
    }

    // One datagram within timeoutMs: its bytes and sender; -1 when none.
    int Receive(unsigned char* buffer, int capacity, int timeoutMs, sockaddr_in& from) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s_, &set);
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        if (select(static_cast<int>(s_) + 1, &set, nullptr, nullptr, &tv) <= 0) return -1;
        socklen_t n = sizeof from;
        return static_cast<int>(
            recvfrom(s_, reinterpret_cast<char*>(buffer), capacity, 0, reinterpret_cast<sockaddr*>(&from), &n));
    }

    void SendTo(const sockaddr_in& to, const unsigned char* data, int length) {
        sendto(s_, reinterpret_cast<const char*>(data), length, 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
    }

    static sockaddr_in Address(const char* ip, unsigned short port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, ip, &a.sin_addr);
        return a;
    }

private:
    Sock s_;
};

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

bool InTestRange(std::uint32_t address) { return (address & 0xFFFE0000u) == 0xC6120000u; }  // 198.18.0.0/15

// The interfaces exactly as a discovery pass sees them, through the same socket layer.
bool DiscoveryInterfaces(std::vector<InterfaceAddress>& interfaces) {
    const std::unique_ptr<DiscoverySocket> socket = CreateDiscoverySocket();
    if (socket->Open() != DiscoverySocket::OpenResult::Ok) return false;
    const bool listed = socket->ListInterfaces(interfaces);
    socket->Close();
    return listed;
}

// Empty when this process is demonstrably inside the test network of `mode`; else why not.
std::string WhyNotInTestNetwork(const std::string& mode) {
    std::vector<InterfaceAddress> interfaces;
    if (!DiscoveryInterfaces(interfaces)) return "the interface list cannot be read";
    for (const InterfaceAddress& i : interfaces) {
        const bool loopback = i.address == 0x7F000001u;
        if (!loopback && (mode != "1" || !InTestRange(i.address))) {
            return "interface address " + std::to_string(i.address >> 24) + "." +
                   std::to_string((i.address >> 16) & 255) + "." + std::to_string((i.address >> 8) & 255) + "." +
                   std::to_string(i.address & 255) + " is not part of the test network";
        }
    }
    if (mode == "1") {
        // Only a socket made inside the tool namespace can take the tool's own addresses.
        for (const char* own : {"198.18.1.1", "198.18.1.2", "198.18.2.1"}) {
            Udp probe;
            if (!probe.Valid() || !probe.Bind(own, 0)) return std::string("cannot bind to ") + own;
        }
        return "";
    }
    // A loopback-only namespace has no route out, or one through the loopback.
    Udp probe;
    std::string local;
    if (probe.Valid() && probe.Connect("198.18.0.1", 9, local) && local != "0.0.0.0" &&
        local.compare(0, 4, "127.") != 0) {
        return "a route leaves from " + local;
    }
    return "";
}

// Skips outside the test network; fails loudly when told it is inside but it is not.
#define REQUIRE_TEST_NETWORK(mode)                                                              \
    do {                                                                                        \
        if (Env("BRISKLODE_TESTNET") != (mode))                                                 \
            GTEST_SKIP() << "broadcasts only inside scripts/testnet (BRISKLODE_TESTNET=" mode ")"; \
        const std::string why = WhyNotInTestNetwork(mode);                                      \
        ASSERT_EQ("", why) << "refusing to broadcast here";                                     \
    } while (0)

// The probes the recorder host (198.18.1.20 and 198.18.2.20) saw: "probe DEST SOURCE:PORT HEX".
class ProbeLog {
public:
    ProbeLog() {
        const std::string dir = Env("BRISKLODE_TESTNET_DIR");
#ifdef _WIN32
        path_ = "Z:" + dir + "/probes.log";
#else
        path_ = dir + "/probes.log";
#endif
        skip_ = ReadAll().size();
    }
    // The lines since construction, after giving the recorder time to write them.
    std::vector<std::string> Lines(int settleMs = 400) const {
        std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
        std::vector<std::string> lines;
        const std::string all = ReadAll();
        std::size_t at = skip_;
        while (at < all.size()) {
            const std::size_t end = all.find('\n', at);
            if (end == std::string::npos) break;
            lines.push_back(all.substr(at, end - at));
            at = end + 1;
        }
        return lines;
    }

private:
    std::string ReadAll() const {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string path_;
    std::size_t skip_ = 0;
};

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t end = line.find(' ', at);
        words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return words;
}

std::map<std::string, DiscoveredModem> ByKey(const std::vector<DiscoveredModem>& modems) {
    std::map<std::string, DiscoveredModem> byKey;
    for (const DiscoveredModem& m : modems) {
        EXPECT_TRUE(byKey.emplace(DiscoveryKey(m), m).second) << "listed twice: " << DiscoveryKey(m);
    }
    return byKey;
}

struct Expected {
    const char* key;
    std::uint64_t serial;
    const char* callSign;
    std::uint8_t status;
};

// The modems scripts/test-discovery starts on the lan side.
const Expected kFleet[] = {
    {"198.18.1.10:3000", 0x0102030405060708ull, "KLM", 0x21},   // plain, NUL-padded call sign
    {"198.18.1.11:3000", 1101, "TWIN", 0x01},                   // one address, two consoles
    {"198.18.1.11:3001", 1102, "TWIN", 0x01},
    {"198.18.1.12:3000", 12, "FIRST", 0x10},                    // answers twice, differently: first wins
    {"198.18.1.15:3000", 258, "KL  MN", 0x00},                  // 300-byte reply, space-padded
    {"198.18.1.16:3000", 16, "SECOND", 0x16},                   // answers only every second probe
    {"198.18.2.10:65535", 0xFFFFFFFFFFFFFFFEull, "NINECHARS", 0xFF},  // second subnet
};

TEST(DiscoveryNet, ListsEveryModemOnceWithItsFields) {
    REQUIRE_TEST_NETWORK("1");
    std::string error = "untouched";
    const std::vector<DiscoveredModem> found = DiscoverModems(2000, error);
    EXPECT_EQ("untouched", error);
    const std::map<std::string, DiscoveredModem> byKey = ByKey(found);
    for (const Expected& e : kFleet) {
        const auto it = byKey.find(e.key);
        if (it == byKey.end()) {
            ADD_FAILURE() << "not found: " << e.key;
            continue;
        }
        EXPECT_EQ(e.serial, it->second.serialNumber) << e.key;
        EXPECT_EQ(e.callSign, it->second.callSign) << e.key;
        EXPECT_EQ(e.status, it->second.statusByte) << e.key;
    }
    // The 31-byte reply (198.18.1.13) and the wrong magic (198.18.1.14) are no modems; nothing else answers.
    EXPECT_EQ(sizeof kFleet / sizeof kFleet[0], byKey.size());
    for (const auto& [key, modem] : byKey) {
        EXPECT_NE("198.18.1.13", modem.address);
        EXPECT_NE("198.18.1.14", modem.address);
    }
}

TEST(DiscoveryNet, EachBroadcastAddressOncePerSend) {
    REQUIRE_TEST_NETWORK("1");
    const ProbeLog log;
    std::string error;
    DiscoverModems(1500, error);  // a probe at once and one a second later
    EXPECT_EQ("", error);
    std::map<std::string, int> perDestination;
    std::map<std::string, int> sources;
    for (const std::string& line : log.Lines()) {
        const std::vector<std::string> w = Words(line);
        ASSERT_EQ(4u, w.size()) << line;
        EXPECT_EQ("51445343", w[3]) << "the probe is exactly QDSC: " << line;
        ++perDestination[w[1]];
        ++sources[w[2].substr(w[2].find(':'))];
    }
    // The tool has two interfaces in 198.18.1.0/24 and one in 198.18.2.0/24.
    const std::map<std::string, int> expected = {{"198.18.1.255", 2}, {"198.18.2.255", 2}};
    EXPECT_EQ(expected, perDestination);
    EXPECT_EQ(1u, sources.size()) << "all probes of a pass come from its one socket";
}

TEST(DiscoveryNet, ZeroTimeoutSendsNothing) {
    REQUIRE_TEST_NETWORK("1");
    {
        // The recorder must be listening, or silence below would prove nothing.
        const ProbeLog log;
        std::string error;
        DiscoverModems(100, error);
        ASSERT_FALSE(log.Lines().empty()) << "the probe recorder hears nothing";
    }
    const ProbeLog log;
    std::string error = "untouched";
    EXPECT_TRUE(DiscoverModems(0, error).empty());
    EXPECT_EQ("untouched", error);
    EXPECT_EQ(std::vector<std::string>{}, log.Lines(600));
}

// Answers probes that reach 255.255.255.255:1101 in this process, with port 3000 and call sign "LOOP".
class LimitedBroadcastResponder {
public:
    LimitedBroadcastResponder() {
        bound_ = listener_.Valid() && listener_.Bind("255.255.255.255", kDiscoveryPort);
        if (bound_) thread_ = std::thread([this] { Run(); });
    }
    ~LimitedBroadcastResponder() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool Bound() const { return bound_; }
    int Probes() const { return probes_; }

private:
    void Run() {
        Udp replier;
        while (!stop_) {
            unsigned char buffer[64];
            sockaddr_in from{};
            const int n = listener_.Receive(buffer, sizeof buffer, 50, from);
            if (n != 4 || std::memcmp(buffer, "QDSC", 4) != 0) continue;
            ++probes_;
            unsigned char reply[32] = {'Q', 'D', 'S', 'C', 0, 0x42};
            reply[19] = 7;     // serial number 7
            reply[20] = 0x0B;  // port 3000
            reply[21] = 0xB8;
            std::memcpy(reply + 23, "LOOP", 4);
            // Sent from the loopback address to the probe's port, whatever source the probe carried.
            replier.SendTo(Udp::Address("127.0.0.1", ntohs(from.sin_port)), reply, sizeof reply);
        }
    }

    Udp listener_;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> probes_{0};
    std::thread thread_;
};

TEST(DiscoveryNetLoopback, WithoutRouteNothingAndNoError) {
    REQUIRE_TEST_NETWORK("loopback");
    LimitedBroadcastResponder responder;
    ASSERT_TRUE(responder.Bound());
    std::string error = "untouched";
    EXPECT_TRUE(DiscoverModems(1200, error).empty());
    EXPECT_EQ("untouched", error);
    EXPECT_EQ(0, responder.Probes());
}

TEST(DiscoveryNetLoopback, OnlyLimitedBroadcastIsProbed) {
    REQUIRE_TEST_NETWORK("loopback-route");
    LimitedBroadcastResponder responder;
    ASSERT_TRUE(responder.Bound());
    std::string error = "untouched";
    const std::vector<DiscoveredModem> found = DiscoverModems(1500, error);
    EXPECT_EQ("untouched", error);
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ("127.0.0.1:3000", DiscoveryKey(found[0]));
    EXPECT_EQ("LOOP", found[0].callSign);
    EXPECT_EQ(7u, found[0].serialNumber);
    EXPECT_EQ(0x42, found[0].statusByte);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(2, responder.Probes()) << "one probe at once, one a second later";
}

}  // namespace
