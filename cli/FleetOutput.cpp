// What a many-modem run shows: JSON lines, plain lines prefixed with the target, or live lines on a terminal.
#include "cli/FleetOutput.h"

#include <algorithm>

#include "cli/Json.h"
#include "cli/Progress.h"

FleetOutput::FleetOutput(Mode mode, const std::vector<std::string>& labels, int columns)
    : mode_(mode), labels_(labels), tracks_(labels.size()), columns_(columns) {}

std::string FleetOutput::LiveLine(const std::string& label, const std::string& stage, int percent, std::uint64_t done,
                                  std::uint64_t total, double rate, int columns) {
    char number[16];
    std::snprintf(number, sizeof number, "%3d%%", std::max(0, std::min(100, percent)));
    std::string tail = number;
    if (total > 0) tail += "  " + FormatBytes(static_cast<double>(done)) + " / " + FormatBytes(static_cast<double>(total));
    if (rate > 0) tail += "  " + FormatBytes(rate) + "/s";
    std::string line = label + "  " + stage;
    if (stage.size() < 22) line += std::string(22 - stage.size(), ' ');
    const size_t room = columns > 1 ? static_cast<size_t>(columns - 1) : 79;
    if (line.size() + 2 + tail.size() > room) {
        const size_t keep = room > tail.size() + 5 ? room - tail.size() - 5 : 0;
        line = line.substr(0, std::min(line.size(), keep)) + "...";
    }
    line += "  " + tail;
    if (line.size() > room) line.resize(room);
    return line;
}

void FleetOutput::EraseLocked() {
    if (drawnLines_ == 0) return;
    std::fprintf(stderr, "\r\x1b[%zuA\x1b[J", drawnLines_);
    drawnLines_ = 0;
}

void FleetOutput::DrawLocked(bool force) {
    const Clock::time_point now = Clock::now();
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    EraseLocked();
    for (size_t i = 0; i < tracks_.size(); ++i) {
        const Track& track = tracks_[i];
        if (!track.running) continue;
        double rate = 0;
        const double elapsed = std::chrono::duration<double>(now - track.firstTime).count();
        if (track.haveCounts && elapsed > 0.2 && track.done > track.firstDone && track.done < track.total) {
            rate = static_cast<double>(track.done - track.firstDone) / elapsed;
        }
        std::fprintf(stderr, "%s\n",
                     LiveLine(labels_[i], track.stage, track.percent, track.done, track.total, rate, columns_).c_str());
        ++drawnLines_;
    }
    std::fflush(stderr);
}

void FleetOutput::Progress(size_t index, int percent, const std::string& stage, const std::string& detail) {
    std::lock_guard<std::mutex> lock(mutex_);
    Track& track = tracks_[index];
    std::uint64_t done = 0, total = 0;
    const bool counts = ParseByteCounts(detail, done, total);
    if (counts && !track.haveCounts) {
        track.haveCounts = true;
        track.firstDone = done;
        track.firstTime = Clock::now();
    }
    const bool newStage = stage != track.stage || !track.running;
    const bool newPercent = percent != track.percent;
    track.running = true;
    if (counts) {
        track.done = done;
        track.total = total;
    }
    if (mode_ == Mode::Json) {
        const bool newDetail = !counts && detail != track.lastDetail;
        if (newStage || newPercent || newDetail) {
            JsonObject event("progress");
            event.Add("target", labels_[index]).Add("stage", stage).Add("percent", percent).Add("detail", detail);
            event.Add("bytes", track.done);  // 0 until the transfer reports a count
            std::fprintf(stdout, "%s\n", event.Text().c_str());
            std::fflush(stdout);
        }
        if (!counts) track.lastDetail = detail;
    } else if (mode_ == Mode::Plain) {
        if (!counts) {
            if (!detail.empty() && detail != track.lastDetail) {
                std::fprintf(stderr, "[%s] %s: %s\n", labels_[index].c_str(), stage.c_str(), detail.c_str());
            }
            track.lastDetail = detail;
        } else if (newStage || percent >= track.lastPrintedPercent + 10 || done == total) {
            if (percent != track.lastPrintedPercent || newStage) {
                std::fprintf(stderr, "[%s] %s %3d%%  %s / %s\n", labels_[index].c_str(), stage.c_str(), percent,
                             FormatBytes(static_cast<double>(done)).c_str(), FormatBytes(static_cast<double>(total)).c_str());
            }
            track.lastPrintedPercent = percent;
        }
        std::fflush(stderr);
    }
    track.stage = stage;
    track.percent = percent;
    if (mode_ == Mode::Live) DrawLocked(newStage);
}

void FleetOutput::Note(size_t index, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ == Mode::Live) EraseLocked();
    std::fprintf(stderr, "[%s] %s\n", labels_[index].c_str(), text.c_str());
    if (mode_ == Mode::Live) DrawLocked(true);
    std::fflush(stderr);
}

void FleetOutput::Say(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ == Mode::Live) EraseLocked();
    std::fprintf(stderr, "%s\n", text.c_str());
    if (mode_ == Mode::Live) DrawLocked(true);
    std::fflush(stderr);
}

void FleetOutput::JsonLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

void FleetOutput::Result(size_t index, const TargetResult& result) {
    std::lock_guard<std::mutex> lock(mutex_);
    tracks_[index].running = false;
    if (mode_ == Mode::Live) EraseLocked();
    const char* verdict = result.ok ? "OK" : result.skipped ? "SKIPPED" : "FAILED";
    std::string text = "[" + result.label + "] " + verdict + ": " + result.message;
    if (!result.warning.empty()) text += " (WARNING: " + result.warning + ")";
    std::fprintf(stderr, "%s\n", text.c_str());
    if (mode_ == Mode::Live) DrawLocked(true);
    std::fflush(stderr);
}

void FleetOutput::Done(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    tracks_[index].running = false;
    if (mode_ == Mode::Live) DrawLocked(true);
}

void FleetOutput::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ == Mode::Live) EraseLocked();
    std::fflush(stderr);
}

std::string FormatTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths(header.size());
    for (size_t c = 0; c < header.size(); ++c) widths[c] = header[c].size();
    for (const auto& row : rows) {
        for (size_t c = 0; c < row.size() && c < widths.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    std::string out;
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (size_t c = 0; c < widths.size(); ++c) {
            const std::string cell = c < cells.size() ? cells[c] : std::string();
            text += cell;
            if (c + 1 < widths.size()) text += std::string(widths[c] - cell.size() + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + "\n";
    };
    line(header);
    for (const auto& row : rows) line(row);
    return out;
}

namespace {

std::string Hex16(std::uint64_t value) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llX", static_cast<unsigned long long>(value));
    return hex;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// The table keeps its lines readable; the whole message was shown with the target's result line.
std::string Cut(const std::string& text, size_t width) {
    return text.size() <= width ? text : text.substr(0, width - 3) + "...";
}

std::string Verdict(const TargetResult& result) {
    if (result.ok) return Cut(result.warning.empty() ? "ok" : "ok, WARNING: " + result.warning, 48);
    return Cut((result.skipped ? "skipped: " : "FAILED: ") + result.message, 48);
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

std::string ResultJson(const std::string& command, const TargetResult& result) {
    JsonObject event("result");
    event.Add("target", result.label).Bool("ok", result.ok).Add("message", result.message);
    if (result.skipped) event.Bool("skipped", true);
    if (!result.warning.empty()) event.Add("warning", result.warning);
    if (result.discovered) {
        event.Add("address", result.address)
            .Add("port", result.port)
            .Add("serial_number", Hex16(result.serialNumber))
            .Add("call_sign", result.callSign)
            .Add("status", result.statusByte);
    }
    if (command != "discover" && command != "log" && command != "ports") {
        if (!result.model.empty()) event.Add("model", result.model);
        if (!result.firmware.empty()) event.Add("firmware", result.firmware);
        if (!result.type.empty()) event.Add("type", result.type);
    }
    if (command == "update" || command == "log") {
        event.Add("bytes", result.bytes);
        if (!result.protocol.empty()) event.Add("protocol", result.protocol);
    }
    if (command == "log" && !result.file.empty()) event.Add("file", result.file);
    if (command == "update" && result.confirmed) {
        event.Add("firmware_before", result.firmware).Add("firmware_after", result.firmwareAfter);
    }
    if (command != "discover" && command != "ports") event.Add("seconds", result.seconds);
    return event.Text();
}

std::string ResultTable(const std::string& command, const std::vector<TargetResult>& results) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> header;
    if (command == "inventory") {
        header = {"ADDRESS", "PORT", "SERIAL NUMBER", "CALL", "STATUS", "MODEL", "FIRMWARE"};
        for (const TargetResult& r : results) {
            rows.push_back({r.address, std::to_string(r.port), Hex16(r.serialNumber), r.callSign,
                            std::to_string(r.statusByte), r.ok ? r.model : "-", r.ok ? r.firmware : "ERROR: " + r.message});
        }
    } else if (command == "update") {
        header = {"TARGET", "MODEL", "BEFORE", "AFTER", "RESULT", "TIME"};
        for (const TargetResult& r : results) {
            rows.push_back({r.label, r.model.empty() ? "-" : r.model, r.firmware.empty() ? "-" : r.firmware,
                            r.confirmed ? r.firmwareAfter : "-", Verdict(r), Seconds(r.seconds)});
        }
    } else if (command == "log") {
        header = {"TARGET", "BYTES", "FILE", "RESULT", "TIME"};
        for (const TargetResult& r : results) {
            rows.push_back({r.label, r.ok ? std::to_string(r.bytes) : "-", r.ok ? r.file : "-", Verdict(r), Seconds(r.seconds)});
        }
    } else {
        header = {"TARGET", "MODEL", "FIRMWARE", "RESULT", "TIME"};
        for (const TargetResult& r : results) {
            rows.push_back({r.label, r.model.empty() ? "-" : r.model, r.firmware.empty() ? "-" : r.firmware, Verdict(r),
                            Seconds(r.seconds)});
        }
    }
    return FormatTable(header, rows);
}

std::string InventoryCsv(const std::vector<TargetResult>& results) {
    std::string out = "address,port,serial_number,call_sign,status,model,firmware,error\n";
    for (const TargetResult& r : results) {
        out += CsvField(r.address) + "," + std::to_string(r.port) + "," + Hex16(r.serialNumber) + "," +
               CsvField(r.callSign) + "," + std::to_string(r.statusByte) + "," + CsvField(r.ok ? r.model : "") + "," +
               CsvField(r.ok ? r.firmware : "") + "," + CsvField(r.ok ? "" : r.message) + "\n";
    }
    return out;
}

std::vector<CliTarget> FilterDiscovered(const std::vector<CliTarget>& found, const std::vector<std::uint64_t>& serialNumbers,
                                        const std::vector<std::string>& callSigns) {
    std::vector<CliTarget> kept;
    for (const CliTarget& target : found) {
        const bool serialOk = serialNumbers.empty() ||
                              std::find(serialNumbers.begin(), serialNumbers.end(), target.serialNumber) != serialNumbers.end();
        const bool callOk = callSigns.empty() || std::find(callSigns.begin(), callSigns.end(), target.callSign) != callSigns.end();
        if (serialOk && callOk) kept.push_back(target);
    }
    return kept;
}
