// The simulator's readable log: one line per event, "rx", "tx" or "event" first, bytes rendered printable.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

// Printable rendering: <CR>, <LF>, printable ASCII as is, any other byte as <N> in decimal.
std::string RenderBytes(const unsigned char* data, size_t length);
std::string RenderBytes(const std::string& data);

class EventLog {
public:
    // Empty path: standard error.
    bool Open(const std::string& path, std::string& error);
    ~EventLog();

    void Rx(const std::string& text) { Line("rx " + text); }
    void Tx(const std::string& text) { Line("tx " + text); }
    void Event(const std::string& text) { Line("event " + text); }

    // Lines are buffered so that block-by-block transfers cost no extra system calls;
    // the main loop flushes whenever it has been pending a while (and on exit).
    void Flush();
    bool Pending() const { return !buffer_.empty(); }
    std::chrono::steady_clock::time_point PendingSince() const { return pendingSince_; }

private:
    void Line(const std::string& line);

    int fd_ = 2;
    bool ownsFd_ = false;
    std::string buffer_;
    std::chrono::steady_clock::time_point pendingSince_;
};
