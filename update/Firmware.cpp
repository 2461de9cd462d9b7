// Firmware images: reading the file whole and building the 256-byte-block transfer image.
#include <cstring>

#include "transport/File.h"
#include "update/Update.h"

namespace {

constexpr std::size_t kReadPiece = 1048576;
constexpr std::size_t kBlockSize = 256;

}  // namespace

bool LoadFirmwareFile(const std::wstring& path, std::vector<unsigned char>& firmware, std::string& error) {
    const std::unique_ptr<InputFile> file = OpenInputFile(path);
    if (!file) {
        error = "Cannot open firmware file";
        return false;
    }
    std::uint64_t size = 0;
    if (!file->Size(size) || size == 0 || size > kMaxFirmwareSize) {
        error = "Firmware file has an invalid size";
        return false;
    }
    firmware.resize(static_cast<std::size_t>(size));
    std::size_t filled = 0;
    while (filled < firmware.size()) {
        const std::size_t left = firmware.size() - filled;
        std::size_t got = 0;
        if (!file->ReadSome(firmware.data() + filled, left < kReadPiece ? left : kReadPiece, got) || got == 0) {
            // A file that shrank or failed mid-way must not leave a truncated image behind.
            firmware.clear();
            firmware.shrink_to_fit();
            error = "Cannot read firmware file";
            return false;
        }
        filled += got;
    }
    return true;
}

bool PrepareFirmware(const std::vector<unsigned char>& firmware, std::vector<unsigned char>& image,
                     std::uint16_t& blockCount, std::string& error) {
    if (firmware.empty() || firmware.size() > kMaxFirmwareSize) {
        error = "Firmware size must be between 1 and " + std::to_string(kMaxFirmwareSize) + " bytes";
        return false;
    }
    const std::size_t blocks = (firmware.size() + kBlockSize - 1) / kBlockSize;
    image.assign(blocks * kBlockSize, 0xFF);
    std::memcpy(image.data(), firmware.data(), firmware.size());
    blockCount = static_cast<std::uint16_t>(blocks);
    return true;
}
