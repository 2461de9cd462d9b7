// A process-wide limit on the size of files written, so tests can make the system refuse a write half-way.
#pragma once

#include <cstdint>

class FileSizeLimit {
public:
    // Writes that would take a file past `bytes` fail (instead of raising a signal) while this lives.
    explicit FileSizeLimit(std::uint64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    // False where the platform offers no such limit (tests then skip).
    bool Active() const { return active_; }

private:
    bool active_ = false;
    std::uint64_t saved_[2] = {0, 0};
    void* savedHandler_ = nullptr;
};
