// Command-line parsing of brisklode-cli: the link options, the subcommand and its arguments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class LegacyChoice { Ask, Yes, No };

// One modem to talk to: a Telnet address or a serial port, as given or as discovery found it.
struct CliTarget {
    bool serial = false;
    std::string host;             // Telnet
    std::uint16_t port = 3000;
    std::string serialPort;       // serial
    unsigned int baudRate = 0;    // 0 keeps the port's rate
    // What discovery said about it (--discovered); empty otherwise.
    bool discovered = false;
    std::uint64_t serialNumber = 0;
    std::string callSign;
    unsigned int statusByte = 0;

    // "telnet HOST:PORT" or "serial PORT": how the target is named in every output line.
    std::string Label() const;
};

struct CliOptions {
    bool help = false;
    bool version = false;
    // The link: exactly one of telnetHost / serialPort is set for commands that talk to a modem.
    std::string telnetHost;
    std::uint16_t telnetPort = 3000;
    std::string serialPort;
    unsigned int baudRate = 0;  // 0 keeps the port's rate
    std::string command;        // identify, update, log, discover, ports
    std::string path;           // firmware file (update) or output file (log)
    LegacyChoice legacy = LegacyChoice::Ask;
    std::uint32_t discoverTimeoutMs = 2000;

    // Several modems in one run. `targets` holds every --telnet and --serial in the order given;
    // telnetHost / serialPort above mirror the first of them.
    std::vector<CliTarget> targets;
    std::string targetsFile;             // --targets FILE
    bool discovered = false;             // --discovered: every modem that answers the probe
    std::string typeFilter;              // --type C: identity type code, checked after connecting
    std::vector<std::uint64_t> serialNumberFilter;  // --serial-number, with --discovered
    std::vector<std::string> callFilter;            // --call, with --discovered
    unsigned int parallel = 4;
    bool json = false;
    bool csv = false;                    // inventory only
    bool yes = false;                    // update of several modems without asking
    bool confirm = false;                // update: wait for the reboot and check the version
    unsigned int confirmSeconds = 180;

    // True when the run goes through the many-modem machinery: more than one target, a target list,
    // discovery, JSON output or the reboot check. Otherwise the single-modem path runs as it always did.
    bool Fleet() const;
    // True when `path` of the log command names a folder (one file per modem).
    bool LogToFolder() const;
};

// Reads a target list: one target a line, "telnet HOST[:PORT]" or "serial PORT [BAUD]", "#" starts a comment.
// False with a message naming the line on anything else.
bool ParseTargetList(const std::string& text, std::vector<CliTarget>& targets, std::string& error);

// False with a message when a target appears twice (two workers must never share one modem).
bool CheckDistinctTargets(const std::vector<CliTarget>& targets, std::string& error);

// One log file name per target, all distinct: the serial number discovery gave, else address and port
// (or the port name), with anything but letters, digits, '.' and '-' replaced by '_'.
std::vector<std::string> LogFileNames(const std::vector<CliTarget>& targets);

// Splits "HOST[:PORT]", "[IPV6]:PORT" or a bare IPv6 literal. False with a message on an empty host
// or a port that is not a decimal number from 1 to 65535.
bool ParseTelnetTarget(const std::string& text, std::string& host, std::uint16_t& port, std::string& error);

// False with a usage message when the arguments do not form a valid invocation.
bool ParseCommandLine(const std::vector<std::string>& args, CliOptions& options, std::string& error);

// The --help text.
std::string UsageText();
