// Progress display of the command-line front end: a bar with rate and time left on a terminal, plain lines otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

// 1536 -> "1.5 KiB", 3 * 2^20 -> "3.0 MiB".
std::string FormatBytes(double bytes);
// Seconds as m:ss or h:mm:ss.
std::string FormatDuration(double seconds);

class ProgressDisplay {
public:
    ProgressDisplay(std::FILE* out, bool terminal, int columns);
    // `counted`: the report counts the transfer's bytes, `done` of `total`.
    void Report(int percent, const std::string& stage, const std::string& detail, bool counted, std::uint64_t done,
                std::uint64_t total);
    // Ends the bar's line so that later messages start on a line of their own.
    void Finish();

    // One bar line for the given state; `elapsed` is the time since the first byte count.
    static std::string BarLine(int percent, const std::string& stage, std::uint64_t done, std::uint64_t total,
                               double elapsedSeconds, std::uint64_t firstDone, int columns);

private:
    using Clock = std::chrono::steady_clock;
    std::FILE* out_;
    bool terminal_;
    int columns_;
    bool barShown_ = false;
    bool haveCounts_ = false;
    std::uint64_t firstDone_ = 0;
    Clock::time_point firstTime_;
    Clock::time_point lastDraw_;
    std::string lastStage_;
    int lastPlainPercent_ = -100;
    std::string lastDetail_;
};
