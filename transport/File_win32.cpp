// File access on Windows: CreateFileW/GetFileSizeEx/ReadFile for firmware; for saved logs a new file beside the
// real one plus ReplaceFileW (MoveFileExW for a new name), or the file itself where no new file can be made,
// or standard output as a stream. Device names are refused.
#include <windows.h>

#include <atomic>

#include "transport/File.h"
#include "transport/FileCalls.h"
#include "transport/Transport.h"

namespace {

HANDLE Handle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle Of(HANDLE handle) { return reinterpret_cast<FileHandle>(handle); }

class WinFileCalls final : public FileCalls {
public:
    long Read(FileHandle file, unsigned char* buffer, std::size_t length) override {
        DWORD n = 0;
        if (length > 0x40000000u) length = 0x40000000u;
        return ReadFile(Handle(file), buffer, static_cast<DWORD>(length), &n, nullptr) ? static_cast<long>(n) : -1;
    }
    long Write(FileHandle file, const unsigned char* data, std::size_t length) override {
        DWORD n = 0;
        if (length > 0x40000000u) length = 0x40000000u;
        return WriteFile(Handle(file), data, static_cast<DWORD>(length), &n, nullptr) ? static_cast<long>(n) : -1;
    }
    bool Sync(FileHandle file) override { return FlushFileBuffers(Handle(file)) != 0; }
    bool Close(FileHandle file) override { return CloseHandle(Handle(file)) != 0; }
    FileHandle CreateNew(const std::wstring& path, unsigned int) override {
        return Of(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    FileHandle OpenToWrite(const std::wstring& path) override {
        return Of(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    bool Rename(const std::wstring& from, const std::wstring& to) override {
        return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
    bool RenameNoReplace(const std::wstring& from, const std::wstring& to) override {
        return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    }
    bool HardLink(const std::wstring& from, const std::wstring& to) override {
        return CreateHardLinkW(to.c_str(), from.c_str(), nullptr) != 0;
    }
    bool Replace(const std::wstring& replaced, const std::wstring& replacement, const std::wstring& backup) override {
        return ReplaceFileW(replaced.c_str(), replacement.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                            nullptr, nullptr) != 0;
    }
    // A folder's entries are as durable as the moves that made them (MOVEFILE_WRITE_THROUGH).
    bool SyncFolder(const std::wstring&) override { return true; }
};

class WinInputFile : public InputFile {
public:
    WinInputFile(HANDLE handle, FileCalls& calls) : handle_(handle), calls_(calls) {}
    ~WinInputFile() override { calls_.Close(Of(handle_)); }

    bool Size(std::uint64_t& size) override {
        // Pipes and devices have no size worth trusting; the caller treats them as unreadable.
        if (GetFileType(handle_) != FILE_TYPE_DISK) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        LARGE_INTEGER value;
        if (!GetFileSizeEx(handle_, &value) || value.QuadPart < 0) return false;
        size = static_cast<std::uint64_t>(value.QuadPart);
        return true;
    }

    bool ReadSome(unsigned char* buffer, std::size_t length, std::size_t& got) override {
        got = 0;
        const long n = calls_.Read(Of(handle_), buffer, length);
        if (n < 0) return false;
        got = static_cast<std::size_t>(n);
        return true;
    }

private:
    HANDLE handle_;
    FileCalls& calls_;
};

// The folder part with its closing separator; empty for a bare name (the current folder).
std::wstring FolderOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/:");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// Either a new file beside the destination that replaces it on Commit (ReplaceFileW keeps the old file's
// attributes, ACL and creation time), or for a name chosen to be new the first free one of its names, or
// (where no new file can be made there) the destination itself, written in place and cut to nothing only when
// the first bytes are written. A Commit that fails keeps the new content and says where.
class WinReplacementFile : public ReplacementFile {
public:
    WinReplacementFile(HANDLE handle, std::wstring temporary, std::wstring destination, bool inPlace,
                       bool stream = false, NewFileNames names = nullptr)
        : handle_(handle), temporary_(std::move(temporary)), destination_(std::move(destination)),
          inPlace_(inPlace || stream), stream_(stream), names_(std::move(names)), calls_(CurrentFileCalls()) {}

    ~WinReplacementFile() override {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        UnregisterReplacementFile(this);
        if (handle_ != INVALID_HANDLE_VALUE) calls_.Close(Of(handle_));
        if (!inPlace_ && !committed_ && !abandoned_ && !kept_) DeleteFileW(temporary_.c_str());
    }

    bool Write(const unsigned char* data, std::size_t length, std::size_t& written) override {
        written = 0;
        if (!Truncate()) return false;
        const long n = calls_.Write(Of(handle_), data, length);
        if (n < 0) return false;
        written = static_cast<std::size_t>(n);
        writtenSoFar_ += written;
        return true;
    }

    bool Flush() override {
        if (!Truncate()) return false;
        return calls_.Sync(Of(handle_)) || (inPlace_ && GetFileType(handle_) != FILE_TYPE_DISK);
    }

    bool Close() override {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return calls_.Close(Of(handle));
    }

    bool Commit() override {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        if (handle_ != INVALID_HANDLE_VALUE || committed_) return false;
        if (abandoned_) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return false;
        }
        if (inPlace_) {
            committed_ = true;
            return true;
        }
        if (kept_) return false;
        if (names_) return MoveToNewName();
        // A move that replaces nothing first: where no file has the name, that is the whole commit.
        if (calls_.RenameNoReplace(temporary_, destination_)) {
            committed_ = true;
            return true;
        }
        const DWORD moveCode = GetLastError();
        if (moveCode != ERROR_ALREADY_EXISTS && moveCode != ERROR_FILE_EXISTS) return Keep(moveCode, std::wstring());
        // With a backup name the old file is never just gone: if the replacement fails half-way, it is either
        // still in place or under the backup name.
        const std::wstring backup = temporary_.substr(0, temporary_.size() - 4) + L".bak";
        if (calls_.Replace(destination_, temporary_, backup)) {
            DeleteFileW(backup.c_str());
            committed_ = true;
            return true;
        }
        const DWORD code = GetLastError();
        if (code != ERROR_UNABLE_TO_MOVE_REPLACEMENT && code != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) return Keep(code, backup);
        // The new file is still under its temporary name (1177: the old one under the backup name): a plain
        // move may still put it in place. Otherwise the old file goes back and neither is deleted.
        if (calls_.Rename(temporary_, destination_)) {
            DeleteFileW(backup.c_str());
            committed_ = true;
            return true;
        }
        return Keep(GetLastError(), backup);
    }

    bool Committed() const override { return committed_; }
    std::wstring Destination() const override { return destination_; }
    std::string KeptNote() const override { return note_; }

    std::wstring TemporaryPath() const override { return temporary_; }
    bool InPlace() const override { return inPlace_; }
    bool Stream() const override { return stream_; }
    bool Changed() const override { return stream_ ? writtenSoFar_ > 0 : inPlace_ && truncated_; }

protected:
    // The handle may still be in use by the writing thread: mark the file for deletion through it (it was
    // opened with DELETE access and delete sharing); the last handle to close removes it.
    void Abandon() override {
        if (inPlace_ || committed_ || abandoned_ || kept_) return;
        if (handle_ != INVALID_HANDLE_VALUE) {
            FILE_DISPOSITION_INFO disposition{};
            disposition.DeleteFile = TRUE;
            SetFileInformationByHandle(handle_, FileDispositionInfo, &disposition, sizeof disposition);
        } else {
            DeleteFileW(temporary_.c_str());
        }
        abandoned_ = true;
    }

private:
    // The first of the names that is free now; a name taken since it was chosen is stepped over. A move
    // without MOVEFILE_REPLACE_EXISTING never replaces a file that appeared meanwhile.
    bool MoveToNewName() {
        for (unsigned attempt = 0; attempt < kNewNameAttempts; ++attempt) {
            const std::wstring name = names_(attempt);
            if (calls_.RenameNoReplace(temporary_, name)) {
                destination_ = name;
                committed_ = true;
                return true;
            }
            const DWORD code = GetLastError();
            if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) return Keep(code, std::wstring());
        }
        return Keep(ERROR_FILE_EXISTS, std::wstring());
    }

    // A commit that failed: the new content stays under its temporary name, the old file goes back under its
    // own name where it was left under `backup`, and the note says where each one is. Returns false with
    // `code` as the last error.
    bool Keep(DWORD code, const std::wstring& backup) {
        if (!backup.empty() && GetFileAttributesW(destination_.c_str()) == INVALID_FILE_ATTRIBUTES) {
            MoveFileExW(backup.c_str(), destination_.c_str(), MOVEFILE_WRITE_THROUGH);
        }
        kept_ = true;
        note_ = "the new log is kept as " + WideToUtf8(temporary_);
        if (!backup.empty() && GetFileAttributesW(backup.c_str()) != INVALID_FILE_ATTRIBUTES) {
            note_ += ", the old log as " + WideToUtf8(backup);
        }
        SetLastError(code);
        return false;
    }

    // In place, the old content stays until the new content starts: a download that fails before its first
    // byte leaves the file as it was.
    bool Truncate() {
        if (!inPlace_ || stream_ || truncated_) return true;
        if (GetFileType(handle_) == FILE_TYPE_DISK) {
            LARGE_INTEGER zero{};
            if (!SetFilePointerEx(handle_, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(handle_)) return false;
        }
        truncated_ = true;
        return true;
    }

    static constexpr unsigned kNewNameAttempts = 10000;

    HANDLE handle_;
    std::wstring temporary_;
    std::wstring destination_;
    bool inPlace_;
    bool stream_;
    NewFileNames names_;
    FileCalls& calls_;
    std::uint64_t writtenSoFar_ = 0;
    bool truncated_ = false;
    bool committed_ = false;
    bool kept_ = false;  // a failed replacement left the new content under its temporary name
    std::string note_;
    bool abandoned_ = false;
};

// What the destination is, through any symbolic link: the final path of the file, its link count, whether it
// is a folder. False when it does not exist (or cannot be looked at).
bool InspectDestination(const std::wstring& path, std::wstring& finalPath, DWORD& links, bool& folder) {
    const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle, &info)) {
        links = info.nNumberOfLinks;
        folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n > 0 && n < buffer.size()) {
        finalPath.assign(buffer.data(), n);
        // The plain form where it is short enough, as the user would write it.
        if (finalPath.size() < MAX_PATH) {
            if (finalPath.compare(0, 8, L"\\\\?\\UNC\\") == 0) finalPath = L"\\" + finalPath.substr(7);
            else if (finalPath.compare(0, 4, L"\\\\?\\") == 0) finalPath = finalPath.substr(4);
        }
    }
    CloseHandle(handle);
    return true;
}

// Taken names in a row (left by an earlier process with the same id) before the folder counts as full.
constexpr int kTemporaryNameAttempts = 10000;

unsigned long NextTemporaryNumber() {
    static std::atomic<unsigned long> next{0};
    return next.fetch_add(1);
}

// A new temporary file beside `sibling`, with a short name of its own whatever the length of the sibling's
// name. The number runs on for the whole process, so any number of files may be open at once in one folder;
// names left by an earlier process with the same id are stepped over. INVALID_HANDLE_VALUE with the last
// error set where the folder takes no new file.
HANDLE CreateTemporaryBeside(const std::wstring& sibling, std::wstring& temporary) {
    const std::wstring stem = FolderOf(sibling) + L"~brisklode-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        temporary = stem + std::to_wstring(NextTemporaryNumber()) + L".tmp";
        HANDLE handle = Handle(CurrentFileCalls().CreateNew(temporary, 0));
        if (handle != INVALID_HANDLE_VALUE) return handle;
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

bool MayWrite(const std::wstring& path) {
    // The attribute first: an administrator may open a read-only file for writing on some systems, but it
    // still cannot be replaced.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
}

bool MayWriteInPlace(DWORD code) { return code == ERROR_ACCESS_DENIED || code == ERROR_WRITE_PROTECT; }

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const std::wstring& path) {
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<WinInputFile>(handle, CurrentFileCalls());
}

std::unique_ptr<ReplacementFile> CreateReplacementFile(const std::wstring& destination) {
    if (destination == kStandardOutputName) {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        if (ReplacementFilesClosed()) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return nullptr;
        }
        HANDLE handle = INVALID_HANDLE_VALUE;
        const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        if (output == nullptr || output == INVALID_HANDLE_VALUE ||
            !DuplicateHandle(GetCurrentProcess(), output, GetCurrentProcess(), &handle, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            if (output == nullptr) SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        auto file = std::make_unique<WinReplacementFile>(handle, L"CONOUT$", L"CONOUT$", true, true);
        RegisterReplacementFile(file.get());
        return file;
    }
    if (destination.empty() || destination.back() == L'\\' || destination.back() == L'/') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    // A device under a file's name (COM1.log is the port itself) or in the device namespace would take the
    // log's bytes: refused before anything is asked of the modem.
    if (IsWindowsDeviceName(destination) || destination.compare(0, 4, L"\\\\.\\") == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    std::wstring target = destination;
    DWORD links = 1;
    bool folder = false;
    std::wstring finalPath;
    const bool exists = InspectDestination(destination, finalPath, links, folder);
    if (folder) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    // Through a symbolic link to the file itself, so that the link stays a link.
    if (!finalPath.empty()) target = finalPath;
    // A file the user may not write (read-only, or its ACL says so) stays protected, as a direct write would
    // have found it: known now rather than when the new file is to take its place after the download.
    if (exists && !MayWrite(target)) return nullptr;

    std::lock_guard<std::mutex> lock(ReplacementFileLock());
    if (ReplacementFilesClosed()) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return nullptr;
    }
    auto make = [&](HANDLE handle, const std::wstring& path, bool inPlace) {
        std::unique_ptr<WinReplacementFile> file = std::make_unique<WinReplacementFile>(handle, path, target, inPlace);
        RegisterReplacementFile(file.get());
        return file;
    };
    auto inPlace = [&]() -> std::unique_ptr<ReplacementFile> {
        const HANDLE handle = Handle(CurrentFileCalls().OpenToWrite(target));
        if (handle == INVALID_HANDLE_VALUE) return nullptr;
        return make(handle, target, true);
    };
    // A replaced file would leave the other names of a hard-linked log behind.
    if (exists && links > 1) return inPlace();

    std::wstring temporary;
    HANDLE handle = CreateTemporaryBeside(target, temporary);
    if (handle != INVALID_HANDLE_VALUE) return make(handle, temporary, false);
    const DWORD code = GetLastError();
    // The folder takes no new names, but the file itself may be writable.
    if (exists && code != ERROR_FILE_EXISTS && MayWriteInPlace(code)) return inPlace();
    SetLastError(code);
    return nullptr;
}

std::unique_ptr<ReplacementFile> CreateNewFile(const NewFileNames& names) {
    const std::wstring first = names(0);
    if (IsWindowsDeviceName(first) || first.compare(0, 4, L"\\\\.\\") == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(ReplacementFileLock());
    if (ReplacementFilesClosed()) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return nullptr;
    }
    std::wstring temporary;
    HANDLE handle = CreateTemporaryBeside(first, temporary);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    auto file = std::make_unique<WinReplacementFile>(handle, temporary, first, false, false, names);
    RegisterReplacementFile(file.get());
    return file;
}

FileCalls& SystemFileCalls() {
    static WinFileCalls calls;
    return calls;
}
