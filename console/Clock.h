// The monotonic clock every protocol deadline is measured on; tests may replace it to run deadlines instantly.
#pragma once

#include <chrono>

using MonotonicClock = std::chrono::steady_clock;

// Now on the protocol clock. steady_clock::now() unless a test installed its own source.
MonotonicClock::time_point MonotonicNow();

// Test seam: nullptr restores the real clock. Not thread-safe; install before starting work.
using MonotonicSource = MonotonicClock::time_point (*)();
void SetMonotonicSourceForTesting(MonotonicSource source);
