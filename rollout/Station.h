// A production station: a rollout whose targets arrive over time. Every unit plugged into a watched port is
// identified, planned and updated once, keyed by its serial number, and gets one verdict per plug.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rollout/PortWatch.h"
#include "rollout/Request.h"

struct TargetResult;

struct StationRequest {
    // The update each unit gets: its images, guard rails, baud rate, retries and record. Its targets are
    // ignored: the ports bring them.
    RolloutRequest rollout;
    std::vector<std::string> portPatterns;  // "/dev/ttyUSB*", "COM*", "COM3,COM4"
    unsigned parallel = 0;                  // units at work at once; 0: every port at once
    unsigned maxUnits = 0;                  // the station ends once this many units have their verdict; 0: never
    unsigned settleMs = 1000;               // a port is opened once it has been there this long
};

// Where a unit is in its work.
enum class UnitPhase { Identifying, Flashing, Verifying, Restarting };
enum class UnitVerdict { Pass, Fail, Skip };
const char* UnitPhaseName(UnitPhase phase);      // "identifying", "flashing", ...
const char* UnitVerdictName(UnitVerdict verdict);  // "pass", "fail", "skip"

// The verdict reasons of the station's own (beside the rollout's: "current", "transfer", ...).
extern const char* const kReasonDoneBefore;  // "done before": its serial number has an ok line for this image
extern const char* const kReasonUnplugged;   // "unplugged": its port went while it was at work

// The counts that close a station.
struct StationSummary {
    size_t units = 0, passed = 0, failed = 0, skipped = 0;
    double seconds = 0;
    // 0 when every unit seen passed or was skipped.
    int ExitCode() const { return failed == 0 ? 0 : 1; }
    double UnitsPerHour() const { return seconds > 0 ? static_cast<double>(passed + failed + skipped) * 3600.0 / seconds : 0; }
};

// One event of a station. Events of one port come in order; the station hands them over one at a time.
struct StationEvent {
    enum class Kind {
        Ready,     // text: the station watches (the patterns)
        Arrived,   // port: a unit was plugged in and the port settled
        Departed,  // port: the unit was pulled (its verdict, if any, stays until now)
        Phase,     // port, phase, percent; who the unit is once identified
        Verdict,   // port, verdict, reason, text; result where the rollout ran for it
        Note,      // port (may be empty), text: a warning a person should read
        Summary,   // summary
        Error,     // text: the station could not start
    };
    Kind kind = Kind::Note;
    std::string port;
    UnitPhase phase = UnitPhase::Identifying;
    int percent = 0;
    bool serialKnown = false;
    std::uint64_t serialNumber = 0;
    std::string type, firmware;
    UnitVerdict verdict = UnitVerdict::Fail;
    std::string reason;
    std::string text;
    const TargetResult* result = nullptr;
    const StationSummary* summary = nullptr;
};

using StationOutput = std::function<void(const StationEvent&)>;

// Runs the station until `cancel` is set or --max-units is reached: units at work then are cancelled as in a
// rollout, each gets its verdict, then the summary. Returns the summary's exit code, or 1 or 2 (usage) when
// the station could not start (an image that cannot be read, a record that is no record). `lister` lists the
// ports (ListMatchingPorts over the patterns when empty).
int RunStation(const StationRequest& request, const StationOutput& output, std::atomic<bool>& cancel,
               PortWatch::Lister lister = nullptr);
