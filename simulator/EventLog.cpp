// Buffered, line-oriented event log of the simulator.
#include "simulator/EventLog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

std::string RenderBytes(const unsigned char* data, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = data[i];
        if (c == '\r') out += "<CR>";
        else if (c == '\n') out += "<LF>";
        else if (c >= 0x20 && c <= 0x7E) out.push_back(static_cast<char>(c));
        else out += "<" + std::to_string(c) + ">";
    }
    return out;
}

std::string RenderBytes(const std::string& data) {
    return RenderBytes(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

bool EventLog::Open(const std::string& path, std::string& error) {
    if (path.empty()) return true;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot open log file " + path + ": " + std::strerror(errno);
        return false;
    }
    fd_ = fd;
    ownsFd_ = true;
    return true;
}

EventLog::~EventLog() {
    Flush();
    if (ownsFd_) ::close(fd_);
}

void EventLog::Line(const std::string& line) {
    if (buffer_.empty()) pendingSince_ = std::chrono::steady_clock::now();
    buffer_ += line;
    buffer_ += '\n';
    if (buffer_.size() >= 65536) Flush();
}

void EventLog::Flush() {
    size_t done = 0;
    while (done < buffer_.size()) {
        ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // a log that cannot be written must not stop the modem
        done += static_cast<size_t>(n);
    }
    buffer_.clear();
}
