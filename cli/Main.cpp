// brisklode-cli: identify, update, log, discover and ports on the command line, over the same core as the window.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BrisklodeVersion.h"
#include "cli/Args.h"
#include "cli/CliMain.h"
#include "cli/Fleet.h"
#include "cli/FleetOutput.h"
#include "cli/Interrupt.h"
#include "cli/Progress.h"
#include "cli/StationMain.h"
#include "cli/Terminal.h"
#include "console/Console.h"
#include "discovery/Discovery.h"
#include "discovery/SerialNumber.h"
#include "modemlog/ModemLog.h"
#include "rollout/System.h"
#include "transport/Transport.h"
#include "update/Update.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

std::atomic<bool> g_cancel{false};

// RunInterruptible turns a failure into 130 or 143 when a signal caused it.
int Fail(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return kExitFailure;
}

// A list that standard output did not take is a list lost.
bool StandardOutputTookIt() {
    errno = 0;
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return true;
    Fail(std::string("Cannot write to standard output: ") + (errno != 0 ? std::strerror(errno) : "write failed"));
    return false;
}

int Discover(const CliOptions& options) {
    std::string error;
    const std::vector<RolloutTarget> modems = DiscoverTargets(options.discoverTimeoutMs, error, &g_cancel);
    for (const RolloutTarget& modem : modems) {
        const std::string key = modem.host + ":" + std::to_string(modem.port);
        std::printf("%-21s  %-9s  S/N %s  status %u\n", key.c_str(),
                    modem.callSign.empty() ? "<no call>" : modem.callSign.c_str(), SerialNumberText(modem.serialNumber).c_str(),
                    static_cast<unsigned>(modem.statusByte));
    }
    if (!StandardOutputTookIt()) return kExitFailure;
    if (!error.empty()) return Fail(error);
    if (g_cancel.load()) return kExitFailure;  // a cut-short discovery; RunInterruptible makes it 130 or 143
    if (modems.empty()) std::fprintf(stderr, "No modem found\n");
    return kExitSuccess;
}

int Ports() {
    const std::vector<SerialPortInfo> ports = EnumerateSerialPorts();
    for (const SerialPortInfo& port : ports) {
        std::printf("%-24s %s\n", WideToUtf8(port.portName).c_str(), WideToUtf8(port.displayName).c_str());
    }
    if (!StandardOutputTookIt()) return kExitFailure;
    if (ports.empty()) std::fprintf(stderr, "No serial ports found\n");
    return kExitSuccess;
}

int Run(const CliOptions& options) {
    if (options.command == "station") return RunStationCommand(options, g_cancel);
    if (options.Fleet()) return RunFleet(options, g_cancel);
    if (options.command == "ports") return Ports();
    return Discover(options);
}

// A usage error is one line and where to read more; with --json also the error event on stdout.
int UsageError(const std::vector<std::string>& args, const std::string& error) {
    std::string command;
    for (const std::string& arg : args) {
        if (IsCommandName(arg)) {
            command = arg;
            break;
        }
    }
    std::fprintf(stderr, "brisklode-cli: %s\nsee brisklode-cli %s--help\n", error.c_str(),
                 command.empty() ? "" : (command + " ").c_str());
    if (std::find(args.begin(), args.end(), "--json") != args.end()) {
        std::printf("%s\n", ErrorJson(error, true).c_str());
        std::fflush(stdout);
    }
    return kExitUsage;
}

}  // namespace

int CliMain(int argc, char** argv) {
    CliOptions options;
    std::string error;
    const std::vector<std::string> args = Utf8Arguments(argc, argv);
    if (!ParseCommandLine(args, options, error)) return UsageError(args, error);
    if (options.help) {
        std::fputs(UsageText(options.command).c_str(), stdout);
        return kExitSuccess;
    }
    if (options.version) {
        std::printf("brisklode-cli %s\n", BRISKLODE_VERSION_TEXT);
        return kExitSuccess;
    }
    // The JSON lines own standard output: a log into it under another name would mix with them.
    if (options.json && options.command == "log" && options.path != "-" && IsStandardOutput(options.path)) {
        return UsageError(args, "log " + options.path + " is standard output, which carries the JSON lines with --json: "
                                "name a file or a folder");
    }
    // "log DIR" with one modem: its log goes into the folder as with several, rather than failing on the folder.
    options.logPathIsFolder = options.command == "log" && options.path != "-" && IsFolder(options.path);
    if (!StartNetworking()) return Fail("Cannot start the socket library");
    InstallStopHandlers();
    const int code = RunInterruptible([&options] { return Run(options); }, g_cancel, kStopGraceMs);
    StopNetworking();
    return code;
}
