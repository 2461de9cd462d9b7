// What a rollout tells while it runs: typed events handed to outputs the program around it supplies.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rollout/Outcome.h"
#include "rollout/RecordFile.h"
#include "rollout/Request.h"

// What the run knows before its first target starts.
struct RunStart {
    std::string command;
    std::vector<std::string> labels;
    std::vector<const ImageInfo*> images;  // update only; the plain file first when given
    const std::vector<RolloutTarget>* targets = nullptr;  // the targets, in order
    const RolloutRequest* request = nullptr;               // the guard rails the apply keeps
};

// One event of a run. The run emits them in order from any thread, one at a time.
struct RolloutEvent {
    enum class Kind {
        Start,     // start
        Progress,  // index, percent, stage, detail; counted: done and total bytes of the transfer
        Note,      // index, text: human text about one target
        Say,       // text: human text about the run
        Quiet,     // the run is about to ask on the terminal: live lines must go
        Plan,      // plan, results: what the update will do with each target (results hold their identity)
        Retry,     // index, attempt, of, seconds, text: a connect or identity check failed and is tried again
        Begin,     // index, result: a target's work is about to start (the record's start line comes first)
        Result,    // index, result
        Summary,   // summary, results
        Error,     // text, usage: the run (or the command line) failed before any target
    };
    Kind kind = Kind::Say;
    size_t index = 0;
    int percent = 0;
    std::string stage, detail, text;
    bool counted = false;  // Progress: the report counts the transfer's bytes
    std::uint64_t done = 0, total = 0;
    bool usage = false;
    bool stop = false;  // Plan: the run ends with the plan (update --plan)
    unsigned attempt = 0, of = 0;
    double seconds = 0;
    const RunStart* start = nullptr;
    const std::vector<PlanEntry>* plan = nullptr;
    const TargetResult* result = nullptr;
    const RunSummary* summary = nullptr;
    const std::vector<TargetResult>* results = nullptr;
};

// One output of a run: JSON, the human lines and table, the record.
class RolloutOutput {
public:
    virtual ~RolloutOutput() = default;
    virtual void Consume(const RolloutEvent& event) = 0;
    // After a write of this output failed: what failed and the system's reason; empty while all is well.
    // Safe from any thread.
    virtual std::string Fault() const {
        std::lock_guard<std::mutex> lock(faultMutex_);
        return fault_;
    }
    // Why new targets do not start once this output failed (the record: their outcomes would be lost;
    // standard output: nobody would learn them); None when its failure stops nobody.
    virtual Reason StopReason() const { return Reason::None; }
    // Returns once everything consumed so far is written (or its writing failed); false when that did not
    // happen within `timeoutMs` (negative: no limit).
    virtual bool Flush(int timeoutMs) {
        (void)timeoutMs;
        return true;
    }

protected:
    void SetFault(const std::string& fault) {
        std::lock_guard<std::mutex> lock(faultMutex_);
        if (fault_.empty()) fault_ = fault;
    }
    bool Faulted() const {
        std::lock_guard<std::mutex> lock(faultMutex_);
        return !fault_.empty();
    }

private:
    mutable std::mutex faultMutex_;  // guards fault_: set by the output's writer, read by the run
    std::string fault_;
};

// Hands every event to each output in turn, one event at a time, from any thread. The summary closes the
// run: nothing after it is told.
class RolloutEvents {
public:
    void Add(std::unique_ptr<RolloutOutput> output);
    void Emit(const RolloutEvent& event);
    // The failed writes so far, one message each.
    std::vector<std::string> Faults();
    // Why new targets do not start: the first failed output's reason; None while none did.
    Reason StopReason();
    // Every output's Flush; false when one did not end within `timeoutMs` (negative: no limit).
    bool Flush(int timeoutMs);

private:
    std::mutex mutex_;  // guards outputs_ and closed_, and keeps one event at a time in the outputs
    std::vector<std::unique_ptr<RolloutOutput>> outputs_;
    bool closed_ = false;
};

// What the rollout needs of the program around it: its outputs, a person's answer, and a way to be closed
// from outside when the program stops waiting for it.
class RolloutHost {
public:
    virtual ~RolloutHost() = default;
    // Adds the outputs for a run of `targets` targets (0 before the targets are known).
    virtual void AddOutputs(RolloutEvents& events, size_t targets) = 0;
    // True when a person can answer a question (a terminal on both sides).
    virtual bool CanAsk() = 0;
    enum class Answer { Yes, No, Cancelled };
    // Asks `question` (the outputs were told Quiet before); Cancelled when a signal came meanwhile.
    virtual Answer Ask(const std::string& question) = 0;
    // A write of an output failed (told once the run is closed): what failed and the system's reason.
    virtual void ReportFault(const std::string& fault) = 0;
    // Opens the record (see OpenRecordFile, which it is unless a test puts a file of its own in its place).
    virtual std::unique_ptr<RecordFile> OpenRecord(const std::string& path, std::string& error, bool& refused) {
        return OpenRecordFile(path, error, refused);
    }
    // While the run is open, `closer` ends it (every target gets its result, the outputs their summary) and
    // returns its exit status; an empty function removes it.
    virtual void SetCloser(std::function<int()> closer) = 0;
};
