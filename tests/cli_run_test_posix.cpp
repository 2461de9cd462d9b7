// brisklode-cli end to end against the simulator: output, exit codes, Ctrl-C and the files it leaves.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/CliPath.h"
#include "support/Simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

struct CliResult {
    int exitCode = -1;
    std::string out;
    std::string err;
    double seconds = 0;
};

// Runs brisklode-cli without a terminal; sends `signal` once `trigger` (when given) shows in its stderr.
// With `slowReaderMs`, its stdout is read as a slow reader would: 4 KiB at a time with that pause between.
CliResult RunCli(const std::vector<std::string>& args, const std::string& trigger = "", int signal = SIGINT,
                 int slowReaderMs = 0, int signalDelayMs = 0) {
    int outPipe[2], errPipe[2];
    EXPECT_EQ(pipe(outPipe), 0);
    EXPECT_EQ(pipe(errPipe), 0);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        close(outPipe[0]);
        close(errPipe[0]);
        std::vector<std::string> all = {CliPath()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    CliResult result;
    bool interrupted = false;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, 60000) <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            if (i == 0 && slowReaderMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(slowReaderMs));
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
        }
        if (!trigger.empty() && !interrupted && result.err.find(trigger) != std::string::npos) {
            // A delay lets the program pass from the step the trigger names into the wait that follows it.
            if (signalDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(signalDelayMs));
            kill(pid, signal);
            interrupted = true;
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::vector<unsigned char> RandomBytes(size_t size) {
    std::vector<unsigned char> data(size);
    std::mt19937 generator(static_cast<unsigned>(size));
    for (unsigned char& b : data) b = static_cast<unsigned char>(generator());
    return data;
}

void WriteFile(const std::string& path, const std::vector<unsigned char>& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<unsigned char> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

class CliRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (CliPath().empty() || SimulatorPath().empty()) GTEST_SKIP() << "brisklode-cli or the simulator is not built";
    }
    // Starts a simulator with `args`; returns "127.0.0.1:PORT".
    std::string StartSim(const std::vector<std::string>& args) {
        std::string error;
        EXPECT_TRUE(sim.Start(args, error)) << error;
        return "127.0.0.1:" + std::to_string(sim.TelnetPort());
    }
    SimulatorProcess sim;
};

TEST_F(CliRun, IdentifyPrintsModelFirmwareAndReply) {
    const std::string target = StartSim({"--type", "U", "--firmware", "7.31"});
    const CliResult r = RunCli({"--telnet", target, "identify"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Torvanix / VX-4410"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("7.31"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("#0:U#1:7.31"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("<CR>"), std::string::npos) << "the reply is rendered readably: " << r.out;
}

TEST_F(CliRun, ClosedPortFailsAtOnceWithTheRefusedText) {
    const std::string target = StartSim({});
    sim.Stop();  // nothing listens on that port any more
    const CliResult r = RunCli({"--telnet", target, "identify"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Cannot connect to " + target + ": Connection refused"), std::string::npos) << r.err;
    EXPECT_LT(r.seconds, 4.0) << "a refused connection must not wait for the 5 s connect bound";
}

TEST_F(CliRun, SilentModemTimesOutWithTheQuitMessage) {
    const std::string target = StartSim({"--silent"});
    const CliResult r = RunCli({"--telnet", target, "identify"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("QUIT did not return the modem at " + target +
                         " to the cmd: menu (no data received): No answer from the modem within 5 s while waiting for "
                         "\"cmd: \"\n"),
              std::string::npos)
        << r.err;
    EXPECT_GT(r.seconds, 4.5);
    EXPECT_LT(r.seconds, 15.0);
}

TEST_F(CliRun, UsageErrorsExitWithTwo) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--telnet", ":3000", "identify"},
                                               {"--telnet", "127.0.0.1:0", "identify"},
                                               {"--telnet", "127.0.0.1:65536", "identify"},
                                               {"--bogus"},
                                               {"--telnet", "127.0.0.1:3000", "identify", "--record", "--yes"},
                                               {}}) {
        const CliResult r = RunCli(args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        // One line that says what is wrong, one that says where to read more: never the whole help.
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
        EXPECT_NE(r.err.find("see brisklode-cli "), std::string::npos) << r.err;
    }
    const CliResult extra = RunCli({"--telnet", "127.0.0.1:3000", "update", "fw.qz7", "fw2.qz7", "--json"});
    EXPECT_EQ(extra.exitCode, 2);
    EXPECT_NE(extra.err.find("Unexpected argument 'fw2.qz7'"), std::string::npos) << extra.err;
    EXPECT_NE(extra.err.find("see brisklode-cli update --help"), std::string::npos) << extra.err;
    EXPECT_EQ(extra.out.rfind("{\"event\":\"error\",\"message\":\"Unexpected argument", 0), 0u) << extra.out;
    const CliResult help = RunCli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("update FIRMWARE"), std::string::npos);
    const CliResult updateHelp = RunCli({"update", "--help"});
    EXPECT_NE(updateHelp.out.find("--expect-firmware"), std::string::npos);
    EXPECT_EQ(updateHelp.out.find("discover [--timeout"), std::string::npos) << "the help of one command";
}

TEST_F(CliRun, FirmwareThatIsNoFileIsCalledWhatItIs) {
    char folder[] = "/tmp/brisklode-fw-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string pipe = std::string(folder) + "/pipe.qz7", missing = std::string(folder) + "/missing.qz7";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    for (const auto& [path, text] : std::vector<std::pair<std::string, std::string>>{
             {folder, "Firmware " + std::string(folder) + " is a folder"},
             {pipe, "Firmware " + pipe + " is not a regular file"},
             {missing, "Cannot open firmware file " + missing + ": No such file or directory"}}) {
        const CliResult r = RunCli({"--telnet", "127.0.0.1:9", "update", path});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(text + "\n"), std::string::npos) << r.err;
    }
    std::filesystem::remove_all(folder);
}

TEST_F(CliRun, FastUpdateStoresThePaddedImage) {
    const std::string target = StartSim({"--image-file", sim.NativePath("stored.bin")});
    const std::vector<unsigned char> firmware = RandomBytes(200000);
    WriteFile(sim.LocalPath("fw.qz7"), firmware);
    const CliResult r = RunCli({"--telnet", target, "update", sim.LocalPath("fw.qz7")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Checksum OK on Modem"), std::string::npos);
    std::vector<unsigned char> expected = firmware;
    expected.resize((firmware.size() + 255) / 256 * 256, 0xFF);
    ASSERT_TRUE(sim.WaitForLog("image stored"));
    EXPECT_EQ(ReadFile(sim.LocalPath("stored.bin")), expected);
    EXPECT_NE(r.err.find("Verifying on modem"), std::string::npos) << "plain progress lines without a terminal";
    // The plan checks the identity, and the apply connects and checks it again at the target's turn; the update
    // goes on from the menu that check left the modem at: one QUIT for each of the two links, none more.
    const std::string log = sim.ReadLog();
    size_t quits = 0;
    for (size_t at = log.find("rx QUIT"); at != std::string::npos; at = log.find("rx QUIT", at + 1)) ++quits;
    EXPECT_EQ(quits, 2u) << log;
}

TEST_F(CliRun, MissingFastTransferFollowsTheLegacyChoice) {
    const std::string target = StartSim({"--no-updfast", "--image-file", sim.NativePath("stored.bin")});
    const std::vector<unsigned char> firmware = RandomBytes(1000);
    WriteFile(sim.LocalPath("fw.qz7"), firmware);

    // Without a terminal, "ask" means no; the refusal is said once.
    CliResult r = RunCli({"--telnet", target, "update", sim.LocalPath("fw.qz7")});
    EXPECT_EQ(r.exitCode, 1);
    const std::string refusal = "UPDFAST is not supported by this modem firmware";
    const size_t first = r.err.find(refusal);
    EXPECT_NE(first, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(refusal, first + 1), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(sim.LocalPath("stored.bin")));

    r = RunCli({"--telnet", target, "update", sim.LocalPath("fw.qz7"), "--legacy", "yes"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Final modem checksum status unavailable"), std::string::npos) << r.out;
    ASSERT_TRUE(sim.WaitForLog("image stored"));
    std::vector<unsigned char> expected = firmware;
    expected.resize(1024, 0xFF);
    EXPECT_EQ(ReadFile(sim.LocalPath("stored.bin")), expected);
}

TEST_F(CliRun, FaultsEndWithTheirMessageAndFailure) {
    const struct {
        std::vector<std::string> knobs;
        std::string message;
    } cases[] = {
        {{"--reject-size"}, "Modem rejected the firmware size"},
        {{"--bad-checksum"}, "Checksum ERROR on Modem"},
        {{"--reject-frame", "1"}, "Modem rejected a transfer frame"},
        {{"--bad-header"}, "Unexpected modem update header"},
    };
    for (const auto& c : cases) {
        SimulatorProcess faulty;
        std::string error;
        ASSERT_TRUE(faulty.Start(c.knobs, error)) << error;
        WriteFile(faulty.LocalPath("fw.qz7"), RandomBytes(140000));
        const CliResult r =
            RunCli({"--telnet", "127.0.0.1:" + std::to_string(faulty.TelnetPort()), "update", faulty.LocalPath("fw.qz7")});
        EXPECT_EQ(r.exitCode, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("Checksum OK"), std::string::npos);
    }
}

TEST_F(CliRun, CtrlCDuringVerificationCancelsTheUpdate) {
    const std::string target = StartSim({"--verify-delay", "20000"});
    WriteFile(sim.LocalPath("fw.qz7"), RandomBytes(70000));
    const CliResult r = RunCli({"--telnet", target, "update", sim.LocalPath("fw.qz7")}, "Verifying on modem");
    EXPECT_EQ(r.exitCode, 130);
    // The whole image was sent: the modem may well install it, and the user must hear so.
    EXPECT_NE(r.err.find("cancelled after the whole image was sent; the modem may install it: check its version"),
              std::string::npos)
        << r.err;
    EXPECT_LT(r.seconds, 12.0) << "cancellation must not wait for the modem's verdict";
}

TEST_F(CliRun, LogIsSavedByteForByteFastAndLegacy) {
    for (const char* mode : {"fast", "legacy"}) {
        SimulatorProcess modem;
        std::string error;
        ASSERT_TRUE(modem.Start({"--log-mode", mode, "--log-size", "300000", "--log-seed", "5"}, error)) << error;
        const std::string out = modem.LocalPath("saved.log");
        const CliResult r = RunCli({"--telnet", "127.0.0.1:" + std::to_string(modem.TelnetPort()), "log", out});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::vector<unsigned char> saved = ReadFile(out);
        EXPECT_EQ(saved.size(), std::string(mode) == "fast" ? 300000u : (300000u + 255) / 256 * 256);
        EXPECT_NE(r.out.find(std::string(mode) == "fast" ? "fast protocol" : "legacy 256-byte protocol"), std::string::npos)
            << r.out;
        // The same seed and size give the same bytes: a second download must match the first exactly.
        const std::string again = modem.LocalPath("again.log");
        ASSERT_EQ(RunCli({"--telnet", "127.0.0.1:" + std::to_string(modem.TelnetPort()), "log", again}).exitCode, 0);
        EXPECT_EQ(ReadFile(again), saved);
    }
    // An existing folder with one modem: the log goes into it, named as with several modems.
    {
        SimulatorProcess modem;
        std::string error;
        ASSERT_TRUE(modem.Start({"--log-size", "5000"}, error)) << error;
        const std::string folder = modem.LocalPath("logs");
        ASSERT_TRUE(std::filesystem::create_directory(folder));
        const std::string port = std::to_string(modem.TelnetPort());
        const CliResult r = RunCli({"--telnet", "127.0.0.1:" + port, "log", folder});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(ReadFile(folder + "/127.0.0.1_" + port + ".log").size(), 5000u) << r.err;
    }
    // A log with a second hard link is written in place, so both names show the new log; the CLI says so.
    SimulatorProcess modem;
    std::string error;
    ASSERT_TRUE(modem.Start({"--log-size", "70000", "--log-seed", "6"}, error)) << error;
    const std::string out = modem.LocalPath("linked.log");
    const std::string other = modem.LocalPath("other-name.log");
    WriteFile(out, RandomBytes(10));
    ASSERT_EQ(link(out.c_str(), other.c_str()), 0);
    const CliResult r = RunCli({"--telnet", "127.0.0.1:" + std::to_string(modem.TelnetPort()), "log", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find(out + " was written in place"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(other).size(), 70000u);
    EXPECT_EQ(ReadFile(other), ReadFile(out));
}

TEST_F(CliRun, LogToStandardOutputFeedsASlowReaderAsAStream) {
    SimulatorProcess modem;
    std::string error;
    ASSERT_TRUE(modem.Start({"--log-size", "300000", "--log-seed", "8"}, error)) << error;
    const std::string target = "127.0.0.1:" + std::to_string(modem.TelnetPort());
    const std::string reference = modem.LocalPath("reference.log");
    ASSERT_EQ(RunCli({"--telnet", target, "log", reference}).exitCode, 0);
    const std::vector<unsigned char> expected = ReadFile(reference);
    ASSERT_EQ(expected.size(), 300000u);
    // Far more than a pipe holds: the writes wait for the reader instead of failing, and stdout carries the
    // log alone. /dev/stdout leads to the same pipe, not to a file named after it.
    for (const char* destination : {"-", "/dev/stdout"}) {
        SCOPED_TRACE(destination);
        const CliResult r = RunCli({"--telnet", target, "log", destination}, "", SIGINT, 5);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(std::vector<unsigned char>(r.out.begin(), r.out.end()) == expected)
            << r.out.size() << " bytes on stdout; " << r.err;
        EXPECT_NE(r.err.find("Modem log saved"), std::string::npos) << r.err;
        EXPECT_FALSE(Exists("-")) << "a file named -";
    }
    // A regular file behind standard output is a stream too: appended to, never replaced.
    const std::string collected = modem.LocalPath("collected.txt");
    WriteFile(collected, {'e', 'a', 'r', 'l', 'y', '\n'});
    const std::string command = "'" + CliPath() + "' --telnet " + target + " log /dev/stdout >> '" + collected + "' 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::vector<unsigned char> both = {'e', 'a', 'r', 'l', 'y', '\n'};
    both.insert(both.end(), expected.begin(), expected.end());
    EXPECT_TRUE(ReadFile(collected) == both) << ReadFile(collected).size() << " bytes";
}

TEST_F(CliRun, SignalDuringLogDownloadSendsEscAndWritesNoFile) {
    // A log long enough to be still arriving when the signal lands: chunk reads themselves are not
    // interrupted, the flag is seen between chunks, so the chunks must keep coming.
    for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        SCOPED_TRACE(status);
        SimulatorProcess modem;
        std::string error;
        ASSERT_TRUE(modem.Start({"--log-mode", "fast", "--log-size", "134217728"}, error)) << error;
        const std::string out = modem.LocalPath("partial.log");
        const CliResult r = RunCli({"--telnet", "127.0.0.1:" + std::to_string(modem.TelnetPort()), "log", out},
                                   "KiB / 128.0 MiB", signal);
        EXPECT_EQ(r.exitCode, status) << r.err;
        EXPECT_NE(r.err.find("Log download cancelled"), std::string::npos) << r.err;
        EXPECT_FALSE(Exists(out));
        EXPECT_TRUE(modem.WaitForLog("ESC")) << modem.ReadLog();
    }
}

TEST_F(CliRun, SigtermDuringAStalledLogLeavesTheOldFileAndNoTemporaryFile) {
    // The modem stops inside chunk 2: the download sits in a 15 s chunk read that does not see the flag,
    // while the log is being written beside the destination.
    const std::string target = StartSim({"--log-mode", "fast", "--log-size", "1000000", "--log-stall-chunk", "2"});
    const std::string out = sim.LocalPath("kept.log");
    const std::vector<unsigned char> original = RandomBytes(1234);
    WriteFile(out, original);
    const CliResult r = RunCli({"--telnet", target, "log", out}, "KiB / ", SIGTERM);
    EXPECT_EQ(r.exitCode, 143) << r.err;
    EXPECT_EQ(r.err.find("from the modem within"), std::string::npos) << "it waited for the chunk's own deadline";
    EXPECT_EQ(ReadFile(out), original);
    for (const auto& entry : std::filesystem::directory_iterator(sim.Folder())) {
        EXPECT_EQ(entry.path().filename().string().find(".brisklode-"), std::string::npos) << entry.path();
    }
}

TEST_F(CliRun, SignalWhileASilentModemIsReturnedToItsMenuGivesTheLogItsResult) {
    // The modem never answers QUIT: the wait for its menu ends on the signal, not after the grace.
    const std::string target = StartSim({"--silent"});
    const CliResult r = RunCli({"--telnet", target, "log", sim.Folder()}, "Returning modem to cmd: menu", SIGINT);
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_NE(r.err.find("Log download cancelled"), std::string::npos) << r.err;
    for (const auto& entry : std::filesystem::directory_iterator(sim.Folder())) {
        EXPECT_EQ(entry.path().filename().string().find(".brisklode-"), std::string::npos) << entry.path();
    }
}

TEST_F(CliRun, SigtermEndsAnIdentityCheckThatIgnoresCancellation) {
    // The modem never answers QUIT: the identity check would wait its 5 s and fail with status 1.
    const std::string target = StartSim({"--silent"});
    const CliResult r = RunCli({"--telnet", target, "identify"}, "Connecting to", SIGTERM, 0, 500);
    EXPECT_EQ(r.exitCode, 143) << r.err;
    // The check itself ends on the signal and reports it, rather than being cut off after the grace.
    EXPECT_NE(r.err.find("Cancelled during the identity check of telnet " + target), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Terminated"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("QUIT did not return"), std::string::npos) << "it waited for the step's own timeout";
}

}  // namespace
