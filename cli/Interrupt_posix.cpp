// Signals of brisklode-cli on POSIX: SIGINT and SIGTERM wake the main thread through a pipe.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/Interrupt.h"

namespace {

// Lock-free atomics: safe to touch from a signal handler.
std::atomic<int> g_stops{0};
std::atomic<int> g_strongest{0};
int g_wakeRead = -1;
int g_wakeWrite = -1;

void Poke() {
    const int saved = errno;
    const unsigned char byte = 1;
    // A full pipe already holds a wake-up; the byte is not needed then.
    [[maybe_unused]] const ssize_t ignored = ::write(g_wakeWrite, &byte, 1);
    errno = saved;
}

void OnStopSignal(int number) {
    const int kind = static_cast<int>(number == SIGTERM ? StopRequest::Terminate : StopRequest::Interrupt);
    int strongest = g_strongest.load();
    while (kind > strongest && !g_strongest.compare_exchange_weak(strongest, kind)) {
    }
    g_stops.fetch_add(1);
    Poke();
}

}  // namespace

void InstallStopHandlers() {
    int fds[2];
    // Installing again (a test that runs the whole CLI many times in one process) keeps the pipe it has.
    if (g_wakeRead < 0 && ::pipe(fds) == 0) {
        for (int fd : fds) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        g_wakeRead = fds[0];
        g_wakeWrite = fds[1];
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int StopCount() { return g_stops.load(); }

StopRequest StrongestStop() { return static_cast<StopRequest>(g_strongest.load()); }

void WakeMain() { Poke(); }

void WaitForWake(int timeoutMs) {
    if (g_wakeRead < 0) {
        // Without a pipe, poll the flags.
        ::usleep(50000);
        return;
    }
    pollfd entry{g_wakeRead, POLLIN, 0};
    ::poll(&entry, 1, timeoutMs);  // EINTR after a signal is a wake-up as good as any
    unsigned char drain[64];
    while (::read(g_wakeRead, drain, sizeof drain) > 0) {
    }
}

std::thread StartShieldedThread(std::function<void()> body) {
    sigset_t stops, previous;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    // The new thread inherits the mask, so the signals always land on the waiting main thread.
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    std::thread thread(std::move(body));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

void ExitNow(int code, const char* message) {
    [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, message, std::strlen(message));
    ignored = ::write(STDERR_FILENO, "\n", 1);
    _exit(code);
}
