// The file layer's system calls that can fail under a save, behind an interface a test can stand in for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An open file: a descriptor, or a HANDLE on Windows. kNoFile matches -1 and INVALID_HANDLE_VALUE.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// The file layer makes these calls through the installed FileCalls: the system's own unless a test has put
// another in their place. Each call does what the system's does and fails as it fails, its code left where
// the platform keeps it (errno, GetLastError).
class FileCalls {
public:
    virtual ~FileCalls() = default;
    // One read call: the count, 0 at the end, -1.
    virtual long Read(FileHandle file, unsigned char* buffer, std::size_t length) = 0;
    // One write call: the count taken, -1.
    virtual long Write(FileHandle file, const unsigned char* data, std::size_t length) = 0;
    // Pushes the file's written bytes to the storage device (fsync, FlushFileBuffers).
    virtual bool Sync(FileHandle file) = 0;
    // Releases the file, also when it reports a failure.
    virtual bool Close(FileHandle file) = 0;
    // Creates a file that must not exist yet (the new file beside a destination), for writing; POSIX gives it
    // `mode`. kNoFile on failure.
    virtual FileHandle CreateNew(const std::wstring& path, unsigned int mode) = 0;
    // Opens an existing file for writing, without cutting it (a destination written in place). kNoFile on failure.
    virtual FileHandle OpenToWrite(const std::wstring& path) = 0;
    // Puts `from` under the name `to`, replacing a file of that name.
    virtual bool Rename(const std::wstring& from, const std::wstring& to) = 0;
    // Puts `from` under the name `to` only where no file has that name (the system's code for a taken name).
    virtual bool RenameNoReplace(const std::wstring& from, const std::wstring& to) = 0;
    // POSIX: a second name for a file (where no file has it).
    virtual bool HardLink(const std::wstring& from, const std::wstring& to) = 0;
    // Windows: ReplaceFileW, `replaced` kept under `backup` until the end.
    virtual bool Replace(const std::wstring& replaced, const std::wstring& replacement, const std::wstring& backup) = 0;
    // POSIX: makes the folder's entries durable (opens it and syncs it).
    virtual bool SyncFolder(const std::wstring& folder) = 0;
};

// The system's own calls.
FileCalls& SystemFileCalls();
// The calls files opened or created from now on make; null puts the system's back. `calls` must outlive
// every file opened while it is installed.
void InstallFileCalls(FileCalls* calls);
// The calls installed now.
FileCalls& CurrentFileCalls();
