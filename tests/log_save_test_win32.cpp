// The safe log save on Windows when a replacement or a move fails: the new content is never deleted, a new name never replaces.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "modemlog/ModemLog.h"
#include "support/ScriptedTransport.h"
#include "support/FileFaults.h"
#include "transport/File.h"
#include "transport/Transport.h"

namespace fs = std::filesystem;

namespace {

Bytes Content(std::size_t size, unsigned char seed) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>(seed + i * 7);
    return data;
}

class LogSaveWin32 : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        folder_ = fs::temp_directory_path() / ("brisklode-replace-" + std::to_string(random()));
        fs::create_directories(folder_);
    }
    void TearDown() override {
        SetFileFaults(FileFaults());
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    static Bytes ReadAll(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void WriteAll(const fs::path& path, const Bytes& content) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder_)) names.push_back(entry.path().filename().u8string());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path folder_;
};

TEST_F(LogSaveWin32, AReplacementThatFailsHalfWayNeverLosesEitherLog) {
    const fs::path path = folder_ / "modem.log";
    const Bytes original = Content(300, 1);
    const Bytes log = Content(5000, 2);
    for (const DWORD code : {ERROR_UNABLE_TO_MOVE_REPLACEMENT, ERROR_UNABLE_TO_MOVE_REPLACEMENT_2}) {
        SCOPED_TRACE(code);
        // A plain move puts the new log in place after all.
        WriteAll(path, original);
        FileFaults faults;
        faults.replaceFailsWith = code;
        SetFileFaults(faults);
        std::string error;
        EXPECT_TRUE(SaveModemLogFile(Utf8ToWide(path.u8string()), log, error)) << error;
        EXPECT_TRUE(ReadAll(path) == log);
        EXPECT_EQ(Entries(), std::vector<std::string>{"modem.log"});

        // Where that fails too, the old log is back under its name and the new one is kept and named.
        WriteAll(path, original);
        faults.failMoveAfterReplace = true;
        SetFileFaults(faults);
        EXPECT_FALSE(SaveModemLogFile(Utf8ToWide(path.u8string()), log, error));
        SetFileFaults(FileFaults());
        const std::string prefix = "Cannot create the selected log file (the new log is kept as ";
        ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
        const std::string kept = error.substr(prefix.size(), error.size() - prefix.size() - 1);
        EXPECT_TRUE(ReadAll(fs::u8path(kept)) == log) << kept;
        EXPECT_TRUE(ReadAll(path) == original);
        EXPECT_EQ(Entries().size(), 2u);
        fs::remove(fs::u8path(kept));
    }
}

TEST_F(LogSaveWin32, AnyFailedReplacementKeepsTheNewLogAndANewNameReplacesNothing) {
    // The old log open in a viewer: the replacement fails at once; both logs stay, the new one is named.
    const fs::path path = folder_ / "modem.log";
    const Bytes original = Content(300, 4);
    const Bytes log = Content(4000, 5);
    WriteAll(path, original);
    FileFaults faults;
    faults.replaceFailsWith = ERROR_SHARING_VIOLATION;
    SetFileFaults(faults);
    std::string error;
    EXPECT_FALSE(SaveModemLogFile(Utf8ToWide(path.u8string()), log, error));
    SetFileFaults(FileFaults());
    const std::string prefix = "Cannot create the selected log file (the new log is kept as ";
    ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
    const std::string kept = error.substr(prefix.size(), error.size() - prefix.size() - 1);
    EXPECT_TRUE(ReadAll(fs::u8path(kept)) == log) << kept;
    EXPECT_TRUE(ReadAll(path) == original);
    fs::remove(fs::u8path(kept));

    // A file that takes the chosen name while the log arrives stays; the log takes the next name.
    const auto names = [&](unsigned n) { return (folder_ / ("new-" + std::to_string(n) + ".log")).wstring(); };
    std::unique_ptr<ReplacementFile> file = CreateNewFile(names);
    ASSERT_TRUE(file);
    std::size_t written = 0;
    ASSERT_TRUE(file->Write(log.data(), log.size(), written));
    ASSERT_TRUE(file->Flush() && file->Close());
    WriteAll(folder_ / "new-0.log", original);
    ASSERT_TRUE(file->Commit());
    EXPECT_EQ(file->Destination(), names(1));
    file.reset();
    EXPECT_TRUE(ReadAll(folder_ / "new-0.log") == original);
    EXPECT_TRUE(ReadAll(folder_ / "new-1.log") == log);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"modem.log", "new-0.log", "new-1.log"}));
}

TEST_F(LogSaveWin32, AReadOnlyDestinationIsRefusedBeforeTheModemIsAsked) {
    const fs::path path = folder_ / "frozen.log";
    const Bytes original = Content(40, 3);
    WriteAll(path, original);
    ASSERT_TRUE(SetFileAttributesW(path.wstring().c_str(), FILE_ATTRIBUTE_READONLY));
    FakeClock clock;
    ScriptedTransport idle(&clock);
    std::atomic<bool> cancel{false};
    LogFileOutcome outcome;
    std::string error;
    EXPECT_EQ(DownloadModemLogToFile(idle, path.wstring(), cancel, nullptr, outcome, error), 2);
    EXPECT_EQ(error, "Cannot create the selected log file");
    EXPECT_EQ(idle.WrittenText(), "");
    SetFileAttributesW(path.wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(ReadAll(path) == original);
    EXPECT_EQ(Entries(), std::vector<std::string>{"frozen.log"});
}

}  // namespace
