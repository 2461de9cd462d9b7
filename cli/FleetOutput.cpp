// The outputs of a run on the command line: the JSON lines, the human lines and table, the one-target output.
#include "cli/FleetOutput.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "console/Console.h"
#include "discovery/SerialNumber.h"
#include "rollout/Json.h"
#include "rollout/Record.h"

// A result that standard output did not take is a result lost: the run fails saying so.
void RolloutOutputOnStdout::CheckStandardOutput() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        SetFault(std::string("Cannot write the results to standard output: ") +
                 (errno != 0 ? std::strerror(errno) : "write failed"));
    }
}

// --- JSON lines ---

void JsonOutput::Consume(const RolloutEvent& event) {
    std::string line;
    switch (event.kind) {
        case RolloutEvent::Kind::Start:
            command_ = event.start->command;
            labels_ = event.start->labels;
            tracks_.assign(labels_.size(), Track());
            line = StartJson(*event.start);
            break;
        case RolloutEvent::Kind::Progress: {
            if (event.index >= tracks_.size()) return;
            Track& track = tracks_[event.index];
            const bool counts = event.counted;
            if (counts) track.bytes = event.done;
            const bool changed = event.stage != track.stage || event.percent != track.percent ||
                                 (!counts && event.detail != track.detail);
            track.stage = event.stage;
            track.percent = event.percent;
            if (!counts) track.detail = event.detail;
            if (!changed) return;
            JsonObject progress("progress");
            progress.Add("target", labels_[event.index]).Add("stage", event.stage).Add("percent", event.percent);
            progress.Add("detail", event.detail).Add("bytes", track.bytes);  // 0 until the transfer counts
            line = progress.Text();
            break;
        }
        case RolloutEvent::Kind::Plan:
            for (size_t i = 0; i < event.plan->size(); ++i) {
                line += (line.empty() ? "" : "\n") + PlanJson((*event.plan)[i], (*event.results)[i]);
            }
            break;
        case RolloutEvent::Kind::Retry:
            if (event.index >= labels_.size()) return;
            line = RetryJson(event, labels_[event.index]);
            break;
        case RolloutEvent::Kind::Result: line = ResultJson(command_, *event.result); break;
        case RolloutEvent::Kind::Summary: line = SummaryJson(*event.summary); break;
        case RolloutEvent::Kind::Error: line = ErrorJson(event.text, event.usage); break;
        default: return;
    }
    if (Faulted()) return;
    line += '\n';
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), out_) != line.size() || std::fflush(out_) != 0) {
        SetFault(std::string("Cannot write the JSON lines to standard output: ") +
                 (errno != 0 ? std::strerror(errno) : "write failed"));
    }
}

// --- several targets on a terminal or in plain lines ---

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

void FleetOutput::Progress(const RolloutEvent& event) {
    const size_t index = event.index;
    const int percent = event.percent;
    const std::string& stage = event.stage;
    const std::string& detail = event.detail;
    if (index >= tracks_.size() || mode_ == Mode::Beside) return;
    Track& track = tracks_[index];
    const std::uint64_t done = event.done, total = event.total;
    const bool counts = event.counted;
    if (counts && !track.haveCounts) {
        track.haveCounts = true;
        track.firstDone = done;
        track.firstTime = Clock::now();
    }
    const bool newStage = stage != track.stage || !track.running;
    track.running = true;
    if (counts) {
        track.done = done;
        track.total = total;
    }
    if (mode_ == Mode::Plain) {
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

void FleetOutput::Line(const std::string& text) {
    if (mode_ == Mode::Live) EraseLocked();
    std::fprintf(stderr, "%s\n", text.c_str());
    if (mode_ == Mode::Live) DrawLocked(true);
    std::fflush(stderr);
}

void FleetOutput::Consume(const RolloutEvent& event) {
    switch (event.kind) {
        case RolloutEvent::Kind::Start:
            command_ = event.start->command;
            labels_ = event.start->labels;
            tracks_.assign(labels_.size(), Track());
            break;
        case RolloutEvent::Kind::Progress: Progress(event); break;
        case RolloutEvent::Kind::Note: Line("[" + labels_[event.index] + "] " + event.text); break;
        case RolloutEvent::Kind::Retry: Line("[" + labels_[event.index] + "] " + RetryText(event)); break;
        case RolloutEvent::Kind::Plan: {
            for (Track& track : tracks_) track.running = false;  // the identity checks are over
            std::string table = PlanTable(*event.plan, *event.results);
            if (!table.empty() && table.back() == '\n') table.pop_back();
            Line(table);
            break;
        }
        case RolloutEvent::Kind::Say: Line(event.text); break;
        case RolloutEvent::Kind::Error: Line(event.text); break;
        case RolloutEvent::Kind::Begin: break;
        case RolloutEvent::Kind::Quiet:
            if (mode_ == Mode::Live) EraseLocked();
            std::fflush(stderr);
            break;
        case RolloutEvent::Kind::Result: {
            const TargetResult& result = *event.result;
            if (event.index < tracks_.size()) tracks_[event.index].running = false;
            std::string verdict = StatusName(result.status);
            std::transform(verdict.begin(), verdict.end(), verdict.begin(), [](unsigned char c) { return std::toupper(c); });
            std::string text = "[" + result.label + "] " + verdict + ": " + result.message;
            if (!result.warning.empty()) text += " (WARNING: " + result.warning + ")";
            Line(text);
            break;
        }
        case RolloutEvent::Kind::Summary: {
            if (mode_ == Mode::Live) EraseLocked();
            const RunSummary& s = *event.summary;
            if (mode_ != Mode::Beside) {
                if (csv_) std::fputs(InventoryCsv(*event.results).c_str(), stdout);
                else if (!event.results->empty()) std::fputs(ResultTable(s.command, *event.results).c_str(), stdout);
            }
            CheckStandardOutput();
            std::string line = std::to_string(s.targets) + (s.targets == 1 ? " target: " : " targets: ") +
                               std::to_string(s.ok) + " succeeded, " + std::to_string(s.failed) + " failed, " +
                               std::to_string(s.skipped) + " skipped";
            if (s.cancelled > 0) line += ", " + std::to_string(s.cancelled) + " cancelled";
            if (s.notStarted > 0) line += ", " + std::to_string(s.notStarted) + " not started";
            if (s.warnings > 0) line += ", " + std::to_string(s.warnings) + " with a warning";
            std::fprintf(stderr, "%s\n", line.c_str());
            std::fflush(stderr);
            break;
        }
    }
}

// --- one target ---

void SingleOutput::Consume(const RolloutEvent& event) {
    switch (event.kind) {
        case RolloutEvent::Kind::Start: command_ = event.start->command; break;
        case RolloutEvent::Kind::Progress:
            display_.Report(event.percent, event.stage, event.detail, event.counted, event.done, event.total);
            break;
        case RolloutEvent::Kind::Note:
        case RolloutEvent::Kind::Say:
            display_.Finish();
            std::fprintf(stderr, "%s\n", event.text.c_str());
            break;
        case RolloutEvent::Kind::Retry:
            display_.Finish();
            std::fprintf(stderr, "%s\n", RetryText(event).c_str());
            break;
        case RolloutEvent::Kind::Plan:
            // One modem's update shows its plan only when the plan is all there is to see.
            if (event.stop) {
                display_.Finish();
                std::fputs(PlanTable(*event.plan, *event.results).c_str(), stderr);
            }
            break;
        case RolloutEvent::Kind::Error:
            display_.Finish();
            std::fprintf(stderr, "%s\n", event.text.c_str());
            break;
        case RolloutEvent::Kind::Quiet: display_.Finish(); break;
        case RolloutEvent::Kind::Begin: break;
        case RolloutEvent::Kind::Result: {
            display_.Finish();
            const TargetResult& r = *event.result;
            if (!r.Ok()) {
                std::fprintf(stderr, "%s%s\n", r.status == Status::Skipped ? "Skipped: " : "", r.message.c_str());
            } else if (command_ == "identify") {
                std::printf("Model:    %s\nFirmware: %s\nReply:    %s\n", r.model.c_str(), r.firmware.c_str(),
                            DiagnosticResponse(r.reply).c_str());
            } else if (command_ == "update" && r.protocol == Protocol::Legacy) {
                std::printf("Legacy transfer complete. Final modem checksum status unavailable; after reboot, check "
                            "that the new firmware version is running.\n");
                if (r.confirmed) std::printf("%s\n", r.message.c_str());
            } else if (command_ == "update") {
                std::printf("Checksum OK on Modem\nThe modem is rebooting.\n");
                if (r.confirmed) std::printf("%s\n", r.message.c_str());
            } else {
                std::fprintf(r.toStream ? stderr : stdout, "%s\n", r.message.c_str());
            }
            CheckStandardOutput();
            if (!r.warning.empty()) std::fprintf(stderr, "WARNING: %s\n", r.warning.c_str());
            std::fflush(stderr);
            break;
        }
        case RolloutEvent::Kind::Summary: break;
    }
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
    if (result.Ok()) return Cut(result.warning.empty() ? "ok" : "ok, WARNING: " + result.warning, 48);
    const std::string status = result.status == Status::Failed ? "FAILED" : StatusName(result.status);
    return Cut(status + ": " + result.message, 48);
}

// The target and who it is: label, serial number, call sign and model ("-" where unknown).
std::vector<std::string> IdentityCells(const TargetResult& r) {
    return {r.label, r.serialKnown ? SerialNumberText(r.serialNumber) : "-", r.callKnown && !r.callSign.empty() ? r.callSign : "-",
            r.model.empty() ? "-" : r.model};
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

std::string ImageJson(const ImageInfo& image) {
    return "{\"path\":" + JsonQuote(image.path) + ",\"size\":" + std::to_string(image.size) +
           ",\"sha256\":" + JsonQuote(image.sha256) + "}";
}

}  // namespace

std::string StartJson(const RunStart& start) {
    JsonObject event("start");
    event.Add("command", start.command).Add("targets", static_cast<std::uint64_t>(start.labels.size()));
    std::string list = "[";
    for (const std::string& label : start.labels) list += (list.size() > 1 ? "," : "") + JsonQuote(label);
    event.Raw("target_list", list + "]");
    if (start.command == "update") {
        const ImageInfo* plain = nullptr;
        std::string byType;
        for (const ImageInfo* image : start.images) {
            if (image->type.empty()) plain = image;
            else byType += (byType.empty() ? "" : ",") + JsonQuote(image->type) + ":" + ImageJson(*image);
        }
        if (plain != nullptr) event.Raw("image", ImageJson(*plain));
        else event.Null("image");
        event.Raw("images_by_type", "{" + byType + "}");
    }
    return event.Text();
}

std::string SummaryJson(const RunSummary& s) {
    JsonObject summary("summary");
    summary.Add("command", s.command)
        .Add("targets", static_cast<std::uint64_t>(s.targets))
        .Add("succeeded", static_cast<std::uint64_t>(s.ok))
        .Add("ok", static_cast<std::uint64_t>(s.ok))
        .Add("failed", static_cast<std::uint64_t>(s.failed))
        .Add("skipped", static_cast<std::uint64_t>(s.skipped))
        .Add("cancelled", static_cast<std::uint64_t>(s.cancelled))
        .Add("not_started", static_cast<std::uint64_t>(s.notStarted))
        .Add("warnings", static_cast<std::uint64_t>(s.warnings))
        .Add("seconds", s.seconds);
    return summary.Text();
}

std::string PlanJson(const PlanEntry& entry, const TargetResult& r) {
    JsonObject event("plan");
    event.Add("target", r.label).Add("action", ActionName(entry.action)).Add("reason", ReasonName(entry.reason));
    event.Add("message", entry.message).Add("warning", entry.warning);
    AddIdentity(event, r);
    if (r.type.empty()) event.Null("type");
    else event.Add("type", r.type);
    if (r.firmware.empty()) event.Null("firmware");
    else event.Add("firmware", r.firmware);
    const bool update = entry.action == PlanEntry::Action::Update && entry.image != nullptr;
    if (update) event.Raw("image", ImageJson(*entry.image)).Add("transfer", "fast");
    else event.Null("image").Null("transfer");
    return event.Bool("canary", entry.canary).Text();
}

std::string RetryJson(const RolloutEvent& retry, const std::string& label) {
    JsonObject event("retry");
    event.Add("target", label).Add("attempt", static_cast<std::uint64_t>(retry.attempt));
    event.Add("of", static_cast<std::uint64_t>(retry.of)).Add("seconds", retry.seconds).Add("message", retry.text);
    return event.Text();
}

std::string RetryText(const RolloutEvent& retry) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", retry.seconds);
    return retry.text + "; trying again in " + seconds + " s (" + std::to_string(retry.attempt) + " of " +
           std::to_string(retry.of) + ")";
}

std::string PlanTable(const std::vector<PlanEntry>& plan, const std::vector<TargetResult>& results) {
    std::vector<std::vector<std::string>> rows;
    for (size_t i = 0; i < plan.size() && i < results.size(); ++i) {
        const PlanEntry& entry = plan[i];
        const TargetResult& r = results[i];
        std::vector<std::string> row = IdentityCells(r);
        row.push_back(r.firmware.empty() ? "-" : r.firmware);
        std::string action = ActionName(entry.action);
        if (entry.canary) action += " (canary)";
        row.push_back(action);
        std::string what = entry.action == PlanEntry::Action::Update ? entry.image->path : Cut(entry.message, 60);
        if (!entry.warning.empty()) what += " (WARNING: " + entry.warning + ")";
        row.push_back(what);
        rows.push_back(row);
    }
    return FormatTable({"TARGET", "SERIAL NUMBER", "CALL", "MODEL", "FIRMWARE", "PLAN", "IMAGE OR REASON"}, rows);
}

std::string ErrorJson(const std::string& message, bool usage) {
    JsonObject error("error");
    error.Add("message", message).Bool("usage", usage);
    return error.Text();
}

std::string ResultJson(const std::string& command, const TargetResult& result) {
    JsonObject event("result");
    event.Add("target", result.label).Bool("ok", result.Ok());
    event.Add("status", StatusName(result.status)).Add("reason", ReasonName(result.reason));
    event.Add("message", result.message).Add("warning", result.warning);
    AddIdentity(event, result);
    if (result.discovered) {
        event.Add("address", result.address).Add("port", result.port).Add("status_byte", result.statusByte);
    }
    if (command != "discover" && command != "log" && command != "ports") {
        if (!result.firmware.empty()) event.Add("firmware", result.firmware);
        if (!result.type.empty()) event.Add("type", result.type);
    }
    if (command == "identify" && !result.reply.empty()) event.Add("reply", result.reply);
    if (command == "update" || command == "log") {
        event.Add("bytes", result.bytes);
        if (result.protocol != Protocol::None) event.Add("protocol", ProtocolName(result.protocol));
    }
    if (command == "update" && result.image != nullptr) event.Add("image_sha256", result.image->sha256);
    if (command == "update") event.Bool("image_sent", result.imageSent);
    if (command == "log" && !result.file.empty()) event.Add("file", result.file);
    // Every --confirm result names both versions, null where unknown (a modem that never came back).
    if (command == "update" && (result.confirmWanted || result.confirmed)) {
        if (result.firmware.empty()) event.Null("firmware_before");
        else event.Add("firmware_before", result.firmware);
        if (result.confirmed) event.Add("firmware_after", result.firmwareAfter);
        else event.Null("firmware_after");
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
            rows.push_back({r.address, std::to_string(r.port), SerialNumberText(r.serialNumber), r.callSign,
                            std::to_string(r.statusByte), r.Ok() ? r.model : "-",
                            r.Ok() ? r.firmware : "ERROR: " + Cut(r.message, 60)});
        }
    } else if (command == "update") {
        header = {"TARGET", "SERIAL NUMBER", "CALL", "MODEL", "BEFORE", "AFTER", "RESULT", "TIME"};
        for (const TargetResult& r : results) {
            rows.push_back(IdentityCells(r));
            rows.back().insert(rows.back().end(), {r.firmware.empty() ? "-" : r.firmware, r.confirmed ? r.firmwareAfter : "-",
                                                   Verdict(r), Seconds(r.seconds)});
        }
    } else if (command == "log") {
        header = {"TARGET", "SERIAL NUMBER", "CALL", "MODEL", "BYTES", "FILE", "RESULT", "TIME"};
        for (const TargetResult& r : results) {
            rows.push_back(IdentityCells(r));
            rows.back().insert(rows.back().end(), {r.Ok() ? std::to_string(r.bytes) : "-", r.Ok() ? r.file : "-",
                                                   Verdict(r), Seconds(r.seconds)});
        }
    } else if (command == "discover" || command == "ports") {
        return std::string();
    } else {
        header = {"TARGET", "SERIAL NUMBER", "CALL", "MODEL", "FIRMWARE", "RESULT", "TIME"};
        for (const TargetResult& r : results) {
            rows.push_back(IdentityCells(r));
            rows.back().insert(rows.back().end(), {r.firmware.empty() ? "-" : r.firmware, Verdict(r), Seconds(r.seconds)});
        }
    }
    return FormatTable(header, rows);
}

std::string InventoryCsv(const std::vector<TargetResult>& results) {
    std::string out = "address,port,serial_number,call_sign,status,model,firmware,error\n";
    for (const TargetResult& r : results) {
        out += CsvField(r.address) + "," + std::to_string(r.port) + "," + SerialNumberText(r.serialNumber) + "," +
               CsvField(r.callSign) + "," + std::to_string(r.statusByte) + "," + CsvField(r.Ok() ? r.model : "") + "," +
               CsvField(r.Ok() ? r.firmware : "") + "," + CsvField(r.Ok() ? "" : r.message) + "\n";
    }
    return out;
}
