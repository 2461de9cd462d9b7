// One rollout at work: each target's state and result, what the outputs are told and the close; the links and
// identity checks every phase uses.
#include "rollout/Run.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "discovery/SerialNumber.h"
#include "rollout/System.h"
#include "transport/SystemError.h"
#include "update/Update.h"

namespace {

constexpr int kExitFailure = 1;

// The first pause of --retries; each later one doubles, up to the cap.
constexpr auto kFirstRetryPause = std::chrono::seconds(1);
constexpr auto kLongestRetryPause = std::chrono::seconds(30);

using Clock = RolloutRun::Clock;

// Sleeps until `until`, in slices short enough to notice cancellation; false when cancelled.
bool SleepUntil(Clock::time_point until, const std::atomic<bool>& cancel) {
    while (Clock::now() < until) {
        if (cancel.load()) return false;
        const auto left = until - Clock::now();
        std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(100)));
    }
    return !cancel.load();
}

// "20261207T191305Z": the UTC time for a file name.
std::string StampNow() {
    std::string stamp;
    for (char c : UtcNow()) {
        if (c != '-' && c != ':') stamp += c;
    }
    return stamp;
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

}  // namespace

void TakeIdentity(const ModemIdentity& identity, TargetResult& result) {
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
}

RolloutRun::RolloutRun(const RolloutRequest& request, std::vector<RolloutTarget> targets, std::atomic<bool>& cancel,
                       RolloutEvents& events, RolloutHost& host)
    : request_(request), targets_(std::move(targets)), cancel_(cancel), events_(events), host_(host),
      results_(targets_.size()), starts_(targets_.size(), Clock::now()), tallies_(targets_.size()),
      started_(targets_.size(), 0), verified_(targets_.size()) {
    for (size_t i = 0; i < targets_.size(); ++i) {
        TargetResult& result = results_[i];
        const RolloutTarget& target = targets_[i];
        result.label = target.Label();
        result.key = target.key.empty() ? result.label : target.key;
        result.discovered = target.discovered;
        result.address = target.host;
        result.port = target.port;
        result.serialKnown = result.callKnown = target.discovered;
        // A modem asked for by serial number and not found keeps that number in its result and record.
        if (target.missing.rfind("serial-number ", 0) == 0) result.serialKnown = true;
        result.serialNumber = target.serialNumber;
        result.callSign = target.callSign;
        result.statusByte = target.statusByte;
    }
    told_ = results_;
    if (request_.LogToFolder()) {
        logNames_ = LogFileNames(targets_);
        logStamp_ = StampNow();
        firstLogName_.assign(logNames_.size(), 0);
        // An earlier run's log of the same name stays: this run's file gets the time in its name. The
        // name is only a first choice: the log takes the first free one when it is complete.
        if (!request_.overwrite) {
            for (size_t i = 0; i < logNames_.size(); ++i) {
                while (PathExists(LogName(i, firstLogName_[i]))) ++firstLogName_[i];
            }
        }
    }
}

void RolloutRun::Finish(size_t i, Status status, Reason reason, const std::string& message) {
    TargetResult& result = results_[i];
    if (result.done) return;
    result.status = status;
    result.reason = reason;
    result.message = message;
    Report(i);
}

int RolloutRun::Close(double seconds, int flushMs) {
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(toldMutex_);
        // The worker's close and the main thread's may meet: the first tells, both wait for the outputs.
        if (!closed_) {
            first = true;
            closed_ = true;
            TellTheRest(seconds);
        }
    }
    // The outputs write on their own threads; a reader that stalls holds only this wait, never a lock.
    events_.Flush(flushMs);
    const std::vector<std::string> faults = events_.Faults();
    if (first) {
        for (const std::string& fault : faults) host_.ReportFault(fault);
    }
    std::lock_guard<std::mutex> lock(toldMutex_);
    if (!faults.empty()) closedCode_ = kExitFailure;
    return closedCode_;
}

void RolloutRun::TellTheRest(double seconds) {
    for (size_t i = 0; i < told_.size(); ++i) {
        TargetResult& result = told_[i];
        if (result.done) continue;
        result.done = true;
        result.status = Status::Cancelled;
        result.reason = Reason::Signal;
        result.message = "Cancelled; the program ended without waiting for the modem";
        // Never begun: nothing of it reached a modem.
        if (result.startUtc.empty()) result.message = "Not started: the program ended before its turn";
        if (result.image != nullptr) {
            result.bytes = std::min<std::uint64_t>(tallies_[i].sent.load(), result.image->size);
            result.imageSent = result.bytes == result.image->size;
            if (MayInstall(tallies_[i], result.image->size)) {
                result.message = "cancelled after the whole image was sent; the modem may install it: check its version";
            }
        }
        if (verified_[i].load()) {
            result.message = "Checksum OK on Modem; cancelled while waiting for the restart: the program ended without "
                             "waiting for the modem";
        }
        Stamp(i, result);
        Tell(i);
    }
    const RunSummary summary = Summarise(request_.command, told_, seconds);
    RolloutEvent event;
    event.kind = RolloutEvent::Kind::Summary;
    event.summary = &summary;
    event.results = &told_;
    events_.Emit(event);
    closedCode_ = summary.ExitCode();
}

std::vector<size_t> RolloutRun::All() const {
    std::vector<size_t> all(targets_.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    return all;
}

void RolloutRun::Begin(size_t i, bool again) {
    std::lock_guard<std::mutex> lock(toldMutex_);
    TargetResult& result = results_[i];
    if (!result.startUtc.empty() && !again) return;
    result.startUtc = UtcNow();
    starts_[i] = Clock::now();
    told_[i].startUtc = result.startUtc;
}

void RolloutRun::Publish(size_t i) {
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

void RolloutRun::Stamp(size_t i, TargetResult& result) {
    if (result.startUtc.empty()) {
        result.startUtc = UtcNow();
        starts_[i] = Clock::now();
    }
    result.endUtc = UtcNow();
    result.seconds = std::chrono::duration<double>(Clock::now() - starts_[i]).count();
}

void RolloutRun::Tell(size_t i) {
    RolloutEvent event;
    event.kind = RolloutEvent::Kind::Result;
    event.index = i;
    event.result = &told_[i];
    events_.Emit(event);
}

void RolloutRun::Report(size_t i) {
    TargetResult& result = results_[i];
    if (result.done) return;
    result.done = true;
    std::lock_guard<std::mutex> lock(toldMutex_);
    if (told_[i].done) return;
    Stamp(i, result);
    told_[i] = result;
    // Only what was tried counts: a target that failed in the plan, or a skip that --strict fails, was known
    // before anything was sent and says nothing of the image.
    if (result.status == Status::Failed && started_[i] != 0) {
        const unsigned failed = ++failures_;
        if (request_.maxFailures > 0 && failed >= request_.maxFailures) {
            StopTargets(Reason::MaxFailures, "Not started: " + std::to_string(failed) + " target" + (failed == 1 ? "" : "s") +
                                                  " failed (--max-failures " + std::to_string(request_.maxFailures) + ")");
        }
    }
    Tell(i);
}

void RolloutRun::Emit(RolloutEvent::Kind kind, size_t i, const std::string& text) {
    if (closed_) return;
    RolloutEvent event;
    event.kind = kind;
    event.index = i;
    event.text = text;
    events_.Emit(event);
}

void RolloutRun::EmitRetry(size_t i, unsigned attempt, const std::string& why, double seconds) {
    if (closed_) return;
    RolloutEvent retry;
    retry.kind = RolloutEvent::Kind::Retry;
    retry.index = i;
    retry.attempt = attempt;
    retry.of = request_.retries;
    retry.seconds = seconds;
    retry.text = why;
    events_.Emit(retry);
}

ProgressCallback RolloutRun::ProgressFor(size_t i, TransferTally* tally) {
    return [this, i, tally](int percent, const std::string& stage, const std::string& detail) {
        if (closed_) return;
        RolloutEvent event;
        event.kind = RolloutEvent::Kind::Progress;
        event.index = i;
        event.percent = percent;
        event.stage = stage;
        event.detail = detail;
        if (tally != nullptr && tally->counting.load()) {
            event.counted = true;
            event.done = tally->done.load();
            event.total = tally->total.load();
        }
        events_.Emit(event);
    };
}

RolloutRun::Identity RolloutRun::Identify(ITransport& link, size_t i, std::string& error) {
    TargetResult& result = results_[i];
    ModemIdentity identity;
    const bool ok = CheckModemIdentity(link, identity, error);
    if (!ok) {
        error = CutModemText(error);
        return Identity::Failed;
    }
    ReadRestOfIdentity(link, identity, kIdentityRestMs);
    TakeIdentity(identity, result);
    Publish(i);
    if (!request_.typeFilter.empty() && result.type != request_.typeFilter) {
        error = "Type mismatch: the modem reports type " + result.type + " (" + result.model + "), not " +
                request_.typeFilter + "; left alone";
        return Identity::OtherType;
    }
    return Identity::Ok;
}

bool RolloutRun::Connect(size_t i, bool identify, const std::string& stage, std::unique_ptr<ITransport>& link, Outcome& outcome) {
    const unsigned connectMs = request_.connectTimeoutSeconds * 1000;
    auto pause = std::chrono::duration_cast<Clock::duration>(kFirstRetryPause);
    std::string error;
    Reason reason = Reason::None;
    for (unsigned attempt = 0; attempt <= request_.retries; ++attempt) {
        if (attempt > 0) {
            EmitRetry(i, attempt, error, std::chrono::duration<double>(pause).count());
            if (!SleepUntil(Clock::now() + pause, cancel_)) break;
            pause = std::min<Clock::duration>(pause * 2, kLongestRetryPause);
        }
        link = MakeLink(i, connectMs);
        ProgressFor(i)(0, stage, "Connecting to " + link->Description());
        error.clear();
        if (!link->Open(error)) {
            reason = Reason::Connect;
            if (connectMs > 0 && link->LastFailure() == LinkFailure::TimedOut) {
                error = "No connection to " + link->Description() + " within " +
                        std::to_string(request_.connectTimeoutSeconds) + " s";
            }
            if (cancel_.load()) break;
            continue;
        }
        if (!identify) return true;
        const Identity identity = Identify(*link, i, error);
        if (identity == Identity::Ok) return true;
        link->Close();
        if (identity == Identity::OtherType) {
            outcome = {Status::Skipped, Reason::Type, error};
            return false;
        }
        reason = Reason::Identity;
        if (cancel_.load()) break;
    }
    link.reset();
    if (cancel_.load()) {
        outcome = {Status::Cancelled, Reason::Signal,
                   reason == Reason::Identity ? "Cancelled during the identity check of " + targets_[i].Label()
                                        : "Cancelled while connecting to " + targets_[i].Label()};
    } else {
        outcome = {Status::Failed, reason, error};
    }
    return false;
}

bool RolloutRun::ConnectOrFinish(size_t i, bool identify, std::unique_ptr<ITransport>& link) {
    Outcome outcome;
    if (Connect(i, identify, "Connecting", link, outcome)) return true;
    Finish(i, outcome.status, outcome.reason, outcome.message);
    return false;
}

void RolloutRun::FinishRest(Status status, Reason reason, const std::string& message) {
    for (size_t i = 0; i < results_.size(); ++i) {
        if (!results_[i].done) Finish(i, status, reason, message);
    }
}

std::unique_ptr<ITransport> RolloutRun::MakeLink(size_t i, unsigned connectTimeoutMs) const {
    const RolloutTarget& target = targets_[i];
    std::unique_ptr<ITransport> link;
    if (target.serial) {
        const std::wstring port = Utf8ToWide(target.serialPort);
        link = target.baudRate != 0 ? CreateSerialTransport(port, target.baudRate, &cancel_)
                                    : CreateSerialTransport(port, &cancel_);
    } else {
        link = CreateTelnetTransport(target.host, target.port, &cancel_);
    }
    link->SetConnectTimeout(connectTimeoutMs);
    return link;
}

void RolloutRun::StopTargets(Reason reason, const std::string& message) {
    std::lock_guard<std::mutex> lock(gateMutex_);
    if (stopReason_ != Reason::None) return;
    stopReason_ = reason;
    stopMessage_ = message;
}

bool RolloutRun::SameModem(size_t i, const TargetResult& now, const std::string& where, std::string& error) const {
    const TargetResult& planned = planned_[i];
    const bool otherSerial = planned.serialKnown && (!now.serialKnown || now.serialNumber != planned.serialNumber);
    const bool otherType = !planned.type.empty() && now.type != planned.type;
    if (!otherSerial && !otherType) return true;
    const auto name = [otherType](const TargetResult& modem) {
        std::string text = modem.serialKnown ? SerialNumberText(modem.serialNumber) : std::string("unknown");
        if (otherType) text += " (type " + (modem.type.empty() ? std::string("unknown") : modem.type) + ")";
        return text;
    };
    error = "a different modem answers at " + where + ": serial " + name(now) + ", planned " + name(planned);
    return false;
}

bool RolloutRun::Announce(size_t i) {
    TargetResult told;
    {
        std::lock_guard<std::mutex> lock(toldMutex_);
        if (closed_) return false;
        told = told_[i];
    }
    // The start line is synced outside toldMutex_: the close never waits for this target's disk.
    RolloutEvent event;
    event.kind = RolloutEvent::Kind::Begin;
    event.index = i;
    event.result = &told;
    events_.Emit(event);
    return events_.StopReason() == Reason::None;
}

std::function<void(size_t, size_t, const std::string&)> RolloutRun::ShortOfThreads() {
    return [this](size_t running, size_t wanted, const std::string& reason) {
        Emit(RolloutEvent::Kind::Say, 0,
             "WARNING: only " + std::to_string(running) + " of " + std::to_string(wanted) +
                 " workers could be started (" + reason + "); the run goes on with them");
    };
}

void RolloutRun::StopForFailedOutput() {
    const Reason reason = events_.StopReason();
    if (reason == Reason::Record) StopTargets(reason, "Not started: the record could not be written");
    if (reason == Reason::Output) StopTargets(reason, "Not started: standard output could not be written");
}

void RolloutRun::StopState(Reason& reason, std::string& message) {
    std::lock_guard<std::mutex> lock(gateMutex_);
    if (stopReason_ == Reason::None) return;
    reason = stopReason_;
    message = stopMessage_;
}
