// The simulator's generated log content: deterministic bytes from a seed, computable at any offset.
// Header-only so that tests can compute the log they expect without storing it.
#pragma once

#include <cstddef>
#include <cstdint>

inline std::uint64_t GeneratedLogWord(std::uint64_t seed, std::uint64_t wordIndex) {
    // splitmix64 finaliser: every word depends on seed and position, so offsets can be produced in any order.
    std::uint64_t z = seed + (wordIndex + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Bytes [offset, offset + length) of the generated log for `seed`.
inline void FillGeneratedLog(std::uint64_t seed, std::uint64_t offset, unsigned char* out, size_t length) {
    size_t i = 0;
    // Whole words go out eight bytes at a time (logs of hundreds of MiB are streamed from this).
    while (i < length) {
        std::uint64_t position = offset + i;
        std::uint64_t word = GeneratedLogWord(seed, position / 8);
        unsigned first = static_cast<unsigned>(position % 8);
        if (first == 0 && length - i >= 8) {
            for (unsigned byte = 0; byte < 8; ++byte) out[i + byte] = static_cast<unsigned char>(word >> (8 * byte));
            i += 8;
            continue;
        }
        for (unsigned byte = first; byte < 8 && i < length; ++byte, ++i) {
            out[i] = static_cast<unsigned char>(word >> (8 * byte));
        }
    }
}
