// Command-line parsing of brisklode-cli: the link options, the subcommand and its arguments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class LegacyChoice { Ask, Yes, No };

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
};

// Splits "HOST[:PORT]", "[IPV6]:PORT" or a bare IPv6 literal. False with a message on an empty host
// or a port that is not a decimal number from 1 to 65535.
bool ParseTelnetTarget(const std::string& text, std::string& host, std::uint16_t& port, std::string& error);

// False with a usage message when the arguments do not form a valid invocation.
bool ParseCommandLine(const std::vector<std::string>& args, CliOptions& options, std::string& error);

// The --help text.
std::string UsageText();
