// The record file on POSIX: O_APPEND writes and fsync.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "rollout/RecordFile.h"

namespace {

class PosixRecordFile final : public RecordFile {
public:
    PosixRecordFile(int fd, std::string path, bool cut) : fd_(fd), path_(std::move(path)), cut_(cut) {}
    ~PosixRecordFile() override { ::close(fd_); }

    bool Append(const std::string& line, std::string& error) override {
        const std::string text = cut_ ? "\n" + line : line;
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t wrote = ::write(fd_, text.data() + done, text.size() - done);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) return Failed(wrote < 0 ? errno : ENOSPC, error);
            done += static_cast<size_t>(wrote);
        }
        cut_ = false;
        // A pipe or a terminal takes no sync; everything that can hold the record must.
        if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) return Failed(errno, error);
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
};

// True when PATH is a regular file whose last byte is not a line end (an earlier run's line was cut).
bool EndsCut(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    char last = '\n';
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        ::pread(fd, &last, 1, info.st_size - 1) != 1) {
        last = '\n';
    }
    ::close(fd);
    return last != '\n';
}

}  // namespace

std::unique_ptr<RecordFile> OpenRecordFile(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "Cannot open the record " + path + " for appending: " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<PosixRecordFile>(fd, path, EndsCut(path));
}
