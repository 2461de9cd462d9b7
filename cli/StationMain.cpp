// The station on the command line: the board redrawn in place on a terminal, JSON lines on stdout otherwise.
#include "cli/StationMain.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/StationBoard.h"
#include "cli/Terminal.h"
#include "rollout/Station.h"

namespace {

using Clock = std::chrono::steady_clock;

// The board on stderr: its lines rewritten in place, notes printed above it, the summary on stdout.
class BoardOutput {
public:
    explicit BoardOutput(int columns) : columns_(columns), start_(Clock::now()) {}

    void operator()(const StationEvent& event) {
        board_.Apply(event);
        const Clock::time_point now = Clock::now();
        switch (event.kind) {
            case StationEvent::Kind::Note:
            case StationEvent::Kind::Error:
                Erase();
                std::fprintf(stderr, "%s%s\n", event.port.empty() ? "" : ("[" + event.port + "] ").c_str(), event.text.c_str());
                Draw(now);
                break;
            case StationEvent::Kind::Ready:
                std::fprintf(stderr, "Station: watching %s; Ctrl-C ends it\n", event.text.c_str());
                Draw(now);
                break;
            case StationEvent::Kind::Phase:
                // A transfer reports often; the board need not follow each percent.
                if (now - drawn_ >= std::chrono::milliseconds(200)) Draw(now);
                break;
            case StationEvent::Kind::Summary: {
                Draw(now);
                const StationSummary& s = *event.summary;
                std::printf("Station: %zu units, %zu passed, %zu failed, %zu skipped in %.0f s (%.0f units per hour)\n",
                            s.units, s.passed, s.failed, s.skipped, s.seconds, s.UnitsPerHour());
                std::fflush(stdout);
                break;
            }
            default: Draw(now); break;
        }
    }

private:
    void Erase() {
        for (size_t i = 0; i < lines_; ++i) std::fputs("\x1b[1A\r\x1b[2K", stderr);
        lines_ = 0;
    }
    void Draw(Clock::time_point now) {
        const std::vector<std::string> lines =
            board_.Lines(std::chrono::duration<double>(now - start_).count(), columns_ - 1, true);
        std::string text;
        for (size_t i = 0; i < lines_; ++i) text += "\x1b[1A";
        for (const std::string& line : lines) text += "\r\x1b[2K" + line + "\n";
        // A board that lost rows (never, as rows stay) would leave old lines below: clear to the end.
        text += "\x1b[J";
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
        lines_ = lines.size();
        drawn_ = now;
    }

    StationBoard board_;
    int columns_;
    Clock::time_point start_, drawn_;
    size_t lines_ = 0;
};

}  // namespace

int RunStationCommand(const CliOptions& options, std::atomic<bool>& cancel) {
    StationRequest request;
    request.rollout = options;
    request.rollout.parallel = 1;  // each unit is a rollout of one
    request.portPatterns = options.portPatterns;
    request.parallel = options.stationParallel;
    request.maxUnits = options.maxUnits;
    request.settleMs = options.settleMs;
    if (!options.json && StderrIsTerminal() && EnableTerminalEscapes()) {
        BoardOutput board(TerminalColumns());
        return RunStation(request, [&board](const StationEvent& event) { board(event); }, cancel);
    }
    return RunStation(request, [](const StationEvent& event) {
        const std::string line = StationJson(event);
        if (line.empty()) return;
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }, cancel);
}
