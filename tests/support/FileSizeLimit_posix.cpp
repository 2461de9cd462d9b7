// File size limit on POSIX: RLIMIT_FSIZE with SIGXFSZ ignored, so the write fails with EFBIG.
#include "support/FileSizeLimit.h"

#include <csignal>
#include <sys/resource.h>

FileSizeLimit::FileSizeLimit(std::uint64_t bytes) {
    rlimit current{};
    if (getrlimit(RLIMIT_FSIZE, &current) != 0) return;
    saved_[0] = current.rlim_cur;
    saved_[1] = current.rlim_max;
    if (current.rlim_max != RLIM_INFINITY && current.rlim_max < bytes) return;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    static struct sigaction previous {};
    if (sigaction(SIGXFSZ, &ignore, &previous) != 0) return;
    savedHandler_ = &previous;
    rlimit limited = current;
    limited.rlim_cur = bytes;
    active_ = setrlimit(RLIMIT_FSIZE, &limited) == 0;
}

FileSizeLimit::~FileSizeLimit() {
    rlimit restore{};
    restore.rlim_cur = saved_[0];
    restore.rlim_max = saved_[1];
    if (active_) setrlimit(RLIMIT_FSIZE, &restore);
    if (savedHandler_ != nullptr) sigaction(SIGXFSZ, static_cast<struct sigaction*>(savedHandler_), nullptr);
}
