// An in-memory modem link for tests: records every write, serves scripted replies, runs deadlines on a fake clock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "console/Clock.h"
#include "transport/Transport.h"

// Replaces the protocol clock while it lives; time moves only when Advance is called (the scripted link
// does so when a read has nothing to deliver). One at a time.
class FakeClock {
public:
    FakeClock();
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    MonotonicClock::time_point Now() const { return now_; }
    MonotonicClock::time_point Start() const { return start_; }
    void Advance(MonotonicClock::duration by) { now_ += by; }
    // Fake time passed since the clock was installed.
    std::chrono::milliseconds Elapsed() const;

private:
    MonotonicClock::time_point start_;
    MonotonicClock::time_point now_;
};

using Bytes = std::vector<unsigned char>;
Bytes ToBytes(const std::string& text);
std::string ToText(const Bytes& bytes);

// The link. Incoming data is a queue of items (bytes, a read failure, the peer closing) that reads consume
// in order; replies can be queued up front, tied to what the tool writes, or scheduled at a fake time.
class ScriptedTransport : public ITransport {
public:
    // With a clock, a read that has nothing to deliver advances it by its timeout instead of sleeping.
    // Without one, such a read sleeps for real (for short tests that want the system clock).
    explicit ScriptedTransport(FakeClock* clock = nullptr, std::string description = "scripted:1");

    // --- incoming data ---
    // Bytes the modem has sent; available to the next read.
    void Deliver(const Bytes& bytes);
    void Deliver(const std::string& text) { Deliver(ToBytes(text)); }
    // The read that reaches this point in the input fails with `message`.
    void DeliverReadFailure(const std::string& message);
    // The peer closes the link once the input before this point has been read: reads fail with the
    // not-connected message and the link is closed, as a Telnet link does.
    void DeliverPeerClose();

    // When the bytes written since the previous trigger fired contain `trigger`, run `action`.
    // Triggers fire in the order they were added; each fires once.
    void After(const std::string& trigger, std::function<void()> action);
    void After(const Bytes& trigger, std::function<void()> action);
    // Shorthand: after `trigger` is written, deliver `reply`.
    void Reply(const std::string& trigger, const std::string& reply);
    // Called on every successful write with its bytes, after the triggers; for modems that react per frame.
    void OnWrite(std::function<void(const unsigned char* data, std::size_t length)> handler);
    // Runs `action` once the fake clock reaches `at` (measured from the clock's installation); a waiting
    // read is woken at that moment and returns whatever the action delivered.
    void At(std::chrono::milliseconds at, std::function<void()> action);

    // --- delivery shape ---
    // Each read returns at most `n` bytes (0: as much as fits).
    void SetChunkLimit(std::size_t n) { chunkLimit_ = n; }
    // Each read returns between 1 and `max` bytes, drawn from a generator seeded with `seed`.
    void SetRandomChunks(std::uint32_t seed, std::size_t max);

    // --- a slow link ---
    // Written bytes leave for the modem at `bytesPerSecond` of fake time, and QueuedToSend tells how many
    // have not yet. At 0, the default, QueuedToSend says -1: a link that cannot tell. Needs the fake clock.
    void SetSendRate(std::uint64_t bytesPerSecond) { sendRate_ = bytesPerSecond; }

    // --- cancellation ---
    // The link's cancel flag: once set, a read hands out what has arrived, else fails as Cancelled at the
    // fake time the flag was seen (a timed action may set it); writes are taken at once, as ever.
    void SetCancel(const std::atomic<bool>* cancel) { cancel_ = cancel; }

    // --- faults ---
    // Open fails with `message`, as a connection nobody accepts does.
    void RefuseOpen(const std::string& message) { openRefusal_ = message; }
    // Write call number `index` (0-based, counting every call) fails with `message`; nothing of it is recorded.
    void FailWriteCall(std::size_t index, const std::string& message);
    // Keep only the sizes of write calls, not their bytes (for very large transfers).
    void SetRecordWrites(bool record) { recordWrites_ = record; }

    // --- what the tool did ---
    const Bytes& Written() const { return written_; }
    std::string WrittenText() const { return ToText(written_); }
    const std::vector<std::size_t>& WriteSizes() const { return writeSizes_; }
    std::uint64_t BytesWritten() const { return bytesWritten_; }
    // Timeout and capacity of every read call, in order.
    const std::vector<unsigned int>& ReadTimeouts() const { return readTimeouts_; }
    const std::vector<std::size_t>& ReadCapacities() const { return readCapacities_; }
    int CloseCalls() const { return closeCalls_; }
    bool IsOpen() const { return open_; }
    // Bytes queued but not yet read.
    std::size_t PendingBytes() const;

    // ITransport
    bool Open(std::string& error) override;
    void Close() override;
    bool Write(const unsigned char* data, size_t length, std::string& error) override;
    int Read(unsigned char* buffer, size_t capacity, unsigned int timeoutMs, std::string& error) override;
    std::string Description() const override { return description_; }
    LinkFailure LastFailure() const override { return lastFailure_; }
    void SetConnectTimeout(unsigned int) override {}
    long long QueuedToSend() const override;

    static constexpr const char* kNotConnected = "Scripted link is not connected";

private:
    struct Item {
        enum Kind { Data, Failure, PeerClose } kind;
        Bytes bytes;
        std::size_t offset = 0;
        std::string message;
    };
    struct Trigger {
        Bytes pattern;
        std::function<void()> action;
    };
    struct Timed {
        MonotonicClock::time_point at;
        std::function<void()> action;
        bool done = false;
    };

    bool HasInput() const { return !input_.empty(); }
    void FireDueEvents();
    bool NextEventBefore(MonotonicClock::time_point limit, MonotonicClock::time_point& at) const;
    void RunTriggers(const unsigned char* data, std::size_t length);
    int Consume(unsigned char* buffer, std::size_t capacity, std::string& error);

    bool Cancelled() const { return cancel_ != nullptr && cancel_->load(); }
    int FailCancelled(std::string& error);

    FakeClock* clock_;
    std::string description_;
    const std::atomic<bool>* cancel_ = nullptr;
    LinkFailure lastFailure_ = LinkFailure::None;
    bool open_ = true;
    std::deque<Item> input_;
    std::deque<Trigger> triggers_;
    Bytes sinceTrigger_;
    std::vector<std::function<void(const unsigned char*, std::size_t)>> writeHandlers_;
    std::vector<Timed> timed_;
    std::size_t chunkLimit_ = 0;
    bool randomChunks_ = false;
    std::size_t randomMax_ = 1;
    std::mt19937 random_;
    std::vector<std::pair<std::size_t, std::string>> writeFailures_;
    std::string openRefusal_;
    bool recordWrites_ = true;
    Bytes written_;
    std::vector<std::size_t> writeSizes_;
    std::uint64_t bytesWritten_ = 0;
    std::size_t writeCalls_ = 0;
    std::vector<unsigned int> readTimeouts_;
    std::vector<std::size_t> readCapacities_;
    int closeCalls_ = 0;
    std::uint64_t sendRate_ = 0;
    // Bytes not yet gone at sendQueueAt_.
    std::uint64_t sendQueue_ = 0;
    MonotonicClock::time_point sendQueueAt_{};
};
