// Starts the native modem simulator for a test and tears it down: natively by fork/exec, under Wine by CreateProcess.
#pragma once

#include <string>
#include <vector>

// Where the simulator binary is: $BRISKLODE_SIM, else the path the native build compiled in.
// Empty when neither is known (then tests that need it are skipped with GTEST_SKIP).
std::string SimulatorPath();

class SimulatorProcess {
public:
    SimulatorProcess() = default;
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    // Starts `brisklode-sim` with `args` plus its own --ready-file, --log-file and --max-seconds,
    // and waits (up to 10 s) until it is ready. Telnet mode listens on 127.0.0.1 and an ephemeral port.
    bool Start(const std::vector<std::string>& args, std::string& error);
    // Kills the simulator (if still running) and waits for it.
    void Stop();

    unsigned short TelnetPort() const { return telnetPort_; }
    // The pseudo-terminal device of --serial mode, e.g. /dev/pts/7.
    const std::string& SerialDevice() const { return serialDevice_; }
    // The simulator's readable log of what it received and did, read afresh from its file.
    std::string ReadLog() const;
    // A private folder for this simulator's files (stored image, log content); native path.
    const std::string& Folder() const { return folder_; }

private:
    std::string folder_;
    std::string serialDevice_;
    unsigned short telnetPort_ = 0;
    long long process_ = 0;  // pid, or process handle under Windows
    bool running_ = false;
};
