// The system's serial driver with a line behind it at a set baud rate, for tests that watch a link's write pieces.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <vector>

#include "transport/SerialDriver.h"

// Bytes leave at the line's rate and the driver tells what it still holds, as a real port does (a
// pseudo-terminal, and Wine's port on one, passes everything on at once and tells nothing). Records every piece
// the link hands over and what was queued ahead of it.
class PacedSerialDriver final : public SerialDriver {
public:
    explicit PacedSerialDriver(unsigned int baud) : bytesPerSecond_(baud / 10) {}

    long Write(SerialPortHandle port, const unsigned char* data, std::size_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::size_t ahead = QueuedNow();
        const long taken = SystemSerialDriver().Write(port, data, length);
        if (taken > 0) {
            queued_ = ahead + static_cast<std::size_t>(taken);
            at_ = Clock::now();
            pieces_.push_back(static_cast<std::size_t>(taken));
            aheadOfPiece_.push_back(ahead);
        }
        return taken;
    }
    std::size_t Queued(SerialPortHandle) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return QueuedNow();
    }

    // Every piece handed over, and what the line still held when it was.
    std::vector<std::size_t> Pieces() {
        std::lock_guard<std::mutex> lock(mutex_);
        return pieces_;
    }
    std::vector<std::size_t> AheadOfPieces() {
        std::lock_guard<std::mutex> lock(mutex_);
        return aheadOfPiece_;
    }

private:
    using Clock = std::chrono::steady_clock;

    std::size_t QueuedNow() const {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - at_).count();
        const auto gone = static_cast<std::size_t>(ms) * bytesPerSecond_ / 1000;
        return gone >= queued_ ? 0 : queued_ - gone;
    }

    std::size_t bytesPerSecond_;
    std::mutex mutex_;
    std::size_t queued_ = 0;
    Clock::time_point at_ = Clock::now();
    std::vector<std::size_t> pieces_;
    std::vector<std::size_t> aheadOfPiece_;
};
