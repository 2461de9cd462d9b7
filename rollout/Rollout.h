// A rollout: identify, update, log, inventory (and discover and ports as lists of targets) on one modem or
// many, told through the host's outputs.
#pragma once

#include <atomic>

#include "rollout/Events.h"
#include "rollout/Request.h"

// Runs the request and returns its exit status: 0 when every target is ok or deliberately skipped, 1
// otherwise, 2 on a usage error found late (an unreadable target list, an update of several modems that
// nobody can confirm). `cancel` ends it early; every target still gets its result.
int RunRollout(const RolloutRequest& request, RolloutHost& host, std::atomic<bool>& cancel);
