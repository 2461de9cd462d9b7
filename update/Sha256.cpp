// SHA-256 (FIPS 180-4): a portable word-at-a-time routine, and the CPU's own instructions where it has them.
#include "update/Sha256.h"

#include <algorithm>
#include <cstring>

#include "update/Sha256Cpu.h"

// Aligned for the CPU routine, which loads them four at a time.
alignas(16) const std::uint32_t kSha256Round[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

namespace {

const std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline std::uint32_t Rotr(std::uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t LoadBigEndian(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

// One round; the caller rotates the roles of the eight working words instead of moving them.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, i, w)                                                  \
    do {                                                                                            \
        const std::uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + \
                                 kSha256Round[i] + (w);                                                   \
        const std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c)); \
        d += t1;                                                                                    \
        h = t1 + t2;                                                                                \
    } while (0)

void PortableBlocks(std::uint32_t state[8], const unsigned char* blocks, std::size_t count) {
    for (; count > 0; --count, blocks += 64) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(blocks + 4 * i);
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
#pragma GCC unroll 8
        for (int i = 0; i < 64; i += 8) {
            if (i >= 16) {
                // The schedule lives in a ring of sixteen words, each replaced just before it is used.
#pragma GCC unroll 8
                for (int j = 0; j < 8; ++j) {
                    const int k = (i + j) & 15;
                    const std::uint32_t w15 = w[(k + 1) & 15], w2 = w[(k + 14) & 15];
                    w[k] += (Rotr(w15, 7) ^ Rotr(w15, 18) ^ (w15 >> 3)) + w[(k + 9) & 15] +
                            (Rotr(w2, 17) ^ Rotr(w2, 19) ^ (w2 >> 10));
                }
            }
            const int o = i & 15;
            SHA256_ROUND(a, b, c, d, e, f, g, h, i + 0, w[o + 0]);
            SHA256_ROUND(h, a, b, c, d, e, f, g, i + 1, w[o + 1]);
            SHA256_ROUND(g, h, a, b, c, d, e, f, i + 2, w[o + 2]);
            SHA256_ROUND(f, g, h, a, b, c, d, e, i + 3, w[o + 3]);
            SHA256_ROUND(e, f, g, h, a, b, c, d, i + 4, w[o + 4]);
            SHA256_ROUND(d, e, f, g, h, a, b, c, i + 5, w[o + 5]);
            SHA256_ROUND(c, d, e, f, g, h, a, b, i + 6, w[o + 6]);
            SHA256_ROUND(b, c, d, e, f, g, h, a, i + 7, w[o + 7]);
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#undef SHA256_ROUND

FirmwareSha256::BlockRoutine FastestRoutine() {
    // Asked once: the answer does not change while the process runs.
    static const FirmwareSha256::BlockRoutine routine = [] {
        const FirmwareSha256::BlockRoutine cpu = Sha256CpuBlockRoutine();
        return cpu != nullptr ? cpu : &PortableBlocks;
    }();
    return routine;
}

}  // namespace

FirmwareSha256::FirmwareSha256(Sha256Engine engine)
    : blocks_(engine == Sha256Engine::Portable ? &PortableBlocks : FastestRoutine()) {
    std::memcpy(state_, kInitial, sizeof state_);
}

void FirmwareSha256::Update(const unsigned char* data, std::size_t length) {
    totalBytes_ += length;
    if (buffered_ > 0) {
        const std::size_t take = std::min<std::size_t>(64 - buffered_, length);
        std::memcpy(buffer_ + buffered_, data, take);
        buffered_ += take;
        data += take;
        length -= take;
        if (buffered_ < 64) return;
        blocks_(state_, buffer_, 1);
        buffered_ = 0;
    }
    // Whole blocks straight from the caller's bytes, without a copy.
    const std::size_t whole = length / 64;
    if (whole > 0) blocks_(state_, data, whole);
    data += whole * 64;
    length -= whole * 64;
    std::memcpy(buffer_, data, length);
    buffered_ = length;
}

std::string FirmwareSha256::FinishHex() {
    const std::uint64_t bits = totalBytes_ * 8;
    unsigned char tail[128] = {};
    std::memcpy(tail, buffer_, buffered_);
    tail[buffered_] = 0x80;
    // The length takes the last 8 bytes of the block; a tail of 56 bytes or more needs a second block.
    const std::size_t tailLength = buffered_ < 56 ? 64 : 128;
    for (int i = 0; i < 8; ++i) tail[tailLength - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    blocks_(state_, tail, tailLength / 64);
    static const char kHex[] = "0123456789abcdef";
    std::string hex(64, '0');
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) hex[static_cast<std::size_t>(8 * i + j)] = kHex[(state_[i] >> (28 - 4 * j)) & 0xF];
    }
    return hex;
}

std::string FirmwareSha256Hex(const unsigned char* data, std::size_t length, Sha256Engine engine) {
    FirmwareSha256 sha(engine);
    sha.Update(data, length);
    return sha.FinishHex();
}

bool Sha256HasCpuInstructions() { return Sha256CpuBlockRoutine() != nullptr; }
