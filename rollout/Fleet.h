// brisklode-cli on many modems: targets, parallel workers, confirmation, reboot check, inventory.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "cli/Args.h"
#include "cli/FleetOutput.h"

// Runs identify, update, log (one target or many), inventory, and discover and ports with --json.
// Returns 0 when every target is ok or deliberately skipped, 1 otherwise, 2 on a usage error found late
// (an unreadable target list, an update of several modems without a terminal and without --yes).
int RunFleet(const CliOptions& options, std::atomic<bool>& cancel);

// The whole --targets / --discovered / --telnet / --serial set of a run, in that order, without
// repeats; discovery filters applied. False with a message (a usage error) when the list is bad.
// Discovery ends early once `cancel` is set.
bool ResolveTargets(const CliOptions& options, std::vector<CliTarget>& targets, std::string& error, bool& usage,
                    const std::atomic<bool>* cancel = nullptr);

// The modems that answer the discovery probe, sorted by address and port.
std::vector<CliTarget> DiscoverTargets(std::uint32_t timeoutMs, std::string& error, const std::atomic<bool>* cancel = nullptr);
