// The registry of replacement files not yet committed, so that a program ending on a signal leaves none behind.
#include <algorithm>
#include <vector>

#include "transport/File.h"

namespace {
std::mutex g_lock;
std::vector<ReplacementFile*> g_files;
bool g_closed = false;
}  // namespace

std::mutex& ReplacementFileLock() { return g_lock; }

bool ReplacementFilesClosed() { return g_closed; }

void RegisterReplacementFile(ReplacementFile* file) { g_files.push_back(file); }

void UnregisterReplacementFile(ReplacementFile* file) {
    g_files.erase(std::remove(g_files.begin(), g_files.end(), file), g_files.end());
}

void RemovePendingReplacementFiles() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_closed = true;
    for (ReplacementFile* file : g_files) file->Abandon();
    g_files.clear();
}
