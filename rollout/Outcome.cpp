// The spellings of a rollout's outcomes and the counts that close a run.
#include "rollout/Outcome.h"

namespace {

template <typename Value>
struct Spelling {
    Value value;
    const char* name;
};

// One table per enumeration: JSON lines and the record both write from it, and a resume reads with it.
constexpr Spelling<Status> kStatuses[] = {
    {Status::Ok, "ok"}, {Status::Failed, "failed"}, {Status::Skipped, "skipped"},
    {Status::Cancelled, "cancelled"}, {Status::NotStarted, "not-started"},
};

constexpr Spelling<Reason> kReasons[] = {
    {Reason::None, ""},           {Reason::Connect, "connect"},     {Reason::Identity, "identity"},
    {Reason::Type, "type"},       {Reason::Current, "current"},     {Reason::NotFound, "not-found"},
    {Reason::Transfer, "transfer"}, {Reason::Verify, "verify"},     {Reason::Unverified, "unverified"},
    {Reason::Unchanged, "unchanged"}, {Reason::Reboot, "reboot"},   {Reason::Version, "version"},
    {Reason::Legacy, "legacy"},   {Reason::Plan, "plan"},           {Reason::Signal, "signal"},
    {Reason::Record, "record"},   {Reason::Output, "output"},   {Reason::Canary, "canary"},       {Reason::MaxFailures, "max-failures"},
    {Reason::Usage, "usage"},     {Reason::Aborted, "aborted"},     {Reason::Unmatched, "unmatched"},
    {Reason::Declined, "declined"},
};

constexpr Spelling<Protocol> kProtocols[] = {{Protocol::None, ""}, {Protocol::Fast, "fast"}, {Protocol::Legacy, "legacy"}};

template <typename Value, size_t N>
const char* NameIn(const Spelling<Value> (&table)[N], Value value) {
    for (const auto& entry : table) {
        if (entry.value == value) return entry.name;
    }
    return table[0].name;
}

}  // namespace

const char* StatusName(Status status) { return NameIn(kStatuses, status); }
const char* ReasonName(Reason reason) { return NameIn(kReasons, reason); }
const char* ProtocolName(Protocol protocol) { return NameIn(kProtocols, protocol); }

bool StatusFromName(const std::string& name, Status& status) {
    for (const auto& entry : kStatuses) {
        if (name == entry.name) {
            status = entry.value;
            return true;
        }
    }
    return false;
}

const char* ActionName(PlanEntry::Action action) {
    switch (action) {
        case PlanEntry::Action::Update: return "update";
        case PlanEntry::Action::Skip: return "skip";
        case PlanEntry::Action::Fail: return "fail";
    }
    return "fail";
}

RunSummary Summarise(const std::string& command, const std::vector<TargetResult>& results, double seconds) {
    RunSummary summary;
    summary.command = command;
    summary.targets = results.size();
    summary.seconds = seconds;
    for (const TargetResult& r : results) {
        switch (r.status) {
            case Status::Ok: ++summary.ok; break;
            case Status::Failed: ++summary.failed; break;
            case Status::Skipped: ++summary.skipped; break;
            case Status::Cancelled: ++summary.cancelled; break;
            case Status::NotStarted: ++summary.notStarted; break;
        }
        if (!r.warning.empty()) ++summary.warnings;
    }
    return summary;
}
