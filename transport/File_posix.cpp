// File access on POSIX: open/fstat/read for firmware; for saved logs a new file beside the real one (links
// followed, mode and owner kept) plus fsync and rename, or the file itself where no new file can be made, or a
// stream for pipes, terminals, devices, standard output and the program's own descriptors.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "transport/File.h"
#include "transport/FileCalls.h"
#include "transport/Transport.h"

namespace {

int RetryOpen(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int Fd(FileHandle file) { return static_cast<int>(file); }

void ClearNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

class PosixFileCalls final : public FileCalls {
public:
    long Read(FileHandle file, unsigned char* buffer, std::size_t length) override {
        ssize_t n;
        do {
            n = ::read(Fd(file), buffer, length);
        } while (n < 0 && errno == EINTR);
        return static_cast<long>(n);
    }
    long Write(FileHandle file, const unsigned char* data, std::size_t length) override {
        return static_cast<long>(::write(Fd(file), data, length));
    }
    bool Sync(FileHandle file) override { return ::fsync(Fd(file)) == 0; }
    bool Close(FileHandle file) override { return ::close(Fd(file)) == 0; }
    FileHandle CreateNew(const std::wstring& path, unsigned int mode) override {
        return RetryOpen(WideToUtf8(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
    }
    FileHandle OpenToWrite(const std::wstring& path) override {
        // Non-blocking only for the open: a pipe under the name must not hang it.
        const int fd = RetryOpen(WideToUtf8(path).c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) ClearNonBlocking(fd);
        return fd;
    }
    bool Rename(const std::wstring& from, const std::wstring& to) override {
        return ::rename(WideToUtf8(from).c_str(), WideToUtf8(to).c_str()) == 0;
    }
    bool RenameNoReplace(const std::wstring& from, const std::wstring& to) override {
        return ::renameat2(AT_FDCWD, WideToUtf8(from).c_str(), AT_FDCWD, WideToUtf8(to).c_str(), RENAME_NOREPLACE) == 0;
    }
    bool HardLink(const std::wstring& from, const std::wstring& to) override {
        return ::link(WideToUtf8(from).c_str(), WideToUtf8(to).c_str()) == 0;
    }
    bool Replace(const std::wstring&, const std::wstring&, const std::wstring&) override {
        errno = ENOTSUP;
        return false;
    }
    bool SyncFolder(const std::wstring& folder) override {
        const int dir = RetryOpen(WideToUtf8(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) return false;
        const bool synced = ::fsync(dir) == 0;
        const int code = errno;
        ::close(dir);
        errno = code;
        return synced;
    }
};

class PosixInputFile : public InputFile {
public:
    PosixInputFile(int fd, FileCalls& calls) : fd_(fd), calls_(calls) {}
    ~PosixInputFile() override { calls_.Close(fd_); }

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
        const long n = calls_.Read(fd_, buffer, length);
        if (n < 0) return false;
        got = static_cast<std::size_t>(n);
        return true;
    }

private:
    int fd_;
    FileCalls& calls_;
};

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Puts `from` under the name `to` only where nothing has that name: false with EEXIST when it is taken.
// The one-step rename first; where the file system refuses it, a hard link (made only where no name is);
// where hard links are refused too, the name is claimed with an exclusive create and our own empty file is
// then renamed over.
bool MoveWithoutReplacing(const std::string& from, const std::string& to, FileCalls& calls) {
    const std::wstring wideFrom = Utf8ToWide(from), wideTo = Utf8ToWide(to);
    if (calls.RenameNoReplace(wideFrom, wideTo)) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    if (calls.HardLink(wideFrom, wideTo)) {
        ::unlink(from.c_str());
        return true;
    }
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != EMLINK && errno != ENOSYS) return false;
    const FileHandle claim = calls.CreateNew(wideTo, 0600);
    if (claim == kNoFile) return false;
    calls.Close(claim);
    if (calls.Rename(wideFrom, wideTo)) return true;
    const int code = errno;
    ::unlink(to.c_str());
    errno = code;
    return false;
}

// Either a new file beside the destination, renamed over it on Commit (or, for a name chosen to be new, given
// the first free one of its names), or (where no new file can be made there) the destination itself, written
// in place and cut to nothing only when the first bytes are written, or a stream, written as it is.
class PosixReplacementFile : public ReplacementFile {
public:
    PosixReplacementFile(int fd, std::string temporary, std::string destination, bool inPlace, bool stream,
                         NewFileNames names = nullptr)
        : fd_(fd), temporary_(std::move(temporary)), destination_(std::move(destination)),
          inPlace_(inPlace || stream), stream_(stream), names_(std::move(names)), calls_(CurrentFileCalls()) {}

    ~PosixReplacementFile() override {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        UnregisterReplacementFile(this);
        if (fd_ >= 0) calls_.Close(fd_);
        if (!inPlace_ && !committed_ && !abandoned_) ::unlink(temporary_.c_str());
    }

    bool Write(const unsigned char* data, std::size_t length, std::size_t& written) override {
        written = 0;
        if (!Truncate()) return false;
        long n;
        for (;;) {
            n = calls_.Write(fd_, data, length);
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
        if (!Truncate()) return false;
        // Pipes and devices written in place have nothing to sync.
        return calls_.Sync(fd_) || (inPlace_ && errno == EINVAL);
    }

    bool Close() override {
        std::lock_guard<std::mutex> lock(ReplacementFileLock());
        const int fd = fd_;
        fd_ = -1;
        // A close interrupted by a signal has still released the descriptor on Linux; only real errors count.
        return calls_.Close(fd) || errno == EINTR;
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
            if (inPlace_) {
                committed_ = true;
                return true;
            }
            if (names_) {
                if (!MoveToNewName()) return false;
            } else if (!calls_.Rename(Utf8ToWide(temporary_), Utf8ToWide(destination_))) {
                return false;
            }
            committed_ = true;
        }
        // The new directory entry must be durable too: a log that a power loss can still take is reported.
        bool synced = calls_.SyncFolder(Utf8ToWide(FolderOf(destination_)));
        // A folder we may write but not read (a drop folder, mode 0333) cannot be opened to sync it: the log is
        // whole and under its name, which is all such a folder lets anyone do. Done, with a note.
        if (!synced && (errno == EACCES || errno == EPERM)) {
            note_ = "the log is in place as " + destination_ +
                    "; its folder cannot be read, so its entry could not be synced: a power loss may still take it";
            return true;
        }
        // Some file systems cannot sync a folder at all; their entries are as durable as they get.
        if (!synced && errno == EINVAL) synced = true;
        if (!synced) {
            note_ = "the log is in place as " + destination_ + ", but its folder could not be synced: a power loss may still take it";
        }
        return synced;
    }

    bool Committed() const override { return committed_; }
    std::wstring Destination() const override { return Utf8ToWide(destination_); }
    std::string KeptNote() const override { return note_; }
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
    // The first of the names that is free now; a name taken since it was chosen is stepped over.
    bool MoveToNewName() {
        for (unsigned attempt = 0; attempt < kNewNameAttempts; ++attempt) {
            const std::string name = WideToUtf8(names_(attempt));
            if (MoveWithoutReplacing(temporary_, name, calls_)) {
                destination_ = name;
                return true;
            }
            if (errno != EEXIST) return false;
        }
        errno = EEXIST;
        return false;
    }

    // In place, the old content stays until the new content starts: a download that fails before its first
    // byte leaves the file as it was.
    bool Truncate() {
        if (!inPlace_ || stream_ || truncated_) return true;
        struct stat info;
        if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && ::ftruncate(fd_, 0) != 0) return false;
        truncated_ = true;
        return true;
    }

    static constexpr unsigned kNewNameAttempts = 10000;

    int fd_;
    std::string temporary_;
    std::string destination_;
    bool inPlace_;
    bool stream_;
    NewFileNames names_;
    FileCalls& calls_;
    std::string note_;
    std::uint64_t writtenSoFar_ = 0;
    bool truncated_ = false;
    bool committed_ = false;
    bool abandoned_ = false;
};

// True when `path` is an entry of a descriptor folder of /proc (/proc/PID/fd/N, also reached as /dev/fd/N or
// through /dev/stdout): a link to an open descriptor, whatever that leads to (a pipe, a socket, a regular file
// opened for appending), never a name to put a new file under.
bool IsDescriptorLink(const std::string& path) {
    constexpr long kProcMagic = 0x9fa0;
    const std::string folder = FolderOf(path);
    struct statfs system;
    if (::statfs(folder.c_str(), &system) != 0 || static_cast<long>(system.f_type) != kProcMagic) return false;
    return folder.size() >= 3 && folder.compare(folder.size() - 3, 3, "/fd") == 0;
}

// Follows symbolic links from `path` to the name that holds the data (which need not exist yet), so that the
// new file is made beside the real file and the link itself stays a link. Stops at a descriptor's entry in
// /proc, which is left in `descriptor`.
bool ResolveLinks(std::string path, std::string& resolved, std::string& descriptor) {
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            resolved = path;
            return true;
        }
        if (IsDescriptorLink(path)) {
            descriptor = path;
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

// A descriptor's entry in /proc: for one of ours, that descriptor itself (sharing its offset and its append
// mode, so `log /dev/stdout >> file` appends); for another process's, its file opened for appending.
int OpenDescriptor(const std::string& entry) {
    struct stat folder, own;
    if (::stat(FolderOf(entry).c_str(), &folder) == 0 && ::stat("/proc/self/fd", &own) == 0 &&
        folder.st_dev == own.st_dev && folder.st_ino == own.st_ino) {
        const int number = std::atoi(entry.c_str() + entry.find_last_of('/') + 1);
        const int flags = ::fcntl(number, F_GETFL);
        if (flags < 0) return -1;
        if ((flags & O_ACCMODE) == O_RDONLY) {
            errno = EBADF;
            return -1;
        }
        return ::fcntl(number, F_DUPFD_CLOEXEC, 3);
    }
    const int fd = RetryOpen(entry.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) ClearNonBlocking(fd);
    return fd;
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

bool MayWriteInPlace(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// A stream registered like any replacement file; `open` runs under the registry's lock.
template <typename Open>
std::unique_ptr<ReplacementFile> OpenStream(const Open& open, const std::string& name) {
    std::lock_guard<std::mutex> lock(ReplacementFileLock());
    if (ReplacementFilesClosed()) {
        errno = ECANCELED;
        return nullptr;
    }
    const int fd = open();
    if (fd < 0) return nullptr;
    auto file = std::make_unique<PosixReplacementFile>(fd, name, name, true, true);
    RegisterReplacementFile(file.get());
    return file;
}

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
    return std::make_unique<PosixInputFile>(fd, CurrentFileCalls());
}

std::unique_ptr<ReplacementFile> CreateReplacementFile(const std::wstring& destination) {
    if (destination == kStandardOutputName) return OpenStream([] { return ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3); }, "/dev/stdout");
    const std::string named = WideToUtf8(destination);
    if (named.empty() || named.back() == '/') {
        errno = EISDIR;
        return nullptr;
    }
    std::string target, descriptor;
    if (!ResolveLinks(named, target, descriptor)) return nullptr;
    if (!descriptor.empty()) return OpenStream([&] { return OpenDescriptor(descriptor); }, named);
    struct stat direct;
    const bool stream = ::stat(named.c_str(), &direct) == 0 && !S_ISREG(direct.st_mode) && !S_ISDIR(direct.st_mode);
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
    FileCalls& calls = CurrentFileCalls();
    auto inPlace = [&]() -> std::unique_ptr<ReplacementFile> {
        const FileHandle fd = calls.OpenToWrite(Utf8ToWide(target));
        if (fd == kNoFile) return nullptr;
        return make(Fd(fd), target, true);
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
        const int fd = Fd(calls.CreateNew(Utf8ToWide(temporary), exists ? 0600 : 0666));
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

std::unique_ptr<ReplacementFile> CreateNewFile(const NewFileNames& names) {
    const std::string first = WideToUtf8(names(0));
    std::lock_guard<std::mutex> lock(ReplacementFileLock());
    if (ReplacementFilesClosed()) {
        errno = ECANCELED;
        return nullptr;
    }
    const std::string stem = FolderOf(first) + "/.brisklode-" + std::to_string(static_cast<long>(::getpid())) + "-";
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        const std::string temporary = stem + std::to_string(NextTemporaryNumber()) + ".tmp";
        const int fd = Fd(CurrentFileCalls().CreateNew(Utf8ToWide(temporary), 0666));
        if (fd >= 0) {
            auto file = std::make_unique<PosixReplacementFile>(fd, temporary, first, false, false, names);
            RegisterReplacementFile(file.get());
            return file;
        }
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

FileCalls& SystemFileCalls() {
    static PosixFileCalls calls;
    return calls;
}
