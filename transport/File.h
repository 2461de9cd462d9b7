// Whole-file access for firmware images and saved logs: one implementation per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// A file opened for reading, shared with other readers.
class InputFile {
public:
    virtual ~InputFile() = default;
    // False when the size cannot be queried (also for things that are not plain files: pipes, devices).
    virtual bool Size(std::uint64_t& size) = 0;
    // One read call at the current position; false on failure. `got` 0 means end of file.
    virtual bool ReadSome(unsigned char* buffer, std::size_t length, std::size_t& got) = 0;
};
// Null when the file cannot be opened (a folder cannot); the system code is then in LastSystemError().
std::unique_ptr<InputFile> OpenInputFile(const std::wstring& path);

// A new, exclusively created file in the folder of `destination` (of the file a symbolic link leads to) that
// takes the destination's place only on Commit, keeping what was set on the old file (mode, owner and group on
// POSIX, the group alone where the owner cannot be kept; attributes, ACL and creation time on Windows). Until
// then an existing destination is untouched; destroying an uncommitted file removes it. A destination the user
// may not write is refused at once. Where no new file can be created in that folder but the destination is
// writable, where the destination has more than one hard link, and where it cannot be renamed over (another
// user's file in a sticky folder), the destination itself is written instead (InPlace): its old content stays
// until the first byte is written. A pipe, terminal or other device, and kStandardOutputName, are written as a
// stream (Stream): blocking, never cut, no rename. On Windows a device name (COM1.log) is refused.
class ReplacementFile {
public:
    virtual ~ReplacementFile() = default;
    // One write call; false on failure. `written` may be less than `length`.
    virtual bool Write(const unsigned char* data, std::size_t length, std::size_t& written) = 0;
    // Pushes the written bytes to the storage device.
    virtual bool Flush() = 0;
    virtual bool Close() = 0;
    // After Close: replaces the destination with the new file in one step. A new file (CreateNewFile) takes
    // the first of its names that is free at that moment and replaces nothing.
    virtual bool Commit() = 0;
    // True once the new content is under the destination's name, also after a Commit that failed in its last
    // step (POSIX: the folder could not be synced).
    virtual bool Committed() const = 0;
    // Where the content goes: the destination, or for a new file the name it took (before Commit, its first).
    virtual std::wstring Destination() const = 0;
    // Where the new file lives until Commit (for tests and diagnostics); the destination when in place.
    virtual std::wstring TemporaryPath() const = 0;
    // True when the destination itself is being written: a failure then leaves it incomplete.
    virtual bool InPlace() const = 0;
    // True for a pipe, a terminal, another device or standard output (also InPlace).
    virtual bool Stream() const = 0;
    // True once the destination itself was changed (in place, from the first write on): after a failure it
    // then holds part of a log.
    virtual bool Changed() const = 0;
    // After a Commit that failed: where the new and the old content were kept, for the user ("the new log
    // is kept as ..."); empty when nothing was left behind. After one that succeeded: a caveat for the user (a
    // folder that could not be opened to sync it), or empty.
    virtual std::string KeptNote() const { return std::string(); }

protected:
    friend void RemovePendingReplacementFiles();
    // Removes the new file now, from any thread, while the owner may still be writing; Commit then fails.
    // Called with ReplacementFileLock() held.
    virtual void Abandon() = 0;
};
// Null when no new file can be created beside the destination; the code is then in LastSystemError().
std::unique_ptr<ReplacementFile> CreateReplacementFile(const std::wstring& destination);
// The names a new file may take, in the order they are tried: attempt 0 first, then 1 where that one is
// taken, and so on. Every name is in the same folder.
using NewFileNames = std::function<std::wstring(unsigned attempt)>;
// A file that must replace nothing (a name chosen to be new): made beside names(0), and on Commit given the
// first of the names that is free at that moment, without replacing: a file that took one of them meanwhile
// (another run, another program) stays as it is. Never in place, never a stream.
std::unique_ptr<ReplacementFile> CreateNewFile(const NewFileNames& names);
// The destination that stands for the program's standard output.
constexpr wchar_t kStandardOutputName[] = L"-";
// True when the last part of `path` is one of the names Windows keeps for devices (CON, PRN, AUX, NUL, COM0-9,
// LPT0-9, CONIN$, CONOUT$), with any extension or a closing colon (COM1:), in any case: such a file is the
// device itself.
bool IsWindowsDeviceName(const std::wstring& path);

// For a program about to end without waiting for the thread that writes a log: removes the new file of every
// replacement not yet committed and makes later CreateReplacementFile calls fail. Any thread may call it.
void RemovePendingReplacementFiles();

// The platform layers' bookkeeping of live replacement files, each call with the lock held. Creation, Close,
// Commit and the destructor hold the lock, so that a removal never meets a half-done rename.
std::mutex& ReplacementFileLock();
bool ReplacementFilesClosed();  // true once RemovePendingReplacementFiles ran: create nothing more
void RegisterReplacementFile(ReplacementFile* file);
void UnregisterReplacementFile(ReplacementFile* file);
