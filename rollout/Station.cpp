// The station's loop: the ports watched, one worker per plugged unit running a one-target rollout, the
// once-per-unit rule kept from the record, and the verdicts.
#include "rollout/Station.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "console/Console.h"
#include "discovery/SerialNumber.h"
#include "rollout/Outcome.h"
#include "rollout/Rollout.h"
#include "transport/SystemError.h"
#include "transport/Transport.h"
#include "update/Sha256.h"
#include "update/Update.h"

const char* const kReasonDoneBefore = "done before";
const char* const kReasonUnplugged = "unplugged";

const char* UnitPhaseName(UnitPhase phase) {
    switch (phase) {
        case UnitPhase::Identifying: return "identifying";
        case UnitPhase::Flashing: return "flashing";
        case UnitPhase::Verifying: return "verifying";
        case UnitPhase::Restarting: return "restarting";
    }
    return "";
}

const char* UnitVerdictName(UnitVerdict verdict) {
    switch (verdict) {
        case UnitVerdict::Pass: return "pass";
        case UnitVerdict::Fail: return "fail";
        case UnitVerdict::Skip: return "skip";
    }
    return "";
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLookEvery = std::chrono::milliseconds(500);
constexpr auto kTick = std::chrono::milliseconds(50);

// A serial number and the SHA-256 of the image it got: what "once per unit" remembers.
using DoneKey = std::pair<std::uint64_t, std::string>;

// The ok result lines of earlier updates in the journal: which unit already holds which image. Its run and
// start lines, lines that are not ours and lines cut short say nothing.
std::set<DoneKey> ReadDone(const std::string& path) {
    std::set<DoneKey> done;
    std::ifstream in(path, std::ios::binary);
    std::string text;
    while (std::getline(in, text)) {
        const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
        if (!line.is_object()) continue;
        const auto field = [&line](const char* key) {
            const auto it = line.find(key);
            return it != line.end() && it->is_string() ? it->get<std::string>() : std::string();
        };
        const std::string serial = field("serial_number");
        if (field("event") != "record" || field("command") != "update" || field("status") != "ok" || serial.size() != 16 ||
            serial.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
            continue;
        }
        done.emplace(std::stoull(serial, nullptr, 16), field("image_sha256"));
    }
    return done;
}

// Who a unit says it is, asked on its own link before the rollout opens the port for its plan.
struct UnitIdentity {
    bool serialKnown = false;
    std::uint64_t serialNumber = 0;
    std::string type, firmware;
};

// False with the reason (connect or identity) and the message.
bool IdentifyUnit(const std::string& port, unsigned baud, std::atomic<bool>& cancel, UnitIdentity& unit,
                  Reason& reason, std::string& error) {
    const std::wstring name = Utf8ToWide(port);
    std::unique_ptr<ITransport> link = baud != 0 ? CreateSerialTransport(name, baud, &cancel)
                                                 : CreateSerialTransport(name, &cancel);
    ModemIdentity identity;
    reason = Reason::Connect;
    if (!link->Open(error)) return false;
    reason = Reason::Identity;
    if (!CheckModemIdentity(*link, identity, error)) {
        error = CutModemText(error);
        return false;
    }
    link->Close();
    unit.firmware = identity.firmware;
    unit.type = Field(identity.response, "#0:");
    const std::string serial = Field(identity.response, "#2:");
    if (serial.size() == 16 && serial.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos) {
        unit.serialKnown = true;
        unit.serialNumber = std::stoull(serial, nullptr, 16);
    }
    return true;
}

class Station;

// One plug: a unit on a port, from its arrival to its verdict.
struct Unit {
    std::string port;
    std::atomic<bool> cancel{false};
    std::atomic<bool> unplugged{false};
    std::atomic<bool> finished{false};
    std::thread worker;
};

// What one unit's rollout ended with. The rollout's images go with it: the result keeps its own copy.
struct UnitResult {
    TargetResult result;
    ImageInfo image;
};

// The events of one unit's rollout, told as the station's.
class UnitOutput : public RolloutOutput {
public:
    UnitOutput(Station& station, const std::string& port, bool confirm, UnitResult& unit)
        : station_(station), port_(port), confirm_(confirm), unit_(unit), result_(unit.result) {}
    void Consume(const RolloutEvent& event) override;

private:
    void Phase(UnitPhase phase, int percent);
    Station& station_;
    std::string port_;
    bool confirm_;
    UnitResult& unit_;
    TargetResult& result_;
    UnitPhase phase_ = UnitPhase::Identifying;
    int percent_ = -1;
};

class UnitHost : public RolloutHost {
public:
    UnitHost(Station& station, const std::string& port, bool confirm, UnitResult& result)
        : station_(station), port_(port), confirm_(confirm), result_(result) {}
    void AddOutputs(RolloutEvents& events, size_t targets) override {
        if (targets > 0) events.Add(std::make_unique<UnitOutput>(station_, port_, confirm_, result_));
    }
    bool CanAsk() override { return false; }
    Answer Ask(const std::string&) override { return Answer::No; }
    void ReportFault(const std::string& fault) override;
    // The station ends its units through their cancel flags and waits for each.
    void SetCloser(std::function<int()>) override {}

private:
    Station& station_;
    std::string port_;
    bool confirm_;
    UnitResult& result_;
};

class Station {
public:
    Station(const StationRequest& request, const StationOutput& output, std::atomic<bool>& cancel,
            PortWatch::Lister lister)
        : request_(request), output_(output), cancel_(cancel), watch_(lister, std::chrono::milliseconds(request.settleMs)) {}

    int Run();
    void Emit(const StationEvent& event) {
        const std::lock_guard<std::mutex> lock(outputMutex_);
        output_(event);
    }

private:
    bool LoadDigests(std::string& error);
    const std::string* DigestFor(const std::string& type) const;
    void Start(const std::string& port);
    void Work(Unit& unit);
    void Judge(Unit& unit, UnitVerdict verdict, const std::string& reason, const std::string& text,
               const UnitIdentity& identity, const TargetResult* result);
    // After a failure: waits until the loop has looked at the ports again, so that a pull that broke the link
    // is known as a pull.
    bool Unplugged(Unit& unit);
    size_t Working() const;

    const StationRequest& request_;
    const StationOutput& output_;
    std::atomic<bool>& cancel_;
    PortWatch watch_;  // only the loop's thread looks
    std::mutex outputMutex_;  // one event at a time in the output
    std::map<std::string, std::string> digests_;  // image type ("" for the plain file) -> SHA-256

    // Guards done_, summary_ and looks_, and wakes workers waiting for the next look.
    std::mutex mutex_;
    std::condition_variable looked_;
    std::set<DoneKey> done_;
    StationSummary summary_;
    std::uint64_t looks_ = 0;

    std::list<Unit> units_;             // the loop's own: units at work and finished ones not yet joined
    std::deque<std::string> waiting_;   // ports that settled while every worker was busy
    size_t started_ = 0;
};

void UnitOutput::Phase(UnitPhase phase, int percent) {
    if (phase == phase_ && percent == percent_) return;
    phase_ = phase;
    percent_ = percent;
    StationEvent event;
    event.kind = StationEvent::Kind::Phase;
    event.port = port_;
    event.phase = phase;
    event.percent = percent;
    event.serialKnown = result_.serialKnown;
    event.serialNumber = result_.serialNumber;
    event.type = result_.type;
    station_.Emit(event);
}

void UnitOutput::Consume(const RolloutEvent& event) {
    switch (event.kind) {
        case RolloutEvent::Kind::Plan:
            if (!event.results->empty()) {
                const TargetResult& identified = event.results->front();
                result_.serialKnown = identified.serialKnown;
                result_.serialNumber = identified.serialNumber;
                result_.type = identified.type;
            }
            if (!event.plan->empty() && event.plan->front().action == PlanEntry::Action::Update) Phase(UnitPhase::Flashing, 0);
            break;
        case RolloutEvent::Kind::Progress:
            // The transfer counts its bytes; the whole image sent, the modem checks it; what comes after that is
            // the restart check.
            if (event.counted && event.total > 0) {
                if (event.done < event.total) Phase(UnitPhase::Flashing, static_cast<int>(event.done * 100 / event.total));
                else Phase(UnitPhase::Verifying, 100);
            } else if (phase_ == UnitPhase::Verifying && confirm_) {
                Phase(UnitPhase::Restarting, 100);
            }
            break;
        case RolloutEvent::Kind::Result: {
            const TargetResult identified = result_;
            result_ = *event.result;
            if (result_.image != nullptr) {
                unit_.image = *result_.image;
                result_.image = &unit_.image;
            }
            if (!result_.serialKnown && identified.serialKnown) {
                result_.serialKnown = true;
                result_.serialNumber = identified.serialNumber;
            }
            break;
        }
        case RolloutEvent::Kind::Error: {
            StationEvent note;
            note.kind = StationEvent::Kind::Note;
            note.port = port_;
            note.text = event.text;
            station_.Emit(note);
            break;
        }
        default: break;
    }
}

void UnitHost::ReportFault(const std::string& fault) {
    StationEvent note;
    note.kind = StationEvent::Kind::Note;
    note.port = port_;
    note.text = fault;
    station_.Emit(note);
}

bool Station::LoadDigests(std::string& error) {
    const RolloutRequest& rollout = request_.rollout;
    std::vector<std::pair<std::string, std::string>> files;
    if (!rollout.path.empty()) files.emplace_back("", rollout.path);
    for (const auto& file : rollout.firmwareByType) files.push_back(file);
    for (const auto& [type, path] : files) {
        std::vector<unsigned char> image;
        if (!LoadFirmwareFile(Utf8ToWide(path), image, error)) {
            error += " " + path + ": " + WindowsError(LastSystemError());
            return false;
        }
        digests_[type] = FirmwareSha256Hex(image.data(), image.size());
    }
    return true;
}

const std::string* Station::DigestFor(const std::string& type) const {
    auto it = digests_.find(type);
    if (it == digests_.end()) it = digests_.find("");
    return it == digests_.end() ? nullptr : &it->second;
}

size_t Station::Working() const {
    size_t working = 0;
    for (const Unit& unit : units_) working += unit.finished.load() ? 0 : 1;
    return working;
}

void Station::Judge(Unit& unit, UnitVerdict verdict, const std::string& reason, const std::string& text,
                    const UnitIdentity& identity, const TargetResult* result) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++summary_.units;
        (verdict == UnitVerdict::Pass ? summary_.passed : verdict == UnitVerdict::Fail ? summary_.failed : summary_.skipped) += 1;
        if (verdict == UnitVerdict::Pass && identity.serialKnown && result != nullptr && result->image != nullptr) {
            done_.emplace(identity.serialNumber, result->image->sha256);
        }
    }
    StationEvent event;
    event.kind = StationEvent::Kind::Verdict;
    event.port = unit.port;
    event.verdict = verdict;
    event.reason = reason;
    event.text = text;
    event.serialKnown = identity.serialKnown;
    event.serialNumber = identity.serialNumber;
    event.type = identity.type;
    event.firmware = identity.firmware;
    event.result = result;
    Emit(event);
}

bool Station::Unplugged(Unit& unit) {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t after = looks_ + 1;
    // Two looks at most: the pull and the link's end come close together, in either order.
    looked_.wait_for(lock, 3 * kLookEvery, [&] { return looks_ > after || unit.unplugged.load() || cancel_.load(); });
    return unit.unplugged.load();
}

void Station::Work(Unit& unit) {
    StationEvent phase;
    phase.kind = StationEvent::Kind::Phase;
    phase.port = unit.port;
    phase.phase = UnitPhase::Identifying;
    Emit(phase);

    const RolloutRequest& rollout = request_.rollout;
    UnitIdentity identity;
    std::string error;
    Reason reason = Reason::None;
    if (!IdentifyUnit(unit.port, rollout.baudRate, unit.cancel, identity, reason, error)) {
        const bool pulled = Unplugged(unit);
        Judge(unit, UnitVerdict::Fail,
              pulled ? kReasonUnplugged : ReasonName(unit.cancel.load() ? Reason::Signal : reason), error, identity, nullptr);
        return;
    }
    phase.serialKnown = identity.serialKnown;
    phase.serialNumber = identity.serialNumber;
    phase.type = identity.type;
    phase.firmware = identity.firmware;
    Emit(phase);

    if (!identity.serialKnown) {
        StationEvent note;
        note.kind = StationEvent::Kind::Note;
        note.port = unit.port;
        note.text = "the unit on " + unit.port + " gives no serial number: it is flashed each time it is plugged in";
        Emit(note);
    } else if (const std::string* digest = DigestFor(identity.type)) {
        bool before = false;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            before = done_.count({identity.serialNumber, *digest}) != 0;
        }
        if (before) {
            Judge(unit, UnitVerdict::Skip, kReasonDoneBefore,
                  "unit " + SerialNumberText(identity.serialNumber) + " already got this image", identity, nullptr);
            return;
        }
    }

    RolloutRequest one = rollout;
    one.command = "update";
    one.targets.clear();
    RolloutTarget target;
    target.serial = true;
    target.serialPort = unit.port;
    target.baudRate = rollout.baudRate;
    one.targets.push_back(target);
    one.targetsFile.clear();
    one.discovered = false;
    one.resumePath.clear();
    one.yes = true;
    one.plan = false;
    UnitResult outcome;
    TargetResult& result = outcome.result;
    result.serialKnown = identity.serialKnown;
    result.serialNumber = identity.serialNumber;
    result.type = identity.type;
    UnitHost host(*this, unit.port, one.confirm, outcome);
    RunRollout(one, host, unit.cancel);

    if (!result.done) {
        Judge(unit, UnitVerdict::Fail, ReasonName(Reason::Aborted), "the rollout gave no result", identity, nullptr);
        return;
    }
    if (result.status == Status::Ok) {
        Judge(unit, UnitVerdict::Pass, ReasonName(result.reason), result.message, identity, &result);
    } else if (result.status == Status::Skipped) {
        Judge(unit, UnitVerdict::Skip, ReasonName(result.reason), result.message, identity, &result);
    } else if (Unplugged(unit)) {
        Judge(unit, UnitVerdict::Fail, kReasonUnplugged,
              result.imageSent ? "unplugged after the whole image went: it may hold the image" : "unplugged: " + result.message,
              identity, &result);
    } else {
        Judge(unit, UnitVerdict::Fail, ReasonName(result.reason), result.message, identity, &result);
    }
}

void Station::Start(const std::string& port) {
    ++started_;
    units_.emplace_back();
    Unit& unit = units_.back();
    unit.port = port;
    unit.worker = std::thread([this, &unit] {
        Work(unit);
        unit.finished = true;
    });
}

int Station::Run() {
    const Clock::time_point start = Clock::now();
    std::string error;
    if (!LoadDigests(error)) {
        StationEvent failure;
        failure.kind = StationEvent::Kind::Error;
        failure.text = error;
        Emit(failure);
        return 1;
    }
    if (!request_.rollout.recordPath.empty()) done_ = ReadDone(request_.rollout.recordPath);
    StationEvent ready;
    ready.kind = StationEvent::Kind::Ready;
    for (const std::string& pattern : request_.portPatterns) ready.text += (ready.text.empty() ? "" : ",") + pattern;
    Emit(ready);

    const size_t parallel = request_.parallel == 0 ? SIZE_MAX : request_.parallel;
    const bool limited = request_.maxUnits != 0;
    Clock::time_point nextLook = start;
    for (;;) {
        // Finished units are joined at once: a port is ready for its next unit when its worker is gone.
        for (auto it = units_.begin(); it != units_.end();) {
            if (!it->finished.load()) {
                ++it;
                continue;
            }
            it->worker.join();
            it = units_.erase(it);
        }
        if (cancel_.load() || (limited && started_ >= request_.maxUnits && units_.empty())) break;
        const Clock::time_point now = Clock::now();
        if (now >= nextLook) {
            nextLook = now + kLookEvery;
            for (const PortChange& change : watch_.Look(now)) {
                StationEvent event;
                event.kind = change.kind == PortChange::Kind::Appeared ? StationEvent::Kind::Arrived : StationEvent::Kind::Departed;
                event.port = change.port;
                if (change.kind == PortChange::Kind::Disappeared) {
                    for (Unit& unit : units_) {
                        if (unit.port != change.port) continue;
                        unit.unplugged = true;
                        unit.cancel = true;
                    }
                    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), change.port), waiting_.end());
                } else {
                    waiting_.push_back(change.port);
                }
                Emit(event);
            }
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                ++looks_;
            }
            looked_.notify_all();
        }
        while (!waiting_.empty() && Working() < parallel && !(limited && started_ >= request_.maxUnits)) {
            Start(waiting_.front());
            waiting_.pop_front();
        }
        std::this_thread::sleep_for(kTick);
    }
    // Ctrl-C: units at work are cancelled as in a rollout, and each still gets its verdict.
    for (Unit& unit : units_) unit.cancel = true;
    looked_.notify_all();
    for (Unit& unit : units_) unit.worker.join();
    units_.clear();
    StationSummary summary;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        summary = summary_;
    }
    summary.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    StationEvent closing;
    closing.kind = StationEvent::Kind::Summary;
    closing.summary = &summary;
    Emit(closing);
    return summary.ExitCode();
}

}  // namespace

int RunStation(const StationRequest& request, const StationOutput& output, std::atomic<bool>& cancel,
               PortWatch::Lister lister) {
    if (!lister) {
        lister = [patterns = request.portPatterns] { return ListMatchingPorts(patterns); };
    }
    Station station(request, output, cancel, std::move(lister));
    return station.Run();
}
