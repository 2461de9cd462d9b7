// Processors without a SHA-256 routine of their own: the portable one does the work.
#include "update/Sha256Cpu.h"

FirmwareSha256::BlockRoutine Sha256CpuBlockRoutine() { return nullptr; }
