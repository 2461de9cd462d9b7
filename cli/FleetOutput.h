// The outputs of brisklode-cli: JSON lines, the human lines and table, CSV and the one-target output.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/Progress.h"
#include "rollout/Events.h"

// An output that writes results to standard output, and fails when it does not take them.
class RolloutOutputOnStdout : public RolloutOutput {
protected:
    void CheckStandardOutput();
};

// JSON lines on stdout: start, progress, result, summary, error. When standard output takes no more (a closed
// pipe, a full disk), no new target starts: nobody would learn its outcome.
class JsonOutput : public RolloutOutput {
public:
    explicit JsonOutput(std::FILE* out) : out_(out) {}
    void Consume(const RolloutEvent& event) override;
    Reason StopReason() const override { return Reason::Output; }

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
class FleetOutput : public RolloutOutputOnStdout {
public:
    // Beside: next to JSON on stdout, only the human lines on stderr (no progress, no table).
    enum class Mode { Plain, Live, Beside };
    FleetOutput(Mode mode, int columns, bool csv) : mode_(mode), columns_(columns), csv_(csv) {}
    void Consume(const RolloutEvent& event) override;

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
    void Progress(const RolloutEvent& event);
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
class SingleOutput : public RolloutOutputOnStdout {
public:
    SingleOutput(bool terminal, int columns) : display_(stderr, terminal, columns) {}
    void Consume(const RolloutEvent& event) override;

private:
    ProgressDisplay display_;
    std::string command_;
};

// The result's JSON line for `command` (identify, update, log, inventory, discover, ports).
std::string ResultJson(const std::string& command, const TargetResult& result);
// The start event's JSON line.
std::string StartJson(const RunStart& start);
std::string SummaryJson(const RunSummary& summary);
// One target's line of the plan: its action and identity (from `result`).
std::string PlanJson(const PlanEntry& entry, const TargetResult& result);
std::string RetryJson(const RolloutEvent& retry, const std::string& label);
// The human text of a retry: the failure and when it is tried again.
std::string RetryText(const RolloutEvent& retry);
// The plan as a table: one row per target, with its identity and what it gets.
std::string PlanTable(const std::vector<PlanEntry>& plan, const std::vector<TargetResult>& results);
std::string ErrorJson(const std::string& message, bool usage);

// The closing table of a run (not for JSON): one row per target.
std::string ResultTable(const std::string& command, const std::vector<TargetResult>& results);

// The inventory as comma-separated values with a header line.
std::string InventoryCsv(const std::vector<TargetResult>& results);

// A text table with a header line and columns as wide as their widest cell.
std::string FormatTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);

