// The safe log save on POSIX keeps what the user set on the file: its mode, a symbolic link, hard links, a long name.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "modemlog/ModemLog.h"
#include "transport/File.h"
#include "transport/Transport.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Content(std::size_t size, unsigned char seed) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>(seed + i * 7);
    return data;
}

class LogSavePosix : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        folder_ = fs::temp_directory_path() / ("brisklode-save-" + std::to_string(random()));
        fs::create_directories(folder_ / "real");
    }
    void TearDown() override {
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
    static std::size_t Count(const fs::path& folder) {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
    }
    static bool Save(const fs::path& path, const Bytes& log) {
        std::string error;
        const bool ok = SaveModemLogFile(Utf8ToWide(path.string()), log, error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    fs::path folder_;
};

TEST_F(LogSavePosix, ModeSymbolicLinkAndHardLinksSurviveASave) {
    // A private log stays private.
    const fs::path secret = folder_ / "real" / "secret.log";
    WriteAll(secret, Content(100, 1));
    ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
    ASSERT_TRUE(Save(secret, Content(200, 2)));
    struct stat info;
    ASSERT_EQ(::stat(secret.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadAll(secret), Content(200, 2));

    // Through a relative symbolic link in another folder: the link stays a link, its target gets the log.
    const fs::path link = folder_ / "latest.log";
    fs::create_symlink(fs::path("real") / "secret.log", link);
    ASSERT_TRUE(Save(link, Content(300, 3)));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadAll(secret), Content(300, 3));
    EXPECT_EQ(Count(folder_), 2u) << "nothing left beside the link";
    EXPECT_EQ(Count(folder_ / "real"), 1u) << "nothing left beside the target";

    // A hard-linked log: every name shows the new log.
    const fs::path other = folder_ / "other-name.log";
    fs::create_hard_link(secret, other);
    ASSERT_TRUE(Save(secret, Content(400, 4)));
    EXPECT_EQ(ReadAll(other), Content(400, 4));
    EXPECT_EQ(fs::hard_link_count(secret), 2u);
}

TEST_F(LogSavePosix, AReadOnlyLogIsNotReplaced) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write any file";
    const fs::path path = folder_ / "real" / "frozen.log";
    WriteAll(path, Content(40, 9));
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    std::string error;
    EXPECT_FALSE(SaveModemLogFile(Utf8ToWide(path.string()), Content(50, 10), error));
    EXPECT_EQ(error, "Cannot create the selected log file");
    EXPECT_EQ(ReadAll(path), Content(40, 9));
    EXPECT_EQ(Count(folder_ / "real"), 1u);
}

TEST_F(LogSavePosix, ANameNearTheLengthLimitCanBeSaved) {
    const long limit = ::pathconf(folder_.c_str(), _PC_NAME_MAX);
    ASSERT_GT(limit, 20);
    const fs::path path = folder_ / std::string(static_cast<std::size_t>(limit) - 1, 'n');
    ASSERT_TRUE(Save(path, Content(50, 5)));
    WriteAll(path, Content(10, 6));
    ASSERT_TRUE(Save(path, Content(60, 7)));
    EXPECT_EQ(ReadAll(path), Content(60, 7));
}

TEST_F(LogSavePosix, PendingFilesAreRemovedForAProgramThatEnds) {
    // Run in a child: the removal also closes the registry for the rest of the process.
    const fs::path path = folder_ / "real" / "kept.log";
    WriteAll(path, Content(30, 8));
    const pid_t child = ::fork();
    if (child == 0) {
        std::unique_ptr<ReplacementFile> file = CreateReplacementFile(Utf8ToWide(path.string()));
        if (!file) _exit(10);
        const Bytes log = Content(1000, 9);
        std::size_t written = 0;
        if (!file->Write(log.data(), log.size(), written)) _exit(11);
        if (Count(folder_ / "real") != 2) _exit(12);
        RemovePendingReplacementFiles();
        if (Count(folder_ / "real") != 1) _exit(13);
        if (!file->Flush() || !file->Close() || file->Commit()) _exit(14);
        if (CreateReplacementFile(Utf8ToWide((folder_ / "real" / "new.log").string()))) _exit(15);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadAll(path), Content(30, 8));
    EXPECT_EQ(Count(folder_ / "real"), 1u);
}

}  // namespace
