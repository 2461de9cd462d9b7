// Stream sockets on Windows: Winsock 2 with select; the application starts the socket library.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "transport/LinkCancel.h"
#include "transport/Socket.h"
#include "transport/SystemError.h"
#include "transport/Transport.h"

namespace {

SOCKET Sock(SocketHandle socket) { return static_cast<SOCKET>(socket); }

timeval MakeTimeval(unsigned int timeoutMs) {
    timeval tv;
    tv.tv_sec = static_cast<long>(timeoutMs / 1000);
    tv.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
    return tv;
}

}  // namespace

// The import library has these; the headers of some toolchains do not declare them.
extern "C" {
int WSAAPI GetAddrInfoExCancel(LPHANDLE lpHandle);
int WSAAPI GetAddrInfoExOverlappedResult(LPOVERLAPPED lpOverlapped);
}

namespace {

// A lookup the system works on in its own threads. Until its event is set the system may still write into it,
// so one given up that did not end in time waits in the list below, and a later lookup frees it once it has
// ended.
struct PendingLookup {
    std::wstring host;
    std::wstring service;
    ADDRINFOEXW hints{};
    ADDRINFOEXW* result = nullptr;
    OVERLAPPED overlapped{};
    HANDLE cancelHandle = nullptr;

    ~PendingLookup() {
        if (result != nullptr) FreeAddrInfoExW(result);
        if (overlapped.hEvent != nullptr) CloseHandle(overlapped.hEvent);
    }
    bool Ended() const { return WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }
};

std::mutex abandonedMutex;
// Never destroyed: at exit the system may still be writing into one of them.
std::vector<PendingLookup*>& Abandoned() {
    static auto* list = new std::vector<PendingLookup*>;
    return *list;
}

void ReleaseEnded() {
    std::lock_guard<std::mutex> lock(abandonedMutex);
    std::vector<PendingLookup*>& list = Abandoned();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](PendingLookup* lookup) {
                                  if (!lookup->Ended()) return false;
                                  delete lookup;
                                  return true;
                              }),
               list.end());
}

// Asks the system to stop the lookup and gives it one slice to do so.
void GiveUp(PendingLookup* lookup) {
    if (lookup->cancelHandle != nullptr) GetAddrInfoExCancel(&lookup->cancelHandle);
    if (WaitForSingleObject(lookup->overlapped.hEvent, kCancelSliceMs) == WAIT_OBJECT_0) {
        delete lookup;
        return;
    }
    std::lock_guard<std::mutex> lock(abandonedMutex);
    Abandoned().push_back(lookup);
}

std::string ResolverText(int code) {
    const char* text = gai_strerrorA(code);
    std::string result = text != nullptr ? text : "";
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
    // Some systems have no text for a resolver code; the message must still say something.
    return result.empty() ? WindowsError(static_cast<unsigned long>(code)) : result;
}

}  // namespace

ResolveOutcome SocketResolve(const std::string& host, const std::string& service,
                             std::vector<SocketAddress>& addresses, std::string& resolverText, unsigned int timeoutMs,
                             const std::atomic<bool>* cancel) {
    ReleaseEnded();
    if (IsCancelled(cancel)) return ResolveOutcome::Cancelled;
    auto* lookup = new PendingLookup;
    lookup->host = Utf8ToWide(host);
    lookup->service = Utf8ToWide(service);
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (lookup->overlapped.hEvent == nullptr) {
        resolverText = WindowsError(GetLastError());
        delete lookup;
        return ResolveOutcome::Failed;
    }
    int code = GetAddrInfoExW(lookup->host.c_str(), lookup->service.c_str(), NS_ALL, nullptr, &lookup->hints,
                              &lookup->result, nullptr, &lookup->overlapped, nullptr, &lookup->cancelHandle);
    if (code == WSA_IO_PENDING) {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        for (;;) {
            const bool cancelled = IsCancelled(cancel);
            const ULONGLONG now = GetTickCount64();
            if (lookup->Ended()) break;
            if (cancelled || now >= deadline) {
                GiveUp(lookup);
                return cancelled ? ResolveOutcome::Cancelled : ResolveOutcome::TimedOut;
            }
            WaitForSingleObject(lookup->overlapped.hEvent, CancelSlice(static_cast<unsigned int>(deadline - now), cancel));
        }
        code = GetAddrInfoExOverlappedResult(&lookup->overlapped);
    }
    // Otherwise it ended at once, with its code.
    if (code != 0) {
        resolverText = ResolverText(code);
        delete lookup;
        return ResolveOutcome::Failed;
    }
    CopyResolvedAddresses(lookup->result, addresses);
    delete lookup;
    return ResolveOutcome::Resolved;
}

std::string SocketNumericHost(const SocketAddress& address) {
    wchar_t text[NI_MAXHOST] = {};
    if (GetNameInfoW(reinterpret_cast<const sockaddr*>(address.bytes), static_cast<socklen_t>(address.length), text,
                     NI_MAXHOST, nullptr, 0, NI_NUMERICHOST) != 0) {
        return "";
    }
    return WideToUtf8(text);
}

SocketHandle SocketCreate(const SocketAddress& address) {
    const SOCKET s = socket(address.family, address.type, address.protocol);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}

bool SocketSetNonBlocking(SocketHandle socket, bool nonBlocking) {
    u_long mode = nonBlocking ? 1 : 0;
    return ioctlsocket(Sock(socket), FIONBIO, &mode) == 0;
}

int SocketConnect(SocketHandle socket, const SocketAddress& address) {
    return connect(Sock(socket), reinterpret_cast<const sockaddr*>(address.bytes),
                   static_cast<int>(address.length)) == 0
               ? 0
               : -1;
}

namespace {

// The write set, and with `failures` the exception set too.
int WaitForWrite(SocketHandle socket, unsigned int timeoutMs, bool failures) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(Sock(socket), &writable);
    if (failures) FD_SET(Sock(socket), &failed);
    timeval tv = MakeTimeval(timeoutMs);
    const int result = select(0, nullptr, &writable, failures ? &failed : nullptr, &tv);
    return result == SOCKET_ERROR ? -1 : result;
}

}  // namespace

int SocketWaitWritable(SocketHandle socket, unsigned int timeoutMs) {
    // The write set alone: on a connected socket the exception set also reports urgent data waiting,
    // which would end every wait at once and turn a send's wait for room into a spin.
    return WaitForWrite(socket, timeoutMs, false);
}

int SocketWaitConnected(SocketHandle socket, unsigned int timeoutMs) {
    // Winsock signals a failed non-blocking connect in the exception set only; waiting on the
    // write set alone would turn a refused connection into a timeout.
    return WaitForWrite(socket, timeoutMs, true);
}

unsigned long SocketPendingError(SocketHandle socket) {
    int value = 0;
    int length = sizeof value;
    if (getsockopt(Sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length) != 0) {
        return LastSocketError();
    }
    return static_cast<unsigned long>(value);
}

int SocketWaitReadable(SocketHandle socket, unsigned int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Sock(socket), &readable);
    timeval tv = MakeTimeval(timeoutMs);
    const int result = select(0, &readable, nullptr, nullptr, &tv);
    return result == SOCKET_ERROR ? -1 : result;
}

long SocketSendIfReady(SocketHandle socket, const unsigned char* data, size_t length) {
    const long hooked = CallSocketSendHook(socket, data, length);
    if (hooked != kSocketSendAsUsual) return hooked;
    const int chunk = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
    const int sent = send(Sock(socket), reinterpret_cast<const char*>(data), chunk, 0);
    if (sent != SOCKET_ERROR) return static_cast<long>(sent);
    return WSAGetLastError() == WSAEWOULDBLOCK ? kSocketNotReady : -1;
}

long SocketSend(SocketHandle socket, const unsigned char* data, size_t length) {
    const int chunk = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
    const int sent = send(Sock(socket), reinterpret_cast<const char*>(data), chunk, 0);
    return sent == SOCKET_ERROR ? -1 : static_cast<long>(sent);
}

long SocketReceive(SocketHandle socket, unsigned char* buffer, size_t capacity) {
    const int chunk = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity);
    const int received = recv(Sock(socket), reinterpret_cast<char*>(buffer), chunk, 0);
    return received == SOCKET_ERROR ? -1 : static_cast<long>(received);
}

long SocketReceiveIfReady(SocketHandle, unsigned char*, size_t) {
    // Winsock has no per-call non-blocking receive; the readiness wait is the cheaper route here.
    return kSocketNotReady;
}

bool SocketPrepareTimedReceive(SocketHandle) { return true; }

long SocketReceiveWithin(SocketHandle socket, unsigned char* buffer, size_t capacity, unsigned int timeoutMs,
                         unsigned int&) {
    // The socket stays non-blocking for the sends: a readiness wait, then the receive.
    const int ready = SocketWaitReadable(socket, timeoutMs);
    if (ready < 0) return -1;
    if (ready == 0) return kSocketNotReady;
    const long received = SocketReceive(socket, buffer, capacity);
    // Readiness that vanished before the receive is no failure.
    if (received < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return kSocketNotReady;
    return received;
}

// Winsock has no cheap count of unacknowledged bytes.
long long SocketQueuedBytes(SocketHandle) { return -1; }

void SocketShutdownBoth(SocketHandle socket) { shutdown(Sock(socket), SD_BOTH); }

void SocketClose(SocketHandle socket) { closesocket(Sock(socket)); }

bool SocketSetOption(SocketHandle socket, SocketOption option, int value) {
    const char* bytes = reinterpret_cast<const char*>(&value);
    switch (option) {
    case SocketOption::ReceiveBuffer:
        return setsockopt(Sock(socket), SOL_SOCKET, SO_RCVBUF, bytes, sizeof value) == 0;
    case SocketOption::SendBuffer:
        return setsockopt(Sock(socket), SOL_SOCKET, SO_SNDBUF, bytes, sizeof value) == 0;
    case SocketOption::NoDelay:
        return setsockopt(Sock(socket), IPPROTO_TCP, TCP_NODELAY, bytes, sizeof value) == 0;
    case SocketOption::ResetOnClose: {
        const linger abort{1, 0};
        return setsockopt(Sock(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort) == 0;
    }
    }
    return false;
}

SocketHandle SocketListenLoopback(unsigned short& port) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    // Exclusive use, so that a second listener cannot take the same port from under a test.
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int length = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 8) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int saved = WSAGetLastError();
        closesocket(s);
        WSASetLastError(saved);
        return kInvalidSocket;
    }
    port = ntohs(address.sin_port);
    return static_cast<SocketHandle>(s);
}

SocketHandle SocketAccept(SocketHandle listener, unsigned int timeoutMs) {
    if (SocketWaitReadable(listener, timeoutMs) <= 0) return kInvalidSocket;
    const SOCKET s = accept(Sock(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}
