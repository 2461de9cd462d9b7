// Failures injected into the file layer through the calls it makes: the system's calls, some made to fail.
#include "support/FileFaults.h"

#include <map>
#include <mutex>

#include "transport/FileCalls.h"

namespace {

// One for the whole test run (a new one per setting would pile up in a long soak): the faults it applies change
// with SetFileFaults, also for files opened under an earlier setting and still open.
class FaultyFileCalls final : public FileCalls {
public:
    FaultyFileCalls() : system_(SystemFileCalls()) {}

    void Set(const FileFaults& faults) {
        std::lock_guard<std::mutex> lock(mutex_);
        faults_ = faults;
    }

    long Read(FileHandle file, unsigned char* buffer, std::size_t length) override {
        const std::uint64_t endsAfter = Faults().inputEndsAfter;
        const std::uint64_t done = Count(file);
        if (done >= endsAfter) return 0;
        if (endsAfter - done < length) length = static_cast<std::size_t>(endsAfter - done);
        const long n = system_.Read(file, buffer, length);
        if (n > 0) Add(file, static_cast<std::uint64_t>(n));
        return n;
    }
    long Write(FileHandle file, const unsigned char* data, std::size_t length) override {
        const std::uint64_t failsAfter = Faults().writeFailsAfter;
        if (failsAfter != FileFaults::kNever && Count(file) + length > failsAfter) return Fail(FileFault::Io), -1;
        const long n = system_.Write(file, data, length);
        if (n > 0) Add(file, static_cast<std::uint64_t>(n));
        return n;
    }
    bool Sync(FileHandle file) override { return Faults().failFlush ? Fail(FileFault::Io) : system_.Sync(file); }
    bool Close(FileHandle file) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            counts_.erase(file);
        }
        const bool closed = system_.Close(file);
        return Faults().failClose ? Fail(FileFault::Io) : closed;
    }
    FileHandle CreateNew(const std::wstring& path, unsigned int mode) override {
        const FileFaults f = Faults();
        if (f.failCreate || f.refuseNewFileBeside) return Fail(FileFault::AccessDenied), kNoFile;
        return system_.CreateNew(path, mode);
    }
    FileHandle OpenToWrite(const std::wstring& path) override {
        if (Faults().failCreate) return Fail(FileFault::AccessDenied), kNoFile;
        return system_.OpenToWrite(path);
    }
    bool Rename(const std::wstring& from, const std::wstring& to) override {
        const FileFaults f = Faults();
        if (f.failCommit || f.failMoveAfterReplace) return Fail(FileFault::Io);
        return system_.Rename(from, to);
    }
    bool RenameNoReplace(const std::wstring& from, const std::wstring& to) override {
        const FileFaults f = Faults();
        if (f.failCommit) return Fail(FileFault::Io);
        if (f.noReplaceRenameRefused) return Fail(FileFault::RenameRefused);
        return system_.RenameNoReplace(from, to);
    }
    bool HardLink(const std::wstring& from, const std::wstring& to) override {
        const FileFaults f = Faults();
        if (f.failCommit) return Fail(FileFault::Io);
        if (f.hardLinkRefused) return Fail(FileFault::LinkRefused);
        return system_.HardLink(from, to);
    }
    bool Replace(const std::wstring& replaced, const std::wstring& replacement, const std::wstring& backup) override {
        const FileFaults f = Faults();
        if (f.failCommit) return Fail(FileFault::Io);
        if (f.replaceFailsWith != 0) return ImitateFailedReplace(f.replaceFailsWith, replaced, backup);
        return system_.Replace(replaced, replacement, backup);
    }
    bool SyncFolder(const std::wstring& folder) override {
        return Faults().failFolderSync ? Fail(FileFault::Io) : system_.SyncFolder(folder);
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

    FileFaults Faults() {
        std::lock_guard<std::mutex> lock(mutex_);
        return faults_;
    }

    FileFaults faults_;
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
    // Never destroyed: a file may still hold it at exit.
    static auto* calls = new FaultyFileCalls;
    calls->Set(faults);
    InstallFileCalls(AnyFault(faults) ? calls : nullptr);
}
