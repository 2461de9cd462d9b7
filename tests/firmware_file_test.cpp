// Loading firmware files: sizes at and beyond the limits, unreadable paths, files that end early.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "support/FileFaults.h"
#include "transport/File.h"
#include "transport/Transport.h"
#include "update/Update.h"

namespace fs = std::filesystem;

namespace {

// Paths as the core takes them: UTF-16/32 text converted from the path's UTF-8 form, whatever the locale.
std::wstring Wide(const fs::path& path) { return Utf8ToWide(path.u8string()); }

}  // namespace

namespace {

class FirmwareFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        folder_ = fs::temp_directory_path() / ("brisklode-fw-" + std::to_string(random()));
        fs::create_directories(folder_);
    }
    void TearDown() override {
        SetFileFaults(FileFaults());
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    fs::path Write(const std::string& name, const std::vector<unsigned char>& content) {
        const fs::path path = folder_ / fs::u8path(name);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        return path;
    }

    fs::path folder_;
};

std::vector<unsigned char> Pattern(std::size_t size) {
    std::vector<unsigned char> data(size);
    std::uint32_t x = 12345;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 16);
    }
    return data;
}

}  // namespace

TEST_F(FirmwareFileTest, ReadsWholeFilesUpToTheLimit) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{1048577}, std::size_t{16776960}}) {
        const auto content = Pattern(size);
        const fs::path path = Write("image-" + std::to_string(size) + ".qz7", content);
        std::vector<unsigned char> firmware = {1, 2, 3};
        std::string error = "unchanged";
        ASSERT_TRUE(LoadFirmwareFile(Wide(path), firmware, error)) << error;
        EXPECT_EQ(error, "unchanged");
        EXPECT_TRUE(firmware == content) << size;
    }
}

TEST_F(FirmwareFileTest, NonAsciiNames) {
    const auto content = Pattern(300);
    const fs::path path = Write(u8"f\u00efrmw\u00e4re-\u20ac.eFW", content);
    std::vector<unsigned char> firmware;
    std::string error;
    ASSERT_TRUE(LoadFirmwareFile(Wide(path), firmware, error)) << error;
    EXPECT_TRUE(firmware == content);
}

TEST_F(FirmwareFileTest, SizeOutsideTheRangeIsRefused) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{16776961}}) {
        const fs::path path = Write("bad.qz7", std::vector<unsigned char>(size, 0xAB));
        std::vector<unsigned char> firmware;
        std::string error;
        EXPECT_FALSE(LoadFirmwareFile(Wide(path), firmware, error));
        EXPECT_EQ(error, "Firmware file has an invalid size") << size;
    }
}

TEST_F(FirmwareFileTest, PathsThatCannotBeOpened) {
    std::vector<unsigned char> firmware;
    std::string error;
    EXPECT_FALSE(LoadFirmwareFile(Wide(folder_ / "missing.qz7"), firmware, error));
    EXPECT_EQ(error, "Cannot open firmware file");
    error.clear();
    // A folder is not a firmware file on either platform.
    EXPECT_FALSE(LoadFirmwareFile(Wide(folder_), firmware, error));
    EXPECT_EQ(error, "Cannot open firmware file");
    error.clear();
    EXPECT_FALSE(LoadFirmwareFile(L"", firmware, error));
    EXPECT_EQ(error, "Cannot open firmware file");
}

TEST_F(FirmwareFileTest, FileThatEndsEarlyLeavesNothingBehind) {
    const fs::path path = Write("shrinks.qz7", Pattern(3 * 1048576));
    FileFaults faults;
    faults.inputEndsAfter = 1048576 + 17;  // the second read comes up short, the third finds the end
    SetFileFaults(faults);
    std::vector<unsigned char> firmware = {7};
    std::string error;
    EXPECT_FALSE(LoadFirmwareFile(Wide(path), firmware, error));
    EXPECT_EQ(error, "Cannot read firmware file");
    EXPECT_TRUE(firmware.empty());
}

TEST_F(FirmwareFileTest, FileThatIsTruncatedWhileOpen) {
    const fs::path path = Write("truncated.qz7", Pattern(4096));
    // Open as LoadFirmwareFile would, then shrink the file under it: the real system reports the early end.
    std::unique_ptr<InputFile> file = OpenInputFile(Wide(path));
    ASSERT_TRUE(file);
    std::uint64_t size = 0;
    ASSERT_TRUE(file->Size(size));
    EXPECT_EQ(size, 4096u);
    std::error_code ec;
    fs::resize_file(path, 100, ec);
    if (ec) GTEST_SKIP() << "cannot shrink an open file here: " << ec.message();
    std::vector<unsigned char> buffer(4096);
    std::size_t got = 0;
    ASSERT_TRUE(file->ReadSome(buffer.data(), buffer.size(), got));
    EXPECT_EQ(got, 100u);
    ASSERT_TRUE(file->ReadSome(buffer.data(), buffer.size(), got));
    EXPECT_EQ(got, 0u);
}
