// One scenario of the fault campaign: modems, a rollout command and one fault, all drawn from a seed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The faults around the process. Their names (FaultName) are what --faults selects.
enum class Fault {
    None,
    Kill,         // SIGKILL at a random moment
    Signal,       // SIGINT or SIGTERM, once or twice at a random gap
    DiskFull,     // the record on a tmpfs with a few hundred bytes left
    StdoutStall,  // stdout no longer read from a moment on, then two signals
    StdoutClose,  // stdout's reader goes away at a moment
    ThreadLimit,  // RLIMIT_NPROC lowered on the running program (run as an unprivileged user)
    IdleCut,      // the relays cut connections idle for a while
    SlowLink,     // the relays pass a few KB/s
    Swap,         // another modem answers at a modem's address during its restart
    Hold,         // during a restart the address accepts and says nothing (the restart wait's bound)
    Dns,          // targets by name; the name server never answers; then a signal
};
const std::vector<Fault>& AllFaults();
std::string FaultName(Fault fault);
bool ParseFaults(const std::string& list, std::vector<Fault>& faults, std::string& error);

struct Modem {
    char type = 'U';
    std::string version = "7.2";
    std::string versionAfter = "7.3";  // what it reports after its restart
    std::uint64_t serialNumber = 0;
    bool serialLine = false;           // a pseudo-terminal instead of Telnet
    bool serialInList = false;         // serial: named in the target list with its own rate, else by --serial
    unsigned rate = 0;                 // serial: the rate the tool should open it at
    int rebootMs = 300;
    std::vector<std::string> wireFault;  // simulator options of a fault on the wire (lifted later)
    bool clash = false;                  // log: the file name it would get is taken
    bool faulted = false;                // the modem a Swap or Hold is about
    bool late = false;                   // back from its restart 0.3-0.7 s before --confirm ends
    bool Clean() const;                  // no fault of its own: it updates, restarts soon and comes back new
};

struct Scenario {
    std::uint64_t seed = 0;
    std::string command = "update";  // update, identify, log
    std::vector<Modem> modems;
    bool listFile = false;      // telnet targets in --targets FILE (else --telnet each)
    bool byType = false;        // --firmware TYPE=FILE per type present, else one FIRMWARE for all
    std::vector<char> imageTypes;  // byType: the types given an image
    size_t imageSize = 4096;
    unsigned parallel = 4;
    unsigned canary = 0;
    unsigned maxFailures = 0;
    unsigned retries = 0;
    unsigned confirm = 0;       // --confirm=S, 0 without
    bool expect = false;        // --expect-firmware 7.3
    bool strict = false;
    unsigned baud = 0;          // --baud for the --serial targets
    Fault fault = Fault::None;
    int faultAtMs = 0;          // from the start of the first run
    int signal = 0;             // Signal, StdoutStall, Dns: SIGINT or SIGTERM
    bool twice = false;
    int gapMs = 0;              // between the two signals
    int spaceLeft = 0;          // DiskFull: bytes left on the record's file system
    int threadLimit = 0;        // ThreadLimit: RLIMIT_NPROC
    int idleCutMs = 0;
    int bytesPerSecond = 0;

    std::string Describe() const;
    // Whether the image for a modem's type exists in this run (else it is skipped as another type).
    bool HasImageFor(char type) const;
    // Whether resumes can end with every target ok or skipped: --strict fails a skipped modem for good.
    bool CanSettle() const;
};

// `namespaces`: the kinds that need them may be drawn. `windows`: the program is the Windows build under Wine
// (no serial modems, no log folders: its paths are the drive's).
Scenario DrawScenario(std::uint64_t seed, const std::vector<Fault>& faults, bool namespaces, bool windows = false);
