// The rollout on the command line: its outputs, the terminal's questions and the signals' closer.
#pragma once

#include <atomic>

#include "cli/Args.h"

// Runs identify, update, log (one target or many), inventory, and discover and ports with --json, as
// RunRollout does, with the outputs the options ask for.
int RunFleet(const CliOptions& options, std::atomic<bool>& cancel);
