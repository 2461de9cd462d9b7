// Simulator test support shared by both platforms; included once by Simulator_posix.cpp or Simulator_win32.cpp
// (so that a target may compile just the one platform file).
#pragma once
// Not a normal header: it defines SimulatorProcess members and must be included by exactly one file per build.

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/Simulator.h"

std::string SimulatorPath() {
    const char* fromEnvironment = std::getenv("BRISKLODE_SIM");
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
#ifdef BRISKLODE_SIM_PATH
    return BRISKLODE_SIM_PATH;
#else
    return std::string();
#endif
}

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

inline bool ParseReadyText(const std::string& text, unsigned short& telnetPort, std::string& serialDevice,
                    unsigned short& discoveryPort) {
    std::istringstream lines(text);
    std::string line;
    bool any = false;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind, first;
        unsigned port = 0;
        words >> kind >> first;
        if (kind == "serial") {
            serialDevice = first;
            any = true;
        } else if ((kind == "telnet" || kind == "discovery") && (words >> port) && port <= 65535) {
            (kind == "telnet" ? telnetPort : discoveryPort) = static_cast<unsigned short>(port);
            any = true;
        }
    }
    return any;
}

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string SimulatorProcess::ReadLog() const { return ReadWholeFile(LocalPath("sim.log")); }

bool SimulatorProcess::WaitForLog(const std::string& needle, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (ReadLog().find(needle) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        SleepMs(20);
    }
}

SimulatorProcess::SimulatorProcess() { CreateFolder(folderError_); }

bool SimulatorProcess::Start(const std::vector<std::string>& args, std::string& error) {
    Stop();
    std::string path = SimulatorPath();
    if (path.empty()) {
        error = "simulator path unknown (set BRISKLODE_SIM)";
        return false;
    }
    if (!CreateFolder(error)) {
        if (!folderError_.empty()) error = folderError_;
        return false;
    }
    std::vector<std::string> argv = {path};
    argv.insert(argv.end(), args.begin(), args.end());
    for (const char* name : {"--ready-file", "--log-file", "--stop-file"}) {
        argv.push_back(name);
        argv.push_back(NativePath(std::string(name) == "--ready-file" ? "ready"
                                  : std::string(name) == "--log-file" ? "sim.log" : "stop"));
    }
    argv.push_back("--quiet");
    argv.push_back("--max-seconds");
    argv.push_back("600");  // the safety net if a test process dies without stopping it
    telnetPort_ = 0;
    discoveryPort_ = 0;
    serialDevice_.clear();
    if (!Launch(argv, error)) return false;
    running_ = true;
    if (!WaitReady(error)) {
        Stop();
        return false;
    }
    return true;
}

bool SimulatorProcess::WaitReady(std::string& error) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::string text = ReadWholeFile(LocalPath("ready"));
        if (!text.empty() && ParseReadyText(text, telnetPort_, serialDevice_, discoveryPort_)) return true;
        if (Exited()) {
            error = "the simulator exited before it was ready: " + ReadLog();
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = "the simulator was not ready within 10 s: " + ReadLog();
            return false;
        }
        SleepMs(10);
    }
}
