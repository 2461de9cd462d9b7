// Modem system log: the fast and legacy download behind "SYS LOG GETFAST", and saving it without losing a file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "console/Console.h"
#include "transport/Transport.h"

// 2^29: a larger announced fast log is refused before anything is allocated.
constexpr std::uint64_t kMaxFastLogSize = 536870912;

enum class LogDownloadResult : int {
    FastComplete = 0,
    LegacyComplete = 1,
    Failed = 2,
};

// Returns a LogDownloadResult as int.
int DownloadModemLog(ITransport& link, std::vector<unsigned char>& log, std::atomic<bool>& cancel,
                     const ProgressCallback& progress, std::string& error);
// Writes the bytes unchanged. An existing file at `path` is replaced only once the new one is complete.
bool SaveModemLogFile(const std::wstring& path, const std::vector<unsigned char>& log, std::string& error);
