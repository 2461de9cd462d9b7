// The codes of injected file failures on Windows (the last error), and what a failed ReplaceFileW leaves.
#include <windows.h>

#include "support/FileFaults.h"

void LeaveFileFaultCode(FileFault fault) {
    switch (fault) {
    case FileFault::Io: SetLastError(ERROR_IO_DEVICE); break;
    case FileFault::AccessDenied: SetLastError(ERROR_ACCESS_DENIED); break;
    case FileFault::RenameRefused:
    case FileFault::LinkRefused: SetLastError(ERROR_NOT_SUPPORTED); break;
    }
}

bool ImitateFailedReplace(unsigned long code, const std::wstring& replaced, const std::wstring& backup) {
    // 1176: with a backup name given, both files keep their names. 1177: the old file is under the backup
    // name, the new one still under its temporary name. Any other code: nothing moved.
    if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) MoveFileExW(replaced.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING);
    SetLastError(code);
    return false;
}
