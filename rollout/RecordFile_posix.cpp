// The record file on POSIX: opened without blocking, O_APPEND writes and fsync, the folder synced on creation.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "rollout/RecordFile.h"
#include "transport/FileCalls.h"

namespace {

class PosixRecordFile final : public RecordFile {
public:
    PosixRecordFile(int fd, std::string path, bool cut)
        : fd_(fd), path_(std::move(path)), cut_(cut), calls_(CurrentFileCalls()) {}
    ~PosixRecordFile() override { calls_.Close(fd_); }

    bool Append(const std::string& line, std::string& error) override {
        const std::string text = cut_ ? "\n" + line : line;
        size_t done = 0;
        while (done < text.size()) {
            const long wrote = calls_.Write(fd_, reinterpret_cast<const unsigned char*>(text.data()) + done,
                                            text.size() - done);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) return Failed(wrote < 0 ? errno : ENOSPC, error);
            done += static_cast<size_t>(wrote);
        }
        cut_ = false;
        // A pipe or a terminal takes no sync; everything that can hold the record must.
        if (!calls_.Sync(fd_) && errno != EINVAL && errno != EROFS) return Failed(errno, error);
        return true;
    }

private:
    bool Failed(int code, std::string& error) const {
        error = "Cannot write the record " + path_ + ": " + std::strerror(code);
        return false;
    }

    int fd_;
    std::string path_;
    bool cut_;
    FileCalls& calls_;  // the file layer's calls, through which a test fails a write or a sync
};

}  // namespace

std::unique_ptr<RecordFile> OpenRecordFile(const std::string& path, std::string& error, bool& refused) {
    refused = false;
    // Without blocking: a FIFO with no reader must not hold the run in open().
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0644);
    const bool created = fd >= 0;
    if (!created && errno == EEXIST) fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = "Cannot open the record " + path + " for appending: " + std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        refused = true;
        error = NotARecordMessage(path, "not a regular file");
        return nullptr;
    }
    bool cut = false;
    if (info.st_size > 0) {
        char head[24] = {};
        const ssize_t got = ::pread(fd, head, sizeof head, 0);
        if (got <= 0 || !StartsAsRecord(std::string(head, static_cast<size_t>(got)))) {
            ::close(fd);
            refused = true;
            error = NotARecordMessage(path, "it does not start with a record line");
            return nullptr;
        }
        char last = '\n';
        cut = ::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
    }
    if (created) {
        // The new name is on the disk only once its folder is synced.
        const size_t slash = path.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool synced = dir >= 0 && (::fsync(dir) == 0 || errno == EINVAL || errno == EROFS);
        const int code = errno;
        if (dir >= 0) ::close(dir);
        if (!synced) {
            ::close(fd);
            ::unlink(path.c_str());
            error = "Cannot sync the folder of the record " + path + ": " + std::strerror(code);
            return nullptr;
        }
    }
    return std::make_unique<PosixRecordFile>(fd, path, cut);
}
