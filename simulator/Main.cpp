// brisklode-sim entry point: options, the carriers and the responder, and the single poll loop.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "BrisklodeVersion.h"
#include "simulator/DiscoveryResponder.h"
#include "simulator/EventLog.h"
#include "simulator/ModemConsole.h"
#include "simulator/Options.h"
#include "simulator/PtyCarrier.h"
#include "simulator/TelnetCarrier.h"

namespace {

volatile std::sig_atomic_t stopSignal = 0;

void OnSignal(int signal) { stopSignal = signal; }

bool WriteReadyFile(const std::string& path, const std::string& text, std::string& error) {
    std::string temporary = path + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fputs(text.c_str(), file) >= 0;
    ok = std::fclose(file) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool FileExists(const std::string& path) {
    struct stat info;
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    std::string error;
    int parsed = ParseOptions(argc, argv, options, error);
    if (parsed == 1) {
        std::fputs(HelpText(), stdout);
        return 0;
    }
    if (parsed == 3) {
        std::printf("brisklode-sim %s\n", BRISKLODE_VERSION_TEXT);
        return 0;
    }
    if (parsed == 2) {
        std::fprintf(stderr, "brisklode-sim: %s\n", error.c_str());
        return 2;
    }

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    EventLog log;
    LogSource logSource;
    if (!log.Open(options.logFile, error) || !logSource.Load(options, error)) {
        std::fprintf(stderr, "brisklode-sim: %s\n", error.c_str());
        return 1;
    }
    ModemConsole console(options, log, logSource);
    std::unique_ptr<TelnetCarrier> telnet;
    std::unique_ptr<PtyCarrier> pty;
    std::unique_ptr<DiscoveryResponder> discovery;
    std::vector<PollParticipant*> participants;
    std::string ready;

    unsigned short consolePort = 3000;
    if (options.console && options.serial) {
        pty = std::make_unique<PtyCarrier>(options, log, console);
        if (!pty->Open(error)) {
            std::fprintf(stderr, "brisklode-sim: %s\n", error.c_str());
            return 1;
        }
        participants.push_back(pty.get());
        ready += "serial " + pty->Device() + "\n";
    } else if (options.console) {
        telnet = std::make_unique<TelnetCarrier>(options, log, console);
        if (!telnet->Listen(error)) {
            std::fprintf(stderr, "brisklode-sim: %s\n", error.c_str());
            return 1;
        }
        participants.push_back(telnet.get());
        consolePort = telnet->Port();
        ready += "telnet " + options.bindAddress + " " + std::to_string(telnet->Port()) + "\n";
    }
    if (options.discovery) {
        discovery = std::make_unique<DiscoveryResponder>(options, log);
        if (!discovery->Start(consolePort, error)) {
            std::fprintf(stderr, "brisklode-sim: %s\n", error.c_str());
            return 1;
        }
        participants.push_back(discovery.get());
        ready += "discovery " + options.discoveryBind + " " + std::to_string(discovery->Port()) + "\n";
    }
    if (!options.quiet) {
        std::fputs(ready.c_str(), stdout);
        std::fflush(stdout);
    }
    if (!options.readyFile.empty() && !WriteReadyFile(options.readyFile, ready, error)) {
        std::fprintf(stderr, "brisklode-sim: %s\n", error.c_str());
        return 1;
    }
    log.Flush();

    using Clock = std::chrono::steady_clock;
    const Clock::time_point started = Clock::now();
    const Clock::time_point end = options.maxSeconds > 0
        ? started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.maxSeconds))
        : Clock::time_point::max();
    std::vector<pollfd> fds;
    std::string reason;
    Clock::time_point nextStopLook = started;
    Clock::time_point nextFullPoll = started;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (stopSignal != 0) {
            reason = std::string("signal ") + std::to_string(stopSignal);
            break;
        }
        if (now >= end) {
            reason = "--max-seconds reached";
            break;
        }
        // Looked for every 100 ms, not on every wake-up: a legacy transfer wakes the loop for each block.
        if (now >= nextStopLook) {
            if (FileExists(options.stopFile)) {
                reason = "stop file appeared";
                break;
            }
            nextStopLook = now + std::chrono::milliseconds(100);
        }
        fds.clear();
        // The stop file and the signal flag are looked at at least every 100 ms.
        Clock::time_point wake = std::min(end, now + std::chrono::milliseconds(100));
        for (PollParticipant* participant : participants) participant->Prepare(now, fds, wake);
        if (log.Pending()) wake = std::min(wake, log.PendingSince() + std::chrono::milliseconds(50));
        // Exact wake-ups: a paced serial line hands over a 256-byte block every 2.8 ms at 921,600 baud,
        // and a whole-millisecond poll would add its rounding to every block.
        // While nothing else is due for a while, a client in the middle of an exchange is waited for in its
        // receive instead of a poll; everything is still polled every few milliseconds (new clients, discovery
        // probes, the stop file).
        bool handled = false;
        if (wake - now >= std::chrono::milliseconds(5) && now < nextFullPoll) {
            for (PollParticipant* participant : participants) {
                if (participant->ReadWithoutPoll(now)) {
                    handled = true;
                    break;
                }
            }
        }
        if (!handled) {
            const long long waitNs =
                std::max<long long>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now).count());
            timespec timeout{static_cast<time_t>(waitNs / 1000000000), static_cast<long>(waitNs % 1000000000)};
            int result = ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
            if (result < 0 && errno != EINTR) {
                reason = std::string("poll failed: ") + std::strerror(errno);
                break;
            }
            if (result < 0) continue;
            now = Clock::now();
            for (PollParticipant* participant : participants) participant->Handle(now, fds);
            nextFullPoll = now + std::chrono::milliseconds(5);
        }
        if (log.Pending() && now - log.PendingSince() >= std::chrono::milliseconds(50)) log.Flush();
    }
    log.Event("exiting: " + reason);
    log.Flush();
    pty.reset();
    if (!options.readyFile.empty()) ::unlink(options.readyFile.c_str());  // tells a waiting parent that we are gone
    return 0;
}
