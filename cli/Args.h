// Command-line parsing of brisklode-cli: the link options, the subcommand and its arguments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rollout/Request.h"

// The command line: the rollout it asks for, and what only the command line knows (how to show the run).
struct CliOptions : RolloutRequest {
    bool help = false;
    bool version = false;
    // The link: exactly one of telnetHost / serialPort is set for commands that talk to a modem; they mirror
    // the first of `targets`.
    std::string telnetHost;
    std::uint16_t telnetPort = 3000;
    std::string serialPort;
    bool json = false;
    bool csv = false;                    // inventory only

    // The station: where units are plugged in, how many it takes, how long a new port settles.
    std::vector<std::string> portPatterns;  // --ports, each value split at commas
    unsigned maxUnits = 0;                  // 0: until Ctrl-C
    unsigned settleMs = 1000;
    unsigned stationParallel = 0;           // --parallel for the station; 0: every port at once

    // True when the run goes through the run of targets (one target is a run of one): every command but
    // discover and ports without JSON, which only print what they found.
    bool Fleet() const;
};

// False with a usage message when the arguments do not form a valid invocation.
bool ParseCommandLine(const std::vector<std::string>& args, CliOptions& options, std::string& error);

// Every long option the command line knows ("--telnet", ...).
std::vector<std::string> OptionNames();
// True for identify, update, log, discover, inventory, ports and station.
bool IsCommandName(const std::string& word);
// The --help text: of every command, or of one.
std::string UsageText(const std::string& command = std::string());
