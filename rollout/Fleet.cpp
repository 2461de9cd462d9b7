// brisklode-cli on one modem or many: each target on its own link and thread through the same core routines,
// the run told as a stream of events that the outputs consume.
#include "rollout/Fleet.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <tuple>
#include <memory>
#include <mutex>
#include <thread>

#include "BrisklodeVersion.h"
#include "cli/Files.h"
#include "cli/Interrupt.h"
#include "rollout/Resume.h"
#include "cli/Terminal.h"
#include "console/Console.h"
#include "discovery/Discovery.h"
#include "modemlog/ModemLog.h"
#include "rollout/Plan.h"
#include "rollout/Record.h"
#include "transport/File.h"
#include "transport/SystemError.h"
#include "transport/Transport.h"
#include "update/Sha256.h"
#include "update/Restart.h"
#include "update/Update.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The first pause of --retries; each later one doubles, up to the cap.
constexpr auto kFirstRetryPause = std::chrono::seconds(1);
constexpr auto kLongestRetryPause = std::chrono::seconds(30);

// Sleeps until `until`, in slices short enough to notice cancellation; false when cancelled.
bool SleepUntil(Clock::time_point until, const std::atomic<bool>& cancel) {
    while (Clock::now() < until) {
        if (cancel.load()) return false;
        const auto left = until - Clock::now();
        std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(100)));
    }
    return !cancel.load();
}

// The link to a target, ended by the run's cancel flag; connectTimeoutMs 0 keeps the link's own bound.
std::unique_ptr<ITransport> MakeLink(const CliTarget& target, const std::atomic<bool>& cancel, unsigned connectTimeoutMs) {
    std::unique_ptr<ITransport> link;
    if (target.serial) {
        const std::wstring port = Utf8ToWide(target.serialPort);
        link = target.baudRate != 0 ? CreateSerialTransport(port, target.baudRate, &cancel)
                                    : CreateSerialTransport(port, &cancel);
    } else {
        link = CreateTelnetTransport(target.host, target.port, &cancel);
    }
    link->SetConnectTimeout(connectTimeoutMs);
    return link;
}

// Runs work(list[0]) .. work(list[n - 1]) on up to `parallel` threads; the calling thread is one of them.
template <typename Work>
void RunParallel(const std::vector<size_t>& list, unsigned parallel, const Work& work) {
    std::atomic<size_t> next{0};
    const auto loop = [&]() {
        for (;;) {
            const size_t at = next.fetch_add(1);
            if (at >= list.size()) return;
            work(list[at]);
        }
    };
    const size_t threads = std::min<size_t>(std::max(1u, parallel), list.size());
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < threads; ++i) helpers.emplace_back(loop);
    loop();
    for (std::thread& helper : helpers) helper.join();
}

// "20261207T191305Z": the UTC time for a file name.
std::string StampNow() {
    std::string stamp;
    for (char c : UtcNow()) {
        if (c != '-' && c != ':') stamp += c;
    }
    return stamp;
}

// A target that discovery named but that did not answer its probe.
std::string NotFoundMessage(const CliTarget& target) {
    return "Did not answer the discovery probe (" + target.missing + ")";
}

// The value after `marker` when its end arrived too (a "#" or a line end): a reply cut short names nothing.
bool WholeField(const std::string& reply, const std::string& marker, std::string& value) {
    const size_t at = reply.find(marker);
    if (at == std::string::npos) return false;
    const size_t begin = at + marker.size();
    const size_t end = reply.find_first_of("#\r\n", begin);
    if (end == std::string::npos) return false;
    value = reply.substr(begin, end - begin);
    return true;
}

class FleetRun {
public:
    FleetRun(const CliOptions& options, std::vector<CliTarget> targets, std::atomic<bool>& cancel, FleetEvents& events)
        : options_(options), targets_(std::move(targets)), cancel_(cancel), events_(events), results_(targets_.size()) {
        for (size_t i = 0; i < targets_.size(); ++i) {
            TargetResult& result = results_[i];
            const CliTarget& target = targets_[i];
            result.label = target.Label();
            result.discovered = target.discovered;
            result.address = target.host;
            result.port = target.port;
            result.serialKnown = result.callKnown = target.discovered;
            result.serialNumber = target.serialNumber;
            result.callSign = target.callSign;
            result.statusByte = target.statusByte;
        }
        told_ = results_;
        if (options_.LogToFolder()) {
            logNames_ = LogFileNames(targets_);
            logStamp_ = StampNow();
            firstLogName_.assign(logNames_.size(), 0);
            // An earlier run's log of the same name stays: this run's file gets the time in its name. The
            // name is only a first choice: the log takes the first free one when it is complete.
            if (!options_.overwrite) {
                for (size_t i = 0; i < logNames_.size(); ++i) {
                    while (PathExists(LogName(i, firstLogName_[i]))) ++firstLogName_[i];
                }
            }
        }
    }

    // Each target's own result, as its worker builds it; read it only where no worker runs.
    std::vector<TargetResult>& Results() { return results_; }
    const std::vector<CliTarget>& Targets() const { return targets_; }

    // The images every update sends, loaded and padded once and shared read-only by the workers.
    struct Image {
        ImageInfo info;
        std::vector<unsigned char> padded;
        std::uint16_t blocks = 0;
    };
    void SetImages(const std::vector<std::unique_ptr<Image>>* images) { images_ = images; }

    // Ends target `i` with its result (once). A result that comes after the run was closed is not told: the
    // target has its result from the close.
    void Finish(size_t i, Status status, const std::string& reason, const std::string& message) {
        TargetResult& result = results_[i];
        if (result.done) return;
        result.status = status;
        result.reason = reason;
        result.message = message;
        Report(i);
    }

    // Ends the run: every target still open gets its result (cancelled by a signal: the program stops waiting
    // for it), then the summary; returns the run's exit status. Safe from any thread while workers still run.
    int Close(double seconds) {
        std::lock_guard<std::mutex> lock(toldMutex_);
        if (closed_) return closedCode_;  // the worker's close and the main thread's may meet
        closed_ = true;
        for (size_t i = 0; i < told_.size(); ++i) {
            TargetResult& result = told_[i];
            if (result.done) continue;
            result.done = true;
            result.status = Status::Cancelled;
            result.reason = "signal";
            result.message = "Cancelled; the program ended without waiting for the modem";
            if (result.image != nullptr) {
                result.bytes = std::min<std::uint64_t>(tallies_[i].sent.load(), result.image->size);
                result.imageSent = result.bytes == result.image->size;
                if (MayInstall(tallies_[i], result.image->size)) {
                    result.message = "cancelled after the whole image was sent; the modem may install it: check its version";
                }
            }
            Stamp(i, result);
            Tell(i);
        }
        const RunSummary summary = Summarise(options_.command, told_, seconds);
        FleetEvent event;
        event.kind = FleetEvent::Kind::Summary;
        event.summary = &summary;
        event.results = &told_;
        events_.Emit(event);
        const std::vector<std::string> faults = events_.Faults();
        for (const std::string& fault : faults) std::fprintf(stderr, "brisklode-cli: %s\n", fault.c_str());
        std::fflush(stderr);
        closedCode_ = faults.empty() ? summary.ExitCode() : kExitFailure;
        return closedCode_;
    }

    // The update's plan: every target's identity checked on the link its update will use (held open until the
    // apply), then what it gets. Targets that cannot be reached or identified fail; others of another type, or
    // already at the expected version, are skipped; the first --canary of the rest are the canaries.
    void Plan() {
        plan_.assign(targets_.size(), PlanEntry());
        links_.resize(targets_.size());
        // One byte a target, written by its own worker (a vector<bool> packs neighbours into one word).
        std::vector<unsigned char> identifiedBy(targets_.size(), 0);
        RunParallel(All(), options_.parallel, [this, &identifiedBy](size_t i) {
            PlanEntry& entry = plan_[i];
            if (!targets_[i].missing.empty()) {
                entry.reason = "not-found";
                entry.message = NotFoundMessage(targets_[i]);
                return;
            }
            Begin(i);
            Outcome outcome;
            if (Connect(i, true, "Checking identity", links_[i], outcome)) {
                identifiedBy[i] = 1;
                return;
            }
            // A cancelled check ends the run before the plan is shown: its result is told at once.
            if (outcome.status == Status::Cancelled) Finish(i, outcome.status, outcome.reason, outcome.message);
            entry.action = outcome.status == Status::Skipped ? PlanEntry::Action::Skip : PlanEntry::Action::Fail;
            entry.reason = outcome.reason;
            entry.message = outcome.message;
        });
        std::vector<const ImageInfo*> images;
        for (const auto& image : *images_) images.push_back(&image->info);
        const std::vector<bool> identified(identifiedBy.begin(), identifiedBy.end());
        DecidePlan(options_, images, results_, identified, plan_);
        for (size_t i = 0; i < plan_.size(); ++i) {
            if (plan_[i].action == PlanEntry::Action::Update) {
                results_[i].image = plan_[i].image;
                Publish(i);
            } else if (links_[i]) {
                links_[i]->Close();
                links_[i].reset();
            }
        }
    }

    const std::vector<PlanEntry>& PlanEntries() const { return plan_; }

    // Every target gets its plan as its result: skipped and failed as planned, the rest not started for `reason`.
    // With `skipsToo` the skipped targets are not started as well: a run stopped by a mistake in the command line
    // decided nothing about them.
    void FinishAsPlanned(Status rest, const std::string& reason, const std::string& message, bool skipsToo = false) {
        for (size_t i = 0; i < plan_.size(); ++i) {
            const PlanEntry& entry = plan_[i];
            const bool asRest = entry.action == PlanEntry::Action::Update || (skipsToo && entry.action == PlanEntry::Action::Skip);
            if (asRest) Finish(i, rest, reason, message.empty() ? "Planned, not sent: " + entry.message : message);
            else Finish(i, PlannedStatus(entry, false), entry.reason, entry.message);
        }
        DropLinks();
    }

    void DropLinks() {
        for (size_t i = 0; i < links_.size(); ++i) DropLink(i);
    }

    // Only target i's worker, or the main thread once no worker runs, touches links_[i].
    void DropLink(size_t i) {
        if (i >= links_.size() || !links_[i]) return;
        links_[i]->Close();
        links_[i].reset();
    }

    void Run() {
        // An update applies its plan: the skipped and failed targets end as planned, and the canaries are the
        // first targets that get an image.
        std::vector<size_t> list;
        for (size_t i = 0; i < targets_.size(); ++i) {
            if (i >= plan_.size() || plan_[i].action == PlanEntry::Action::Update) {
                list.push_back(i);
                continue;
            }
            const PlanEntry& entry = plan_[i];
            const bool strictSkip = options_.strict && entry.action == PlanEntry::Action::Skip;
            Finish(i, PlannedStatus(entry, options_.strict), entry.reason,
                   entry.message + (strictSkip ? " (--strict: a skipped modem is a failure)" : ""));
        }
        const size_t canary = std::min<size_t>(options_.canary, list.size());
        if (canary == 0 || canary == list.size()) {
            RunParallel(list, options_.parallel, [this](size_t i) { Work(i); });
            return;
        }
        const std::vector<size_t> first(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(canary));
        const std::vector<size_t> rest(list.begin() + static_cast<std::ptrdiff_t>(canary), list.end());
        RunParallel(first, options_.parallel, [this](size_t i) { Work(i); });
        size_t bad = 0;
        for (size_t i : first) {
            if (results_[i].status != Status::Ok && results_[i].status != Status::Skipped) ++bad;
        }
        // Canary targets cancelled by a signal say nothing about the image: the rest is cancelled, not held back.
        if (bad > 0 && !cancel_.load()) {
            std::lock_guard<std::mutex> lock(gateMutex_);
            if (stopReason_.empty()) {
                stopReason_ = "canary";
                stopMessage_ = "Not started: " + std::to_string(bad) + " of the " + std::to_string(canary) +
                               " canary target" + (canary == 1 ? "" : "s") + " did not succeed";
            }
        }
        RunParallel(rest, options_.parallel, [this](size_t i) { Work(i); });
    }

    // Every target without a result gets `status` (a run that ends before it reaches them).
    void FinishRest(Status status, const std::string& reason, const std::string& message) {
        for (size_t i = 0; i < results_.size(); ++i) {
            if (!results_[i].done) Finish(i, status, reason, message);
        }
    }

private:
    std::vector<size_t> All() const {
        std::vector<size_t> all(targets_.size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = i;
        return all;
    }

    // The target's own start: its identity check before the question, or else its work. `again` starts it anew
    // (the work of a target checked before the question starts when a worker takes it up).
    void Begin(size_t i, bool again = false) {
        std::lock_guard<std::mutex> lock(toldMutex_);
        TargetResult& result = results_[i];
        if (!result.startUtc.empty() && !again) return;
        result.startUtc = UtcNow();
        starts_[i] = Clock::now();
        told_[i].startUtc = result.startUtc;
    }

    // What the close must know of a target still at work: its identity and its image.
    void Publish(size_t i) {
        std::lock_guard<std::mutex> lock(toldMutex_);
        TargetResult& told = told_[i];
        if (told.done) return;
        const TargetResult& result = results_[i];
        told.model = result.model;
        told.serialKnown = result.serialKnown;
        told.serialNumber = result.serialNumber;
        told.callKnown = result.callKnown;
        told.callSign = result.callSign;
        told.firmware = result.firmware;
        told.type = result.type;
        told.image = result.image;
    }

    // With toldMutex_ held.
    void Stamp(size_t i, TargetResult& result) {
        if (result.startUtc.empty()) {
            result.startUtc = UtcNow();
            starts_[i] = Clock::now();
        }
        result.endUtc = UtcNow();
        result.seconds = std::chrono::duration<double>(Clock::now() - starts_[i]).count();
    }

    // With toldMutex_ held.
    void Tell(size_t i) {
        FleetEvent event;
        event.kind = FleetEvent::Kind::Result;
        event.index = i;
        event.result = &told_[i];
        events_.Emit(event);
    }

    void Report(size_t i) {
        TargetResult& result = results_[i];
        if (result.done) return;
        result.done = true;
        std::lock_guard<std::mutex> lock(toldMutex_);
        if (told_[i].done) return;
        Stamp(i, result);
        told_[i] = result;
        // A skip that --strict fails was known before anything was sent: it says nothing of the image.
        const bool strictSkip = i < plan_.size() && plan_[i].action == PlanEntry::Action::Skip;
        if (result.status == Status::Failed && !strictSkip) {
            const unsigned failed = ++failures_;
            if (options_.maxFailures > 0 && failed >= options_.maxFailures) {
                std::lock_guard<std::mutex> lock(gateMutex_);
                if (stopReason_.empty()) {
                    stopReason_ = "max-failures";
                    stopMessage_ = "Not started: " + std::to_string(failed) + " target" + (failed == 1 ? "" : "s") +
                                   " failed (--max-failures " + std::to_string(options_.maxFailures) + ")";
                }
            }
        }
        Tell(i);
    }

    void Emit(FleetEvent::Kind kind, size_t i, const std::string& text) {
        if (closed_) return;
        FleetEvent event;
        event.kind = kind;
        event.index = i;
        event.text = text;
        events_.Emit(event);
    }

    ProgressCallback ProgressFor(size_t i) {
        return [this, i](int percent, const std::string& stage, const std::string& detail) {
            if (closed_) return;
            FleetEvent event;
            event.kind = FleetEvent::Kind::Progress;
            event.index = i;
            event.percent = percent;
            event.stage = stage;
            event.detail = detail;
            events_.Emit(event);
        };
    }

    void Work(size_t i) {
        if (results_[i].done) return;  // ended before the run: not found, or settled by the identity check
        Begin(i, true);
        if (cancel_.load()) {
            Finish(i, Status::Cancelled, "signal", "Cancelled before it started");
            DropLink(i);  // a target that does not start lets its modem go at once
            return;
        }
        if (events_.StopsTargets()) {
            std::lock_guard<std::mutex> lock(gateMutex_);
            if (stopReason_.empty()) {
                stopReason_ = "record";
                stopMessage_ = "Not started: the record could not be written";
            }
        }
        std::string stopReason, stopMessage;
        {
            std::lock_guard<std::mutex> lock(gateMutex_);
            stopReason = stopReason_;
            stopMessage = stopMessage_;
        }
        if (!stopReason.empty()) {
            Finish(i, Status::NotStarted, stopReason, stopMessage);
            DropLink(i);
            return;
        }
        const std::string& command = options_.command;
        if (command == "identify" || command == "inventory") RunIdentify(i);
        else if (command == "update") RunUpdate(i);
        else RunLog(i);
        if (!results_[i].done) Finish(i, results_[i].status, results_[i].reason, results_[i].message);
    }

    enum class Identity { Ok, Failed, OtherType };

    // Identity check with the --type filter.
    Identity Identify(ITransport& link, size_t i, std::string& error) {
        TargetResult& result = results_[i];
        ModemIdentity identity;
        const bool ok = CheckModemIdentity(link, identity, error);
        if (!ok) {
            error = CutModemText(error);
            return Identity::Failed;
        }
        result.model = identity.model;
        result.firmware = identity.firmware;
        result.type = Field(identity.response, "#0:");
        result.reply = identity.response;
        // The modem names itself after the version: serial number and call sign, where they came whole.
        std::string serial;
        if (WholeField(identity.response, "#2:", serial) && serial.size() == 16 &&
            serial.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos) {
            result.serialKnown = true;
            result.serialNumber = std::stoull(serial, nullptr, 16);
        }
        std::string call;
        if (WholeField(identity.response, "#3:", call)) {
            result.callKnown = true;
            result.callSign = call;
        }
        Publish(i);
        if (!options_.typeFilter.empty() && result.type != options_.typeFilter) {
            error = "Type mismatch: the modem reports type " + result.type + " (" + result.model + "), not " +
                    options_.typeFilter + "; left alone";
            return Identity::OtherType;
        }
        return Identity::Ok;
    }

    // How a connection or identity check ended when it did not succeed.
    struct Outcome {
        Status status = Status::Failed;
        std::string reason, message;
    };

    // Connects (and checks the identity when asked), trying again after connect and identity failures as
    // --retries allows. False with the target's outcome: failed, cancelled, or skipped as another --type.
    bool Connect(size_t i, bool identify, const std::string& stage, std::unique_ptr<ITransport>& link, Outcome& outcome) {
        const unsigned connectMs = options_.connectTimeoutSeconds * 1000;
        auto pause = std::chrono::duration_cast<Clock::duration>(kFirstRetryPause);
        std::string error, reason;
        for (unsigned attempt = 0; attempt <= options_.retries; ++attempt) {
            if (attempt > 0) {
                if (!closed_) {
                    FleetEvent retry;
                    retry.kind = FleetEvent::Kind::Retry;
                    retry.index = i;
                    retry.attempt = attempt;
                    retry.of = options_.retries;
                    retry.seconds = std::chrono::duration<double>(pause).count();
                    retry.text = error;
                    events_.Emit(retry);
                }
                if (!SleepUntil(Clock::now() + pause, cancel_)) break;
                pause = std::min<Clock::duration>(pause * 2, kLongestRetryPause);
            }
            link = MakeLink(targets_[i], cancel_, connectMs);
            ProgressFor(i)(0, stage, "Connecting to " + link->Description());
            error.clear();
            if (!link->Open(error)) {
                reason = "connect";
                if (connectMs > 0 && link->LastFailure() == LinkFailure::TimedOut) {
                    error = "No connection to " + link->Description() + " within " +
                            std::to_string(options_.connectTimeoutSeconds) + " s";
                }
                if (cancel_.load()) break;
                continue;
            }
            if (!identify) return true;
            const Identity identity = Identify(*link, i, error);
            if (identity == Identity::Ok) return true;
            link->Close();
            if (identity == Identity::OtherType) {
                outcome = {Status::Skipped, "type", error};
                return false;
            }
            reason = "identity";
            if (cancel_.load()) break;
        }
        link.reset();
        if (cancel_.load()) {
            outcome = {Status::Cancelled, "signal",
                       reason == "identity" ? "Cancelled during the identity check of " + targets_[i].Label()
                                            : "Cancelled while connecting to " + targets_[i].Label()};
        } else {
            outcome = {Status::Failed, reason, error};
        }
        return false;
    }

    // Connect, or else the target's result.
    bool ConnectOrFinish(size_t i, bool identify, std::unique_ptr<ITransport>& link) {
        Outcome outcome;
        if (Connect(i, identify, "Connecting", link, outcome)) return true;
        Finish(i, outcome.status, outcome.reason, outcome.message);
        return false;
    }

    void RunIdentify(size_t i) {
        std::unique_ptr<ITransport> link;
        if (!ConnectOrFinish(i, true, link)) return;
        link->Close();
        TargetResult& result = results_[i];
        Finish(i, Status::Ok, "", result.model + ", firmware " + result.firmware);
    }

    // The loaded image the plan gave target `i`.
    const Image* ImageFor(size_t i) const {
        for (const auto& image : *images_) {
            if (&image->info == results_[i].image) return image.get();
        }
        return nullptr;
    }

    bool AllowLegacy(size_t i) {
        if (options_.legacy == LegacyChoice::Yes) return true;
        if (options_.legacy == LegacyChoice::No) return false;
        if (targets_.size() == 1 && StdinIsTerminal() && StderrIsTerminal()) {
            Emit(FleetEvent::Kind::Quiet, i, "");
            std::fprintf(stderr, "Use the slow legacy UPDATE protocol instead? Legacy UPDATE acknowledges every "
                                 "256-byte block,\nbut cannot report the final modem-side checksum result. [y/N] ");
            std::fflush(stderr);
            std::string answer;
            return ReadInputLine(answer) && !cancel_.load() && (answer == "y" || answer == "Y" || answer == "yes");
        }
        return false;
    }

    void RunUpdate(size_t i) {
        TargetResult& result = results_[i];
        result.confirmWanted = options_.confirm;
        // The link the plan identified the modem on: the update is what the plan checked, with no second look.
        std::unique_ptr<ITransport> link = std::move(links_[i]);
        if (!link || result.image == nullptr) {
            Finish(i, Status::Failed, "plan", "No identified link for this target");
            return;
        }
        const Image& image = *ImageFor(i);
        const ProgressCallback progress = ProgressFor(i);
        TransferTally& tally = tallies_[i];
        std::string error;
        bool ok = false;
        bool refused = false;
        UpdateOutcome outcome;
        // The plan's identity check left the modem at its menu on this link: no second QUIT.
        const int code = RunPreparedFastUpdate(*link, image.padded, image.blocks, cancel_, progress, error, &tally, &outcome,
                                               true);
        if (code == static_cast<int>(UpdateResult::NotSupported)) {
            Emit(FleetEvent::Kind::Note, i, error);
            error.clear();
            if (!cancel_.load() && AllowLegacy(i)) {
                ok = RunPreparedLegacyUpdate(*link, image.padded, image.blocks, cancel_, progress, error, &tally, &outcome);
                if (tally.sent.load() > 0) result.protocol = "legacy";  // only where its frames went
            } else {
                refused = true;
            }
        } else {
            result.protocol = "fast";
            ok = code == static_cast<int>(UpdateResult::Installed);
        }
        link->Close();  // after success the modem reboots anyway
        result.bytes = std::min<std::uint64_t>(tally.sent.load(), image.info.size);
        result.imageSent = result.bytes == image.info.size;
        if (!ok) {
            const bool whole = result.bytes == image.info.size;
            const bool mayInstall = MayInstall(tally, image.info.size);
            if (cancel_.load() && mayInstall) {
                Finish(i, Status::Cancelled, "signal",
                       "cancelled after the whole image was sent; the modem may install it: check its version");
            } else if (cancel_.load()) {
                Finish(i, Status::Cancelled, "signal", error.empty() ? "Update cancelled" : error);
            } else if (refused) {
                Finish(i, Status::Failed, "legacy",
                       "Not using the legacy UPDATE protocol (pass --legacy yes to allow it); nothing was sent");
            } else {
                if (mayInstall) result.warning = "the whole image was sent; the modem may install it: check its version";
                // Failed at the menu: nothing of the update reached the modem, the connection to it failed.
                Finish(i, Status::Failed,
                       outcome.step == UpdateStep::Menu ? "connect" : whole && result.protocol == "fast" ? "verify" : "transfer",
                       CutModemText(error));
            }
            return;
        }
        const bool legacy = result.protocol == "legacy";
        std::string message = legacy ? "Legacy transfer complete. Final modem checksum status unavailable"
                                     : "Checksum OK on Modem";
        if (!options_.confirm) {
            if (legacy) {
                result.warning = "legacy transfer: the modem could not verify the image; check its firmware version after the reboot";
                result.reason = "unverified";
            }
            Finish(i, Status::Ok, result.reason, message);
            return;
        }
        ModemIdentity after;
        const LinkFactory relink = [this, i] { return MakeLink(targets_[i], cancel_, 0); };
        if (!WaitForRestart(relink, options_.confirmSeconds, cancel_, progress, SystemWaitClock(), after, error)) {
            Finish(i, cancel_.load() ? Status::Cancelled : Status::Failed, cancel_.load() ? "signal" : "reboot",
                   message + "; " + error);
            return;
        }
        result.confirmed = true;
        result.firmwareAfter = after.firmware;
        const std::string& expected = options_.ExpectedFirmware(result.type);
        if (!expected.empty() && after.firmware != expected) {
            Finish(i, Status::Failed, "version",
                   message + "; the modem came back with firmware " + after.firmware + ", expected " + expected);
            return;
        }
        if (after.firmware == result.firmware) {
            result.warning = "firmware version unchanged after the update (" + after.firmware + ")";
            if (legacy) result.warning += "; legacy transfer: the modem could not verify the image";
            Finish(i, Status::Ok, "unchanged", message + "; the modem came back, firmware still " + after.firmware);
            return;
        }
        Finish(i, Status::Ok, "",
               message + "; the modem came back with firmware " + after.firmware + " (was " + result.firmware + ")");
    }

    // The `n`-th name target `i`'s log may take in the folder: its own name, then with the run's time, then
    // with the time and a number (-2, -3, ...).
    std::string LogName(size_t i, unsigned n) const {
        const std::string& name = logNames_[i];
        if (n == 0) return JoinPath(options_.path, name);
        const std::string base = name.substr(0, name.size() - 4);  // without ".log"
        return JoinPath(options_.path, base + "-" + logStamp_ + (n == 1 ? "" : "-" + std::to_string(n)) + ".log");
    }

    void RunLog(size_t i) {
        TargetResult& result = results_[i];
        std::unique_ptr<ITransport> link;
        if (!ConnectOrFinish(i, !options_.typeFilter.empty(), link)) return;
        LogFileOutcome outcome;
        std::string error;
        int code;
        if (logNames_.empty() || options_.overwrite) {
            const std::string path = logNames_.empty() ? options_.path : LogName(i, 0);
            code = DownloadModemLogToFile(*link, Utf8ToWide(path), cancel_, ProgressFor(i), outcome, error);
        } else {
            // Chosen to be new: the log replaces nothing, not even a file that took its name meanwhile.
            const unsigned first = firstLogName_[i];
            code = DownloadModemLogToNewFile(*link, [this, i, first](unsigned n) { return Utf8ToWide(LogName(i, first + n)); },
                                             cancel_, ProgressFor(i), outcome, error);
        }
        link->Close();
        const std::string path = WideToUtf8(outcome.path);
        const bool ok = code != static_cast<int>(LogDownloadResult::Failed);
        result.warning = InPlaceNote(path, outcome, ok);
        if (!ok) {
            error = LogFileFailureText(error, path, outcome);
            Finish(i, cancel_.load() ? Status::Cancelled : Status::Failed, cancel_.load() ? "signal" : "transfer",
                   CutModemText(error));
            return;
        }
        result.protocol = code == static_cast<int>(LogDownloadResult::LegacyComplete) ? "legacy" : "fast";
        result.bytes = outcome.bytes;
        result.file = path;
        result.toStream = outcome.stream;
        Finish(i, Status::Ok, "",
               "Modem log saved: " + (path == "-" ? std::string("standard output") : path) + " (" + std::to_string(result.bytes) + " bytes, " +
                   (result.protocol == "legacy" ? "legacy 256-byte protocol" : "fast protocol") + ")");
    }

    const CliOptions& options_;
    std::vector<CliTarget> targets_;
    std::atomic<bool>& cancel_;
    FleetEvents& events_;
    std::vector<TargetResult> results_;
    // What the outputs were told of each target, and when each started: only with toldMutex_ held.
    std::mutex toldMutex_;
    std::vector<TargetResult> told_;
    std::vector<Clock::time_point> starts_ = std::vector<Clock::time_point>(targets_.size(), Clock::now());
    std::atomic<bool> closed_{false};
    int closedCode_ = kExitFailure;
    std::vector<TransferTally> tallies_ = std::vector<TransferTally>(targets_.size());
    std::vector<std::string> logNames_;
    std::vector<unsigned> firstLogName_;  // the first of each log's names that was free when the run began
    std::string logStamp_;
    const std::vector<std::unique_ptr<Image>>* images_ = nullptr;
    std::vector<PlanEntry> plan_;
    std::vector<std::unique_ptr<ITransport>> links_;  // update: each target's link, open from identity to apply
    std::atomic<unsigned> failures_{0};
    std::mutex gateMutex_;
    std::string stopReason_, stopMessage_;
};

// Dotted IPv4 addresses sort by their numbers, anything else after them by its text.
bool AddressLess(const CliTarget& a, const CliTarget& b) {
    const auto key = [](const std::string& address) {
        unsigned parts[4] = {0, 0, 0, 0};
        char tail = 0;
        const bool v4 = std::sscanf(address.c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) == 4;
        std::uint64_t number = 0;
        for (unsigned part : parts) number = number << 8 | (part & 0xFFu);
        return std::make_tuple(v4 ? 0 : 1, number, address);
    };
    return std::make_tuple(key(a.host), a.port) < std::make_tuple(key(b.host), b.port);
}

std::vector<CliTarget> Discover(std::uint32_t timeoutMs, std::string& error, const std::atomic<bool>* cancel) {
    std::vector<CliTarget> found;
    for (const DiscoveredModem& modem : DiscoverModems(timeoutMs, error, cancel)) {
        CliTarget target;
        target.host = modem.address;
        target.port = modem.port;
        target.discovered = true;
        target.serialNumber = modem.serialNumber;
        target.callSign = modem.callSign;
        target.statusByte = modem.statusByte;
        found.push_back(target);
    }
    // Replies come in whatever order the network gives; tables and lists must not change from run to run.
    std::stable_sort(found.begin(), found.end(), AddressLess);
    return found;
}

std::string ImageLine(const ImageInfo& image) {
    return image.path + " (" + std::to_string(image.size) + " bytes, SHA-256 " + image.sha256 + ")";
}

}  // namespace

bool ResolveTargets(const CliOptions& options, std::vector<CliTarget>& targets, std::string& error, bool& usage,
                    const std::atomic<bool>* cancel) {
    targets.clear();
    usage = true;
    if (!options.targetsFile.empty()) {
        std::string text;
        if (options.targetsFile == "-" ? !ReadStandardInput(text, error) : !ReadTextFile(options.targetsFile, text, error)) {
            return false;
        }
        if (!ParseTargetList(text, targets, error)) {
            error = options.targetsFile + ": " + error;
            return false;
        }
    }
    if (options.discovered) {
        usage = false;
        std::string discoveryError;
        const std::vector<CliTarget> found = Discover(options.discoverTimeoutMs, discoveryError, cancel);
        if (!discoveryError.empty()) {
            error = discoveryError;
            return false;
        }
        const std::vector<CliTarget> kept = FilterDiscovered(found, options.serialNumberFilter, options.callFilter);
        targets.insert(targets.end(), kept.begin(), kept.end());
        // A modem asked for by name that did not answer still gets its result: it was not worked on.
        for (std::uint64_t wanted : options.serialNumberFilter) {
            if (FilterDiscovered(kept, {wanted}, {}).empty()) {
                CliTarget missing;
                missing.missing = "serial-number " + Hex16(wanted);
                missing.serialNumber = wanted;
                targets.push_back(missing);
            }
        }
        for (const std::string& wanted : options.callFilter) {
            if (FilterDiscovered(kept, {}, {wanted}).empty()) {
                CliTarget missing;
                missing.missing = "call " + wanted;
                missing.callSign = wanted;
                targets.push_back(missing);
            }
        }
        usage = true;
    }
    targets.insert(targets.end(), options.targets.begin(), options.targets.end());
    if (!CheckDistinctTargets(targets, error)) return false;
    return CheckSameModems(
        targets,
        [](const CliTarget& target) {
            std::vector<std::string> keys;
            if (target.serial) {
                keys.push_back("serial " + RealSerialPath(target.serialPort));
            } else {
                for (const std::string& address : NumericAddresses(target.host)) {
                    keys.push_back("telnet " + address + ":" + std::to_string(target.port));
                }
            }
            return keys;
        },
        error);
}

namespace {

// What happens before any target: every failure here is one error event (and, where the targets are known,
// a not-started result for each and the summary).
class Preflight {
public:
    Preflight(const CliOptions& options, FleetEvents& events) : options_(options), events_(events) {}

    // The error event; with the run, every target not started (for `reason`) and the summary.
    int Fail(const std::string& message, bool usage, FleetRun* run = nullptr, const Clock::time_point* start = nullptr,
             const std::string& reason = "aborted") {
        FleetEvent error;
        error.kind = FleetEvent::Kind::Error;
        error.text = message;
        error.usage = usage;
        events_.Emit(error);
        if (run != nullptr) {
            run->FinishRest(Status::NotStarted, usage ? "usage" : reason, "Not started: " + message);
            Close(*run, *start);
        }
        return usage ? kExitUsage : kExitFailure;
    }

    int Close(FleetRun& run, Clock::time_point start) {
        return run.Close(std::chrono::duration<double>(Clock::now() - start).count());
    }

private:
    const CliOptions& options_;
    FleetEvents& events_;
};

bool LoadImage(const std::string& type, const std::string& path, std::unique_ptr<FleetRun::Image>& image, std::string& error) {
    std::vector<unsigned char> firmware;
    image = std::make_unique<FleetRun::Image>();
    // The core's messages name neither the file nor the reason; the command line must.
    {
        const std::unique_ptr<InputFile> file = OpenInputFile(Utf8ToWide(path));
        if (!file) {
            const unsigned long code = LastSystemError();
            error = IsFolder(path) ? "Firmware " + path + " is a folder"
                                   : "Cannot open firmware file " + path + ": " + WindowsError(code);
            return false;
        }
        std::uint64_t size = 0;
        if (!file->Size(size)) {
            // Pipes and devices have no size: the one refusal Size makes with an invalid parameter.
            const unsigned long code = LastSystemError();
            error = code == kErrorInvalidParameter ? "Firmware " + path + " is not a regular file"
                                                   : "Cannot open firmware file " + path + ": " + WindowsError(code);
            return false;
        }
        if (size == 0 || size > kMaxFirmwareSize) {
            error = "Firmware file " + path + " has " + std::to_string(size) + " bytes: an image has 1 to " +
                    std::to_string(kMaxFirmwareSize) + " bytes";
            return false;
        }
    }
    if (!LoadFirmwareFile(Utf8ToWide(path), firmware, error)) {
        error += " " + path + ": " + WindowsError(LastSystemError());
        return false;
    }
    // The digest is worked out beside the padding copy: both only read the loaded bytes.
    std::string digest;
    std::thread hasher([&firmware, &digest] { digest = FirmwareSha256Hex(firmware.data(), firmware.size()); });
    const bool prepared = PrepareFirmware(firmware, image->padded, image->blocks, error);
    hasher.join();
    if (!prepared) {
        error = path + ": " + error;
        return false;
    }
    image->info.type = type;
    image->info.path = path;
    image->info.size = firmware.size();
    image->info.sha256 = digest;
    return true;
}

void AddOutputs(const CliOptions& options, size_t targetCount, FleetEvents& events) {
    if (options.json) {
        events.Add(std::make_unique<JsonOutput>(stdout));
        events.Add(std::make_unique<FleetOutput>(FleetOutput::Mode::Beside, TerminalColumns(), false));
        return;
    }
    const bool single = targetCount == 1 && (options.command == "identify" || options.command == "update" ||
                                             options.command == "log");
    if (single) {
        events.Add(std::make_unique<SingleOutput>(StderrIsTerminal(), TerminalColumns()));
        return;
    }
    const bool live = StderrIsTerminal() && EnableTerminalEscapes();
    events.Add(std::make_unique<FleetOutput>(live ? FleetOutput::Mode::Live : FleetOutput::Mode::Plain, TerminalColumns(),
                                             options.csv));
}

}  // namespace

std::vector<CliTarget> DiscoverTargets(std::uint32_t timeoutMs, std::string& error, const std::atomic<bool>* cancel) {
    return Discover(timeoutMs, error, cancel);
}

int RunFleet(const CliOptions& options, std::atomic<bool>& cancel) {
    const Clock::time_point start = Clock::now();
    const std::string& command = options.command;
    std::string error;
    bool usage = false;

    // Outputs that need no target count come first, so that an error before the targets are known is told.
    FleetEvents early;
    AddOutputs(options, 0, early);
    Preflight earlyFlight(options, early);

    // The targets first: once they are known, every later failure gives each of them its result.
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
    } else if (command == "inventory" || command == "discover") {
        targets = Discover(options.discoverTimeoutMs, error, &cancel);
        if (!error.empty()) return earlyFlight.Fail(error, false);
    } else if (!options.resumePath.empty()) {
        std::vector<std::string> notes;
        const bool resolved = ResolveResumeTargets(options, targets, notes, error, usage, &cancel);
        for (const std::string& note : notes) early.Emit({FleetEvent::Kind::Say, 0, 0, "", "", note});
        if (!resolved) return earlyFlight.Fail(error, usage);
    } else if (!ResolveTargets(options, targets, error, usage, &cancel)) {
        return earlyFlight.Fail(error, usage);
    } else if (targets.empty() && !cancel.load()) {
        return earlyFlight.Fail(std::string("No modem to work on") +
                                    (options.discovered ? ": no modem answered the discovery probe" : ""),
                                false);
    }

    FleetEvents events;
    AddOutputs(options, targets.size(), events);
    Preflight flight(options, events);
    std::string recordError;
    if (!options.recordPath.empty() && !options.plan) {  // a plan changes nothing, so records nothing
        std::unique_ptr<RecordFile> record = OpenRecordFile(options.recordPath, recordError);
        if (record) events.Add(std::make_unique<RecordOutput>(std::move(record), BRISKLODE_VERSION_TEXT, HostName()));
    }

    // Loaded and padded once; every worker sends from the same image.
    std::vector<std::unique_ptr<FleetRun::Image>> images;
    std::string imageError;
    if (command == "update" && recordError.empty()) {
        std::vector<std::pair<std::string, std::string>> files;
        if (!options.path.empty()) files.emplace_back("", options.path);
        for (const auto& [type, path] : options.firmwareByType) files.emplace_back(type, path);
        for (const auto& [type, path] : files) {
            std::unique_ptr<FleetRun::Image> image;
            if (!LoadImage(type, path, image, imageError)) break;
            images.push_back(std::move(image));
        }
    }

    RunStart runStart;
    runStart.command = command;
    for (const CliTarget& target : targets) runStart.labels.push_back(target.Label());
    for (const auto& image : images) runStart.images.push_back(&image->info);
    FleetRun run(options, targets, cancel, events);
    run.SetImages(&images);
    // From here a program that stops waiting for the workers still tells every target's outcome.
    const StopCloserScope closer([&run, start] { return run.Close(std::chrono::duration<double>(Clock::now() - start).count()); });
    FleetEvent startEvent;
    startEvent.kind = FleetEvent::Kind::Start;
    startEvent.start = &runStart;
    events.Emit(startEvent);

    if (!recordError.empty()) return flight.Fail(recordError, false, &run, &start, "record");
    if (!imageError.empty()) return flight.Fail(imageError, false, &run, &start);
    if (cancel.load()) {
        run.FinishRest(Status::Cancelled, "signal", "Cancelled before it started");
        return flight.Close(run, start);
    }

    if (command != "update") {
        for (size_t i = 0; i < targets.size(); ++i) {
            if (!targets[i].missing.empty()) {
                run.Finish(i, Status::Failed, "not-found", NotFoundMessage(targets[i]));
            }
        }
    }

    if (command == "discover" || command == "ports") {
        for (size_t i = 0; i < targets.size(); ++i) {
            run.Finish(i, Status::Ok, "", command == "ports" ? portNames[i] : "answered the discovery probe");
        }
        return flight.Close(run, start);
    }

    if (options.LogToFolder() && !EnsureFolder(options.path, error)) return flight.Fail(error, false, &run, &start);
    const bool ask = command == "update" && targets.size() > 1 && !options.plan;
    if (ask && !options.yes && !(StdinIsTerminal() && StderrIsTerminal())) {
        return flight.Fail("updating " + std::to_string(targets.size()) + " modems needs --yes when no terminal is attached",
                           true, &run, &start);
    }

    if (command == "update") {
        // The plan first: what each modem gets is known, shown and checked before any image is sent.
        run.Plan();
        if (cancel.load()) {
            run.DropLinks();
            run.FinishRest(Status::Cancelled, "signal", "Cancelled before the plan was complete; nothing was sent");
            return flight.Close(run, start);
        }
        const std::vector<PlanEntry>& plan = run.PlanEntries();
        const size_t updates = static_cast<size_t>(std::count_if(plan.begin(), plan.end(), [](const PlanEntry& entry) {
            return entry.action == PlanEntry::Action::Update;
        }));
        FleetEvent say;
        say.kind = FleetEvent::Kind::Say;
        if (targets.size() > 1 || options.plan) {
            for (const auto& image : images) {
                say.text = (image->info.type.empty() ? "Firmware " : "Firmware for type " + image->info.type + ": ") +
                           ImageLine(image->info);
                events.Emit(say);
            }
        }
        FleetEvent planEvent;
        planEvent.kind = FleetEvent::Kind::Plan;
        planEvent.plan = &plan;
        planEvent.results = &run.Results();
        planEvent.stop = options.plan;
        if (!plan.empty()) events.Emit(planEvent);  // a resume with nothing left has no plan to show
        const std::string unmatched = UnmatchedTypes(options, plan, run.Results());
        if (!unmatched.empty()) {
            FleetEvent failure;
            failure.kind = FleetEvent::Kind::Error;
            failure.text = unmatched;
            events.Emit(failure);
        } else if (updates == 0 && (targets.size() > 1 || options.plan)) {  // one modem's result says it all
            say.text = NothingToSend(plan);
            events.Emit(say);
        }
        if (options.plan) {
            run.FinishAsPlanned(Status::NotStarted, "plan", "");
            flight.Close(run, start);
            // The plan succeeds when the apply would do only what was asked: update, or skip on purpose.
            const bool expected = unmatched.empty() && PlanAsExpected(plan, options.strict);
            return expected && events.Faults().empty() ? 0 : kExitFailure;
        }
        if (!unmatched.empty()) {
            run.FinishAsPlanned(Status::NotStarted, "unmatched", "Not started: " + unmatched, true);
            flight.Close(run, start);
            return kExitFailure;
        }
        if (updates > 0 && ask && !options.yes && !cancel.load()) {
            FleetEvent quiet;
            quiet.kind = FleetEvent::Kind::Quiet;
            events.Emit(quiet);
            std::fprintf(stderr, "Update %zu modem%s? [y/N] ", updates, updates == 1 ? "" : "s");
            std::fflush(stderr);
            std::string answer;
            const bool answered = ReadInputLine(answer);
            // The prompt gives up on the signal itself, which may be before the main thread sets the flag.
            if (cancel.load() || StopCount() > 0) {
                run.DropLinks();
                run.FinishRest(Status::Cancelled, "signal", "Cancelled at the question; nothing was sent");
                return flight.Close(run, start);
            }
            if (!answered || (answer != "y" && answer != "Y" && answer != "yes")) {
                say.text = "Not confirmed; nothing was sent";
                events.Emit(say);
                run.FinishAsPlanned(Status::NotStarted, "declined", "Not started: the update was not confirmed");
                flight.Close(run, start);
                return kExitFailure;
            }
        }
    }
    run.Run();
    run.DropLinks();
    const int code = flight.Close(run, start);
    // A run that a signal ended is not a success, even with no target left to cancel.
    return code == 0 && cancel.load() && targets.empty() ? kExitFailure : code;
}
