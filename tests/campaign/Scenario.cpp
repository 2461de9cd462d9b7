// Drawing a campaign scenario from its seed, and saying what was drawn.
#include "campaign/Scenario.h"

#include <csignal>
#include <random>
#include <sstream>

namespace {

const std::vector<std::pair<Fault, const char*>> kNames = {
    {Fault::None, "none"},           {Fault::Kill, "kill"},
    {Fault::Signal, "signal"},       {Fault::DiskFull, "disk-full"},
    {Fault::StdoutStall, "stdout-stall"}, {Fault::StdoutClose, "stdout-close"},
    {Fault::ThreadLimit, "thread-limit"}, {Fault::IdleCut, "idle-cut"},
    {Fault::SlowLink, "slow-link"},  {Fault::Swap, "swap"},
    {Fault::Hold, "hold"},           {Fault::Dns, "dns"},
};

// The faults that need namespaces of our own (a mount namespace, the name server's address, another user).
bool NeedsNamespaces(Fault fault) {
    return fault == Fault::DiskFull || fault == Fault::ThreadLimit || fault == Fault::Dns;
}

class Draw {
public:
    explicit Draw(std::uint64_t seed) : generator_(seed) {}
    int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(generator_); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(generator_); }
    template <typename T>
    const T& Pick(const std::vector<T>& items) { return items[static_cast<size_t>(Between(0, static_cast<int>(items.size()) - 1))]; }

private:
    std::mt19937_64 generator_;
};

}  // namespace

const std::vector<Fault>& AllFaults() {
    static const std::vector<Fault> all = [] {
        std::vector<Fault> faults;
        for (const auto& [fault, name] : kNames) faults.push_back(fault);
        return faults;
    }();
    return all;
}

std::string FaultName(Fault fault) {
    for (const auto& [known, name] : kNames) {
        if (known == fault) return name;
    }
    return "?";
}

bool ParseFaults(const std::string& list, std::vector<Fault>& faults, std::string& error) {
    faults.clear();
    if (list == "all") {
        faults = AllFaults();
        return true;
    }
    std::istringstream items(list);
    std::string item;
    while (std::getline(items, item, ',')) {
        bool found = false;
        for (const auto& [fault, name] : kNames) {
            if (item == name) {
                faults.push_back(fault);
                found = true;
            }
        }
        if (!found) {
            error = "unknown fault kind '" + item + "'";
            return false;
        }
    }
    if (faults.empty()) error = "no fault kind given";
    return !faults.empty();
}

bool Scenario::HasImageFor(char type) const {
    if (!byType) return true;
    for (char t : imageTypes) {
        if (t == type) return true;
    }
    return false;
}

bool Modem::Clean() const { return wireFault.empty() && versionAfter == "7.3" && rebootMs <= 1000; }

bool Scenario::CanSettle() const {
    if (command != "update" || !strict) return true;
    for (const Modem& m : modems) {
        if (!HasImageFor(m.type) || (expect && m.version == "7.3")) return false;
    }
    return true;
}

Scenario DrawScenario(std::uint64_t seed, const std::vector<Fault>& faults, bool namespaces, bool windows) {
    Draw d(seed);
    Scenario s;
    s.seed = seed;
    std::vector<Fault> allowed;
    for (Fault f : faults) {
        if ((namespaces && !windows) || !NeedsNamespaces(f)) allowed.push_back(f);
    }
    if (allowed.empty()) allowed.push_back(Fault::None);
    s.fault = d.Pick(allowed);
    const bool relayFault = s.fault == Fault::IdleCut || s.fault == Fault::SlowLink || s.fault == Fault::Swap ||
                            s.fault == Fault::Hold || s.fault == Fault::Dns;
    const int roll = d.Between(0, 99);
    s.command = roll < 70 ? "update" : roll < 85 ? "identify" : "log";
    if (s.fault == Fault::Swap || s.fault == Fault::Hold || (windows && s.command == "log")) s.command = "update";
    const int count = s.fault == Fault::SlowLink ? d.Between(1, 3) : d.Between(1, 12);
    s.imageSize = s.fault == Fault::SlowLink ? static_cast<size_t>(d.Between(70000, 100000))
                                              : static_cast<size_t>(d.Between(1000, 16000));
    static const std::vector<std::vector<std::string>> wire = {
        {"--bad-checksum"}, {"--reject-size"}, {"--fault", "prompt:drop"}, {"--fault", "header:esc"},
        {"--drop-after-bytes", "700"}, {"--no-updfast"}, {"--fault", "verdict:1:drop"}, {"--silent"},
        {"--fault", "size:stall"}};
    static const std::vector<unsigned> rates = {9600, 19200, 57600};
    for (int i = 0; i < count; ++i) {
        Modem m;
        const int type = d.Between(0, 99);
        m.type = type < 60 ? 'U' : type < 85 ? 'I' : 'B';
        m.version = d.Chance(0.15) ? "7.3" : "7.2";
        m.serialNumber = 0x4000 + (seed % 0x1000) * 16 + static_cast<std::uint64_t>(i);
        m.rebootMs = d.Between(200, 800);
        m.serialLine = !relayFault && d.Chance(0.15) && !windows;
        if (m.serialLine) {
            m.serialInList = d.Chance(0.6);
            m.rate = m.serialInList ? d.Pick(rates) : 115200;
        }
        if (d.Chance(0.2)) {
            const int kind = d.Between(0, static_cast<int>(wire.size()) + 1);
            if (kind < static_cast<int>(wire.size())) m.wireFault = wire[static_cast<size_t>(kind)];
            else if (kind == static_cast<int>(wire.size())) m.versionAfter = m.version;  // back at the old version
            else m.rebootMs = 6000;                                                       // a slow restart
        }
        m.clash = s.command == "log" && d.Chance(0.3);
        s.modems.push_back(m);
    }
    for (const Modem& m : s.modems) {
        if (m.serialLine && !m.serialInList) s.baud = 115200;
    }
    s.listFile = d.Chance(0.5);
    s.parallel = static_cast<unsigned>(d.Between(1, 6));
    s.retries = d.Chance(0.3) ? static_cast<unsigned>(d.Between(1, 2)) : 0;
    if (s.command == "update") {
        s.byType = d.Chance(0.4);
        if (s.byType) {
            for (char t : {'U', 'I', 'B'}) {
                bool present = false;
                for (const Modem& m : s.modems) present = present || m.type == t;
                // Every type given an image is present (else the run fails as unmatched, by design).
                if (present && (t == s.modems.front().type || d.Chance(0.7))) s.imageTypes.push_back(t);
            }
        }
        s.canary = d.Chance(0.35) ? static_cast<unsigned>(d.Between(1, 3)) : 0;
        s.maxFailures = d.Chance(0.3) ? static_cast<unsigned>(d.Between(1, 3)) : 0;
        s.expect = d.Chance(0.5);
        s.confirm = d.Chance(0.6) || s.expect ? static_cast<unsigned>(d.Between(2, 8)) : 0;
        s.strict = d.Chance(0.15);
    }
    s.faultAtMs = d.Between(50, 3000);
    s.signal = d.Chance(0.5) ? SIGINT : SIGTERM;
    if (windows) s.signal = SIGINT;  // Wine turns it into the console's Ctrl-C event; SIGTERM just ends the process
    s.twice = d.Chance(0.5);
    s.gapMs = d.Between(50, 2500);
    s.spaceLeft = d.Between(0, 2) * 4096;  // tmpfs counts whole pages
    s.threadLimit = d.Between(1, static_cast<int>(s.parallel) + 2);
    s.idleCutMs = d.Between(300, 1500);
    s.bytesPerSecond = d.Between(4000, 5500);  // a 64 KiB frame takes 12-16 s
    if (s.fault == Fault::StdoutStall || s.fault == Fault::Dns) s.faultAtMs = d.Between(50, 1500);
    if (s.fault == Fault::ThreadLimit) s.faultAtMs = d.Chance(0.4) ? 0 : d.Between(10, 400);  // 0: from the start
    if (s.fault == Fault::Swap || s.fault == Fault::Hold) {
        // One modem of a type that gets an image: Swap has it come back at its old version while another
        // answers at the expected one; Hold has it stay away longer than the wait.
        s.expect = s.expect || s.fault == Fault::Swap;
        s.confirm = static_cast<unsigned>(d.Between(2, 4));
        Modem& m = s.modems[static_cast<size_t>(d.Between(0, count - 1))];
        m.wireFault.clear();
        m.version = "7.2";
        if (!s.HasImageFor(m.type)) s.imageTypes.push_back(m.type);
        if (s.fault == Fault::Swap) m.versionAfter = "7.2";
        else m.rebootMs = static_cast<int>(s.confirm) * 1000 + 3000;
        m.faulted = true;
    }
    // Drawn last, so that the draws above stay what they were for a seed.
    for (Modem& m : s.modems) {
        if (s.command == "update" && s.confirm > 1 && m.Clean() && !m.faulted && !m.serialLine && d.Chance(0.15)) {
            m.rebootMs = static_cast<int>(s.confirm) * 1000 - d.Between(300, 700);
            m.late = true;
        }
    }
    return s;
}

std::string Scenario::Describe() const {
    std::ostringstream o;
    o << "seed " << seed << ": " << command << " of " << modems.size() << " modem(s), fault " << FaultName(fault);
    if (fault == Fault::Kill || fault == Fault::ThreadLimit || fault == Fault::StdoutClose || fault == Fault::StdoutStall ||
        fault == Fault::Signal || fault == Fault::Dns)
        o << " at " << faultAtMs << " ms";
    if (fault == Fault::Signal || fault == Fault::StdoutStall || fault == Fault::Dns)
        o << " (" << (signal == SIGINT ? "SIGINT" : "SIGTERM") << (twice ? " twice, " + std::to_string(gapMs) + " ms apart" : " once") << ")";
    if (fault == Fault::DiskFull) o << " (" << spaceLeft << " bytes left)";
    if (fault == Fault::ThreadLimit) o << " (RLIMIT_NPROC " << threadLimit << ")";
    if (fault == Fault::IdleCut) o << " (idle " << idleCutMs << " ms)";
    if (fault == Fault::SlowLink) o << " (" << bytesPerSecond << " B/s)";
    o << "\n  options: parallel " << parallel << (listFile ? ", target list" : ", --telnet each");
    if (command == "update") {
        o << ", image " << imageSize << " bytes" << (byType ? " by type " + std::string(imageTypes.begin(), imageTypes.end()) : "");
        if (canary) o << ", canary " << canary;
        if (maxFailures) o << ", max-failures " << maxFailures;
        if (confirm) o << ", confirm " << confirm << " s";
        if (expect) o << ", expect 7.3";
        if (strict) o << ", strict";
    }
    if (retries) o << ", retries " << retries;
    if (baud) o << ", baud " << baud;
    for (size_t i = 0; i < modems.size(); ++i) {
        const Modem& m = modems[i];
        o << "\n  modem " << i + 1 << ": " << m.type << " " << m.version << "->" << m.versionAfter << " reboot "
          << m.rebootMs << " ms";
        if (m.serialLine) o << ", serial at " << m.rate << (m.serialInList ? " (list)" : " (--serial)");
        for (const std::string& w : m.wireFault) o << " " << w;
        if (m.clash) o << ", its log name taken";
        if (m.faulted) o << ", the one the fault is about";
        if (m.late) o << ", back just before --confirm ends";
    }
    return o.str();
}
