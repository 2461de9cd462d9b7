// How much one serial write call hands the driver, and how long that call may take, from the baud rate.
#pragma once

#include <algorithm>
#include <cstddef>

// One write call carries about this much time on the wire: short enough that a port that stops taking data
// is noticed within the stall limit and that a call, slack included, ends within 250 ms of a cancel, long
// enough that the driver is never starved.
constexpr unsigned int kSerialPieceMs = 100;
// The driver's own timeout of one call, beyond the piece's time on the wire.
constexpr unsigned int kSerialPieceSlackMs = 120;

// Bytes per write call at `baudRate` (ten bits a byte with start and stop bit); the whole of `maxPiece` when
// the rate is unknown (0).
constexpr std::size_t SerialWritePiece(unsigned int baudRate, std::size_t maxPiece) {
    if (baudRate == 0) return maxPiece;
    const std::size_t bytes = static_cast<std::size_t>(baudRate) / 10 * kSerialPieceMs / 1000;
    return std::clamp<std::size_t>(bytes, 16, maxPiece);
}

// Milliseconds the piece takes on the wire, rounded up.
constexpr unsigned int SerialPieceMs(std::size_t piece, unsigned int baudRate) {
    return baudRate == 0 ? 0 : static_cast<unsigned int>((piece * 10 * 1000 + baudRate - 1) / baudRate);
}

// The driver's total timeout of one write call: the piece's time plus slack, so that a port that keeps up
// never ends a call by timeout, and never more than the stall limit.
constexpr unsigned int SerialWriteTimeoutMs(std::size_t piece, unsigned int baudRate, unsigned int stallLimitMs) {
    return std::min(stallLimitMs, SerialPieceMs(piece, baudRate) + kSerialPieceSlackMs);
}
