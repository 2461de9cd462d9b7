// The scripted loopback TCP peer, built on the core's socket layer so that it runs on both platforms.
#include "support/LoopbackPeer.h"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

unsigned int MsLeft(Clock::time_point deadline) {
    const auto now = Clock::now();
    if (now >= deadline) return 0;
    return static_cast<unsigned int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
}

}  // namespace

LoopbackPeer::~LoopbackPeer() {
    CloseClient();
    StopListening();
}

bool LoopbackPeer::Listen() {
    StopListening();
    port_ = 0;
    listener_ = SocketListenLoopback(port_);
    return listener_ != kInvalidSocket;
}

bool LoopbackPeer::LimitReceiveBuffer(int bytes) {
    // Set on the listener: an accepted socket inherits it, and its window is sized before the handshake.
    return listener_ != kInvalidSocket && SocketSetOption(listener_, SocketOption::ReceiveBuffer, bytes);
}

bool LoopbackPeer::Accept(unsigned int timeoutMs) {
    CloseClient();
    if (listener_ == kInvalidSocket) return false;
    client_ = SocketAccept(listener_, timeoutMs);
    return client_ != kInvalidSocket;
}

bool LoopbackPeer::Send(const Bytes& bytes) {
    if (client_ == kInvalidSocket) return false;
    size_t offset = 0;
    while (offset < bytes.size()) {
        const long sent = SocketSend(client_, bytes.data() + offset, bytes.size() - offset);
        if (sent <= 0) return false;
        offset += static_cast<size_t>(sent);
    }
    return true;
}

Bytes LoopbackPeer::Receive(size_t count, unsigned int timeoutMs) {
    Bytes result;
    if (client_ == kInvalidSocket) return result;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    unsigned char buffer[65536];
    while (result.size() < count) {
        if (SocketWaitReadable(client_, MsLeft(deadline)) <= 0) break;
        const size_t want = count - result.size();
        const long got = SocketReceive(client_, buffer, want < sizeof buffer ? want : sizeof buffer);
        if (got <= 0) break;
        result.insert(result.end(), buffer, buffer + got);
    }
    return result;
}

Bytes LoopbackPeer::ReceiveUntilQuiet(unsigned int quietMs) {
    Bytes result;
    if (client_ == kInvalidSocket) return result;
    unsigned char buffer[65536];
    while (SocketWaitReadable(client_, quietMs) > 0) {
        const long got = SocketReceive(client_, buffer, sizeof buffer);
        if (got <= 0) break;
        result.insert(result.end(), buffer, buffer + got);
    }
    return result;
}

bool LoopbackPeer::WaitForClientClose(unsigned int timeoutMs) {
    if (client_ == kInvalidSocket) return false;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    unsigned char buffer[4096];
    for (;;) {
        if (SocketWaitReadable(client_, MsLeft(deadline)) <= 0) return false;
        const long got = SocketReceive(client_, buffer, sizeof buffer);
        if (got <= 0) return true;
    }
}

void LoopbackPeer::CloseClient() {
    if (client_ == kInvalidSocket) return;
    SocketShutdownBoth(client_);
    SocketClose(client_);
    client_ = kInvalidSocket;
}

void LoopbackPeer::ResetClient() {
    if (client_ == kInvalidSocket) return;
    SocketSetOption(client_, SocketOption::ResetOnClose, 1);
    SocketClose(client_);
    client_ = kInvalidSocket;
}

void LoopbackPeer::ShutdownClient() {
    if (client_ != kInvalidSocket) SocketShutdownBoth(client_);
}

void LoopbackPeer::StopListening() {
    if (listener_ == kInvalidSocket) return;
    SocketClose(listener_);
    listener_ = kInvalidSocket;
}
