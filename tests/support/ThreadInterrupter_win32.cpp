// Thread interruptions on Windows: there are no signals that cut a wait short, so nothing is sent.
#include "support/ThreadInterrupter.h"

bool ThreadInterruptsAvailable() { return false; }

ThreadInterrupter::ThreadInterrupter(unsigned int) {}

ThreadInterrupter::~ThreadInterrupter() = default;

unsigned long ThreadInterrupter::Delivered() { return 0; }
