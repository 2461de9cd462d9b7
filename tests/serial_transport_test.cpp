// Serial link tests: closed-port behaviour everywhere, and over a pseudo-terminal the read timing, chunking, exclusivity and line settings.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/SerialPty.h"
#include "support/ThreadInterrupter.h"
#include "support/Watchdog.h"
#include "transport/SendLimit.h"
#include "transport/SerialPacing.h"
#include "transport/Transport.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Pattern(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    return data;
}

// Reads from the link until `count` bytes arrived or a read fails or stays empty for `idleMs`.
std::string ReadAll(ITransport& link, size_t count, unsigned int idleMs, size_t capacity, size_t& largest) {
    std::string out;
    std::vector<unsigned char> buffer(capacity);
    std::string error;
    largest = 0;
    while (out.size() < count) {
        const int n = link.Read(buffer.data(), buffer.size(), idleMs, error);
        if (n <= 0) break;
        largest = std::max(largest, static_cast<size_t>(n));
        out.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n));
    }
    return out;
}

TEST(SerialTransportClosed, ReadAndWriteReportNotConnected) {
    auto link = CreateSerialTransport(L"COM7");
    EXPECT_EQ(link->Description(), "COM7");
    unsigned char buffer[4];
    std::string error = "untouched";
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 0, error), -1);
    EXPECT_EQ(error, "COM port is not connected");
    error.clear();
    const unsigned char byte = 'x';
    EXPECT_FALSE(link->Write(&byte, 1, error));
    EXPECT_EQ(error, "COM port is not connected");
    error.clear();
    EXPECT_FALSE(link->Write(&byte, 0, error));
    EXPECT_EQ(error, "COM port is not connected");
    link->Close();
    link->Close();
    EXPECT_EQ(CreateSerialTransport(L"").get()->Description(), "");
    EXPECT_EQ(CreateSerialTransport(L"COM12", 9600)->Description(), "COM12");
}

TEST(SerialPacing, EachWriteCallFitsItsTimeoutAtTheRateInEffect) {
    for (const unsigned int baud : {300u, 9600u, 115200u, 921600u, 3000000u}) {
        SCOPED_TRACE(baud);
        const std::size_t piece = SerialWritePiece(baud, 65536);
        // A few hundred milliseconds on the wire at most: a full 64 KiB at 115200 baud would take 5.7 s.
        EXPECT_LE(SerialPieceMs(piece, baud), 600u);
        const unsigned int timeout = SerialWriteTimeoutMs(piece, baud, kSendStallLimitMs);
        EXPECT_GE(timeout, SerialPieceMs(piece, baud) + 100) << "a port that keeps up must not time out";
        EXPECT_LE(timeout, baud >= 9600 ? 250u : kSendStallLimitMs) << "a call that ends past a cancel's 250 ms";
    }
    EXPECT_EQ(SerialWritePiece(115200, 65536), 1152u);
    EXPECT_EQ(SerialWritePiece(0, 65536), 65536u) << "unknown rate";
    EXPECT_EQ(SerialWriteTimeoutMs(65536, 115200, 300), 300u) << "never beyond the stall limit";
}

TEST(SerialTransportClosed, MissingPortFailsToOpenAndStaysClosed) {
    auto link = CreateSerialTransport(L"brisklode-no-such-port");
    std::string error;
    ASSERT_FALSE(link->Open(error));
    const std::string prefix = "Cannot open brisklode-no-such-port: ";
    ASSERT_EQ(error.compare(0, prefix.size(), prefix), 0) << error;
    EXPECT_GT(error.size(), prefix.size()) << "the system's reason is missing";
    unsigned char buffer[1];
    EXPECT_EQ(link->Read(buffer, 1, 0, error), -1);
    EXPECT_EQ(error, "COM port is not connected");
}

class SerialPtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string reason;
        if (!pty.Create(reason)) GTEST_SKIP() << reason;
        device = Utf8ToWide(pty.DevicePath());
    }

    std::unique_ptr<ITransport> OpenLink(unsigned int baud = 0) {
        auto link = baud == 0 ? CreateSerialTransport(device) : CreateSerialTransport(device, baud);
        std::string error;
        EXPECT_TRUE(link->Open(error)) << error;
        return link;
    }

    SerialPty pty;
    std::wstring device;
};

TEST_F(SerialPtyTest, ReadWaitsOnlyUntilTheFirstByteOrTheDeadline) {
    auto link = OpenLink();
    unsigned char buffer[65536];
    std::string error = "kept";

    // Nothing waiting and 0 ms: back at once with nothing.
    Clock::time_point start = Clock::now();
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 0, error), 0);
    EXPECT_LT(MsSince(start), 1000);

    // Nothing arriving: 0 after the timeout, not before.
    start = Clock::now();
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 200, error), 0);
    EXPECT_GE(MsSince(start), 180);

    // One byte after ~20 ms under a 5 s timeout: returned then, alone, long before the deadline.
    start = Clock::now();
    std::thread modem([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pty.Send("A");
    });
    const int n = link->Read(buffer, sizeof buffer, 5000, error);
    const long long waited = MsSince(start);
    modem.join();
    ASSERT_EQ(n, 1);
    EXPECT_EQ(buffer[0], 'A');
    EXPECT_GE(waited, 10);
    EXPECT_LT(waited, 2500);

    // Bytes already waiting are returned by a 0 ms read.
    ASSERT_TRUE(pty.Send("xyz"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(link->Read(buffer, sizeof buffer, 0, error), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "xyz");
    EXPECT_EQ(error, "kept");
}

TEST_F(SerialPtyTest, LargeTransfersArriveWholeInChunksOfAtMost64KiB) {
    auto link = OpenLink();
    // Modem to tool: a read with room for 1 MiB never returns more than 65,536 bytes.
    const std::string inbound = Pattern(200000);
    std::thread modem([&] { pty.Send(inbound); });
    size_t largest = 0;
    const std::string got = ReadAll(*link, inbound.size(), 2000, 1 << 20, largest);
    modem.join();
    EXPECT_EQ(got.size(), inbound.size());
    EXPECT_TRUE(got == inbound) << "bytes lost, reordered or translated";
    EXPECT_GT(largest, 0u);
    EXPECT_LE(largest, 65536u);

    // Tool to modem: more than two driver queues' worth in one Write, all of it, in order.
    const std::string outbound = Pattern(300000);
    std::string received;
    std::thread reader([&] { received = pty.Receive(outbound.size(), 10000); });
    std::string error;
    EXPECT_TRUE(link->Write(reinterpret_cast<const unsigned char*>(outbound.data()), outbound.size(), error)) << error;
    reader.join();
    EXPECT_EQ(received.size(), outbound.size());
    EXPECT_TRUE(received == outbound);

    // An empty write on an open port succeeds and sends nothing.
    EXPECT_TRUE(link->Write(reinterpret_cast<const unsigned char*>("z"), 0, error));
    EXPECT_EQ(pty.Receive(1, 200), "");
}

TEST_F(SerialPtyTest, EveryByteValuePassesUntranslated) {
    auto link = OpenLink();
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    all += "\r\n\r\x11\x13\x03\x1a\x7f";
    std::string error;
    ASSERT_TRUE(link->Write(reinterpret_cast<const unsigned char*>(all.data()), all.size(), error)) << error;
    EXPECT_TRUE(pty.Receive(all.size(), 3000) == all) << "output was translated";

    ASSERT_TRUE(pty.Send(all));
    size_t largest = 0;
    EXPECT_TRUE(ReadAll(*link, all.size(), 1000, 4096, largest) == all) << "input was translated or swallowed";
}

TEST_F(SerialPtyTest, PortIsExclusiveWhileOpen) {
    ASSERT_TRUE(pty.HoldTerminal());
    auto first = OpenLink();
    bool exclusive = false;
    ASSERT_TRUE(pty.IsExclusive(exclusive));
    EXPECT_TRUE(exclusive);

    auto second = CreateSerialTransport(device);
    std::string error;
    ASSERT_FALSE(second->Open(error));
    const std::string prefix = "Cannot open " + pty.DevicePath() + ": ";
    ASSERT_EQ(error.compare(0, prefix.size(), prefix), 0) << error;
    EXPECT_GT(error.size(), prefix.size());

    // Opening an open transport again drops its own hold first instead of tripping over it.
    EXPECT_TRUE(first->Open(error)) << error;

    first->Close();
    ASSERT_TRUE(pty.IsExclusive(exclusive));
    EXPECT_FALSE(exclusive) << "exclusive mode left behind on the terminal";
    EXPECT_TRUE(second->Open(error)) << error;
}

TEST_F(SerialPtyTest, LineSettingsAreRaw8N1AndTheRateIsKeptOrSet) {
    ASSERT_TRUE(pty.SetBaud(57600));
    {
        auto link = OpenLink();
        SerialLineSettings s;
        ASSERT_TRUE(pty.Settings(s));
        EXPECT_EQ(s.baud, 57600u);
        EXPECT_TRUE(s.eightBits);
        EXPECT_FALSE(s.parity);
        EXPECT_FALSE(s.twoStopBits);
        EXPECT_FALSE(s.hardwareFlow);
        EXPECT_FALSE(s.softwareFlow);
        EXPECT_FALSE(s.translation);
        EXPECT_FALSE(s.canonical);
        EXPECT_TRUE(s.receiverOn);
        EXPECT_TRUE(s.ignoresModemLines);
    }
    for (unsigned int baud : {115200u, 921600u, 250000u}) {
        auto link = OpenLink(baud);
        SerialLineSettings s;
        ASSERT_TRUE(pty.Settings(s));
        EXPECT_EQ(s.baud, baud);
        EXPECT_TRUE(s.eightBits);
        EXPECT_FALSE(s.hardwareFlow);
    }
}

TEST_F(SerialPtyTest, BytesWaitingBeforeOpenAreDiscarded) {
    // Our own descriptor keeps the terminal's input queue alive between opens.
    ASSERT_TRUE(pty.HoldTerminal());
    ASSERT_TRUE(pty.Send("stale bytes"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto link = OpenLink();
    unsigned char buffer[64];
    std::string error;
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 100, error), 0);
    ASSERT_TRUE(pty.Send("fresh"));
    size_t largest = 0;
    EXPECT_EQ(ReadAll(*link, 5, 1000, sizeof buffer, largest), "fresh");
}

TEST_F(SerialPtyTest, WriteToAPortThatTakesNothingFailsAfterTheLimitAndThePortStaysOpen) {
    auto link = CreateSerialTransportWithSendLimit(device, 0, 300);
    std::string error;
    ASSERT_TRUE(link->Open(error)) << error;
    // The modem side reads nothing: the terminal's buffer fills within the first few KiB.
    const std::string big(1u << 20, 'x');
    bool written;
    long long elapsed;
    {
        Watchdog watchdog(20000, [this] { pty.CloseMaster(); });
        const unsigned long signalsBefore = ThreadInterrupter::Delivered();
        ThreadInterrupter interrupts;  // waits cut short by signals must not start the limit afresh
        const Clock::time_point start = Clock::now();
        written = link->Write(reinterpret_cast<const unsigned char*>(big.data()), big.size(), error);
        elapsed = MsSince(start);
        EXPECT_GT(ThreadInterrupter::Delivered(), signalsBefore);
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(error, "COM write failed: the port took no data for 300 ms");
    EXPECT_LT(elapsed, 5000);
    // Like every serial failure it leaves the port open: what the modem sends still arrives.
    ASSERT_TRUE(pty.Send("ok"));
    unsigned char buffer[8];
    ASSERT_EQ(link->Read(buffer, sizeof buffer, 2000, error), 2) << error;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "ok");
}

TEST_F(SerialPtyTest, FailedReadLeavesThePortOpen) {
    auto link = OpenLink();
    pty.CloseMaster();
    unsigned char buffer[16];
    std::string error;
    ASSERT_EQ(link->Read(buffer, sizeof buffer, 200, error), -1);
    EXPECT_EQ(error.rfind("COM read failed: ", 0), 0u) << error;
    error.clear();
    EXPECT_EQ(link->Read(buffer, sizeof buffer, 0, error), -1);
    EXPECT_EQ(error.rfind("COM read failed: ", 0), 0u) << "the port was closed by the failure: " << error;
}

}  // namespace
