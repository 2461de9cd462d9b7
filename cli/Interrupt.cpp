// The portable part of brisklode-cli's signal handling: wait for the worker or a signal, then stop it.
#include "cli/Interrupt.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <system_error>

#include "transport/File.h"

namespace {

constexpr int kExitFailure = 1;

int StatusFor(StopRequest stop) { return stop == StopRequest::Terminate ? kExitTerminated : kExitInterrupted; }

std::mutex g_closerMutex;
std::function<int()> g_closer;

}  // namespace

void SetStopCloser(std::function<int()> closer) {
    std::lock_guard<std::mutex> lock(g_closerMutex);
    g_closer = std::move(closer);
}

int RunInterruptible(const std::function<int()>& operation, std::atomic<bool>& cancel, int graceMs) {
    std::atomic<bool> done{false};
    std::atomic<int> result{kExitFailure};
    std::thread worker;
    try {
        worker = StartShieldedThread([&] {
            result.store(operation());
            done.store(true);
            WakeMain();
        });
    } catch (const std::system_error& failure) {
        // No thread to spare (a process limit): the operation runs here, better than not at all; a signal
        // is seen only once it ends.
        std::fprintf(stderr, "brisklode-cli: WARNING: no thread for the operation (%s); it runs without its watcher\n",
                     failure.code().message().c_str());
        const int status = operation();
        const StopRequest stop = StrongestStop();
        return stop == StopRequest::None || status == 0 ? status : StatusFor(stop);
    }
    while (!done.load() && StopCount() == 0) WaitForWake(-1);

    if (!done.load()) {
        cancel.store(true);
        const int seen = StopCount();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
        // A second signal means the user does not want to wait for the modem to be told.
        while (!done.load() && StopCount() == seen) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            WaitForWake(static_cast<int>(left.count()));
        }
    }
    const StopRequest stop = StrongestStop();
    if (stop == StopRequest::None) {
        worker.join();
        return result.load();
    }
    // Before anything else: the operation may still be writing a log beside its destination.
    RemovePendingReplacementFiles();
    if (!done.load()) {
        // The modems are no longer waited for; our own outputs are. The lock stays held to the end, so the run
        // cannot be closed and freed under the closer.
        std::unique_lock<std::mutex> lock(g_closerMutex);
        const int closed = g_closer ? g_closer() : kExitFailure;
        ExitNow(closed == 0 ? 0 : StatusFor(stop), stop == StopRequest::Terminate ? "Terminated" : "Interrupted");
    }
    worker.join();
    return result.load() == 0 ? 0 : StatusFor(stop);
}
