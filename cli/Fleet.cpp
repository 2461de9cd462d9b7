// brisklode-cli on many modems: each target on its own link and thread through the same core routines.
#include "cli/Fleet.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "cli/Files.h"
#include "cli/Json.h"
#include "cli/Terminal.h"
#include "console/Console.h"
#include "discovery/Discovery.h"
#include "modemlog/ModemLog.h"
#include "transport/Transport.h"
#include "update/Update.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A restarting modem is tried this often.
constexpr auto kRebootRetry = std::chrono::seconds(2);

std::unique_ptr<ITransport> MakeTargetLink(const CliTarget& target) {
    if (target.serial) {
        const std::wstring port = Utf8ToWide(target.serialPort);
        return target.baudRate != 0 ? CreateSerialTransport(port, target.baudRate) : CreateSerialTransport(port);
    }
    return CreateTelnetTransport(target.host, target.port);
}

// Runs work(0) .. work(count - 1) on up to `parallel` threads; the calling thread is one of them.
template <typename Work>
void RunParallel(size_t count, unsigned parallel, const Work& work) {
    std::atomic<size_t> next{0};
    const auto loop = [&]() {
        for (;;) {
            const size_t index = next.fetch_add(1);
            if (index >= count) return;
            work(index);
        }
    };
    const size_t threads = std::min<size_t>(parallel, count);
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < threads; ++i) helpers.emplace_back(loop);
    loop();
    for (std::thread& helper : helpers) helper.join();
}

// Sleeps until `until`, in slices short enough to notice cancellation; false when cancelled.
bool SleepUntil(Clock::time_point until, const std::atomic<bool>& cancel) {
    while (Clock::now() < until) {
        if (cancel.load()) return false;
        const auto left = until - Clock::now();
        std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(100)));
    }
    return !cancel.load();
}

void TakeIdentity(const ModemIdentity& identity, TargetResult& result) {
    result.model = identity.model;
    result.firmware = identity.firmware;
    result.type = Field(identity.response, "#0:");
}

// Waits for a modem that reboots after its update to answer its identity again: a new Telnet
// connection, or the serial port reopened, every 2 s until `seconds` have passed.
bool WaitForReboot(const CliTarget& target, unsigned seconds, std::atomic<bool>& cancel, const ProgressCallback& progress,
                   ModemIdentity& after, std::string& error) {
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::seconds(seconds);
    Clock::time_point attempt = start + kRebootRetry;  // give the modem time to go down first
    const std::string waiting = "Waiting up to " + std::to_string(seconds) + " s for the modem to restart";
    progress(100, "Waiting for restart", waiting);
    std::string lastError = "no answer";
    unsigned tries = 0;
    while (attempt <= deadline) {
        if (!SleepUntil(attempt, cancel)) {
            error = "Reboot check cancelled";
            return false;
        }
        attempt += kRebootRetry;
        ++tries;
        std::unique_ptr<ITransport> link = MakeTargetLink(target);
        std::string attemptError;
        if (link->Open(attemptError)) {
            const bool ok = CheckModemIdentity(*link, after, attemptError);
            link->Close();
            if (ok) return true;
        }
        lastError = attemptError;
        if (cancel.load()) {
            error = "Reboot check cancelled";
            return false;
        }
        while (attempt < Clock::now()) attempt += kRebootRetry;  // an attempt that took long skips missed slots
    }
    error = "The modem did not come back within " + std::to_string(seconds) + " s after the update (" +
            std::to_string(tries) + " attempts; last: " + lastError + ")";
    return false;
}

// One target's log, streamed into its file: memory stays at one chunk per running target.
bool FetchLogToFile(ITransport& link, const std::string& path, std::atomic<bool>& cancel, const ProgressCallback& progress,
                    TargetResult& result, std::string& error) {
    LogFileOutcome outcome;
    const int code = DownloadModemLogToFile(link, Utf8ToWide(path), cancel, progress, outcome, error);
    if (outcome.inPlace) {
        result.warning = "written in place (its folder takes no new file, or it has other hard links)";
        if (outcome.incomplete) result.warning += "; incomplete";
    }
    if (code == static_cast<int>(LogDownloadResult::Failed)) return false;
    result.protocol = code == static_cast<int>(LogDownloadResult::LegacyComplete) ? "legacy" : "fast";
    result.bytes = outcome.bytes;
    return true;
}

class FleetRun {
public:
    FleetRun(const CliOptions& options, std::vector<CliTarget> targets, std::atomic<bool>& cancel, FleetOutput& output)
        : options_(options), targets_(std::move(targets)), cancel_(cancel), output_(output), results_(targets_.size()) {
        for (size_t i = 0; i < targets_.size(); ++i) results_[i].label = targets_[i].Label();
        if (options_.LogToFolder()) logNames_ = LogFileNames(targets_);
    }

    std::vector<TargetResult>& Results() { return results_; }
    // The padded image every update sends, shared read-only by the workers.
    void SetImage(const std::vector<unsigned char>* image, std::uint16_t blockCount, std::uint64_t firmwareSize) {
        image_ = image;
        blockCount_ = blockCount;
        firmwareSize_ = firmwareSize;
    }

    // The identity of every target, for the list shown before an update of several modems.
    void PreCheck() {
        RunParallel(targets_.size(), options_.parallel, [this](size_t i) {
            TargetResult& result = results_[i];
            std::unique_ptr<ITransport> link = MakeTargetLink(targets_[i]);
            std::string error;
            output_.Progress(i, 0, "Checking identity", "Connecting to " + link->Description());
            if (!link->Open(error) || !Identify(*link, i, error)) {
                result.done = true;
                result.skipped = true;
                result.message = error;
            }
            link->Close();
            output_.Done(i);
        });
        output_.Stop();
    }

    void Run(const std::string& command) {
        RunParallel(targets_.size(), options_.parallel, [this, &command](size_t i) {
            TargetResult& result = results_[i];
            if (result.done) return;  // skipped by the identity check before the question
            const Clock::time_point start = Clock::now();
            if (cancel_.load()) {
                result.message = "Cancelled before it started";
            } else if (command == "identify" || command == "inventory") {
                RunIdentify(i);
            } else if (command == "update") {
                RunUpdate(i);
            } else {
                RunLog(i);
            }
            result.done = true;
            result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
            Report(command, i);
        });
        output_.Stop();
    }

private:
    ProgressCallback ProgressFor(size_t i) {
        return [this, i](int percent, const std::string& stage, const std::string& detail) {
            output_.Progress(i, percent, stage, detail);
        };
    }

    void Report(const std::string& command, size_t i) {
        const TargetResult& result = results_[i];
        if (output_.GetMode() == FleetOutput::Mode::Json) output_.JsonLine(ResultJson(command, result));
        output_.Result(i, result);
    }

    // Identity check with the --type filter; false with the reason (the modem is then left alone).
    bool Identify(ITransport& link, size_t i, std::string& error) {
        TargetResult& result = results_[i];
        ModemIdentity identity;
        if (!CheckModemIdentity(link, identity, error)) return false;
        TakeIdentity(identity, result);
        if (!options_.typeFilter.empty() && result.type != options_.typeFilter) {
            result.skipped = true;
            error = "Type mismatch: the modem reports type " + result.type + " (" + result.model + "), not " +
                    options_.typeFilter + "; left alone";
            return false;
        }
        return true;
    }

    bool Connect(ITransport& link, size_t i, std::string& error) {
        output_.Progress(i, 0, "Connecting", "Connecting to " + link.Description());
        return link.Open(error);
    }

    void RunIdentify(size_t i) {
        TargetResult& result = results_[i];
        std::unique_ptr<ITransport> link = MakeTargetLink(targets_[i]);
        std::string error;
        result.ok = Connect(*link, i, error) && Identify(*link, i, error);
        link->Close();
        result.message = result.ok ? result.model + ", firmware " + result.firmware : error;
    }

    bool AllowLegacy(size_t i) {
        if (options_.legacy == LegacyChoice::Yes) return true;
        if (options_.legacy == LegacyChoice::No) return false;
        if (targets_.size() == 1 && StdinIsTerminal() && StderrIsTerminal()) {
            output_.Stop();
            std::fprintf(stderr, "This modem firmware does not support UPDFAST.\n"
                                 "Use the slow legacy UPDATE protocol instead? Legacy UPDATE acknowledges every "
                                 "256-byte block,\nbut cannot report the final modem-side checksum result. [y/N] ");
            std::fflush(stderr);
            std::string answer;
            return ReadInputLine(answer) && !cancel_.load() && (answer == "y" || answer == "Y" || answer == "yes");
        }
        output_.Note(i, "UPDFAST is not available; not using the legacy UPDATE protocol (pass --legacy yes to allow it)");
        return false;
    }

    void RunUpdate(size_t i) {
        TargetResult& result = results_[i];
        result.confirmWanted = options_.confirm;
        const std::vector<unsigned char>& image = *image_;
        std::unique_ptr<ITransport> link = MakeTargetLink(targets_[i]);
        const ProgressCallback progress = ProgressFor(i);
        std::string error;
        if (!Connect(*link, i, error)) {
            result.message = error;
            return;
        }
        if (!Identify(*link, i, error)) {
            link->Close();
            result.skipped = true;
            result.message = error;
            return;
        }
        bool ok = false;
        const int code = RunPreparedFastUpdate(*link, image, blockCount_, cancel_, progress, error);
        if (code == static_cast<int>(UpdateResult::NotSupported)) {
            output_.Note(i, error);
            if (!cancel_.load() && AllowLegacy(i)) {
                error.clear();
                result.protocol = "legacy";
                ok = RunPreparedLegacyUpdate(*link, image, blockCount_, cancel_, progress, error);
            }
        } else {
            result.protocol = "fast";
            ok = code == static_cast<int>(UpdateResult::Installed);
        }
        link->Close();  // after success the modem reboots anyway
        if (!ok) {
            result.message = error;
            return;
        }
        result.bytes = firmwareSize_;
        result.message = result.protocol == "fast"
                             ? "Checksum OK on Modem"
                             : "Legacy transfer complete. Final modem checksum status unavailable";
        if (!options_.confirm) {
            result.ok = true;
            return;
        }
        ModemIdentity after;
        if (!WaitForReboot(targets_[i], options_.confirmSeconds, cancel_, progress, after, error)) {
            result.message += "; " + error;
            return;
        }
        result.ok = true;
        result.confirmed = true;
        result.firmwareAfter = after.firmware;
        if (after.firmware == result.firmware) {
            result.warning = "firmware version unchanged after the update (" + after.firmware + ")";
            result.message += "; the modem came back, firmware still " + after.firmware;
        } else {
            result.message += "; the modem came back with firmware " + after.firmware + " (was " + result.firmware + ")";
        }
    }

    void RunLog(size_t i) {
        TargetResult& result = results_[i];
        std::unique_ptr<ITransport> link = MakeTargetLink(targets_[i]);
        std::string error;
        const std::string path = logNames_.empty() ? options_.path : JoinPath(options_.path, logNames_[i]);
        bool ok = Connect(*link, i, error);
        if (ok && !options_.typeFilter.empty()) {
            ok = Identify(*link, i, error);
            result.skipped = !ok;
        }
        ok = ok && FetchLogToFile(*link, path, cancel_, ProgressFor(i), result, error);
        link->Close();
        result.ok = ok;
        if (!ok) {
            result.message = error;
            return;
        }
        result.file = path;
        result.message = "Modem log saved: " + path + " (" + std::to_string(result.bytes) + " bytes, " +
                         (result.protocol == "legacy" ? "legacy 256-byte protocol" : "fast protocol") + ")";
    }

    const CliOptions& options_;
    std::vector<CliTarget> targets_;
    std::atomic<bool>& cancel_;
    FleetOutput& output_;
    std::vector<TargetResult> results_;
    std::vector<std::string> logNames_;
    const std::vector<unsigned char>* image_ = nullptr;
    std::uint16_t blockCount_ = 0;
    std::uint64_t firmwareSize_ = 0;
};

FleetOutput::Mode OutputMode(const CliOptions& options) {
    if (options.json) return FleetOutput::Mode::Json;
    return StderrIsTerminal() && EnableTerminalEscapes() ? FleetOutput::Mode::Live : FleetOutput::Mode::Plain;
}

int Summarise(const std::string& command, const CliOptions& options, const std::vector<TargetResult>& results,
              double seconds) {
    size_t succeeded = 0, failed = 0, skipped = 0, warnings = 0;
    for (const TargetResult& result : results) {
        if (result.ok) ++succeeded;
        else if (result.skipped) ++skipped;
        else ++failed;
        if (!result.warning.empty()) ++warnings;
    }
    if (options.json) {
        JsonObject summary("summary");
        summary.Add("command", command)
            .Add("targets", static_cast<std::uint64_t>(results.size()))
            .Add("succeeded", static_cast<std::uint64_t>(succeeded))
            .Add("failed", static_cast<std::uint64_t>(failed))
            .Add("skipped", static_cast<std::uint64_t>(skipped))
            .Add("warnings", static_cast<std::uint64_t>(warnings))
            .Add("seconds", seconds);
        std::printf("%s\n", summary.Text().c_str());
    } else if (options.csv) {
        std::fputs(InventoryCsv(results).c_str(), stdout);
    } else if (!results.empty()) {
        std::fputs(ResultTable(command, results).c_str(), stdout);
    }
    std::fflush(stdout);
    std::fprintf(stderr, "%zu target%s: %zu succeeded, %zu failed, %zu skipped%s\n", results.size(),
                 results.size() == 1 ? "" : "s", succeeded, failed, skipped,
                 warnings > 0 ? (", " + std::to_string(warnings) + " with a warning").c_str() : "");
    return succeeded == results.size() ? kExitSuccess : kExitFailure;
}

std::vector<CliTarget> Discover(std::uint32_t timeoutMs, std::string& error) {
    std::vector<CliTarget> found;
    for (const DiscoveredModem& modem : DiscoverModems(timeoutMs, error)) {
        CliTarget target;
        target.host = modem.address;
        target.port = modem.port;
        target.discovered = true;
        target.serialNumber = modem.serialNumber;
        target.callSign = modem.callSign;
        target.statusByte = modem.statusByte;
        found.push_back(target);
    }
    return found;
}

void CopyDiscovery(const CliTarget& target, TargetResult& result) {
    result.discovered = target.discovered;
    result.address = target.host;
    result.port = target.port;
    result.serialNumber = target.serialNumber;
    result.callSign = target.callSign;
    result.statusByte = target.statusByte;
}

std::string ListLine(const CliTarget& target, const TargetResult& result) {
    std::string line = "  " + target.Label();
    if (target.discovered) {
        char serial[40];
        std::snprintf(serial, sizeof serial, "  S/N %016llX", static_cast<unsigned long long>(target.serialNumber));
        line += serial;
        line += "  call " + (target.callSign.empty() ? std::string("<none>") : target.callSign);
    }
    if (result.skipped) return line + "  SKIPPED: " + result.message;
    return line + "  " + result.model + ", firmware " + result.firmware;
}

}  // namespace

bool ResolveTargets(const CliOptions& options, std::vector<CliTarget>& targets, std::string& error, bool& usage) {
    targets.clear();
    usage = true;
    if (!options.targetsFile.empty()) {
        std::string text;
        if (!ReadTextFile(options.targetsFile, text, error)) return false;
        if (!ParseTargetList(text, targets, error)) return false;
    }
    if (options.discovered) {
        usage = false;
        std::string discoveryError;
        const std::vector<CliTarget> found = Discover(options.discoverTimeoutMs, discoveryError);
        if (!discoveryError.empty()) {
            error = discoveryError;
            return false;
        }
        for (const CliTarget& target : FilterDiscovered(found, options.serialNumberFilter, options.callFilter)) {
            targets.push_back(target);
        }
        usage = true;
    }
    targets.insert(targets.end(), options.targets.begin(), options.targets.end());
    return CheckDistinctTargets(targets, error);
}

int RunFleet(const CliOptions& options, std::atomic<bool>& cancel) {
    const Clock::time_point start = Clock::now();
    const std::string& command = options.command;
    std::string error;
    bool usage = false;

    // Loaded and padded once; every worker sends from the same image.
    std::vector<unsigned char> firmware;
    std::vector<unsigned char> image;
    std::uint16_t blockCount = 0;
    if (command == "update" &&
        (!LoadFirmwareFile(Utf8ToWide(options.path), firmware, error) || !PrepareFirmware(firmware, image, blockCount, error))) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kExitFailure;
    }
    const std::uint64_t firmwareSize = firmware.size();
    std::vector<unsigned char>().swap(firmware);  // the padded image is all the transfers need

    std::vector<CliTarget> targets;
    std::vector<std::string> portNames;  // ports --json: the display name of each port
    if (command == "ports") {
        for (const SerialPortInfo& port : EnumerateSerialPorts()) {
            CliTarget target;
            target.serial = true;
            target.serialPort = WideToUtf8(port.portName);
            targets.push_back(target);
            portNames.push_back(WideToUtf8(port.displayName));
        }
        if (targets.empty()) std::fprintf(stderr, "No serial ports found\n");
    } else if (command == "inventory" || command == "discover") {
        targets = Discover(options.discoverTimeoutMs, error);
        if (!error.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return kExitFailure;
        }
        if (targets.empty()) std::fprintf(stderr, "No modem found\n");
    } else if (!ResolveTargets(options, targets, error, usage)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return usage ? kExitUsage : kExitFailure;
    } else if (targets.empty()) {
        std::fprintf(stderr, "No modem to work on%s\n", options.discovered ? ": no modem answered or matched" : "");
        return kExitFailure;
    }
    if (options.LogToFolder() && !EnsureFolder(options.path, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kExitFailure;
    }
    const bool ask = command == "update" && targets.size() > 1;
    if (ask && !options.yes && !(StdinIsTerminal() && StderrIsTerminal())) {
        std::fprintf(stderr, "brisklode-cli: updating %zu modems needs --yes when no terminal is attached\n", targets.size());
        return kExitUsage;
    }

    std::vector<std::string> labels;
    for (const CliTarget& target : targets) labels.push_back(target.Label());
    FleetOutput output(OutputMode(options), labels, TerminalColumns());
    FleetRun run(options, targets, cancel, output);
    run.SetImage(&image, blockCount, firmwareSize);
    for (size_t i = 0; i < targets.size(); ++i) CopyDiscovery(targets[i], run.Results()[i]);

    if (command == "discover" || command == "ports") {
        for (size_t i = 0; i < targets.size(); ++i) {
            TargetResult& result = run.Results()[i];
            result.ok = true;
            result.message = command == "ports" ? portNames[i] : "answered the discovery probe";
            if (options.json) output.JsonLine(ResultJson(command, result));
        }
        return Summarise(command, options, run.Results(), std::chrono::duration<double>(Clock::now() - start).count());
    }

    if (ask) {
        run.PreCheck();
        size_t ready = 0;
        std::string list = "Firmware " + options.path + " (" + std::to_string(firmwareSize) + " bytes) for:";
        for (size_t i = 0; i < targets.size(); ++i) {
            list += "\n" + ListLine(targets[i], run.Results()[i]);
            if (!run.Results()[i].skipped) ++ready;
        }
        output.Say(list);
        if (ready == 0) {
            output.Say("No modem passed the identity check; nothing was sent");
        } else if (!options.yes) {
            std::fprintf(stderr, "Update %zu modem%s? [y/N] ", ready, ready == 1 ? "" : "s");
            std::fflush(stderr);
            std::string answer;
            if (!ReadInputLine(answer) || cancel.load() || (answer != "y" && answer != "Y" && answer != "yes")) {
                std::fprintf(stderr, "Not confirmed; nothing was sent\n");
                return kExitFailure;
            }
        }
        for (TargetResult& result : run.Results()) {
            if (!result.skipped) continue;
            if (options.json) output.JsonLine(ResultJson(command, result));
        }
    }
    run.Run(command);
    return Summarise(command, options, run.Results(), std::chrono::duration<double>(Clock::now() - start).count());
}
