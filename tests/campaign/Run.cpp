// One scenario: modems, relays, files and the name server set up; the program run under its fault, then resumed.
#include "campaign/Run.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "update/Sha256.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kNameServer = "198.18.255.1";  // the test range address of in_private_network

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out.flush());
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A file bound over a system file in our own mount namespace.
bool BindOver(const std::string& source, const char* target, std::string& error) {
    umount2(target, MNT_DETACH);  // an earlier binding of ours, if any
    if (mount(source.c_str(), target, nullptr, MS_BIND, nullptr) == 0) return true;
    error = std::string("cannot bind ") + source + " over " + target + ": " + std::strerror(errno);
    return false;
}

}  // namespace

ScenarioRun::~ScenarioRun() {
    for (ModemState& m : modems_) {
        if (m.relay) m.relay->Stop();
        if (m.sim) m.sim->Stop();
    }
    if (impostor_) impostor_->Stop();
    if (hostsBound_) {
        umount2("/etc/hosts", MNT_DETACH);
        umount2("/etc/resolv.conf", MNT_DETACH);
    }
    if (nameServer_ >= 0) close(nameServer_);
    if (tmpfs_) umount2(recordDir_.c_str(), MNT_DETACH);
    std::error_code ignored;
    if (!work_.empty() && !o_.keep) fs::remove_all(work_, ignored);
}

bool ScenarioRun::StartModem(size_t index, bool lifted, std::string& error) {
    const Modem& m = s_.modems[index];
    ModemState& state = modems_[index];
    if (state.sim) {
        state.sim->Stop();
        state.earlierLog += state.sim->ReadLog();
    }
    std::vector<std::string> args = {"--type", std::string(1, m.type), "--firmware", CurrentVersion(index),
                                     "--firmware-after", lifted ? "7.3" : m.versionAfter,
                                     "--reboot-ms", std::to_string(lifted ? 300 : m.rebootMs),
                                     "--image-file", state.storedPath,
                                     "--serial-number", std::to_string(m.serialNumber),
                                     "--log-size", std::to_string(LogSize()), "--log-seed", std::to_string(index + 1)};
    if (!lifted) args.insert(args.end(), m.wireFault.begin(), m.wireFault.end());
    if (m.serialLine) args.insert(args.end(), {"--serial", "--link", state.linkPath});
    state.sim = std::make_unique<SimulatorProcess>();
    if (!state.sim->Start(args, error)) return false;
    if (m.serialLine) {
        chmod(state.sim->SerialDevice().c_str(), 0666);  // the thread-limit runs are not root's
        return true;
    }
    if (state.relay) {
        state.relay->SetModemPort(state.sim->TelnetPort());
        return true;
    }
    state.relay = std::make_unique<Relay>();
    return state.relay->Start(state.sim->TelnetPort(), error);
}

bool ScenarioRun::SetUp(std::string& error) {
    char pattern[] = "/tmp/bl-campaign-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    work_ = pattern;
    recordDir_ = work_ + "/rec";
    record_ = recordDir_ + "/rollout.jsonl";
    logDir_ = work_ + "/logs";
    for (const char* dir : {"", "/rec", "/logs", "/modems", "/dev", "/etc", "/out"}) {
        const std::string path = work_ + dir;
        mkdir(path.c_str(), 0777);
        chmod(path.c_str(), 0777);  // also for the unprivileged user of the thread-limit runs
    }
    if (s_.fault == Fault::DiskFull) {
        // A small file system of its own, filled but for the few pages the record may take.
        if (mount("campaign", recordDir_.c_str(), "tmpfs", 0, "size=256k,mode=0777") != 0) {
            error = std::string("cannot mount a tmpfs for the record: ") + std::strerror(errno);
            return false;
        }
        tmpfs_ = true;
        WriteFile(recordDir_ + "/filler", std::string(256 * 1024 - static_cast<size_t>(s_.spaceLeft), '\0'));
    }
    if (s_.fault == Fault::Dns) {
        nameServer_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        inet_pton(AF_INET, kNameServer, &address.sin_addr);
        if (nameServer_ < 0 || bind(nameServer_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            error = std::string("the silent name server cannot listen on ") + kNameServer + ":53: " + std::strerror(errno);
            return false;
        }
        WriteFile(work_ + "/etc/resolv.conf", std::string("nameserver ") + kNameServer + "\noptions timeout:30 attempts:5\n");
        WriteFile(work_ + "/etc/hosts", "127.0.0.1 localhost\n");
        if (!BindOver(work_ + "/etc/resolv.conf", "/etc/resolv.conf", error) ||
            !BindOver(work_ + "/etc/hosts", "/etc/hosts", error))
            return false;
        hostsBound_ = true;
    }
    // The images: random bytes drawn from the seed, one for all or one per type.
    std::mt19937 bytes(static_cast<unsigned>(s_.seed));
    const auto makeImage = [&](char type, const std::string& name) {
        std::string data(s_.imageSize, '\0');
        for (char& c : data) c = static_cast<char>(bytes());
        const std::string path = work_ + "/" + name;
        WriteFile(path, data);
        images_[type] = {path, FirmwareSha256Hex(reinterpret_cast<const unsigned char*>(data.data()), data.size())};
    };
    if (s_.command == "update") {
        if (s_.byType) {
            for (char t : s_.imageTypes) makeImage(t, std::string("fw-") + t + ".qz7");
        } else {
            makeImage(0, "fw.qz7");
        }
    }
    modems_.resize(s_.modems.size());
    for (size_t i = 0; i < s_.modems.size(); ++i) {
        modems_[i].storedPath = work_ + "/modems/stored" + std::to_string(i + 1) + ".bin";
        modems_[i].linkPath = work_ + "/dev/tty" + std::to_string(i + 1);
        if (!StartModem(i, false, error)) return false;
        const Modem& m = s_.modems[i];
        const std::string host = s_.fault == Fault::Dns ? "modem" + std::to_string(i + 1) + ".site.invalid" : "127.0.0.1";
        modems_[i].label = m.serialLine ? "serial " + modems_[i].linkPath
                                        : "telnet " + host + ":" + std::to_string(modems_[i].relay->Port());
        Relay::Faults faults;
        if (s_.fault == Fault::IdleCut) faults.idleCutMs = s_.idleCutMs;
        if (s_.fault == Fault::SlowLink) faults.bytesPerSecond = s_.bytesPerSecond;
        if (m.faulted) faults.holdWhenRefused = s_.fault == Fault::Hold;
        if (m.faulted && s_.fault == Fault::Swap) {
            impostor_ = std::make_unique<SimulatorProcess>();
            if (!impostor_->Start({"--type", std::string(1, m.type), "--firmware", "7.3", "--serial-number",
                                   std::to_string(m.serialNumber + 0x100000)}, error))
                return false;
            faults.impostorPort = impostor_->TelnetPort();
        }
        // A log whose name is taken while it downloads: slow enough that the names are taken before it ends.
        if (m.clash && !m.serialLine && faults.bytesPerSecond == 0) faults.bytesPerSecond = static_cast<int>(LogSize() / 2);
        if (modems_[i].relay) modems_[i].relay->SetFaults(faults);
    }
    return true;
}

// Takes the names a clashing modem's log would get (its own, and with the run's time and a number), while
// the run is under way: the log then has to take the next free one when it is complete.
void ScenarioRun::TakeLogNames(std::time_t started) {
    for (size_t i = 0; i < s_.modems.size(); ++i) {
        if (!s_.modems[i].clash || s_.modems[i].serialLine) continue;
        const std::string base = logDir_ + "/127.0.0.1_" + std::to_string(modems_[i].relay->Port());
        std::vector<std::string> names = {base + ".log"};
        for (std::time_t t = started - 1; t <= started + 2; ++t) {
            char stamp[32];
            std::tm utc{};
            gmtime_r(&t, &utc);
            std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
            names.push_back(base + "-" + stamp + ".log");
            names.push_back(base + "-" + stamp + "-2.log");
        }
        for (const std::string& name : names) {
            if (access(name.c_str(), F_OK) == 0) continue;
            WriteFile(name, "taken\n");
            taken_.insert(name);
        }
    }
}

void ScenarioRun::LiftFaults() {
    for (ModemState& m : modems_) {
        if (m.relay) m.relay->SetFaults(Relay::Faults());
    }
    if (impostor_) impostor_->Stop();
    if (tmpfs_) unlink((recordDir_ + "/filler").c_str());
    std::string error;
    if (hostsBound_) {
        std::string hosts = "127.0.0.1 localhost\n";
        for (size_t i = 0; i < modems_.size(); ++i) hosts += "127.0.0.1 modem" + std::to_string(i + 1) + ".site.invalid\n";
        WriteFile(work_ + "/etc/hosts-lifted", hosts);
        if (!BindOver(work_ + "/etc/hosts-lifted", "/etc/hosts", error)) Broken("setup: " + error);
    }
    for (size_t i = 0; i < s_.modems.size(); ++i) {
        const Modem& m = s_.modems[i];
        if (m.wireFault.empty() && m.versionAfter == "7.3" && m.rebootMs <= 1000) continue;
        if (!StartModem(i, true, error)) Broken("setup: restarting modem " + std::to_string(i + 1) + ": " + error);
    }
}

std::vector<std::string> ScenarioRun::CommonArgs() const {
    std::vector<std::string> args = {"--json", "--record", record_, "--parallel", std::to_string(s_.parallel)};
    if (s_.command == "update") {
        args.push_back("--yes");
        if (s_.canary) args.insert(args.end(), {"--canary", std::to_string(s_.canary)});
        if (s_.maxFailures) args.insert(args.end(), {"--max-failures", std::to_string(s_.maxFailures)});
        if (s_.confirm) args.push_back("--confirm=" + std::to_string(s_.confirm));
        if (s_.expect) args.insert(args.end(), {"--expect-firmware", "7.3"});
        if (s_.strict) args.push_back("--strict");
        if (s_.byType) {
            for (char t : s_.imageTypes) args.insert(args.end(), {"--firmware", std::string(1, t) + "=" + images_.at(t).first});
        } else {
            args.push_back(images_.at(0).first);
        }
    }
    if (s_.command == "log") args.push_back(logDir_);
    if (s_.retries) args.insert(args.end(), {"--retries", std::to_string(s_.retries)});
    if (s_.baud) args.insert(args.end(), {"--baud", std::to_string(s_.baud)});
    return args;
}

std::vector<std::string> ScenarioRun::FirstArgs() const {
    std::vector<std::string> args = {o_.cli, s_.command};
    std::string list;
    for (size_t i = 0; i < s_.modems.size(); ++i) {
        const Modem& m = s_.modems[i];
        const std::string& label = modems_[i].label;
        if (m.serialLine && m.serialInList) list += label + " " + std::to_string(m.rate) + "\n";
        else if (m.serialLine) args.insert(args.end(), {"--serial", modems_[i].linkPath});
        else if (s_.listFile) list += label + "\n";
        else args.insert(args.end(), {"--telnet", label.substr(7)});
    }
    if (!list.empty()) {
        WriteFile(work_ + "/targets.txt", "# the campaign's modems\n" + list);
        args.insert(args.end(), {"--targets", work_ + "/targets.txt"});
    }
    const std::vector<std::string> common = CommonArgs();
    args.insert(args.end(), common.begin(), common.end());
    return args;
}

std::vector<std::string> ScenarioRun::ResumeArgs() const {
    std::vector<std::string> args = {o_.cli, s_.command, "--resume", record_};
    const std::vector<std::string> common = CommonArgs();
    args.insert(args.end(), common.begin(), common.end());
    return args;
}

CliRun ScenarioRun::RunCli(const std::vector<std::string>& args, bool faulted) {
    CliRun run;
    run.args = args;
    run.recordBefore = ReadFile(record_);
    static int number = 0;
    const std::string errPath = work_ + "/out/err" + std::to_string(++number);
    const Fault fault = faulted ? s_.fault : Fault::None;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        Broken(std::string("setup: pipe: ") + std::strerror(errno));
        return run;
    }
    fcntl(out[0], F_SETPIPE_SZ, 4096);  // a reader that stalls is felt at once
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const Clock::time_point start = Clock::now();
    run.start = start;
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(in, 0);
        dup2(out[1], 1);
        dup2(err, 2);
        signal(SIGPIPE, SIG_DFL);
        if (fault == Fault::ThreadLimit) {
            const rlimit limit{static_cast<rlim_t>(s_.threadLimit), static_cast<rlim_t>(s_.threadLimit)};
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0 ||
                (s_.faultAtMs == 0 && setrlimit(RLIMIT_NPROC, &limit) != 0))
                _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    bool reading = true;
    std::string partial;
    // The moments of the fault: what happens at which ms of the run.
    std::vector<std::pair<double, int>> signals;
    double faultAt = s_.faultAtMs;
    if (fault == Fault::Signal || fault == Fault::Dns || fault == Fault::StdoutStall) {
        const double first = fault == Fault::StdoutStall ? faultAt + 1000 : faultAt;
        signals.push_back({first, s_.signal});
        if (s_.twice) signals.push_back({first + s_.gapMs, s_.signal});
    }
    const std::time_t startedAt = std::time(nullptr);
    bool namesTaken = !(faulted && s_.command == "log");
    bool faultDone = !(fault == Fault::Kill || fault == Fault::StdoutStall || fault == Fault::StdoutClose ||
                       fault == Fault::ThreadLimit);
    int status = 0;
    for (;;) {
        const double now = MsSince(start);
        if (!faultDone && now >= faultAt) {
            faultDone = true;
            if (fault == Fault::Kill) {
                kill(pid, SIGKILL);
                run.killed = true;
            } else if (fault == Fault::StdoutStall) {
                reading = false;
                run.stdoutWhole = false;
            } else if (fault == Fault::StdoutClose) {
                run.stdoutClosedMs = now;
                reading = false;
                run.stdoutWhole = false;
                close(out[0]);
                out[0] = -1;
            } else if (fault == Fault::ThreadLimit) {
                const rlimit limit{static_cast<rlim_t>(s_.threadLimit), static_cast<rlim_t>(s_.threadLimit)};
                prlimit(pid, RLIMIT_NPROC, &limit, nullptr);
            }
        }
        if (!namesTaken && now >= 300) {
            namesTaken = true;
            TakeLogNames(startedAt);
        }
        while (!signals.empty() && now >= signals.front().first) {
            kill(pid, signals.front().second);
            run.lastSignalMs = now;
            signals.erase(signals.begin());
        }
        // The bound: 3 s after a last signal would already break the promise; 150 s for any run.
        if ((run.lastSignalMs >= 0 && signals.empty() && now > run.lastSignalMs + 8000) || now > 150000) {
            kill(pid, SIGKILL);
            run.boundHit = true;
        }
        pollfd p{reading ? out[0] : -1, POLLIN, 0};
        poll(&p, 1, 10);
        if (reading) {
            char buffer[8192];
            ssize_t n;
            while ((n = read(out[0], buffer, sizeof buffer)) > 0) {
                partial.append(buffer, static_cast<size_t>(n));
                size_t newline;
                while ((newline = partial.find('\n')) != std::string::npos) {
                    run.lines.push_back({MsSince(start), partial.substr(0, newline)});
                    partial.erase(0, newline + 1);
                }
            }
            if (n == 0) reading = false;
        }
        if (waitpid(pid, &status, WNOHANG) == pid) break;
    }
    run.endMs = MsSince(start);
    if (reading) {  // what is still in the pipe
        fcntl(out[0], F_SETFL, 0);
        char buffer[8192];
        ssize_t n;
        while ((n = read(out[0], buffer, sizeof buffer)) > 0) partial.append(buffer, static_cast<size_t>(n));
        size_t newline;
        while ((newline = partial.find('\n')) != std::string::npos) {
            run.lines.push_back({run.endMs, partial.substr(0, newline)});
            partial.erase(0, newline + 1);
        }
    }
    if (!partial.empty()) run.lines.push_back({run.endMs, partial});
    // The simulators write their logs up to about 50 ms late: what this run did is all there after this.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (out[0] >= 0) close(out[0]);
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    else run.endSignal = WTERMSIG(status);
    run.err = ReadFile(errPath);
    return run;
}

std::map<std::string, std::pair<long long, long long>> ScenarioRun::Snapshot() const {
    std::map<std::string, std::pair<long long, long long>> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(work_, error); it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string path = it->path().string();
        const std::string inside = path.substr(work_.size());
        if (inside.rfind("/modems", 0) == 0 || inside.rfind("/dev", 0) == 0 || inside.rfind("/etc", 0) == 0 ||
            inside.rfind("/out", 0) == 0 || it->is_directory(error))
            continue;
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0)
            files[path] = {static_cast<long long>(info.st_size), static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
    }
    return files;
}

std::vector<std::string> ScenarioRun::Execute() {
    std::string error;
    if (!SetUp(error)) return {"setup: " + error};
    const std::vector<std::string> args = FirstArgs();  // writes the target list
    files_ = Snapshot();
    std::vector<ModemCounts> before = Counts();
    const CliRun first = RunCli(args, true);
    CheckRun(first, true, before);
    if (o_.verbose) std::printf("  first run: exit %d signal %d, %.0f ms\n", first.exitCode, first.endSignal, first.endMs);
    LiftFaults();
    // A run that ended before its record existed has nothing to resume; it must then have sent nothing.
    bool sent = false;
    for (size_t i = 0; i < modems_.size(); ++i) sent = sent || Counts()[i].updates > before[i].updates;
    if (ReadFile(record_).empty()) {
        if (sent) Broken("record: images were sent but the record holds nothing (a resume cannot know them)");
        return broken_;
    }
    CliRun last;
    for (int resume = 0; resume < 4; ++resume) {
        files_ = Snapshot();
        before = Counts();
        for (ModemState& m : modems_) {
            if (m.relay) m.relay->Forget();
        }
        last = RunCli(ResumeArgs(), false);
        CheckRun(last, false, before);
        if (o_.verbose) std::printf("  resume %d: exit %d, %.0f ms\n", resume + 1, last.exitCode, last.endMs);
        if (last.exitCode == 0 || last.exitCode == 2) break;
    }
    CheckFinal(last);
    return broken_;
}
