// The safe log save on POSIX keeps what the user set on the file: its mode, a symbolic link, hard links, a long name.
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
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

class LogSavePosix : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        folder_ = fs::temp_directory_path() / ("brisklode-save-" + std::to_string(random()));
        fs::create_directories(folder_ / "real");
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

// Runs `body` in a child process as the user "nobody" with `groups` as its supplementary groups; returns its
// exit status, or -1 when this process cannot act as another user (it is not root).
int AsNobody(const std::vector<gid_t>& groups, const std::function<int()>& body) {
    if (::geteuid() != 0) return -1;
    const struct passwd* nobody = ::getpwnam("nobody");
    const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
    const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) _exit(99);
        _exit(body());
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return 98;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

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
    // A mode the new file would not get by itself.
    ASSERT_EQ(::chmod(secret.c_str(), 0654), 0);
    ASSERT_TRUE(Save(secret, Content(250, 2)));
    ASSERT_EQ(::stat(secret.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0654u);

    // Through a relative symbolic link in another folder: the link stays a link, its target gets the log,
    // and only the log: the old one was longer, and no tail of it may stay.
    const fs::path link = folder_ / "latest.log";
    fs::create_symlink(fs::path("real") / "secret.log", link);
    ASSERT_TRUE(Save(link, Content(150, 3)));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadAll(secret), Content(150, 3));
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

TEST_F(LogSavePosix, AnotherUsersFilesSavedByAnUnprivilegedUser) {
    constexpr gid_t kShared = 4242;  // a group the saving user is a member of
    // A group-writable log of root's group: the saver cannot keep root as owner, but keeps the group.
    const fs::path shared = folder_ / "shared";
    fs::create_directories(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
    const fs::path team = shared / "team.log";
    WriteAll(team, Content(10, 1));
    ASSERT_EQ(::chown(team.c_str(), 0, kShared), 0);
    ASSERT_EQ(::chmod(team.c_str(), 0664), 0);
    // Root's writable log in a sticky folder: it cannot be renamed over, so it is written in place.
    const fs::path sticky = folder_ / "sticky";
    fs::create_directories(sticky);
    ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
    const fs::path open = sticky / "open.log";
    WriteAll(open, Content(10, 2));
    ASSERT_EQ(::chmod(open.c_str(), 0666), 0);
    // Root's read-only log: refused before the modem is asked for anything.
    const fs::path frozen = shared / "frozen.log";
    WriteAll(frozen, Content(10, 3));
    ASSERT_EQ(::chmod(frozen.c_str(), 0444), 0);

    const int status = AsNobody({kShared}, [&]() -> int {
        std::string error;
        if (!SaveModemLogFile(Utf8ToWide(team.string()), Content(100, 4), error)) return 1;
        struct stat info;
        if (::stat(team.c_str(), &info) != 0 || info.st_gid != kShared) return 2;
        if ((info.st_mode & 07777) != 0664) return 3;
        {
            LogFileSink sink;
            if (!sink.Open(Utf8ToWide(open.string()), error) || !sink.InPlace()) return 4;
        }
        if (!SaveModemLogFile(Utf8ToWide(open.string()), Content(100, 5), error)) return 5;
        FakeClock clock;
        ScriptedTransport idle(&clock);
        std::atomic<bool> cancel{false};
        LogFileOutcome outcome;
        if (DownloadModemLogToFile(idle, Utf8ToWide(frozen.string()), cancel, nullptr, outcome, error) != 2) return 6;
        if (error != "Cannot create the selected log file" || !idle.WrittenText().empty()) return 7;
        return 0;
    });
    if (status == -1) GTEST_SKIP() << "needs root to act as an unprivileged user";
    // 1 save of the group's log failed, 2 its group lost, 3 its mode lost, 4 the sticky folder's file not
    // written in place, 5 its save failed, 6/7 the read-only log not refused before the modem was asked.
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadAll(team), Content(100, 4));
    struct stat info;
    ASSERT_EQ(::stat(open.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u) << "written in place, still root's";
    EXPECT_EQ(ReadAll(open), Content(100, 5));
    EXPECT_EQ(ReadAll(frozen), Content(10, 3));
    EXPECT_EQ(Count(shared), 2u);
    EXPECT_EQ(Count(sticky), 1u);
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

TEST_F(LogSavePosix, ANewNameReplacesNothingAndAFolderThatCannotBeSyncedIsReported) {
    const fs::path folder = folder_ / "real";
    const auto names = [&](unsigned n) {
        return Utf8ToWide((folder / ("modem" + (n == 0 ? std::string() : "-" + std::to_string(n + 1)) + ".log")).string());
    };
    // Another run takes the chosen name while the log arrives: the log takes the next name, with the one-step
    // rename, with a hard link where the file system refuses that rename, and with a claimed name where it
    // refuses hard links too.
    for (const int fallback : {0, 1, 2}) {
        SCOPED_TRACE(fallback);
        FileFaults faults;
        faults.noReplaceRenameRefused = fallback >= 1;
        faults.hardLinkRefused = fallback >= 2;
        SetFileFaults(faults);
        std::unique_ptr<ReplacementFile> file = CreateNewFile(names);
        SetFileFaults(FileFaults());
        ASSERT_TRUE(file);
        const Bytes log = Content(3000, 20);
        std::size_t written = 0;
        ASSERT_TRUE(file->Write(log.data(), log.size(), written));
        ASSERT_TRUE(file->Flush() && file->Close());
        WriteAll(folder / "modem.log", Content(10, 21));
        ASSERT_TRUE(file->Commit());
        EXPECT_EQ(WideToUtf8(file->Destination()), (folder / "modem-2.log").string());
        file.reset();
        EXPECT_EQ(ReadAll(folder / "modem.log"), Content(10, 21));
        EXPECT_EQ(ReadAll(folder / "modem-2.log"), log);
        EXPECT_EQ(Count(folder), 2u);
        fs::remove(folder / "modem.log");
        fs::remove(folder / "modem-2.log");
    }

    // The log is under its name, but the folder entry is not yet durable: the save fails and says so.
    FileFaults faults;
    faults.failFolderSync = true;
    SetFileFaults(faults);
    const fs::path path = folder / "synced.log";
    std::string error;
    EXPECT_FALSE(SaveModemLogFile(Utf8ToWide(path.string()), Content(500, 22), error));
    SetFileFaults(FileFaults());
    EXPECT_EQ(error, "Cannot sync the folder of the selected log file (the log is in place as " + path.string() +
                         ", but its folder could not be synced: a power loss may still take it)");
    EXPECT_EQ(ReadAll(path), Content(500, 22));
}

// A drop folder (mode 0333) takes files but cannot be opened to sync its entries: a log written and synced
// there is done, with a note, and not a failure that a resume would download again.
TEST_F(LogSavePosix, ALogInAWriteOnlyFolderIsDoneWithANote) {
    const fs::path drop = folder_ / "drop";
    fs::create_directories(drop);
    fs::permissions(drop, fs::perms::owner_write | fs::perms::owner_exec | fs::perms::group_write |
                              fs::perms::group_exec | fs::perms::others_write | fs::perms::others_exec);
    const fs::path path = drop / "modem.log";
    bool committed = false;
    std::string note;
    // Root reads any folder: this thread alone works as nobody (the file-system user is per thread).
    std::thread saver([&] {
        if (::geteuid() == 0) ::setfsuid(65534);
        std::unique_ptr<ReplacementFile> file = CreateReplacementFile(Utf8ToWide(path.string()));
        if (!file) return;
        const Bytes log = Content(700, 3);
        std::size_t written = 0;
        committed = file->Write(log.data(), log.size(), written) && written == log.size() && file->Flush() &&
                    file->Close() && file->Commit() && file->Committed();
        note = file->KeptNote();
    });
    saver.join();
    EXPECT_TRUE(committed);
    EXPECT_EQ(note, "the log is in place as " + path.string() +
                        "; its folder cannot be read, so its entry could not be synced: a power loss may still take it");
    EXPECT_EQ(ReadAll(path), Content(700, 3));
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
