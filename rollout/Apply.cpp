// The apply of a rollout: each target's work (identify, update with its restart check, log) on parallel
// workers, with the guard rails that stop targets not yet started.
#include <algorithm>
#include <thread>

#include "console/Console.h"
#include "modemlog/ModemLog.h"
#include "rollout/Plan.h"
#include "rollout/Run.h"
#include "rollout/System.h"
#include "update/Restart.h"
#include "update/Update.h"

void RolloutRun::Run() {
    // An update applies its plan: the skipped and failed targets end as planned, and the canaries are the
    // first targets that get an image.
    std::vector<size_t> list;
    for (size_t i = 0; i < targets_.size(); ++i) {
        if (i >= plan_.size() || plan_[i].action == PlanEntry::Action::Update) {
            list.push_back(i);
            continue;
        }
        const PlanEntry& entry = plan_[i];
        // A resume finds at the expected version a modem that the rollout's earlier run left unsettled (it took
        // the image, then its check failed or the run ended): that is what the rollout wanted, also under --strict.
        if (request_.strict && targets_[i].begunBefore && entry.reason == Reason::Current) {
            Finish(i, Status::Ok, Reason::Current, entry.message + " (the rollout's aim, reached before this resume)");
            continue;
        }
        const bool strictSkip = request_.strict && entry.action == PlanEntry::Action::Skip;
        Finish(i, PlannedStatus(entry, request_.strict), entry.reason,
               entry.message + (strictSkip ? " (--strict: a skipped modem is a failure)" : ""));
    }
    const size_t canary = std::min<size_t>(request_.canary, list.size());
    if (canary == 0 || canary == list.size()) {
        RunParallel(list, request_.parallel, [this](size_t i) { Work(i); }, ShortOfThreads());
        return;
    }
    const std::vector<size_t> first(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(canary));
    const std::vector<size_t> rest(list.begin() + static_cast<std::ptrdiff_t>(canary), list.end());
    RunParallel(first, request_.parallel, [this](size_t i) { Work(i); }, ShortOfThreads());
    size_t bad = 0;
    for (size_t i : first) {
        if (results_[i].status != Status::Ok && results_[i].status != Status::Skipped) ++bad;
    }
    // Canary targets cancelled by a signal say nothing about the image: the rest is cancelled, not held back.
    if (bad > 0 && !cancel_.load()) {
        StopTargets(Reason::Canary, "Not started: " + std::to_string(bad) + " of the " + std::to_string(canary) +
                                        " canary target" + (canary == 1 ? "" : "s") + " did not succeed");
    }
    RunParallel(rest, request_.parallel, [this](size_t i) { Work(i); }, ShortOfThreads());
}

void RolloutRun::Work(size_t i) {
    if (results_[i].done) return;  // ended before the run: not found, or settled by the identity check
    Begin(i, true);
    if (cancel_.load()) {
        Finish(i, Status::Cancelled, Reason::Signal, "Cancelled before it started");
        return;
    }
    StopForFailedOutput();
    Reason stopReason = Reason::None;
    std::string stopMessage;
    {
        std::lock_guard<std::mutex> lock(gateMutex_);
        stopReason = stopReason_;
        stopMessage = stopMessage_;
    }
    if (stopReason != Reason::None) {
        Finish(i, Status::NotStarted, stopReason, stopMessage);
        return;
    }
    // The record's start line is on the disk before the target's work: a run killed from here on leaves the
    // target started and unfinished in the journal, and a resume takes it up again.
    if (!Announce(i)) {
        StopForFailedOutput();
        Reason reason = Reason::Record;
        std::string message = "Not started: the record could not be written";
        StopState(reason, message);
        Finish(i, Status::NotStarted, reason, message);
        return;
    }
    started_[i] = 1;
    const std::string& command = request_.command;
    if (command == "identify" || command == "inventory") RunIdentify(i);
    else if (command == "update") RunUpdate(i);
    else RunLog(i);
    if (!results_[i].done) Finish(i, results_[i].status, results_[i].reason, results_[i].message);
}

void RolloutRun::RunIdentify(size_t i) {
    std::unique_ptr<ITransport> link;
    if (!ConnectOrFinish(i, true, link)) return;
    link->Close();
    TargetResult& result = results_[i];
    Finish(i, Status::Ok, Reason::None, result.model + ", firmware " + result.firmware);
}

const RolloutImage* RolloutRun::ImageFor(size_t i) const {
    for (const auto& image : *images_) {
        if (&image->info == results_[i].image) return image.get();
    }
    return nullptr;
}

bool RolloutRun::AllowLegacy(size_t i) {
    if (request_.legacy == LegacyChoice::Yes) return true;
    if (request_.legacy == LegacyChoice::No) return false;
    if (targets_.size() == 1 && host_.CanAsk()) {
        Emit(RolloutEvent::Kind::Quiet, i, "");
        events_.Flush(kQuestionFlushMs);  // the progress line gone before the question
        const RolloutHost::Answer answer = host_.Ask("Use the slow legacy UPDATE protocol instead? Legacy UPDATE "
                                                     "acknowledges every 256-byte block,\nbut cannot report the final "
                                                     "modem-side checksum result. [y/N] ");
        return answer == RolloutHost::Answer::Yes && !cancel_.load();
    }
    return false;
}

void RolloutRun::RunUpdate(size_t i) {
    TargetResult& result = results_[i];
    result.confirmWanted = request_.confirm;
    const RolloutImage* planned = ImageFor(i);
    if (planned == nullptr) {
        Finish(i, Status::Failed, Reason::Plan, "No image was planned for this target");
        return;
    }
    const RolloutImage& image = *planned;
    TransferTally& tally = tallies_[i];
    const ProgressCallback progress = ProgressFor(i, &tally);
    std::string error;
    bool ok = false;
    bool refused = false;
    UpdateOutcome outcome;
    int code = 0;
    std::unique_ptr<ITransport> link;
    std::string where;
    // Connected and checked again at its turn: the plan may be minutes old, and another modem may answer at
    // the address now. A link that drops before anything of the image went is tried again under --retries.
    for (unsigned attempt = 0;; ++attempt) {
        Outcome failed;
        if (!Connect(i, true, "Connecting", link, failed)) {
            Finish(i, failed.status, failed.reason, failed.message);
            return;
        }
        where = link->Description();
        if (!SameModem(i, result, where, error)) {
            link->Close();
            Finish(i, Status::Failed, Reason::Identity, error);
            return;
        }
        error.clear();
        outcome = UpdateOutcome();
        // The identity check left the modem at its menu on this link: no second QUIT.
        code = RunPreparedFastUpdate(*link, image.padded, image.blocks, cancel_, progress, error, &tally, &outcome, true);
        const bool droppedBeforeImage = code != static_cast<int>(UpdateResult::Installed) &&
                                        code != static_cast<int>(UpdateResult::NotSupported) &&
                                        outcome.step == UpdateStep::Menu && tally.sent.load() == 0;
        if (!droppedBeforeImage || cancel_.load() || attempt >= request_.retries) break;
        link->Close();
        EmitRetry(i, attempt + 1, CutModemText(error));
    }
    if (code == static_cast<int>(UpdateResult::NotSupported)) {
        Emit(RolloutEvent::Kind::Note, i, error);
        error.clear();
        if (!cancel_.load() && AllowLegacy(i)) {
            ok = RunPreparedLegacyUpdate(*link, image.padded, image.blocks, cancel_, progress, error, &tally, &outcome);
            if (tally.sent.load() > 0) result.protocol = Protocol::Legacy;  // only where its frames went
        } else {
            refused = true;
        }
    } else {
        result.protocol = Protocol::Fast;
        ok = code == static_cast<int>(UpdateResult::Installed);
    }
    link->Close();  // after success the modem reboots anyway
    result.bytes = std::min<std::uint64_t>(tally.sent.load(), image.info.size);
    result.imageSent = result.bytes == image.info.size;
    if (!ok) {
        const bool whole = result.bytes == image.info.size;
        const bool mayInstall = MayInstall(tally, image.info.size);
        if (cancel_.load() && mayInstall) {
            Finish(i, Status::Cancelled, Reason::Signal,
                   "cancelled after the whole image was sent; the modem may install it: check its version");
        } else if (cancel_.load()) {
            Finish(i, Status::Cancelled, Reason::Signal, error.empty() ? "Update cancelled" : error);
        } else if (refused) {
            Finish(i, Status::Failed, Reason::Legacy,
                   "Not using the legacy UPDATE protocol (pass --legacy yes to allow it); nothing was sent");
        } else {
            if (mayInstall) result.warning = "the whole image was sent; the modem may install it: check its version";
            // Failed at the menu: nothing of the update reached the modem, the connection to it failed.
            Finish(i, Status::Failed,
                   outcome.step == UpdateStep::Menu ? Reason::Connect
                   : whole && result.protocol == Protocol::Fast ? Reason::Verify
                                                                 : Reason::Transfer,
                   CutModemText(error));
        }
        return;
    }
    const bool legacy = result.protocol == Protocol::Legacy;
    if (!legacy) verified_[i] = true;
    std::string message = legacy ? "Legacy transfer complete. Final modem checksum status unavailable"
                                 : "Checksum OK on Modem";
    if (!request_.confirm) {
        if (legacy) {
            result.warning = "legacy transfer: the modem could not verify the image; check its firmware version after the reboot";
            result.reason = Reason::Unverified;
        }
        Finish(i, Status::Ok, result.reason, message);
        return;
    }
    ModemIdentity after;
    const LinkFactory relink = [this, i] { return MakeLink(i, 0); };
    if (!WaitForRestart(relink, request_.confirmSeconds, cancel_, ProgressFor(i), SystemWaitClock(), after, error)) {
        Finish(i, cancel_.load() ? Status::Cancelled : Status::Failed, cancel_.load() ? Reason::Signal : Reason::Reboot,
               message + "; " + error);
        return;
    }
    // The modem that answers after the restart must be the one that was updated, not a neighbour that took
    // its address meanwhile.
    TargetResult back;
    TakeIdentity(after, back);
    if (!SameModem(i, back, where, error)) {
        Finish(i, Status::Failed, Reason::Identity, message + "; " + error);
        return;
    }
    result.confirmed = true;
    result.firmwareAfter = after.firmware;
    const std::string& expected = request_.ExpectedFirmware(result.type);
    if (!expected.empty() && after.firmware != expected) {
        Finish(i, Status::Failed, Reason::Version,
               message + "; the modem came back with firmware " + after.firmware + ", expected " + expected);
        return;
    }
    if (after.firmware == result.firmware) {
        result.warning = "firmware version unchanged after the update (" + after.firmware + ")";
        if (legacy) result.warning += "; legacy transfer: the modem could not verify the image";
        Finish(i, Status::Ok, Reason::Unchanged, message + "; the modem came back, firmware still " + after.firmware);
        return;
    }
    Finish(i, Status::Ok, Reason::None,
           message + "; the modem came back with firmware " + after.firmware + " (was " + result.firmware + ")");
}

std::string RolloutRun::LogName(size_t i, unsigned n) const {
    const std::string& name = logNames_[i];
    if (n == 0) return JoinPath(request_.path, name);
    const std::string base = name.substr(0, name.size() - 4);  // without ".log"
    return JoinPath(request_.path, NumberedName(base + "-" + logStamp_, n, ".log"));
}

void RolloutRun::RunLog(size_t i) {
    TargetResult& result = results_[i];
    LogFileOutcome outcome;
    std::string error;
    TransferTally& tally = tallies_[i];
    int code = static_cast<int>(LogDownloadResult::Failed);
    // Connected at its turn, like an update. A link that drops before any of the log was written (an idle cut
    // while the file was prepared, a console that logged out) is tried again under --retries: nothing of the
    // log is lost, and no file was left.
    for (unsigned attempt = 0;; ++attempt) {
        std::unique_ptr<ITransport> link;
        if (!ConnectOrFinish(i, !request_.typeFilter.empty(), link)) return;
        error.clear();
        if (logNames_.empty() || request_.overwrite) {
            const std::string path = logNames_.empty() ? request_.path : LogName(i, 0);
            code = DownloadModemLogToFile(*link, Utf8ToWide(path), cancel_, ProgressFor(i, &tally), outcome, error, &tally);
        } else {
            // Chosen to be new: the log replaces nothing, not even a file that took its name meanwhile.
            const unsigned first = firstLogName_[i];
            code = DownloadModemLogToNewFile(*link, [this, i, first](unsigned n) { return Utf8ToWide(LogName(i, first + n)); },
                                             cancel_, ProgressFor(i, &tally), outcome, error, &tally);
        }
        const LinkFailure failure = link->LastFailure();
        link->Close();
        const bool droppedBeforeLog = code == static_cast<int>(LogDownloadResult::Failed) && !outcome.fileFailed &&
                                      outcome.bytes == 0 &&
                                      (failure == LinkFailure::Closed || failure == LinkFailure::System ||
                                       failure == LinkFailure::TimedOut);
        if (!droppedBeforeLog || cancel_.load() || attempt >= request_.retries) break;
        EmitRetry(i, attempt + 1, CutModemText(error));
    }
    const std::string path = WideToUtf8(outcome.path);
    const bool ok = code != static_cast<int>(LogDownloadResult::Failed);
    result.warning = InPlaceNote(path, outcome, ok);
    if (!ok) {
        error = LogFileFailureText(error, path, outcome);
        Finish(i, cancel_.load() ? Status::Cancelled : Status::Failed, cancel_.load() ? Reason::Signal : Reason::Transfer,
               CutModemText(error));
        return;
    }
    result.protocol = code == static_cast<int>(LogDownloadResult::LegacyComplete) ? Protocol::Legacy : Protocol::Fast;
    result.bytes = outcome.bytes;
    result.file = path;
    result.toStream = outcome.stream;
    Finish(i, Status::Ok, Reason::None,
           "Modem log saved: " + (path == "-" ? std::string("standard output") : path) + " (" + std::to_string(result.bytes) + " bytes, " +
               (result.protocol == Protocol::Legacy ? "legacy 256-byte protocol" : "fast protocol") + ")");
}
