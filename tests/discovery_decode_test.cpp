// Discovery without a network: reply decoding, the broadcast destinations, and the probe loop over a scripted socket and clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "console/Clock.h"
#include "discovery/Discovery.h"
#include "discovery/DiscoverySocket.h"
#include "transport/SystemError.h"
#include "transport/Transport.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A reply as a modem lays it out; the uninterpreted bytes carry noise so that decoding must skip them.
Bytes Reply(std::uint64_t serial, std::uint16_t port, const Bytes& sign, std::uint8_t status = 0,
            std::size_t length = 32) {
    Bytes d = {'Q', 'D', 'S', 'C', 0xEE, status, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    for (int shift = 56; shift >= 0; shift -= 8) d.push_back(static_cast<unsigned char>(serial >> shift));
    d.push_back(static_cast<unsigned char>(port >> 8));
    d.push_back(static_cast<unsigned char>(port & 0xFF));
    d.push_back(0xEE);
    Bytes nine = sign;
    nine.resize(9, 0);
    d.insert(d.end(), nine.begin(), nine.end());
    while (d.size() < length) d.push_back(static_cast<unsigned char>(d.size()));
    d.resize(length);
    return d;
}

Bytes Cut(Bytes d, std::size_t n) {
    d.resize(n);
    return d;
}

Bytes WrongMagic(Bytes d) {
    d[0] = 'X';
    return d;
}

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

bool Decode(const Bytes& d, DiscoveredModem& m) { return DecodeDiscoveryReply(d.data(), d.size(), m); }

TEST(DiscoveryDecode, FieldsAtTheirOffsetsBigEndian) {
    Bytes d = Reply(0, 0, Text("KLM"), 0x5C);
    d[20] = 0x0B;
    d[21] = 0xB8;
    const unsigned char serial[8] = {0, 0, 0, 0, 0, 0, 0x01, 0x02};
    std::memcpy(&d[12], serial, 8);
    DiscoveredModem m;
    ASSERT_TRUE(Decode(d, m));
    EXPECT_EQ(3000, m.port);
    EXPECT_EQ(258u, m.serialNumber);
    EXPECT_EQ(0x5C, m.statusByte);
    EXPECT_EQ("KLM", m.callSign);

    ASSERT_TRUE(Decode(Reply(0xFEDCBA9876543210ull, 0xFFFF, Text("A"), 0xFF), m));
    EXPECT_EQ(0xFEDCBA9876543210ull, m.serialNumber);
    EXPECT_EQ(65535, m.port);
    EXPECT_EQ(0xFF, m.statusByte);
}

TEST(DiscoveryDecode, CallSignCutAtNulThenTrailingSpaces) {
    struct Case {
        Bytes nine;
        std::string expected;
    };
    const Case cases[] = {
        {{'K', 'L', 'M', 0, 0, 0, 0, 0, 0}, "KLM"},
        {Text("KL  MN   "), "KL  MN"},
        {Text("         "), ""},
        {{0, 'K', 'L', 'M', 'N', 'O', 'P', 'Q', 'R'}, ""},
        {Text("  LEAD   "), "  LEAD"},
        {Text("NINECHARS"), "NINECHARS"},
        {{'A', 'B', ' ', ' ', 0, 'X', 'Y', ' ', ' '}, "AB"},
    };
    for (const Case& c : cases) {
        DiscoveredModem m;
        m.callSign = "stale";
        ASSERT_TRUE(Decode(Reply(1, 1, c.nine), m));
        EXPECT_EQ(c.expected, m.callSign) << "bytes " << std::string(c.nine.begin(), c.nine.end());
    }
    // The tenth byte never belongs to the call sign, whatever it is.
    Bytes d = Reply(1, 1, Text("ABCDEFGHI"), 0, 40);
    d[32] = 'J';
    DiscoveredModem m;
    ASSERT_TRUE(Decode(d, m));
    EXPECT_EQ("ABCDEFGHI", m.callSign);
}

TEST(DiscoveryDecode, LengthAndMagic) {
    DiscoveredModem m;
    const Bytes full = Reply(7, 3001, Text("X"));
    EXPECT_FALSE(DecodeDiscoveryReply(full.data(), 31, m));
    EXPECT_FALSE(DecodeDiscoveryReply(full.data(), 0, m));
    EXPECT_TRUE(DecodeDiscoveryReply(full.data(), 32, m));
    EXPECT_EQ(3001, m.port);

    for (std::size_t i = 0; i < 4; ++i) {
        Bytes wrong = full;
        wrong[i] ^= 0x20;  // "qDSC", "QdSC", ...: case matters too
        EXPECT_FALSE(Decode(wrong, m)) << "magic byte " << i;
    }

    // Whatever follows the 32nd byte never changes the record.
    Bytes longer = Reply(7, 3001, Text("X"), 9, 256);
    std::fill(longer.begin() + 32, longer.end(), 0xFF);
    DiscoveredModem a, b;
    ASSERT_TRUE(Decode(longer, a));
    ASSERT_TRUE(Decode(Reply(7, 3001, Text("X"), 9, 32), b));
    EXPECT_EQ(a.serialNumber, b.serialNumber);
    EXPECT_EQ(a.port, b.port);
    EXPECT_EQ(a.statusByte, b.statusByte);
    EXPECT_EQ(a.callSign, b.callSign);
}

TEST(DiscoveryDecode, KeyIsAddressColonDecimalPort) {
    DiscoveredModem m;
    m.address = "192.168.1.20";
    m.port = 3000;
    EXPECT_EQ("192.168.1.20:3000", DiscoveryKey(m));
    m.address = "10.0.0.5";
    m.port = 7;
    EXPECT_EQ("10.0.0.5:7", DiscoveryKey(m));
    m.port = 65535;
    EXPECT_EQ("10.0.0.5:65535", DiscoveryKey(m));
}

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return (a << 24) | (b << 16) | (c << 8) | d; }

TEST(DiscoveryDestinations, DirectedBroadcastPerSubnetOnce) {
    EXPECT_EQ(std::vector<std::uint32_t>{Ip(192, 168, 1, 255)},
              BroadcastDestinations(true, {{Ip(192, 168, 1, 7), Ip(255, 255, 255, 0)}}));
    EXPECT_EQ(std::vector<std::uint32_t>{Ip(10, 255, 255, 255)},
              BroadcastDestinations(true, {{Ip(10, 1, 2, 3), Ip(255, 0, 0, 0)}}));

    // Two interfaces in one subnet share their broadcast address; order is the order of the list.
    const std::vector<std::uint32_t> expected = {Ip(198, 18, 1, 255), Ip(198, 18, 2, 255)};
    EXPECT_EQ(expected, BroadcastDestinations(true, {{Ip(198, 18, 1, 1), Ip(255, 255, 255, 0)},
                                                     {Ip(127, 0, 0, 1), Ip(255, 0, 0, 0)},
                                                     {Ip(198, 18, 2, 1), Ip(255, 255, 255, 0)},
                                                     {Ip(198, 18, 1, 2), Ip(255, 255, 255, 0)}}));
}

TEST(DiscoveryDestinations, LimitedBroadcastWhenNothingElse) {
    const std::vector<std::uint32_t> limited = {0xFFFFFFFFu};
    EXPECT_EQ(limited, BroadcastDestinations(true, {}));
    EXPECT_EQ(limited, BroadcastDestinations(true, {{Ip(127, 0, 0, 1), Ip(255, 0, 0, 0)}}));
    EXPECT_EQ(limited, BroadcastDestinations(false, {{Ip(192, 168, 1, 7), Ip(255, 255, 255, 0)}}));
    // Only 127.0.0.1 itself is left out; another loopback address is an interface like any other.
    EXPECT_EQ(std::vector<std::uint32_t>{Ip(127, 255, 255, 255)},
              BroadcastDestinations(true, {{Ip(127, 0, 0, 2), Ip(255, 0, 0, 0)}}));
}

TEST(DiscoveryDestinations, AtMostSixtyFourInterfaces) {
    std::vector<InterfaceAddress> many;
    for (unsigned i = 0; i < 70; ++i) many.push_back({Ip(10, i, 0, 1), Ip(255, 255, 0, 0)});
    const std::vector<std::uint32_t> got = BroadcastDestinations(true, many);
    ASSERT_EQ(64u, got.size());
    EXPECT_EQ(Ip(10, 63, 255, 255), got.back());
}

TEST(DiscoveryWait, WholeMillisecondsNeverBelowOne) {
    using std::chrono::microseconds;
    EXPECT_EQ(1u, DiscoveryWaitMs(microseconds(0)));
    EXPECT_EQ(1u, DiscoveryWaitMs(microseconds(-5000)));
    EXPECT_EQ(1u, DiscoveryWaitMs(microseconds(999)));
    EXPECT_EQ(1u, DiscoveryWaitMs(microseconds(1999)));
    EXPECT_EQ(2u, DiscoveryWaitMs(microseconds(2000)));
    EXPECT_EQ(999u, DiscoveryWaitMs(microseconds(999999)));
    EXPECT_EQ(1000u, DiscoveryWaitMs(microseconds(1000000)));
}

// --- The loop over a scripted socket: time passes only inside Wait. ---

MonotonicClock::time_point g_now;
MonotonicClock::time_point FakeNow() { return g_now; }

struct Datagram {
    long long atMs;
    Bytes data;
    std::string source;
};

struct Send {
    long long atMs;
    std::uint32_t address;
    Bytes data;
};

class ScriptedSocket : public DiscoverySocket {
public:
    OpenResult openResult = OpenResult::Ok;
    bool listed = true;
    std::vector<InterfaceAddress> interfaces = {{Ip(198, 18, 1, 1), Ip(255, 255, 255, 0)}};
    std::deque<Datagram> incoming;
    long long failWaitAtMs = -1;
    unsigned long failCode = kWsaEnetdown;

    std::vector<Send> sends;
    std::vector<unsigned int> waits;
    bool open = false;
    bool everOpened = false;
    long long closedAtMs = -1;

    long long Elapsed() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(g_now - start_).count();
    }

    OpenResult Open() override {
        start_ = g_now;
        if (openResult == OpenResult::Ok) open = everOpened = true;
        // The real layer creates the socket before a bind can fail, so that one is open until closed.
        if (openResult == OpenResult::BindFailed) open = everOpened = true;
        return openResult;
    }
    bool ListInterfaces(std::vector<InterfaceAddress>& out) override {
        EXPECT_TRUE(open);
        out = interfaces;
        return listed;
    }
    void SendTo(std::uint32_t address, const unsigned char* data, std::size_t length) override {
        EXPECT_TRUE(open);
        sends.push_back({Elapsed(), address, Bytes(data, data + length)});
    }
    WaitResult Wait(unsigned int ms, unsigned long& code) override {
        EXPECT_TRUE(open);
        waits.push_back(ms);
        if (failWaitAtMs >= 0 && Elapsed() >= failWaitAtMs) {
            code = failCode;
            return WaitResult::Failed;
        }
        if (!incoming.empty() && incoming.front().atMs <= Elapsed() + ms) {
            g_now = std::max(g_now, start_ + std::chrono::milliseconds(incoming.front().atMs));
            return WaitResult::Ready;
        }
        g_now += std::chrono::milliseconds(ms);
        return WaitResult::Nothing;
    }
    int Receive(unsigned char* buffer, std::size_t capacity, std::string& source) override {
        EXPECT_TRUE(open);
        if (incoming.empty()) return -1;
        Datagram d = incoming.front();
        incoming.pop_front();
        // Like the real read: a longer datagram is cut to the buffer.
        const std::size_t n = std::min(capacity, d.data.size());
        std::memcpy(buffer, d.data.data(), n);
        source = d.source;
        return static_cast<int>(n);
    }
    void Close() override {
        if (open) closedAtMs = Elapsed();
        open = false;
    }

private:
    MonotonicClock::time_point start_;
};

class DiscoveryLoop : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = MonotonicClock::time_point(std::chrono::hours(1));
        SetMonotonicSourceForTesting(&FakeNow);
    }
    void TearDown() override { SetMonotonicSourceForTesting(nullptr); }

    std::vector<long long> SendTimes() const {
        std::vector<long long> t;
        for (const Send& s : socket.sends) t.push_back(s.atMs);
        return t;
    }

    ScriptedSocket socket;
    std::string error = "untouched";
};

TEST_F(DiscoveryLoop, ProbesAtOnceThenEverySecondUntilTheDeadline) {
    const auto result = RunDiscovery(socket, 2000, error);
    EXPECT_TRUE(result.empty());
    EXPECT_EQ("untouched", error);
    EXPECT_EQ((std::vector<long long>{0, 1000}), SendTimes());
    for (const Send& s : socket.sends) {
        EXPECT_EQ(Ip(198, 18, 1, 255), s.address);
        EXPECT_EQ(Text("QDSC"), s.data);
    }
    EXPECT_EQ(2000, socket.closedAtMs);
    ASSERT_FALSE(socket.waits.empty());
    for (unsigned int w : socket.waits) {
        EXPECT_GE(w, 1u);
        EXPECT_LE(w, 1000u);
    }

    ScriptedSocket longer;
    std::string e2;
    RunDiscovery(longer, 2500, e2);
    std::vector<long long> times;
    for (const Send& s : longer.sends) times.push_back(s.atMs);
    EXPECT_EQ((std::vector<long long>{0, 1000, 2000}), times);
    EXPECT_EQ(2500, longer.closedAtMs);
}

TEST_F(DiscoveryLoop, CancelEndsThePassWithinAQuarterSecond) {
    std::atomic<bool> cancel{false};
    struct CancelAt : ScriptedSocket {
        std::atomic<bool>* cancel = nullptr;
        WaitResult Wait(unsigned int ms, unsigned long& code) override {
            if (Elapsed() >= 400) cancel->store(true);
            return ScriptedSocket::Wait(ms, code);
        }
    } cancelling;
    cancelling.incoming.push_back({300, Reply(0x1234, 3000, Text("ALPHA")), "198.18.1.7"});
    cancelling.cancel = &cancel;
    const auto result = RunDiscovery(cancelling, 10000, error, &cancel);
    EXPECT_EQ(result.size(), 1u) << "what came before the cancel is kept";
    EXPECT_LE(cancelling.closedAtMs, 400 + 250);
}

TEST_F(DiscoveryLoop, EveryDestinationOncePerSend) {
    socket.interfaces = {{Ip(198, 18, 1, 1), Ip(255, 255, 255, 0)},
                         {Ip(198, 18, 1, 2), Ip(255, 255, 255, 0)},
                         {Ip(198, 18, 2, 1), Ip(255, 255, 255, 0)}};
    RunDiscovery(socket, 1500, error);
    std::vector<std::pair<long long, std::uint32_t>> got;
    for (const Send& s : socket.sends) got.emplace_back(s.atMs, s.address);
    const std::vector<std::pair<long long, std::uint32_t>> expected = {
        {0, Ip(198, 18, 1, 255)}, {0, Ip(198, 18, 2, 255)}, {1000, Ip(198, 18, 1, 255)}, {1000, Ip(198, 18, 2, 255)}};
    EXPECT_EQ(expected, got);
}

TEST_F(DiscoveryLoop, NoInterfaceListMeansLimitedBroadcast) {
    socket.listed = false;
    RunDiscovery(socket, 500, error);
    ASSERT_EQ(1u, socket.sends.size());
    EXPECT_EQ(0xFFFFFFFFu, socket.sends[0].address);
    EXPECT_EQ("untouched", error);
}

TEST_F(DiscoveryLoop, ZeroTimeoutSendsNothing) {
    const auto result = RunDiscovery(socket, 0, error);
    EXPECT_TRUE(result.empty());
    EXPECT_TRUE(socket.sends.empty());
    EXPECT_TRUE(socket.waits.empty());
    EXPECT_EQ("untouched", error);
    EXPECT_FALSE(socket.open);
}

TEST_F(DiscoveryLoop, RepliesBecomeRecordsFirstReplyPerKeyWins) {
    socket.incoming = {
        {10, Reply(1, 3000, Text("FIRST"), 1), "198.18.1.11"},
        {20, Reply(2, 3001, Text("OTHER"), 2), "198.18.1.11"},      // same address, other port
        {30, Cut(Reply(3, 3000, Text("SHORT")), 31), "198.18.1.13"},
        {40, WrongMagic(Reply(4, 3000, Text("MAGIC"))), "198.18.1.14"},
        {50, Reply(5, 3000, Text("NOSOURCE")), ""},
        {1010, Reply(9, 3000, Text("SECOND"), 9), "198.18.1.11"},   // the same modem answering the 2nd probe
        {1020, Reply(6, 3000, Text("EXACT")), "198.18.1.15"},
        {1030, Reply(7, 3000, Text("LONG"), 0, 300), "198.18.2.10"},
    };
    const auto result = RunDiscovery(socket, 2000, error);
    EXPECT_EQ("untouched", error);
    ASSERT_EQ(4u, result.size());
    EXPECT_EQ("198.18.1.11:3000", DiscoveryKey(result[0]));
    EXPECT_EQ("FIRST", result[0].callSign);
    EXPECT_EQ(1u, result[0].serialNumber);
    EXPECT_EQ(1, result[0].statusByte);
    EXPECT_EQ("198.18.1.11:3001", DiscoveryKey(result[1]));
    EXPECT_EQ("OTHER", result[1].callSign);
    EXPECT_EQ("198.18.1.15:3000", DiscoveryKey(result[2]));
    EXPECT_EQ("198.18.2.10:3000", DiscoveryKey(result[3]));
    EXPECT_EQ("LONG", result[3].callSign);
    EXPECT_TRUE(socket.incoming.empty());
    EXPECT_EQ(2000, socket.closedAtMs);
}

TEST_F(DiscoveryLoop, SocketFailuresGiveTheirTexts) {
    socket.openResult = DiscoverySocket::OpenResult::CreateFailed;
    EXPECT_TRUE(RunDiscovery(socket, 2000, error).empty());
    EXPECT_EQ("Cannot create discovery socket", error);
    EXPECT_TRUE(socket.sends.empty());

    ScriptedSocket unbound;
    unbound.openResult = DiscoverySocket::OpenResult::BindFailed;
    std::string e2;
    EXPECT_TRUE(RunDiscovery(unbound, 2000, e2).empty());
    EXPECT_EQ("Cannot bind discovery socket", e2);
    EXPECT_TRUE(unbound.sends.empty());
    EXPECT_FALSE(unbound.open);
}

TEST_F(DiscoveryLoop, WaitFailureKeepsWhatWasFound) {
    socket.incoming = {{100, Reply(1, 3000, Text("KEPT")), "198.18.1.10"}};
    socket.failWaitAtMs = 1000;  // the wait right after the second probe
    const auto result = RunDiscovery(socket, 5000, error);
    EXPECT_EQ("Modem discovery receive failed: " + WindowsError(kWsaEnetdown), error);
    ASSERT_EQ(1u, result.size());
    EXPECT_EQ("KEPT", result[0].callSign);
    EXPECT_EQ(1000, socket.closedAtMs);
    EXPECT_EQ(2u, socket.sends.size());
}

}  // namespace
