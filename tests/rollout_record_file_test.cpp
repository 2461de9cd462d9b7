// The record file on disk: a line counts as written only once the system took all of it and synced it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "rollout/RecordFile.h"
#include "support/FileFaults.h"

namespace fs = std::filesystem;

namespace {

class RecordFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        folder_ = fs::temp_directory_path() / ("brisklode-record-" + std::to_string(random()));
        fs::create_directories(folder_);
        path_ = (folder_ / "rig.jsonl").u8string();
    }
    void TearDown() override {
        SetFileFaults(FileFaults());
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    std::string Text() const {
        std::ifstream in(fs::u8path(path_), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path folder_;
    std::string path_;
};

const std::string kLine = "{\"event\":\"record\",\"target\":\"telnet 198.18.4.10:3000\",\"status\":\"ok\"}\n";

TEST_F(RecordFileTest, ALineIsDoneOnlyOnceSyncedAndAFailedWriteOrSyncIsTheRecordsFailure) {
    std::string error;
    bool refused = false;
    {
        auto file = OpenRecordFile(path_, error, refused);
        ASSERT_NE(file, nullptr) << error;
        ASSERT_TRUE(file->Append(kLine, error)) << error;
    }
    EXPECT_EQ(Text(), kLine);

    // A disk that takes the bytes but not the sync: the line may not be on the disk, so the append fails.
    FileFaults noSync;
    noSync.failFlush = true;
    SetFileFaults(noSync);
    {
        auto file = OpenRecordFile(path_, error, refused);
        ASSERT_NE(file, nullptr) << error;
        error.clear();
        EXPECT_FALSE(file->Append(kLine, error));
        EXPECT_NE(error.find("Cannot write the record " + path_), std::string::npos) << error;
    }

    // A disk that fills within the line.
    FileFaults full;
    full.writeFailsAfter = 10;
    SetFileFaults(full);
    {
        auto file = OpenRecordFile(path_, error, refused);
        ASSERT_NE(file, nullptr) << error;
        error.clear();
        EXPECT_FALSE(file->Append(kLine, error));
        EXPECT_NE(error.find("Cannot write the record"), std::string::npos) << error;
    }
}

}  // namespace
