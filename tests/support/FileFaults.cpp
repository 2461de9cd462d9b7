// Failures injected into the file layer through the calls it makes: the system's calls, some made to fail.
#include "support/FileFaults.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "transport/FileCalls.h"

namespace {

class FaultyFileCalls final : public FileCalls {
public:
    explicit FaultyFileCalls(const FileFaults& faults) : faults_(faults), system_(SystemFileCalls()) {}

    long Read(FileHandle file, unsigned char* buffer, std::size_t length) override {
        std::uint64_t done = Count(file);
        if (done >= faults_.inputEndsAfter) return 0;
        if (faults_.inputEndsAfter - done < length) length = static_cast<std::size_t>(faults_.inputEndsAfter - done);
        const long n = system_.Read(file, buffer, length);
        if (n > 0) Add(file, static_cast<std::uint64_t>(n));
        return n;
    }
    long Write(FileHandle file, const unsigned char* data, std::size_t length) override {
        if (faults_.writeFailsAfter != FileFaults::kNever && Count(file) + length > faults_.writeFailsAfter) {
            return Fail(FileFault::Io), -1;
        }
        const long n = system_.Write(file, data, length);
        if (n > 0) Add(file, static_cast<std::uint64_t>(n));
        return n;
    }
    bool Sync(FileHandle file) override { return faults_.failFlush ? Fail(FileFault::Io) : system_.Sync(file); }
    bool Close(FileHandle file) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            counts_.erase(file);
        }
        const bool closed = system_.Close(file);
        return faults_.failClose ? Fail(FileFault::Io) : closed;
    }
    FileHandle CreateNew(const std::wstring& path, unsigned int mode) override {
        if (faults_.failCreate || faults_.refuseNewFileBeside) return Fail(FileFault::AccessDenied), kNoFile;
        return system_.CreateNew(path, mode);
    }
    FileHandle OpenToWrite(const std::wstring& path) override {
        if (faults_.failCreate) return Fail(FileFault::AccessDenied), kNoFile;
        return system_.OpenToWrite(path);
    }
    bool Rename(const std::wstring& from, const std::wstring& to) override {
        if (faults_.failCommit || faults_.failMoveAfterReplace) return Fail(FileFault::Io);
        return system_.Rename(from, to);
    }
    bool RenameNoReplace(const std::wstring& from, const std::wstring& to) override {
        if (faults_.failCommit) return Fail(FileFault::Io);
        if (faults_.noReplaceRenameRefused) return Fail(FileFault::RenameRefused);
        return system_.RenameNoReplace(from, to);
    }
    bool HardLink(const std::wstring& from, const std::wstring& to) override {
        if (faults_.failCommit) return Fail(FileFault::Io);
        if (faults_.hardLinkRefused) return Fail(FileFault::LinkRefused);
        return system_.HardLink(from, to);
    }
    bool Replace(const std::wstring& replaced, const std::wstring& replacement, const std::wstring& backup) override {
        if (faults_.failCommit) return Fail(FileFault::Io);
        if (faults_.replaceFailsWith != 0) return ImitateFailedReplace(faults_.replaceFailsWith, replaced, backup);
        return system_.Replace(replaced, replacement, backup);
    }
    bool SyncFolder(const std::wstring& folder) override {
        return faults_.failFolderSync ? Fail(FileFault::Io) : system_.SyncFolder(folder);
    }

private:
    static bool Fail(FileFault fault) {
        LeaveFileFaultCode(fault);
        return false;
    }
    std::uint64_t Count(FileHandle file) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = counts_.find(file);
        return found == counts_.end() ? 0 : found->second;
    }
    void Add(FileHandle file, std::uint64_t bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        counts_[file] += bytes;
    }

    const FileFaults faults_;
    FileCalls& system_;
    std::mutex mutex_;
    // Bytes read or written so far, per open file.
    std::map<FileHandle, std::uint64_t> counts_;
};

bool AnyFault(const FileFaults& f) {
    return f.inputEndsAfter != FileFaults::kNever || f.failCreate || f.refuseNewFileBeside ||
           f.writeFailsAfter != FileFaults::kNever || f.failFlush || f.failClose || f.failCommit ||
           f.replaceFailsWith != 0 || f.failMoveAfterReplace || f.noReplaceRenameRefused || f.hardLinkRefused ||
           f.failFolderSync;
}

}  // namespace

void SetFileFaults(const FileFaults& faults) {
    // Files opened under earlier faults keep using them: every set of calls lives to the end of the tests.
    static std::mutex mutex;
    static auto* kept = new std::vector<std::unique_ptr<FaultyFileCalls>>;
    std::lock_guard<std::mutex> lock(mutex);
    if (!AnyFault(faults)) {
        InstallFileCalls(nullptr);
        return;
    }
    kept->push_back(std::make_unique<FaultyFileCalls>(faults));
    InstallFileCalls(kept->back().get());
}
