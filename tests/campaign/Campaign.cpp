// brisklode-campaign: the rollout's promises checked under faults drawn at random, scenario by scenario.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "campaign/Run.h"

namespace {

const char* kUsage =
    "brisklode-campaign --cli PATH --sim PATH [--seed S] [--count N | --seeds S,S,...] [--faults all|KIND,...] [--no-namespaces] [--windows]\n"
    "                   [--keep] [--verbose] [--describe] [--replay TEXT]\n"
    "Fault kinds: none kill signal disk-full stdout-stall stdout-close thread-limit idle-cut slow-link swap hold dns\n"
    "Scenario i of a campaign has seed S+i. Needs root (a mount namespace of its own) and a private network\n"
    "namespace (scripts/campaign runs it in one) unless --no-namespaces.\n";

}  // namespace

int main(int argc, char** argv) {
    CampaignOptions o;
    std::string replay = "scripts/campaign";
    bool describe = false;
    std::string seeds;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--cli" && hasValue) o.cli = argv[++i];
        else if (a == "--sim" && hasValue) o.sim = argv[++i];
        else if (a == "--seed" && hasValue) o.seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--count" && hasValue) o.count = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--faults" && hasValue) o.faultList = argv[++i];
        else if (a == "--seeds" && hasValue) seeds = argv[++i];  // a list instead of --seed and --count
        else if (a == "--replay" && hasValue) replay = argv[++i];  // how the wrapper is called, for the replay line
        else if (a == "--no-namespaces") o.namespaces = false;
        else if (a == "--windows") o.windows = true;  // --cli runs brisklode-cli.exe under Wine
        else if (a == "--keep") o.keep = true;
        else if (a == "--verbose") o.verbose = true;
        else if (a == "--describe") describe = true;  // what each seed draws, without running it
        else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    std::string error;
    if (o.cli.empty() || o.sim.empty() || !ParseFaults(o.faultList, o.faults, error)) {
        std::fprintf(stderr, "brisklode-campaign: %s\n%s", error.empty() ? "--cli and --sim are needed" : error.c_str(), kUsage);
        return 2;
    }
    std::vector<std::uint64_t> list;
    for (size_t at = 0; at < seeds.size();) {
        char* end = nullptr;
        list.push_back(std::strtoull(seeds.c_str() + at, &end, 10));
        at = static_cast<size_t>(end - seeds.c_str()) + 1;
    }
    for (unsigned i = 0; seeds.empty() && i < o.count; ++i) list.push_back(o.seed + i);
    o.count = static_cast<unsigned>(list.size());
    if (describe) {
        for (std::uint64_t seed : list) std::printf("%s\n", DrawScenario(seed, o.faults, o.namespaces, o.windows).Describe().c_str());
        return 0;
    }
    setenv("BRISKLODE_SIM", o.sim.c_str(), 1);
    signal(SIGPIPE, SIG_IGN);
    if (o.namespaces) {
        // Our own mount namespace: the record's small file system and the name server's files stay ours.
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            std::fprintf(stderr, "brisklode-campaign: no mount namespace of our own (%s); run as root or use --no-namespaces\n",
                         std::strerror(errno));
            return 2;
        }
    }
    unsigned passed = 0, failed = 0;
    std::vector<std::uint64_t> failedSeeds;
    const auto started = std::chrono::steady_clock::now();
    std::printf("[==========] Fault campaign: %u scenario(s) from seed %llu, faults %s\n", o.count,
                static_cast<unsigned long long>(list.empty() ? 0 : list.front()), o.faultList.c_str());
    for (std::uint64_t seed : list) {
        const Scenario scenario = DrawScenario(seed, o.faults, o.namespaces, o.windows);
        const std::string name = "campaign.seed_" + std::to_string(scenario.seed);
        std::printf("[ RUN      ] %s (%s, %s, %zu modem(s))\n", name.c_str(), FaultName(scenario.fault).c_str(),
                    scenario.command.c_str(), scenario.modems.size());
        if (o.verbose) std::printf("%s\n", scenario.Describe().c_str());
        std::fflush(stdout);
        ScenarioRun run(o, scenario);
        const std::vector<std::string> broken = run.Execute();
        if (broken.empty()) {
            ++passed;
            std::printf("[       OK ] %s\n", name.c_str());
        } else {
            ++failed;
            failedSeeds.push_back(scenario.seed);
            std::printf("%s\n", scenario.Describe().c_str());
            for (const std::string& b : broken) std::printf("  BROKEN: %s\n", b.c_str());
            std::printf("  replay: %s --seed %llu --count 1 --faults %s\n", replay.c_str(),
                        static_cast<unsigned long long>(scenario.seed), o.faultList.c_str());
            if (o.keep) std::printf("  kept: %s\n", run.Folder().c_str());
            std::printf("[  FAILED  ] %s\n", name.c_str());
        }
        std::fflush(stdout);
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
    std::printf("[==========] %u scenario(s) ran (%lld s).\n[  PASSED  ] %u tests.\n", o.count, static_cast<long long>(seconds), passed);
    if (failed > 0) {
        std::printf("[  FAILED  ] %u tests, seeds:", failed);
        for (std::uint64_t seed : failedSeeds) std::printf(" %llu", static_cast<unsigned long long>(seed));
        std::printf("\n");
    }
    return failed == 0 ? 0 : 1;
}
