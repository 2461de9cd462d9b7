// A pseudo-terminal pair for serial link tests: the test plays the modem on the master side.
#pragma once

#include <cstddef>
#include <string>

// The line settings of the terminal side as the port driver holds them.
struct SerialLineSettings {
    unsigned int baud = 0;
    bool eightBits = false;
    bool parity = false;
    bool twoStopBits = false;
    bool hardwareFlow = false;
    bool softwareFlow = false;  // IXON or IXOFF
    bool translation = false;   // any input/output mapping (ICRNL, INLCR, IGNCR, OPOST, ...)
    bool canonical = false;     // ICANON, ECHO or ISIG
    bool receiverOn = false;    // CREAD
    bool ignoresModemLines = false;  // CLOCAL
};

// Whether this build can open the simulator's pseudo-terminal by its device path (not under Windows).
bool PseudoTerminalsAvailable();

class SerialPty {
public:
    SerialPty() = default;
    ~SerialPty();
    SerialPty(const SerialPty&) = delete;
    SerialPty& operator=(const SerialPty&) = delete;

    // False (with a reason) where the platform has no pseudo-terminals; tests then skip.
    bool Create(std::string& error);
    // The terminal side's path, which a serial transport opens (e.g. /dev/pts/4).
    const std::string& DevicePath() const { return devicePath_; }

    // Sends bytes to whoever has the terminal side open; all of them or false.
    bool Send(const std::string& bytes);
    // Collects what the terminal side wrote until `count` bytes arrived or `timeoutMs` passed.
    std::string Receive(size_t count, unsigned int timeoutMs);
    // Closes the modem side: the terminal side then sees a hang-up.
    void CloseMaster();

    // The terminal side's settings, read through the master.
    bool Settings(SerialLineSettings& settings);
    // Sets the terminal side's rate before a test opens it.
    bool SetBaud(unsigned int baud);
    // Keeps a descriptor of the terminal side open (so its input queue survives other closes);
    // IsExclusive asks the driver through it whether the terminal is in exclusive mode.
    bool HoldTerminal();
    bool IsExclusive(bool& exclusive);

private:
    int master_ = -1;
    int held_ = -1;
    std::string devicePath_;
};
