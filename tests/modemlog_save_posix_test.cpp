// Saving a log when the system itself refuses a write half-way (a file size limit), on POSIX.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/resource.h>

#include "modemlog/ModemLog.h"
#include "transport/Transport.h"

namespace fs = std::filesystem;

TEST(SaveLogPosixTest, RealWriteFailureInTheMiddleKeepsTheExistingFile) {
    std::random_device random;
    const fs::path folder = fs::temp_directory_path() / ("brisklode-fsize-" + std::to_string(random()));
    fs::create_directories(folder);
    const fs::path path = folder / "modem.log";
    const std::vector<unsigned char> original(1000, 'o');
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(original.data()), static_cast<std::streamsize>(original.size()));
    }

    // Writes past 2.5 MiB fail with EFBIG (instead of the signal) for this process until restored.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 5 * 512 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

    std::string error;
    const bool saved_ok = SaveModemLogFile(Utf8ToWide(path.u8string()), std::vector<unsigned char>(6 * 1048576, 'n'),
                                           error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(saved_ok);
    EXPECT_EQ(error, "Cannot write the selected log file");
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(now == original);
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
    fs::remove_all(folder);
}
