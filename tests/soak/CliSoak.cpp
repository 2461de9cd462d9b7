// brisklode-soak-cli: hundreds of CLI operations in one process against simulated modems with random faults.
//
// Each operation is the CLI's own entry point (CliMain) with its real arguments, so every path the command
// line takes -- transports, console, update, log download, saving -- runs here again and again. A process
// that ends after each operation would hide a leaked descriptor or buffer; this one keeps them: after every
// operation its open descriptors must be exactly those it had before the first one, and its heap and
// resident size are sampled for scripts/soak-verdict. Every tenth operation also runs as a separate
// brisklode-cli process (--cli), which must end the same way.
//
// Usage: brisklode-soak-cli --ops N --seed S [--cli PATH] [--samples FILE] [--sample-every N] [--process-every N]
// The same seed gives the same operations. Simulators listen on loopback only.
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliMain.h"
#include "simulator/GeneratedLog.h"
#include "support/Simulator.h"
#include "support/FileFaults.h"
#include "transport/File.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kClosed = "The modem closed the Telnet connection";
constexpr const char* kHeaderTimeout = "No answer from the modem within 5 s while waiting for the update header";
constexpr const char* kNoUpdfast = "UPDFAST is not supported by this modem firmware";
constexpr const char* kLegacyDone =
    "Legacy transfer complete. Final modem checksum status unavailable; after reboot, check that the new firmware "
    "version is running.";
constexpr std::size_t kFrame = 65536;
constexpr std::size_t kBlock = 256;

// One operation: what the modem is told to do wrong, what the CLI is asked, and how it must end.
struct Operation {
    std::string what;                  // one line for the run's listing
    std::string command;               // identify, update, log
    std::vector<std::string> simArgs;  // brisklode-sim knobs
    std::vector<std::string> cliArgs;  // after the command's own arguments (--legacy ...)
    bool simulator = true;             // false: nobody listens on the port (a modem switched off)
    bool firmwareMissing = false;
    bool badFolder = false;            // the log goes to a folder that does not exist
    FileFaults fileFaults;   // injected save failures (in this process only)
    bool inProcessOnly = false;
    std::size_t imageSize = 0;
    std::size_t logSize = 0;
    std::uint64_t logSeed = 1;
    bool legacyLog = false;
    bool previousLog = false;          // a log file of an earlier download is there already

    int exitCode = 0;
    std::string expectLine;            // a whole line of the output (stdout on success, stderr on failure)
    bool prefixOnly = false;           // expectLine is the start of that line
    std::string noteLine;              // a further whole line on stderr
    bool imageStored = false;          // the modem must hold the image afterwards
    bool logSaved = false;             // the log file must hold the modem's log afterwards
};

std::size_t Uniform(std::mt19937_64& rng, std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(rng);
}

std::size_t Frames(std::size_t size) { return (size + kFrame - 1) / kFrame; }
std::size_t Blocks(std::size_t size) { return (size + kBlock - 1) / kBlock; }

Operation Choose(std::mt19937_64& rng) {
    Operation op;
    const std::size_t kind = Uniform(rng, 0, 99);
    if (kind < 25) {
        op.command = "identify";
        const std::size_t knob = Uniform(rng, 0, 19);
        if (knob < 12) {
            static const char* const types[][2] = {{"U", "Torvanix / VX-4410"},
                                                   {"I", "Selvanix-compatible modem"},
                                                   {"B", "MRT-II compatibility mode"},
                                                   {"Q7", "Velmor modem (type Q7)"}};
            const auto& type = types[Uniform(rng, 0, 3)];
            const std::string firmware = std::to_string(Uniform(rng, 1, 9)) + "." + std::to_string(Uniform(rng, 0, 99));
            op.simArgs = {"--type", type[0], "--firmware", firmware};
            if (knob >= 10) op.simArgs.insert(op.simArgs.end(), {"--dribble", "1"});
            op.what = std::string("identify, type ") + type[0] + " firmware " + firmware + (knob >= 10 ? ", dribbled" : "");
            op.expectLine = std::string("Model:    ") + type[1];
        } else if (knob < 15) {
            op.simArgs = {"--close-mid-reply"};
            op.what = "identify, the modem hangs up mid-reply";
            op.exitCode = 1;
            op.expectLine = kClosed;
        } else if (knob < 19) {
            op.simulator = false;
            op.what = "identify, nobody listens";
            op.exitCode = 1;
            op.expectLine = "Cannot connect to 127.0.0.1:";
            op.prefixOnly = true;
        } else {
            op.simArgs = {"--silent"};
            op.what = "identify, the modem never answers";
            op.exitCode = 1;
            op.expectLine = "QUIT did not return the modem at 127.0.0.1:";
            op.prefixOnly = true;
        }
        return op;
    }
    if (kind < 60) {
        op.command = "update";
        op.imageSize = Uniform(rng, 1, 2 * kFrame + 300);
        const std::size_t frames = Frames(op.imageSize);
        op.cliArgs = {"--legacy", "no"};
        const std::size_t knob = Uniform(rng, 0, 29);
        op.exitCode = 1;
        if (knob < 8) {
            op.what = "update, clean";
            op.exitCode = 0;
            op.expectLine = "The modem is rebooting.";
            op.imageStored = true;
        } else if (knob < 11) {
            // The legacy transfer, small images only: one acknowledgement per 256-byte block.
            op.imageSize = Uniform(rng, 1, 12 * kBlock);
            op.simArgs = {"--no-updfast"};
            const bool allowed = knob < 10;
            op.cliArgs = {"--legacy", allowed ? "yes" : "no"};
            op.what = allowed ? "update, legacy transfer" : "update, no fast transfer and legacy refused";
            op.exitCode = allowed ? 0 : 1;
            op.expectLine = allowed ? kLegacyDone : kNoUpdfast;
            op.imageStored = allowed;
        } else if (knob == 11) {
            op.firmwareMissing = true;
            op.simulator = false;
            op.what = "update, firmware file missing";
            op.expectLine = "Cannot open firmware file";  // then the file and the system's reason
            op.prefixOnly = true;
        } else {
            struct Fault { const char* knob; std::string message; };
            // A link lost at a step of the update says which; a drop after the request is no refusal.
            const auto lost = [](const std::string& step) { return "Link lost while waiting for " + step + ": " + kClosed; };
            const std::string lastVerdict = "the modem's verdict on the whole image";
            const std::string firstVerdict =
                frames == 1 ? lastVerdict : "the verdict on frame 1 of " + std::to_string(frames);
            const Fault faults[] = {
                {"prompt:drop", lost("the answer to the fast-update request")},
                {"prompt:byte:65", "Unexpected answer to the fast-update request: no \"Send handshake sequence\" within "
                                   "5 s (received: UPDFAST<CR><LF>Aend handshake sequence)"},
                {"header:drop", lost("the update header")}, {"header:byte:32", "Unexpected modem update header"},
                {"header:esc", "Unexpected modem update header"}, {"size:drop", lost("the answer to the block count")},
                {"size:byte:21", "Modem rejected the firmware size"}, {"size:esc", "Modem rejected the firmware size"},
                {"verdict:last:drop", lost(lastVerdict)}, {"verdict:last:byte:21", "Unexpected modem response during update"},
                {"verdict:last:esc", "Checksum ERROR on Modem"}, {"verdict:1:drop", lost(firstVerdict)},
                {"verdict:1:esc", "Modem rejected a transfer frame"},
                {"verdict:1:byte:21", "Unexpected modem response during update"},
                {"reject-size", "Modem rejected the firmware size"}, {"bad-checksum", "Checksum ERROR on Modem"},
                {"header:stall", kHeaderTimeout}};
            // The stall costs the step's whole deadline (5 s): rare, so that the run stays brisk.
            std::size_t pick = Uniform(rng, 0, 16 * 8 + 1);
            pick = pick >= 16 * 8 ? 16 : pick / 8;
            Fault fault = faults[pick];
            std::string knobText = fault.knob;
            std::string message = fault.message;
            const std::size_t at = knobText.find("last");
            if (at != std::string::npos) knobText.replace(at, 4, std::to_string(frames));
            // The first frame of several is a middle frame: ESC there rejects the frame, not the checksum.
            if (knobText == "verdict:1:esc" && frames == 1) message = "Checksum ERROR on Modem";
            if (knobText == "reject-size") op.simArgs = {"--reject-size"};
            else if (knobText == "bad-checksum") op.simArgs = {"--bad-checksum"};
            else op.simArgs = {"--fault", knobText};
            op.what = "update, " + knobText;
            op.expectLine = message;
        }
        if (op.what.find("update, legacy") == std::string::npos && !op.firmwareMissing)
            op.what += ", " + std::to_string(op.imageSize) + " bytes";
        return op;
    }
    op.command = "log";
    op.legacyLog = Uniform(rng, 0, 3) == 0;
    op.logSize = op.legacyLog ? Uniform(rng, 1, 24 * kBlock) : Uniform(rng, 1, 2 * kFrame + 300);
    op.logSeed = Uniform(rng, 1, 1u << 30);
    op.previousLog = Uniform(rng, 0, 1) == 1;
    op.simArgs = {"--log-mode", op.legacyLog ? "legacy" : "fast", "--log-size", std::to_string(op.logSize),
                  "--log-seed", std::to_string(op.logSeed)};
    const std::size_t pieces = op.legacyLog ? Blocks(op.logSize) : Frames(op.logSize);
    const std::size_t saved = op.legacyLog ? Blocks(op.logSize) * kBlock : op.logSize;
    const std::string mode = op.legacyLog ? "legacy" : "fast";
    op.what = "log " + mode + " " + std::to_string(op.logSize) + " bytes" + (op.previousLog ? " over an old file" : "");
    const std::size_t knob = Uniform(rng, 0, 29);
    op.exitCode = 1;
    if (knob < 10) {
        op.exitCode = 0;
        op.logSaved = true;
        op.expectLine = "Modem log saved: @PATH@ (" + std::to_string(saved) + " bytes, " +
                        (op.legacyLog ? "legacy 256-byte protocol" : "fast protocol") + ")";
    } else if (knob < 19) {
        static const char* const faults[] = {"banner:drop", "banner:byte:65", "logsize:drop", "logsize:byte:32",
                                             "chunk:1:drop", "chunk:last:drop", "chunk:1:drop", "chunk:last:drop",
                                             "banner:stall"};
        std::string fault = faults[knob - 10];
        if (fault == "logsize:byte:32" && op.legacyLog) fault = "logsize:drop";
        if (fault == "banner:stall" && Uniform(rng, 0, 3) != 0) fault = "banner:drop";  // 5 s each: rare
        const std::size_t at = fault.find("last");
        if (at != std::string::npos) fault.replace(at, 4, std::to_string(pieces));
        op.simArgs.insert(op.simArgs.end(), {"--fault", fault});
        op.what += ", " + fault;
        if (fault == "banner:byte:65") {
            op.expectLine = std::string("The modem did not start its log-download protocol (SYS LOG GETFAST<CR><LF>") +
                            (op.legacyLog ? "Aystem log download." : "Aystem log fast download.") +
                            "<CR><LF>press <ESC> to exit.<CR><LF>)";
        } else if (fault == "banner:stall") {
            op.expectLine = "The modem did not start its log-download protocol (SYS LOG GETFAST<CR><LF>)";
        } else if (fault == "logsize:byte:32") {
            // The size's first byte becomes 0x20: far past the cap, refused before anything is allocated.
            op.expectLine = "The modem reported an implausible log size of " +
                            std::to_string((std::size_t{0x20} << 24) | op.logSize) + " bytes";
        } else {
            op.expectLine = kClosed;
        }
    } else if (knob < 21) {
        op.badFolder = true;
        op.what += ", into a folder that does not exist";
        op.expectLine = "Cannot create the selected log file";  // then the file and the system's reason
        op.prefixOnly = true;
    } else if (knob == 29) {
        // A folder that takes no new file: the existing log is overwritten in place, and cut to the new length.
        op.inProcessOnly = true;
        op.previousLog = true;
        op.fileFaults.refuseNewFileBeside = true;
        op.exitCode = 0;
        op.logSaved = true;
        op.what = "log " + mode + " " + std::to_string(op.logSize) + " bytes, in place (the folder takes no new file)";
        op.expectLine = "Modem log saved: @PATH@ (" + std::to_string(saved) + " bytes, " +
                        (op.legacyLog ? "legacy 256-byte protocol" : "fast protocol") + ")";
        op.noteLine = "WARNING: @PATH@ was written in place (its folder takes no new file, or it has other hard links)";
    } else {
        // The saving fails at one of its steps: the old file must survive and the new one's temporary file
        // must go. (The log is written as it arrives, so a write fails in the middle of the transfer.)
        op.inProcessOnly = true;
        switch (knob % 5) {
        case 0:
            op.fileFaults.failCreate = true;
            op.what += ", saving: create fails";
            op.expectLine = "Cannot create the selected log file";  // then the file and the system's reason
            op.prefixOnly = true;
            break;
        case 1:
            op.fileFaults.writeFailsAfter = Uniform(rng, 0, saved - 1);
            op.what += ", saving: a write fails after " + std::to_string(op.fileFaults.writeFailsAfter) + " bytes";
            op.expectLine = "Cannot write the selected log file";  // then the file and the system's reason
            op.prefixOnly = true;
            break;
        case 2:
            op.fileFaults.failFlush = true;
            op.what += ", saving: flush fails";
            op.expectLine = "Cannot write the selected log file";  // then the file and the system's reason
            op.prefixOnly = true;
            break;
        case 3:
            op.fileFaults.failClose = true;
            op.what += ", saving: close fails";
            op.expectLine = "Cannot close the selected log file";  // then the file and the system's reason
            op.prefixOnly = true;
            break;
        default:
            op.fileFaults.failCommit = true;
            op.what += ", saving: the final rename fails";
            op.expectLine = "Cannot create the selected log file";  // then the file and the system's reason
            op.prefixOnly = true;
            break;
        }
    }
    return op;
}

std::string ReadWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WriteWhole(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::set<std::string> OpenDescriptors() {
    std::set<std::string> open;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        open.insert(entry.path().filename().string() + " -> " + fs::read_symlink(entry.path(), ignored).string());
    }
    return open;
}

long long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long long HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
}

struct Captured {
    int code = -1;
    std::string out, err;
};

// CliMain in this process, its stdout and stderr caught in files.
Captured RunInProcess(const std::vector<std::string>& args, const std::string& folder) {
    Captured result;
    const std::string outPath = folder + "/stdout", errPath = folder + "/stderr";
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = dup(1), savedErr = dup(2);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    std::vector<std::string> argv = args;
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(&a[0]);
    pointers.push_back(nullptr);
    result.code = CliMain(static_cast<int>(argv.size()), pointers.data());
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    result.out = ReadWhole(outPath);
    result.err = ReadWhole(errPath);
    return result;
}

// The same invocation as a separate brisklode-cli process.
Captured RunProcess(const std::string& cli, const std::vector<std::string>& args, const std::string& folder) {
    Captured result;
    const std::string outPath = folder + "/stdout", errPath = folder + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> argv = args;
    argv[0] = cli;
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(&a[0]);
    pointers.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, cli.c_str(), &actions, nullptr, pointers.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = ReadWhole(outPath);
    result.err = ReadWhole(errPath);
    return result;
}

std::vector<std::string> FolderListing(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
    return text.empty() ? "(nothing)" : text;
}

// Runs one operation (in this process, or as a process when `cli` is set) and lists what went wrong.
std::vector<std::string> RunOperation(const Operation& op, const std::string& work, const std::string& cli,
                                      int& exitCode) {
    std::vector<std::string> problems;
    const std::string logs = work + "/logs";  // the user's log folder: it must hold only the log afterwards
    const std::string logPath = op.badFolder ? work + "/no-such-folder/modem.log" : logs + "/modem.log";
    const std::string firmwarePath = work + "/firmware.bin";
    const std::string previous = "log of an earlier download\r\n";
    std::error_code ignored;
    fs::remove_all(logs, ignored);
    fs::create_directories(logs);
    if (op.previousLog) WriteWhole(logs + "/modem.log", previous);

    std::string firmware;
    if (op.command == "update") {
        std::mt19937_64 bytes(op.imageSize);
        firmware.resize(op.imageSize);
        for (char& c : firmware) c = static_cast<char>(bytes() & 0xFF);
        if (!op.firmwareMissing) WriteWhole(firmwarePath, firmware);
        else fs::remove(firmwarePath, ignored);
    }

    SimulatorProcess sim;
    std::vector<std::string> simArgs = op.simArgs;
    simArgs.insert(simArgs.end(), {"--image-file", sim.NativePath("image.bin")});
    std::string error;
    if (!sim.Start(simArgs, error)) {
        problems.push_back("the simulator did not start: " + error);
        return problems;
    }
    const unsigned short port = sim.TelnetPort();
    if (!op.simulator) sim.Stop();  // its port is now one nobody listens on

    std::vector<std::string> args = {"brisklode-cli", "--telnet", "127.0.0.1:" + std::to_string(port), op.command};
    if (op.command == "update") args.push_back(firmwarePath);
    if (op.command == "log") args.push_back(logPath);
    args.insert(args.end(), op.cliArgs.begin(), op.cliArgs.end());

    Captured run;
    if (cli.empty()) {
        SetFileFaults(op.fileFaults);
        run = RunInProcess(args, work);
        SetFileFaults(FileFaults());
    } else {
        run = RunProcess(cli, args, work);
    }
    exitCode = run.code;

    if (run.code != op.exitCode)
        problems.push_back("exit status " + std::to_string(run.code) + ", expected " + std::to_string(op.exitCode));
    std::string expected = op.expectLine;
    const std::size_t at = expected.find("@PATH@");
    if (at != std::string::npos) expected.replace(at, 6, logPath);
    bool found = false;
    for (const std::string& line : Lines(op.exitCode == 0 ? run.out : run.err))
        if (op.prefixOnly ? line.rfind(expected, 0) == 0 : line == expected) found = true;
    if (!found) {
        problems.push_back("no line " + std::string(op.prefixOnly ? "beginning with" : "reading") + " \"" + expected +
                           "\"; stdout: \"" + run.out + "\" stderr: \"" + run.err + "\"");
    }
    if (!op.noteLine.empty()) {
        std::string note = op.noteLine;
        note.replace(note.find("@PATH@"), 6, logPath);
        const std::vector<std::string> errLines = Lines(run.err);
        if (std::find(errLines.begin(), errLines.end(), note) == errLines.end())
            problems.push_back("no line \"" + note + "\" on stderr: \"" + run.err + "\"");
    }
    if (op.exitCode != 0 && !run.out.empty())
        problems.push_back("a failure printed on stdout: \"" + run.out + "\"");

    // What the modem holds.
    if (op.command == "update" && op.simulator) {
        const std::string image = sim.LocalPath("image.bin");
        if (op.imageStored) {
            if (!sim.WaitForLog("image written to ", 5000)) problems.push_back("the modem stored no image");
            const std::string stored = ReadWhole(image);
            const std::size_t padded = Blocks(op.imageSize) * kBlock;  // the transfers send whole blocks
            if (stored.size() < firmware.size() || stored.compare(0, firmware.size(), firmware) != 0 ||
                stored.size() != padded)
                problems.push_back("the stored image (" + std::to_string(stored.size()) +
                                   " bytes) is not the firmware (" + std::to_string(firmware.size()) + " bytes)");
        } else if (fs::exists(image)) {
            problems.push_back("a failed update left an image on the modem");
        }
    }

    // What the log folder holds: the log (new on success, the old one untouched on failure) and nothing else.
    const std::vector<std::string> listing = FolderListing(logs);
    const bool expectFile = op.logSaved || op.previousLog;
    const std::vector<std::string> wanted = expectFile ? std::vector<std::string>{"modem.log"} : std::vector<std::string>{};
    if (listing != wanted) problems.push_back("the log folder holds " + Joined(listing) + ", expected " + Joined(wanted));
    if (op.command == "log" && fs::exists(logs + "/modem.log")) {
        const std::string content = ReadWhole(logs + "/modem.log");
        if (op.logSaved) {
            std::string log(op.legacyLog ? Blocks(op.logSize) * kBlock : op.logSize, '\0');
            FillGeneratedLog(op.logSeed, 0, reinterpret_cast<unsigned char*>(&log[0]), op.logSize);
            if (content != log) problems.push_back("the saved log differs from the modem's");
        } else if (content != previous) {
            problems.push_back("a failed download changed the existing log file");
        }
    }
    return problems;
}

bool ParseCount(const char* text, unsigned long long& value) {
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return end && *end == '\0' && end != text;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long ops = 500, seed = 1, sampleEvery = 25, processEvery = 10;
    std::string cli, samplesPath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        bool ok = more;
        if (a == "--ops" && more) ok = ParseCount(argv[++i], ops);
        else if (a == "--seed" && more) ok = ParseCount(argv[++i], seed);
        else if (a == "--sample-every" && more) ok = ParseCount(argv[++i], sampleEvery) && sampleEvery > 0;
        else if (a == "--process-every" && more) ok = ParseCount(argv[++i], processEvery);
        else if (a == "--cli" && more) cli = argv[++i];
        else if (a == "--samples" && more) samplesPath = argv[++i];
        else ok = false;
        if (!ok) {
            std::fprintf(stderr, "usage: brisklode-soak-cli --ops N --seed S [--cli PATH] [--samples FILE] "
                                 "[--sample-every N] [--process-every N]\n");
            return 2;
        }
    }
    // Freed blocks that glibc parks in its per-thread cache still count as in use, and the cache fills up
    // over many operations of random sizes; without it the heap figure is what the program really holds.
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (!tunables || std::strstr(tunables, "glibc.malloc.tcache_count=0") == nullptr) {
        setenv("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0", 1);
        execv("/proc/self/exe", argv);
        std::perror("brisklode-soak-cli: re-executing without the malloc cache failed");
        return 2;
    }
    if (SimulatorPath().empty()) {
        std::fprintf(stderr, "brisklode-soak-cli: no simulator (set BRISKLODE_SIM)\n");
        return 2;
    }
    char pattern[] = "/tmp/bl-soak-cli-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string work = pattern;
    std::ofstream samples;
    if (!samplesPath.empty()) samples.open(samplesPath, std::ios::trunc);
    auto sample = [&](const std::string& label) {
        const std::size_t fds = OpenDescriptors().size();
        const long long rss = ResidentKiB(), heap = HeapInUse();
        std::printf("  sample after %s operations: fds=%zu rss_kib=%lld heap=%lld\n", label.c_str(), fds, rss, heap);
        if (samples) samples << label << " fds=" << fds << " rss_kib=" << rss << " heap=" << heap << "\n" << std::flush;
    };

    std::printf("brisklode-soak-cli: %llu operations, seed %llu (repeat with --seed %llu)\n", ops, seed, seed);
    std::mt19937_64 rng(seed);
    // What the CLI sets up once per process (the pipe its signal handlers wake the main thread with) is made
    // by one harmless invocation before the baseline; everything opened later must be closed again.
    const Captured setup = RunInProcess({"brisklode-cli", "ports"}, work);
    if (setup.code != 0) {
        std::fprintf(stderr, "brisklode-soak-cli: 'brisklode-cli ports' failed: %s\n", setup.err.c_str());
        return 1;
    }
    std::set<std::string> before = OpenDescriptors();
    sample("0");
    unsigned long long failures = 0, asProcess = 0;
    const auto started = Clock::now();
    for (unsigned long long n = 1; n <= ops; ++n) {
        const Operation op = Choose(rng);
        const auto opStart = Clock::now();
        int code = -1;
        std::vector<std::string> problems = RunOperation(op, work, std::string(), code);
        const double seconds = std::chrono::duration<double>(Clock::now() - opStart).count();
        // Whatever the operation opened must be closed again, whichever way it ended.
        const std::set<std::string> after = OpenDescriptors();
        for (const std::string& fd : after)
            if (!before.count(fd)) problems.push_back("descriptor left open: " + fd);
        before = after;  // each leak is reported once, by the operation that left it
        std::string process;
        if (!cli.empty() && processEvery > 0 && n % processEvery == 0 && !op.inProcessOnly) {
            int processCode = -1;
            for (const std::string& p : RunOperation(op, work, cli, processCode)) problems.push_back("as a process: " + p);
            process = ", as a process: exit " + std::to_string(processCode);
            ++asProcess;
        }
        std::printf("%4llu %-70s exit %d%s  %.2f s  %s\n", n, op.what.c_str(), code, process.c_str(), seconds,
                    problems.empty() ? "ok" : "FAILED");
        for (const std::string& p : problems) std::printf("       %s\n", p.c_str());
        if (!problems.empty()) ++failures;
        if (n % sampleEvery == 0 || n == ops) sample(std::to_string(n));
    }
    std::error_code ignored;
    fs::remove_all(work, ignored);
    std::printf("brisklode-soak-cli: %llu operations (%llu also as a process) in %.0f s, %llu failed\n", ops, asProcess,
                std::chrono::duration<double>(Clock::now() - started).count(), failures);
    return failures == 0 ? 0 : 1;
}
