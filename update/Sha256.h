// SHA-256 of firmware images, fast enough to hash the largest image while its links connect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Which compression routine a digest uses: the fastest this CPU offers, or the portable one everywhere.
enum class Sha256Engine { Fastest, Portable };

class FirmwareSha256 {
public:
    explicit FirmwareSha256(Sha256Engine engine = Sha256Engine::Fastest);
    void Update(const unsigned char* data, std::size_t length);
    // Lower-case hex digest; the object must not be updated afterwards.
    std::string FinishHex();

    // Compresses `count` consecutive 64-byte blocks into `state`.
    using BlockRoutine = void (*)(std::uint32_t state[8], const unsigned char* blocks, std::size_t count);

private:
    BlockRoutine blocks_;
    std::uint32_t state_[8];
    unsigned char buffer_[64];
    std::size_t buffered_ = 0;
    std::uint64_t totalBytes_ = 0;
};

std::string FirmwareSha256Hex(const unsigned char* data, std::size_t length,
                              Sha256Engine engine = Sha256Engine::Fastest);

// True when this CPU has SHA instructions that the fastest engine uses.
bool Sha256HasCpuInstructions();
