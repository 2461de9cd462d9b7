// The portable part of brisklode-cli's signal handling: wait for the worker or a signal, then stop it.
#include "cli/Interrupt.h"

#include <chrono>

#include "transport/File.h"

namespace {

constexpr int kExitFailure = 1;

int StatusFor(StopRequest stop) { return stop == StopRequest::Terminate ? kExitTerminated : kExitInterrupted; }

}  // namespace

int RunInterruptible(const std::function<int()>& operation, std::atomic<bool>& cancel, int graceMs) {
    std::atomic<bool> done{false};
    std::atomic<int> result{kExitFailure};
    std::thread worker = StartShieldedThread([&] {
        result.store(operation());
        done.store(true);
        WakeMain();
    });
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
        ExitNow(StatusFor(stop), stop == StopRequest::Terminate ? "Terminated" : "Interrupted");
    }
    worker.join();
    return result.load() == 0 ? 0 : StatusFor(stop);
}
