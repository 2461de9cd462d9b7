// brisklode-cli on several simulated modems at once: every result, the stored images, JSON lines, reboot check, logs.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/CliPath.h"
#include "support/Simulator.h"

namespace {

std::vector<unsigned char> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<unsigned char>& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<unsigned char> RandomBytes(size_t size, unsigned seed) {
    std::vector<unsigned char> data(size);
    std::mt19937 generator(seed);
    for (unsigned char& b : data) b = static_cast<unsigned char>(generator());
    return data;
}

struct CliOutcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the CLI without a terminal (stdin from /dev/null), stdout and stderr captured apart.
CliOutcome RunCli(const std::string& folder, const std::vector<std::string>& args) {
    std::string command = "'" + CliPath() + "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    const std::string out = folder + "/cli.out", err = folder + "/cli.err";
    command += " </dev/null >'" + out + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    CliOutcome run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const std::vector<unsigned char> o = ReadBytes(out), e = ReadBytes(err);
    run.out.assign(o.begin(), o.end());
    run.err.assign(e.begin(), e.end());
    return run;
}

// A flat JSON object (strings, numbers, booleans, null) as key -> value text; false when the line is not one.
bool ParseFlatJson(const std::string& line, std::map<std::string, std::string>& object) {
    size_t i = 0;
    const auto skip = [&]() { while (i < line.size() && line[i] == ' ') ++i; };
    const auto string = [&](std::string& out) {
        if (i >= line.size() || line[i] != '"') return false;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\') {
                if (++i >= line.size()) return false;
                const char c = line[i];
                if (c == 'u') {
                    if (i + 4 >= line.size()) return false;
                    out += static_cast<char>(std::stoi(line.substr(i + 1, 4), nullptr, 16));
                    i += 4;
                } else {
                    out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
                }
            } else if (static_cast<unsigned char>(line[i]) < 0x20) {
                return false;
            } else {
                out += line[i];
            }
        }
        if (i >= line.size()) return false;
        ++i;
        return true;
    };
    skip();
    if (i >= line.size() || line[i++] != '{') return false;
    for (;;) {
        skip();
        std::string key, value;
        if (!string(key)) return false;
        skip();
        if (i >= line.size() || line[i++] != ':') return false;
        skip();
        if (i < line.size() && line[i] == '"') {
            if (!string(value)) return false;
        } else {
            const size_t start = i;
            while (i < line.size() && line[i] != ',' && line[i] != '}') ++i;
            value = line.substr(start, i - start);
            const bool number = !value.empty() && value.find_first_not_of("-0123456789.") == std::string::npos;
            if (!number && value != "true" && value != "false" && value != "null") return false;
        }
        if (object.count(key) != 0) return false;
        object[key] = value;
        skip();
        if (i >= line.size()) return false;
        if (line[i] == ',') {
            ++i;
            continue;
        }
        if (line[i] != '}') return false;
        ++i;
        skip();
        return i == line.size();
    }
}

// Every stdout line must be one JSON object with an "event".
std::vector<std::map<std::string, std::string>> JsonLines(const std::string& out) {
    std::vector<std::map<std::string, std::string>> objects;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::map<std::string, std::string> object;
        EXPECT_TRUE(ParseFlatJson(line, object)) << "not a JSON object: " << line;
        EXPECT_EQ(object.count("event"), 1u) << line;
        objects.push_back(object);
    }
    return objects;
}

class CliFleet : public ::testing::Test {
protected:
    void SetUp() override {
        if (CliPath().empty() || SimulatorPath().empty()) GTEST_SKIP() << "brisklode-cli or the simulator is not built";
    }
    std::string Start(SimulatorProcess& sim, const std::vector<std::string>& args) {
        std::string error;
        EXPECT_TRUE(sim.Start(args, error)) << error;
        return "127.0.0.1:" + std::to_string(sim.TelnetPort());
    }
};

// Six modems, one run: fast update with a new version after the restart, one that comes back unchanged,
// one that never comes back, a failing checksum, a modem of another type, and a legacy-only modem on a
// serial line that restarts. Three at a time.
TEST_F(CliFleet, SixModemsEveryResultStoredImagesJsonAndRebootCheck) {
    SimulatorProcess changed, unchanged, gone, badSum, otherType, serial;
    const std::string stored = "stored.bin";
    const std::string a = Start(changed, {"--image-file", changed.NativePath(stored), "--reboot-ms", "300",
                                          "--firmware-after", "7.3"});
    const std::string b = Start(unchanged, {"--image-file", unchanged.NativePath(stored), "--reboot-ms", "300"});
    const std::string c = Start(gone, {"--image-file", gone.NativePath(stored), "--reboot-ms", "600000"});
    const std::string d = Start(badSum, {"--image-file", badSum.NativePath(stored), "--bad-checksum"});
    const std::string e = Start(otherType, {"--image-file", otherType.NativePath(stored), "--type", "I"});
    std::string error;
    ASSERT_TRUE(serial.Start({"--serial", "--no-updfast", "--image-file", serial.NativePath(stored), "--reboot-ms",
                              "500", "--firmware-after", "7.4"},
                             error))
        << error;
    const std::vector<unsigned char> firmware = RandomBytes(150000, 7);
    const std::string image = changed.LocalPath("fw.qz7");
    WriteBytes(image, firmware);

    const CliOutcome run = RunCli(changed.Folder(), {"update", image, "--telnet", a, "--telnet", b, "--telnet", c, "--telnet", d,
                                              "--telnet", e, "--serial", serial.SerialDevice(), "--type", "U", "--legacy",
                                              "yes", "--confirm=5", "--parallel", "3", "--yes", "--json"});
    EXPECT_EQ(run.exitCode, 1) << run.err;

    std::map<std::string, std::map<std::string, std::string>> results;
    std::map<std::string, std::string> summary;
    std::map<std::string, int> progress;
    for (const auto& object : JsonLines(run.out)) {
        const std::string event = object.at("event");
        if (event == "result") {
            EXPECT_EQ(results.count(object.at("target")), 0u) << "one result per target";
            results[object.at("target")] = object;
        } else if (event == "summary") {
            summary = object;
        } else {
            ASSERT_EQ(event, "progress");
            for (const char* key : {"target", "stage", "percent", "detail", "bytes"}) EXPECT_EQ(object.count(key), 1u) << key;
            if (object.count("bytes") != 0 && object.at("bytes") != "0") ++progress[object.at("target")];
        }
    }
    const std::string serialTarget = "serial " + serial.SerialDevice();
    ASSERT_EQ(results.size(), 6u) << run.out;
    const auto& ra = results["telnet " + a];
    EXPECT_EQ(ra.at("ok"), "true");
    EXPECT_EQ(ra.at("protocol"), "fast");
    EXPECT_EQ(ra.at("bytes"), "150000");
    EXPECT_EQ(ra.at("firmware_before"), "7.2");
    EXPECT_EQ(ra.at("firmware_after"), "7.3");
    EXPECT_EQ(ra.count("warning"), 0u);
    const auto& rb = results["telnet " + b];
    EXPECT_EQ(rb.at("ok"), "true") << "an unchanged version is a warning, not a failure";
    EXPECT_EQ(rb.at("firmware_after"), "7.2");
    EXPECT_NE(rb.at("warning").find("unchanged"), std::string::npos);
    const auto& rc = results["telnet " + c];
    EXPECT_EQ(rc.at("ok"), "false");
    EXPECT_NE(rc.at("message").find("did not come back within 5 s"), std::string::npos) << rc.at("message");
    EXPECT_EQ(rc.at("firmware_before"), "7.2");
    EXPECT_EQ(rc.at("firmware_after"), "null");
    const auto& rd = results["telnet " + d];
    EXPECT_EQ(rd.at("ok"), "false");
    EXPECT_EQ(rd.at("message"), "Checksum ERROR on Modem");
    const auto& re = results["telnet " + e];
    EXPECT_EQ(re.at("ok"), "false");
    EXPECT_EQ(re.at("skipped"), "true");
    EXPECT_EQ(re.at("type"), "I");
    EXPECT_NE(re.at("message").find("Type mismatch"), std::string::npos);
    const auto& rs = results[serialTarget];
    EXPECT_EQ(rs.at("ok"), "true") << rs.at("message");
    EXPECT_EQ(rs.at("protocol"), "legacy");
    EXPECT_EQ(rs.at("firmware_after"), "7.4") << "the serial port reopened after the restart";
    for (const auto& [target, result] : results) {
        EXPECT_EQ(result.at("model").empty(), false) << target;
        if (result.at("ok") == "true") {
            EXPECT_GT(progress[target], 0) << "progress with byte counts for " << target;
        }
    }
    EXPECT_EQ(summary.at("targets"), "6");
    EXPECT_EQ(summary.at("succeeded"), "3");
    EXPECT_EQ(summary.at("failed"), "2");
    EXPECT_EQ(summary.at("skipped"), "1");
    EXPECT_EQ(summary.at("warnings"), "1");

    // What the modems stored: the padded image where the update succeeded, nothing where it was refused.
    std::vector<unsigned char> padded = firmware;
    padded.resize((firmware.size() + 255) / 256 * 256, 0xFF);
    for (SimulatorProcess* sim : {&changed, &unchanged, &gone, &serial}) {
        ASSERT_TRUE(sim->WaitForLog("image stored")) << sim->ReadLog();
        EXPECT_EQ(ReadBytes(sim->LocalPath(stored)), padded);
    }
    EXPECT_TRUE(ReadBytes(badSum.LocalPath(stored)).empty());
    EXPECT_TRUE(ReadBytes(otherType.LocalPath(stored)).empty());
    EXPECT_EQ(otherType.ReadLog().find("update requested"), std::string::npos) << "the other type is never flashed";
    EXPECT_NE(run.err.find("[telnet " + d + "] FAILED: Checksum ERROR on Modem"), std::string::npos)
        << "human text goes to stderr: " << run.err;
}

TEST_F(CliFleet, SeveralModemsNeedYesWithoutATerminalAndListsRefuseRepeats) {
    SimulatorProcess one, two;
    const std::string a = Start(one, {});
    const std::string b = Start(two, {});
    const std::string image = one.LocalPath("fw.qz7");
    WriteBytes(image, RandomBytes(1000, 1));
    CliOutcome run = RunCli(one.Folder(), {"--telnet", a, "--telnet", b, "update", image});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("needs --yes"), std::string::npos) << run.err;
    EXPECT_EQ(one.ReadLog().find("client connected"), std::string::npos) << "nothing is touched before the question";

    const std::string list = one.LocalPath("targets.txt");
    std::ofstream(list) << "# bench\ntelnet " << a << "\n";
    run = RunCli(one.Folder(), {"--targets", list, "--telnet", a, "identify"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("Target given twice: telnet " + a), std::string::npos) << run.err;
    run = RunCli(one.Folder(), {"--targets", list, "--telnet", b, "identify"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("telnet " + a), std::string::npos) << "closing table: " << run.out;
    EXPECT_NE(run.out.find("Torvanix / VX-4410"), std::string::npos) << run.out;

    // Another type is skipped, as for update and log, not counted as a failure of the modem.
    run = RunCli(one.Folder(), {"--targets", list, "identify", "--type", "X", "--json"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    for (const auto& object : JsonLines(run.out)) {
        if (object.at("event") == "result") {
            EXPECT_EQ(object.count("skipped"), 1u) << run.out;
        } else if (object.at("event") == "summary") {
            EXPECT_EQ(object.at("skipped"), "1") << run.out;
        }
    }
}

TEST_F(CliFleet, LogsOfSeveralModemsGoIntoOneFileEach) {
    SimulatorProcess fast, legacy, gone;
    const std::vector<unsigned char> fastLog = RandomBytes(200000, 3), legacyLog = RandomBytes(70000, 4);
    // The content files exist before the simulators load them.
    WriteBytes(fast.LocalPath("content"), fastLog);
    WriteBytes(legacy.LocalPath("content"), legacyLog);
    const std::string a = Start(fast, {"--log-content", fast.NativePath("content")});
    const std::string b = Start(legacy, {"--log-mode", "legacy", "--log-content", legacy.NativePath("content")});
    const std::string c = Start(gone, {});
    gone.Stop();  // nothing listens there any more: that download fails at once
    const std::string folder = fast.LocalPath("logs");
    const CliOutcome run = RunCli(fast.Folder(), {"--telnet", a, "--telnet", b, "--telnet", c, "log", folder, "--json"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const auto name = [](const std::string& target) {
        std::string text = target;
        text[text.find(':')] = '_';
        return text + ".log";
    };
    EXPECT_EQ(ReadBytes(folder + "/" + name(a)), fastLog);
    std::vector<unsigned char> padded = legacyLog;
    padded.resize((legacyLog.size() + 255) / 256 * 256, 0);
    EXPECT_EQ(ReadBytes(folder + "/" + name(b)), padded);
    EXPECT_NE(access((folder + "/" + name(c)).c_str(), F_OK), 0) << "a failed download leaves no file";
    int results = 0;
    for (const auto& object : JsonLines(run.out)) {
        if (object.at("event") != "result") continue;
        ++results;
        if (object.at("target") == "telnet " + a) {
            EXPECT_EQ(object.at("file"), folder + "/" + name(a));
            EXPECT_EQ(object.at("bytes"), "200000");
            EXPECT_EQ(object.at("protocol"), "fast");
        }
        if (object.at("target") == "telnet " + b) {
            EXPECT_EQ(object.at("protocol"), "legacy");
        }
        if (object.at("target") == "telnet " + c) {
            EXPECT_EQ(object.at("ok"), "false");
        }
    }
    EXPECT_EQ(results, 3);

    // A file where the folder should be is named as such, before any modem is touched.
    const CliOutcome file = RunCli(fast.Folder(), {"--telnet", a, "--telnet", b, "log", folder + "/" + name(a)});
    EXPECT_EQ(file.exitCode, 1);
    EXPECT_NE(file.err.find(folder + "/" + name(a) + " is a file, not a folder"), std::string::npos) << file.err;
}

// Runs the CLI on a pseudo-terminal and answers `answer` to its question; returns the exit status and the screen.
int RunOnTerminal(const std::vector<std::string>& args, const std::string& answer, std::string& screen) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        std::vector<std::string> all = {CliPath()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    bool answered = false;
    for (;;) {
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, 30000) <= 0) break;
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the CLI is gone
        screen.append(buffer, static_cast<size_t>(n));
        if (!answered && screen.find("[y/N] ") != std::string::npos) {
            const std::string line = answer + "\r";
            EXPECT_EQ(write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
            answered = true;
        }
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(answered) << screen;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(CliFleet, OnATerminalAnUpdateOfSeveralModemsWaitsForYes) {
    SimulatorProcess one, two;
    const std::string a = Start(one, {"--image-file", one.NativePath("stored.bin")});
    const std::string b = Start(two, {"--image-file", two.NativePath("stored.bin"), "--firmware", "6.9"});
    const std::string image = one.LocalPath("fw.qz7");
    WriteBytes(image, RandomBytes(5000, 5));
    std::string screen;
    EXPECT_EQ(RunOnTerminal({"--telnet", a, "--telnet", b, "update", image}, "n", screen), 1);
    EXPECT_NE(screen.find("telnet " + b + "  Torvanix / VX-4410, firmware 6.9"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Update 2 modems? [y/N]"), std::string::npos) << screen;
    EXPECT_EQ(one.ReadLog().find("update requested"), std::string::npos) << "no answer, no update";
    EXPECT_EQ(two.ReadLog().find("update requested"), std::string::npos);

    screen.clear();
    EXPECT_EQ(RunOnTerminal({"--telnet", a, "--telnet", b, "update", image}, "y", screen), 0) << screen;
    EXPECT_TRUE(one.WaitForLog("image stored")) << screen;
    EXPECT_TRUE(two.WaitForLog("image stored")) << screen;
    EXPECT_NE(screen.find("TARGET"), std::string::npos) << "the closing table: " << screen;
}

TEST_F(CliFleet, TerminationCancelsEveryRunningTarget) {
    SimulatorProcess one, two;
    const std::string a = Start(one, {"--verify-delay", "30000"});
    const std::string b = Start(two, {"--verify-delay", "30000"});
    const std::string image = one.LocalPath("fw.qz7");
    WriteBytes(image, RandomBytes(70000, 2));
    const std::string out = one.LocalPath("out.json");
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        const std::string cli = CliPath();
        execl(cli.c_str(), cli.c_str(), "--telnet", a.c_str(), "--telnet", b.c_str(), "update", image.c_str(), "--yes",
              "--json", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Both modems are verifying: both transfers are running when the request to stop arrives.
    const bool bothVerifying = one.WaitForLog("verdict after", 15000) && two.WaitForLog("verdict after", 15000);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(bothVerifying) << one.ReadLog() << two.ReadLog();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 143) << status;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 20.0)
        << "the modems' 30 s verification is not waited for";
    for (SimulatorProcess* sim : {&one, &two}) EXPECT_TRUE(sim->WaitForLog("client disconnected")) << sim->ReadLog();
    // Each worker saw the cancellation and ended its target itself: no target was cut off unreported.
    const std::vector<unsigned char> json = ReadBytes(out);
    int cancelled = 0;
    bool summary = false;
    for (const auto& object : JsonLines(std::string(json.begin(), json.end()))) {
        if (object.at("event") == "result" && object.at("ok") == "false" && object.at("message") == "Update cancelled") {
            ++cancelled;
        }
        summary = summary || (object.at("event") == "summary" && object.at("failed") == "2");
    }
    EXPECT_EQ(cancelled, 2);
    EXPECT_TRUE(summary);
}

TEST_F(CliFleet, InterruptedLogCollectionLeavesNoFileBehind) {
    SimulatorProcess one, two;
    const std::string a = Start(one, {"--log-size", "268435456"});
    const std::string b = Start(two, {"--log-size", "268435456"});
    const std::string folder = one.LocalPath("logs");
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        const std::string cli = CliPath();
        execl(cli.c_str(), cli.c_str(), "--telnet", a.c_str(), "--telnet", b.c_str(), "log", folder.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    // Both logs are arriving, each into a new file in the folder, when Ctrl-C comes.
    const bool bothArriving = one.WaitForLog("chunk 3:", 15000) && two.WaitForLog("chunk 3:", 15000);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(bothArriving) << one.ReadLog() << two.ReadLog();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    std::string left;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') left += std::string(entry->d_name) + " ";
        }
        closedir(dir);
    }
    EXPECT_EQ(left, "") << "no log and no unfinished file";
    EXPECT_TRUE(one.WaitForLog("ESC")) << "the modem is told to stop";
    EXPECT_TRUE(two.WaitForLog("ESC"));
}

}  // namespace
