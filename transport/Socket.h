// Thin stream-socket layer under the Telnet link: one set of calls and one error numbering on every platform.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

// A socket: SOCKET on Windows, a file descriptor elsewhere. kInvalidSocket matches INVALID_SOCKET and fd -1.
using SocketHandle = std::uintptr_t;
constexpr SocketHandle kInvalidSocket = ~static_cast<SocketHandle>(0);

// One resolver entry, kept as raw bytes so that callers need no system headers.
struct SocketAddress {
    int family = 0;
    int type = 0;
    int protocol = 0;
    size_t length = 0;
    unsigned char bytes[128] = {};  // room for a sockaddr_storage
};

// Copies a resolver result (addrinfo on every platform) into our own records, in the resolver's order.
template <typename AddressInfo>
void CopyResolvedAddresses(const AddressInfo* list, std::vector<SocketAddress>& addresses) {
    addresses.clear();
    // The cast: one toolchain's header gives the wide record's next pointer a misspelt, incomplete type.
    for (const AddressInfo* entry = list; entry != nullptr;
         entry = reinterpret_cast<const AddressInfo*>(entry->ai_next)) {
        SocketAddress address;
        if (entry->ai_addr == nullptr || entry->ai_addrlen > sizeof address.bytes) continue;
        address.family = entry->ai_family;
        address.type = entry->ai_socktype;
        address.protocol = entry->ai_protocol;
        address.length = entry->ai_addrlen;
        std::memcpy(address.bytes, entry->ai_addr, entry->ai_addrlen);
        addresses.push_back(address);
    }
}

// Every failing call below leaves its code for LastSocketError() (Winsock numbering on every platform),
// except where a code is returned directly.

// How a name lookup ended. Failed: the resolver answered with an error, its text in `resolverText` (never
// empty). TimedOut: no answer within the bound. Cancelled: the flag was set first.
enum class ResolveOutcome { Resolved, Failed, TimedOut, Cancelled };

// Looks `host` up with family left open, stream sockets, no flags, waiting at most timeoutMs and ending within
// kCancelSliceMs of `cancel` (may be null) being set. A lookup given up is cancelled where the system can and
// otherwise left to end by itself: its answer is dropped, and nothing of ours waits for it.
ResolveOutcome SocketResolve(const std::string& host, const std::string& service,
                             std::vector<SocketAddress>& addresses, std::string& resolverText, unsigned int timeoutMs,
                             const std::atomic<bool>* cancel);

// The address's host part as the system writes it numerically (192.0.2.7, 2001:db8::7); "" when it cannot.
std::string SocketNumericHost(const SocketAddress& address);

SocketHandle SocketCreate(const SocketAddress& address);
bool SocketSetNonBlocking(SocketHandle socket, bool nonBlocking);
// 0 connected, -1 failure (a non-blocking connect under way fails with kWsaEwouldblock).
int SocketConnect(SocketHandle socket, const SocketAddress& address);
// Waits for a connect under way to finish, either way: >0 finished (ask SocketPendingError), 0 timed out,
// -1 the wait itself failed.
int SocketWaitConnected(SocketHandle socket, unsigned int timeoutMs);
// The socket's pending error (SO_ERROR) in Winsock numbering; if the query itself fails, its own error.
unsigned long SocketPendingError(SocketHandle socket);
// >0 readable (data, end of stream or an error to collect), 0 timed out, -1 the wait failed.
int SocketWaitReadable(SocketHandle socket, unsigned int timeoutMs);

// >0 writable (room to send, or an error to collect), 0 timed out, -1 the wait failed. An interrupted
// wait goes on only for the time still left.
int SocketWaitWritable(SocketHandle socket, unsigned int timeoutMs);

// One send / receive call on a blocking socket: the count, 0 (receive: the peer closed), or -1.
// Sending never raises SIGPIPE.
long SocketSend(SocketHandle socket, const unsigned char* data, size_t length);
// One send that never waits: the count taken (possibly fewer than `length`), kSocketNotReady when the
// socket takes nothing now, or -1. On Windows the socket must be in non-blocking mode.
long SocketSendIfReady(SocketHandle socket, const unsigned char* data, size_t length);

// Sends everything, in calls of at most `chunk` bytes, waiting for room in between, but never longer than
// `stallLimitMs` after the socket last took a byte, or, before it takes the first, after `waitingSince`
// (bytes that have already waited for room bring their wait along; a default time point: bytes that have not
// waited yet, whose wait starts when the socket first has no room). Steady clock; signals do not restart
// the wait. Sent: all bytes went out. Failed: a send or wait failed, its code in `code`. Stalled: the limit
// passed. Cancelled: `cancel` (may be null) was set while the socket had no room; what it took at once
// has gone out.
enum class SendOutcome { Sent, Failed, Stalled, Cancelled };
SendOutcome SocketSendAll(SocketHandle socket, const unsigned char* data, size_t length, size_t chunk,
                          unsigned int stallLimitMs, std::chrono::steady_clock::time_point waitingSince,
                          const std::atomic<bool>* cancel, unsigned long& code);

// Test seam: while set, SocketSendIfReady asks the hook first. It answers with a count or kSocketNotReady in
// the socket's place, or kSocketSendAsUsual to let the real send happen. Unset (empty) outside tests.
constexpr long kSocketSendAsUsual = -3;
using SocketSendHook = std::function<long(SocketHandle socket, const unsigned char* data, size_t length)>;
void SetSocketSendHookForTesting(SocketSendHook hook);
long CallSocketSendHook(SocketHandle socket, const unsigned char* data, size_t length);
long SocketReceive(SocketHandle socket, unsigned char* buffer, size_t capacity);
// A receive that does not block where the platform offers one cheaply: like SocketReceive, or
// kSocketNotReady when nothing is waiting or the platform has no such receive (then no system call is made).
constexpr long kSocketNotReady = -2;
long SocketReceiveIfReady(SocketHandle socket, unsigned char* buffer, size_t capacity);
// Makes a connected socket ready for SocketReceiveWithin (POSIX: blocking mode, where every other call of
// this layer passes its own no-wait flag; Windows: nothing to do). False, with the code left, on failure.
bool SocketPrepareTimedReceive(SocketHandle socket);
// One receive that waits at most timeoutMs for data (0: takes only what has arrived): the count, 0 when the
// peer closed, kSocketNotReady when nothing came in time or a signal cut the wait short, -1 on failure. Where
// the platform can, it is a single system call. `armedMs` belongs to the socket: the wait the socket is set
// to, kept by the caller so that an unchanged wait is not set again (0 at first).
long SocketReceiveWithin(SocketHandle socket, unsigned char* buffer, size_t capacity, unsigned int timeoutMs,
                         unsigned int& armedMs);

// Bytes sent that the peer has not acknowledged yet, or -1 where the platform cannot tell.
long long SocketQueuedBytes(SocketHandle socket);

void SocketShutdownBoth(SocketHandle socket);
void SocketClose(SocketHandle socket);

// ResetOnClose (value ignored): the next close sends a reset instead of an orderly end (a peer that dies).
enum class SocketOption { ReceiveBuffer, SendBuffer, NoDelay, ResetOnClose };
bool SocketSetOption(SocketHandle socket, SocketOption option, int value);

// Listening side, for loopback peers in tools and tests: a stream socket listening on 127.0.0.1 at
// `port` (0 picks a free one, stored back into `port`).
SocketHandle SocketListenLoopback(unsigned short& port);
// Waits at most timeoutMs for a client; kInvalidSocket on timeout or failure.
SocketHandle SocketAccept(SocketHandle listener, unsigned int timeoutMs);
