// File access on POSIX: open/fstat/read for firmware; for saved logs a new file beside the real one (links
// followed, mode and owner kept) plus fsync and rename, or the file itself where no new file can be made, or a
// stream for pipes, terminals, devices and standard output.
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
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

// Either a new file beside the destination, renamed over it on Commit, or (where no new file can be made
// there) the destination itself, written in place and cut to nothing only when the first bytes are written,
// or a stream, written as it is.
class PosixReplacementFile : public ReplacementFile {
public:
    PosixReplacementFile(int fd, std::string temporary, std::string destination, bool inPlace, bool stream)
        : fd_(fd), temporary_(std::move(temporary)), destination_(std::move(destination)),
          inPlace_(inPlace || stream), stream_(stream), faults_(FileFaults()) {}

    ~PosixReplacementFile() override {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        UnregisterReplacementFile(this);
        if (fd_ >= 0) ::close(fd_);
        if (!inPlace_ && !committed_ && !abandoned_) ::unlink(temporary_.c_str());
    }

    bool Write(const unsigned char* data, std::size_t length, std::size_t& written) override {
        written = 0;
        if (!Truncate()) return false;
        if (faults_.writeFailsAfter != FileFaultsForTesting::kNever &&
            writtenSoFar_ + length > faults_.writeFailsAfter) {
            errno = EIO;
            return false;
        }
        ssize_t n;
        for (;;) {
            n = ::write(fd_, data, length);
            if (n >= 0) break;
            if (errno == EINTR) continue;
            // Standard output may have been left non-blocking by whoever started us: wait for the reader.
            if (stream_ && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd ready{fd_, POLLOUT, 0};
                ::poll(&ready, 1, -1);
                continue;
            }
            return false;
        }
        written = static_cast<std::size_t>(n);
        writtenSoFar_ += written;
        return true;
    }

    bool Flush() override {
        if (faults_.failFlush) {
            errno = EIO;
            return false;
        }
        if (!Truncate()) return false;
        // Pipes and devices written in place have nothing to sync.
        return ::fsync(fd_) == 0 || (inPlace_ && errno == EINVAL);
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
        {
            // Only the rename itself under the lock: a program ending on a signal waits for no disk flush.
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
            if (inPlace_) {
                committed_ = true;
                return true;
            }
            if (::rename(temporary_.c_str(), destination_.c_str()) != 0) return false;
            committed_ = true;
        }
        // Make the new directory entry durable too; a failure here no longer affects the saved content.
        const int dir = RetryOpen(FolderOf(destination_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        return true;
    }

    std::wstring TemporaryPath() const override { return Utf8ToWide(temporary_); }
    bool InPlace() const override { return inPlace_; }
    bool Stream() const override { return stream_; }
    bool Changed() const override { return stream_ ? writtenSoFar_ > 0 : inPlace_ && truncated_; }

protected:
    // The descriptor may stay open in the writing thread: the name goes, the data with the last descriptor.
    // A file written in place has no other name to remove.
    void Abandon() override {
        if (inPlace_ || committed_ || abandoned_) return;
        ::unlink(temporary_.c_str());
        abandoned_ = true;
    }

private:
    // In place, the old content stays until the new content starts: a download that fails before its first
    // byte leaves the file as it was.
    bool Truncate() {
        if (!inPlace_ || stream_ || truncated_) return true;
        struct stat info;
        if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && ::ftruncate(fd_, 0) != 0) return false;
        truncated_ = true;
        return true;
    }

    int fd_;
    std::string temporary_;
    std::string destination_;
    bool inPlace_;
    bool stream_;
    FileFaultsForTesting faults_;
    std::uint64_t writtenSoFar_ = 0;
    bool truncated_ = false;
    bool committed_ = false;
    bool abandoned_ = false;
};

// Follows symbolic links from `path` to the name that holds the data (which need not exist yet), so that the
// new file is made beside the real file and the link itself stays a link.
bool ResolveLinks(std::string path, std::string& resolved) {
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            resolved = path;
            return true;
        }
        std::string target(4096, '\0');
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return false;
        target.resize(static_cast<std::size_t>(n));
        path = !target.empty() && target[0] == '/' ? target : FolderOf(path) + "/" + target;
    }
    errno = ELOOP;
    return false;
}

// Taken names in a row (left by an earlier process with the same id) before the folder counts as full.
constexpr int kTemporaryNameAttempts = 10000;

unsigned long NextTemporaryNumber() {
    static std::atomic<unsigned long> next{0};
    return next.fetch_add(1);
}

// In a folder with the sticky bit (as /tmp) only the owner of a file or of the folder may rename over it.
bool StickyFolderKeeps(const std::string& path, const struct stat& file) {
    struct stat folder;
    if (::stat(FolderOf(path).c_str(), &folder) != 0 || (folder.st_mode & S_ISVTX) == 0) return false;
    const uid_t me = ::geteuid();
    return me != 0 && file.st_uid != me && folder.st_uid != me;
}

void ClearNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

bool MayWriteInPlace(int error) { return error == EACCES || error == EPERM || error == EROFS; }

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
    if (destination == kStandardOutputName) {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        if (ReplacementFilesClosed()) {
            errno = ECANCELED;
            return nullptr;
        }
        const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (fd < 0) return nullptr;
        std::unique_ptr<PosixReplacementFile> file =
            std::make_unique<PosixReplacementFile>(fd, "/dev/stdout", "/dev/stdout", true, true);
        RegisterReplacementFile(file.get());
        return file;
    }
    const std::string named = WideToUtf8(destination);
    if (named.empty() || named.back() == '/') {
        errno = EISDIR;
        return nullptr;
    }
    struct stat direct;
    const bool stream = ::stat(named.c_str(), &direct) == 0 && !S_ISREG(direct.st_mode) && !S_ISDIR(direct.st_mode);
    std::string target;
    if (!ResolveLinks(named, target)) return nullptr;
    struct stat old;
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode)) {
        errno = EISDIR;
        return nullptr;
    }
    // A file the user may not write stays protected, as a direct write would have found it.
    if (exists && ::access(target.c_str(), W_OK) != 0) return nullptr;

    std::lock_guard<std::mutex> lock(ReplacementFileLock());
    if (ReplacementFilesClosed()) {
        errno = ECANCELED;
        return nullptr;
    }
    auto make = [&](int fd, const std::string& path, bool inPlace, bool isStream = false) {
        std::unique_ptr<PosixReplacementFile> file =
            std::make_unique<PosixReplacementFile>(fd, path, isStream ? path : target, inPlace, isStream);
        RegisterReplacementFile(file.get());
        return file;
    };
    auto inPlace = [&]() -> std::unique_ptr<ReplacementFile> {
        const int fd = RetryOpen(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return nullptr;
        ClearNonBlocking(fd);
        return make(fd, target, true);
    };
    if (stream) {
        // Opened through the name as given: the kernel's own links (/dev/stdout, /proc/self/fd/N) lead to
        // pipes and sockets that have no path. Non-blocking only for the open, so that a pipe nobody reads
        // fails at once instead of hanging; the writes then wait for the reader.
        const int fd = RetryOpen(named.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return nullptr;
        ClearNonBlocking(fd);
        return make(fd, named, true, true);
    }
    // A renamed file would leave the other names of a hard-linked log (or a device or pipe) behind; and in a
    // sticky folder another user's file cannot be renamed over, which is better known now than after the
    // download.
    if (exists && (!S_ISREG(old.st_mode) || old.st_nlink > 1 || StickyFolderKeeps(target, old))) return inPlace();

    // A short name of its own, whatever the length of the destination's name. The number runs on for the
    // whole process, so any number of files may be open at once in one folder; names left by an earlier
    // process with the same id are stepped over.
    const std::string stem = FolderOf(target) + "/.brisklode-" + std::to_string(static_cast<long>(::getpid())) + "-";
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        const std::string temporary = stem + std::to_string(NextTemporaryNumber()) + ".tmp";
        const int fd = FileFaults().refuseNewFileBeside
                           ? (errno = EACCES, -1)
                           : RetryOpen(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666);
        if (fd >= 0) {
            if (exists) {
                // Owner first (where permitted): a change of owner clears the set-id bits the mode restores.
                // Where another user's file cannot keep its owner, its group still can (we may be a member),
                // so the group keeps the access it had.
                if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
                    [[maybe_unused]] const int grouped = ::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
                }
                ::fchmod(fd, old.st_mode & 07777);
            }
            return make(fd, temporary, false);
        }
        if (errno == EEXIST) continue;
        // The folder takes no new names, but the file itself may be writable.
        if (exists && MayWriteInPlace(errno)) return inPlace();
        return nullptr;
    }
    return nullptr;
}
