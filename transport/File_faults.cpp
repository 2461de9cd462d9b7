// The injected file faults shared by both platform file layers (all off outside tests).
#include "transport/File.h"

namespace {
FileFaultsForTesting g_faults;
}

void SetFileFaultsForTesting(const FileFaultsForTesting& faults) { g_faults = faults; }

const FileFaultsForTesting& FileFaults() { return g_faults; }
