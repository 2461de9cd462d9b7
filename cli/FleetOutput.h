// What a run of brisklode-cli reports: the events of the run and the outputs that consume them.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/Args.h"
#include "cli/Progress.h"

// How one requested target ended. Exactly one per target, whatever the command.
enum class Status { Ok, Failed, Skipped, Cancelled, NotStarted };
// "ok", "failed", "skipped", "cancelled", "not-started".
const char* StatusName(Status status);

// One firmware image of an update: what the start event, the confirmation list and the record name.
struct ImageInfo {
    std::string type;  // the identity type code it is for; empty for the plain file argument
    std::string path;
    std::uint64_t size = 0;
    std::string sha256;
};

struct TargetResult {
    std::string label;
    bool done = false;
    Status status = Status::Failed;
    std::string reason;    // short machine-readable cause: connect, identity, type, transfer, verify, ...
    std::string message;   // what a person reads
    std::string warning;   // set also on ok results (an unverified legacy transfer, an unchanged version)
    std::string model;
    std::string firmware;  // identify: the version; update: the version before
    std::string type;
    std::string reply;     // identify: the modem's raw identity reply
    std::uint64_t bytes = 0;
    std::string protocol;  // "fast" or "legacy"
    // update: every byte of the image went to the modem, so it may hold it now whatever the verdict said
    bool imageSent = false;
    std::string file;
    bool toStream = false;  // log: the log went to a stream (standard output), which carries nothing else
    bool confirmWanted = false;  // update --confirm: firmware_before and firmware_after belong in the result
    bool confirmed = false;      // update --confirm: firmware_after is known
    std::string firmwareAfter;
    const ImageInfo* image = nullptr;  // update: the image this target got (or would have got)
    double seconds = 0;
    std::string startUtc, endUtc;  // ISO 8601, for the record
    // Who the modem is: from discovery, or from its identity reply (which names itself).
    bool serialKnown = false, callKnown = false;
    std::uint64_t serialNumber = 0;
    std::string callSign;
    // Inventory and discovery rows.
    bool discovered = false;
    std::string address;
    unsigned port = 0;
    unsigned statusByte = 0;

    bool Ok() const { return status == Status::Ok; }
};

// What an update will do with one target, decided once its identity is known and before any image is sent;
// the apply follows it.
struct PlanEntry {
    enum class Action { Update, Skip, Fail };
    Action action = Action::Fail;
    std::string reason;   // skip: type, current; fail: not-found, connect, identity; update: empty
    std::string message;
    std::string warning;  // e.g. another target with the same serial number
    const ImageInfo* image = nullptr;  // update: the image it gets
    bool canary = false;
};
// "update", "skip", "fail".
const char* ActionName(PlanEntry::Action action);

// The counts that close a run.
struct RunSummary {
    std::string command;
    size_t targets = 0, ok = 0, failed = 0, skipped = 0, cancelled = 0, notStarted = 0, warnings = 0;
    double seconds = 0;
    // 0 when every target is ok or deliberately skipped, else 1.
    int ExitCode() const { return failed + cancelled + notStarted == 0 ? 0 : 1; }
};
RunSummary Summarise(const std::string& command, const std::vector<TargetResult>& results, double seconds);

// What the run knows before its first target starts.
struct RunStart {
    std::string command;
    std::vector<std::string> labels;
    std::vector<const ImageInfo*> images;  // update only; the plain file first when given
};

// One event of a run. The run emits them in order from any thread, one at a time.
struct FleetEvent {
    enum class Kind {
        Start,     // start
        Progress,  // index, percent, stage, detail
        Note,      // index, text: human text about one target
        Say,       // text: human text about the run
        Quiet,     // the run is about to ask on the terminal: live lines must go
        Plan,      // plan, results: what the update will do with each target (results hold their identity)
        Retry,     // index, attempt, of, seconds, text: a connect or identity check failed and is tried again
        Result,    // index, result
        Summary,   // summary, results
        Error,     // text, usage: the run (or the command line) failed before any target
    };
    Kind kind = Kind::Say;
    size_t index = 0;
    int percent = 0;
    std::string stage, detail, text;
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

class FleetConsumer {
public:
    virtual ~FleetConsumer() = default;
    virtual void Consume(const FleetEvent& event) = 0;
    // After a write of this output failed: what failed and the system's reason; empty while all is well.
    const std::string& Fault() const { return fault_; }
    // True when a failed write must keep new targets from starting (the record: their outcomes would be lost).
    virtual bool FaultStopsTargets() const { return false; }

protected:
    std::string fault_;
};

// Hands every event to each consumer in turn, one event at a time, from any thread. The summary closes the
// run: nothing after it is told.
class FleetEvents {
public:
    void Add(std::unique_ptr<FleetConsumer> consumer);
    void Emit(const FleetEvent& event);
    // The failed writes so far, one message each.
    std::vector<std::string> Faults();
    // True once an output whose failure stops new targets has failed.
    bool StopsTargets();

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<FleetConsumer>> consumers_;
    bool closed_ = false;
};

// JSON lines on stdout: start, progress, result, summary, error.
class JsonOutput : public FleetConsumer {
public:
    explicit JsonOutput(std::FILE* out) : out_(out) {}
    void Consume(const FleetEvent& event) override;

private:
    struct Track {
        std::string stage, detail;
        int percent = -1;
        std::uint64_t bytes = 0;
    };
    std::FILE* out_;
    std::string command_;
    std::vector<std::string> labels_;
    std::vector<Track> tracks_;
};

// Human output of several targets on stderr (lines prefixed with the target, or live lines on a
// terminal) and the closing table or CSV on stdout.
class FleetOutput : public FleetConsumer {
public:
    // Beside: next to JSON on stdout, only the human lines on stderr (no progress, no table).
    enum class Mode { Plain, Live, Beside };
    FleetOutput(Mode mode, int columns, bool csv) : mode_(mode), columns_(columns), csv_(csv) {}
    void Consume(const FleetEvent& event) override;

    static std::string LiveLine(const std::string& label, const std::string& stage, int percent, std::uint64_t done,
                                std::uint64_t total, double rate, int columns);

private:
    using Clock = std::chrono::steady_clock;
    struct Track {
        bool running = false;
        std::string stage;
        std::string lastDetail;
        int percent = 0;
        int lastPrintedPercent = -100;
        bool haveCounts = false;
        std::uint64_t firstDone = 0, done = 0, total = 0;
        Clock::time_point firstTime;
    };
    void Progress(size_t index, int percent, const std::string& stage, const std::string& detail);
    void Line(const std::string& text);
    void DrawLocked(bool force);
    void EraseLocked();

    Mode mode_;
    int columns_;
    bool csv_;
    std::string command_;
    std::vector<std::string> labels_;
    std::vector<Track> tracks_;
    size_t drawnLines_ = 0;
    Clock::time_point lastDraw_;
};

// Human output of one target: a progress bar on stderr and the result as the program always printed it,
// the outcome on stdout and a failure on stderr.
class SingleOutput : public FleetConsumer {
public:
    SingleOutput(bool terminal, int columns) : display_(stderr, terminal, columns) {}
    void Consume(const FleetEvent& event) override;

private:
    ProgressDisplay display_;
    std::string command_;
};

class JsonObject;
// Who the modem is: serial_number, call_sign and model, null where unknown.
void AddIdentity(JsonObject& object, const TargetResult& result);
// "000000000000002A": a serial number as every output writes it.
std::string Hex16(std::uint64_t value);

// The result's JSON line for `command` (identify, update, log, inventory, discover, ports).
std::string ResultJson(const std::string& command, const TargetResult& result);
// The start event's JSON line.
std::string StartJson(const RunStart& start);
std::string SummaryJson(const RunSummary& summary);
// One target's line of the plan: its action and identity (from `result`).
std::string PlanJson(const PlanEntry& entry, const TargetResult& result);
std::string RetryJson(const FleetEvent& retry, const std::string& label);
// The human text of a retry: the failure and when it is tried again.
std::string RetryText(const FleetEvent& retry);
// The plan as a table: one row per target, with its identity and what it gets.
std::string PlanTable(const std::vector<PlanEntry>& plan, const std::vector<TargetResult>& results);
std::string ErrorJson(const std::string& message, bool usage);

// The closing table of a run (not for JSON): one row per target.
std::string ResultTable(const std::string& command, const std::vector<TargetResult>& results);

// The inventory as comma-separated values with a header line.
std::string InventoryCsv(const std::vector<TargetResult>& results);

// Keeps the discovered modems that any serial number or call sign of the lists names (all when both are
// empty); a call sign matches whatever its case.
std::vector<CliTarget> FilterDiscovered(const std::vector<CliTarget>& found, const std::vector<std::uint64_t>& serialNumbers,
                                        const std::vector<std::string>& callSigns);

// A text table with a header line and columns as wide as their widest cell.
std::string FormatTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);

