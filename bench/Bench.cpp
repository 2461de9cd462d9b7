// brisklode-bench: throughput and memory of updates and log downloads against the simulator, beside raw floors.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/DelayProxy.h"
#include "bench/StationBench.h"
#include "console/Console.h"
#include "modemlog/ModemLog.h"
#include "support/Simulator.h"
#include "transport/Transport.h"
#include "update/Update.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double Mb(double bytes) { return bytes / 1e6; }

void Row(const char* what, double seconds, double bytes, double floorSeconds, double peakMiB) {
    std::printf("  %-34s %8.3f s %9.1f MB/s", what, seconds, Mb(bytes) / seconds);
    if (floorSeconds > 0) std::printf("   x%.2f of floor", seconds / floorSeconds);
    if (peakMiB > 0) std::printf("   peak %.1f MiB", peakMiB);
    std::printf("\n");
    std::fflush(stdout);
}

bool WriteAll(int fd, const unsigned char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, unsigned char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = recv(fd, data, length, 0);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void Tune(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int size = 262144;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

// A connected loopback pair; the peer runs `serve` in a process of its own, as the simulator does, so the
// floor pays the same cross-process wake-ups as the real exchange.
template <typename Serve>
double LoopbackRun(Serve serve, const std::function<void(int)>& client) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 1);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const pid_t peer = fork();
    if (peer == 0) {
        const int fd = accept(listener, nullptr, nullptr);
        Tune(fd);
        serve(fd);
        close(fd);
        _exit(0);
    }
    close(listener);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    Tune(fd);
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const auto start = Clock::now();
    client(fd);
    const double seconds = Seconds(start);
    close(fd);
    int status = 0;
    waitpid(peer, &status, 0);
    return seconds;
}

// The floor of a stop-and-wait transfer: the same frames and one-byte answers, no Telnet, no protocol.
double StopAndWaitFloor(size_t total, size_t frame) {
    return LoopbackRun(
        [&](int fd) {
            std::vector<unsigned char> buffer(frame);
            const unsigned char ack = 0x06;
            for (size_t done = 0; done < total; done += frame) {
                const size_t n = std::min(frame, total - done);
                if (!ReadAll(fd, buffer.data(), n) || !WriteAll(fd, &ack, 1)) return;
            }
        },
        [&](int fd) {
            std::vector<unsigned char> data(frame, 0x5A);
            unsigned char verdict = 0;
            for (size_t done = 0; done < total; done += frame) {
                const size_t n = std::min(frame, total - done);
                if (!WriteAll(fd, data.data(), n) || !ReadAll(fd, &verdict, 1)) return;
            }
        });
}

// The sending side of the copy floors: `total` filler bytes in 1 MiB writes.
void SendFiller(int fd, size_t total) {
    std::vector<unsigned char> data(1 << 20, 0xA5);
    for (size_t done = 0; done < total;) {
        const size_t n = std::min(data.size(), total - done);
        if (!WriteAll(fd, data.data(), n)) return;
        done += n;
    }
}

// The floor of a log download: the same bytes copied over plain TCP as fast as it goes.
double RawCopyFloor(size_t total) {
    return LoopbackRun(
        [&](int fd) { SendFiller(fd, total); },
        [&](int fd) {
            std::vector<unsigned char> log(total);
            size_t done = 0;
            while (done < total) {
                const ssize_t n = recv(fd, log.data() + done, std::min<size_t>(total - done, 1 << 20), 0);
                if (n <= 0) return;
                done += static_cast<size_t>(n);
            }
        });
}

// The floor of a whole log command: the same bytes over plain TCP written to a file and flushed to disk.
double RawCopyToFileFloor(size_t total, const std::string& path) {
    return LoopbackRun(
        [&](int fd) { SendFiller(fd, total); },
        [&](int fd) {
            const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (out < 0) return;
            std::vector<unsigned char> buffer(1 << 20);
            size_t done = 0;
            while (done < total) {
                const ssize_t n = recv(fd, buffer.data(), std::min<size_t>(total - done, buffer.size()), 0);
                if (n <= 0) break;
                if (write(out, buffer.data(), static_cast<size_t>(n)) != n) break;
                done += static_cast<size_t>(n);
            }
            fsync(out);
            close(out);
            unlink(path.c_str());
        });
}

struct ChildRun {
    bool ok = false;
    double seconds = 0;
    double peakMiB = 0;
};

// Starts a program with its output on a pipe, read through `output`; its input and errors go to /dev/null.
// Returns its process id, or -1.
pid_t StartWithOutputPipe(const std::vector<std::string>& args, std::FILE*& output) {
    int out[2];
    if (pipe(out) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return -1;
    }
    output = fdopen(out[0], "r");
    return pid;
}

// Runs a program to its end; peak memory is the child's own maximum resident size.
ChildRun RunChild(const std::vector<std::string>& args, const std::string& workDir = "") {
    ChildRun run;
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = Seconds(start);
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return run;
}

std::vector<unsigned char> RandomBytes(size_t size, unsigned seed) {
    std::vector<unsigned char> data(size);
    std::mt19937_64 generator(seed);
    for (size_t i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t v = generator();
        std::memcpy(&data[i], &v, 8);
    }
    return data;
}

std::string g_binDir;

std::string Cli() { return g_binDir + "/cli/brisklode-cli"; }

bool StartSim(SimulatorProcess& sim, std::vector<std::string> args) {
    std::string error;
    if (!sim.Start(args, error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return false;
    }
    return true;
}

// The load average over 1 and 5 minutes, "0.52 / 1.20": other work on the machine moves every figure.
std::string LoadText() {
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return one + " / " + five;
}

double Median(std::vector<double> values) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// One in-process transfer over a fresh link; -1 on failure.
double TimeUpdate(unsigned short port, const std::vector<unsigned char>& firmware, bool legacy) {
    auto link = CreateTelnetTransport("127.0.0.1", port);
    std::string error;
    std::atomic<bool> cancel{false};
    if (!link->Open(error)) {
        std::fprintf(stderr, "open: %s\n", error.c_str());
        return -1;
    }
    // The menu and the handshake are not the transfer: the clock starts when the size was accepted.
    Clock::time_point start = Clock::now();
    bool started = false;
    const ProgressCallback progress = [&start, &started](int percent, const std::string& stage, const std::string&) {
        // The frame-size report: later per-frame reports can carry 1 % as well.
        if (!started && percent == 1 && stage == "Transferring firmware") {
            start = Clock::now();
            started = true;
        }
    };
    const bool ok = legacy ? RunLegacyUpdate(*link, firmware, cancel, progress, error)
                           : RunFastUpdate(*link, firmware, cancel, progress, error) == 0;
    const double seconds = Seconds(start);
    link->Close();
    if (!ok) {
        std::fprintf(stderr, "update: %s\n", error.c_str());
        return -1;
    }
    return seconds;
}

// A whole brisklode-cli run with --json, timed from its "Frame size" progress line to its "Legacy transfer
// complete" line, which it writes as soon as the last block is acknowledged: the legacy transfer as the command
// line does it, events and outputs included, without the modem's 5 s of not answering UPDFAST before it, and
// without the simulator's hashing of the image after its last verdict, which competes with the tool's closing
// work for the CPU. The run must still end in success. -1 on failure.
double TimeCliTransfer(const std::vector<std::string>& args) {
    std::FILE* lines = nullptr;
    const pid_t pid = StartWithOutputPipe(args, lines);
    if (pid < 0) return -1;
    Clock::time_point start{}, end{};
    bool started = false, ended = false;
    char* line = nullptr;
    size_t capacity = 0;
    while (getline(&line, &capacity, lines) > 0) {
        if (!started && std::strstr(line, "Frame size: ") != nullptr) {
            start = Clock::now();
            started = true;
        }
        if (started && !ended && std::strstr(line, "\"stage\":\"Legacy transfer complete\"") != nullptr) {
            end = Clock::now();
            ended = true;
        }
    }
    std::free(line);
    std::fclose(lines);
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(end - start).count();
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// Waits until the simulator has stored `count` images in all. It hashes and stores each image after its last
// verdict, as a modem writes its flash; the next run starts on a modem that is idle again, so that none is
// charged with that work.
void WaitUntilStored(const SimulatorProcess& sim, size_t count) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        const std::string log = sim.ReadLog();
        size_t stored = 0;
        for (size_t at = log.find("image stored: "); at != std::string::npos; at = log.find("image stored: ", at + 1)) ++stored;
        if (stored >= count) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::fprintf(stderr, "the simulator did not store image %zu in time\n", count);
}

int BenchUpdate(size_t size, int repeat) {
    const int legacyRepeat = std::max(1, repeat / 2);
    std::printf("Firmware update, %zu-byte image over loopback Telnet to the simulator (median of %d; legacy of %d; "
                "load average 1 / 5 min at start: %s)\n",
                size, repeat, legacyRepeat, LoadText().c_str());
    const std::vector<unsigned char> firmware = RandomBytes(size, 7);
    SimulatorProcess sim, oldFirmware;
    if (!StartSim(sim, {}) || !StartSim(oldFirmware, {"--no-updfast"})) return 1;
    const size_t image = (size + 255) / 256 * 256;
    const std::string file = sim.Folder() + "/bench-firmware.qz7";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(firmware.data()),
                                                static_cast<std::streamsize>(firmware.size()));
    const auto cli = [&](const SimulatorProcess& modem, std::vector<std::string> more) {
        std::vector<std::string> args = {Cli(), "--telnet", "127.0.0.1:" + std::to_string(modem.TelnetPort()), "update", file};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };

    // Each kind of run takes its turn within a round, so that a busy moment of the machine falls on all of them.
    std::vector<double> floorFast, fast, wholeCli, zmodem, floorLegacy, legacy, legacyCli;
    double peakMiB = 0;
    const std::string zdir = sim.Folder() + "/zmodem";
    size_t stored = 0, oldStored = 0;
    for (int i = 0; i < repeat; ++i) {
        floorFast.push_back(StopAndWaitFloor(image, 65536));
        fast.push_back(TimeUpdate(sim.TelnetPort(), firmware, false));
        WaitUntilStored(sim, ++stored);
        // The whole command-line run: start, load, connect, transfer, verify, exit.
        const ChildRun run = RunChild(cli(sim, {}));
        wholeCli.push_back(run.ok ? run.seconds : -1);
        peakMiB = std::max(peakMiB, run.peakMiB);
        WaitUntilStored(sim, ++stored);
        // ZMODEM through a pipe pair, the same bytes, as a yardstick for the whole run.
        const ChildRun z = RunChild({"bash", "-c", "mkdir -p '" + zdir + "' && cd '" + zdir +
                                                      "' && rm -f bench-firmware.qz7 && socat EXEC:'sz -q -b " + file +
                                                      "' EXEC:'rz -q -b -y'"});
        zmodem.push_back(z.ok ? z.seconds : -1);
        if (i < legacyRepeat) {
            floorLegacy.push_back(StopAndWaitFloor(image, 256));
            legacy.push_back(TimeUpdate(sim.TelnetPort(), firmware, true));
            WaitUntilStored(sim, ++stored);
            legacyCli.push_back(TimeCliTransfer(cli(oldFirmware, {"--legacy", "yes", "--json"})));
            WaitUntilStored(oldFirmware, ++oldStored);
        }
    }
    for (const auto* runs : {&fast, &wholeCli, &legacy, &legacyCli}) {
        if (std::find(runs->begin(), runs->end(), -1.0) != runs->end()) {
            std::fprintf(stderr, "an update failed\n");
            return 1;
        }
    }
    const bool zmodemOk = std::find(zmodem.begin(), zmodem.end(), -1.0) == zmodem.end();

    const double mFloorFast = Median(floorFast), mFast = Median(fast), mCli = Median(wholeCli), mZmodem = Median(zmodem);
    const double mFloorLegacy = Median(floorLegacy), mLegacy = Median(legacy), mLegacyCli = Median(legacyCli);
    Row("raw stop-and-wait, 65,536-byte frames", mFloorFast, image, 0, 0);
    Row("fast update (UPDFAST)", mFast, image, mFloorFast, 0);
    Row("whole brisklode-cli update", mCli, image, 0, peakMiB);
    if (zmodemOk) Row("ZMODEM sz|rz (lrzsz) via socat", mZmodem, static_cast<double>(size), 0, 0);
    else std::printf("  ZMODEM run failed (is lrzsz installed?)\n");
    Row("raw stop-and-wait, 256-byte frames", mFloorLegacy, image, 0, 0);
    Row("legacy update (UPDATE)", mLegacy, image, mFloorLegacy, 0);
    Row("legacy update, brisklode-cli", mLegacyCli, image, mFloorLegacy, 0);

    const double limitMiB = 2.2 * static_cast<double>(size) / (1 << 20) + 16;
    std::printf("  targets: whole cli update <= 0.8x ZMODEM: %s (x%.2f); legacy cli transfer <= 1.2x floor: %s (x%.2f);"
                " fast <= 3x floor: %s (x%.2f); peak <= %.1f MiB: %s\n",
                zmodemOk ? (mCli <= 0.8 * mZmodem ? "met" : "MISSED") : "n/a", zmodemOk ? mCli / mZmodem : 0,
                mLegacyCli <= 1.2 * mFloorLegacy ? "met" : "MISSED", mLegacyCli / mFloorLegacy,
                mFast <= 3 * mFloorFast ? "met" : "MISSED", mFast / mFloorFast, limitMiB,
                peakMiB <= limitMiB ? "met" : "MISSED");
    return 0;
}

// On a virtual machine a wake-up of a halted virtual CPU costs tens of microseconds, so a stop-and-wait round
// whose two ends the scheduler happens to place on different CPUs takes several times as long as one where they
// share one, for the floor as much as for the tool. With one-cpu this process and everything it starts (the
// simulators, the CLI, the floor's peer) run on one CPU, and each round measures the exchange rather than that
// placement. False when the mask cannot be set.
bool RunOnOneCpu() {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) != 0) return false;
    int last = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &mask)) last = cpu;
    }
    if (last < 0) return false;
    CPU_ZERO(&mask);
    CPU_SET(last, &mask);
    return sched_setaffinity(0, sizeof mask, &mask) == 0;
}

// Only the legacy transfer, round after round: the floor, the in-process transfer and the CLI's, each run's
// ratio printed, so that a noisy round shows as one.
int BenchLegacy(size_t size, int rounds, bool oneCpu) {
    std::printf("Legacy update, %zu-byte image over loopback Telnet, %d rounds%s (load average 1 / 5 min at start: %s)\n",
                size, rounds, oneCpu ? ", all on one CPU" : "", LoadText().c_str());
    const std::vector<unsigned char> firmware = RandomBytes(size, 5);
    SimulatorProcess sim, oldFirmware;
    if (!StartSim(sim, {}) || !StartSim(oldFirmware, {"--no-updfast"})) return 1;
    const size_t image = (size + 255) / 256 * 256;
    const std::string file = sim.Folder() + "/bench-firmware.qz7";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(firmware.data()),
                                                static_cast<std::streamsize>(firmware.size()));
    std::vector<double> floors, inProcess, cli;
    size_t stored = 0, oldStored = 0;
    std::printf("  round   floor    in-process        brisklode-cli     load\n");
    for (int i = 0; i < rounds; ++i) {
        floors.push_back(StopAndWaitFloor(image, 256));
        inProcess.push_back(TimeUpdate(sim.TelnetPort(), firmware, true));
        WaitUntilStored(sim, ++stored);
        cli.push_back(TimeCliTransfer({Cli(), "--telnet", "127.0.0.1:" + std::to_string(oldFirmware.TelnetPort()), "update",
                                       file, "--legacy", "yes", "--json"}));
        WaitUntilStored(oldFirmware, ++oldStored);
        if (inProcess.back() < 0 || cli.back() < 0) {
            std::fprintf(stderr, "an update failed\n");
            return 1;
        }
        std::printf("  %5d  %6.3f s  %6.3f s x%.2f  %6.3f s x%.2f   %s\n", i + 1, floors.back(), inProcess.back(),
                    inProcess.back() / floors.back(), cli.back(), cli.back() / floors.back(), LoadText().c_str());
        std::fflush(stdout);
    }
    const double mFloor = Median(floors);
    Row("raw stop-and-wait, 256-byte frames", mFloor, image, 0, 0);
    Row("legacy update (UPDATE)", Median(inProcess), image, mFloor, 0);
    Row("legacy update, brisklode-cli", Median(cli), image, mFloor, 0);
    std::vector<double> ratios;
    for (size_t i = 0; i < cli.size(); ++i) ratios.push_back(cli[i] / floors[i]);
    std::printf("  median of the per-round ratios, brisklode-cli: x%.2f\n", Median(ratios));
    return 0;
}

// A whole brisklode-cli run with its output lines, each with the time it arrived since the start.
struct TimedRun {
    bool ok = false;
    double seconds = 0;
    std::vector<std::pair<double, std::string>> lines;
};

TimedRun RunCliTimed(const std::vector<std::string>& args) {
    TimedRun run;
    const auto start = Clock::now();
    std::FILE* lines = nullptr;
    const pid_t pid = StartWithOutputPipe(args, lines);
    if (pid < 0) return run;
    char* line = nullptr;
    size_t capacity = 0;
    while (getline(&line, &capacity, lines) > 0) run.lines.emplace_back(Seconds(start), line);
    std::free(line);
    std::fclose(lines);
    int status = 0;
    waitpid(pid, &status, 0);
    run.seconds = Seconds(start);
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// The text of "key":"value" in a JSON line, or empty.
std::string JsonText(const std::string& line, const std::string& key) {
    const std::string open = "\"" + key + "\":\"";
    const size_t at = line.find(open);
    if (at == std::string::npos) return "";
    const size_t end = line.find('"', at + open.size());
    return line.substr(at + open.size(), end == std::string::npos ? std::string::npos : end - at - open.size());
}

// A fast update over a relay that carries 2,400 bytes a second each way, as a slow radio or cellular link to a
// remote site: it must succeed, in little more than the image's time on such a link.
int BenchSlowLink(size_t size) {
    constexpr unsigned long long kRate = 2400;
    constexpr auto kOneWay = std::chrono::milliseconds(20);
    std::printf("Slow link: a %zu-byte fast update over a loopback relay carrying %llu bytes/s each way, %lld ms one "
                "way\n",
                size, kRate, static_cast<long long>(kOneWay.count()));
    SimulatorProcess sim;
    if (!StartSim(sim, {})) return 1;
    DelayProxy proxy;
    proxy.SetRate(kRate);
    std::string error;
    if (!proxy.Start(sim.TelnetPort(), kOneWay, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const double seconds = TimeUpdate(proxy.Port(), RandomBytes(size, 17), false);
    if (seconds < 0) {
        std::fprintf(stderr, "the update over the slow link failed\n");
        return 1;
    }
    const double floor = static_cast<double>(size) / static_cast<double>(kRate);
    std::printf("  %-34s %8.1f s   floor (image at %llu bytes/s) %6.1f s   x%.2f\n", "fast update, from the size's ACK",
                seconds, kRate, floor, seconds / floor);
    std::printf("  target: within 1.1x the link's floor: %s\n", seconds <= 1.1 * floor ? "met" : "MISSED");
    return 0;
}

// A fast update of a small image over a link with a long round trip: the whole CLI run counted in round
// trips, where the transfer itself is one per frame and every exchange before it one each.
int BenchRoundTrips(size_t size, int repeat) {
    constexpr auto kOneWay = std::chrono::milliseconds(50);
    const double roundTrip = 2 * std::chrono::duration<double>(kOneWay).count();
    std::printf("Round trips: a %zu-byte fast update over a loopback relay that holds each direction %lld ms "
                "(round trip %.0f ms), whole brisklode-cli run (median of %d)\n",
                size, static_cast<long long>(kOneWay.count()), roundTrip * 1000, repeat);
    const std::vector<unsigned char> firmware = RandomBytes(size, 13);
    SimulatorProcess sim;
    if (!StartSim(sim, {})) return 1;
    const std::string file = sim.Folder() + "/bench-firmware.qz7";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(firmware.data()),
                                                static_cast<std::streamsize>(firmware.size()));
    DelayProxy proxy;
    std::string error;
    if (!proxy.Start(sim.TelnetPort(), kOneWay, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const size_t frames = (size + 65535) / 65536;
    std::vector<double> trips;
    std::vector<int> turns;
    size_t stored = 0;
    for (int i = 0; i < repeat; ++i) {
        proxy.Take();
        const TimedRun run = RunCliTimed({Cli(), "--telnet", "127.0.0.1:" + std::to_string(proxy.Port()), "update", file, "--json"});
        if (run.ok) WaitUntilStored(sim, ++stored);
        // The next run finds the modem's console free, as after a real modem's restart.
        proxy.WaitIdle(std::chrono::seconds(5));
        const DelayProxy::Tally tally = proxy.Take();
        if (!run.ok) {
            std::fprintf(stderr, "the update through the relay failed: %s\n",
                         run.lines.size() < 2 ? "no output" : run.lines[run.lines.size() - 2].second.c_str());
            return 1;
        }
        trips.push_back(run.seconds / roundTrip);
        turns.push_back(tally.turns);
        if (i == 0) {
            // Where the round trips go: each stage's first report, and what the tool said at each turn.
            std::printf("  first run, in round trips from the start:\n");
            std::string lastStage;
            for (const auto& [at, line] : run.lines) {
                const std::string event = JsonText(line, "event");
                const std::string stage = event == "progress" ? JsonText(line, "stage") : event;
                if (stage == lastStage) continue;
                lastStage = stage;
                std::printf("    %5.1f  %s%s%s\n", at / roundTrip, stage.c_str(), event == "progress" ? ": " : "",
                            event == "progress" ? JsonText(line, "detail").c_str() : "");
            }
            std::printf("  the tool's turns (%d, over %d connection%s):", tally.turns, tally.connections,
                        tally.connections == 1 ? "" : "s");
            for (size_t t = 0; t < tally.turnStarts.size();) {
                size_t same = 1;
                while (t + same < tally.turnStarts.size() && tally.turnStarts[t + same] == tally.turnStarts[t]) ++same;
                std::printf(" [%s]", tally.turnStarts[t].c_str());
                if (same > 1) std::printf(" x%zu", same);
                t += same;
            }
            std::printf("\n");
        }
        std::printf("  run %d: %.3f s = %.1f round trips, %d turns\n", i + 1, run.seconds, trips.back(), turns.back());
        std::fflush(stdout);
    }
    std::vector<double> turnValues(turns.begin(), turns.end());
    const double median = Median(trips);

    // Two modems in one run, side by side: each target's identity is asked before the question is answered.
    SimulatorProcess second;
    DelayProxy secondProxy;
    if (!StartSim(second, {}) || !secondProxy.Start(second.TelnetPort(), kOneWay, error)) return 1;
    proxy.Take();
    const TimedRun pair = RunCliTimed({Cli(), "--telnet", "127.0.0.1:" + std::to_string(proxy.Port()), "--telnet",
                                       "127.0.0.1:" + std::to_string(secondProxy.Port()), "update", file, "--yes",
                                       "--json", "--parallel", "2"});
    if (pair.ok) {
        WaitUntilStored(sim, ++stored);
        WaitUntilStored(second, 1);
    }
    proxy.WaitIdle(std::chrono::seconds(5));
    secondProxy.WaitIdle(std::chrono::seconds(5));
    const DelayProxy::Tally one = proxy.Take(), two = secondProxy.Take();
    std::printf("  two modems at once (--yes --parallel 2): %.3f s = %.1f round trips%s; per modem %d and %d turns over "
                "%d and %d connections\n",
                pair.seconds, pair.seconds / roundTrip, pair.ok ? "" : " (FAILED)", one.turns, two.turns,
                one.connections, two.connections);
    std::printf("  whole brisklode-cli update: %.1f round trips (median), %.0f turns; %zu of them frames\n", median,
                Median(turnValues), frames);
    std::printf("  targets: at most 22 round trips: %s (%.1f)\n", median <= 22 ? "met" : "MISSED", median);
    return 0;
}

int BenchLog(size_t size, int repeat) {
    std::printf("Log download, %zu-byte fast log over loopback Telnet from the simulator (best of %d)\n", size, repeat);
    SimulatorProcess sim;
    if (!StartSim(sim, {"--log-mode", "fast", "--log-size", std::to_string(size), "--log-seed", "11"})) return 1;
    double floor = 1e9;
    for (int i = 0; i < repeat; ++i) floor = std::min(floor, RawCopyFloor(size));
    Row("raw TCP copy", floor, static_cast<double>(size), 0, 0);
    double best = 1e9;
    for (int i = 0; i < repeat; ++i) {
        auto link = CreateTelnetTransport("127.0.0.1", sim.TelnetPort());
        std::string error;
        std::atomic<bool> cancel{false};
        std::vector<unsigned char> log;
        if (!link->Open(error)) return 1;
        const auto start = Clock::now();
        const int result = DownloadModemLog(*link, log, cancel, [](int, const std::string&, const std::string&) {}, error);
        const double seconds = Seconds(start);
        link->Close();
        if (result != 0 || log.size() != size) {
            std::fprintf(stderr, "log: %s\n", error.c_str());
            return 1;
        }
        best = std::min(best, seconds);
    }
    Row("fast log download", best, static_cast<double>(size), floor, 0);

    // The whole command against a raw copy into a flushed file: both end with the bytes on the disk.
    const std::string fileFloorPath = sim.Folder() + "/floor.bin";
    double fileFloor = 1e9;
    for (int i = 0; i < repeat; ++i) fileFloor = std::min(fileFloor, RawCopyToFileFloor(size, fileFloorPath));
    Row("raw TCP copy into a flushed file", fileFloor, static_cast<double>(size), 0, 0);
    ChildRun cli;
    cli.seconds = 1e9;
    for (int i = 0; i < repeat; ++i) {
        const std::string out = sim.Folder() + "/bench.log";
        const ChildRun run = RunChild({Cli(), "--telnet", "127.0.0.1:" + std::to_string(sim.TelnetPort()), "log", out});
        unlink(out.c_str());
        if (!run.ok) {
            std::fprintf(stderr, "brisklode-cli log failed\n");
            return 1;
        }
        if (run.seconds < cli.seconds) cli.seconds = run.seconds;
        cli.peakMiB = std::max(cli.peakMiB, run.peakMiB);
    }
    Row("whole brisklode-cli log", cli.seconds, static_cast<double>(size), fileFloor, cli.peakMiB);
    const double limitMiB = 64;
    std::printf("  targets: download >= 0.5x raw copy: %s (%.2fx); whole cli >= 0.5x copy into a flushed file: %s "
                "(%.2fx); peak <= %.0f MiB: %s\n",
                floor / best >= 0.5 ? "met" : "MISSED", floor / best, fileFloor / cli.seconds >= 0.5 ? "met" : "MISSED",
                fileFloor / cli.seconds, limitMiB, cli.peakMiB <= limitMiB ? "met" : "MISSED");
    return 0;
}

// Wraps the tool's link to see how much of each block's round trip the tool itself spends: from a
// verdict handed out by Read to the next Write.
class TurnaroundLink final : public ITransport {
public:
    explicit TurnaroundLink(std::unique_ptr<ITransport> inner) : inner_(std::move(inner)) {}
    bool Open(std::string& error) override { return inner_->Open(error); }
    void Close() override { inner_->Close(); }
    LinkFailure LastFailure() const override { return inner_->LastFailure(); }
    void SetConnectTimeout(unsigned int timeoutMs) override { inner_->SetConnectTimeout(timeoutMs); }
    bool Write(const unsigned char* data, size_t length, std::string& error) override {
        if (sawRead_) {
            turnaround_ += Clock::now() - lastRead_;
            ++turns_;
            sawRead_ = false;
        }
        return inner_->Write(data, length, error);
    }
    int Read(unsigned char* buffer, size_t capacity, unsigned int timeoutMs, std::string& error) override {
        const int n = inner_->Read(buffer, capacity, timeoutMs, error);
        if (n > 0) {
            lastRead_ = Clock::now();
            sawRead_ = true;
        }
        return n;
    }
    std::string Description() const override { return inner_->Description(); }
    double MeanTurnaroundMicros() const {
        return turns_ == 0 ? 0 : std::chrono::duration<double, std::micro>(turnaround_).count() / turns_;
    }

private:
    std::unique_ptr<ITransport> inner_;
    Clock::time_point lastRead_;
    Clock::duration turnaround_{};
    long turns_ = 0;
    bool sawRead_ = false;
};

int BenchSerial(size_t size, unsigned baud) {
    std::printf("Firmware update over a pseudo-terminal paced at %u baud, %zu-byte image\n", baud, size);
    const std::vector<unsigned char> firmware = RandomBytes(size, 3);
    const size_t image = (size + 255) / 256 * 256;
    const double lineTime = static_cast<double>(image) * 10.0 / baud;
    double efficiency[2] = {0, 0};
    for (int legacy = 0; legacy < 2; ++legacy) {
        SimulatorProcess sim;
        if (!StartSim(sim, {"--serial", "--baud", std::to_string(baud)})) return 1;
        auto link = std::make_unique<TurnaroundLink>(CreateSerialTransport(Utf8ToWide(sim.SerialDevice()), baud));
        std::string error;
        std::atomic<bool> cancel{false};
        if (!link->Open(error)) {
            std::fprintf(stderr, "open: %s\n", error.c_str());
            return 1;
        }
        // The menu and handshake are not payload: time only from the first frame on.
        Clock::time_point start = Clock::now();
        bool started = false;
        const ProgressCallback marking = [&start, &started](int percent, const std::string& stage, const std::string&) {
            // The frame-size report: later per-frame reports can carry 1 % as well.
            if (!started && percent == 1 && stage == "Transferring firmware") {
                start = Clock::now();
                started = true;
            }
        };
        const bool ok = legacy ? RunLegacyUpdate(*link, firmware, cancel, marking, error)
                               : RunFastUpdate(*link, firmware, cancel, marking, error) == 0;
        const double seconds = Seconds(start);
        link->Close();
        if (!ok) {
            std::fprintf(stderr, "update: %s\n", error.c_str());
            return 1;
        }
        efficiency[legacy] = lineTime / seconds;
        const double frames = static_cast<double>(legacy ? image / 256 : (image + 65535) / 65536);
        std::printf("  %-34s %8.3f s  payload line time %.3f s  efficiency %.3f"
                    "  (per frame: %.0f us beyond line time, %.0f us of it in the tool)\n",
                    legacy ? "legacy update (256-byte blocks)" : "fast update (65,536-byte frames)", seconds, lineTime,
                    efficiency[legacy], (seconds - lineTime) / frames * 1e6, link->MeanTurnaroundMicros());
    }
    std::printf("  targets: fast >= 0.98: %s; legacy >= 0.95: %s\n", efficiency[0] >= 0.98 ? "met" : "MISSED",
                efficiency[1] >= 0.95 ? "met" : "MISSED");
    return 0;
}

// --- Many modems: brisklode-cli --targets ... update against 1 to 64 simulators in the test network. ---

std::string Capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    if (pclose(pipe) != 0) out.clear();
    return out;
}

struct FleetRun {
    bool ok = false;
    int exitCode = -1;
    double seconds = 0;
    double peakMiB = 0;
    int threads = 0;
};

// Runs the CLI inside network namespace `ns`; samples its thread count while it runs.
FleetRun RunInNamespace(const std::string& ns, const std::vector<std::string>& args) {
    FleetRun run;
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(126);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    const std::string statusFile = "/proc/" + std::to_string(pid) + "/status";
    for (;;) {
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) break;
        std::ifstream in(statusFile);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("Threads:", 0) == 0) run.threads = std::max(run.threads, std::atoi(line.c_str() + 8));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    run.seconds = Seconds(start);
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return run;
}

// The modems that are down during the rollout that the resume then completes: every eighth.
bool IsDownForResume(int i) { return i % 8 == 5; }

// A rollout of 64 in which 8 modems are down, then --resume once they are back: only those 8 run again,
// and a second resume has nothing to do. The record tells how each run ended.
bool BenchResume(const std::string& testnet, const std::string& id, const std::string& folder, const std::string& image,
                 const std::vector<std::string>& addresses, std::vector<pid_t>& sims) {
    const int modems = static_cast<int>(addresses.size());
    std::ofstream(folder + "/stop-down").put('\n');
    for (int i = 0; i < modems; ++i) {
        if (IsDownForResume(i)) waitpid(sims[i], nullptr, 0);
    }
    const std::string targets = folder + "/resume-targets", record = folder + "/resume.jsonl";
    {
        std::ofstream list(targets);
        for (const std::string& address : addresses) list << "telnet " << address << "\n";
    }
    std::printf("Fleet rollout resumed from its record, %d modems, 8 of them down during the rollout, 16 at once\n", modems);
    std::printf("  run                                            wall   targets      ok  failed  exit\n");
    bool met = true;
    size_t seen = 0;  // record bytes of the runs before
    const auto row = [&](const char* name, const std::vector<std::string>& args, size_t wantTargets, size_t wantOk,
                         int wantExit) {
        const FleetRun run = RunInNamespace("bl-tool-" + id, args);
        std::ifstream in(record);
        const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string added = all.substr(std::min(seen, all.size()));
        seen = all.size();
        size_t lines = 0, ok = 0, failed = 0;
        for (size_t at = added.find("\"status\":"); at != std::string::npos; at = added.find("\"status\":", at + 1)) {
            ++lines;
            const std::string okText = "\"status\":\"ok\"", failedText = "\"status\":\"failed\"";
            if (added.compare(at, okText.size(), okText) == 0) ++ok;
            if (added.compare(at, failedText.size(), failedText) == 0) ++failed;
        }
        const bool expected = lines == wantTargets && ok == wantOk && failed == wantTargets - wantOk && run.exitCode == wantExit;
        std::printf("  %-44s %6.2f s  %7zu  %6zu  %6zu  %4d%s\n", name, run.seconds, lines, ok, failed, run.exitCode,
                    expected ? "" : "   UNEXPECTED");
        std::fflush(stdout);
        met = met && expected;
    };
    const std::vector<std::string> resume = {Cli(), "update", image, "--resume", record, "--yes", "--json", "--parallel", "16"};
    size_t down = 0;
    for (int i = 0; i < modems; ++i) down += IsDownForResume(i) ? 1 : 0;
    row("rollout, 8 modems down", {Cli(), "--targets", targets, "update", image, "--yes", "--json", "--parallel", "16",
                                   "--record", record},
        static_cast<size_t>(modems), static_cast<size_t>(modems) - down, 1);
    // The 8 come back, at the same addresses.
    for (int i = 0; i < modems; ++i) {
        if (!IsDownForResume(i)) continue;
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            const std::string ready = folder + "/back-" + std::to_string(i), stop = folder + "/stop";
            execl(testnet.c_str(), testnet.c_str(), "host-exec", id.c_str(), "fleet", BRISKLODE_SIM_PATH, "--bind",
                  addresses[i].c_str(), "--telnet-port", "3000", "--verify-delay", "1000", "--quiet", "--ready-file",
                  ready.c_str(), "--stop-file", stop.c_str(), "--max-seconds", "1800", static_cast<char*>(nullptr));
            _exit(127);
        }
        sims[i] = pid;
    }
    bool ready = false;
    for (int wait = 0; wait < 300 && !ready; ++wait) {
        ready = true;
        for (int i = 0; i < modems && ready; ++i) {
            ready = !IsDownForResume(i) || access((folder + "/back-" + std::to_string(i)).c_str(), F_OK) == 0;
        }
        if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!ready) {
        std::fprintf(stderr, "fleet: the modems that were down did not come back\n");
        return false;
    }
    row("--resume, the 8 back", resume, down, down, 0);
    row("--resume again: nothing to resume", resume, 0, 0, 0);
    return met;
}

int BenchFleet() {
    if (getuid() != 0) {
        std::fprintf(stderr, "fleet: needs root (it builds the test network of scripts/testnet)\n");
        return 1;
    }
    const std::string testnet = std::string(BRISKLODE_SOURCE_DIR) + "/scripts/testnet";
    std::string id = Capture("'" + testnet + "' up");
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    if (id.empty()) {
        std::fprintf(stderr, "fleet: the test network could not be built\n");
        return 1;
    }
    constexpr int kModems = 64;
    std::vector<std::string> addresses;
    {
        const std::string list = Capture("'" + testnet + "' fleet " + id + " " + std::to_string(kModems));
        size_t start = 0;
        while (start < list.size()) {
            const size_t end = list.find('\n', start);
            addresses.push_back(list.substr(start, end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
        while (!addresses.empty() && addresses.back().empty()) addresses.pop_back();
    }
    char folderTemplate[] = "/tmp/bl-bench-fleet-XXXXXX";
    const std::string folder = mkdtemp(folderTemplate) != nullptr ? folderTemplate : "";
    int status = 0;
    std::vector<pid_t> sims;
    if (static_cast<int>(addresses.size()) != kModems || folder.empty()) {
        std::fprintf(stderr, "fleet: no %d addresses in the test network\n", kModems);
        status = 1;
    } else {
        const size_t imageSize = 1 << 20;
        const std::vector<unsigned char> firmware = RandomBytes(imageSize, 11);
        const std::string image = folder + "/fw.qz7";
        std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(firmware.data()), imageSize);
        // One simulator per address, each verifying for 1 s, all in the fleet namespace.
        for (int i = 0; i < kModems; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                const int null = open("/dev/null", O_RDWR);
                dup2(null, STDOUT_FILENO);
                dup2(null, STDERR_FILENO);
                const std::string ready = folder + "/ready-" + std::to_string(i);
                const std::string stop = folder + (IsDownForResume(i) ? "/stop-down" : "/stop");
                execl(testnet.c_str(), testnet.c_str(), "host-exec", id.c_str(), "fleet", BRISKLODE_SIM_PATH, "--bind",
                      addresses[i].c_str(), "--telnet-port", "3000", "--verify-delay", "1000", "--log-size", "16777216", "--log-seed",
                      std::to_string(i + 1).c_str(), "--quiet", "--ready-file",
                      ready.c_str(), "--stop-file", stop.c_str(), "--max-seconds", "1800", static_cast<char*>(nullptr));
                _exit(127);
            }
            sims.push_back(pid);
        }
        bool ready = false;
        for (int wait = 0; wait < 300 && !ready; ++wait) {
            ready = true;
            for (int i = 0; i < kModems && ready; ++i) ready = access((folder + "/ready-" + std::to_string(i)).c_str(), F_OK) == 0;
            if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!ready) {
            std::fprintf(stderr, "fleet: the simulators did not start\n");
            status = 1;
        } else {
            std::printf("Fleet update, %zu-byte image, modem-side verification 1 s, one simulator per address in the test network\n",
                        imageSize);
            std::printf("  modems  parallel    wall   x one modem   peak MiB   +MiB/running   threads\n");
            double one = 0;
            double baseMiB = 0;
            for (const int modems : {1, 4, 16, 64}) {
                const std::string targets = folder + "/targets-" + std::to_string(modems);
                {
                    std::ofstream list(targets);
                    for (int i = 0; i < modems; ++i) list << "telnet " << addresses[i] << "\n";
                }
                for (const int parallel : {1, 4, 16, 64}) {
                    if (parallel > modems) continue;
                    const FleetRun run = RunInNamespace("bl-tool-" + id, {Cli(), "--targets", targets, "update", image, "--yes",
                                                                          "--json", "--parallel", std::to_string(parallel)});
                    if (modems == 1) {
                        one = run.seconds;
                        baseMiB = run.peakMiB;
                    }
                    const double perRunning = parallel > 1 ? (run.peakMiB - baseMiB) / (parallel - 1) : 0;
                    std::printf("  %6d  %8d  %6.2f s   x%-10.2f  %8.1f   %12.2f   %7d%s\n", modems, parallel, run.seconds,
                                one > 0 ? run.seconds / one : 0, run.peakMiB, perRunning, run.threads,
                                run.ok ? "" : "   FAILED");
                    std::fflush(stdout);
                    if (!run.ok) status = 1;
                    if (modems == 64 && parallel == 64) {
                        const double imageMiB = static_cast<double>(imageSize) / (1 << 20);
                        std::printf("  targets: 64 modems < 3x one modem: %s (x%.2f); growth per running target < image "
                                    "(%.1f MiB): %s (%.2f MiB)\n",
                                    run.seconds < 3 * one ? "met" : "MISSED", run.seconds / one, imageMiB,
                                    perRunning < imageMiB ? "met" : "MISSED", perRunning);
                    }
                }
            }
            // Rollouts that must stop: a canary that fails, and an image that does not bring the expected
            // version, stopped by the failure limit. The record tells how each target ended.
            std::printf("Fleet rollout, 64 modems, %zu-byte image, 16 at once, --record\n", imageSize);
            std::printf("  rollout                                        wall      ok  failed  not-started  exit\n");
            const auto count = [](const std::string& text, const std::string& needle) {
                size_t n = 0;
                for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
                return n;
            };
            const struct {
                const char* name;
                bool deadCanary;
                std::vector<std::string> options;
                size_t wantOk, minFailed, maxFailed;  // the rest must be not-started
            } rollouts[] = {
                // The unreachable modem fails its identity check in the plan: the canaries are the first four
                // modems that get an image, and they pass.
                {"--canary 4, one modem unreachable", true, {"--canary", "4"}, 63, 1, 1},
                // Up to 16 run at once: the 8th failure stops new starts, those already running finish.
                {"--max-failures 8, version never comes", false,
                 {"--expect-firmware", "9.9", "--confirm=30", "--max-failures", "8"}, 0, 8, 8 + 15},
            };
            for (const auto& rollout : rollouts) {
                const std::string targets = folder + "/rollout-targets";
                {
                    std::ofstream list(targets);
                    for (int i = 0; i < kModems; ++i) {
                        // Nothing listens on port 3999: the third modem fails to connect.
                        list << "telnet " << addresses[i] << (rollout.deadCanary && i == 2 ? ":3999" : "") << "\n";
                    }
                }
                const std::string record = folder + "/rollout.jsonl";
                std::remove(record.c_str());
                std::vector<std::string> args = {Cli(), "--targets", targets, "update", image, "--yes", "--json", "--parallel",
                                                 "16", "--record", record};
                args.insert(args.end(), rollout.options.begin(), rollout.options.end());
                const FleetRun run = RunInNamespace("bl-tool-" + id, args);
                std::ifstream in(record);
                const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                const size_t ok = count(text, "\"status\":\"ok\""), failed = count(text, "\"status\":\"failed\"");
                const size_t notStarted = count(text, "\"status\":\"not-started\"");
                const bool met = ok == rollout.wantOk && failed >= rollout.minFailed && failed <= rollout.maxFailed &&
                                 ok + failed + notStarted == static_cast<size_t>(kModems) && run.exitCode == 1;
                std::printf("  %-44s %6.2f s  %5zu  %6zu  %11zu  %4d%s\n", rollout.name, run.seconds, ok, failed, notStarted,
                            run.exitCode, met ? "" : "   UNEXPECTED");
                std::fflush(stdout);
                if (!met) status = 1;
            }
            // Logs: each modem's 16 MiB log streamed into a file of its own, all 64 at once.
            std::printf("Fleet log, 16 MiB fast log per modem into one folder\n");
            std::printf("  modems  parallel    wall     MB/s   peak MiB   threads\n");
            for (const int modems : {1, 64}) {
                const std::string logs = folder + "/logs-" + std::to_string(modems);
                const FleetRun run = RunInNamespace("bl-tool-" + id, {Cli(), "--targets", folder + "/targets-" + std::to_string(modems),
                                                                      "log", logs, "--json", "--parallel", std::to_string(modems)});
                std::printf("  %6d  %8d  %6.2f s  %7.1f   %8.1f   %7d%s\n", modems, modems, run.seconds,
                            Mb(16.0 * (1 << 20) * modems) / run.seconds, run.peakMiB, run.threads, run.ok ? "" : "   FAILED");
                if (!run.ok) status = 1;
                if (modems == 64) {
                    std::printf("  targets: peak <= 64 MiB with 64 logs at once: %s (%.1f MiB)\n",
                                run.peakMiB <= 64 ? "met" : "MISSED", run.peakMiB);
                }
                std::system(("rm -rf '" + logs + "'").c_str());
            }
            if (!BenchResume(testnet, id, folder, image, addresses, sims)) status = 1;
        }
        std::ofstream(folder + "/stop").put('\n');
    }
    for (const pid_t pid : sims) waitpid(pid, nullptr, 0);
    if (std::system(("'" + testnet + "' down " + id).c_str()) != 0) {
        std::fprintf(stderr, "fleet: WARNING: test network %s not fully removed\n", id.c_str());
    }
    if (!folder.empty()) std::system(("rm -rf '" + folder + "'").c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string self = argv[0];
    const size_t slash = self.rfind('/');
    g_binDir = slash == std::string::npos ? "." : self.substr(0, slash) + "/..";
    const std::string what = argc > 1 ? argv[1] : "all";
    const int repeat = argc > 2 ? std::atoi(argv[2]) : 5;
    int status = 0;
    const bool oneCpu = argc > 3 && std::string(argv[3]) == "one-cpu" && RunOnOneCpu();
    if (oneCpu) std::printf("(all on one CPU)\n");
    if (what == "update" || what == "all") status |= BenchUpdate(16776960, repeat);
    if (what == "update" || what == "slowlink" || what == "all") status |= BenchSlowLink(98304);
    if (what == "log" || what == "all") status |= BenchLog(size_t(256) << 20, std::max(1, repeat / 2));
    if (what == "serial" || what == "all") status |= BenchSerial(1 << 20, 921600);
    if (what == "legacy") status |= BenchLegacy(16776960, repeat, oneCpu);
    if (what == "roundtrips" || what == "all") status |= BenchRoundTrips(1 << 20, std::max(3, repeat / 2));
    if (what == "fleet") status |= BenchFleet();
    if (what == "station") status |= BenchStation(Cli());
    return status;
}
