// What a rollout says of each target: how it ended and why, what it got, and the counts that close the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How one requested target ended. Exactly one per target, whatever the command.
enum class Status { Ok, Failed, Skipped, Cancelled, NotStarted };

// Why a target ended as it did (or what its plan is): the short machine-readable cause of results and records.
enum class Reason {
    None,
    Connect,      // no link to the modem, or the link failed before anything of the update reached it
    Identity,     // the modem did not identify itself
    Type,         // another type than --type, or no image for its type
    Current,      // already runs the expected version
    NotFound,     // asked for by serial number or call sign, not found by discovery
    Transfer,     // the transfer failed
    Verify,       // the whole image went but the modem did not accept it
    Unverified,   // a legacy transfer: the modem could not verify the image
    Unchanged,    // the modem came back with the version it had
    Reboot,       // the modem did not come back after the update
    Version,      // the modem came back with another version than expected
    Legacy,       // the legacy protocol was needed and not allowed
    Plan,         // not started: --plan; or no identified link for the target
    Signal,       // cancelled by a signal
    Record,       // not started: the record could not be written
    Output,       // not started: standard output could not be written
    Canary,       // not started: a canary did not succeed
    MaxFailures,  // not started: --max-failures was reached
    Usage,        // not started: a mistake in the command line
    Aborted,      // not started: the run failed before it
    Unmatched,    // not started: an image or --type names a type no modem has
    Declined,     // not started: the update was not confirmed
};

// How the bytes of an update or log went.
enum class Protocol { None, Fast, Legacy };

// The spellings of JSON lines and the record: "ok", "not-started", "max-failures", "legacy", ... ("" for None).
const char* StatusName(Status status);
const char* ReasonName(Reason reason);
const char* ProtocolName(Protocol protocol);
// The value a spelling names; false for a spelling of none.
bool StatusFromName(const std::string& name, Status& status);

// One firmware image of an update: what the start event, the confirmation list and the record name.
struct ImageInfo {
    std::string type;  // the identity type code it is for; empty for the plain file argument
    std::string path;
    std::uint64_t size = 0;
    std::string sha256;
};

struct TargetResult {
    std::string label;
    std::string key;  // how the record knows the target in every run (see TargetKey)
    bool done = false;
    Status status = Status::Failed;
    Reason reason = Reason::None;
    std::string message;   // what a person reads
    std::string warning;   // set also on ok results (an unverified legacy transfer, an unchanged version)
    std::string model;
    std::string firmware;  // identify: the version; update: the version before
    std::string type;
    std::string reply;     // identify: the modem's raw identity reply
    std::uint64_t bytes = 0;
    Protocol protocol = Protocol::None;
    // update: every byte of the image went to the modem, so it may hold it now whatever the verdict said
    bool imageSent = false;
    std::string file;
    bool toStream = false;  // log: the log went to a stream (standard output), which carries nothing else
    bool confirmWanted = false;  // update --confirm: firmware_before and firmware_after belong in the result
    bool confirmed = false;      // update --confirm: firmware_after is known
    std::string firmwareAfter;
    const ImageInfo* image = nullptr;  // update: the image this target got (or would have got)
    double seconds = 0;
    std::string startUtc, endUtc;  // ISO 8601, for the record
    // Who the modem is: from discovery, or from its identity reply (which names itself).
    bool serialKnown = false, callKnown = false;
    std::uint64_t serialNumber = 0;
    std::string callSign;
    // Inventory and discovery rows.
    bool discovered = false;
    std::string address;
    unsigned port = 0;
    unsigned statusByte = 0;

    bool Ok() const { return status == Status::Ok; }
};

// What an update will do with one target, decided once its identity is known and before any image is sent;
// the apply follows it.
struct PlanEntry {
    enum class Action { Update, Skip, Fail };
    Action action = Action::Fail;
    Reason reason = Reason::None;  // skip: type, current; fail: not-found, connect, identity; update: none
    std::string message;
    std::string warning;  // e.g. another target with the same serial number
    const ImageInfo* image = nullptr;  // update: the image it gets
    bool canary = false;
};
// "update", "skip", "fail".
const char* ActionName(PlanEntry::Action action);

// The counts that close a run.
struct RunSummary {
    std::string command;
    size_t targets = 0, ok = 0, failed = 0, skipped = 0, cancelled = 0, notStarted = 0, warnings = 0;
    double seconds = 0;
    // 0 when every target is ok or deliberately skipped, else 1.
    int ExitCode() const { return failed + cancelled + notStarted == 0 ? 0 : 1; }
};
RunSummary Summarise(const std::string& command, const std::vector<TargetResult>& results, double seconds);
