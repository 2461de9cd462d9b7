// The rollout on the command line: the outputs its options choose, questions on the terminal, and the closer
// that signals reach.
#include "cli/Fleet.h"

#include <cstdio>
#include <memory>
#include <string>

#include "cli/AsyncOutput.h"
#include "cli/FleetOutput.h"
#include "cli/Interrupt.h"
#include "cli/Terminal.h"
#include "rollout/Rollout.h"

namespace {

class CliHost : public RolloutHost {
public:
    explicit CliHost(const CliOptions& options) : options_(options) {}

    // Each output is written by its own thread from a queue: a standard output or error that nobody reads
    // holds only that thread.
    void AddOutputs(RolloutEvents& events, size_t targets) override {
        const auto add = [&events](std::unique_ptr<RolloutOutput> output) {
            events.Add(std::make_unique<AsyncOutput>(std::move(output)));
        };
        if (options_.json) {
            add(std::make_unique<JsonOutput>(stdout));
            add(std::make_unique<FleetOutput>(FleetOutput::Mode::Beside, TerminalColumns(), false));
            return;
        }
        const std::string& command = options_.command;
        const bool single = targets == 1 && (command == "identify" || command == "update" || command == "log");
        if (single) {
            add(std::make_unique<SingleOutput>(StderrIsTerminal(), TerminalColumns()));
            return;
        }
        const bool live = StderrIsTerminal() && EnableTerminalEscapes();
        add(std::make_unique<FleetOutput>(live ? FleetOutput::Mode::Live : FleetOutput::Mode::Plain, TerminalColumns(),
                                          options_.csv));
    }

    bool CanAsk() override { return StdinIsTerminal() && StderrIsTerminal(); }

    Answer Ask(const std::string& question) override {
        std::fputs(question.c_str(), stderr);
        std::fflush(stderr);
        std::string answer;
        const bool answered = ReadInputLine(answer);
        // The prompt gives up on the signal itself, which may be before the main thread sets the flag.
        if (StopCount() > 0) return Answer::Cancelled;
        return answered && (answer == "y" || answer == "Y" || answer == "yes") ? Answer::Yes : Answer::No;
    }

    void ReportFault(const std::string& fault) override {
        std::fprintf(stderr, "brisklode-cli: %s\n", fault.c_str());
        std::fflush(stderr);
    }

    void SetCloser(std::function<int()> closer) override { SetStopCloser(std::move(closer)); }

private:
    const CliOptions& options_;
};

}  // namespace

int RunFleet(const CliOptions& options, std::atomic<bool>& cancel) {
    CliHost host(options);
    return RunRollout(options, host, cancel);
}
