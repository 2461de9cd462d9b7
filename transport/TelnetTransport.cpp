// The Telnet link to a network modem's console: connect, option answers, IAC removal and 255 doubling.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "transport/Socket.h"
#include "transport/SystemError.h"
#include "transport/TelnetProtocol.h"
#include "transport/Transport.h"

namespace {

constexpr unsigned int kConnectTimeoutMs = 5000;
constexpr size_t kReceiveSize = 8192;
constexpr size_t kSendChunk = 65536;
constexpr int kSocketBufferSize = 262144;
// A wire buffer this large after a big write is given back rather than kept for the link's lifetime.
constexpr size_t kWireKeepLimit = 1u << 20;

const char kNotConnected[] = "Telnet link is not connected";

class TelnetTransport final : public ITransport {
public:
    TelnetTransport(const std::string& host, unsigned short port) : host_(host), port_(port) {}
    ~TelnetTransport() override { Close(); }
    TelnetTransport(const TelnetTransport&) = delete;
    TelnetTransport& operator=(const TelnetTransport&) = delete;

    bool Open(std::string& error) override;
    void Close() override;
    bool Write(const unsigned char* data, size_t length, std::string& error) override;
    int Read(unsigned char* buffer, size_t capacity, unsigned int timeoutMs, std::string& error) override;
    std::string Description() const override { return host_ + ":" + std::to_string(port_); }

private:
    // Where parsed data goes: straight into the caller's buffer while it has room, the rest into the queue.
    struct ReceiveSink {
        TelnetTransport& link;
        unsigned char* out;
        size_t room;
        size_t stored;
        bool replyFailed;

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
            // Once one answer could not go out the link is dead; later offers stay unanswered.
            if (replyFailed) return;
            const unsigned char reply[3] = {telnet::kIac, command, option};
            replyFailed = !link.SendAll(reply, sizeof reply);
        }
    };

    // All or nothing, in sends of at most kSendChunk bytes; on failure `failureCode` holds the socket error.
    bool SendAll(const unsigned char* data, size_t length);
    size_t Queued() const { return queue_.size() - queueHead_; }
    int TakeQueued(unsigned char* buffer, size_t capacity);
    void ClearQueue() {
        queue_.clear();
        queueHead_ = 0;
    }

    std::string host_;
    unsigned short port_;
    SocketHandle socketHandle_ = kInvalidSocket;
    int telnetState_ = telnet::kStateData;
    unsigned char telnetCommand_ = 0;
    // Received data not yet handed out: queue_[queueHead_..]. Filled only when empty, from one receive,
    // so it never holds more than kReceiveSize bytes.
    std::vector<unsigned char> queue_;
    size_t queueHead_ = 0;
    std::vector<unsigned char> wire_;
    unsigned char receiveBuffer_[kReceiveSize];
    unsigned long failureCode_ = 0;
};

void TelnetTransport::Close() {
    if (socketHandle_ != kInvalidSocket) {
        SocketShutdownBoth(socketHandle_);
        SocketClose(socketHandle_);
        socketHandle_ = kInvalidSocket;
    }
    ClearQueue();
}

bool TelnetTransport::Open(std::string& error) {
    Close();

    std::vector<SocketAddress> addresses;
    std::string resolverText;
    if (!SocketResolve(host_, std::to_string(port_), addresses, resolverText)) {
        error = "Cannot resolve modem address: " + resolverText;
        return false;
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
        SocketSetNonBlocking(candidate, true);
        if (SocketConnect(candidate, address) == 0) {
            SocketSetNonBlocking(candidate, false);
            connected = candidate;
            break;
        }
        unsigned long code = LastSocketError();
        if (code == kWsaEwouldblock) {
            const int waited = SocketWaitConnected(candidate, kConnectTimeoutMs);
            if (waited > 0) {
                code = SocketPendingError(candidate);
                SocketSetNonBlocking(candidate, false);
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
        SocketSetNonBlocking(candidate, false);
        lastError = code;
        SocketClose(candidate);
    }

    if (connected == kInvalidSocket) {
        error = "Cannot connect to " + Description() + ": " + WindowsError(lastError);
        return false;
    }

    socketHandle_ = connected;
    SocketSetOption(socketHandle_, SocketOption::ReceiveBuffer, kSocketBufferSize);
    SocketSetOption(socketHandle_, SocketOption::SendBuffer, kSocketBufferSize);
    if (!SocketSetOption(socketHandle_, SocketOption::NoDelay, 1)) {
        const unsigned long code = LastSocketError();
        Close();
        error = "Cannot enable low-latency Telnet transport: " + WindowsError(code);
        return false;
    }
    telnetState_ = telnet::kStateData;
    ClearQueue();
    return true;
}

bool TelnetTransport::SendAll(const unsigned char* data, size_t length) {
    if (socketHandle_ == kInvalidSocket) {
        failureCode_ = kWsaEnotconn;
        return false;
    }
    size_t offset = 0;
    while (offset < length) {
        const long sent = SocketSend(socketHandle_, data + offset, std::min(length - offset, kSendChunk));
        if (sent <= 0) {
            failureCode_ = LastSocketError();
            Close();
            return false;
        }
        offset += static_cast<size_t>(sent);
    }
    return true;
}

bool TelnetTransport::Write(const unsigned char* data, size_t length, std::string& error) {
    if (socketHandle_ == kInvalidSocket) {
        error = kNotConnected;
        return false;
    }
    if (length == 0) return true;

    bool sent;
    if (std::memchr(data, telnet::kIac, length) == nullptr) {
        // Nothing to double: the caller's bytes are already the wire form.
        sent = SendAll(data, length);
    } else {
        wire_.clear();
        wire_.reserve(length + length / 64);
        telnet::Escape(data, length, wire_);
        sent = SendAll(wire_.data(), wire_.size());
        if (wire_.capacity() > kWireKeepLimit) std::vector<unsigned char>().swap(wire_);
    }
    if (!sent) {
        error = "Telnet send failed: " + WindowsError(failureCode_);
        return false;
    }
    return true;
}

int TelnetTransport::TakeQueued(unsigned char* buffer, size_t capacity) {
    const size_t count = std::min(capacity, Queued());
    if (count > 0) std::memcpy(buffer, queue_.data() + queueHead_, count);
    queueHead_ += count;
    if (queueHead_ == queue_.size()) ClearQueue();
    return static_cast<int>(count);
}

int TelnetTransport::Read(unsigned char* buffer, size_t capacity, unsigned int timeoutMs, std::string& error) {
    if (socketHandle_ == kInvalidSocket) {
        error = kNotConnected;
        return -1;
    }
    if (Queued() > 0) return TakeQueued(buffer, capacity);

    // Where the platform can, look for waiting data first: a busy stream then costs one call per read.
    long received = SocketReceiveIfReady(socketHandle_, receiveBuffer_, kReceiveSize);
    if (received == kSocketNotReady) {
        const int ready = SocketWaitReadable(socketHandle_, timeoutMs);
        if (ready == 0) return 0;
        if (ready < 0) {
            error = "Telnet receive wait failed: " + WindowsError(LastSocketError());
            return -1;
        }
        received = SocketReceive(socketHandle_, receiveBuffer_, kReceiveSize);
    }
    if (received == 0) {
        Close();
        error = "The modem closed the Telnet connection";
        return -1;
    }
    if (received < 0) {
        const unsigned long code = LastSocketError();
        Close();
        error = "Telnet receive failed: " + WindowsError(code);
        return -1;
    }

    ReceiveSink sink{*this, buffer, capacity, 0, false};
    telnet::Parse(telnetState_, telnetCommand_, receiveBuffer_, static_cast<size_t>(received), sink);
    if (sink.replyFailed) {
        // The data of this receive still reaches the caller as far as it fits; what would have to
        // wait in the queue cannot be handed out from a closed link.
        Close();
    }
    return static_cast<int>(sink.stored);
}

}  // namespace

std::unique_ptr<ITransport> CreateTelnetTransport(const std::string& host, unsigned short port) {
    return std::make_unique<TelnetTransport>(host, port);
}
