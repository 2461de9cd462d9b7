// Command-line parsing of brisklode-cli.
#include "cli/Args.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "transport/File.h"
#include "transport/Transport.h"

namespace {

bool ParseUnsigned(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty() || text.size() > 10) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= limit;
}

bool ParsePort(const std::string& text, std::uint16_t& port, std::string& error) {
    std::uint64_t value = 0;
    if (!ParseUnsigned(text, 65535, value) || value == 0) {
        error = "Invalid Telnet port '" + text + "': expected a number from 1 to 65535";
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool ParseHex64(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 16) return false;
    value = 0;
    for (char c : text) {
        int digit = 0;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        value = value << 4 | static_cast<unsigned>(digit);
    }
    return true;
}

// "a,b,c" -> {a, b, c}; empty items are dropped.
std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        if (comma > start) items.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

void AppendUtf8(std::uint32_t code, std::string& out) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Target lists written on Windows often start with a byte order mark, and PowerShell's ">" writes UTF-16:
// both become plain UTF-8 text. Unpaired surrogates become U+FFFD.
std::string PlainText(const std::string& text) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) return text.substr(3);
    const bool little = text.compare(0, 2, "\xFF\xFE") == 0;
    if (!little && text.compare(0, 2, "\xFE\xFF") != 0) return text;
    const auto unit = [&](size_t i) -> std::uint32_t {
        const auto a = static_cast<unsigned char>(text[i]);
        const auto b = static_cast<unsigned char>(text[i + 1]);
        return little ? (a | b << 8) : (a << 8 | b);
    };
    std::string out;
    for (size_t i = 2; i + 1 < text.size(); i += 2) {
        std::uint32_t code = unit(i);
        if (code >= 0xD800 && code <= 0xDBFF && i + 3 < text.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        AppendUtf8(code, out);
    }
    return out;
}

}  // namespace

std::string CliTarget::Label() const {
    if (serial) return "serial " + serialPort;
    const bool v6 = host.find(':') != std::string::npos;
    return "telnet " + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool CliOptions::Fleet() const {
    return targets.size() > 1 || !targetsFile.empty() || discovered || json || confirm || !typeFilter.empty() ||
           command == "inventory" || LogToFolder();
}

bool CliOptions::LogToFolder() const {
    return command == "log" && (targets.size() > 1 || !targetsFile.empty() || discovered || logPathIsFolder);
}

bool ParseTargetList(const std::string& raw, std::vector<CliTarget>& targets, std::string& error) {
    const std::string text = PlainText(raw);
    size_t start = 0;
    unsigned number = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        const std::vector<std::string> words = Words(line);
        if (words.empty()) continue;
        const std::string where = "target list line " + std::to_string(number) + ": ";
        CliTarget target;
        if (words[0] == "telnet" && words.size() == 2) {
            if (!ParseTelnetTarget(words[1], target.host, target.port, error)) {
                error = where + error;
                return false;
            }
        } else if (words[0] == "serial" && (words.size() == 2 || words.size() == 3)) {
            target.serial = true;
            target.serialPort = words[1];
            if (words.size() == 3) {
                std::uint64_t baud = 0;
                if (!ParseUnsigned(words[2], 4000000, baud) || baud == 0) {
                    error = where + "invalid baud rate '" + words[2] + "'";
                    return false;
                }
                target.baudRate = static_cast<unsigned int>(baud);
            }
        } else {
            error = where + "expected \"telnet HOST[:PORT]\" or \"serial PORT [BAUD]\"";
            return false;
        }
        targets.push_back(target);
    }
    return true;
}

bool CheckDistinctTargets(const std::vector<CliTarget>& targets, std::string& error) {
    std::set<std::string> seen;
    for (const CliTarget& target : targets) {
        if (!seen.insert(target.Label()).second) {
            error = "Target given twice: " + target.Label();
            return false;
        }
    }
    return true;
}

std::vector<std::string> LogFileNames(const std::vector<CliTarget>& targets) {
    std::vector<std::string> names;
    std::set<std::string> taken;
    for (const CliTarget& target : targets) {
        std::string base;
        if (target.discovered) {
            char hex[17];
            std::snprintf(hex, sizeof hex, "%016llX", static_cast<unsigned long long>(target.serialNumber));
            base = hex;
        } else if (target.serial) {
            base = target.serialPort;
            const size_t slash = base.find_last_of("/\\");
            if (slash != std::string::npos && slash + 1 < base.size()) base = base.substr(slash + 1);
        } else {
            base = target.host + "_" + std::to_string(target.port);
        }
        for (char& c : base) {
            const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-';
            if (!plain) c = '_';
        }
        if (base.empty() || base[0] == '.') base = "_" + base;  // never "", "." or ".."
        // COM1.log would be the port itself on Windows: COM1_port.log.
        if (IsWindowsDeviceName(Utf8ToWide(base + ".log"))) base.insert(std::min(base.find('.'), base.size()), "_port");
        std::string name = base + ".log";
        for (unsigned n = 2; !taken.insert(name).second; ++n) name = base + "-" + std::to_string(n) + ".log";
        names.push_back(name);
    }
    return names;
}

bool ParseTelnetTarget(const std::string& text, std::string& host, std::uint16_t& port, std::string& error) {
    port = 3000;
    std::string portText;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) {
            error = "Invalid address '" + text + "': missing ']'";
            return false;
        }
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                error = "Invalid address '" + text + "'";
                return false;
            }
            portText = rest.substr(1);
            if (!ParsePort(portText, port, error)) return false;
        }
    } else {
        const size_t first = text.find(':');
        if (first != std::string::npos && text.find(':', first + 1) == std::string::npos) {
            host = text.substr(0, first);
            if (!ParsePort(text.substr(first + 1), port, error)) return false;
        } else {
            host = text;  // no colon, or a bare IPv6 literal
        }
    }
    if (host.empty()) {
        error = "Missing modem address";
        return false;
    }
    return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, CliOptions& options, std::string& error) {
    options = CliOptions();
    std::vector<std::string> positional;
    bool legacyGiven = false;
    bool timeoutGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = "Option " + arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string text;
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--telnet") {
            if (!value(text)) return false;
            CliTarget target;
            if (!ParseTelnetTarget(text, target.host, target.port, error)) return false;
            options.targets.push_back(target);
        } else if (arg == "--serial") {
            CliTarget target;
            target.serial = true;
            if (!value(target.serialPort)) return false;
            if (target.serialPort.empty()) {
                error = "Missing serial port name";
                return false;
            }
            options.targets.push_back(target);
        } else if (arg == "--targets") {
            if (!value(options.targetsFile)) return false;
            if (options.targetsFile.empty()) {
                error = "Missing target list file name";
                return false;
            }
        } else if (arg == "--discovered") {
            options.discovered = true;
        } else if (arg == "--type") {
            if (!value(options.typeFilter)) return false;
            if (options.typeFilter.empty()) {
                error = "Missing type code after --type";
                return false;
            }
        } else if (arg == "--serial-number") {
            if (!value(text)) return false;
            for (const std::string& item : SplitList(text)) {
                std::uint64_t number = 0;
                if (!ParseHex64(item, number)) {
                    error = "Invalid serial number '" + item + "': expected up to 16 hex digits";
                    return false;
                }
                options.serialNumberFilter.push_back(number);
            }
            if (options.serialNumberFilter.empty()) {
                error = "Missing serial number after --serial-number";
                return false;
            }
        } else if (arg == "--call") {
            if (!value(text)) return false;
            for (const std::string& item : SplitList(text)) options.callFilter.push_back(item);
            if (options.callFilter.empty()) {
                error = "Missing call sign after --call";
                return false;
            }
        } else if (arg == "--parallel") {
            if (!value(text)) return false;
            std::uint64_t count = 0;
            if (!ParseUnsigned(text, 256, count) || count == 0) {
                error = "Invalid --parallel value '" + text + "': expected a number from 1 to 256";
                return false;
            }
            options.parallel = static_cast<unsigned int>(count);
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--csv") {
            options.csv = true;
        } else if (arg == "--yes" || arg == "-y") {
            options.yes = true;
        } else if (arg == "--confirm" || arg.rfind("--confirm=", 0) == 0) {
            options.confirm = true;
            if (arg.size() > 9) {
                std::uint64_t seconds = 0;
                if (!ParseUnsigned(arg.substr(10), 86400, seconds) || seconds == 0) {
                    error = "Invalid " + arg + ": expected seconds from 1 to 86400";
                    return false;
                }
                options.confirmSeconds = static_cast<unsigned int>(seconds);
            }
        } else if (arg == "--baud") {
            if (!value(text)) return false;
            std::uint64_t baud = 0;
            if (!ParseUnsigned(text, 4000000, baud) || baud == 0) {
                error = "Invalid baud rate '" + text + "'";
                return false;
            }
            options.baudRate = static_cast<unsigned int>(baud);
        } else if (arg == "--legacy") {
            if (!value(text)) return false;
            if (text == "ask") options.legacy = LegacyChoice::Ask;
            else if (text == "yes") options.legacy = LegacyChoice::Yes;
            else if (text == "no") options.legacy = LegacyChoice::No;
            else {
                error = "Invalid --legacy value '" + text + "': expected ask, yes or no";
                return false;
            }
            legacyGiven = true;
        } else if (arg == "--timeout") {
            if (!value(text)) return false;
            std::uint64_t ms = 0;
            if (!ParseUnsigned(text, 3600000, ms)) {
                error = "Invalid timeout '" + text + "': expected milliseconds from 0 to 3600000";
                return false;
            }
            options.discoverTimeoutMs = static_cast<std::uint32_t>(ms);
            timeoutGiven = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "Unknown option " + arg;
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (options.help || options.version) return true;
    if (positional.empty()) {
        error = "Missing command";
        return false;
    }
    options.command = positional[0];
    const std::string& command = options.command;
    size_t wanted = 1;
    if (command == "update" || command == "log") {
        wanted = 2;
    } else if (command != "identify" && command != "discover" && command != "ports" && command != "inventory") {
        error = "Unknown command " + command;
        return false;
    }
    if (positional.size() != wanted) {
        error = wanted == 2 ? "The " + command + " command needs " + (command == "update" ? "a firmware file" : "an output file")
                            : "Unexpected argument " + positional[1];
        return false;
    }
    if (wanted == 2) options.path = positional[1];
    if (legacyGiven && command != "update") {
        error = "--legacy applies to the update command only";
        return false;
    }
    const bool needsLink = command == "identify" || command == "update" || command == "log";
    if (timeoutGiven && command != "discover" && command != "inventory" && !options.discovered) {
        error = "--timeout applies to discover, inventory and --discovered only";
        return false;
    }
    const bool hasTargets = !options.targets.empty() || !options.targetsFile.empty() || options.discovered;
    if (needsLink && !hasTargets) {
        error = "The " + command + " command needs --telnet HOST[:PORT], --serial PORT, --targets FILE or --discovered";
        return false;
    }
    if (!needsLink && hasTargets) {
        error = "The " + command + " command takes no --telnet, --serial, --targets or --discovered";
        return false;
    }
    bool hasSerial = false;
    for (CliTarget& target : options.targets) {
        if (!target.serial) continue;
        hasSerial = true;
        target.baudRate = options.baudRate;
    }
    if (options.baudRate != 0 && !hasSerial) {
        error = "--baud goes with --serial";
        return false;
    }
    if (!CheckDistinctTargets(options.targets, error)) return false;
    // Standard output then carries the log alone: no fleet lines, no JSON.
    if (command == "log" && options.path == "-" &&
        (options.targets.size() > 1 || !options.targetsFile.empty() || options.discovered || options.json ||
         !options.typeFilter.empty())) {
        error = "log - (standard output) takes one modem, without --json and --type";
        return false;
    }
    if (!options.targets.empty()) {
        const CliTarget& first = options.targets.front();
        if (first.serial) options.serialPort = first.serialPort;
        else {
            options.telnetHost = first.host;
            options.telnetPort = first.port;
        }
    }
    if ((!options.serialNumberFilter.empty() || !options.callFilter.empty()) && !options.discovered) {
        error = "--serial-number and --call select among --discovered modems";
        return false;
    }
    if (!options.typeFilter.empty() && !needsLink) {
        error = "--type applies to identify, update and log";
        return false;
    }
    if ((options.yes || options.confirm) && command != "update") {
        error = std::string(options.yes ? "--yes" : "--confirm") + " applies to the update command only";
        return false;
    }
    if (options.csv && (command != "inventory" || options.json)) {
        error = "--csv applies to the inventory command only, without --json";
        return false;
    }
    return true;
}

std::string UsageText() {
    return "Usage: brisklode-cli [TARGETS] COMMAND [ARGS] [OPTIONS]\n"
           "\n"
           "Commands:\n"
           "  identify                      return the modem to its menu and show model and firmware\n"
           "  update FIRMWARE [--legacy ask|yes|no] [--confirm[=SECONDS]] [--yes]\n"
           "                                install a firmware image (fast transfer with modem-side\n"
           "                                verification; legacy 256-byte transfer only if allowed)\n"
           "  log OUTFILE | log DIR         download the system log and save it; with several targets\n"
           "                                (or --targets/--discovered), or when DIR is an existing\n"
           "                                folder, one file per modem into DIR\n"
           "  discover [--timeout MS]       list the modems that answer the network probe (default 2000 ms)\n"
           "  inventory [--timeout MS] [--csv]\n"
           "                                discover, then identify every modem that answered\n"
           "  ports                         list the serial ports of this machine\n"
           "\n"
           "Targets (identify, update, log; each may be repeated and mixed):\n"
           "  --telnet HOST[:PORT]          modem console over Telnet (default port 3000; [IPv6]:PORT)\n"
           "  --serial PORT                 modem console on a serial port (COM3, /dev/ttyUSB0)\n"
           "  --baud N                      set the rate of every --serial port (default: keep the port's rate)\n"
           "  --targets FILE                one target a line: \"telnet HOST[:PORT]\" or \"serial PORT [BAUD]\";\n"
           "                                '#' starts a comment\n"
           "  --discovered                  every modem that answers the network probe (--timeout MS),\n"
           "                                optionally only --serial-number HEX[,HEX...] / --call CALL[,CALL...]\n"
           "  --type C                      only modems whose identity type code is C (checked after\n"
           "                                connecting; any other modem is skipped, never flashed)\n"
           "  --parallel N                  work on up to N modems at once (default 4)\n"
           "\n"
           "Options:\n"
           "  --legacy ask|yes|no           when the firmware lacks the fast transfer: ask (default; no\n"
           "                                without a terminal or with several targets), always, never\n"
           "  --confirm[=SECONDS]           after the update wait up to SECONDS (default 180) for the modem\n"
           "                                to restart (Telnet: a new connection every 2 s; serial: the port\n"
           "                                reopened), check its identity, report firmware before and after\n"
           "  --yes                         update several modems without asking (needed without a terminal)\n"
           "  --json                        stdout carries JSON objects only, one a line (events progress,\n"
           "                                result, summary); human text goes to stderr\n"
           "  --csv                         inventory as comma-separated values\n"
           "  -h, --help                    this text\n"
           "  --version                     the program version\n"
           "\n"
           "Exit status: 0 every target succeeded, 1 a failure, 2 usage error, 130 interrupted (SIGINT, Ctrl-C),\n"
           "143 terminated (SIGTERM; on Windows Ctrl-Break or closing the console). After a signal the\n"
           "operation is cancelled (the modem is told where the protocol allows) and a log being saved is\n"
           "discarded; a second signal ends the program without waiting.\n";
}
