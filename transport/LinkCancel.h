// The cancel flag inside the links: every wait is cut into slices short enough to look at it in time.
#pragma once

#include <algorithm>
#include <atomic>

// No single wait of a link lasts longer than this while a cancel flag is given, so that a set flag ends
// every connect, read and write well within 250 ms.
constexpr unsigned int kCancelSliceMs = 50;

inline bool IsCancelled(const std::atomic<bool>* cancel) { return cancel != nullptr && cancel->load(); }

// The part of a wait of `leftMs` to make before looking at the flag again (the whole of it without a flag).
inline unsigned int CancelSlice(unsigned int leftMs, const std::atomic<bool>* cancel) {
    return cancel == nullptr ? leftMs : std::min(leftMs, kCancelSliceMs);
}

// The message of a wait ended by the flag.
constexpr char kLinkCancelledText[] = "Cancelled";
