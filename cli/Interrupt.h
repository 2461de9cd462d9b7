// Signals and console control events of brisklode-cli: the operation runs on a worker thread, so a signal
// ends the program promptly wherever the operation is blocked.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

constexpr int kExitInterrupted = 130;  // SIGINT, Ctrl-C
constexpr int kExitTerminated = 143;   // SIGTERM; on Windows Ctrl-Break, closing the console, logoff, shutdown

// How long a cancelled operation may take to stop by itself (the protocols notice the flag within 250 ms and
// then tell the modem) before the program ends without it.
constexpr int kStopGraceMs = 2000;

// Catches SIGINT and SIGTERM (on Windows the console control events). Call once, before RunInterruptible.
void InstallStopHandlers();

// Runs `operation` on a worker thread and returns its exit status. A signal sets `cancel` and gives the worker
// `graceMs` to stop by itself; a second signal cuts the wait short. Then any log file still being written is
// removed and the status is 130 after an interrupt, 143 after a termination request (the stronger one when
// both came). An operation that succeeded within the grace keeps its 0: its work is done. An operation that
// did not stop in time is not waited for, but its run's closer (SetStopCloser) is: it tells every outcome
// before the program ends.
int RunInterruptible(const std::function<int()>& operation, std::atomic<bool>& cancel, int graceMs);

// While a run is open, `closer` ends it from the main thread when the program stops waiting for the operation:
// every target without a result gets one, the outputs get their summary, and it returns the run's exit status.
// An empty function removes it; removal waits for a closer that is running.
void SetStopCloser(std::function<int()> closer);

// Keeps a closer set for as long as it lives.
class StopCloserScope {
public:
    explicit StopCloserScope(std::function<int()> closer) { SetStopCloser(std::move(closer)); }
    ~StopCloserScope() { SetStopCloser(nullptr); }
    StopCloserScope(const StopCloserScope&) = delete;
    StopCloserScope& operator=(const StopCloserScope&) = delete;
};

// --- the platform's part, used by RunInterruptible ---

enum class StopRequest : int { None = 0, Interrupt = 1, Terminate = 2 };

// Signals that arrived so far and the strongest of them.
int StopCount();
StopRequest StrongestStop();
// Wakes WaitForWake; the worker calls it when it is done.
void WakeMain();
// Returns after a signal, a WakeMain, or `timeoutMs` (negative: no limit); may return early.
void WaitForWake(int timeoutMs);
// A thread that signals never interrupt (its blocking calls are not cut short by EINTR).
std::thread StartShieldedThread(std::function<void()> body);
// Ends the process at once with `code` after writing `message` and a line end to stderr, without running
// destructors or flushing streams a blocked worker may still hold.
[[noreturn]] void ExitNow(int code, const char* message);
