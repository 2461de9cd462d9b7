// Stream sockets on POSIX: BSD sockets and poll, errno translated into the Winsock numbering.
#include "transport/Socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "transport/LinkCancel.h"
#include "transport/SystemError.h"
#include "transport/Transport.h"

namespace {

int Fd(SocketHandle socket) { return static_cast<int>(socket); }

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

// poll that survives signals: an interrupted wait goes on for the time still left.
int PollFor(int fd, short events, unsigned int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    unsigned int waitMs = timeoutMs;
    for (;;) {
        pollfd entry{};
        entry.fd = fd;
        entry.events = events;
        const int result = poll(&entry, 1, static_cast<int>(waitMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : waitMs));
        if (result >= 0 || errno != EINTR) return result;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return 0;
        waitMs = static_cast<unsigned int>(
            std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
    }
}

}  // namespace

namespace {

// A lookup handed to the system's resolver threads. They write into it until the lookup ends, so one given up
// while a resolver thread works on it cannot be freed at once: it waits in the list below, and a later
// lookup frees it once it has ended.
struct PendingLookup {
    std::string host;
    std::string service;
    addrinfo hints{};
    gaicb request{};
};

std::mutex abandonedMutex;
// Never destroyed: at exit a resolver thread may still be writing into one of them.
std::vector<PendingLookup*>& Abandoned() {
    static auto* list = new std::vector<PendingLookup*>;
    return *list;
}

void Release(PendingLookup* lookup) {
    if (lookup->request.ar_result != nullptr) freeaddrinfo(lookup->request.ar_result);
    delete lookup;
}

void ReleaseEnded() {
    std::lock_guard<std::mutex> lock(abandonedMutex);
    std::vector<PendingLookup*>& list = Abandoned();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](PendingLookup* lookup) {
                                  if (gai_error(&lookup->request) == EAI_INPROGRESS) return false;
                                  Release(lookup);
                                  return true;
                              }),
               list.end());
}

void GiveUp(PendingLookup* lookup) {
    if (gai_cancel(&lookup->request) != EAI_NOTCANCELED && gai_error(&lookup->request) != EAI_INPROGRESS) {
        Release(lookup);
        return;
    }
    std::lock_guard<std::mutex> lock(abandonedMutex);
    Abandoned().push_back(lookup);
}

std::string ResolverText(int code) {
    const char* text = gai_strerror(code);
    return (text != nullptr && text[0] != '\0') ? text : "Resolver error " + std::to_string(code);
}

}  // namespace

ResolveOutcome SocketResolve(const std::string& host, const std::string& service,
                             std::vector<SocketAddress>& addresses, std::string& resolverText, unsigned int timeoutMs,
                             const std::atomic<bool>* cancel) {
    using Clock = std::chrono::steady_clock;
    ReleaseEnded();
    if (IsCancelled(cancel)) return ResolveOutcome::Cancelled;
    // An address written as numbers is read at once: no resolver thread, no wait.
    addrinfo numericHints{};
    numericHints.ai_family = AF_UNSPEC;
    numericHints.ai_socktype = SOCK_STREAM;
    numericHints.ai_flags = AI_NUMERICHOST;
    addrinfo* numeric = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &numericHints, &numeric) == 0) {
        CopyResolvedAddresses(numeric, addresses);
        freeaddrinfo(numeric);
        return ResolveOutcome::Resolved;
    }
    auto* lookup = new PendingLookup;
    lookup->host = host;
    lookup->service = service;
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->request.ar_name = lookup->host.c_str();
    lookup->request.ar_service = lookup->service.c_str();
    lookup->request.ar_request = &lookup->hints;
    gaicb* requests[1] = {&lookup->request};
    sigevent quiet{};
    quiet.sigev_notify = SIGEV_NONE;
    int code = getaddrinfo_a(GAI_NOWAIT, requests, 1, &quiet);
    if (code != 0) {
        delete lookup;
        resolverText = ResolverText(code);
        return ResolveOutcome::Failed;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        code = gai_error(&lookup->request);
        if (code != EAI_INPROGRESS) break;
        const Clock::time_point now = Clock::now();
        const bool cancelled = IsCancelled(cancel);
        if (cancelled || now >= deadline) {
            GiveUp(lookup);
            return cancelled ? ResolveOutcome::Cancelled : ResolveOutcome::TimedOut;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        const unsigned int slice = CancelSlice(static_cast<unsigned int>(left), cancel);
        timespec wait{};
        wait.tv_sec = static_cast<time_t>(slice / 1000);
        wait.tv_nsec = static_cast<long>(slice % 1000) * 1000000L;
        const gaicb* waitingFor[1] = {&lookup->request};
        // Ends on the answer, the slice's end or a signal; the loop looks again in every case.
        gai_suspend(waitingFor, 1, &wait);
    }
    if (code != 0) {
        Release(lookup);
        resolverText = ResolverText(code);
        return ResolveOutcome::Failed;
    }
    CopyResolvedAddresses(lookup->request.ar_result, addresses);
    Release(lookup);
    return ResolveOutcome::Resolved;
}

std::string SocketNumericHost(const SocketAddress& address) {
    char text[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(address.bytes), static_cast<socklen_t>(address.length), text,
                    sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) {
        return "";
    }
    return text;
}

SocketHandle SocketCreate(const SocketAddress& address) {
    const int fd = socket(address.family, address.type | SOCK_CLOEXEC, address.protocol);
    if (fd < 0) return kInvalidSocket;
#ifdef SO_NOSIGPIPE
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    return static_cast<SocketHandle>(fd);
}

bool SocketSetNonBlocking(SocketHandle socket, bool nonBlocking) {
    const int flags = fcntl(Fd(socket), F_GETFL, 0);
    if (flags < 0) return false;
    const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || fcntl(Fd(socket), F_SETFL, wanted) == 0;
}

int SocketConnect(SocketHandle socket, const SocketAddress& address) {
    return connect(Fd(socket), reinterpret_cast<const sockaddr*>(address.bytes),
                   static_cast<socklen_t>(address.length)) == 0
               ? 0
               : -1;
}

int SocketWaitConnected(SocketHandle socket, unsigned int timeoutMs) {
    // A refused connect shows as POLLOUT together with POLLERR/POLLHUP; poll reports those unasked.
    return PollFor(Fd(socket), POLLOUT, timeoutMs);
}

unsigned long SocketPendingError(SocketHandle socket) {
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &value, &length) != 0) return LastSocketError();
    return TranslateErrno(value, true);
}

int SocketWaitReadable(SocketHandle socket, unsigned int timeoutMs) { return PollFor(Fd(socket), POLLIN, timeoutMs); }

int SocketWaitWritable(SocketHandle socket, unsigned int timeoutMs) { return PollFor(Fd(socket), POLLOUT, timeoutMs); }

long SocketSend(SocketHandle socket, const unsigned char* data, size_t length) {
    for (;;) {
        const ssize_t sent = send(Fd(socket), data, length, kSendFlags);
        if (sent >= 0 || errno != EINTR) return static_cast<long>(sent);
    }
}

long SocketSendIfReady(SocketHandle socket, const unsigned char* data, size_t length) {
    const long hooked = CallSocketSendHook(socket, data, length);
    if (hooked != kSocketSendAsUsual) return hooked;
    for (;;) {
        const ssize_t sent = send(Fd(socket), data, length, kSendFlags | MSG_DONTWAIT);
        if (sent >= 0) return static_cast<long>(sent);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kSocketNotReady;
        return -1;
    }
}

long SocketReceive(SocketHandle socket, unsigned char* buffer, size_t capacity) {
    for (;;) {
        const ssize_t received = recv(Fd(socket), buffer, capacity, 0);
        if (received >= 0 || errno != EINTR) return static_cast<long>(received);
    }
}

long SocketReceiveIfReady(SocketHandle socket, unsigned char* buffer, size_t capacity) {
    for (;;) {
        const ssize_t received = recv(Fd(socket), buffer, capacity, MSG_DONTWAIT);
        if (received >= 0) return static_cast<long>(received);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kSocketNotReady;
        return -1;
    }
}

bool SocketPrepareTimedReceive(SocketHandle socket) { return SocketSetNonBlocking(socket, false); }

long SocketReceiveWithin(SocketHandle socket, unsigned char* buffer, size_t capacity, unsigned int timeoutMs,
                         unsigned int& armedMs) {
    if (timeoutMs == 0) return SocketReceiveIfReady(socket, buffer, capacity);
    // A receive with its own deadline: one call where a wait for readiness and a receive were two, on every
    // block of a transfer that waits for its verdict.
    if (armedMs != timeoutMs) {
        timeval wait{};
        wait.tv_sec = static_cast<time_t>(timeoutMs / 1000);
        wait.tv_usec = static_cast<suseconds_t>(timeoutMs % 1000) * 1000;
        if (setsockopt(Fd(socket), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) return -1;
        armedMs = timeoutMs;
    }
    const ssize_t received = recv(Fd(socket), buffer, capacity, 0);
    if (received >= 0) return static_cast<long>(received);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kSocketNotReady;
    return -1;
}

long long SocketQueuedBytes(SocketHandle socket) {
    int queued = 0;
    return ioctl(Fd(socket), SIOCOUTQ, &queued) == 0 ? queued : -1;
}

void SocketShutdownBoth(SocketHandle socket) { shutdown(Fd(socket), SHUT_RDWR); }

void SocketClose(SocketHandle socket) { close(Fd(socket)); }

bool SocketSetOption(SocketHandle socket, SocketOption option, int value) {
    switch (option) {
    case SocketOption::ReceiveBuffer:
        return setsockopt(Fd(socket), SOL_SOCKET, SO_RCVBUF, &value, sizeof value) == 0;
    case SocketOption::SendBuffer:
        return setsockopt(Fd(socket), SOL_SOCKET, SO_SNDBUF, &value, sizeof value) == 0;
    case SocketOption::NoDelay:
        return setsockopt(Fd(socket), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0;
    case SocketOption::ResetOnClose: {
        const linger abort{1, 0};
        return setsockopt(Fd(socket), SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0;
    }
    }
    return false;
}

SocketHandle SocketListenLoopback(unsigned short& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kInvalidSocket;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return kInvalidSocket;
    }
    port = ntohs(address.sin_port);
    return static_cast<SocketHandle>(fd);
}

SocketHandle SocketAccept(SocketHandle listener, unsigned int timeoutMs) {
    if (PollFor(Fd(listener), POLLIN, timeoutMs) <= 0) return kInvalidSocket;
    int fd;
    do {
        fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd);
}
