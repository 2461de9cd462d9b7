// Small helpers shared by the fuzz targets: input slicing and an abort that names the broken invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A failed invariant is a finding: print it and abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

// Consumes the fuzz input from the front; reads past the end give zeros.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    std::string Take(std::size_t n) {
        if (n > size_ - offset_) n = size_ - offset_;
        std::string out(reinterpret_cast<const char*>(data_ + offset_), n);
        offset_ += n;
        return out;
    }
    std::string Rest() { return Take(size_ - offset_); }
    std::size_t Left() const { return size_ - offset_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};
