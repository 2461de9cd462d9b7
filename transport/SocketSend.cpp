// Sending on a stream socket with a bound on how long the peer may take nothing: the same loop on every platform.
#include <algorithm>
#include <chrono>

#include "transport/LinkCancel.h"
#include "transport/Socket.h"
#include "transport/SystemError.h"

namespace {
SocketSendHook g_sendHook;
}

void SetSocketSendHookForTesting(SocketSendHook hook) { g_sendHook = std::move(hook); }

long CallSocketSendHook(SocketHandle socket, const unsigned char* data, size_t length) {
    return g_sendHook ? g_sendHook(socket, data, length) : kSocketSendAsUsual;
}

SendOutcome SocketSendAll(SocketHandle socket, const unsigned char* data, size_t length, size_t chunk,
                          unsigned int stallLimitMs, std::chrono::steady_clock::time_point waitingSince,
                          const std::atomic<bool>* cancel, unsigned long& code) {
    using Clock = std::chrono::steady_clock;
    const Clock::duration limit = std::chrono::milliseconds(stallLimitMs);
    Clock::time_point lastProgress = waitingSince;
    // Bytes were taken since lastProgress was set: it moves to the moment the next wait begins. The clock is
    // read only when a wait is due, not after every send; no wait lies between a send and that moment.
    bool progressed = waitingSince == Clock::time_point{};
    size_t offset = 0;
    while (offset < length) {
        const long sent = SocketSendIfReady(socket, data + offset, std::min(length - offset, chunk));
        if (sent > 0) {
            offset += static_cast<size_t>(sent);
            progressed = true;
            continue;
        }
        if (sent != kSocketNotReady) {
            code = LastSocketError();
            return SendOutcome::Failed;
        }
        const Clock::time_point now = Clock::now();
        if (progressed) {
            lastProgress = now;
            progressed = false;
        }
        // The limit runs from the last byte taken, so a wait cut short (by a signal, or by room for a
        // few bytes only) never earns a fresh one.
        const Clock::duration left = lastProgress + limit - now;
        if (left <= Clock::duration::zero()) return SendOutcome::Stalled;
        if (IsCancelled(cancel)) return SendOutcome::Cancelled;
        const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        const unsigned int wait = static_cast<unsigned int>(std::min<long long>(waitMs, 0x7FFFFFFF));
        if (SocketWaitWritable(socket, CancelSlice(wait, cancel)) < 0) {
            code = LastSocketError();
            return SendOutcome::Failed;
        }
    }
    return SendOutcome::Sent;
}
