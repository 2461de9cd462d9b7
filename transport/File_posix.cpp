// File access on POSIX: open/fstat/read for firmware, a new file plus fsync and rename for saved logs.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "transport/File.h"
#include "transport/Transport.h"

namespace {

int RetryOpen(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

class PosixInputFile : public InputFile {
public:
    explicit PosixInputFile(int fd) : fd_(fd), endAfter_(FileFaults().inputEndsAfter) {}
    ~PosixInputFile() override { ::close(fd_); }

    bool Size(std::uint64_t& size) override {
        struct stat info;
        if (::fstat(fd_, &info) != 0) return false;
        // Pipes and devices have no size worth trusting; the caller treats them as unreadable.
        if (!S_ISREG(info.st_mode)) {
            errno = EINVAL;
            return false;
        }
        size = static_cast<std::uint64_t>(info.st_size);
        return true;
    }

    bool ReadSome(unsigned char* buffer, std::size_t length, std::size_t& got) override {
        got = 0;
        if (readSoFar_ >= endAfter_) return true;
        if (endAfter_ - readSoFar_ < length) length = static_cast<std::size_t>(endAfter_ - readSoFar_);
        ssize_t n;
        do {
            n = ::read(fd_, buffer, length);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return false;
        got = static_cast<std::size_t>(n);
        readSoFar_ += got;
        return true;
    }

private:
    int fd_;
    std::uint64_t endAfter_;
    std::uint64_t readSoFar_ = 0;
};

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

class PosixReplacementFile : public ReplacementFile {
public:
    PosixReplacementFile(int fd, std::string temporary, std::string destination)
        : fd_(fd), temporary_(std::move(temporary)), destination_(std::move(destination)),
          faults_(FileFaults()) {}

    ~PosixReplacementFile() override {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        UnregisterReplacementFile(this);
        if (fd_ >= 0) ::close(fd_);
        if (!committed_ && !abandoned_) ::unlink(temporary_.c_str());
    }

    bool Write(const unsigned char* data, std::size_t length, std::size_t& written) override {
        written = 0;
        if (faults_.writeFailsAfter != FileFaultsForTesting::kNever &&
            writtenSoFar_ + length > faults_.writeFailsAfter) {
            errno = EIO;
            return false;
        }
        ssize_t n;
        do {
            n = ::write(fd_, data, length);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return false;
        written = static_cast<std::size_t>(n);
        writtenSoFar_ += written;
        return true;
    }

    bool Flush() override {
        if (faults_.failFlush) {
            errno = EIO;
            return false;
        }
        return ::fsync(fd_) == 0;
    }

    bool Close() override {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        const int fd = fd_;
        fd_ = -1;
        const int result = ::close(fd);
        if (faults_.failClose) {
            errno = EIO;
            return false;
        }
        // A close interrupted by a signal has still released the descriptor on Linux; only real errors count.
        return result == 0 || errno == EINTR;
    }

    bool Commit() override {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        if (fd_ >= 0 || committed_) return false;
        if (abandoned_) {
            errno = ECANCELED;
            return false;
        }
        if (faults_.failCommit) {
            errno = EIO;
            return false;
        }
        if (::rename(temporary_.c_str(), destination_.c_str()) != 0) return false;
        committed_ = true;
        // Make the new directory entry durable too; a failure here no longer affects the saved content.
        const int dir = RetryOpen(FolderOf(destination_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        return true;
    }

    std::wstring TemporaryPath() const override { return Utf8ToWide(temporary_); }

protected:
    // The descriptor may stay open in the writing thread: the name goes, the data with the last descriptor.
    void Abandon() override {
        if (committed_ || abandoned_) return;
        ::unlink(temporary_.c_str());
        abandoned_ = true;
    }

private:
    int fd_;
    std::string temporary_;
    std::string destination_;
    FileFaultsForTesting faults_;
    std::uint64_t writtenSoFar_ = 0;
    bool committed_ = false;
    bool abandoned_ = false;
};

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const std::wstring& path) {
    const std::string name = WideToUtf8(path);
    // Non-blocking so that a named pipe cannot hang the open; regular files ignore the flag.
    const int fd = RetryOpen(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return nullptr;
    }
    return std::make_unique<PosixInputFile>(fd);
}

std::unique_ptr<ReplacementFile> CreateReplacementFile(const std::wstring& destination) {
    if (FileFaults().failCreate) {
        errno = EACCES;
        return nullptr;
    }
    const std::string target = WideToUtf8(destination);
    if (target.empty() || target.back() == '/') {
        errno = EISDIR;
        return nullptr;
    }
    const std::string stem = target + "." + std::to_string(static_cast<long>(::getpid())) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temporary = stem + std::to_string(attempt) + ".partial";
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        if (ReplacementFilesClosed()) {
            errno = ECANCELED;
            return nullptr;
        }
        const int fd = RetryOpen(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            std::unique_ptr<PosixReplacementFile> file = std::make_unique<PosixReplacementFile>(fd, temporary, target);
            RegisterReplacementFile(file.get());
            return file;
        }
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}
