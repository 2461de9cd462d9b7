// brisklode-cli on several simulated modems at once: every result, the stored images, JSON lines, reboot check, logs.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/CliPath.h"
#include "support/Simulator.h"
#include "support/Watchdog.h"
#include "transport/Transport.h"

namespace {

std::vector<unsigned char> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The result lines of a record (its journal's run and start lines left out).
std::vector<nlohmann::json> RecordResults(const std::string& path) {
    std::ifstream in(path);
    std::vector<nlohmann::json> results;
    for (std::string line; std::getline(in, line);) {
        nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);  // an earlier run's cut line: none
        if (!entry.is_discarded() && entry.at("event") == "record") results.push_back(std::move(entry));
    }
    return results;
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

// Every stdout line must be one JSON object with an "event".
std::vector<std::map<std::string, std::string>> JsonLines(const std::string& out) {
    std::vector<std::map<std::string, std::string>> objects;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
        EXPECT_TRUE(parsed.is_object()) << "not a JSON object: " << line;
        if (!parsed.is_object()) continue;
        // Top-level values as text: strings as they are, anything else as its JSON.
        std::map<std::string, std::string> object;
        for (const auto& [key, value] : parsed.items()) object[key] = value.is_string() ? value.get<std::string>() : value.dump();
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
    std::map<std::string, std::string> plans;
    for (const auto& object : JsonLines(run.out)) {
        const std::string event = object.at("event");
        if (event == "result") {
            EXPECT_EQ(results.count(object.at("target")), 0u) << "one result per target";
            results[object.at("target")] = object;
        } else if (event == "summary") {
            summary = object;
        } else if (event == "plan") {
            EXPECT_TRUE(results.empty() && progress.empty()) << "the plan comes before any image is sent";
            plans[object.at("target")] = object.at("action") + " " + object.at("reason");
        } else if (event != "start") {
            ASSERT_EQ(event, "progress");
            for (const char* key : {"target", "stage", "percent", "detail", "bytes"}) EXPECT_EQ(object.count(key), 1u) << key;
            if (object.count("bytes") != 0 && object.at("bytes") != "0") {
                ++progress[object.at("target")];
                // The count travels as a number beside the text; both tell the same transfer.
                if (object.at("detail").find(" / ") != std::string::npos) {
                    EXPECT_NE(object.at("detail").find(" " + object.at("bytes") + " / "), std::string::npos) << object.at("detail");
                }
            }
        }
    }
    const std::string serialTarget = "serial " + serial.SerialDevice();
    ASSERT_EQ(results.size(), 6u) << run.out;
    EXPECT_EQ(plans.size(), 6u) << run.out;
    EXPECT_EQ(plans["telnet " + e], "skip type");
    EXPECT_EQ(plans[serialTarget], "update ");
    const auto& ra = results["telnet " + a];
    EXPECT_EQ(ra.at("ok"), "true");
    EXPECT_EQ(ra.at("protocol"), "fast");
    EXPECT_EQ(ra.at("bytes"), "150000");
    EXPECT_EQ(ra.at("firmware_before"), "7.2");
    EXPECT_EQ(ra.at("firmware_after"), "7.3");
    EXPECT_EQ(ra.at("status"), "ok");
    EXPECT_EQ(ra.at("warning"), "");
    const auto& rb = results["telnet " + b];
    EXPECT_EQ(rb.at("ok"), "true") << "an unchanged version is a warning, not a failure";
    EXPECT_EQ(rb.at("firmware_after"), "7.2");
    EXPECT_NE(rb.at("warning").find("unchanged"), std::string::npos);
    const auto& rc = results["telnet " + c];
    EXPECT_EQ(rc.at("ok"), "false");
    EXPECT_NE(rc.at("message").find("did not come back within 5 s"), std::string::npos) << rc.at("message");
    EXPECT_EQ(rc.at("status"), "failed");
    EXPECT_EQ(rc.at("reason"), "reboot");
    EXPECT_EQ(rc.at("firmware_before"), "7.2");
    EXPECT_EQ(rc.at("firmware_after"), "null");
    const auto& rd = results["telnet " + d];
    EXPECT_EQ(rd.at("ok"), "false");
    EXPECT_EQ(rd.at("message"), "Checksum ERROR on Modem");
    EXPECT_EQ(rd.at("reason"), "verify");
    EXPECT_EQ(rd.at("bytes"), "150000") << "what was sent, though it failed";
    const auto& re = results["telnet " + e];
    EXPECT_EQ(re.at("ok"), "false");
    EXPECT_EQ(re.at("status"), "skipped");
    EXPECT_EQ(re.at("reason"), "type");
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
    // One modem spelled two ways is still one modem.
    const std::string port = a.substr(a.find(':') + 1);
    run = RunCli(one.Folder(), {"--telnet", "localhost:" + port, "--telnet", a, "identify"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("are the same modem"), std::string::npos) << run.err;
    // So is one serial port reached through a link.
    const std::string serialPort = one.LocalPath("ttyBENCH"), serialLink = one.LocalPath("modem-port");
    WriteBytes(serialPort, {});
    ASSERT_EQ(symlink(serialPort.c_str(), serialLink.c_str()), 0);
    run = RunCli(one.Folder(), {"--serial", serialLink, "--serial", serialPort, "identify"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("are the same modem (serial " + serialPort + ")"), std::string::npos) << run.err;
    // A bad line names the file and the line.
    const std::string broken = one.LocalPath("broken.txt");
    std::ofstream(broken) << "telnet " << a << "\ntelnet\n";
    run = RunCli(one.Folder(), {"--targets", broken, "identify"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(broken + ": target list line 2: "), std::string::npos) << run.err;
    // "--targets -" reads the list from standard input.
    const std::string piped = "printf 'telnet " + a + "\\n' | '" + CliPath() + "' --targets - --json identify > '" +
                              one.LocalPath("piped.out") + "' 2>/dev/null";
    EXPECT_EQ(std::system(piped.c_str()), 0);
    const std::vector<unsigned char> pipedOut = ReadBytes(one.LocalPath("piped.out"));
    EXPECT_NE(std::string(pipedOut.begin(), pipedOut.end()).find("\"target\":\"telnet " + a + "\",\"ok\":true"),
              std::string::npos);

    run = RunCli(one.Folder(), {"--targets", list, "--telnet", b, "identify"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("telnet " + a), std::string::npos) << "closing table: " << run.out;
    EXPECT_NE(run.out.find("Torvanix / VX-4410"), std::string::npos) << run.out;

    // Another type is skipped, as for update and log, not counted as a failure of the modem: a deliberate
    // skip leaves the exit status 0.
    run = RunCli(one.Folder(), {"--targets", list, "identify", "--type", "X", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    for (const auto& object : JsonLines(run.out)) {
        if (object.at("event") == "result") {
            EXPECT_EQ(object.at("status"), "skipped") << run.out;
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

    // Again into the same folder: the earlier log stays, the new one carries the time in its name; with
    // --overwrite the earlier one is replaced.
    WriteBytes(folder + "/" + name(a), {'o', 'l', 'd'});
    CliOutcome again = RunCli(fast.Folder(), {"--telnet", a, "log", folder, "--json"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(ReadBytes(folder + "/" + name(a)), (std::vector<unsigned char>{'o', 'l', 'd'}));
    std::string newName;
    for (const auto& object : JsonLines(again.out)) {
        if (object.at("event") == "result") newName = object.at("file");
    }
    EXPECT_NE(newName, folder + "/" + name(a));
    EXPECT_EQ(newName.rfind(folder + "/" + name(a).substr(0, name(a).size() - 4) + "-20", 0), 0u) << newName;
    EXPECT_EQ(ReadBytes(newName), fastLog);
    again = RunCli(fast.Folder(), {"--telnet", a, "log", folder, "--overwrite"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(ReadBytes(folder + "/" + name(a)), fastLog);

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
            const std::string line = answer == "\x03" ? answer : answer + "\r";  // Ctrl-C is not a line
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
    // The plan's row: the target, who it is and what it gets.
    const size_t row = screen.find("\ntelnet " + b + "  0000000000000001  SIM   Torvanix / VX-4410  6.9       update");
    EXPECT_NE(row, std::string::npos) << screen;
    EXPECT_NE(screen.find("Update 2 modems? [y/N]"), std::string::npos) << screen;
    EXPECT_EQ(one.ReadLog().find("update requested"), std::string::npos) << "no answer, no update";
    EXPECT_EQ(two.ReadLog().find("update requested"), std::string::npos);

    screen.clear();
    EXPECT_EQ(RunOnTerminal({"--telnet", a, "--telnet", b, "update", image}, "y", screen), 0) << screen;
    EXPECT_TRUE(one.WaitForLog("image stored")) << screen;
    EXPECT_TRUE(two.WaitForLog("image stored")) << screen;
    EXPECT_NE(screen.find("TARGET"), std::string::npos) << "the closing table: " << screen;
}

// Ctrl-C at the question: both targets are cancelled by the signal (not declined), and the summary counts them.
TEST_F(CliFleet, CtrlCAtTheQuestionCancelsEveryTarget) {
    SimulatorProcess one, two;
    const std::string a = Start(one, {});
    const std::string b = Start(two, {});
    const std::string image = one.LocalPath("fw.qz7");
    WriteBytes(image, RandomBytes(5000, 5));
    std::string screen;
    EXPECT_EQ(RunOnTerminal({"--telnet", a, "--telnet", b, "update", image}, "\x03", screen), 130);
    EXPECT_NE(screen.find("2 targets: 0 succeeded, 0 failed, 0 skipped, 2 cancelled"), std::string::npos) << screen;
    EXPECT_EQ(one.ReadLog().find("update requested"), std::string::npos) << "nothing was sent";
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
    // Both images were sent whole: the modems may install them, so the results say so and count the bytes.
    for (const auto& object : JsonLines(std::string(json.begin(), json.end()))) {
        if (object.at("event") == "result" && object.at("status") == "cancelled" && object.at("reason") == "signal" &&
            object.at("message").rfind("cancelled after the whole image was sent", 0) == 0 &&
            object.at("bytes") == std::to_string(ReadBytes(image).size())) {
            ++cancelled;
        }
        summary = summary || (object.at("event") == "summary" && object.at("cancelled") == "2");
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

// Every requested modem gets exactly one result with one classification, whether it is alone or one of
// several: a dead modem is "failed" (connect) both ways, an unverified legacy transfer is ok with a
// warning that the summary counts, and a failure before any target is an error event on stdout.
TEST_F(CliFleet, EveryTargetOneResultWithStatusReasonAndWarning) {
    SimulatorProcess good, legacy, dead;
    const std::string a = Start(good, {});
    const std::string l = Start(legacy, {"--no-updfast"});
    const std::string d = Start(dead, {});
    dead.Stop();  // nothing listens there any more
    const std::string image = good.LocalPath("fw.qz7");
    WriteBytes(image, RandomBytes(3000, 3));

    CliOutcome run = RunCli(good.Folder(), {"update", image, "--telnet", a, "--telnet", l, "--telnet", d, "--legacy", "yes",
                                            "--yes", "--json"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    std::map<std::string, std::map<std::string, std::string>> results;
    std::map<std::string, std::string> start, summary;
    for (const auto& object : JsonLines(run.out)) {
        if (object.at("event") == "result") {
            EXPECT_EQ(results.count(object.at("target")), 0u) << run.out;
            results[object.at("target")] = object;
        }
        if (object.at("event") == "start") start = object;
        if (object.at("event") == "summary") summary = object;
    }
    ASSERT_EQ(results.size(), 3u) << run.out;
    const nlohmann::json startImage = nlohmann::json::parse(start.at("image"));
    EXPECT_EQ(startImage.at("path"), image);
    EXPECT_EQ(startImage.at("size"), 3000);
    EXPECT_EQ(startImage.at("sha256").get<std::string>().size(), 64u);
    EXPECT_EQ(results["telnet " + a].at("status"), "ok");
    EXPECT_EQ(results["telnet " + a].at("image_sha256"), startImage.at("sha256"));
    EXPECT_EQ(results["telnet " + l].at("status"), "ok");
    EXPECT_EQ(results["telnet " + l].at("reason"), "unverified");
    EXPECT_NE(results["telnet " + l].at("warning"), "") << "a legacy transfer is not verified by the modem";
    EXPECT_EQ(results["telnet " + d].at("status"), "failed") << "a dead modem is never merely skipped";
    EXPECT_EQ(results["telnet " + d].at("reason"), "connect");
    EXPECT_EQ(summary.at("ok"), "2");
    EXPECT_EQ(summary.at("failed"), "1");
    EXPECT_EQ(summary.at("skipped"), "0");
    EXPECT_EQ(summary.at("warnings"), "1");

    // The same modems one at a time: the same words.
    run = RunCli(good.Folder(), {"update", image, "--telnet", d, "--json"});
    EXPECT_EQ(run.exitCode, 1);
    bool sawResult = false;
    for (const auto& object : JsonLines(run.out)) {
        if (object.at("event") != "result") continue;
        sawResult = true;
        EXPECT_EQ(object.at("status"), "failed");
        EXPECT_EQ(object.at("reason"), "connect");
    }
    EXPECT_TRUE(sawResult) << run.out;
    run = RunCli(legacy.Folder(), {"update", image, "--telnet", l, "--legacy", "yes"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("WARNING: legacy transfer"), std::string::npos) << run.err;

    // A file error names the file and the system's reason.
    const std::string nowhere = good.LocalPath("no-such-folder/x.log");
    run = RunCli(good.Folder(), {"--telnet", a, "log", nowhere});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("Cannot create the selected log file " + nowhere + ": "),
              std::string::npos)
        << run.err;

    // Failures before any target are error events on stdout; the known targets still get start, a not-started
    // result each, the summary and their record lines (none where the record itself cannot be opened).
    const std::string record = good.LocalPath("early.jsonl");
    run = RunCli(good.Folder(), {"update", good.LocalPath("missing.qz7"), "--telnet", a, "--json", "--record", record});
    EXPECT_EQ(run.exitCode, 1);
    auto lines = JsonLines(run.out);
    ASSERT_EQ(lines.size(), 4u) << run.out;
    EXPECT_EQ(lines[1].at("event"), "error");
    EXPECT_NE(lines[1].at("message").find("Cannot open firmware file " + good.LocalPath("missing.qz7") + ": "),
              std::string::npos)
        << lines[1].at("message");
    EXPECT_EQ(lines[2].at("status"), "not-started");
    EXPECT_EQ(lines[3].at("not_started"), "1");
    const std::vector<unsigned char> early = ReadBytes(record);
    EXPECT_EQ(JsonLines(std::string(early.begin(), early.end())).size(), 2u) << "the run line and the result";
    EXPECT_EQ(RecordResults(record).size(), 1u);
    run = RunCli(good.Folder(), {"identify", "--telnet", a, "--json", "--record", good.LocalPath("nowhere/r.jsonl")});
    EXPECT_EQ(run.exitCode, 1);
    lines = JsonLines(run.out);
    ASSERT_EQ(lines.size(), 4u) << run.out;
    EXPECT_EQ(lines[2].at("reason"), "record");
    EXPECT_EQ(lines[3].at("event"), "summary");
    SimulatorProcess fresh;
    const std::string f = Start(fresh, {});
    run = RunCli(good.Folder(), {"update", image, "--telnet", f, "--telnet", l, "--json"});
    EXPECT_EQ(run.exitCode, 2);
    lines = JsonLines(run.out);
    ASSERT_FALSE(lines.empty()) << run.err;
    EXPECT_EQ(lines.front().at("event"), "start");
    EXPECT_EQ(lines[1].at("event"), "error");
    EXPECT_NE(lines[1].at("message").find("needs --yes"), std::string::npos);
    EXPECT_EQ(lines.back().at("event"), "summary");
    EXPECT_EQ(lines.back().at("not_started"), "2");
    EXPECT_EQ(fresh.ReadLog().find("client connected"), std::string::npos) << "nothing is touched";
}

// A loopback port whose connects never complete: the listener's queue is full and new SYNs are dropped.
class HangingPort {
public:
    HangingPort() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener_, 0) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        for (int& client : fillers_) {
            client = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
        usleep(200000);
    }
    ~HangingPort() {
        for (int client : fillers_) close(client);
        close(listener_);
    }
    unsigned short Port() const { return port_; }

private:
    int listener_ = -1;
    int fillers_[4] = {-1, -1, -1, -1};
    unsigned short port_ = 0;
};

// A signal while one target is still connecting and another waits in its identity check: both end at once
// with their own result, and the run its summary, instead of being cut off after the grace.
TEST_F(CliFleet, SignalDuringConnectAndIdentityGivesEveryTargetItsResult) {
    SimulatorProcess silent;
    const std::string a = Start(silent, {"--silent"});
    HangingPort hanging;
    ASSERT_NE(hanging.Port(), 0);
    const std::string b = "127.0.0.1:" + std::to_string(hanging.Port());
    const std::string out = silent.LocalPath("out.json"), err = silent.LocalPath("err.txt");
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
        const std::string cli = CliPath();
        execl(cli.c_str(), cli.c_str(), "--telnet", a.c_str(), "--telnet", b.c_str(), "identify", "--json",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    const bool connected = silent.WaitForLog("client connected", 10000);
    usleep(300000);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(connected) << silent.ReadLog();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    const std::vector<unsigned char> errText = ReadBytes(err);
    EXPECT_EQ(std::string(errText.begin(), errText.end()).find("Interrupted"), std::string::npos)
        << "the run ended by itself, not cut off after the grace";
    const std::vector<unsigned char> json = ReadBytes(out);
    std::map<std::string, std::string> messages;
    std::string cancelled;
    for (const auto& object : JsonLines(std::string(json.begin(), json.end()))) {
        if (object.at("event") == "result") {
            EXPECT_EQ(object.at("status"), "cancelled") << object.at("message");
            EXPECT_EQ(object.at("reason"), "signal");
            messages[object.at("target")] = object.at("message");
        }
        if (object.at("event") == "summary") cancelled = object.at("cancelled");
    }
    EXPECT_EQ(messages["telnet " + a], "Cancelled during the identity check of telnet " + a);
    EXPECT_EQ(messages["telnet " + b], "Cancelled while connecting to telnet " + b);
    EXPECT_EQ(cancelled, "2");
}

std::vector<std::map<std::string, std::string>> ResultsOf(const std::string& out) {
    std::vector<std::map<std::string, std::string>> results;
    for (const auto& object : JsonLines(out)) {
        if (object.at("event") == "result") results.push_back(object);
    }
    return results;
}

std::map<std::string, std::map<std::string, std::string>> ByTarget(const std::string& out) {
    std::map<std::string, std::map<std::string, std::string>> results;
    for (const auto& result : ResultsOf(out)) results[result.at("target")] = result;
    return results;
}

// A canary that fails stops the rollout before any other modem is touched; a failure limit stops it after
// N failures; both runs append to one record, one line per target.
TEST_F(CliFleet, CanaryAndFailureLimitStopTheRolloutAndTheRecordKeepsEveryTarget) {
    SimulatorProcess bad1, bad2, bad3, good;
    const std::string b1 = Start(bad1, {"--bad-checksum"});
    const std::string b2 = Start(bad2, {"--bad-checksum"});
    const std::string b3 = Start(bad3, {"--bad-checksum"});
    const std::string g = Start(good, {});
    const std::string image = good.LocalPath("fw.qz7");
    WriteBytes(image, RandomBytes(5000, 4));
    const std::string record = good.LocalPath("rollout.jsonl");

    CliOutcome run = RunCli(good.Folder(), {"update", image, "--telnet", b1, "--telnet", g, "--telnet", b2, "--canary", "1",
                                            "--yes", "--json", "--record", record});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    auto results = ByTarget(run.out);
    ASSERT_EQ(results.size(), 3u) << run.out;
    EXPECT_EQ(results["telnet " + b1].at("reason"), "verify");
    for (const std::string& rest : {g, b2}) {
        EXPECT_EQ(results["telnet " + rest].at("status"), "not-started");
        EXPECT_EQ(results["telnet " + rest].at("reason"), "canary");
    }
    EXPECT_EQ(good.ReadLog().find("update requested"), std::string::npos) << "nothing reached the rest";

    // One at a time, at most two failures: the third bad modem and the good one never start.
    run = RunCli(good.Folder(), {"update", image, "--telnet", b1, "--telnet", b2, "--telnet", b3, "--telnet", g,
                                 "--parallel", "1", "--max-failures", "2", "--retries", "1", "--yes", "--json", "--record",
                                 record});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    results = ByTarget(run.out);
    ASSERT_EQ(results.size(), 4u) << run.out;
    EXPECT_EQ(results["telnet " + b2].at("status"), "failed");
    EXPECT_EQ(results["telnet " + b3].at("reason"), "max-failures");
    EXPECT_EQ(results["telnet " + g].at("status"), "not-started");
    EXPECT_EQ(bad3.ReadLog().find("update requested"), std::string::npos) << "only the identity was asked";
    EXPECT_EQ(run.err.find("trying again"), std::string::npos) << "a failed transfer is never retried";

    // The record: both runs appended, one line per target, each naming the image and the outcome.
    const std::vector<nlohmann::json> lines = RecordResults(record);
    ASSERT_EQ(lines.size(), 7u);
    const nlohmann::json& first = lines[0];
    for (const char* key : {"tool_version", "start", "end", "host", "image", "image_size", "image_sha256", "target",
                            "serial_number", "model", "firmware_before", "firmware_after", "status", "reason", "bytes",
                            "seconds"}) {
        EXPECT_TRUE(first.contains(key)) << key << " in " << first.dump();
    }
    EXPECT_EQ(first.at("image"), image);
    EXPECT_EQ(first.at("image_size"), 5000);
    EXPECT_EQ(first.at("status"), "failed");
    EXPECT_EQ(first.at("model"), "Torvanix / VX-4410");
    EXPECT_EQ(lines[6].at("target"), "telnet " + g);
    EXPECT_EQ(lines[6].at("status"), "not-started");
}

// A rollout in which one modem fails, resumed from its record: only that modem runs again, its new line is
// appended, a second resume has nothing to do, and another image is refused.
TEST_F(CliFleet, ResumeRunsAgainOnlyWhatDidNotSucceedAndAppendsToTheRecord) {
    SimulatorProcess one, flaky, two;
    const std::string o = Start(one, {}), f = Start(flaky, {"--bad-checksum"}), t = Start(two, {});
    const std::string image = one.LocalPath("fw.qz7"), other = one.LocalPath("other.qz7");
    WriteBytes(image, RandomBytes(5000, 5));
    WriteBytes(other, RandomBytes(5000, 6));
    const std::string record = one.LocalPath("rollout.jsonl");
    CliOutcome run = RunCli(one.Folder(), {"update", image, "--telnet", o, "--telnet", f, "--telnet", t, "--yes", "--json",
                                           "--record", record});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(ByTarget(run.out)["telnet " + f].at("reason"), "verify") << run.out;

    // The modem is mended where it stands: the same address, a new simulator.
    flaky.Stop();
    SimulatorProcess mended;
    ASSERT_EQ(Start(mended, {"--telnet-port", f.substr(f.find(':') + 1)}), f);
    run = RunCli(one.Folder(), {"update", image, "--resume", record, "--canary", "1", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto results = ResultsOf(run.out);
    ASSERT_EQ(results.size(), 1u) << run.out;
    EXPECT_EQ(results[0].at("target"), "telnet " + f);
    EXPECT_EQ(results[0].at("status"), "ok");
    EXPECT_TRUE(mended.WaitForLog("update requested"));
    for (const SimulatorProcess* done : {&one, &two}) {
        const std::string log = done->ReadLog();
        EXPECT_EQ(log.find("update requested"), log.rfind("update requested")) << "a modem that succeeded ran again";
    }
    const std::vector<nlohmann::json> lines = RecordResults(record);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3].at("target"), "telnet " + f);
    EXPECT_EQ(lines[3].at("status"), "ok");

    // Nothing left: an empty run that says so; and another image is refused, naming both.
    run = RunCli(one.Folder(), {"update", image, "--resume", record, "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(ResultsOf(run.out).empty()) << run.out;
    EXPECT_NE(run.out.find("\"event\":\"summary\""), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("Nothing to resume"), std::string::npos) << run.err;
    const size_t before = ReadBytes(record).size();
    run = RunCli(one.Folder(), {"update", other, "--resume", record, "--json"});
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find(lines[3].at("image_sha256").get<std::string>()), std::string::npos) << run.err;
    EXPECT_EQ(ReadBytes(record).size(), before);
}

// A target's record line is on disk when that target ends, while another is still worked on: a run cut off
// keeps what it finished.
TEST_F(CliFleet, TheRecordHoldsAFinishedTargetWhileAnotherIsStillWaitedOn) {
    SimulatorProcess good;
    const std::string g = Start(good, {});
    HangingPort hanging;
    ASSERT_NE(hanging.Port(), 0);
    const std::string h = "127.0.0.1:" + std::to_string(hanging.Port());
    const std::string record = good.LocalPath("record.jsonl");
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, fd);
        const std::string cli = CliPath();
        // The hanging target is tried for well over ten seconds.
        execl(cli.c_str(), cli.c_str(), "--telnet", g.c_str(), "--telnet", h.c_str(), "identify", "--connect-timeout",
              "5", "--retries", "3", "--record", record.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string line;  // the first whole result line of the record
    for (int wait = 0; wait < 100 && line.empty(); ++wait) {
        usleep(100000);
        const std::vector<unsigned char> bytes = ReadBytes(record);
        std::istringstream text(std::string(bytes.begin(), bytes.end()));
        for (std::string whole; line.empty() && std::getline(text, whole) && !text.eof();) {
            if (whole.rfind("{\"event\":\"record\"", 0) == 0) line = whole;
        }
    }
    const bool running = waitpid(pid, nullptr, WNOHANG) == 0;
    if (running) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_TRUE(running) << "the run ended before the hanging target gave up";
    ASSERT_FALSE(line.empty()) << "no record line while the run went on";
    EXPECT_EQ(nlohmann::json::parse(line).at("target"), "telnet " + g);
}

// A canary left alone as another type has not failed, so the rollout goes on to the rest; and --force sends
// the update to a modem that already runs the expected version.
TEST_F(CliFleet, ASkippedCanaryIsNoFailedCanaryAndForceUpdatesACurrentModem) {
    SimulatorProcess other, current;
    const std::string stored = "stored.bin";
    const std::string i = Start(other, {"--type", "I"});
    const std::string c =
        Start(current, {"--firmware", "7.3", "--reboot-ms", "300", "--image-file", current.NativePath(stored)});
    const std::vector<unsigned char> firmware = RandomBytes(1024, 9);
    const std::string image = current.LocalPath("u.qz7");
    WriteBytes(image, firmware);
    const CliOutcome run = RunCli(current.Folder(), {"update", "--firmware", "U=" + image, "--telnet", i, "--telnet", c,
                                                     "--canary", "1", "--expect-firmware", "7.3", "--force",
                                                     "--confirm=10", "--yes", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    auto results = ByTarget(run.out);
    EXPECT_EQ(results["telnet " + i]["status"], "skipped");
    EXPECT_EQ(results["telnet " + i]["reason"], "type");
    ASSERT_EQ(results["telnet " + c]["status"], "ok") << results["telnet " + c]["message"];
    ASSERT_TRUE(current.WaitForLog("image stored")) << current.ReadLog();
    EXPECT_EQ(ReadBytes(current.LocalPath(stored)), firmware);

    // Outside an update too: a target skipped for --type is no failed canary, so the matching modem runs.
    for (const std::string command : {"identify", "log"}) {
        std::vector<std::string> args = {command};
        if (command == "log") args.push_back(current.LocalPath("logs"));
        args.insert(args.end(), {"--telnet", i, "--telnet", c, "--type", "U", "--canary", "1", "--json"});
        const CliOutcome typed = RunCli(current.Folder(), args);
        EXPECT_EQ(typed.exitCode, 0) << command << ": " << typed.err;
        auto byTarget = ByTarget(typed.out);
        EXPECT_EQ(byTarget["telnet " + i]["status"], "skipped") << command;
        EXPECT_EQ(byTarget["telnet " + c]["status"], "ok") << command << ": " << byTarget["telnet " + c]["message"];
    }
}

// A mixed line planned, then applied: the plan names each modem and what it gets and sends nothing; a typo'd
// type fails instead of skipping every modem; the canary is the first modem that gets an image, so a failing
// one holds back the rest even behind modems that are skipped.
TEST_F(CliFleet, PlanThenApplyOnAMixedLine) {
    SimulatorProcess other, current, bad, good;
    const std::string o = Start(other, {"--type", "I", "--serial-number", "11", "--call-sign", "OTHER"});
    const std::string c = Start(current, {"--firmware", "7.3", "--serial-number", "12"});
    const std::string b = Start(bad, {"--bad-checksum", "--serial-number", "13"});
    const std::string g = Start(good, {"--serial-number", "14", "--call-sign", "GOOD"});
    const std::string image = good.LocalPath("u.qz7"), record = good.LocalPath("record.jsonl");
    WriteBytes(image, RandomBytes(3000, 12));
    std::vector<std::string> line;
    for (const std::string& target : {o, c, b, g, std::string("127.0.0.1:1")}) line.insert(line.end(), {"--telnet", target});
    const auto update = [&](std::vector<std::string> args, size_t targets) {
        args.insert(args.begin(), line.begin(), line.begin() + static_cast<std::ptrdiff_t>(2 * targets));
        args.insert(args.end(), {"update", "--expect-firmware", "7.3", "--canary", "1", "--json", "--record", record});
        return RunCli(good.Folder(), args);
    };

    CliOutcome run = update({"--firmware", "U=" + image, "--plan"}, 5);
    EXPECT_EQ(run.exitCode, 1) << "an unreachable modem: " << run.err;
    std::map<std::string, std::map<std::string, std::string>> plan;
    for (const auto& object : JsonLines(run.out)) {
        if (object.at("event") == "plan") plan[object.at("target").substr(7)] = object;
    }
    ASSERT_EQ(plan.size(), 5u) << run.out;
    const auto said = [&](const std::string& target) {
        const auto& p = plan[target];
        return p.at("action") + " " + p.at("reason") + " " + p.at("canary") + " " + p.at("serial_number");
    };
    EXPECT_EQ(said(o), "skip type false 000000000000000B");
    EXPECT_EQ(said(c), "skip current false 000000000000000C");
    EXPECT_EQ(said(b), "update  true 000000000000000D");
    EXPECT_EQ(said(g), "update  false 000000000000000E");
    EXPECT_EQ(said("127.0.0.1:1"), "fail connect false null");
    EXPECT_EQ(plan[g].at("call_sign"), "GOOD");
    EXPECT_EQ(plan[g].at("firmware"), "7.2");
    EXPECT_EQ(nlohmann::json::parse(plan[g].at("image")).at("size"), 3000);
    EXPECT_EQ(plan[g].at("transfer"), "fast");
    EXPECT_EQ(ByTarget(run.out)["telnet " + g].at("reason"), "plan");
    EXPECT_TRUE(ReadBytes(record).empty()) << "a plan records nothing";
    // Without the unreachable modem every skip is deliberate; --strict wants every modem updated.
    EXPECT_EQ(update({"--firmware", "U=" + image, "--plan"}, 4).exitCode, 0);
    EXPECT_EQ(update({"--firmware", "U=" + image, "--plan", "--strict"}, 4).exitCode, 1);

    run = update({"--firmware", "u=" + image, "--yes"}, 4);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.out.find("--firmware u=" + image + " names (types seen: I, U)"), std::string::npos) << run.out;
    EXPECT_EQ(ByTarget(run.out)["telnet " + g].at("status"), "not-started");

    // --strict fails the skipped modems, but a skip known before anything was sent is no failure of the image:
    // it leaves the failure limit to the modems that were sent one.
    run = update({"--firmware", "U=" + image, "--yes", "--strict", "--max-failures", "2"}, 4);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    auto results = ByTarget(run.out);
    EXPECT_EQ(results["telnet " + o].at("status"), "failed");
    EXPECT_EQ(results["telnet " + c].at("reason"), "current");
    EXPECT_EQ(results["telnet " + b].at("reason"), "verify");
    EXPECT_EQ(results["telnet " + g].at("reason"), "canary");
    EXPECT_EQ(results["telnet " + g].at("serial_number"), "000000000000000E");
    for (SimulatorProcess* sim : {&other, &current, &good}) EXPECT_EQ(sim->ReadLog().find("update requested"), std::string::npos);
    size_t lines = 0;
    for (const nlohmann::json& entry : RecordResults(record)) {
        EXPECT_TRUE(entry.at("serial_number").is_string() && entry.contains("call_sign")) << entry.dump();
        ++lines;
    }
    EXPECT_EQ(lines, 8u) << "two runs of four, the typo's included";
}

// An expected version: ok only when the modem comes back with it; a modem already at it is left alone; each
// type gets its own image, never the plain file given beside them.
TEST_F(CliFleet, ExpectedVersionAndAnImagePerType) {
    SimulatorProcess up, current, stuck, other;
    const std::string stored = "stored.bin";
    const std::string u = Start(up, {"--reboot-ms", "300", "--firmware-after", "7.3"});
    const std::string c = Start(current, {"--firmware", "7.3"});
    const std::string s = Start(stuck, {"--reboot-ms", "300"});
    const std::string o = Start(other, {"--type", "I", "--reboot-ms", "300", "--firmware-after", "7.3", "--image-file",
                                        other.NativePath(stored)});
    const std::string imageU = up.LocalPath("u.qz7"), imageI = up.LocalPath("i.qz7"), plain = up.LocalPath("plain.qz7");
    WriteBytes(imageU, RandomBytes(4000, 5));
    WriteBytes(plain, RandomBytes(2500, 10));
    const std::vector<unsigned char> firmwareI = RandomBytes(2000, 6);
    WriteBytes(imageI, firmwareI);

    const CliOutcome run = RunCli(up.Folder(), {"update", plain, "--firmware", "U=" + imageU, "--firmware", "I=" + imageI,
                                                "--telnet", u, "--telnet", c, "--telnet", s, "--telnet", o,
                                                "--expect-firmware", "7.3", "--confirm=10", "--yes", "--json"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    auto results = ByTarget(run.out);
    ASSERT_EQ(results.size(), 4u) << run.out;
    EXPECT_EQ(results["telnet " + u].at("status"), "ok") << results["telnet " + u].at("message");
    EXPECT_EQ(results["telnet " + u].at("firmware_after"), "7.3");
    EXPECT_EQ(results["telnet " + c].at("status"), "skipped");
    EXPECT_EQ(results["telnet " + c].at("reason"), "current");
    EXPECT_EQ(current.ReadLog().find("update requested"), std::string::npos);
    EXPECT_EQ(results["telnet " + s].at("status"), "failed");
    EXPECT_EQ(results["telnet " + s].at("reason"), "version");
    EXPECT_EQ(results["telnet " + o].at("status"), "ok") << results["telnet " + o].at("message");
    EXPECT_EQ(results["telnet " + o].at("bytes"), "2000");
    ASSERT_TRUE(other.WaitForLog("image stored"));
    std::vector<unsigned char> padded = firmwareI;
    padded.resize(2048, 0xFF);
    EXPECT_EQ(ReadBytes(other.LocalPath(stored)), padded) << "the type I modem got the type I image";
    for (const auto& object : JsonLines(run.out)) {
        if (object.at("event") != "start") continue;
        const nlohmann::json byType = nlohmann::json::parse(object.at("images_by_type"));
        EXPECT_EQ(byType.at("I").at("path"), imageI);
        EXPECT_EQ(byType.at("U").at("size"), 4000);
        EXPECT_EQ(nlohmann::json::parse(object.at("image")).at("path"), plain);
    }
}

// A host that never completes the connect: given up after --connect-timeout, tried again after a pause that
// doubles each time, as --retries allows, then failed with the connect reason. A log's dropped link likewise.
TEST_F(CliFleet, ConnectTimeoutAndRetries) {
    HangingPort hanging;
    ASSERT_NE(hanging.Port(), 0);
    const std::string target = "127.0.0.1:" + std::to_string(hanging.Port());
    SimulatorProcess folder;
    const CliOutcome run = RunCli(folder.Folder(), {"--telnet", target, "identify", "--connect-timeout", "1", "--retries",
                                                    "2", "--json"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const auto results = ResultsOf(run.out);
    ASSERT_EQ(results.size(), 1u) << run.out;
    EXPECT_EQ(results[0].at("status"), "failed");
    EXPECT_EQ(results[0].at("reason"), "connect");
    EXPECT_EQ(results[0].at("message"), "No connection to " + target + " within 1 s");
    EXPECT_NE(run.err.find("trying again in 1 s (1 of 2)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("trying again in 2 s (2 of 2)"), std::string::npos) << run.err;
    std::vector<std::string> retries;  // and the same as events for a script
    for (const auto& object : JsonLines(run.out)) {
        if (object.at("event") == "retry") retries.push_back(object.at("attempt") + "/" + object.at("of") + " " + object.at("seconds"));
    }
    EXPECT_EQ(retries, (std::vector<std::string>{"1/2 1.0", "2/2 2.0"})) << run.out;

    // A log's link that drops before any of the log came is connected again as --retries allows; no file is left.
    SimulatorProcess dropping;
    const std::string d = Start(dropping, {"--fault", "logsize:drop"});
    const std::string file = dropping.LocalPath("modem.log");
    const CliOutcome log = RunCli(dropping.Folder(), {"--telnet", d, "log", file, "--retries", "1", "--json"});
    EXPECT_EQ(log.exitCode, 1) << log.err;
    std::vector<std::string> logRetries;
    for (const auto& object : JsonLines(log.out)) {
        if (object.at("event") == "retry") logRetries.push_back(object.at("attempt") + "/" + object.at("of") + " " + object.at("message"));
    }
    EXPECT_EQ(logRetries, (std::vector<std::string>{"1/1 The modem closed the Telnet connection"})) << log.out;
    EXPECT_FALSE(std::filesystem::exists(file));
}

// The same host under the link itself: the connect ends on the cancel flag well before its bound, and on the
// bound that was set, not on a fixed one.
TEST(TelnetConnect, EndsOnCancelAndOnTheBoundThatWasSet) {
    HangingPort hanging;
    ASSERT_NE(hanging.Port(), 0);
    std::atomic<bool> cancel{false};
    auto link = CreateTelnetTransport("127.0.0.1", hanging.Port(), &cancel);
    link->SetConnectTimeout(60000);
    std::string error;
    auto start = std::chrono::steady_clock::now();
    const auto ms = [&start] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    };
    {
        Watchdog canceller(300, [&cancel] { cancel = true; });
        EXPECT_FALSE(link->Open(error));
    }
    EXPECT_EQ(link->LastFailure(), LinkFailure::Cancelled);
    EXPECT_EQ(error, "Cancelled while connecting to 127.0.0.1:" + std::to_string(hanging.Port()));
    EXPECT_LT(ms(), 1300);
    cancel = false;
    link->SetConnectTimeout(800);
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(link->Open(error));
    EXPECT_EQ(link->LastFailure(), LinkFailure::TimedOut) << error;
    EXPECT_GE(ms(), 700);
}

namespace {

// Starts the CLI with stdin from /dev/null and stdout and stderr into files.
pid_t Spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
        std::vector<std::string> all = {CliPath()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

std::string ReadText(const std::string& path) {
    const std::vector<unsigned char> bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

// A signal during the canary cancels the rest (it is not held back for the canary); a second signal 30 ms after
// the first stops waiting for the verifying modems, yet every target still gets its result, its record line
// and the summary.
TEST_F(CliFleet, SignalsDuringTheCanaryAndASecondSignalLeaveNoTargetUntold) {
    SimulatorProcess one, two, three;
    const std::string a = Start(one, {"--verify-delay", "30000"});
    const std::string b = Start(two, {"--verify-delay", "30000"});
    const std::string c = Start(three, {});
    const std::string image = one.LocalPath("fw.qz7");
    WriteBytes(image, RandomBytes(70000, 3));
    const std::string out = one.LocalPath("out.json"), err = one.LocalPath("err.txt"), record = one.LocalPath("r.jsonl");

    pid_t pid = Spawn({"update", image, "--telnet", a, "--telnet", c, "--canary", "1", "--yes", "--json"}, out, err);
    bool verifying = one.WaitForLog("verdict after", 15000);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(verifying) << one.ReadLog();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    auto results = ByTarget(ReadText(out));
    ASSERT_EQ(results.size(), 2u) << ReadText(out);
    EXPECT_EQ(results["telnet " + c].at("status"), "cancelled");
    EXPECT_EQ(results["telnet " + c].at("reason"), "signal");

    pid = Spawn({"update", image, "--telnet", a, "--telnet", b, "--telnet", c, "--parallel", "2", "--yes", "--json",
                 "--record", record},
                out, err);
    // `one` verifies for the second time in its log.
    for (int wait = 0; wait < 300 && one.ReadLog().rfind("verdict after") == one.ReadLog().find("verdict after"); ++wait) {
        usleep(50000);
    }
    verifying = two.WaitForLog("verdict after", 15000) && one.ReadLog().rfind("verdict after") != one.ReadLog().find("verdict after");
    kill(pid, SIGINT);
    usleep(30000);
    kill(pid, SIGINT);
    waitpid(pid, &status, 0);
    ASSERT_TRUE(verifying) << one.ReadLog() << two.ReadLog();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    const std::string json = ReadText(out);
    results = ByTarget(json);
    ASSERT_EQ(results.size(), 3u) << json;
    for (const std::string& sent : {a, b}) {
        const auto& result = results["telnet " + sent];
        EXPECT_EQ(result.at("status"), "cancelled");
        EXPECT_EQ(result.at("bytes"), "70000");
        EXPECT_EQ(result.at("message").rfind("cancelled after the whole image was sent", 0), 0u) << result.at("message");
    }
    EXPECT_EQ(results["telnet " + c].at("reason"), "signal");
    EXPECT_NE(json.find("\"event\":\"summary\""), std::string::npos) << json;
    size_t cancelled = 0;
    for (const nlohmann::json& entry : RecordResults(record)) cancelled += entry.at("status") == "cancelled";
    EXPECT_EQ(cancelled, 3u);
}

// Record lines are whole and each has its own target's times; a cut last line is not continued; a record or a
// standard output that takes no more fails the run, and the record's failure starts no further target.
TEST_F(CliFleet, RecordLinesAreWholeAndEveryFailedWriteFailsTheRun) {
    SimulatorProcess one, two;
    const std::string a = Start(one, {"--verify-delay", "1200"});
    const std::string b = Start(two, {"--verify-delay", "1200"});
    const std::string image = one.LocalPath("fw.qz7");
    WriteBytes(image, RandomBytes(5000, 6));
    const std::string record = one.LocalPath("r.jsonl");
    const std::string cutLine = "{\"event\":\"record\",\"tool_version\":\"1.0";  // an earlier run's, cut short
    WriteBytes(record, std::vector<unsigned char>(cutLine.begin(), cutLine.end()));
    CliOutcome run = RunCli(one.Folder(), {"update", image, "--telnet", a, "--telnet", b, "--parallel", "1", "--yes",
                                           "--record", record});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::istringstream in(ReadText(record));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 6u) << ReadText(record);
    EXPECT_EQ(lines[0], cutLine);
    EXPECT_EQ(nlohmann::json::parse(lines[1]).at("event"), "run");
    const std::vector<nlohmann::json> results = RecordResults(record);
    ASSERT_EQ(results.size(), 2u);
    const nlohmann::json &first = results[0], &second = results[1];
    EXPECT_GE(second.at("start").get<std::string>(), first.at("end").get<std::string>()) << "the second started after the first";

    // Only a record is appended to: a device, or a file that holds something else, is refused untouched.
    const std::vector<unsigned char> firmware = ReadBytes(image);
    for (const std::string& wrong : {std::string("/dev/full"), image}) {
        run = RunCli(one.Folder(), {"identify", "--telnet", a, "--telnet", b, "--json", "--record", wrong});
        EXPECT_EQ(run.exitCode, 2) << wrong;
        EXPECT_NE(run.err.find("only a record of brisklode-cli is appended to"), std::string::npos) << run.err;
        auto results = ByTarget(run.out);
        ASSERT_EQ(results.size(), 2u) << run.out;
        EXPECT_EQ(results["telnet " + b].at("status"), "not-started");
    }
    EXPECT_EQ(ReadBytes(image), firmware);

    const std::string err = one.LocalPath("full.err");
    const int status = std::system(("'" + CliPath() + "' identify --telnet " + a + " --json </dev/null >/dev/full 2>'" + err + "'").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(ReadText(err).find("Cannot write the JSON lines to standard output"), std::string::npos) << ReadText(err);
}

// With --legacy yes: a link that drops right after UPDFAST is a transfer that failed there, never the legacy
// transfer; a modem that refuses both transfers has its legacy attempt fail, but no legacy frame went.
TEST_F(CliFleet, ALinkLostAfterTheFastRequestIsNoLegacyAndLegacyIsOnlyWhereItsFramesWent) {
    SimulatorProcess dropping, refusing;
    const std::string d = Start(dropping, {"--fault", "prompt:drop"});
    const std::string r = Start(refusing, {"--no-updfast", "--no-update"});
    const std::string image = dropping.LocalPath("fw.qz7");
    WriteBytes(image, RandomBytes(3000, 11));
    const CliOutcome run = RunCli(dropping.Folder(), {"update", image, "--telnet", d, "--telnet", r, "--legacy", "yes",
                                                      "--parallel", "2", "--yes", "--json"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    auto results = ByTarget(run.out);
    ASSERT_EQ(results.size(), 2u) << run.out;
    const auto& rd = results["telnet " + d];
    EXPECT_EQ(rd.at("status"), "failed");
    EXPECT_EQ(rd.at("reason"), "transfer");
    EXPECT_EQ(rd.at("message"),
              "Link lost while waiting for the answer to the fast-update request: The modem closed the Telnet connection");
    EXPECT_NE(rd.at("protocol"), "legacy");
    EXPECT_EQ(dropping.ReadLog().find("legacy update requested"), std::string::npos) << "no legacy attempt";
    const auto& rr = results["telnet " + r];
    EXPECT_EQ(rr.at("status"), "failed");
    EXPECT_EQ(rr.at("reason"), "transfer");
    EXPECT_EQ(rr.at("message"), "The modem refused the legacy update request (received: UPDATE<CR><LF>Unknown "
                                "command<CR><LF>cmd: )");
    EXPECT_EQ(rr.count("protocol"), 0u) << "nothing of the image went";
}
