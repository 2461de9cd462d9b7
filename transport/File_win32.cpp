// File access on Windows: CreateFileW/GetFileSizeEx/ReadFile for firmware, a new file plus MoveFileExW for logs.
#include <windows.h>

#include "transport/File.h"

namespace {

class WinInputFile : public InputFile {
public:
    explicit WinInputFile(HANDLE handle) : handle_(handle), endAfter_(FileFaults().inputEndsAfter) {}
    ~WinInputFile() override { CloseHandle(handle_); }

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
        if (readSoFar_ >= endAfter_) return true;
        if (endAfter_ - readSoFar_ < length) length = static_cast<std::size_t>(endAfter_ - readSoFar_);
        if (length > 0x40000000u) length = 0x40000000u;
        DWORD n = 0;
        if (!ReadFile(handle_, buffer, static_cast<DWORD>(length), &n, nullptr)) return false;
        got = n;
        readSoFar_ += got;
        return true;
    }

private:
    HANDLE handle_;
    std::uint64_t endAfter_;
    std::uint64_t readSoFar_ = 0;
};

class WinReplacementFile : public ReplacementFile {
public:
    WinReplacementFile(HANDLE handle, std::wstring temporary, std::wstring destination)
        : handle_(handle), temporary_(std::move(temporary)), destination_(std::move(destination)),
          faults_(FileFaults()) {}

    ~WinReplacementFile() override {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        UnregisterReplacementFile(this);
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        if (!committed_ && !abandoned_) DeleteFileW(temporary_.c_str());
    }

    bool Write(const unsigned char* data, std::size_t length, std::size_t& written) override {
        written = 0;
        if (faults_.writeFailsAfter != FileFaultsForTesting::kNever &&
            writtenSoFar_ + length > faults_.writeFailsAfter) {
            SetLastError(ERROR_IO_DEVICE);
            return false;
        }
        if (length > 0x40000000u) length = 0x40000000u;
        DWORD n = 0;
        if (!WriteFile(handle_, data, static_cast<DWORD>(length), &n, nullptr)) return false;
        written = n;
        writtenSoFar_ += written;
        return true;
    }

    bool Flush() override {
        if (faults_.failFlush) {
            SetLastError(ERROR_IO_DEVICE);
            return false;
        }
        return FlushFileBuffers(handle_) != 0;
    }

    bool Close() override {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        const BOOL closed = CloseHandle(handle);
        if (faults_.failClose) {
            SetLastError(ERROR_IO_DEVICE);
            return false;
        }
        return closed != 0;
    }

    bool Commit() override {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        if (handle_ != INVALID_HANDLE_VALUE || committed_) return false;
        if (abandoned_) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return false;
        }
        if (faults_.failCommit) {
            SetLastError(ERROR_IO_DEVICE);
            return false;
        }
        if (!MoveFileExW(temporary_.c_str(), destination_.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return false;
        }
        committed_ = true;
        return true;
    }

    std::wstring TemporaryPath() const override { return temporary_; }

protected:
    // The handle may still be in use by the writing thread: mark the file for deletion through it (it was
    // opened with DELETE access and delete sharing); the last handle to close removes it.
    void Abandon() override {
        if (committed_ || abandoned_) return;
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
    HANDLE handle_;
    std::wstring temporary_;
    std::wstring destination_;
    FileFaultsForTesting faults_;
    std::uint64_t writtenSoFar_ = 0;
    bool committed_ = false;
    bool abandoned_ = false;
};

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const std::wstring& path) {
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<WinInputFile>(handle);
}

std::unique_ptr<ReplacementFile> CreateReplacementFile(const std::wstring& destination) {
    if (FileFaults().failCreate) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (destination.empty() || destination.back() == L'\\' || destination.back() == L'/') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    const std::wstring stem = destination + L"." + std::to_wstring(GetCurrentProcessId()) + L"-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring temporary = stem + std::to_wstring(attempt) + L".partial";
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        if (ReplacementFilesClosed()) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return nullptr;
        }
        const HANDLE handle = CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            std::unique_ptr<WinReplacementFile> file = std::make_unique<WinReplacementFile>(handle, temporary, destination);
            RegisterReplacementFile(file.get());
            return file;
        }
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) return nullptr;
    }
    return nullptr;
}
