// The file layer's choice of system calls: the system's own, unless a test has installed others.
#include "transport/FileCalls.h"

#include <atomic>

namespace {
std::atomic<FileCalls*> g_installed{nullptr};
}

void InstallFileCalls(FileCalls* calls) { g_installed = calls; }

FileCalls& CurrentFileCalls() {
    FileCalls* calls = g_installed.load();
    return calls != nullptr ? *calls : SystemFileCalls();
}
