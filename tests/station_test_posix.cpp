// The production station end to end over pseudo-terminals: units plugged and pulled at three ports, one verdict
// per plug, no unit flashed twice for one image, and the record that carries that across stations.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/CliPath.h"
#include "support/Simulator.h"

namespace {

using Json = nlohmann::json;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<Json> JsonLines(const std::string& path) {
    std::vector<Json> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        Json parsed = Json::parse(line, nullptr, false);
        if (!parsed.is_discarded()) lines.push_back(parsed);
    }
    return lines;
}

// brisklode-cli station as a child process, its JSON lines in a file the test reads as they come.
class StationProcess {
public:
    StationProcess(const std::string& folder, const std::vector<std::string>& args) : out_(folder + "/station.out") {
        pid_ = fork();
        if (pid_ == 0) {
            const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open((folder + "/station.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<std::string> all = {CliPath(), "station"};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& arg : all) argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~StationProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    std::vector<Json> Events() const { return JsonLines(out_); }
    // Waits (generously) until an event satisfies `match`; returns it, or null.
    Json WaitFor(const std::function<bool(const Json&)>& match, int timeoutMs = 30000) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        do {
            for (const Json& event : Events()) {
                if (match(event)) return event;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < end);
        return Json();
    }
    // The `nth` unit event of `state` at `port`.
    Json WaitForUnit(const std::string& port, const std::string& state, size_t nth = 1) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        do {
            size_t seen = 0;
            for (const Json& e : Events()) {
                if (e.value("event", "") == "unit" && e.value("port", "") == port && e.value("state", "") == state &&
                    ++seen == nth) {
                    return e;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < end);
        return Json();
    }
    // The exit status after `signal` (0: none sent), or -1 when it did not end within the time.
    int Wait(int signal = 0, int timeoutMs = 30000) {
        if (signal != 0) kill(pid_, signal);
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

private:
    std::string out_;
    pid_t pid_ = -1;
    bool exited_ = false;
};

// A unit plugged in at `port` until the returned simulator is stopped.
std::unique_ptr<SimulatorProcess> Plug(const std::string& port, const std::string& serial, std::vector<std::string> args) {
    auto unit = std::make_unique<SimulatorProcess>();
    args.insert(args.end(), {"--pty-at", port, "--serial-number", serial, "--image-file", unit->NativePath("image.bin")});
    std::string error;
    EXPECT_TRUE(unit->Start(args, error)) << error;
    return unit;
}

TEST(Station, SixPlugsAtThreePortsGetOneVerdictEachAndNoUnitIsFlashedTwice) {
    if (SimulatorPath().empty() || CliPath().empty()) GTEST_SKIP() << "no simulator or CLI";
    SimulatorProcess bench;  // only for its folder
    const std::string folder = bench.Folder();
    const std::string usb0 = folder + "/ttyUSB0", usb1 = folder + "/ttyUSB1", usb2 = folder + "/ttyUSB2";
    const std::string image = folder + "/image.bin", record = folder + "/station.jsonl";
    {
        std::mt19937 random(37);
        std::vector<char> bytes(200000);
        for (char& byte : bytes) byte = static_cast<char>(random());
        std::ofstream(image, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    const std::vector<std::string> updated = {"--firmware", "7.2", "--firmware-after", "7.3", "--reboot-ms", "300"};
    const std::vector<std::string> common = {"--firmware", image, "--expect-firmware", "7.3", "--ports", folder + "/ttyUSB*",
                                             "--record", record, "--settle-ms", "200", "--json"};

    std::vector<std::string> firstArgs = common;
    firstArgs.insert(firstArgs.end(), {"--max-units", "4"});
    StationProcess first(folder, firstArgs);
    ASSERT_FALSE(first.WaitFor([](const Json& e) { return e.value("event", "") == "start"; }).is_null());

    // Two units at once: one to flash, one already at the expected version.
    auto a1 = Plug(usb0, "0xA1", updated);
    auto a2 = Plug(usb1, "0xA2", {"--firmware", "7.3"});
    Json verdict = first.WaitForUnit(usb0, "verdict");
    EXPECT_EQ(verdict.value("verdict", ""), "pass") << verdict.dump();
    EXPECT_EQ(verdict.value("serial_number", ""), "00000000000000A1");
    // The simulator stores the image as it came, padded to whole blocks.
    EXPECT_TRUE(ReadText(a1->LocalPath("image.bin")).substr(0, 200000) == ReadText(image));
    verdict = first.WaitForUnit(usb1, "verdict");
    EXPECT_EQ(verdict.value("verdict", ""), "skip") << verdict.dump();
    EXPECT_EQ(verdict.value("reason", ""), "current");
    a1.reset();
    a2.reset();

    // Pulled while its image goes over a slow line: a failure of its own kind, then the same unit passes.
    auto a3 = Plug(usb2, "0xA3", {"--baud", "115200", "--firmware", "7.2", "--firmware-after", "7.3", "--reboot-ms", "300"});
    EXPECT_FALSE(first.WaitFor([&](const Json& e) {
        return e.value("event", "") == "progress" && e.value("port", "") == usb2 && e.value("stage", "") == "flashing" &&
               e.value("percent", 0) >= 10;
    }).is_null());
    a3.reset();
    verdict = first.WaitForUnit(usb2, "verdict");
    EXPECT_EQ(verdict.value("verdict", ""), "fail") << verdict.dump();
    EXPECT_EQ(verdict.value("reason", ""), "unplugged") << verdict.dump();
    ASSERT_FALSE(first.WaitForUnit(usb2, "departed").is_null());
    a3 = Plug(usb2, "0xA3", updated);
    verdict = first.WaitForUnit(usb2, "verdict", 2);
    EXPECT_EQ(verdict.value("verdict", ""), "pass") << verdict.dump();
    a3.reset();
    // --max-units 4 ends it; one unit failed, so the station did not succeed.
    EXPECT_EQ(first.Wait(), 1) << ReadText(folder + "/station.err");
    const Json summary = first.WaitFor([](const Json& e) { return e.value("event", "") == "summary"; }, 0);
    ASSERT_TRUE(summary.is_object());
    EXPECT_EQ(summary.value("units", 0), 4);
    EXPECT_EQ(summary.value("passed", 0), 2);
    EXPECT_EQ(summary.value("failed", 0), 1);
    EXPECT_EQ(summary.value("skipped", 0), 1);

    // A later station with the same record: the unit that passed is not flashed again, a new one is; Ctrl-C
    // ends it with success, as every unit it saw passed or was skipped.
    StationProcess second(folder, common);
    ASSERT_FALSE(second.WaitFor([](const Json& e) { return e.value("event", "") == "start"; }).is_null());
    a1 = Plug(usb0, "0xA1", updated);
    verdict = second.WaitForUnit(usb0, "verdict");
    EXPECT_EQ(verdict.value("verdict", ""), "skip") << verdict.dump();
    EXPECT_EQ(verdict.value("reason", ""), "done before");
    EXPECT_EQ(a1->ReadLog().find("update requested"), std::string::npos) << a1->ReadLog();
    auto a5 = Plug(usb1, "0xA5", updated);
    verdict = second.WaitForUnit(usb1, "verdict");
    EXPECT_EQ(verdict.value("verdict", ""), "pass") << verdict.dump();
    EXPECT_EQ(second.Wait(SIGINT), 0) << ReadText(folder + "/station.err");

    // The record: every rollout's result line, the ok ones exactly the units that passed.
    std::vector<std::string> ok;
    for (const Json& line : JsonLines(record)) {
        if (line.value("status", "") == "ok") ok.push_back(line.value("serial_number", ""));
    }
    EXPECT_EQ(ok, (std::vector<std::string>{"00000000000000A1", "00000000000000A3", "00000000000000A5"}));
}

}  // namespace
