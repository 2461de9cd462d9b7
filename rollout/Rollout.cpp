// A rollout from its request to its close: the targets resolved, the outputs, record and images opened, the
// update's plan shown and confirmed, the apply, and the close.
#include "rollout/Rollout.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <system_error>
#include <thread>

#include "BrisklodeVersion.h"
#include "rollout/Plan.h"
#include "rollout/Record.h"
#include "rollout/Resume.h"
#include "rollout/Run.h"
#include "rollout/System.h"
#include "transport/File.h"
#include "transport/SystemError.h"
#include "transport/Transport.h"
#include "update/Sha256.h"
#include "update/Update.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// How long a program that stops waiting for its run gives the outputs to write the last results: a standard
// output that nobody reads is left behind.
constexpr int kCloserFlushMs = 500;

// Keeps the run's closer with the host for as long as it lives.
class CloserScope {
public:
    explicit CloserScope(RolloutHost& host) : host_(host) {}
    ~CloserScope() { host_.SetCloser(nullptr); }
    CloserScope(const CloserScope&) = delete;
    CloserScope& operator=(const CloserScope&) = delete;

private:
    RolloutHost& host_;
};

std::string ImageLine(const ImageInfo& image) {
    return image.path + " (" + std::to_string(image.size) + " bytes, SHA-256 " + image.sha256 + ")";
}

// What happens before any target: every failure here is one error event (and, where the targets are known,
// a not-started result for each and the summary).
class Preflight {
public:
    Preflight(const RolloutRequest& options, RolloutEvents& events) : options_(options), events_(events) {}

    // The error event; with the run, every target not started (for `reason`) and the summary.
    int Fail(const std::string& message, bool usage, RolloutRun* run = nullptr, const Clock::time_point* start = nullptr,
             Reason reason = Reason::Aborted) {
        RolloutEvent error;
        error.kind = RolloutEvent::Kind::Error;
        error.text = message;
        error.usage = usage;
        events_.Emit(error);
        if (run != nullptr) {
            run->FinishRest(Status::NotStarted, usage ? Reason::Usage : reason, "Not started: " + message);
            Close(*run, *start);
        }
        return usage ? kExitUsage : kExitFailure;
    }

    int Close(RolloutRun& run, Clock::time_point start) {
        return run.Close(std::chrono::duration<double>(Clock::now() - start).count());
    }

private:
    const RolloutRequest& options_;
    RolloutEvents& events_;
};

bool LoadImage(const std::string& type, const std::string& path, std::unique_ptr<RolloutImage>& image, std::string& error) {
    std::vector<unsigned char> firmware;
    image = std::make_unique<RolloutImage>();
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
    const auto hash = [&firmware, &digest] { digest = FirmwareSha256Hex(firmware.data(), firmware.size()); };
    std::thread hasher;
    try {
        hasher = std::thread(hash);
    } catch (const std::system_error&) {
        hash();  // no thread to spare: one after the other
    }
    const bool prepared = PrepareFirmware(firmware, image->padded, image->blocks, error);
    if (hasher.joinable()) hasher.join();
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

}  // namespace

int RunRollout(const RolloutRequest& options, RolloutHost& host, std::atomic<bool>& cancel) {
    const Clock::time_point start = Clock::now();
    const std::string& command = options.command;
    std::string error;
    bool usage = false;

    // Outputs that need no target count come first, so that an error before the targets are known is told.
    RolloutEvents early;
    host.AddOutputs(early, 0);
    Preflight earlyFlight(options, early);

    // The targets first: once they are known, every later failure gives each of them its result.
    std::vector<RolloutTarget> targets;
    std::vector<std::string> portNames;  // ports --json: the display name of each port
    if (command == "ports") {
        for (const SerialPortInfo& port : EnumerateSerialPorts()) {
            RolloutTarget target;
            target.serial = true;
            target.serialPort = WideToUtf8(port.portName);
            targets.push_back(target);
            portNames.push_back(WideToUtf8(port.displayName));
        }
    } else if (command == "inventory" || command == "discover") {
        targets = DiscoverTargets(options.discoverTimeoutMs, error, &cancel);
        if (!error.empty()) return earlyFlight.Fail(error, false);
    } else if (!options.resumePath.empty()) {
        std::vector<std::string> notes;
        const bool resolved = ResolveResumeTargets(options, targets, notes, error, usage, &cancel);
        for (const std::string& note : notes) early.Emit({RolloutEvent::Kind::Say, 0, 0, "", "", note});
        if (!resolved) return earlyFlight.Fail(error, usage);
    } else if (!ResolveTargets(options, targets, error, usage, &cancel)) {
        return earlyFlight.Fail(error, usage);
    } else if (targets.empty() && !cancel.load()) {
        return earlyFlight.Fail(std::string("No modem to work on") +
                                    (options.discovered ? ": no modem answered the discovery probe" : ""),
                                false);
    }

    // What the early outputs were told comes before what the run's own tell (a bounded wait: an output
    // nobody reads must not hold the run).
    early.Flush(kQuestionFlushMs);
    RolloutEvents events;
    host.AddOutputs(events, targets.size());
    Preflight flight(options, events);
    std::string recordError;
    bool recordRefused = false;
    if (!options.recordPath.empty() && !options.plan) {  // a plan changes nothing, so records nothing
        std::unique_ptr<RecordFile> record = host.OpenRecord(options.recordPath, recordError, recordRefused);
        if (record) events.Add(std::make_unique<RecordOutput>(std::move(record), BRISKLODE_VERSION_TEXT, HostName()));
    }

    // Loaded and padded once; every worker sends from the same image.
    std::vector<std::unique_ptr<RolloutImage>> images;
    std::string imageError;
    if (command == "update" && recordError.empty()) {
        std::vector<std::pair<std::string, std::string>> files;
        if (!options.path.empty()) files.emplace_back("", options.path);
        for (const auto& [type, path] : options.firmwareByType) files.emplace_back(type, path);
        for (const auto& [type, path] : files) {
            std::unique_ptr<RolloutImage> image;
            if (!LoadImage(type, path, image, imageError)) break;
            images.push_back(std::move(image));
        }
    }

    RunStart runStart;
    runStart.command = command;
    for (const RolloutTarget& target : targets) runStart.labels.push_back(target.Label());
    for (const auto& image : images) runStart.images.push_back(&image->info);
    runStart.targets = &targets;
    runStart.request = &options;
    RolloutRun run(options, targets, cancel, events, host);
    run.SetImages(&images);
    // From here a program that stops waiting for the workers still tells every target's outcome.
    host.SetCloser([&run, start] {
        return run.Close(std::chrono::duration<double>(Clock::now() - start).count(), kCloserFlushMs);
    });
    const CloserScope closer(host);
    RolloutEvent startEvent;
    startEvent.kind = RolloutEvent::Kind::Start;
    startEvent.start = &runStart;
    events.Emit(startEvent);

    if (!recordError.empty()) return flight.Fail(recordError, recordRefused, &run, &start, Reason::Record);
    if (!imageError.empty()) return flight.Fail(imageError, false, &run, &start);
    if (cancel.load()) {
        run.FinishRest(Status::Cancelled, Reason::Signal, "Cancelled before it started");
        return flight.Close(run, start);
    }

    if (command != "update") {
        for (size_t i = 0; i < targets.size(); ++i) {
            if (!targets[i].missing.empty()) {
                run.Finish(i, Status::Failed, Reason::NotFound, NotFoundMessage(targets[i]));
            }
        }
    }

    if (command == "discover" || command == "ports") {
        for (size_t i = 0; i < targets.size(); ++i) {
            run.Finish(i, Status::Ok, Reason::None, command == "ports" ? portNames[i] : "answered the discovery probe");
        }
        return flight.Close(run, start);
    }

    if (options.LogToFolder() && !EnsureFolder(options.path, error)) {
        // A resume's log goes into a folder however many targets are left: say so in the resume's terms.
        if (!options.resumePath.empty() && PathExists(options.path) && !IsFolder(options.path)) {
            error = "log --resume writes each modem's log into a folder, and " + options.path + " is a file: name a folder";
        }
        return flight.Fail(error, !options.resumePath.empty(), &run, &start);
    }
    const bool ask = command == "update" && targets.size() > 1 && !options.plan;
    if (ask && !options.yes && !host.CanAsk()) {
        return flight.Fail("updating " + std::to_string(targets.size()) + " modems needs --yes when no terminal is attached",
                           true, &run, &start);
    }

    if (command == "update") {
        // The plan first: what each modem gets is known, shown and checked before any image is sent.
        run.Plan();
        if (cancel.load()) {
            run.FinishRest(Status::Cancelled, Reason::Signal, "Cancelled before the plan was complete; nothing was sent");
            return flight.Close(run, start);
        }
        const std::vector<PlanEntry>& plan = run.PlanEntries();
        const size_t updates = static_cast<size_t>(std::count_if(plan.begin(), plan.end(), [](const PlanEntry& entry) {
            return entry.action == PlanEntry::Action::Update;
        }));
        RolloutEvent say;
        say.kind = RolloutEvent::Kind::Say;
        if (targets.size() > 1 || options.plan) {
            for (const auto& image : images) {
                say.text = (image->info.type.empty() ? "Firmware " : "Firmware for type " + image->info.type + ": ") +
                           ImageLine(image->info);
                events.Emit(say);
            }
        }
        RolloutEvent planEvent;
        planEvent.kind = RolloutEvent::Kind::Plan;
        planEvent.plan = &plan;
        planEvent.results = &run.Results();
        planEvent.stop = options.plan;
        if (!plan.empty()) events.Emit(planEvent);  // a resume with nothing left has no plan to show
        std::string absentTypes;
        const std::string unmatched = UnmatchedTypes(options, plan, run.Results(), &absentTypes);
        if (!absentTypes.empty()) {
            say.text = absentTypes;
            events.Emit(say);
        }
        if (!unmatched.empty()) {
            RolloutEvent failure;
            failure.kind = RolloutEvent::Kind::Error;
            failure.text = unmatched;
            events.Emit(failure);
        } else if (updates == 0 && (targets.size() > 1 || options.plan)) {  // one modem's result says it all
            say.text = NothingToSend(plan);
            events.Emit(say);
        }
        if (options.plan) {
            run.FinishAsPlanned(Status::NotStarted, Reason::Plan, "");
            flight.Close(run, start);
            // The plan succeeds when the apply would do only what was asked: update, or skip on purpose.
            const bool expected = unmatched.empty() && PlanAsExpected(plan, options.strict);
            return expected && events.Faults().empty() ? 0 : kExitFailure;
        }
        if (!unmatched.empty()) {
            run.FinishAsPlanned(Status::NotStarted, Reason::Unmatched, "Not started: " + unmatched, true);
            flight.Close(run, start);
            return kExitFailure;
        }
        if (updates > 0 && ask && !options.yes && !cancel.load()) {
            RolloutEvent quiet;
            quiet.kind = RolloutEvent::Kind::Quiet;
            events.Emit(quiet);
            events.Flush(kQuestionFlushMs);  // the plan on the screen before the question
            const RolloutHost::Answer answer =
                host.Ask("Update " + std::to_string(updates) + " modem" + (updates == 1 ? "" : "s") + "? [y/N] ");
            // The prompt gives up on the signal itself, which may be before the main thread sets the flag.
            if (cancel.load() || answer == RolloutHost::Answer::Cancelled) {
                run.FinishRest(Status::Cancelled, Reason::Signal, "Cancelled at the question; nothing was sent");
                return flight.Close(run, start);
            }
            if (answer != RolloutHost::Answer::Yes) {
                say.text = "Not confirmed; nothing was sent";
                events.Emit(say);
                run.FinishAsPlanned(Status::NotStarted, Reason::Declined, "Not started: the update was not confirmed");
                flight.Close(run, start);
                return kExitFailure;
            }
        }
    }
    run.Run();
    const int code = flight.Close(run, start);
    // A run that a signal ended is not a success, even with no target left to cancel.
    return code == 0 && cancel.load() && targets.empty() ? kExitFailure : code;
}
