// The window's log save: a name the dialog chose as new replaces nothing; a clash takes the next free name.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "app/LogSave.h"
#include "transport/Transport.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Saves `log` as the window does for a name the dialog took as new, while a second technician's file appears
// under that name during the download (before the commit).
TEST(AppLogSave, ANameChosenAsNewReplacesNothingAndAClashTakesTheNextFreeName) {
    std::random_device random;
    const fs::path folder = fs::temp_directory_path() / ("brisklode-applog-" + std::to_string(random()));
    fs::create_directories(folder);
    const std::wstring chosen = Utf8ToWide((folder / "Torvanix-system-log.log").string());

    const LogSavePlan plan = PlanLogSave(chosen, false);
    EXPECT_FALSE(plan.replace);
    std::unique_ptr<ReplacementFile> file = CreateNewFile(plan.names);
    ASSERT_TRUE(file);
    const std::string log = "the modem's log";
    std::size_t written = 0;
    ASSERT_TRUE(file->Write(reinterpret_cast<const unsigned char*>(log.data()), log.size(), written));
    std::ofstream(folder / "Torvanix-system-log.log", std::ios::binary) << "another technician's log";
    ASSERT_TRUE(file->Flush() && file->Close() && file->Commit());
    const std::wstring savedAs = file->Destination();
    file.reset();

    EXPECT_EQ(ReadAll(folder / "Torvanix-system-log.log"), "another technician's log");
    EXPECT_EQ(savedAs, Utf8ToWide((folder / "Torvanix-system-log-2.log").string()));
    EXPECT_EQ(ReadAll(folder / "Torvanix-system-log-2.log"), log);
    EXPECT_EQ(LogSavedText(chosen, savedAs, false),
              L"Modem log saved: " + savedAs + L"\n\n" + chosen +
                  L" was created by someone else during the download and was left as it is; the log took the next "
                  L"free name.");
    // A file the dialog asked about is replaced, and the line names only it.
    EXPECT_TRUE(PlanLogSave(chosen, true).replace);
    EXPECT_EQ(LogSavedText(chosen, chosen, true), L"Modem log saved: " + chosen + L" (legacy 256-byte protocol)");
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

}  // namespace
