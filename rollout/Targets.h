// The targets of a rollout: how they are spelled and resolved, which modems discovery keeps, and when two
// targets are one modem.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One modem to talk to: a Telnet address or a serial port, as given or as discovery found it.
struct RolloutTarget {
    bool serial = false;
    std::string host;             // Telnet
    std::uint16_t port = 3000;
    std::string serialPort;       // serial
    unsigned int baudRate = 0;    // 0 keeps the port's rate
    // What discovery said about it; empty otherwise.
    bool discovered = false;
    std::uint64_t serialNumber = 0;
    std::string callSign;
    unsigned int statusByte = 0;
    // Set for a modem asked for by serial number or call sign that discovery did not find: its label.
    std::string missing;
    // The key a record knows the target by, the same in every run (set by resolution; see TargetKey).
    std::string key;
    // Telnet: every numeric address the host resolved to before the run (localhost may give ::1 and 127.0.0.1),
    // so that two spellings of one modem are seen as one; empty when not looked up or not answered in time.
    std::vector<std::string> addresses;
    // A resume: the record shows an earlier run of this rollout began this target's update (it may hold the image).
    bool begunBefore = false;

    // "telnet HOST:PORT" or "serial PORT": how the target is named in every output line.
    std::string Label() const;
};

// The key a record knows a target by: "serial-number HEX" or "call CALL" for a modem asked for by name (found
// or not), else "telnet ADDRESS:PORT" with the first numeric address its host resolved to (IPv4 first, so
// that every spelling of one address is one key; the host as given when it was not resolved), or
// "serial PATH" with the port's real path.
std::string TargetKey(const RolloutTarget& target);

// The result message of a target that discovery named but that did not answer its probe.
std::string NotFoundMessage(const RolloutTarget& target);

// The whole text as a decimal number no greater than `limit` (no sign, no spaces).
bool ParseDecimal(const std::string& text, std::uint64_t limit, std::uint64_t& value);
// The whole text as a hexadecimal number of up to 64 bits.
bool ParseHex64(const std::string& text, std::uint64_t& value);

// Splits "HOST[:PORT]", "[IPV6]:PORT" or a bare IPv6 literal. False with a message on an empty host
// or a port that is not a decimal number from 1 to 65535.
bool ParseTelnetTarget(const std::string& text, std::string& host, std::uint16_t& port, std::string& error);

// Reads a target list: one target a line, "telnet HOST[:PORT]" or "serial PORT [BAUD]", "#" starts a comment.
// The text is UTF-8 (a byte order mark is skipped) or UTF-16 with its byte order mark.
// False with a message naming the line on anything else.
bool ParseTargetList(const std::string& text, std::vector<RolloutTarget>& targets, std::string& error);

// False with a message when a target appears twice (two workers must never share one modem).
bool CheckDistinctTargets(const std::vector<RolloutTarget>& targets, std::string& error);
// What reaches a target's modem: "telnet ADDRESS:PORT" for every address its host resolved to (the host as
// given when it was not resolved), or "serial PATH" with the port's real path.
using ModemKeys = std::function<std::vector<std::string>(const RolloutTarget&)>;
std::vector<std::string> SystemModemKeys(const RolloutTarget& target);
// False with a message naming both when two targets share any key: two spellings of one modem (localhost
// and 127.0.0.1, a link to a serial port and the port) would have two workers fight over one console.
// Targets that discovery did not find are left out.
bool CheckSameModems(const std::vector<RolloutTarget>& targets, const ModemKeys& keys, std::string& error);

// Keeps the discovered modems that any serial number or call sign of the lists names (all when both are
// empty); a call sign matches whatever its case.
std::vector<RolloutTarget> FilterDiscovered(const std::vector<RolloutTarget>& found,
                                            const std::vector<std::uint64_t>& serialNumbers,
                                            const std::vector<std::string>& callSigns);

// "BASE.EXT", then "BASE-2.EXT", "BASE-3.EXT", ...: the `n`-th name (from 1) of a series of free names.
std::string NumberedName(const std::string& base, unsigned n, const std::string& extension);

// One log file name per target, all distinct: the serial number discovery gave, else address and port
// (or the port name), with anything but letters, digits, '.' and '-' replaced by '_'.
std::vector<std::string> LogFileNames(const std::vector<RolloutTarget>& targets);

// The modems that answer the discovery probe, sorted by address and port.
std::vector<RolloutTarget> DiscoverTargets(std::uint32_t timeoutMs, std::string& error,
                                           const std::atomic<bool>* cancel = nullptr);

struct RolloutRequest;
// The whole target list, discovery and given targets of a run, in that order, without repeats; discovery
// filters applied, and a modem asked for by serial number or call sign that did not answer kept as missing.
// False with a message (`usage` set unless discovery failed) when the list is bad. Each Telnet host is looked
// up once, bounded by the connect timeout: a name that does not answer in time is left to the target's own
// connect to fail. Discovery and lookups end early once `cancel` is set; the targets are still all given
// (the run then cancels each of them).
bool ResolveTargets(const RolloutRequest& request, std::vector<RolloutTarget>& targets, std::string& error, bool& usage,
                    const std::atomic<bool>* cancel = nullptr);
