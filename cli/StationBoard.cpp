// The verdict board's text and the station's JSON lines.
#include "cli/StationBoard.h"

#include <algorithm>
#include <cstdio>

#include "cli/FleetOutput.h"
#include "discovery/SerialNumber.h"
#include "rollout/Json.h"

namespace {

// Bold, black on the verdict's colour: readable from across a bench.
const char* Badge(UnitVerdict verdict) {
    switch (verdict) {
        case UnitVerdict::Pass: return "\x1b[1;30;42m";
        case UnitVerdict::Fail: return "\x1b[1;37;41m";
        case UnitVerdict::Skip: return "\x1b[1;30;43m";
    }
    return "";
}

std::string VerdictWord(UnitVerdict verdict) {
    switch (verdict) {
        case UnitVerdict::Pass: return "PASS";
        case UnitVerdict::Fail: return "FAIL";
        case UnitVerdict::Skip: return "SKIP";
    }
    return "";
}

std::string Pad(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// Cuts `text` to `columns` visible characters, passing escape sequences through whole; a colour cut off before
// its reset is reset, so that it does not run on into the next line.
std::string Cut(const std::string& text, int columns) {
    std::string out;
    int visible = 0;
    bool escaped = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\x1b') escaped = true;
        if (escaped) {
            out += c;
            if (c == 'm') escaped = false;
            continue;
        }
        // Count characters, not bytes: a UTF-8 continuation byte belongs to the character before it.
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && ++visible > columns) {
            if (out.find('\x1b') != std::string::npos) out += "\x1b[0m";
            break;
        }
        out += c;
    }
    return out;
}

}  // namespace

StationBoard::Row& StationBoard::RowFor(const std::string& port) {
    for (Row& row : rows_) {
        if (row.port == port) return row;
    }
    // Rows in the order of the port names, as the ports sit on the bench, whatever order units came in.
    auto at = rows_.begin();
    while (at != rows_.end() && at->port < port) ++at;
    at = rows_.insert(at, Row{});
    at->port = port;
    return *at;
}

void StationBoard::Apply(const StationEvent& event) {
    if (event.kind == StationEvent::Kind::Arrived) {
        Row& row = RowFor(event.port);
        row = Row{};
        row.port = event.port;  // waiting for its turn until its work reports
    } else if (event.kind == StationEvent::Kind::Departed) {
        Row& row = RowFor(event.port);
        // A unit pulled before its verdict keeps the row busy until the verdict comes.
        if (!row.working) {
            row = Row{};
            row.port = event.port;
        }
    } else if (event.kind == StationEvent::Kind::Phase) {
        Row& row = RowFor(event.port);
        row.working = true;
        row.phase = event.phase;
        row.percent = event.percent;
        if (event.serialKnown) row.serial = SerialNumberText(event.serialNumber);
        if (!event.type.empty()) row.type = event.type;
    } else if (event.kind == StationEvent::Kind::Verdict) {
        Row& row = RowFor(event.port);
        row.working = false;
        row.judged = true;
        row.verdict = event.verdict;
        row.reason = event.reason;
        if (event.serialKnown) row.serial = SerialNumberText(event.serialNumber);
        if (!event.type.empty()) row.type = event.type;
        (event.verdict == UnitVerdict::Pass ? passed_ : event.verdict == UnitVerdict::Fail ? failed_ : skipped_) += 1;
    }
}

std::vector<std::string> StationBoard::Lines(double seconds, int columns, bool colour) const {
    size_t portWidth = 4;
    for (const Row& row : rows_) portWidth = std::max(portWidth, row.port.size());
    std::vector<std::string> lines;
    for (const Row& row : rows_) {
        std::string state;
        if (row.judged) {
            const std::string word = "  " + VerdictWord(row.verdict) + "  ";
            state = colour ? std::string(Badge(row.verdict)) + word + "\x1b[0m" : "[" + word + "]";
            if (!row.reason.empty()) state += " " + row.reason;
        } else if (row.working) {
            state = UnitPhaseName(row.phase);
            if (row.phase == UnitPhase::Flashing) state += " " + std::to_string(row.percent) + " %";
        } else {
            state = colour ? "\x1b[2mwaiting\x1b[0m" : "waiting";
        }
        lines.push_back(Cut(Pad(row.port, portWidth) + "  " + Pad(row.serial, 16) + "  " + Pad(row.type, 4) + state, columns));
    }
    char counters[160];
    const StationSummary summary{0, passed_, failed_, skipped_, seconds};
    std::snprintf(counters, sizeof counters, "passed %zu  failed %zu  skipped %zu  %.0f units per hour", passed_,
                  failed_, skipped_, summary.UnitsPerHour());
    lines.push_back(Cut(counters, columns));
    return lines;
}

std::string StationJson(const StationEvent& event) {
    switch (event.kind) {
        case StationEvent::Kind::Arrived:
        case StationEvent::Kind::Departed:
            return JsonObject("unit")
                .Add("port", event.port)
                .Add("state", event.kind == StationEvent::Kind::Arrived ? "arrived" : "departed")
                .Text();
        case StationEvent::Kind::Phase: {
            JsonObject line("progress");
            line.Add("port", event.port).Add("stage", UnitPhaseName(event.phase)).Add("percent", event.percent);
            if (event.serialKnown) line.Add("serial_number", SerialNumberText(event.serialNumber));
            else line.Null("serial_number");
            return line.Text();
        }
        case StationEvent::Kind::Verdict: {
            JsonObject line("unit");
            line.Add("port", event.port).Add("state", "verdict").Add("verdict", UnitVerdictName(event.verdict));
            line.Add("reason", event.reason).Add("message", event.text);
            if (event.serialKnown) line.Add("serial_number", SerialNumberText(event.serialNumber));
            else line.Null("serial_number");
            if (event.type.empty()) line.Null("type");
            else line.Add("type", event.type);
            std::string text = line.Text();
            // Where the rollout ran for the unit, its result line as a rollout writes it follows.
            if (event.result != nullptr) text += "\n" + ResultJson("update", *event.result);
            return text;
        }
        case StationEvent::Kind::Note:
            return JsonObject("note").Add("port", event.port).Add("message", event.text).Text();
        case StationEvent::Kind::Ready:
            return JsonObject("start").Add("command", "station").Add("ports", event.text).Text();
        case StationEvent::Kind::Summary: {
            const StationSummary& s = *event.summary;
            return JsonObject("summary")
                .Add("command", "station")
                .Add("units", static_cast<std::uint64_t>(s.units))
                .Add("passed", static_cast<std::uint64_t>(s.passed))
                .Add("failed", static_cast<std::uint64_t>(s.failed))
                .Add("skipped", static_cast<std::uint64_t>(s.skipped))
                .Add("seconds", s.seconds)
                .Add("units_per_hour", s.UnitsPerHour())
                .Add("exit_code", s.ExitCode())
                .Text();
        }
        case StationEvent::Kind::Error:
            return ErrorJson(event.text, false);
    }
    return "";
}
