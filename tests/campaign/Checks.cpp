// The promises the campaign checks after every run of a scenario, and once the resumes are done.
#include "campaign/Run.h"

#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "update/Sha256.h"

using nlohmann::json;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t Occurrences(const std::string& text, const std::string& needle, size_t from = 0) {
    size_t count = 0;
    for (size_t at = text.find(needle, from); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}

std::string Text(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A target's result: a line with a target and one of the results' statuses. Other lines (a journal's `run` and
// `start` lines, events of kinds not known here) are passed over.
bool IsResult(const json& object) {
    static const std::set<std::string> statuses = {"ok", "failed", "skipped", "cancelled", "not-started"};
    if (!object.is_object() || !object.contains("target")) return false;
    const auto status = object.find("status");
    return status != object.end() && status->is_string() && statuses.count(status->get<std::string>()) > 0;
}

// The SHA-256 of the image a modem stored: its blocks carry the image and then 0xFF to the block's end.
// Empty when it stored nothing.
std::string Holds(const std::string& path, size_t imageSize) {
    const std::string data = ReadFile(path);
    if (data.empty()) return std::string();
    if (data.size() < imageSize || data.find_first_not_of('\xFF', imageSize) != std::string::npos) return "other";
    return FirmwareSha256Hex(reinterpret_cast<const unsigned char*>(data.data()), imageSize);
}

std::string Cut(const std::string& text) { return text.size() > 160 ? text.substr(0, 160) + "..." : text; }

}  // namespace

std::vector<ModemCounts> ScenarioRun::Counts() const {
    std::vector<ModemCounts> counts;
    for (const ModemState& m : modems_) {
        const std::string log = m.Log();
        counts.push_back({Occurrences(log, "update requested"), Occurrences(log, "image stored:"), log.size()});
    }
    return counts;
}

std::string ScenarioRun::CurrentVersion(size_t modem) const {
    const std::string log = modems_[modem].Log();
    const std::string marker = ", then firmware ";
    const size_t at = log.rfind(marker);
    if (at == std::string::npos) return s_.modems[modem].version;
    const size_t start = at + marker.size();
    return log.substr(start, log.find_first_of("\r\n", start) - start);
}

std::string ScenarioRun::ImageSha(char type) const {
    auto it = images_.find(s_.byType ? type : 0);
    return it == images_.end() ? std::string() : it->second.second;
}

int ScenarioRun::ModemOf(const std::string& label) const {
    for (size_t i = 0; i < modems_.size(); ++i) {
        if (modems_[i].label == label) return static_cast<int>(i);
    }
    return -1;
}

void ScenarioRun::CheckRun(const CliRun& run, bool first, const std::vector<ModemCounts>& before) {
    const std::string tag = first ? "first run" : "resume";
    const std::vector<ModemCounts> after = Counts();
    const bool recordFault = first && s_.fault == Fault::DiskFull;
    const bool stdoutOk = run.stdoutWhole && !run.killed && !run.boundHit;
    char number[64];

    // It ends, and soon after a signal.
    if (run.boundHit) {
        std::snprintf(number, sizeof number, "%.1f s", run.endMs / 1000);
        Broken(tag + ": did not end by itself (killed by the campaign after " + number +
               (run.lastSignalMs >= 0 ? ", " + std::to_string(static_cast<int>(run.endMs - run.lastSignalMs)) + " ms after the last signal)" : ")"));
    } else if (run.lastSignalMs >= 0 && run.endMs - run.lastSignalMs > 3500) {
        Broken(tag + ": ended " + std::to_string(static_cast<int>(run.endMs - run.lastSignalMs)) +
               " ms after the last signal (grace 2 s + 1 s)");
    }
    if (run.endSignal != 0 && !run.killed && !run.boundHit)
        Broken(tag + ": ended by signal " + std::to_string(run.endSignal) + " (" + strsignal(run.endSignal) + ")");

    // The record: earlier lines kept, every new line whole JSON but at most a cut last one.
    const std::string record = ReadFile(record_);
    std::map<std::string, std::vector<json>> recorded;
    if (record.compare(0, run.recordBefore.size(), run.recordBefore) != 0) Broken("record: earlier lines were changed by the " + tag);
    if (!run.recordBefore.empty() && run.recordBefore.back() != '\n' && record.size() > run.recordBefore.size() &&
        record[run.recordBefore.size()] != '\n')
        Broken("record: the " + tag + " appended to a cut line instead of starting a new one");
    for (size_t at = std::min(record.size(), run.recordBefore.size()); at < record.size();) {
        size_t end = record.find('\n', at);
        if (end == std::string::npos) {
            if (!run.killed && !recordFault && !run.boundHit)
                Broken("record: the " + tag + " left a cut last line though nothing stopped it: " + Cut(record.substr(at)));
            break;
        }
        const std::string line = record.substr(at, end - at);
        at = end + 1;
        if (line.empty()) continue;
        const json parsed = json::parse(line, nullptr, false);
        if (!parsed.is_object()) Broken("record: a line of the " + tag + " is not JSON: " + Cut(line));
        else if (IsResult(parsed)) recorded[Text(parsed, "target")].push_back(parsed);
    }

    // stdout: JSON lines, one result per requested target.
    std::vector<std::string> requested;
    bool knowRequested = first;
    if (first) {
        for (const ModemState& m : modems_) requested.push_back(m.label);
    }
    std::map<std::string, std::vector<std::pair<double, json>>> results;
    std::set<std::string> canaries;
    std::map<std::string, std::string> planned;  // target -> the plan's action
    for (size_t i = 0; i < run.lines.size(); ++i) {
        json parsed = json::parse(run.lines[i].second, nullptr, false);
        if (!parsed.is_object()) {
            // Only a run whose stdout went away may leave a cut last line.
            if (stdoutOk || i + 1 < run.lines.size()) Broken(tag + ": a stdout line is not JSON: " + Cut(run.lines[i].second));
            continue;
        }
        const std::string event = Text(parsed, "event");
        if (event == "start" && !first && parsed.contains("target_list") && parsed["target_list"].is_array()) {
            for (const json& t : parsed["target_list"]) requested.push_back(t.is_string() ? t.get<std::string>() : t.dump());
            knowRequested = true;
        }
        if (event == "result") results[Text(parsed, "target")].push_back({run.lines[i].first, parsed});
        if (event == "plan" && parsed.value("canary", false)) canaries.insert(Text(parsed, "target"));
        if (event == "plan") planned[Text(parsed, "target")] = Text(parsed, "action");
    }
    const bool usage = run.exitCode == 2;
    if (!first && !knowRequested && stdoutOk && !usage) Broken(tag + ": no start event naming its targets");
    if (!knowRequested || usage) {
        if (usage) Broken(tag + ": usage error (exit 2): " + Cut(run.err));
        return;
    }
    const std::set<std::string> wanted(requested.begin(), requested.end());
    const bool recordWhole = !run.killed && !run.boundHit && !recordFault;
    // Targets without exactly one result, listed together (a run that stopped early lacks them all).
    std::map<std::string, std::vector<std::string>> wrong;
    for (const std::string& t : requested) {
        const size_t inJson = results.count(t) ? results[t].size() : 0;
        const size_t inRecord = recorded.count(t) ? recorded[t].size() : 0;
        if (stdoutOk && inJson != 1) wrong[std::to_string(inJson) + " results on stdout"].push_back(t);
        if (inRecord > 1 || (recordWhole && inRecord != 1)) wrong[std::to_string(inRecord) + " result lines in the record"].push_back(t);
    }
    for (const auto& [what, targets] : wrong) {
        std::string list;
        for (size_t i = 0; i < targets.size() && i < 3; ++i) list += (i ? ", " : "") + targets[i];
        if (targets.size() > 3) list += " and " + std::to_string(targets.size() - 3) + " more";
        Broken(tag + ": " + std::to_string(targets.size()) + " of " + std::to_string(requested.size()) +
               " targets have " + what + ", not one: " + list);
    }
    for (const auto& [t, list] : results) {
        if (!wanted.count(t)) Broken(tag + ": a result for " + t + ", which was not requested");
    }
    for (const auto& [t, list] : recorded) {
        if (!wanted.count(t)) Broken(tag + ": a record line for " + t + ", which was not requested");
    }

    // The exit status says whether every target ended ok or skipped.
    std::map<std::string, json> final;  // each target's result: stdout where it worked, else the record
    for (const auto& [t, list] : recorded) final[t] = list.back();
    if (stdoutOk) {
        for (const auto& [t, list] : results) final[t] = list.back().second;
    }
    std::string bad;
    for (const std::string& t : requested) {
        const std::string status = final.count(t) ? Text(final[t], "status") : "no result";
        if (status != "ok" && status != "skipped" && bad.empty()) bad = t + " is " + status;
    }
    if (run.exitCode == 0 && !bad.empty()) Broken(tag + ": exit 0 though " + bad);
    const bool excused = run.lastSignalMs >= 0 || run.killed || run.boundHit || recordFault ||
                         (first && s_.fault == Fault::StdoutClose) || !stdoutOk;
    if (run.exitCode > 0 && bad.empty() && !excused)
        Broken(tag + ": exit " + std::to_string(run.exitCode) + " though every target ended ok or skipped");

    // stdout that takes no more fails the run and keeps new targets from starting.
    if (run.stdoutClosedMs >= 0 && run.endMs > run.stdoutClosedMs + 100) {
        if (run.exitCode == 0) Broken(tag + ": exit 0 though its JSON output failed (stdout closed)");
        for (size_t i = 0; i < modems_.size(); ++i) {
            // A new target: an update's image under way, another command's first request.
            const Relay::Clock::time_point opened = modems_[i].relay ? modems_[i].relay->Began(s_.command == "update" ? 512 : 1)
                                                                     : Relay::Clock::time_point();
            if (opened == Relay::Clock::time_point() || opened < run.start) continue;
            const double at = std::chrono::duration<double, std::milli>(opened - run.start).count();
            if (at > run.stdoutClosedMs + 1000)
                Broken(tag + ": modem " + std::to_string(i + 1) + " (" + modems_[i].label + ") was started (" +
                       (s_.command == "update" ? "an image sent" : "a request sent") + ") " +
                       std::to_string(static_cast<int>(at - run.stdoutClosedMs)) + " ms after stdout was closed");
        }
    }

    // A link that is only slow, or cut while idle, works: a modem without a fault of its own does not fail on it.
    if (first && (s_.fault == Fault::SlowLink || s_.fault == Fault::IdleCut)) {
        for (const auto& [t, r] : final) {
            const int m = ModemOf(t);
            const std::string reason = Text(r, "reason");
            if (m < 0 || !s_.modems[static_cast<size_t>(m)].Clean() || Text(r, "status") != "failed" ||
                reason == "type" || reason == "current")
                continue;
            Broken(tag + ": modem " + std::to_string(m + 1) + " (" + t + "), without a fault of its own, failed (" + reason +
                   ") on a link that " + (s_.fault == Fault::SlowLink ? "is only slow" : "cuts idle connections") + ": " +
                   Cut(Text(r, "message")));
        }
    }

    // A modem back within --confirm is not failed for not coming back.
    for (const auto& [t, r] : final) {
        const int m = ModemOf(t);
        if (m < 0 || !s_.modems[static_cast<size_t>(m)].late || !first || Text(r, "reason") != "reboot") continue;
        Broken(tag + ": modem " + std::to_string(m + 1) + " (" + t + ") was back " +
               std::to_string(s_.modems[static_cast<size_t>(m)].rebootMs) + " ms after its restart began, within --confirm=" +
               std::to_string(s_.confirm) + ", yet failed: " + Cut(Text(r, "message")));
    }

    // What each modem holds against what was reported of it.
    const auto truth = [&](const std::string& t, const json& r, const std::string& where) {
        const int m = ModemOf(t);
        if (m < 0 || s_.command != "update") return;
        const size_t i = static_cast<size_t>(m);
        const std::string status = Text(r, "status");
        const std::string label = "modem " + std::to_string(i + 1) + " (" + t + ")";
        const std::string holds = Holds(modems_[i].storedPath, s_.imageSize);
        if (status == "ok" && holds != ImageSha(s_.modems[i].type))
            Broken(tag + ": " + label + " reported ok in the " + where + " but holds " + (holds.empty() ? "no image" : "another image"));
        const std::string back = Text(r, "firmware_after");
        if (status == "ok" && s_.confirm && !back.empty() && back != CurrentVersion(i))
            Broken(tag + ": " + label + " reported ok at " + back + " in the " + where + ", but the modem runs " +
                   CurrentVersion(i) + " (another modem answered for it)");
        if (!r.value("image_sent", false) && after[i].stored > before[i].stored)
            Broken(tag + ": " + label + " stored the new image in this run, yet its " + where + " result is " + status +
                   " with image_sent false");
    };
    for (const auto& [t, list] : recorded) truth(t, list.back(), "record");
    if (stdoutOk) {
        for (const auto& [t, list] : results) truth(t, list.back().second, "JSON");
    }

    // A resume sends no image to a modem whose ok line is in the record.
    if (!first) {
        std::istringstream lines(run.recordBefore);
        std::string line;
        std::set<std::string> done;
        while (std::getline(lines, line)) {
            const json parsed = json::parse(line, nullptr, false);
            if (IsResult(parsed) && Text(parsed, "status") == "ok") done.insert(Text(parsed, "target"));
        }
        for (const std::string& t : done) {
            const int m = ModemOf(t);
            if (m >= 0 && after[static_cast<size_t>(m)].updates > before[static_cast<size_t>(m)].updates)
                Broken(tag + ": sent an image to modem " + std::to_string(m + 1) + " (" + t + ") whose ok line is in the record");
        }
    }

    // A canary that does not end ok keeps every other target from starting.
    if (stdoutOk && !canaries.empty()) {
        std::string failed;
        for (const std::string& t : canaries) {
            if (final.count(t) && Text(final[t], "status") != "ok" && failed.empty()) failed = t;
        }
        for (size_t i = 0; i < modems_.size() && !failed.empty(); ++i) {
            if (canaries.count(modems_[i].label) || !wanted.count(modems_[i].label)) continue;
            if (after[i].updates > before[i].updates)
                Broken(tag + ": canary " + failed + " did not end ok, yet modem " + std::to_string(i + 1) + " (" +
                       modems_[i].label + ") was sent an image");
        }
    }

    // --max-failures counts targets that were started: failures in the plan stop nobody.
    if (stdoutOk && s_.maxFailures && !planned.empty()) {
        unsigned startedFailed = 0;
        std::string held;
        for (const auto& [t, r] : final) {
            if (Text(r, "status") == "failed" && planned[t] == "update") ++startedFailed;
            if (Text(r, "status") == "not-started" && Text(r, "reason") == "max-failures" && held.empty()) held = t;
        }
        if (!held.empty() && startedFailed < s_.maxFailures)
            Broken(tag + ": " + held + " was not started for --max-failures " + std::to_string(s_.maxFailures) + ", but only " +
                   std::to_string(startedFailed) + " started target(s) failed (the others failed in the plan)");
    }

    // The restart wait ends within --confirm of the modem's going away (and a moment for the result).
    for (size_t i = 0; i < modems_.size() && s_.confirm && stdoutOk; ++i) {
        if (!modems_[i].relay || !results.count(modems_[i].label)) continue;
        const Relay::Clock::time_point gone = modems_[i].relay->ModemClosedAfter(s_.imageSize);
        if (gone == Relay::Clock::time_point() || gone < run.start) continue;
        const double goneMs = std::chrono::duration<double, std::milli>(gone - run.start).count();
        const double waited = results[modems_[i].label].back().first - goneMs;
        if (o_.verbose) std::printf("  modem %zu: result %.0f ms after its restart began (--confirm=%u)\n", i + 1, waited, s_.confirm);
        if (waited > s_.confirm * 1000.0 + 400)
            Broken(tag + ": modem " + std::to_string(i + 1) + "'s result came " + std::to_string(static_cast<int>(waited)) +
                   " ms after its restart began, beyond --confirm=" + std::to_string(s_.confirm));
    }

    // Files: nothing changed but the record and the logs written, and each log where its result says.
    const auto now = Snapshot();
    std::set<std::string> named;
    for (const auto& [t, list] : results) {
        const json& r = list.back().second;
        if (s_.command != "log" || Text(r, "status") != "ok") continue;
        const std::string file = Text(r, "file");
        named.insert(file);
        struct stat info {};
        const bool exists = stat(file.c_str(), &info) == 0;
        if (!exists || files_.count(file) || taken_.count(file) || static_cast<long long>(info.st_size) != r.value("bytes", -1LL))
            Broken(tag + ": " + t + "'s log is reported as " + file + " (" + std::to_string(r.value("bytes", -1LL)) +
                   " bytes), but " + (!exists ? "no such file exists" : files_.count(file) || taken_.count(file) ? "that name was taken by another writer" : "that file has " + std::to_string(info.st_size) + " bytes"));
    }
    for (const auto& [path, stamp] : files_) {
        if (path == record_ || path == recordDir_ + "/filler") continue;
        const auto it = now.find(path);
        if (it == now.end()) Broken(tag + ": removed " + path);
        else if (it->second != stamp) Broken(tag + ": changed " + path);
    }
    for (const std::string& path : taken_) {
        if (ReadFile(path) != "taken\n") Broken(tag + ": replaced " + path + ", a file taken by another writer");
    }
    for (const auto& [path, stamp] : now) {
        if (files_.count(path) || path == record_ || taken_.count(path)) continue;
        const bool log = path.rfind(logDir_ + "/", 0) == 0;
        if (!log || (stdoutOk && !named.count(path))) Broken(tag + ": left the file " + path);
    }

    // A serial modem is opened at its own rate.
    for (size_t i = 0; i < modems_.size(); ++i) {
        const Modem& m = s_.modems[i];
        if (!m.serialLine) continue;
        const unsigned rate = m.serialInList ? m.rate : s_.baud;
        const std::string log = modems_[i].Log();
        const std::string marker = "line rate ";
        for (size_t at = log.find(marker, before[i].logLength); at != std::string::npos; at = log.find(marker, at + 1)) {
            const unsigned seen = static_cast<unsigned>(std::strtoul(log.c_str() + at + marker.size(), nullptr, 10));
            if (seen != rate) {
                Broken(tag + ": modem " + std::to_string(i + 1) + " (" + modems_[i].label + ") was opened at " +
                       std::to_string(seen) + " baud, not its " + std::to_string(rate));
                break;
            }
        }
    }
}

void ScenarioRun::CheckFinal(const CliRun& last) {
    if (!s_.CanSettle()) return;
    if (last.exitCode != 0) {
        std::string why;  // the first result that was not ok or skipped, else the end of stderr
        for (const auto& [ms, line] : last.lines) {
            const json r = json::parse(line, nullptr, false);
            if (why.empty() && IsResult(r) && Text(r, "status") != "ok" && Text(r, "status") != "skipped")
                why = Text(r, "target") + " " + Text(r, "status") + " (" + Text(r, "reason") + "): " + Text(r, "message");
        }
        if (why.empty()) why = last.err.substr(last.err.size() > 200 ? last.err.size() - 200 : 0);
        Broken("resume: after the faults were lifted, the last resume exited " + std::to_string(last.exitCode) +
               ", not 0: " + Cut(why));
        return;
    }
    if (s_.command != "update") return;
    for (size_t i = 0; i < modems_.size(); ++i) {
        const Modem& m = s_.modems[i];
        if (!s_.HasImageFor(m.type) || (s_.expect && m.version == "7.3")) continue;
        const std::string holds = Holds(modems_[i].storedPath, s_.imageSize);
        if (holds != ImageSha(m.type))
            Broken("resume: the resumes ended with exit 0, but modem " + std::to_string(i + 1) + " (" + modems_[i].label + ") " +
                   (holds.empty() ? "never got the image" : "holds another image"));
    }
}
