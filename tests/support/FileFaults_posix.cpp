// The codes of injected file failures on POSIX (errno).
#include <cerrno>

#include "support/FileFaults.h"

void LeaveFileFaultCode(FileFault fault) {
    switch (fault) {
    case FileFault::Io: errno = EIO; break;
    case FileFault::AccessDenied: errno = EACCES; break;
    case FileFault::RenameRefused: errno = EINVAL; break;
    case FileFault::LinkRefused: errno = EPERM; break;
    }
}

bool ImitateFailedReplace(unsigned long, const std::wstring&, const std::wstring&) {
    errno = ENOTSUP;
    return false;
}
