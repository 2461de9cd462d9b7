// brisklode-cli: identify, update, log, discover and ports on the command line, over the same core as the window.
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BrisklodeVersion.h"
#include "cli/Args.h"
#include "cli/CliMain.h"
#include "cli/Files.h"
#include "cli/Fleet.h"
#include "cli/Interrupt.h"
#include "cli/Progress.h"
#include "cli/Terminal.h"
#include "console/Console.h"
#include "discovery/Discovery.h"
#include "modemlog/ModemLog.h"
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

std::unique_ptr<ITransport> MakeLink(const CliOptions& options) {
    if (!options.serialPort.empty()) {
        const std::wstring port = Utf8ToWide(options.serialPort);
        return options.baudRate != 0 ? CreateSerialTransport(port, options.baudRate) : CreateSerialTransport(port);
    }
    return CreateTelnetTransport(options.telnetHost, options.telnetPort);
}

bool OpenLink(ITransport& link, std::string& error) {
    std::fprintf(stderr, "Connecting to %s...\n", link.Description().c_str());
    return link.Open(error);
}

int Identify(ITransport& link) {
    std::string error;
    if (!OpenLink(link, error)) return Fail(error);
    ModemIdentity identity;
    const bool ok = CheckModemIdentity(link, identity, error);
    link.Close();
    if (!ok) return Fail(error);
    std::printf("Model:    %s\nFirmware: %s\nReply:    %s\n", identity.model.c_str(), identity.firmware.c_str(),
                DiagnosticResponse(identity.response).c_str());
    return kExitSuccess;
}

// The question the window asks when the firmware lacks the fast transfer.
bool AskForLegacy(LegacyChoice choice) {
    if (choice == LegacyChoice::Yes) return true;
    if (choice == LegacyChoice::No) return false;
    if (!StdinIsTerminal() || !StderrIsTerminal()) {
        std::fprintf(stderr, "UPDFAST is not available; not using the legacy UPDATE protocol without a terminal "
                             "(pass --legacy yes to allow it).\n");
        return false;
    }
    std::fprintf(stderr,
                 "This modem firmware does not support UPDFAST.\n"
                 "Use the slow legacy UPDATE protocol instead? Legacy UPDATE acknowledges every 256-byte block,\n"
                 "but cannot report the final modem-side checksum result. [y/N] ");
    std::fflush(stderr);
    std::string answer;
    if (!ReadInputLine(answer) || g_cancel.load()) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

int Update(ITransport& link, const CliOptions& options) {
    std::vector<unsigned char> firmware;
    std::string error;
    if (!LoadFirmwareFile(Utf8ToWide(options.path), firmware, error)) return Fail(error);
    if (!OpenLink(link, error)) return Fail(error);

    ProgressDisplay display(stderr, StderrIsTerminal(), TerminalColumns());
    const ProgressCallback progress = [&display](int percent, const std::string& stage, const std::string& detail) {
        display.Report(percent, stage, detail);
    };
    bool ok = false;
    bool legacy = false;
    const int result = RunFastUpdate(link, firmware, g_cancel, progress, error);
    display.Finish();
    if (result == static_cast<int>(UpdateResult::NotSupported)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        // Said once: without the legacy transfer there is nothing more to report.
        error.clear();
        if (AskForLegacy(options.legacy) && !g_cancel.load()) {
            legacy = true;
            ok = RunLegacyUpdate(link, firmware, g_cancel, progress, error);
            display.Finish();
        }
    } else {
        ok = result == static_cast<int>(UpdateResult::Installed);
    }
    // Every attempt ends with the link closed: after success the modem reboots anyway.
    link.Close();
    if (!ok) return error.empty() ? kExitFailure : Fail(error);
    if (legacy) {
        std::printf("Legacy transfer complete. Final modem checksum status unavailable; after reboot, check that "
                    "the new firmware version is running.\n");
    } else {
        std::printf("Checksum OK on Modem\nThe modem is rebooting.\n");
    }
    return kExitSuccess;
}

int Log(ITransport& link, const CliOptions& options) {
    std::string error;
    if (!OpenLink(link, error)) return Fail(error);
    ProgressDisplay display(stderr, StderrIsTerminal(), TerminalColumns());
    LogFileOutcome outcome;
    const int result = DownloadModemLogToFile(
        link, Utf8ToWide(options.path), g_cancel,
        [&display](int percent, const std::string& stage, const std::string& detail) {
            display.Report(percent, stage, detail);
        },
        outcome, error);
    display.Finish();
    link.Close();
    if (outcome.inPlace) {
        std::fprintf(stderr, "%s was written in place (its folder takes no new file, or it has other hard links)%s.\n",
                     options.path.c_str(), outcome.incomplete ? " and is incomplete" : "");
    }
    if (result == static_cast<int>(LogDownloadResult::Failed)) return Fail(error);
    const bool legacy = result == static_cast<int>(LogDownloadResult::LegacyComplete);
    // Where the log went to a stream (standard output with "log -", or /dev/stdout), stdout carries the log
    // and nothing else.
    std::fprintf(outcome.stream ? stderr : stdout, "Modem log saved: %s (%llu bytes, %s)\n",
                 options.path == "-" ? "standard output" : options.path.c_str(),
                 static_cast<unsigned long long>(outcome.bytes), legacy ? "legacy 256-byte protocol" : "fast protocol");
    return kExitSuccess;
}

int Discover(const CliOptions& options) {
    std::string error;
    const std::vector<DiscoveredModem> modems = DiscoverModems(options.discoverTimeoutMs, error);
    for (const DiscoveredModem& modem : modems) {
        std::printf("%-21s  %-9s  S/N %016" PRIX64 "  status %u\n", DiscoveryKey(modem).c_str(),
                    modem.callSign.empty() ? "<no call>" : modem.callSign.c_str(), modem.serialNumber,
                    static_cast<unsigned>(modem.statusByte));
    }
    if (!error.empty()) return Fail(error);
    if (modems.empty()) std::fprintf(stderr, "No modem found\n");
    return kExitSuccess;
}

int Ports() {
    const std::vector<SerialPortInfo> ports = EnumerateSerialPorts();
    for (const SerialPortInfo& port : ports) {
        std::printf("%-24s %s\n", WideToUtf8(port.portName).c_str(), WideToUtf8(port.displayName).c_str());
    }
    if (ports.empty()) std::fprintf(stderr, "No serial ports found\n");
    return kExitSuccess;
}

int Run(const CliOptions& options) {
    if (options.Fleet()) return RunFleet(options, g_cancel);
    if (options.command == "ports") return Ports();
    if (options.command == "discover") return Discover(options);
    std::unique_ptr<ITransport> link = MakeLink(options);
    if (options.command == "identify") return Identify(*link);
    if (options.command == "update") return Update(*link, options);
    return Log(*link, options);
}

}  // namespace

int CliMain(int argc, char** argv) {
    CliOptions options;
    std::string error;
    if (!ParseCommandLine(Utf8Arguments(argc, argv), options, error)) {
        std::fprintf(stderr, "brisklode-cli: %s\n\n%s", error.c_str(), UsageText().c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(UsageText().c_str(), stdout);
        return kExitSuccess;
    }
    if (options.version) {
        std::printf("brisklode-cli %s\n", BRISKLODE_VERSION_TEXT);
        return kExitSuccess;
    }
    // "log DIR" with one modem: its log goes into the folder as with several, rather than failing on the folder.
    options.logPathIsFolder = options.command == "log" && options.path != "-" && IsFolder(options.path);
    if (!StartNetworking()) return Fail("Cannot start the socket library");
    InstallStopHandlers();
    const int code = RunInterruptible([&options] { return Run(options); }, g_cancel, kStopGraceMs);
    StopNetworking();
    return code;
}
