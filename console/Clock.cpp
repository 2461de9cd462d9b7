// The protocol clock: steady_clock, replaceable by tests.
#include "console/Clock.h"

namespace {
MonotonicSource g_source = nullptr;
}

MonotonicClock::time_point MonotonicNow() { return g_source != nullptr ? g_source() : MonotonicClock::now(); }

void SetMonotonicSourceForTesting(MonotonicSource source) { g_source = source; }
