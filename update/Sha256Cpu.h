// The CPU-specific SHA-256 block routine, chosen by the build for the target processor.
#pragma once

#include <cstdint>

#include "update/Sha256.h"

// The 64 round constants, shared by the portable routine and the CPU's.
extern const std::uint32_t kSha256Round[64];

// The routine that uses this CPU's SHA instructions, or null when the CPU (or the build's target) has none.
FirmwareSha256::BlockRoutine Sha256CpuBlockRoutine();
