// Command-line parsing of brisklode-cli.
#include "cli/Args.h"

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

}  // namespace

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
            if (!ParseTelnetTarget(text, options.telnetHost, options.telnetPort, error)) return false;
        } else if (arg == "--serial") {
            if (!value(options.serialPort)) return false;
            if (options.serialPort.empty()) {
                error = "Missing serial port name";
                return false;
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
    } else if (command != "identify" && command != "discover" && command != "ports") {
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
    if (timeoutGiven && command != "discover") {
        error = "--timeout applies to the discover command only";
        return false;
    }
    const bool needsLink = command == "identify" || command == "update" || command == "log";
    const bool hasTelnet = !options.telnetHost.empty();
    const bool hasSerial = !options.serialPort.empty();
    if (needsLink && hasTelnet == hasSerial) {
        error = hasTelnet ? "Give either --telnet or --serial, not both" : "The " + command + " command needs --telnet HOST[:PORT] or --serial PORT";
        return false;
    }
    if (!needsLink && (hasTelnet || hasSerial)) {
        error = "The " + command + " command takes no --telnet or --serial";
        return false;
    }
    if (options.baudRate != 0 && !hasSerial) {
        error = "--baud goes with --serial";
        return false;
    }
    return true;
}

std::string UsageText() {
    return "Usage: brisklode-cli [--telnet HOST[:PORT] | --serial PORT [--baud N]] COMMAND [ARGS]\n"
           "\n"
           "Commands:\n"
           "  identify                      return the modem to its menu and show model and firmware\n"
           "  update FIRMWARE [--legacy ask|yes|no]\n"
           "                                install a firmware image (fast transfer with modem-side\n"
           "                                verification; legacy 256-byte transfer only if allowed)\n"
           "  log OUTFILE                   download the modem's system log and save it\n"
           "  discover [--timeout MS]       list the modems that answer the network probe (default 2000 ms)\n"
           "  ports                         list the serial ports of this machine\n"
           "\n"
           "Options:\n"
           "  --telnet HOST[:PORT]          modem console over Telnet (default port 3000; [IPv6]:PORT)\n"
           "  --serial PORT                 modem console on a serial port (COM3, /dev/ttyUSB0)\n"
           "  --baud N                      set the serial line rate (default: keep the port's rate)\n"
           "  --legacy ask|yes|no           when the firmware lacks the fast transfer: ask (default;\n"
           "                                no without a terminal), always use, or never use the legacy one\n"
           "  -h, --help                    this text\n"
           "  --version                     the program version\n"
           "\n"
           "Exit status: 0 success, 1 failure, 2 usage error, 130 interrupted (SIGINT, Ctrl-C),\n"
           "143 terminated (SIGTERM; on Windows Ctrl-Break or closing the console). After a signal the\n"
           "operation is cancelled (the modem is told where the protocol allows) and a log being saved is\n"
           "discarded; a second signal ends the program without waiting.\n";
}
