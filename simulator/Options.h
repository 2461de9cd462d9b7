// The simulator's command line: every behaviour and fault knob of the simulated modem.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class UpdfastVariant { Offered, Unknown, Silent };
enum class LogMode { Fast, Legacy };
// FloodOptions and StopReading: the modem stops reading its input (FloodOptions also sends Telnet option
// requests without end), so that whatever the tool sends piles up in the link.
enum class HostileKind { None, Random, Endless, Oversized, FloodOptions, StopReading };
// Where a hostile modem starts misbehaving: on connect or at the first command of that kind.
enum class HostilePhase { Connect, Quit, Identity, Update, Log };
enum class CallPad { Nul, Space };
// One fault at one step of a transfer (--fault): where the modem's answer to that step goes wrong.
enum class FaultStep { None, Prompt, Header, Size, Verdict, Banner, LogSize, Chunk };
enum class FaultKind { Drop, Stall, Byte };

struct SimOptions {
    // General
    std::string readyFile;
    std::string logFile;
    std::string stopFile;
    double maxSeconds = 0;  // 0: no limit
    bool quiet = false;     // no ready lines on stdout

    // Carrier
    bool console = true;
    bool serial = false;
    std::string link;
    unsigned baud = 0;  // 0: no pacing
    std::string bindAddress = "127.0.0.1";
    unsigned telnetPort = 0;
    bool refuseSecond = false;
    std::vector<std::vector<unsigned char>> telnetOffers;  // raw IAC sequences sent on connect

    // Identity and console faults
    std::string typeCode = "U";
    std::string firmware = "7.2";
    bool silent = false;
    unsigned dribbleMs = 0;  // 0: replies in one piece
    bool noTerminator = false;
    bool closeMidReply = false;
    unsigned transferIdleMs = 15000;

    // Update
    std::string imageFile;
    UpdfastVariant updfast = UpdfastVariant::Offered;
    bool noUpdate = false;
    bool rejectSize = false;
    unsigned rejectFrame = 0;                  // 1-based, 0: none
    bool badChecksum = false;
    std::map<unsigned, unsigned char> verdictBytes;  // frame (1-based) -> verdict byte
    bool badHeader = false;
    unsigned stallAfterFrame = 0;              // 1-based, 0: none
    std::uint64_t dropAfterBytes = 0;          // 0: never
    bool dropAfterBytesSet = false;
    unsigned verifyDelayMs = 0;
    // Restart after a successful update: drop the link, stay unreachable, come back with another version.
    bool reboot = false;
    unsigned rebootMs = 0;
    std::string firmwareAfter;                 // empty: the version stays

    // Log
    LogMode logMode = LogMode::Fast;
    std::string logContentFile;
    std::uint64_t logSize = 4096;
    std::uint64_t logSeed = 1;
    bool logAnnounceSet = false;
    std::uint64_t logAnnounce = 0;
    unsigned logStallChunk = 0;                // 1-based, 0: none
    bool logBannerNoEsc = false;
    bool logBannerPlain = false;

    // Discovery
    bool discovery = false;
    std::string discoveryBind = "0.0.0.0";
    unsigned discoveryPort = 1101;
    std::uint64_t serialNumber = 1;
    std::string callSign = "SIM";
    CallPad callPad = CallPad::Nul;
    unsigned statusByte = 0;
    int announcePort = -1;                     // -1: the console's Telnet port
    bool replyTwice = false;
    bool replyShort = false;
    bool wrongMagic = false;
    bool everySecondProbe = false;
    bool discoverySilent = false;

    // Hostile modem
    HostileKind hostile = HostileKind::None;
    HostilePhase hostilePhase = HostilePhase::Quit;
    unsigned hostileRate = 4 * 1024 * 1024;    // bytes per second of endless output

    // Fault injection at one wire step
    FaultStep faultStep = FaultStep::None;
    unsigned faultNumber = 0;                  // frame (Verdict) or chunk/block (Chunk), 1-based
    FaultKind faultKind = FaultKind::Drop;
    unsigned char faultByte = 0;
};

// Parses argv. Returns 0 to run, 1 to print the help, 3 to print the version (both exit 0), 2 on a usage
// error (message in `error`).
int ParseOptions(int argc, char** argv, SimOptions& options, std::string& error);
const char* HelpText();
