// Running one scenario: its modems, relays and files, the program under the fault, the resumes, the promises.
#pragma once

#include <chrono>
#include <ctime>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "campaign/Relay.h"
#include "campaign/Scenario.h"
#include "support/Simulator.h"

struct CampaignOptions {
    std::string cli, sim;
    std::uint64_t seed = 1;
    unsigned count = 1;
    std::string faultList = "all";
    std::vector<Fault> faults;
    bool namespaces = true;  // mount namespace, name server, another user: Linux as root only
    bool windows = false;    // the program is brisklode-cli.exe under Wine (--cli names a wrapper)
    bool keep = false;       // keep each scenario's folder (a failing one's is printed)
    bool verbose = false;
};

// One run of the program and what it left.
struct CliRun {
    std::vector<std::string> args;
    int exitCode = -1;          // -1 when it ended by a signal
    int endSignal = 0;
    bool boundHit = false;      // it did not end by itself within the campaign's bound
    std::vector<std::pair<double, std::string>> lines;  // stdout lines, with ms since the start
    bool stdoutWhole = true;    // stdout was read to its end
    std::string err;
    double endMs = 0;
    double lastSignalMs = -1;
    bool killed = false;        // our SIGKILL
    double stdoutClosedMs = -1;  // when stdout's reader went away
    std::string recordBefore;   // the record as it was before this run
    std::chrono::steady_clock::time_point start;
};

struct ModemState {
    std::unique_ptr<SimulatorProcess> sim;
    std::unique_ptr<Relay> relay;
    std::string label;       // as the program names the target
    std::string earlierLog;  // the logs of this modem's earlier simulator processes
    std::string storedPath;  // where the simulator stores the image it received
    std::string linkPath;    // serial: the stable name of its pseudo-terminal
    std::string Log() const { return earlierLog + (sim ? sim->ReadLog() : std::string()); }
};

// Counts of one modem's simulator events, to tell what happened during one run.
struct ModemCounts {
    size_t updates = 0;  // update requested (an image on its way)
    size_t stored = 0;   // image stored
    size_t logLength = 0;
};

class ScenarioRun {
public:
    ScenarioRun(const CampaignOptions& options, const Scenario& scenario) : o_(options), s_(scenario) {}
    ~ScenarioRun();
    // Runs it all; the promises broken, empty when every promise held.
    std::vector<std::string> Execute();
    const std::string& Folder() const { return work_; }

private:
    bool SetUp(std::string& error);
    bool StartModem(size_t index, bool lifted, std::string& error);
    void LiftFaults();
    void TakeLogNames(std::time_t started);
    size_t LogSize() const { return 1000 + s_.seed % 9000; }
    std::vector<std::string> FirstArgs() const;
    std::vector<std::string> ResumeArgs() const;
    std::vector<std::string> CommonArgs() const;
    CliRun RunCli(const std::vector<std::string>& args, bool faulted);
    std::map<std::string, std::pair<long long, long long>> Snapshot() const;

    // The promises (Checks.cpp), each adding what broke.
    void CheckRun(const CliRun& run, bool first, const std::vector<ModemCounts>& before);
    void CheckFinal(const CliRun& last);
    std::string ImageSha(char type) const;
    std::string CurrentVersion(size_t modem) const;
    int ModemOf(const std::string& label) const;
    std::vector<ModemCounts> Counts() const;
    void Broken(const std::string& what) { broken_.push_back(what); }

    const CampaignOptions& o_;
    const Scenario& s_;
    std::string work_, recordDir_, record_, logDir_;
    bool tmpfs_ = false, hostsBound_ = false;
    int nameServer_ = -1;
    std::vector<ModemState> modems_;
    std::unique_ptr<SimulatorProcess> impostor_;
    std::map<char, std::pair<std::string, std::string>> images_;  // type (0: the one for all) -> path, sha
    std::map<std::string, std::pair<long long, long long>> files_;  // before a run: path -> size, mtime
    std::vector<std::string> broken_;
    std::set<std::string> taken_;  // log names the campaign took during a run (content "taken\n")
};
