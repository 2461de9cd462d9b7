// Tests of the Telnet link over loopback TCP against a scripted peer: bytes on the wire, answers, failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "support/LoopbackPeer.h"
#include "support/ThreadInterrupter.h"
#include "support/Watchdog.h"
#include "transport/SendLimit.h"
#include "transport/Socket.h"
#include "transport/SystemError.h"
#include "transport/Transport.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kNotConnected[] = "Telnet link is not connected";
const char kAnswersUnread[] = "Telnet send failed: the modem does not read the answers to its option requests";

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A loopback port with nobody listening on it: taken from the system, then given back.
unsigned short ClosedLoopbackPort() {
    LoopbackPeer probe;
    if (!probe.Listen()) return 0;
    const unsigned short port = probe.Port();
    probe.StopListening();
    return port;
}

class TelnetLink : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Listen());
        link = CreateTelnetTransport("127.0.0.1", peer.Port());
    }

    void Connect() {
        std::string error;
        ASSERT_TRUE(link->Open(error)) << error;
        ASSERT_TRUE(peer.Accept());
    }

    // Sends go through `hook` until the test ends; then the peer asks for an option, and the link's answer
    // finds no room and waits in the link.
    void QueueAnAnswerBehind(std::function<long(SocketHandle, const unsigned char*, size_t)> hook) {
        SetSocketSendHookForTesting(std::move(hook));
        hooked = true;
        ASSERT_TRUE(peer.Send(PeerBytes({255, 253, 3})));
        unsigned char buffer[16];
        std::string error;
        ASSERT_EQ(link->Read(buffer, sizeof buffer, 1000, error), 0) << error;
    }
    void TearDown() override {
        if (hooked) SetSocketSendHookForTesting(nullptr);
    }
    bool hooked = false;

    // Reads until `count` data bytes have arrived; stops early on a failure or after timeoutMs.
    Bytes ReadData(size_t count, unsigned int timeoutMs = 5000) {
        Bytes data;
        const Clock::time_point start = Clock::now();
        unsigned char buffer[4096];
        while (data.size() < count && MsSince(start) < timeoutMs) {
            std::string error;
            const int n = link->Read(buffer, sizeof buffer, 200, error);
            if (n < 0) {
                ADD_FAILURE() << "Read failed: " << error;
                break;
            }
            data.insert(data.end(), buffer, buffer + n);
        }
        return data;
    }

    LoopbackPeer peer;
    std::unique_ptr<ITransport> link;
};

TEST(TelnetTransport, DescriptionIsHostColonPortAsGiven) {
    EXPECT_EQ(CreateTelnetTransport("192.0.2.7", 3000)->Description(), "192.0.2.7:3000");
    EXPECT_EQ(CreateTelnetTransport("::1", 23)->Description(), "::1:23");
    EXPECT_EQ(CreateTelnetTransport("modem-7.example", 65535)->Description(), "modem-7.example:65535");
}

TEST(TelnetTransport, UnopenedLinkRefusesReadAndWrite) {
    auto link = CreateTelnetTransport("127.0.0.1", 3000);
    unsigned char buffer[16];
    std::string error = "earlier text";
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 0, error), -1);
    EXPECT_EQ(error, kNotConnected);

    error.clear();
    EXPECT_FALSE(link->Write(buffer, 0, error));  // even an empty write needs an open link
    EXPECT_EQ(error, kNotConnected);
    error.clear();
    EXPECT_FALSE(link->Write(buffer, 1, error));
    EXPECT_EQ(error, kNotConnected);

    link->Close();
    link->Close();
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 0, error), -1);
}

TEST_F(TelnetLink, OpenSendsNothingAndAnEmptyWriteStaysEmpty) {
    Connect();
    EXPECT_TRUE(peer.ReceiveUntilQuiet(200).empty()) << "the client must never start negotiating";

    std::string error = "kept";
    const unsigned char x = 'x';
    EXPECT_TRUE(link->Write(&x, 0, error));
    EXPECT_TRUE(link->Write(&x, 1, error));
    EXPECT_EQ(error, "kept");
    EXPECT_EQ(peer.ReceiveUntilQuiet(200), Text("x"));
}

TEST_F(TelnetLink, WriteDoublesEvery255AndLeavesOtherBytesAlone) {
    Connect();
    std::string error;
    const Bytes single = PeerBytes({255});
    ASSERT_TRUE(link->Write(single.data(), single.size(), error)) << error;
    EXPECT_EQ(peer.Receive(2), PeerBytes({255, 255}));

    const Bytes crlf = PeerBytes({13, 10, 0});
    ASSERT_TRUE(link->Write(crlf.data(), crlf.size(), error)) << error;
    EXPECT_EQ(peer.Receive(3), crlf);

    const Bytes mixed = PeerBytes({'a', 255, 255, 'b', 255});
    ASSERT_TRUE(link->Write(mixed.data(), mixed.size(), error)) << error;
    EXPECT_EQ(peer.Receive(8), PeerBytes({'a', 255, 255, 255, 255, 'b', 255, 255}));
    EXPECT_TRUE(peer.ReceiveUntilQuiet(100).empty());
}

TEST_F(TelnetLink, OffersAreAnsweredOnTheWireAndStrippedFromData) {
    Connect();
    ASSERT_TRUE(peer.Send(PeerBytes({255, 251, 1,     // WILL echo
                                     255, 253, 24,    // DO terminal type
                                     'h', 'e',
                                     255, 251, 3,     // WILL suppress go-ahead
                                     255, 253, 0,     // DO binary
                                     255, 252, 3,     // WONT: no answer
                                     255, 254, 3,     // DONT: no answer
                                     255, 250, 44, 1, 255, 255, 2, 255, 240,
                                     'l', 255, 255, 'l',
                                     255, 241,        // NOP
                                     255, 253, 44,    // DO COM-port control
                                     'o'})));
    EXPECT_EQ(ReadData(6), PeerBytes({'h', 'e', 'l', 255, 'l', 'o'}));
    EXPECT_EQ(peer.Receive(15), PeerBytes({255, 254, 1, 255, 252, 24, 255, 253, 3, 255, 251, 0, 255, 251, 44}));
    EXPECT_TRUE(peer.ReceiveUntilQuiet(200).empty()) << "refusals must not be answered";
}

TEST_F(TelnetLink, ProtocolOnlyReceiveReturnsZeroWithoutWaitingOut) {
    Connect();
    ASSERT_TRUE(peer.Send(PeerBytes({255, 251, 3})));
    unsigned char buffer[64];
    std::string error = "kept";
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 60000, error), 0);
    EXPECT_LT(MsSince(start), 30000) << "returned only when the timeout ran out";
    EXPECT_EQ(error, "kept");
    EXPECT_EQ(peer.Receive(3), PeerBytes({255, 253, 3}));
}

TEST_F(TelnetLink, NegotiationSplitOverTwoReceivesIsRecognised) {
    Connect();
    unsigned char buffer[64];
    std::string error;
    ASSERT_TRUE(peer.Send(PeerBytes({'A', 255})));
    EXPECT_EQ(ReadData(1), Text("A"));
    ASSERT_TRUE(peer.Send(PeerBytes({253, 3, 'B'})));
    EXPECT_EQ(ReadData(1), Text("B"));
    EXPECT_EQ(peer.Receive(3), PeerBytes({255, 251, 3}));
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 0, error), 0);
}

TEST_F(TelnetLink, ReadReturnsWhatIsThereWithoutFillingTheBuffer) {
    Connect();
    unsigned char buffer[65536];
    std::string error = "kept";
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 0, error), 0);

    ASSERT_TRUE(peer.Send(Text("z")));
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 10000, error), 1);
    EXPECT_EQ(buffer[0], 'z');
    EXPECT_EQ(error, "kept");

    const Clock::time_point start = Clock::now();
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 150, error), 0);
    EXPECT_GE(MsSince(start), 100) << "returned before its timeout with nothing to hand out";
    EXPECT_EQ(error, "kept");
}

TEST_F(TelnetLink, QueuedBytesComeFirstThenTheClosedConnectionIsReported) {
    Connect();
    ASSERT_TRUE(peer.Send(Text("0123456789")));
    peer.CloseClient();

    unsigned char buffer[4];
    std::string error;
    ASSERT_EQ(link->Read(buffer, 4, 5000, error), 4) << error;
    EXPECT_EQ(Bytes(buffer, buffer + 4), Text("0123"));
    // What one receive delivered waits in the queue and comes out even with timeout 0.
    ASSERT_EQ(link->Read(buffer, 4, 0, error), 4) << error;
    EXPECT_EQ(Bytes(buffer, buffer + 4), Text("4567"));
    ASSERT_EQ(link->Read(buffer, 4, 0, error), 2) << error;
    EXPECT_EQ(Bytes(buffer, buffer + 2), Text("89"));

    EXPECT_EQ(link->Read(buffer, 4, 5000, error), -1);
    EXPECT_EQ(error, "The modem closed the Telnet connection");
    EXPECT_EQ(link->Read(buffer, 4, 0, error), -1);
    EXPECT_EQ(error, kNotConnected);
    error.clear();
    EXPECT_FALSE(link->Write(buffer, 1, error));
    EXPECT_EQ(error, kNotConnected);
}

TEST_F(TelnetLink, CloseEndsTheConnectionForThePeer) {
    Connect();
    ASSERT_TRUE(peer.Send(Text("abc")));
    unsigned char buffer[8];
    std::string error;
    ASSERT_EQ(link->Read(buffer, 1, 5000, error), 1) << error;
    link->Close();
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 0, error), -1);
    EXPECT_EQ(error, kNotConnected);
    EXPECT_TRUE(peer.WaitForClientClose());
}

TEST_F(TelnetLink, WriteToAVanishedPeerFailsAndClosesTheLink) {
    Connect();
    peer.CloseClient();
    const Bytes chunk(1024, 'w');
    std::string error;
    bool failed = false;
    // The first writes may still be accepted locally; the peer's reset makes a later one fail.
    for (int attempt = 0; attempt < 500 && !failed; ++attempt) {
        failed = !link->Write(chunk.data(), chunk.size(), error);
        if (!failed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(failed);
    EXPECT_EQ(error.rfind("Telnet send failed: ", 0), 0u) << error;
    EXPECT_GT(error.size(), std::string("Telnet send failed: ").size());
    EXPECT_FALSE(link->Write(chunk.data(), 1, error));
    EXPECT_EQ(error, kNotConnected);
}

TEST_F(TelnetLink, OpenOnAnOpenLinkDropsTheOldConnectionAndItsInput) {
    Connect();
    ASSERT_TRUE(peer.Send(Text("old data")));
    unsigned char buffer[64];
    std::string error;
    ASSERT_EQ(link->Read(buffer, 1, 5000, error), 1) << error;  // the rest waits in the queue

    ASSERT_TRUE(link->Open(error)) << error;
    EXPECT_TRUE(peer.WaitForClientClose()) << "the first connection is still open";
    ASSERT_TRUE(peer.Accept());
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 0, error), 0) << "input of the old connection survived";
    ASSERT_TRUE(peer.Send(Text("new")));
    EXPECT_EQ(ReadData(3), Text("new"));
}

TEST_F(TelnetLink, ParserStartsAfreshOnANewConnection) {
    Connect();
    ASSERT_TRUE(peer.Send(PeerBytes({'x', 255, 250, 1})));  // leaves a subnegotiation open
    EXPECT_EQ(ReadData(1), Text("x"));
    std::string error;
    ASSERT_TRUE(link->Open(error)) << error;
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(peer.Send(Text("fresh")));
    EXPECT_EQ(ReadData(5), Text("fresh"));
}

TEST_F(TelnetLink, LargeTransfersKeepEveryByteBothWays) {
    Connect();
    std::mt19937 random(99);
    std::uniform_int_distribution<int> byte(0, 255);
    const size_t size = 1 << 20;
    Bytes outgoing(size);
    Bytes incoming(size);
    for (unsigned char& b : outgoing) b = static_cast<unsigned char>(byte(random) < 32 ? 255 : byte(random));
    for (unsigned char& b : incoming) b = static_cast<unsigned char>(byte(random) < 32 ? 255 : byte(random));

    Bytes expectedWire;
    for (unsigned char b : outgoing) {
        expectedWire.push_back(b);
        if (b == 255) expectedWire.push_back(255);
    }
    Bytes incomingWire;
    for (size_t i = 0; i < incoming.size(); ++i) {
        if (i % 100000 == 50000) {
            for (int v : {255, 251, 3, 255, 250, 24, 0, 255, 240}) incomingWire.push_back(static_cast<unsigned char>(v));
        }
        incomingWire.push_back(incoming[i]);
        if (incoming[i] == 255) incomingWire.push_back(255);
    }

    Bytes wireSeen;
    bool peerSent = false;
    std::thread peerSide([&] {
        wireSeen = peer.Receive(expectedWire.size(), 30000);
        peerSent = peer.Send(incomingWire);
    });
    std::string error;
    const bool written = link->Write(outgoing.data(), outgoing.size(), error);

    Bytes received;
    std::uniform_int_distribution<size_t> capacity(1, 12000);
    std::vector<unsigned char> buffer(12000);
    const Clock::time_point start = Clock::now();
    while (received.size() < incoming.size() && MsSince(start) < 30000) {
        const int n = link->Read(buffer.data(), capacity(random), 200, error);
        if (n < 0) break;
        received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    }
    peerSide.join();

    ASSERT_TRUE(written) << error;
    EXPECT_TRUE(peerSent);
    EXPECT_TRUE(wireSeen == expectedWire) << "wire form differs (" << wireSeen.size() << " of "
                                          << expectedWire.size() << " bytes)";
    EXPECT_TRUE(received == incoming) << "data differs (" << received.size() << " bytes read)";
    // The ten offers of WILL suppress go-ahead were all answered.
    Bytes answers = peer.Receive(30);
    EXPECT_EQ(answers.size(), 30u);
    for (size_t i = 0; i + 2 < answers.size(); i += 3) {
        EXPECT_EQ(Bytes(answers.begin() + i, answers.begin() + i + 3), PeerBytes({255, 253, 3}));
    }
}

TEST_F(TelnetLink, WriteToAPeerThatReadsNothingFailsOnceNothingMovedForTheLimit) {
    link = CreateTelnetTransportWithSendLimit("127.0.0.1", peer.Port(), 300);
    ASSERT_TRUE(peer.LimitReceiveBuffer(8192));
    Connect();
    // Far more than the socket buffers of both ends hold, so that the peer's silence stops the send.
    const Bytes big(8u << 20, 'x');
    std::string error;
    bool written;
    long long elapsed;
    {
        // Closing with unread data resets the connection, which ends a send that hangs.
        Watchdog watchdog(20000, [this] { peer.CloseClient(); });
        const unsigned long signalsBefore = ThreadInterrupter::Delivered();
        ThreadInterrupter interrupts;  // waits cut short by signals must not start the limit afresh
        const Clock::time_point start = Clock::now();
        written = link->Write(big.data(), big.size(), error);
        elapsed = MsSince(start);
        if (ThreadInterruptsAvailable()) {
            EXPECT_GT(ThreadInterrupter::Delivered(), signalsBefore);
        }
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(error, "Telnet send failed: the modem took no data for 300 ms");
    EXPECT_LT(elapsed, 5000);
    // The link closed as after any send failure.
    EXPECT_FALSE(link->Write(big.data(), 1, error));
    EXPECT_EQ(error, kNotConnected);
    EXPECT_TRUE(peer.WaitForClientClose());
}

// The cancel flag the link was made with ends a read of a silent modem and a send to a modem that reads
// nothing well before their own bounds; bytes that already arrived still come out, and so does one ESC.
TEST_F(TelnetLink, CancelEndsAReadAndABlockedSendButLetsAnEscOut) {
    std::atomic<bool> cancel{false};
    link = CreateTelnetTransportWithSendLimit("127.0.0.1", peer.Port(), 60000, &cancel);
    ASSERT_TRUE(peer.LimitReceiveBuffer(8192));
    Connect();
    unsigned char buffer[16];
    std::string error;
    Clock::time_point start = Clock::now();
    {
        Watchdog canceller(200, [&cancel] { cancel = true; });
        EXPECT_EQ(link->Read(buffer, sizeof buffer, 60000, error), -1);
    }
    EXPECT_EQ(link->LastFailure(), LinkFailure::Cancelled);
    EXPECT_LT(MsSince(start), 1200);

    ASSERT_TRUE(peer.Send("abc"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 60000, error), 3);
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 60000, error), -1);
    const unsigned char esc = 0x1B;
    EXPECT_TRUE(link->Write(&esc, 1, error)) << error;
    EXPECT_EQ(peer.Receive(1), PeerBytes({0x1B}));

    cancel = false;
    const Bytes big(8u << 20, 'x');
    bool written;
    {
        Watchdog hang(20000, [this] { peer.CloseClient(); });
        Watchdog canceller(300, [&cancel] { cancel = true; });
        start = Clock::now();
        written = link->Write(big.data(), big.size(), error);
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(link->LastFailure(), LinkFailure::Cancelled);
    EXPECT_LT(MsSince(start), 1300);
}

TEST_F(TelnetLink, FloodedOptionRequestsNeverHoldAReadAndFailTheLinkOnceTheirAnswersPileUp) {
    ASSERT_TRUE(peer.LimitReceiveBuffer(8192));
    Connect();
    // Requests without end, with a data byte after every thousand; the peer reads none of the answers.
    Bytes flood;
    for (int i = 0; i < 1000; ++i) {
        flood.insert(flood.end(), {255, static_cast<unsigned char>(i % 2 == 0 ? 253 : 251), static_cast<unsigned char>(i)});
    }
    flood.push_back('d');
    std::thread modem([&] {
        for (int round = 0; round < 20000 && peer.Send(flood); ++round) {
        }
    });
    Watchdog watchdog(20000, [this] {
        peer.ShutdownClient();  // wakes the flooding thread first
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        peer.CloseClient();  // unread data: the reset ends a send that hangs
    });

    unsigned char buffer[64];
    std::string error;
    size_t data = 0;
    bool otherData = false;
    long long longestRead = 0;
    int n = 0;
    const Clock::time_point start = Clock::now();
    while (MsSince(start) < 30000) {
        const Clock::time_point before = Clock::now();
        n = link->Read(buffer, sizeof buffer, 250, error);
        longestRead = std::max(longestRead, MsSince(before));
        if (n < 0) break;
        data += static_cast<size_t>(n);
        otherData = otherData || std::any_of(buffer, buffer + n, [](unsigned char b) { return b != 'd'; });
    }
    EXPECT_EQ(n, -1);
    EXPECT_EQ(error, kAnswersUnread);
    EXPECT_LT(longestRead, 2000) << "a read was held far past its 250 ms";
    EXPECT_GT(data, 0u) << "the data between the requests never arrived";
    EXPECT_FALSE(otherData) << "protocol bytes leaked into the data";
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 0, error), -1);
    EXPECT_EQ(error, kNotConnected);
    modem.join();  // its sends fail once the link has closed
}

TEST_F(TelnetLink, AnswersThatWaitedKeepTheFullStallLimitAfterTheSocketTakesAByte) {
    link = CreateTelnetTransportWithSendLimit("127.0.0.1", peer.Port(), 2000);
    Connect();
    // The socket stands in for a modem that reads slowly: it takes nothing at first, then one byte, then
    // nothing again for 1.2 s (less than the limit), then everything.
    enum class Phase { Full, OneByte, Paused, Open };
    Phase phase = Phase::Full;
    Clock::time_point pausedAt;
    Bytes takenByHook;
    QueueAnAnswerBehind([&](SocketHandle, const unsigned char* data, size_t) -> long {
        switch (phase) {
        case Phase::OneByte:
            takenByHook.push_back(data[0]);
            phase = Phase::Paused;
            pausedAt = Clock::now();
            return 1;
        case Phase::Paused:
            if (MsSince(pausedAt) >= 1200) {
                phase = Phase::Open;
                return kSocketSendAsUsual;
            }
            [[fallthrough]];
        case Phase::Full:
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            return kSocketNotReady;
        case Phase::Open:
            break;
        }
        return kSocketSendAsUsual;
    });
    std::string error;
    // The answer has waited 1.4 s of its 2 s when the write comes; after its first byte the limit starts
    // afresh from that byte, so the 1.2 s pause that follows is no stall.
    std::this_thread::sleep_for(std::chrono::milliseconds(1400));
    phase = Phase::OneByte;
    const bool written = link->Write(Text("x").data(), 1, error);
    EXPECT_TRUE(written) << error;
    EXPECT_EQ(phase, Phase::Open);
    Bytes wire = takenByHook;
    const Bytes rest = peer.Receive(3);
    wire.insert(wire.end(), rest.begin(), rest.end());
    EXPECT_EQ(wire, PeerBytes({255, 251, 3, 'x'}));
}

TEST_F(TelnetLink, AnswersThatWaitedFailAWriteWithinWhatIsLeftOfTheirStallLimit) {
    link = CreateTelnetTransportWithSendLimit("127.0.0.1", peer.Port(), 3000);
    Connect();
    // A socket that takes nothing.
    QueueAnAnswerBehind([](SocketHandle, const unsigned char*, size_t) -> long {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return kSocketNotReady;
    });
    std::string error;
    // The answer has waited 2.4 s of its 3 s: the write behind it fails within the 0.6 s left, not 3 s on.
    std::this_thread::sleep_for(std::chrono::milliseconds(2400));
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(link->Write(Text("x").data(), 1, error));
    EXPECT_LT(MsSince(start), 1800);
    EXPECT_EQ(error, "Telnet send failed: the modem took no data for 3 seconds");
}

TEST_F(TelnetLink, AnswersWaitingForRoomGoOutBeforeDataWrittenLater) {
    ASSERT_TRUE(peer.LimitReceiveBuffer(8192));
    Connect();
    // Batches of requests, each ended by a marker that the test answers by writing one byte; the next batch
    // follows that byte. The peer reads nothing for the first second, so the answers fill the socket and
    // then wait in the link while the written bytes queue up behind them.
    constexpr int kBatches = 6000;
    constexpr int kPerBatch = 100;
    std::vector<Bytes> batches(kBatches);
    Bytes expected;
    for (int b = 0; b < kBatches; ++b) {
        for (int i = 0; i < kPerBatch; ++i) {
            const unsigned char option = static_cast<unsigned char>((b * kPerBatch + i) % 256);
            const bool will = (b + i) % 2 == 0;
            batches[b].insert(batches[b].end(), {255, static_cast<unsigned char>(will ? 251 : 253), option});
            const bool accepted = option == 0 || option == 3 || option == 44;
            const unsigned char answer = will ? (accepted ? 253 : 254) : (accepted ? 251 : 252);
            expected.insert(expected.end(), {255, answer, option});
        }
        batches[b].push_back('M');
        expected.push_back(static_cast<unsigned char>('a' + b % 26));
    }
    std::mutex mutex;
    std::condition_variable written;
    int answered = 0;
    bool sent = true;
    Bytes seen;
    std::thread modemSends([&] {
        for (int b = 0; b < kBatches && sent; ++b) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (!written.wait_for(lock, std::chrono::seconds(20), [&] { return answered >= b; })) break;
            }
            sent = peer.Send(batches[b]);
        }
    });
    std::thread modemReads([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        seen = peer.Receive(expected.size(), 60000);
    });

    unsigned char buffer[512];
    std::string error;
    bool ok = true;
    for (int b = 0; b < kBatches && ok; ++b) {
        bool marker = false;
        const Clock::time_point start = Clock::now();
        while (!marker && ok) {
            const int n = link->Read(buffer, sizeof buffer, 250, error);
            ok = n >= 0 && MsSince(start) < 20000;
            marker = n > 0 && std::find(buffer, buffer + n, 'M') != buffer + n;
        }
        const unsigned char reply = static_cast<unsigned char>('a' + b % 26);
        ok = ok && link->Write(&reply, 1, error);
        {
            std::lock_guard<std::mutex> lock(mutex);
            answered = b + 1;
        }
        written.notify_one();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        answered = kBatches;
    }
    written.notify_one();
    modemSends.join();
    modemReads.join();
    ASSERT_TRUE(ok) << error;
    EXPECT_TRUE(sent);
    ASSERT_EQ(seen.size(), expected.size());
    const auto differs = std::mismatch(seen.begin(), seen.end(), expected.begin());
    EXPECT_TRUE(differs.first == seen.end()) << "wire order differs at byte " << (differs.first - seen.begin());
}

TEST(TelnetTransport, RefusedConnectionReportsTheRefusal) {
    const unsigned short port = ClosedLoopbackPort();
    ASSERT_NE(port, 0);
    auto link = CreateTelnetTransport("127.0.0.1", port);
    std::string error;
    EXPECT_FALSE(link->Open(error));
    // The refusal's own text, not the timeout's: the failed connect was noticed when it happened.
    EXPECT_EQ(error, "Cannot connect to 127.0.0.1:" + std::to_string(port) + ": " + WindowsError(kWsaEconnrefused));
    unsigned char buffer[4];
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 0, error), -1);
    EXPECT_EQ(error, kNotConnected);
}

TEST(TelnetTransport, Ipv6LiteralIsTriedLikeAnyHost) {
    const unsigned short port = ClosedLoopbackPort();
    ASSERT_NE(port, 0);
    auto link = CreateTelnetTransport("::1", port);
    std::string error;
    EXPECT_FALSE(link->Open(error));
    // The literal resolves; whether the host has IPv6 on loopback decides only the reason given.
    const std::string prefix = "Cannot connect to ::1:" + std::to_string(port) + ": ";
    EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
    EXPECT_GT(error.size(), prefix.size());
}

TEST(TelnetTransport, UnresolvableNameReportsTheResolver) {
    // A first label over 63 characters cannot be put into a query, so the resolver refuses the name
    // on this machine without asking any name server.
    const std::string host = std::string(70, 'q') + ".invalid";
    auto link = CreateTelnetTransport(host, 3000);
    std::string error;
    EXPECT_FALSE(link->Open(error));
    const std::string prefix = "Cannot resolve modem address: ";
    EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
    EXPECT_GT(error.size(), prefix.size());
    unsigned char buffer[4];
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 0, error), -1);
    EXPECT_EQ(error, kNotConnected);
}

}  // namespace
