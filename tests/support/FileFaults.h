// Failures injected into the file layer through its FileCalls, so that its real clean-up paths run (tests only).
#pragma once

#include <cstdint>
#include <string>

struct FileFaults {
    static constexpr std::uint64_t kNever = ~std::uint64_t{0};
    std::uint64_t inputEndsAfter = kNever;        // reads report end of file once this many bytes were read
    bool failCreate = false;                      // no file can be created or opened for writing (access denied)
    bool refuseNewFileBeside = false;             // the folder takes no new file (access denied)
    std::uint64_t writeFailsAfter = kNever;       // a write that would pass this many bytes in a file fails
    bool failFlush = false;
    bool failClose = false;                       // the file is closed, but the close reports a failure
    bool failCommit = false;                      // every rename, link or replacement fails
    // Windows: ReplaceFileW fails with this code, leaving the files as the system documents for it (1176,
    // 1177) or as they were (any other code, such as 32 for an old log open in a viewer); and the plain
    // move tried after 1176 or 1177 fails too.
    unsigned long replaceFailsWith = 0;
    bool failMoveAfterReplace = false;
    // POSIX: the rename that replaces nothing is refused as by a file system without it (then a hard link
    // is tried), and the hard link too (then the name is claimed with an exclusive create).
    bool noReplaceRenameRefused = false;
    bool hardLinkRefused = false;
    bool failFolderSync = false;  // POSIX: the folder cannot be synced after the rename
};

// Applies to files opened or created afterwards (and to those still open from an earlier setting); a
// default-constructed value puts the system's calls back for the files opened afterwards.
void SetFileFaults(const FileFaults& faults);

// The platform's side: leaves the code of a failure of this kind where the platform keeps it.
enum class FileFault { Io, AccessDenied, RenameRefused, LinkRefused };
void LeaveFileFaultCode(FileFault fault);
// Windows: what ReplaceFileW leaves behind when it fails with `code`; false with the code left.
bool ImitateFailedReplace(unsigned long code, const std::wstring& replaced, const std::wstring& backup);
