// Whole-file access for firmware images and saved logs: one implementation per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// A file opened for reading, shared with other readers.
class InputFile {
public:
    virtual ~InputFile() = default;
    // False when the size cannot be queried.
    virtual bool Size(std::uint64_t& size) = 0;
    // One read call at the current position; false on failure. `got` 0 means end of file.
    virtual bool ReadSome(unsigned char* buffer, std::size_t length, std::size_t& got) = 0;
};
// Null when the file cannot be opened; the system code is then in LastSystemError().
std::unique_ptr<InputFile> OpenInputFile(const std::wstring& path);
