// The station's verdict board (one line per port, for a terminal) and its JSON lines (for everything else).
#pragma once

#include <string>
#include <vector>

#include "rollout/Station.h"

// What the board shows, built from the station's events. Not thread-safe: the station hands over one event
// at a time.
class StationBoard {
public:
    void Apply(const StationEvent& event);
    // The board's lines: one per port in the order of their names, then the counters. `seconds` is the time
    // since the station started (for units per hour); `colour` adds ANSI colours and a bold verdict badge;
    // lines are cut to `columns`.
    std::vector<std::string> Lines(double seconds, int columns, bool colour) const;

private:
    struct Row {
        std::string port;
        bool working = false;  // a unit is at work: identified, flashed or checked
        UnitPhase phase = UnitPhase::Identifying;
        int percent = 0;
        std::string serial = "-", type = "-";
        bool judged = false;
        UnitVerdict verdict = UnitVerdict::Fail;
        std::string reason;
    };
    Row& RowFor(const std::string& port);

    std::vector<Row> rows_;
    size_t passed_ = 0, failed_ = 0, skipped_ = 0;
};

// The event's JSON line (without a line end); empty for an event JSON does not carry.
std::string StationJson(const StationEvent& event);
