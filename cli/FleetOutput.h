// What a many-modem run shows: JSON lines, plain lines prefixed with the target, or live lines on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "cli/Args.h"

// How one target ended. `ok` false with `skipped` true: it was never worked on (identity or type).
struct TargetResult {
    std::string label;
    bool done = false;
    bool ok = false;
    bool skipped = false;
    std::string message;
    std::string warning;
    std::string model;
    std::string firmware;  // identify: the version; update: the version before
    std::string type;
    std::uint64_t bytes = 0;
    std::string protocol;  // "fast" or "legacy"
    std::string file;
    bool confirmed = false;  // update --confirm: firmware_after is known
    std::string firmwareAfter;
    double seconds = 0;
    // Inventory and discovery rows.
    bool discovered = false;
    std::string address;
    unsigned port = 0;
    std::uint64_t serialNumber = 0;
    std::string callSign;
    unsigned statusByte = 0;
};

class FleetOutput {
public:
    enum class Mode { Json, Plain, Live };
    FleetOutput(Mode mode, const std::vector<std::string>& labels, int columns);

    Mode GetMode() const { return mode_; }
    // A progress report of target `index` (any thread).
    void Progress(size_t index, int percent, const std::string& stage, const std::string& detail);
    // A line of human text about target `index`: stderr, prefixed with the target.
    void Note(size_t index, const std::string& text);
    // Human text not tied to one target: stderr.
    void Say(const std::string& text);
    void Result(size_t index, const TargetResult& result);
    // Target `index` stopped without a result of its own (after the identity check before the question).
    void Done(size_t index);
    // A finished JSON line on stdout (JSON mode only).
    void JsonLine(const std::string& line);
    // Clears the live lines so that later text starts clean.
    void Stop();

    // The "N / M bytes" count last reported by a target, for results that carry no count of their own.
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
    void DrawLocked(bool force);
    void EraseLocked();

    Mode mode_;
    std::vector<std::string> labels_;
    std::vector<Track> tracks_;
    int columns_;
    std::mutex mutex_;
    size_t drawnLines_ = 0;
    Clock::time_point lastDraw_;
};

// The result's JSON line for `command` (identify, update, log, inventory, discover).
std::string ResultJson(const std::string& command, const TargetResult& result);

// The closing table of a run (not for JSON): one row per target.
std::string ResultTable(const std::string& command, const std::vector<TargetResult>& results);

// The inventory as comma-separated values with a header line.
std::string InventoryCsv(const std::vector<TargetResult>& results);

// Keeps the discovered modems that the serial number and call sign lists select (all when both are empty).
std::vector<CliTarget> FilterDiscovered(const std::vector<CliTarget>& found, const std::vector<std::uint64_t>& serialNumbers,
                                        const std::vector<std::string>& callSigns);

// A text table with a header line and columns as wide as their widest cell.
std::string FormatTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);
