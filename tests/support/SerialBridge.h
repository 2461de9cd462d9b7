// Runs scripts/ser2net-bridge for a test: a third-party Telnet/RFC 2217 server in front of a serial device.
#pragma once

#include <string>

class Ser2netBridge {
public:
    Ser2netBridge() = default;
    ~Ser2netBridge();
    Ser2netBridge(const Ser2netBridge&) = delete;
    Ser2netBridge& operator=(const Ser2netBridge&) = delete;

    // False where ser2net cannot run (not installed, or not a POSIX build); tests then skip.
    static bool Available(std::string& reason);
    // Starts `script DEVICE` and waits (up to 15 s) for its "telnet 127.0.0.1 PORT" line.
    bool Start(const std::string& script, const std::string& device, std::string& error);
    // Ends the script, which stops ser2net and removes its configuration.
    void Stop();
    unsigned short Port() const { return port_; }

private:
    long long process_ = 0;
    int output_ = -1;
    unsigned short port_ = 0;
};
