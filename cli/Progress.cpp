// Progress display of the command-line front end.
#include "cli/Progress.h"

#include <cctype>
#include <cstring>

std::string FormatBytes(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 3) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    if (unit == 0) std::snprintf(text, sizeof text, "%.0f B", bytes);
    else std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}

std::string FormatDuration(double seconds) {
    if (seconds < 0) seconds = 0;
    const auto total = static_cast<unsigned long long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", total / 3600, total / 60 % 60, total % 60);
    else std::snprintf(text, sizeof text, "%llu:%02llu", total / 60, total % 60);
    return text;
}

ProgressDisplay::ProgressDisplay(std::FILE* out, bool terminal, int columns)
    : out_(out), terminal_(terminal), columns_(columns) {}

std::string ProgressDisplay::BarLine(int percent, const std::string& stage, std::uint64_t done, std::uint64_t total,
                                     double elapsedSeconds, std::uint64_t firstDone, int columns) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    std::string tail;
    char number[16];
    std::snprintf(number, sizeof number, "%3d%%", percent);
    tail += number;
    if (total > 0) {
        tail += "  " + FormatBytes(static_cast<double>(done)) + " / " + FormatBytes(static_cast<double>(total));
        const double moved = static_cast<double>(done - (done >= firstDone ? firstDone : done));
        if (elapsedSeconds > 0.2 && moved > 0) {
            const double rate = moved / elapsedSeconds;
            tail += "  " + FormatBytes(rate) + "/s";
            if (done < total) tail += "  " + FormatDuration(static_cast<double>(total - done) / rate) + " left";
        }
    }
    std::string label = stage;
    const int barWidth = 24;
    const int room = columns - 1 - barWidth - 3 - static_cast<int>(tail.size()) - 1;
    if (room < 8) label.clear();
    else if (static_cast<int>(label.size()) > room) label = label.substr(0, static_cast<size_t>(room - 3)) + "...";
    const int filled = percent * barWidth / 100;
    std::string line = label.empty() ? std::string() : label + " ";
    line += "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(barWidth - filled), '.') + "] ";
    line += tail;
    if (static_cast<int>(line.size()) < columns - 1) line += std::string(static_cast<size_t>(columns - 1) - line.size(), ' ');
    return line;
}

void ProgressDisplay::Report(int percent, const std::string& stage, const std::string& detail, bool counted,
                             std::uint64_t done, std::uint64_t total) {
    const Clock::time_point now = Clock::now();
    const bool counts = counted;
    if (counts && !haveCounts_) {
        haveCounts_ = true;
        firstDone_ = done;
        firstTime_ = now;
    }
    if (!counts) {
        // Texts without byte counts (stage changes, advice) are worth a line of their own.
        if (!detail.empty() && detail != lastDetail_) {
            if (barShown_) std::fputs("\n", out_);
            barShown_ = false;
            std::fprintf(out_, "%s: %s\n", stage.c_str(), detail.c_str());
            lastDetail_ = detail;
        }
        lastStage_ = stage;
        std::fflush(out_);
        return;
    }
    const double elapsed = std::chrono::duration<double>(now - firstTime_).count();
    if (terminal_) {
        // Redraw at most ten times a second, but always for a new stage or the end.
        if (barShown_ && stage == lastStage_ && done < total && now - lastDraw_ < std::chrono::milliseconds(100)) return;
        std::fputs(("\r" + BarLine(percent, stage, done, total, elapsed, firstDone_, columns_)).c_str(), out_);
        barShown_ = true;
        lastDraw_ = now;
    } else if (stage != lastStage_ || percent >= lastPlainPercent_ + 10 || done == total) {
        std::string line = BarLine(percent, stage, done, total, elapsed, firstDone_, 200);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::fprintf(out_, "%s\n", line.c_str());
        lastPlainPercent_ = percent;
    }
    lastStage_ = stage;
    std::fflush(out_);
}

void ProgressDisplay::Finish() {
    if (barShown_) std::fputs("\n", out_);
    barShown_ = false;
    std::fflush(out_);
}
