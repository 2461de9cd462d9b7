// The station bench: four ports, twenty plugs, each next unit plugged in as soon as the last one's verdict is
// in and its port seen empty; units per hour against what the serial line alone allows.
#include "bench/StationBench.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/Simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPorts = 4;
constexpr int kPlugs = 20;
constexpr unsigned kBaud = 115200;
constexpr size_t kImageBytes = 65536;
constexpr unsigned kRebootMs = 500;

struct PortCounts {
    int verdicts = 0, departures = 0, passed = 0;
};

// The station's JSON lines so far, counted per port.
std::vector<PortCounts> Count(const std::string& out, const std::vector<std::string>& ports, bool& ended) {
    std::vector<PortCounts> counts(ports.size());
    std::ifstream in(out);
    std::string text;
    while (std::getline(in, text)) {
        const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
        if (!line.is_object()) continue;
        if (line.value("event", "") == "summary") ended = true;
        if (line.value("event", "") != "unit") continue;
        for (size_t i = 0; i < ports.size(); ++i) {
            if (line.value("port", "") != ports[i]) continue;
            const std::string state = line.value("state", "");
            if (state == "verdict") {
                ++counts[i].verdicts;
                counts[i].passed += line.value("verdict", "") == "pass" ? 1 : 0;
            }
            if (state == "departed") ++counts[i].departures;
        }
    }
    return counts;
}

}  // namespace

int BenchStation(const std::string& cli) {
    SimulatorProcess scratch;  // its folder holds the ports, the image and the station's output
    const std::string folder = scratch.Folder();
    const std::string image = folder + "/image.bin", out = folder + "/station.out";
    {
        std::mt19937 random(20);
        std::vector<char> bytes(kImageBytes);
        for (char& byte : bytes) byte = static_cast<char>(random());
        std::ofstream(image, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<std::string> ports;
    for (int i = 0; i < kPorts; ++i) ports.push_back(folder + "/ttyUSB" + std::to_string(i));

    const pid_t station = fork();
    if (station == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        const std::string pattern = folder + "/ttyUSB*", units = std::to_string(kPlugs);
        execl(cli.c_str(), cli.c_str(), "station", "--firmware", image.c_str(), "--expect-firmware", "7.3", "--ports",
              pattern.c_str(), "--max-units", units.c_str(), "--json", static_cast<char*>(nullptr));
        _exit(127);
    }
    const Clock::time_point start = Clock::now();
    std::vector<std::unique_ptr<SimulatorProcess>> plugged(kPorts);
    std::vector<int> plugs(kPorts, 0);  // per port: units plugged so far
    int next = 0;
    const auto plug = [&](int port) {
        plugged[port] = std::make_unique<SimulatorProcess>();
        std::string error;
        const std::vector<std::string> args = {"--pty-at", ports[port], "--serial-number", std::to_string(0x5700 + next),
                                               "--baud", std::to_string(kBaud), "--reboot-ms", std::to_string(kRebootMs),
                                               "--firmware-after", "7.3"};
        if (!plugged[port]->Start(args, error)) std::fprintf(stderr, "brisklode-bench: %s\n", error.c_str());
        ++plugs[port];
        ++next;
    };
    for (int port = 0; port < kPorts && next < kPlugs; ++port) plug(port);
    bool ended = false;
    int passed = 0;
    while (!ended && Clock::now() - start < std::chrono::minutes(10)) {
        const std::vector<PortCounts> counts = Count(out, ports, ended);
        passed = 0;
        for (int port = 0; port < kPorts; ++port) {
            passed += counts[port].passed;
            // The verdict in: pull the unit; its port seen empty: plug the next.
            if (plugged[port] && counts[port].verdicts >= plugs[port]) plugged[port].reset();
            if (!plugged[port] && counts[port].departures >= plugs[port] && next < kPlugs) plug(port);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& unit : plugged) unit.reset();
    kill(station, SIGINT);
    int status = 0;
    waitpid(station, &status, 0);

    // The floor: each port busy only with the image on its line (10 bits a byte) and the restart.
    const double unitFloor = kImageBytes * 10.0 / kBaud + kRebootMs / 1000.0;
    const double floorPerHour = kPorts * 3600.0 / unitFloor;
    const double perHour = kPlugs * 3600.0 / seconds;
    std::printf("Station, %d ports, %d plugs, %zu-byte image at %u baud, restart %u ms, settle 1000 ms\n", kPorts, kPlugs,
                kImageBytes, kBaud, kRebootMs);
    std::printf("  passed %d of %d in %.1f s: %.0f units per hour; floor %.0f units per hour (%.2f s a unit): x%.2f of floor\n",
                passed, kPlugs, seconds, perHour, floorPerHour, unitFloor, floorPerHour / perHour);
    std::fflush(stdout);
    return passed == kPlugs ? 0 : 1;
}
