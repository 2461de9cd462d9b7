// Starts the native modem simulator for a test and tears it down: natively by fork/exec, under Wine by CreateProcess.
#pragma once

#include <string>
#include <vector>

// Where the simulator binary is: $BRISKLODE_SIM, else the path the native build compiled in.
// Empty when neither is known (then tests that need it are skipped with GTEST_SKIP).
std::string SimulatorPath();

class SimulatorProcess {
public:
    // Creates the private folder at once, so that paths in it can be named in the arguments of Start.
    SimulatorProcess();
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    // Starts `brisklode-sim` with `args` plus its own --ready-file, --log-file, --stop-file and
    // --max-seconds, and waits (up to 10 s) until it is ready. Telnet mode listens on 127.0.0.1 and an
    // ephemeral port. Paths inside `args` must be in the simulator's (native) form: use NativePath().
    bool Start(const std::vector<std::string>& args, std::string& error);
    // Stops the simulator (if still running) and waits for it. The folder stays until destruction.
    void Stop();

    unsigned short TelnetPort() const { return telnetPort_; }
    // The pseudo-terminal device of --serial mode, e.g. /dev/pts/7 (native form).
    const std::string& SerialDevice() const { return serialDevice_; }
    // The UDP port of the discovery responder (--discovery), 0 when it does not run.
    unsigned short DiscoveryPort() const { return discoveryPort_; }

    // The simulator's readable log of what it received and did, read afresh from its file.
    std::string ReadLog() const;
    // Waits until the log contains `needle` (the log is written with up to ~50 ms delay, and some lines,
    // e.g. "image stored: ", follow the last verdict). False after timeoutMs.
    bool WaitForLog(const std::string& needle, int timeoutMs = 5000) const;

    // A private folder for this simulator's files (stored image, log content), created by Start:
    // Folder() in this process's own path form (Z:\... under Wine), NativeFolder() in the simulator's.
    const std::string& Folder() const { return folder_; }
    const std::string& NativeFolder() const { return nativeFolder_; }
    // A file in that folder, in this process's form and in the simulator's form.
    std::string LocalPath(const std::string& name) const;
    std::string NativePath(const std::string& name) const;

private:
    bool CreateFolder(std::string& error);
    bool WaitReady(std::string& error);
    bool Launch(const std::vector<std::string>& argv, std::string& error);
    bool Exited();

    std::string folder_;
    std::string nativeFolder_;
    std::string folderError_;
    std::string serialDevice_;
    unsigned short telnetPort_ = 0;
    unsigned short discoveryPort_ = 0;
    long long process_ = 0;  // pid, or process handle under Windows
    bool running_ = false;
};

// A bare loopback socket for tests of the simulator itself, independent of the product's transports.
class RawSocket {
public:
    RawSocket();
    ~RawSocket();
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    bool ConnectTcp(unsigned short port, std::string& error);  // to 127.0.0.1
    bool OpenUdp(std::string& error);                          // bound to 127.0.0.1, ephemeral port
    bool Send(const std::string& bytes);
    bool SendTo(unsigned short port, const std::string& bytes);  // UDP to 127.0.0.1:port
    // Appends what arrives within timeoutMs (returns at the first data): >0 bytes, 0 timeout,
    // -1 closed by the peer or failed. For UDP one datagram per call.
    int Receive(std::string& out, int timeoutMs);
    void Close();

private:
    long long socket_;
};
