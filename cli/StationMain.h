// The station on the command line: its request from the options, the board on a terminal, JSON lines elsewhere.
#pragma once

#include <atomic>

#include "cli/Args.h"

// Runs the station until `cancel` is set or --max-units is reached; returns its exit status.
int RunStationCommand(const CliOptions& options, std::atomic<bool>& cancel);
