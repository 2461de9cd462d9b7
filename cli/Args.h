// Command-line parsing of brisklode-cli: the link options, the subcommand and its arguments.
#pragma once

#include <cstdint>
#include <functional>
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
    // Set for a modem asked for with --serial-number / --call that discovery did not find: its label.
    std::string missing;

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
    bool logPathIsFolder = false;        // log: the path names an existing folder (set after parsing)
    bool overwrite = false;              // log DIR: replace an earlier run's file of the same name

    // The guard rails of a rollout.
    std::string expectFirmware;          // --expect-firmware V: ok only when the modem comes back with V
    std::vector<std::pair<std::string, std::string>> expectFirmwareByType;  // --expect-firmware TYPE=V
    bool force = false;                  // update even a modem that already reports V
    bool plan = false;                   // update --plan: identify, show what the update would do, send nothing
    bool strict = false;                 // update --strict: only ok targets succeed; a skip is a failure
    std::vector<std::pair<std::string, std::string>> firmwareByType;  // --firmware TYPE=FILE
    unsigned maxFailures = 0;            // 0: no limit
    unsigned canary = 0;                 // the first N targets run before any other starts
    unsigned retries = 0;                // connect and identity attempts after the first
    unsigned connectTimeoutSeconds = 0;  // 0: the transport's own bound
    std::string recordPath;              // --record FILE
    std::string resumePath;              // --resume RECORD: the targets that did not end well there; appends to it

    // The version a modem of identity type `type` must come back with: by type, else the plain one; empty for none.
    const std::string& ExpectedFirmware(const std::string& type) const;
    bool ExpectsFirmware() const { return !expectFirmware.empty() || !expectFirmwareByType.empty(); }

    // True when the run goes through the run of targets (one target is a run of one): every command but
    // discover and ports without JSON, which only print what they found.
    bool Fleet() const;
    // True when `path` of the log command names a folder (one file per modem).
    bool LogToFolder() const;
};

// Reads a target list: one target a line, "telnet HOST[:PORT]" or "serial PORT [BAUD]", "#" starts a comment.
// The text is UTF-8 (a byte order mark is skipped) or UTF-16 with its byte order mark.
// False with a message naming the line on anything else.
bool ParseTargetList(const std::string& text, std::vector<CliTarget>& targets, std::string& error);

// False with a message when a target appears twice (two workers must never share one modem).
bool CheckDistinctTargets(const std::vector<CliTarget>& targets, std::string& error);
// What reaches a target's modem: "telnet ADDRESS:PORT" for every address its host resolves to, or
// "serial PATH" with the port's real path.
using ModemKeys = std::function<std::vector<std::string>(const CliTarget&)>;
// False with a message naming both when two targets share any key: two spellings of one modem (localhost
// and 127.0.0.1, a link to a serial port and the port) would have two workers fight over one console.
// Targets that discovery did not find are left out.
bool CheckSameModems(const std::vector<CliTarget>& targets, const ModemKeys& keys, std::string& error);

// One log file name per target, all distinct: the serial number discovery gave, else address and port
// (or the port name), with anything but letters, digits, '.' and '-' replaced by '_'.
std::vector<std::string> LogFileNames(const std::vector<CliTarget>& targets);

// Splits "HOST[:PORT]", "[IPV6]:PORT" or a bare IPv6 literal. False with a message on an empty host
// or a port that is not a decimal number from 1 to 65535.
bool ParseTelnetTarget(const std::string& text, std::string& host, std::uint16_t& port, std::string& error);

// False with a usage message when the arguments do not form a valid invocation.
bool ParseCommandLine(const std::vector<std::string>& args, CliOptions& options, std::string& error);

// Every long option the command line knows ("--telnet", ...).
std::vector<std::string> OptionNames();
// True for identify, update, log, discover, inventory and ports.
bool IsCommandName(const std::string& word);
// The --help text: of every command, or of one.
std::string UsageText(const std::string& command = std::string());
