// The Telnet link to a network modem's console: connect, option answers, IAC removal and 255 doubling.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "transport/LinkCancel.h"
#include "transport/SendLimit.h"
#include "transport/Socket.h"
#include "transport/SystemError.h"
#include "transport/TelnetProtocol.h"
#include "transport/Transport.h"

namespace {

constexpr size_t kReceiveSize = 8192;
constexpr size_t kSendChunk = 65536;
constexpr int kSocketBufferSize = 262144;
// A wire buffer this large after a big write is given back rather than kept for the link's lifetime.
constexpr size_t kWireKeepLimit = 1u << 20;
// Option answers the socket has not taken yet. A modem that keeps asking while it reads none of the
// answers would otherwise grow this without end; past the bound the link fails.
constexpr size_t kReplyQueueLimit = 4096;

const char kNotConnected[] = "Telnet link is not connected";
const char kSendFailed[] = "Telnet send failed: ";

class TelnetTransport final : public ITransport {
public:
    TelnetTransport(const std::string& host, unsigned short port, unsigned int sendStallLimitMs,
                    const std::atomic<bool>* cancel)
        : host_(host), port_(port), sendStallLimitMs_(sendStallLimitMs), cancel_(cancel) {}
    ~TelnetTransport() override { Close(); }
    TelnetTransport(const TelnetTransport&) = delete;
    TelnetTransport& operator=(const TelnetTransport&) = delete;

    bool Open(std::string& error) override;
    void Close() override;
    bool Write(const unsigned char* data, size_t length, std::string& error) override;
    int Read(unsigned char* buffer, size_t capacity, unsigned int timeoutMs, std::string& error) override;
    std::string Description() const override { return host_ + ":" + std::to_string(port_); }
    LinkFailure LastFailure() const override { return lastFailure_; }
    long long QueuedToSend() const override {
        if (socketHandle_ == kInvalidSocket) return -1;
        const long long queued = SocketQueuedBytes(socketHandle_);
        return queued < 0 ? -1 : queued + static_cast<long long>(replies_.size());
    }
    void SetConnectTimeout(unsigned int timeoutMs) override {
        connectTimeoutMs_ = timeoutMs == 0 ? kDefaultConnectTimeoutMs : std::min(timeoutMs, kMaxConnectTimeoutMs);
    }

private:
    using Clock = std::chrono::steady_clock;

    // Where parsed data goes: straight into the caller's buffer while it has room, the rest into the queue.
    // Answers to option requests join the reply queue, which goes out as the socket takes it.
    struct ReceiveSink {
        TelnetTransport& link;
        unsigned char* out;
        size_t room;
        size_t stored;
        bool linkFailed;

        void Data(const unsigned char* bytes, size_t length) {
            const size_t direct = std::min(room, length);
            if (direct > 0) {
                std::memcpy(out + stored, bytes, direct);
                stored += direct;
                room -= direct;
            }
            if (direct < length) link.queue_.insert(link.queue_.end(), bytes + direct, bytes + length);
        }
        void Reply(unsigned char command, unsigned char option) {
            // Once the link has failed, later requests stay unanswered.
            if (linkFailed) return;
            linkFailed = !link.QueueReply(command, option);
        }
    };

    // Everything or failure, in sends of at most kSendChunk bytes, failing when the socket takes nothing for
    // the stall limit, counted from `waitingSince` until it takes a byte and from the last byte taken after.
    // On failure the link is closed and `error` says why.
    bool SendAll(const unsigned char* data, size_t length, Clock::time_point waitingSince, std::string& error);
    // Queues one answer; false (with failure_ set) when the link must fail: the queue is over its bound and
    // the socket takes none of it, or a send failed.
    bool QueueReply(unsigned char command, unsigned char option);
    // Hands queued answers to the socket without waiting. False (with failure_ set) when the link must
    // fail: a send error, or no answer taken for the stall limit.
    bool FlushReplies();
    // Assigns the failure that closed the link while no send was asked for (once: the answers to option
    // requests fail a link in Read, which reports it on its next call), else the not-connected message.
    void ReportClosed(std::string& error) {
        error = failure_.empty() ? std::string(kNotConnected) : failure_;
        lastFailure_ = failure_.empty() ? LinkFailure::Closed : failureKind_;
        failure_.clear();
    }
    bool Fail(LinkFailure kind, std::string& error, std::string text) {
        lastFailure_ = kind;
        error = std::move(text);
        return false;
    }
    // Waits for a connect under way: >0 finished, 0 no answer within the bound, -1 the wait failed,
    // -2 cancelled.
    int AwaitConnect(SocketHandle candidate);
    std::string StallText() const {
        return kSendFailed + std::string("the modem took no data for ") + SendStallText(sendStallLimitMs_);
    }
    void CloseSocket();
    size_t Queued() const { return queue_.size() - queueHead_; }
    int TakeQueued(unsigned char* buffer, size_t capacity);
    void ClearQueue() {
        queue_.clear();
        queueHead_ = 0;
    }

    std::string host_;
    unsigned short port_;
    unsigned int sendStallLimitMs_;
    const std::atomic<bool>* cancel_;
    unsigned int connectTimeoutMs_ = kDefaultConnectTimeoutMs;
    LinkFailure lastFailure_ = LinkFailure::None;
    // The kind of failure_.
    LinkFailure failureKind_ = LinkFailure::System;
    SocketHandle socketHandle_ = kInvalidSocket;
    int telnetState_ = telnet::kStateData;
    unsigned char telnetCommand_ = 0;
    // Received data not yet handed out: queue_[queueHead_..]. Filled only when empty, from one receive,
    // so it never holds more than kReceiveSize bytes.
    std::vector<unsigned char> queue_;
    size_t queueHead_ = 0;
    // Option answers not yet taken by the socket, in the order they arose, and since when the oldest of
    // them has waited without the socket taking any.
    std::vector<unsigned char> replies_;
    Clock::time_point repliesWaitingSince_;
    // Why the link closed by itself, for the next Read or Write.
    std::string failure_;
    std::vector<unsigned char> wire_;
    unsigned char receiveBuffer_[kReceiveSize];
    // Whether the next read looks for waiting data before it waits: the last receive filled the buffer.
    bool lookFirst_ = true;
    // The wait the socket's timed receive is set to (SocketReceiveWithin).
    unsigned int receiveArmedMs_ = 0;
};

void TelnetTransport::CloseSocket() {
    if (socketHandle_ != kInvalidSocket) {
        SocketShutdownBoth(socketHandle_);
        SocketClose(socketHandle_);
        socketHandle_ = kInvalidSocket;
    }
    ClearQueue();
    replies_.clear();
}

void TelnetTransport::Close() {
    CloseSocket();
    failure_.clear();
}

int TelnetTransport::AwaitConnect(SocketHandle candidate) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connectTimeoutMs_);
    for (;;) {
        if (IsCancelled(cancel_)) return -2;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return 0;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        const int waited = SocketWaitConnected(candidate, CancelSlice(static_cast<unsigned int>(left), cancel_));
        if (waited != 0) return waited;
    }
}

bool TelnetTransport::Open(std::string& error) {
    Close();
    lastFailure_ = LinkFailure::None;
    const std::string cancelled = kLinkCancelledText + std::string(" while connecting to ") + Description();
    if (IsCancelled(cancel_)) return Fail(LinkFailure::Cancelled, error, cancelled);

    std::vector<SocketAddress> addresses;
    std::string resolverText;
    // The name lookup is a wait like the connect: bounded by the same timeout and ended by the same flag.
    switch (SocketResolve(host_, std::to_string(port_), addresses, resolverText, connectTimeoutMs_, cancel_)) {
    case ResolveOutcome::Resolved: break;
    case ResolveOutcome::Cancelled: return Fail(LinkFailure::Cancelled, error, cancelled);
    case ResolveOutcome::TimedOut:
        return Fail(LinkFailure::TimedOut, error,
                    "Cannot resolve modem address: no answer from the name server within " +
                        SendStallText(connectTimeoutMs_));
    case ResolveOutcome::Failed:
        return Fail(LinkFailure::System, error, "Cannot resolve modem address: " + resolverText);
    }

    // Stands when the resolver offered no address at all.
    unsigned long lastError = kWsaEconnrefused;
    SocketHandle connected = kInvalidSocket;
    for (const SocketAddress& address : addresses) {
        const SocketHandle candidate = SocketCreate(address);
        if (candidate == kInvalidSocket) {
            lastError = LastSocketError();
            continue;
        }
        // Non-blocking for good: the connect is bounded here, every later send by the stall limit.
        if (!SocketSetNonBlocking(candidate, true)) {
            lastError = LastSocketError();
            SocketClose(candidate);
            continue;
        }
        if (SocketConnect(candidate, address) == 0) {
            connected = candidate;
            break;
        }
        unsigned long code = LastSocketError();
        if (code == kWsaEwouldblock) {
            const int waited = AwaitConnect(candidate);
            if (waited == -2) {
                SocketClose(candidate);
                return Fail(LinkFailure::Cancelled, error, cancelled);
            }
            if (waited > 0) {
                code = SocketPendingError(candidate);
                if (code == 0) {
                    connected = candidate;
                    break;
                }
                lastError = code;
                SocketClose(candidate);
                continue;
            }
            code = waited == 0 ? static_cast<unsigned long>(kWsaEtimedout) : LastSocketError();
        }
        lastError = code;
        SocketClose(candidate);
    }

    if (connected == kInvalidSocket) {
        return Fail(lastError == kWsaEtimedout ? LinkFailure::TimedOut : LinkFailure::System, error,
                    "Cannot connect to " + Description() + ": " + WindowsError(lastError));
    }

    socketHandle_ = connected;
    receiveArmedMs_ = 0;
    if (!SocketPrepareTimedReceive(socketHandle_)) {
        const unsigned long code = LastSocketError();
        Close();
        return Fail(LinkFailure::System, error, "Cannot set up the Telnet transport: " + WindowsError(code));
    }
    SocketSetOption(socketHandle_, SocketOption::ReceiveBuffer, kSocketBufferSize);
    SocketSetOption(socketHandle_, SocketOption::SendBuffer, kSocketBufferSize);
    if (!SocketSetOption(socketHandle_, SocketOption::NoDelay, 1)) {
        const unsigned long code = LastSocketError();
        Close();
        return Fail(LinkFailure::System, error, "Cannot enable low-latency Telnet transport: " + WindowsError(code));
    }
    telnetState_ = telnet::kStateData;
    ClearQueue();
    return true;
}

bool TelnetTransport::SendAll(const unsigned char* data, size_t length, Clock::time_point waitingSince,
                              std::string& error) {
    unsigned long code = 0;
    const SendOutcome outcome =
        SocketSendAll(socketHandle_, data, length, kSendChunk, sendStallLimitMs_, waitingSince, cancel_, code);
    if (outcome == SendOutcome::Sent) return true;
    // A send cut short leaves the modem inside a frame: the link is of no further use.
    CloseSocket();
    switch (outcome) {
    case SendOutcome::Stalled: return Fail(LinkFailure::TimedOut, error, StallText());
    case SendOutcome::Cancelled: return Fail(LinkFailure::Cancelled, error, kSendFailed + std::string(kLinkCancelledText));
    default: return Fail(LinkFailure::System, error, kSendFailed + WindowsError(code));
    }
}

bool TelnetTransport::QueueReply(unsigned char command, unsigned char option) {
    if (replies_.empty()) repliesWaitingSince_ = Clock::now();
    const unsigned char reply[3] = {telnet::kIac, command, option};
    replies_.insert(replies_.end(), reply, reply + sizeof reply);
    if (replies_.size() < kReplyQueueLimit) return true;
    if (!FlushReplies()) return false;
    if (replies_.size() < kReplyQueueLimit) return true;
    failure_ = kSendFailed + std::string("the modem does not read the answers to its option requests");
    failureKind_ = LinkFailure::TimedOut;
    return false;
}

bool TelnetTransport::FlushReplies() {
    size_t taken = 0;
    while (taken < replies_.size()) {
        const long sent = SocketSendIfReady(socketHandle_, replies_.data() + taken, replies_.size() - taken);
        if (sent == kSocketNotReady) break;
        if (sent <= 0) {
            failure_ = kSendFailed + WindowsError(LastSocketError());
            failureKind_ = LinkFailure::System;
            return false;
        }
        taken += static_cast<size_t>(sent);
    }
    if (taken > 0) {
        replies_.erase(replies_.begin(), replies_.begin() + static_cast<std::ptrdiff_t>(taken));
        repliesWaitingSince_ = Clock::now();
    }
    if (!replies_.empty() && Clock::now() - repliesWaitingSince_ >= std::chrono::milliseconds(sendStallLimitMs_)) {
        failure_ = StallText();
        failureKind_ = LinkFailure::TimedOut;
        return false;
    }
    return true;
}

bool TelnetTransport::Write(const unsigned char* data, size_t length, std::string& error) {
    lastFailure_ = LinkFailure::None;
    if (socketHandle_ == kInvalidSocket) {
        ReportClosed(error);
        return false;
    }
    if (length == 0) return true;

    // Answers that arose before these bytes were written go out before them.
    if (!replies_.empty()) {
        if (!SendAll(replies_.data(), replies_.size(), repliesWaitingSince_, error)) return false;
        replies_.clear();
    }
    // These bytes have not waited yet: their stall limit starts when the socket first has no room.
    const Clock::time_point fresh{};
    bool sent;
    if (std::memchr(data, telnet::kIac, length) == nullptr) {
        // Nothing to double: the caller's bytes are already the wire form.
        sent = SendAll(data, length, fresh, error);
    } else {
        wire_.clear();
        wire_.reserve(length + length / 64);
        telnet::Escape(data, length, wire_);
        sent = SendAll(wire_.data(), wire_.size(), fresh, error);
        if (wire_.capacity() > kWireKeepLimit) std::vector<unsigned char>().swap(wire_);
    }
    return sent;
}

int TelnetTransport::TakeQueued(unsigned char* buffer, size_t capacity) {
    const size_t count = std::min(capacity, Queued());
    if (count > 0) std::memcpy(buffer, queue_.data() + queueHead_, count);
    queueHead_ += count;
    if (queueHead_ == queue_.size()) ClearQueue();
    return static_cast<int>(count);
}

int TelnetTransport::Read(unsigned char* buffer, size_t capacity, unsigned int timeoutMs, std::string& error) {
    lastFailure_ = LinkFailure::None;
    if (socketHandle_ == kInvalidSocket) {
        ReportClosed(error);
        return -1;
    }
    if (!replies_.empty() && !FlushReplies()) {
        CloseSocket();
        ReportClosed(error);
        return -1;
    }
    if (Queued() > 0) return TakeQueued(buffer, capacity);

    // Where the platform can, look for waiting data first: a busy stream then costs one call per read. A
    // one-byte verdict after a frame is seldom there yet, so after a read that did not fill the buffer the
    // next one waits first instead of paying for a look that finds nothing.
    long received = lookFirst_ ? SocketReceiveIfReady(socketHandle_, receiveBuffer_, kReceiveSize) : kSocketNotReady;
    if (received == kSocketNotReady) {
        // Once cancelled, only what has already arrived is handed out.
        Clock::time_point now = Clock::now();
        const Clock::time_point deadline = now + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const bool cancelled = IsCancelled(cancel_);
            const unsigned int left =
                cancelled || now >= deadline
                    ? 0u
                    : static_cast<unsigned int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
            received = SocketReceiveWithin(socketHandle_, receiveBuffer_, kReceiveSize, CancelSlice(left, cancel_),
                                           receiveArmedMs_);
            if (received != kSocketNotReady) break;
            if (cancelled) {
                Fail(LinkFailure::Cancelled, error, kLinkCancelledText);
                return -1;
            }
            if (left == 0) return 0;
            now = Clock::now();
        }
    }
    if (received == 0) {
        CloseSocket();
        Fail(LinkFailure::Closed, error, "The modem closed the Telnet connection");
        return -1;
    }
    if (received < 0) {
        const unsigned long code = LastSocketError();
        CloseSocket();
        Fail(LinkFailure::System, error, "Telnet receive failed: " + WindowsError(code));
        return -1;
    }

    lookFirst_ = static_cast<size_t>(received) == kReceiveSize;

    ReceiveSink sink{*this, buffer, capacity, 0, false};
    telnet::Parse(telnetState_, telnetCommand_, receiveBuffer_, static_cast<size_t>(received), sink);
    if (!sink.linkFailed && !replies_.empty()) sink.linkFailed = !FlushReplies();
    if (sink.linkFailed) {
        // The data of this receive still reaches the caller as far as it fits, and the failure comes with
        // the next call; what would have to wait in the queue cannot be handed out from a closed link.
        CloseSocket();
        if (sink.stored == 0) {
            ReportClosed(error);
            return -1;
        }
    }
    return static_cast<int>(sink.stored);
}

}  // namespace

std::unique_ptr<ITransport> CreateTelnetTransport(const std::string& host, unsigned short port,
                                                  const std::atomic<bool>* cancel) {
    return std::make_unique<TelnetTransport>(host, port, kSendStallLimitMs, cancel);
}

std::unique_ptr<ITransport> CreateTelnetTransportWithSendLimit(const std::string& host, unsigned short port,
                                                               unsigned int sendStallLimitMs,
                                                               const std::atomic<bool>* cancel) {
    return std::make_unique<TelnetTransport>(host, port, sendStallLimitMs, cancel);
}
