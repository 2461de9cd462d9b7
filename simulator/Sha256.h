// SHA-256 for the simulator's report of what it stored (FIPS 180-4), small and dependency-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    Sha256();
    void Update(const unsigned char* data, size_t length);
    // Lower-case hex digest; the object must not be updated afterwards.
    std::string FinishHex();

private:
    void Block(const unsigned char* block);

    std::uint32_t state_[8];
    unsigned char buffer_[64];
    size_t buffered_ = 0;
    std::uint64_t totalBytes_ = 0;
};

std::string Sha256Hex(const unsigned char* data, size_t length);
