// One rollout at work: every target's state from its start to its result, the plan, the apply with its guard
// rails, and the close that gives each target its result whatever happens.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "console/Console.h"
#include "rollout/Events.h"
#include "rollout/Request.h"
#include "transport/Transport.h"

// How long the outputs may take to show what precedes a question to a person.
constexpr int kQuestionFlushMs = 2000;

// Runs work(list[0]) .. work(list[n - 1]) on up to `parallel` threads; the calling thread is one of them.
// Threads are a resource that can run out (a process limit, a container's): when one cannot be started, the
// work goes on on those there are, and `short` hears how many of how many run and the system's reason.
template <typename Work>
void RunParallel(const std::vector<size_t>& list, unsigned parallel, const Work& work,
                 const std::function<void(size_t, size_t, const std::string&)>& onShort = nullptr) {
    std::atomic<size_t> next{0};
    const auto loop = [&]() {
        for (;;) {
            const size_t at = next.fetch_add(1);
            if (at >= list.size()) return;
            work(list[at]);
        }
    };
    const size_t threads = std::min<size_t>(std::max(1u, parallel), list.size());
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < threads; ++i) {
        try {
            helpers.emplace_back(loop);
        } catch (const std::system_error& failure) {
            if (onShort) onShort(helpers.size() + 1, threads, failure.code().message());
            break;
        }
    }
    loop();
    for (std::thread& helper : helpers) helper.join();
}

// The identity a modem's reply gives: model, firmware, type, and serial number and call sign where they came whole.
void TakeIdentity(const ModemIdentity& identity, TargetResult& result);

// The images every update sends, loaded and padded once and shared read-only by the workers.
struct RolloutImage {
    ImageInfo info;
    std::vector<unsigned char> padded;
    std::uint16_t blocks = 0;
};

class RolloutRun {
public:
    using Clock = std::chrono::steady_clock;

    RolloutRun(const RolloutRequest& request, std::vector<RolloutTarget> targets, std::atomic<bool>& cancel,
               RolloutEvents& events, RolloutHost& host);

    // Each target's own result, as its worker builds it; read it only where no worker runs.
    std::vector<TargetResult>& Results() { return results_; }
    void SetImages(const std::vector<std::unique_ptr<RolloutImage>>* images) { images_ = images; }

    // Ends target `i` with its result (once). A result that comes after the run was closed is not told: the
    // target has its result from the close.
    void Finish(size_t i, Status status, Reason reason, const std::string& message);
    // Every target without a result gets `status` (a run that ends before it reaches them).
    void FinishRest(Status status, Reason reason, const std::string& message);
    // Ends the run: every target still open gets its result (cancelled by a signal: the program stops waiting
    // for it), then the summary; returns the run's exit status. Safe from any thread while workers still run.
    // The outputs get `flushMs` to write what they were told (negative: as long as they need).
    int Close(double seconds, int flushMs = -1);

    // --- the plan (Plan.cpp) ---
    // The update's plan: every target's identity checked on the link its update will use (held open until the
    // apply), then what it gets. Targets that cannot be reached or identified fail; others of another type, or
    // already at the expected version, are skipped; the first --canary of the rest are the canaries.
    void Plan();
    const std::vector<PlanEntry>& PlanEntries() const { return plan_; }
    // Every target gets its plan as its result: skipped and failed as planned, the rest not started for `reason`.
    // With `skipsToo` the skipped targets are not started as well: a run stopped by a mistake in the command line
    // decided nothing about them.
    void FinishAsPlanned(Status rest, Reason reason, const std::string& message, bool skipsToo = false);

    // --- the apply with its guard rails (Apply.cpp) ---
    void Run();

private:
    // How a connection or identity check ended when it did not succeed.
    struct Outcome {
        Status status = Status::Failed;
        Reason reason = Reason::None;
        std::string message;
    };
    enum class Identity { Ok, Failed, OtherType };

    std::vector<size_t> All() const;
    // With toldMutex_ held: every target still open gets its result, then the summary.
    void TellTheRest(double seconds);
    // The target's own start: its identity check before the question, or else its work. `again` starts it anew
    // (the work of a target checked before the question starts when a worker takes it up).
    void Begin(size_t i, bool again = false);
    // What the close must know of a target still at work: its identity and its image.
    void Publish(size_t i);
    void Stamp(size_t i, TargetResult& result);  // with toldMutex_ held
    void Tell(size_t i);                         // with toldMutex_ held
    void Report(size_t i);
    void Emit(RolloutEvent::Kind kind, size_t i, const std::string& text);
    // Tells that target i tries again (attempt of request_.retries) after a pause of `seconds`, and why.
    void EmitRetry(size_t i, unsigned attempt, const std::string& why, double seconds = 0);
    // Progress of target i; with `tally` its byte counts go as numbers.
    ProgressCallback ProgressFor(size_t i, TransferTally* tally = nullptr);

    // Link and identity (Run.cpp).
    std::unique_ptr<ITransport> MakeLink(size_t i, unsigned connectTimeoutMs) const;
    Identity Identify(ITransport& link, size_t i, std::string& error);
    // Connects (and checks the identity when asked), trying again after connect and identity failures as
    // --retries allows. False with the target's outcome: failed, cancelled, or skipped as another --type.
    bool Connect(size_t i, bool identify, const std::string& stage, std::unique_ptr<ITransport>& link, Outcome& outcome);
    // Connect, or else the target's result.
    bool ConnectOrFinish(size_t i, bool identify, std::unique_ptr<ITransport>& link);
    // The plan's identity of target i against the one answering now; false with the message when another
    // modem answers.
    bool SameModem(size_t i, const TargetResult& now, const std::string& where, std::string& error) const;
    // Tells the target's start (the record's start line, synced); false when the record failed and the target
    // must not start.
    bool Announce(size_t i);

    // The work of one target (Apply.cpp).
    void Work(size_t i);
    void RunIdentify(size_t i);
    void RunUpdate(size_t i);
    void RunLog(size_t i);
    bool AllowLegacy(size_t i);
    const RolloutImage* ImageFor(size_t i) const;
    // The `n`-th name target `i`'s log may take in the folder: its own name, then with the run's time, then
    // with the time and a number (-2, -3, ...).
    std::string LogName(size_t i, unsigned n) const;
    // Stops targets not yet started for `reason` (the first reason given stands).
    void StopTargets(Reason reason, const std::string& message);
    // The warning of a RunParallel that could not start all of its threads.
    std::function<void(size_t, size_t, const std::string&)> ShortOfThreads();
    // Stops them when an output whose failure stops targets (the record, standard output) failed.
    void StopForFailedOutput();
    // Why targets are stopped, when they are; `reason` and `message` stay as given otherwise.
    void StopState(Reason& reason, std::string& message);

    const RolloutRequest& request_;
    std::vector<RolloutTarget> targets_;
    std::atomic<bool>& cancel_;
    RolloutEvents& events_;
    RolloutHost& host_;
    // Each target's own result: results_[i] only by target i's worker, or where no worker runs.
    std::vector<TargetResult> results_;
    // Guards told_, starts_, closed_'s setting and closedCode_: what the outputs were told of each target
    // and when each started, so that the worker's result and the close never both tell a target.
    std::mutex toldMutex_;
    std::vector<TargetResult> told_;
    std::vector<Clock::time_point> starts_;
    std::atomic<bool> closed_{false};
    int closedCode_ = 1;
    std::vector<TransferTally> tallies_;  // each written by its target's transfer, read by the close
    std::vector<std::string> logNames_;
    std::vector<unsigned> firstLogName_;  // the first of each log's names that was free when the run began
    std::string logStamp_;
    const std::vector<std::unique_ptr<RolloutImage>>* images_ = nullptr;
    std::vector<PlanEntry> plan_;  // written by the plan (each entry by its own worker), read-only after it
    std::vector<TargetResult> planned_;  // update: each target's identity as the plan saw it
    std::vector<unsigned char> started_;  // 1 once target i's work started (written and read by its worker)
    // Set by target i's worker once the modem verified its image, read by the close.
    std::vector<std::atomic<bool>> verified_;
    std::atomic<unsigned> failures_{0};
    // Guards stopReason_ and stopMessage_: why targets not yet started are not started.
    std::mutex gateMutex_;
    Reason stopReason_ = Reason::None;
    std::string stopMessage_;
};
