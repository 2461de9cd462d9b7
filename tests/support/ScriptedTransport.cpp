// The in-memory scripted modem link and the fake protocol clock used by the unit tests.
#include "support/ScriptedTransport.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

FakeClock* g_clock = nullptr;

MonotonicClock::time_point FakeNow() { return g_clock->Now(); }

// What a read with a zero timeout costs: real polls take time too, and a loop of them must make progress.
constexpr auto kPollCost = std::chrono::microseconds(100);

}  // namespace

FakeClock::FakeClock() : start_(MonotonicClock::now()), now_(start_) {
    if (g_clock != nullptr) throw std::logic_error("a FakeClock is already installed");
    g_clock = this;
    SetMonotonicSourceForTesting(&FakeNow);
}

FakeClock::~FakeClock() {
    SetMonotonicSourceForTesting(nullptr);
    g_clock = nullptr;
}

std::chrono::milliseconds FakeClock::Elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - start_);
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string ToText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

ScriptedTransport::ScriptedTransport(FakeClock* clock, std::string description)
    : clock_(clock), description_(std::move(description)) {}

void ScriptedTransport::Deliver(const Bytes& bytes) {
    if (bytes.empty()) return;
    Item item{Item::Data, bytes, 0, std::string()};
    input_.push_back(std::move(item));
}

void ScriptedTransport::DeliverReadFailure(const std::string& message) {
    input_.push_back(Item{Item::Failure, Bytes(), 0, message});
}

void ScriptedTransport::DeliverPeerClose() { input_.push_back(Item{Item::PeerClose, Bytes(), 0, std::string()}); }

void ScriptedTransport::After(const std::string& trigger, std::function<void()> action) {
    After(ToBytes(trigger), std::move(action));
}

void ScriptedTransport::After(const Bytes& trigger, std::function<void()> action) {
    if (trigger.empty()) throw std::invalid_argument("empty trigger");
    triggers_.push_back(Trigger{trigger, std::move(action)});
}

void ScriptedTransport::Reply(const std::string& trigger, const std::string& reply) {
    After(trigger, [this, reply] { Deliver(reply); });
}

void ScriptedTransport::OnWrite(std::function<void(const unsigned char*, std::size_t)> handler) {
    writeHandlers_.push_back(std::move(handler));
}

void ScriptedTransport::At(std::chrono::milliseconds at, std::function<void()> action) {
    if (clock_ == nullptr) throw std::logic_error("timed events need a FakeClock");
    timed_.push_back(Timed{clock_->Start() + at, std::move(action), false});
}

void ScriptedTransport::SetRandomChunks(std::uint32_t seed, std::size_t max) {
    randomChunks_ = true;
    randomMax_ = max == 0 ? 1 : max;
    random_.seed(seed);
}

void ScriptedTransport::FailWriteCall(std::size_t index, const std::string& message) {
    writeFailures_.emplace_back(index, message);
}

std::size_t ScriptedTransport::PendingBytes() const {
    std::size_t total = 0;
    for (const Item& item : input_) {
        if (item.kind == Item::Data) total += item.bytes.size() - item.offset;
    }
    return total;
}

bool ScriptedTransport::Open(std::string& error) {
    if (!openRefusal_.empty()) {
        lastFailure_ = LinkFailure::System;
        error = openRefusal_;
        open_ = false;
        return false;
    }
    lastFailure_ = LinkFailure::None;
    input_.clear();
    open_ = true;
    return true;
}

void ScriptedTransport::Close() {
    ++closeCalls_;
    open_ = false;
}

bool ScriptedTransport::Write(const unsigned char* data, size_t length, std::string& error) {
    lastFailure_ = open_ ? LinkFailure::System : LinkFailure::Closed;
    if (!open_) {
        error = kNotConnected;
        return false;
    }
    const std::size_t call = writeCalls_++;
    for (const auto& failure : writeFailures_) {
        if (failure.first == call) {
            error = failure.second;
            return false;
        }
    }
    lastFailure_ = LinkFailure::None;
    if (length == 0) return true;
    writeSizes_.push_back(length);
    bytesWritten_ += length;
    if (sendRate_ != 0 && clock_ != nullptr) {
        sendQueue_ = static_cast<std::uint64_t>(QueuedToSend()) + length;
        sendQueueAt_ = clock_->Now();
    }
    if (recordWrites_) written_.insert(written_.end(), data, data + length);
    RunTriggers(data, length);
    for (auto& handler : writeHandlers_) handler(data, length);
    return true;
}

long long ScriptedTransport::QueuedToSend() const {
    if (sendRate_ == 0 || clock_ == nullptr) return -1;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_->Now() - sendQueueAt_).count();
    const std::uint64_t gone = static_cast<std::uint64_t>(ms) * sendRate_ / 1000;
    return static_cast<long long>(gone >= sendQueue_ ? 0 : sendQueue_ - gone);
}

void ScriptedTransport::RunTriggers(const unsigned char* data, std::size_t length) {
    if (triggers_.empty()) return;
    sinceTrigger_.insert(sinceTrigger_.end(), data, data + length);
    while (!triggers_.empty()) {
        const Bytes& pattern = triggers_.front().pattern;
        const auto found = std::search(sinceTrigger_.begin(), sinceTrigger_.end(), pattern.begin(), pattern.end());
        if (found == sinceTrigger_.end()) {
            // Keep only a tail that could still begin the pattern.
            if (sinceTrigger_.size() >= pattern.size()) {
                sinceTrigger_.erase(sinceTrigger_.begin(), sinceTrigger_.end() - (pattern.size() - 1));
            }
            return;
        }
        sinceTrigger_.erase(sinceTrigger_.begin(), found + static_cast<std::ptrdiff_t>(pattern.size()));
        auto action = std::move(triggers_.front().action);
        triggers_.pop_front();
        action();
    }
    sinceTrigger_.clear();
}

void ScriptedTransport::FireDueEvents() {
    if (clock_ == nullptr) return;
    // Actions may schedule further events; index rather than iterate.
    for (std::size_t i = 0; i < timed_.size(); ++i) {
        if (!timed_[i].done && timed_[i].at <= clock_->Now()) {
            timed_[i].done = true;
            auto action = timed_[i].action;
            action();
        }
    }
}

bool ScriptedTransport::NextEventBefore(MonotonicClock::time_point limit, MonotonicClock::time_point& at) const {
    bool any = false;
    for (const Timed& event : timed_) {
        if (!event.done && event.at <= limit && (!any || event.at < at)) {
            at = event.at;
            any = true;
        }
    }
    return any;
}

int ScriptedTransport::Consume(unsigned char* buffer, std::size_t capacity, std::string& error) {
    std::size_t limit = capacity;
    if (chunkLimit_ != 0) limit = std::min(limit, chunkLimit_);
    if (randomChunks_) {
        std::uniform_int_distribution<std::size_t> pick(1, randomMax_);
        limit = std::min(limit, pick(random_));
    }
    limit = std::min<std::size_t>(limit, 1u << 30);
    std::size_t copied = 0;
    while (copied < limit && !input_.empty()) {
        Item& item = input_.front();
        if (item.kind != Item::Data) {
            if (copied > 0) break;
            if (item.kind == Item::Failure) {
                lastFailure_ = LinkFailure::System;
                error = item.message;
                input_.pop_front();
                return -1;
            }
            input_.clear();
            open_ = false;
            lastFailure_ = LinkFailure::Closed;
            error = kNotConnected;
            return -1;
        }
        const std::size_t n = std::min(limit - copied, item.bytes.size() - item.offset);
        std::memcpy(buffer + copied, item.bytes.data() + item.offset, n);
        copied += n;
        item.offset += n;
        if (item.offset == item.bytes.size()) input_.pop_front();
    }
    return static_cast<int>(copied);
}

int ScriptedTransport::FailCancelled(std::string& error) {
    lastFailure_ = LinkFailure::Cancelled;
    error = "Cancelled";
    return -1;
}

int ScriptedTransport::Read(unsigned char* buffer, size_t capacity, unsigned int timeoutMs, std::string& error) {
    lastFailure_ = LinkFailure::None;
    if (!open_) {
        lastFailure_ = LinkFailure::Closed;
        error = kNotConnected;
        return -1;
    }
    readTimeouts_.push_back(timeoutMs);
    readCapacities_.push_back(capacity);
    if (capacity == 0) return 0;
    FireDueEvents();
    if (HasInput()) return Consume(buffer, capacity, error);
    if (Cancelled()) return FailCancelled(error);

    if (clock_ == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return HasInput() ? Consume(buffer, capacity, error) : 0;
    }
    if (timeoutMs == 0) {
        clock_->Advance(kPollCost);
        FireDueEvents();
        return HasInput() ? Consume(buffer, capacity, error) : 0;
    }
    const auto deadline = clock_->Now() + std::chrono::milliseconds(timeoutMs);
    MonotonicClock::time_point at;
    while (NextEventBefore(deadline, at)) {
        if (at > clock_->Now()) clock_->Advance(at - clock_->Now());
        FireDueEvents();
        if (!open_) {
            error = kNotConnected;
            return -1;
        }
        if (HasInput()) return Consume(buffer, capacity, error);
        if (Cancelled()) return FailCancelled(error);
    }
    clock_->Advance(deadline - clock_->Now());
    return 0;
}
