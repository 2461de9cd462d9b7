// Command-line parsing of brisklode-cli.
#include "cli/Args.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <set>

#include <CLI/CLI.hpp>

#include "transport/File.h"
#include "transport/Transport.h"

namespace {

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

}  // namespace

bool CliOptions::Fleet() const { return command != "station" && (json || (command != "discover" && command != "ports")); }

namespace {

// A value checked after the parse (its text kept for the message), and whether it was given.
struct Given {
    std::string text;
    bool given = false;
};

bool Number(const Given& value, const char* option, std::uint64_t low, std::uint64_t high, unsigned& out, std::string& error) {
    if (!value.given) return true;
    std::uint64_t number = 0;
    if (!ParseDecimal(value.text, high, number) || number < low) {
        error = "Invalid " + std::string(option) + " value '" + value.text + "': expected a number from " +
                std::to_string(low) + " to " + std::to_string(high);
        return false;
    }
    out = static_cast<unsigned>(number);
    return true;
}

// TYPE=VALUE (split at `equals`) into a per-type list; a type given twice is a usage error.
bool AddByType(std::vector<std::pair<std::string, std::string>>& list, const std::string& item, size_t equals,
               const char* option, std::string& error) {
    const std::string type = item.substr(0, equals);
    for (const auto& given : list) {
        if (given.first == type) {
            error = std::string(option) + " names type " + type + " twice";
            return false;
        }
    }
    list.emplace_back(type, item.substr(equals + 1));
    return true;
}

// The station takes its units from the ports it watches and updates each one: no targets, no rollout-wide
// guard rails, an image and a pattern.
bool CheckStation(CliOptions& options, bool parallelGiven, std::string& error) {
    if (!options.targets.empty() || !options.targetsFile.empty() || !options.resumePath.empty() || options.discovered ||
        !options.serialNumberFilter.empty() || !options.callFilter.empty()) {
        error = "The station command takes its units from --ports: no --telnet, --serial, --targets, --discovered "
                "or --resume";
        return false;
    }
    if (options.portPatterns.empty()) {
        error = "The station command needs --ports PATTERN";
        return false;
    }
    if (options.path.empty() && options.firmwareByType.empty()) {
        error = "The station command needs --firmware [TYPE=]FILE";
        return false;
    }
    const char* other = options.plan                ? "--plan"
                        : options.strict            ? "--strict"
                        : options.yes               ? "--yes"
                        : options.canary > 0        ? "--canary"
                        : options.maxFailures > 0   ? "--max-failures"
                        : !options.typeFilter.empty() ? "--type"
                        : options.csv               ? "--csv"
                        : options.overwrite         ? "--overwrite"
                                                    : nullptr;
    if (other != nullptr) {
        error = std::string(other) + " does not apply to the station command";
        return false;
    }
    if (options.force && !options.ExpectsFirmware()) {
        error = "--force goes with --expect-firmware";
        return false;
    }
    // The expected version is checked after the restart.
    if (options.ExpectsFirmware()) options.confirm = true;
    options.stationParallel = parallelGiven ? options.parallel : 0;
    return true;
}

// Every option of the command line, bound to where its value goes.
class OptionSet {
public:
    explicit OptionSet(CliOptions& options) : app("brisklode-cli", "brisklode-cli") {
        app.set_help_flag();
        app.allow_windows_style_options(false);
        const auto text = [this](const char* name, Given& value) {
            app.add_option_function<std::string>(name, [&value](const std::string& v) {
                value.text = v;
                value.given = true;
            });
        };
        const auto list = [this](const char* name, std::vector<std::string>& values) {
            app.add_option(name, values)->allow_extra_args(false);
        };
        app.add_flag("-h,--help", options.help);
        app.add_flag("--version", options.version);
        // --telnet and --serial keep the order in which they were given, mixed.
        app.add_option_function<std::string>("--telnet", [&options](const std::string& value) {
               RolloutTarget target;
               std::string problem;
               if (!ParseTelnetTarget(value, target.host, target.port, problem)) throw CLI::ValidationError(problem);
               options.targets.push_back(target);
           })
            ->trigger_on_parse();
        app.add_option_function<std::string>("--serial", [&options](const std::string& value) {
               if (value.empty()) throw CLI::ValidationError("Missing serial port name");
               RolloutTarget target;
               target.serial = true;
               target.serialPort = value;
               options.targets.push_back(target);
           })
            ->trigger_on_parse();
        app.add_option("--targets", options.targetsFile);
        app.add_flag("--discovered", options.discovered);
        app.add_option("--type", options.typeFilter);
        list("--serial-number", serialNumbers);
        list("--call", calls);
        text("--parallel", parallel);
        app.add_flag("--json", options.json);
        app.add_flag("--csv", options.csv);
        app.add_flag("-y,--yes", options.yes);
        app.add_flag("--confirm{}", confirm.text);
        text("--baud", baud);
        text("--legacy", legacy);
        text("--timeout", timeout);
        list("--expect-firmware", expected);
        app.add_flag("--force", options.force);
        app.add_flag("--plan", options.plan);
        app.add_flag("--strict", options.strict);
        app.add_flag("--overwrite", options.overwrite);
        list("--firmware", firmware);
        text("--max-failures", maxFailures);
        text("--canary", canary);
        text("--retries", retries);
        text("--connect-timeout", connectTimeout);
        app.add_option("--record", options.recordPath);
        app.add_option("--resume", options.resumePath);
        list("--ports", ports);
        text("--max-units", maxUnits);
        text("--settle-ms", settleMs);
        app.add_option("words", positional);
    }

    // CLI11 gives an option that needs a value whatever token follows it, so "--record --yes" would name
    // the record "--yes": a token that looks like an option is never a value (a file of such a name is
    // still "./--yes" or "--record=--yes"). Negative numbers are left to the value checks.
    bool RefuseOptionsAsValues(const std::vector<std::string>& args, std::string& error) {
        for (size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == "--") break;
            if (args[i].size() < 2 || args[i][0] != '-' || args[i].find('=') != std::string::npos) continue;
            const CLI::Option* option = app.get_option_no_throw(args[i]);
            if (option == nullptr || option->get_expected_min() == 0) continue;  // a flag
            const std::string& next = args[i + 1];
            if (next.size() > 1 && next[0] == '-' && !(next[1] >= '0' && next[1] <= '9')) {
                error = "Option " + args[i] + " needs a value, not " + next;
                return false;
            }
        }
        return true;
    }

    CLI::App app;
    std::vector<std::string> positional;
    std::vector<std::string> serialNumbers, calls, firmware, expected, ports;
    Given maxUnits, settleMs;
    Given parallel, baud, legacy, timeout, confirm, maxFailures, canary, retries, connectTimeout;
};

}  // namespace

std::vector<std::string> OptionNames() {
    CliOptions options;
    OptionSet set(options);
    std::vector<std::string> names;
    for (const CLI::Option* option : set.app.get_options()) {
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    }
    return names;
}

bool ParseCommandLine(const std::vector<std::string>& args, CliOptions& options, std::string& error) {
    options = CliOptions();
    // The tokens: CLI11 takes every option wherever it stands, one value each; the values are checked below
    // so that each message names the option and the value.
    OptionSet set(options);
    CLI::App& app = set.app;
    std::vector<std::string>& positional = set.positional;
    std::vector<std::string> &serialNumbers = set.serialNumbers, &calls = set.calls, &firmware = set.firmware,
                             &expected = set.expected;
    Given &parallel = set.parallel, &baud = set.baud, &legacy = set.legacy, &timeout = set.timeout, &confirm = set.confirm,
          &maxFailures = set.maxFailures, &canary = set.canary, &retries = set.retries, &connectTimeout = set.connectTimeout;
    if (!set.RefuseOptionsAsValues(args, error)) return false;
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
        app.parse(reversed);
    } catch (const CLI::ArgumentMismatch& failure) {
        // An option that takes one value, given twice: named by the option that holds two, not by the text.
        error = failure.what();
        for (const CLI::Option* option : app.get_options()) {
            if (option->count() < 2 || option->get_items_expected_max() != 1) continue;
            const std::string name = option->get_name();
            error = name + " is given twice" +
                    (name == "--targets" ? ": one target list a run (list every target in it)" : "");
            break;
        }
        return false;
    } catch (const CLI::ParseError& failure) {
        error = failure.what();
        const std::string unexpected = "The following argument was not expected: ";
        const size_t missing = error.find(": 1 required");
        if (error.rfind(unexpected, 0) == 0) error = "Unknown option " + error.substr(unexpected.size());
        else if (missing != std::string::npos && error.rfind("--", 0) == 0) error = "Option " + error.substr(0, missing) + " needs a value";
        return false;
    }
    confirm.given = app.count("--confirm") > 0;
    options.confirm = confirm.given;
    const bool legacyGiven = legacy.given;
    const bool timeoutGiven = timeout.given;

    if (app.count("--targets") > 0 && options.targetsFile.empty()) {
        error = "Missing target list file name";
        return false;
    }
    if (app.count("--type") > 0 && options.typeFilter.empty()) {
        error = "Missing type code after --type";
        return false;
    }
    for (const std::string& item : serialNumbers) {
        for (const std::string& part : SplitList(item)) {
            std::uint64_t number = 0;
            if (!ParseHex64(part, number)) {
                error = "Invalid serial number '" + part + "': expected up to 16 hex digits";
                return false;
            }
            options.serialNumberFilter.push_back(number);
        }
    }
    if (!serialNumbers.empty() && options.serialNumberFilter.empty()) {
        error = "Missing serial number after --serial-number";
        return false;
    }
    for (const std::string& item : calls) {
        for (const std::string& part : SplitList(item)) options.callFilter.push_back(part);
    }
    if (!calls.empty() && options.callFilter.empty()) {
        error = "Missing call sign after --call";
        return false;
    }
    if (!Number(parallel, "--parallel", 1, 256, options.parallel, error)) return false;
    if (confirm.given && !confirm.text.empty() &&
        !Number({confirm.text, true}, "--confirm", 1, 86400, options.confirmSeconds, error)) {
        return false;
    }
    if (baud.given && !Number(baud, "--baud", 1, 4000000, options.baudRate, error)) return false;
    if (legacy.given) {
        if (legacy.text == "ask") options.legacy = LegacyChoice::Ask;
        else if (legacy.text == "yes") options.legacy = LegacyChoice::Yes;
        else if (legacy.text == "no") options.legacy = LegacyChoice::No;
        else {
            error = "Invalid --legacy value '" + legacy.text + "': expected ask, yes or no";
            return false;
        }
    }
    unsigned timeoutMs = options.discoverTimeoutMs;
    if (!Number(timeout, "--timeout", 0, 3600000, timeoutMs, error)) return false;
    options.discoverTimeoutMs = timeoutMs;
    // V for every modem, TYPE=V for the modems of one identity type (a mixed line).
    for (const std::string& item : expected) {
        const size_t equals = item.find('=');
        if (item.empty() || equals == 0 || (equals != std::string::npos && equals + 1 == item.size())) {
            error = item.empty() ? "Missing version after --expect-firmware"
                                 : "Invalid --expect-firmware '" + item + "': expected V or TYPE=V";
            return false;
        }
        // "U=7.3,I=7.2" is no version: each type's version is an option of its own.
        const std::string version = equals == std::string::npos ? item : item.substr(equals + 1);
        if (version.find_first_of(",=") != std::string::npos) {
            error = "Invalid --expect-firmware '" + item + "': give --expect-firmware TYPE=V once per type";
            return false;
        }
        std::string& plain = options.expectFirmware;
        if (equals == std::string::npos) {
            if (!plain.empty()) {
                error = "--expect-firmware gives the version for every type twice";
                return false;
            }
            plain = item;
            continue;
        }
        if (!AddByType(options.expectFirmwareByType, item, equals, "--expect-firmware", error)) return false;
    }
    // The station has no positional image: its plain image is --firmware FILE.
    const bool station = !positional.empty() && positional[0] == "station";
    for (const std::string& item : firmware) {
        const size_t equals = item.find('=');
        if (station && equals == std::string::npos && !item.empty()) {
            if (!options.path.empty()) {
                error = "--firmware gives the image for every type twice";
                return false;
            }
            options.path = item;
            continue;
        }
        if (equals == std::string::npos || equals == 0 || equals + 1 == item.size()) {
            error = "Invalid --firmware '" + item + "': expected TYPE=FILE";
            return false;
        }
        if (!AddByType(options.firmwareByType, item, equals, "--firmware", error)) return false;
    }
    if (!Number(maxFailures, "--max-failures", 1, 1000000, options.maxFailures, error) ||
        !Number(canary, "--canary", 1, 1000000, options.canary, error) ||
        !Number(retries, "--retries", 0, 20, options.retries, error) ||
        !Number(connectTimeout, "--connect-timeout", 1, 3600, options.connectTimeoutSeconds, error)) {
        return false;
    }
    if (app.count("--record") > 0 && options.recordPath.empty()) {
        error = "Missing file name after --record";
        return false;
    }
    if (app.count("--resume") > 0 && options.resumePath.empty()) {
        error = "Missing file name after --resume";
        return false;
    }
    for (const std::string& item : set.ports) {
        for (const std::string& pattern : SplitList(item)) options.portPatterns.push_back(pattern);
    }
    if (!set.ports.empty() && options.portPatterns.empty()) {
        error = "Missing pattern after --ports";
        return false;
    }
    if (!Number(set.maxUnits, "--max-units", 1, 1000000, options.maxUnits, error) ||
        !Number(set.settleMs, "--settle-ms", 0, 60000, options.settleMs, error)) {
        return false;
    }
    if ((!options.portPatterns.empty() || set.maxUnits.given || set.settleMs.given) && !station) {
        error = "--ports, --max-units and --settle-ms apply to the station command only";
        return false;
    }

    if (options.help || options.version) {
        if (!positional.empty() && IsCommandName(positional[0])) options.command = positional[0];
        return true;
    }
    if (positional.empty()) {
        error = "Missing command";
        return false;
    }
    options.command = positional[0];
    const std::string& command = options.command;
    size_t wanted = 1;
    if (command == "update" || command == "log") {
        wanted = 2;
    } else if (command != "identify" && command != "discover" && command != "ports" && command != "inventory" &&
               command != "station") {
        error = "Unknown command " + command;
        return false;
    }
    // An update may take its images from --firmware TYPE=FILE alone.
    if (command == "update" && positional.size() == 1 && !options.firmwareByType.empty()) wanted = 1;
    if (positional.size() > wanted) {
        error = "Unexpected argument '" + positional[wanted] + "' after the " + command + " command";
        return false;
    }
    if (positional.size() < wanted) {
        error = "The " + command + " command needs " + (command == "update" ? "a firmware file" : "an output file");
        return false;
    }
    if (wanted == 2) options.path = positional[1];
    if (station) return CheckStation(options, parallel.given, error);
    if (legacyGiven && command != "update") {
        error = "--legacy applies to the update command only";
        return false;
    }
    const bool needsLink = command == "identify" || command == "update" || command == "log";
    // A resume runs discovery again for the modems asked for by serial number or call sign.
    if (timeoutGiven && command != "discover" && command != "inventory" && !options.discovered &&
        options.resumePath.empty()) {
        error = "--timeout applies to discover, inventory, --discovered and --resume only";
        return false;
    }
    const bool hasTargets = !options.targets.empty() || !options.targetsFile.empty() || options.discovered;
    const bool resume = !options.resumePath.empty();
    if (resume && (hasTargets || !needsLink)) {
        error = hasTargets ? "--resume takes its targets from the record: no --telnet, --serial, --targets or --discovered"
                           : "--resume applies to identify, update and log";
        return false;
    }
    // The resumed run's outcomes go where the next resume looks for them, unless --record names another file.
    if (resume && options.recordPath.empty()) options.recordPath = options.resumePath;
    if (needsLink && !hasTargets && !resume) {
        error = "The " + command + " command needs --telnet HOST[:PORT], --serial PORT, --targets FILE or --discovered";
        return false;
    }
    if (!needsLink && hasTargets) {
        error = "The " + command + " command takes no --telnet, --serial, --targets or --discovered";
        return false;
    }
    bool hasSerial = false;
    for (RolloutTarget& target : options.targets) {
        if (!target.serial) continue;
        hasSerial = true;
        target.baudRate = options.baudRate;
    }
    if (options.baudRate != 0 && !hasSerial && !resume) {
        error = "--baud goes with --serial";
        return false;
    }
    if (!CheckDistinctTargets(options.targets, error)) return false;
    // Standard output then carries the log alone: no fleet lines, no JSON.
    if (command == "log" && options.path == "-" &&
        (options.targets.size() > 1 || !options.targetsFile.empty() || options.discovered || options.json ||
         !options.typeFilter.empty() || resume)) {
        error = "log - (standard output) takes one modem, without --json and --type";
        return false;
    }
    if (!options.targets.empty()) {
        const RolloutTarget& first = options.targets.front();
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
    const char* updateOnly = options.yes                              ? "--yes"
                             : options.confirm                          ? "--confirm"
                             : options.ExpectsFirmware()                ? "--expect-firmware"
                             : options.force                            ? "--force"
                             : !options.firmwareByType.empty()          ? "--firmware"
                             : options.plan                             ? "--plan"
                             : options.strict                           ? "--strict"
                                                                        : nullptr;
    if (updateOnly != nullptr && command != "update") {
        error = std::string(updateOnly) + " applies to the update command only";
        return false;
    }
    if (options.force && !options.ExpectsFirmware() && !resume) {
        error = "--force goes with --expect-firmware or --resume";
        return false;
    }
    // The expected version is checked after the restart.
    if (options.ExpectsFirmware()) options.confirm = true;
    if ((options.maxFailures > 0 || options.canary > 0 || options.retries > 0 || options.connectTimeoutSeconds > 0 ||
         !options.recordPath.empty()) &&
        !needsLink) {
        error = "--max-failures, --canary, --retries, --connect-timeout and --record apply to identify, update and log";
        return false;
    }
    if (options.overwrite && command != "log") {
        error = "--overwrite applies to the log command only";
        return false;
    }
    if (options.csv && (command != "inventory" || options.json)) {
        error = "--csv applies to the inventory command only, without --json";
        return false;
    }
    return true;
}

namespace {

// Which commands an entry of the help applies to.
enum : unsigned {
    kIdentify = 1,
    kUpdate = 2,
    kLog = 4,
    kDiscover = 8,
    kInventory = 16,
    kPorts = 32,
    kStation = 64,
    kLinked = kIdentify | kUpdate | kLog,
    kProbing = kLinked | kDiscover | kInventory,
    kEvery = kProbing | kPorts | kStation,
};

// Where an entry shows: in every help that names one of its commands, only in a command's own help (a text
// in that command's terms), or only in the help of every command.
enum class Shown { Always, CommandHelp, GeneralHelp };

struct HelpEntry {
    unsigned commands;
    const char* text;
    Shown shown = Shown::Always;
};

struct HelpSection {
    const char* heading;
    std::vector<HelpEntry> entries;
};

// The help, section by section; a command's --help keeps the entries that apply to it.
const std::vector<HelpSection>& HelpSections() {
    static const std::vector<HelpSection> sections = {
        {"Commands:",
         {{kIdentify, "  identify                      return the modem to its menu and show model and firmware\n"},
          {kUpdate,
           "  update FIRMWARE [--firmware TYPE=FILE ...] [--legacy ask|yes|no] [--confirm[=SECONDS]]\n"
           "         [--expect-firmware [TYPE=]V [--force]] [--plan] [--strict] [--yes]\n"
           "                                install a firmware image (fast transfer with modem-side\n"
           "                                verification; legacy 256-byte transfer only if allowed)\n"},
          {kLog,
           "  log OUTFILE | log DIR [--overwrite] | log -\n"
           "                                download the system log and save it; with several targets\n"
           "                                (or --targets/--discovered), or when DIR is an existing\n"
           "                                folder, one file per modem into DIR (an earlier file of the\n"
           "                                same name stays: the new one gets the date and time);\n"
           "                                log - writes it to standard output\n"},
          {kDiscover, "  discover [--timeout MS]       list the modems that answer the network probe (default 2000 ms)\n"},
          {kInventory,
           "  inventory [--timeout MS] [--csv]\n"
           "                                discover, then identify every modem that answered\n"},
          {kPorts, "  ports                         list the serial ports of this machine\n"},
          {kStation,
           "  station --firmware [TYPE=]FILE ... --ports PATTERN [--expect-firmware [TYPE=]V]\n"
           "          [--record FILE] [--max-units N]\n"
           "                                a production station: every unit plugged into a port that\n"
           "                                matches PATTERN is updated once (keyed by its serial number),\n"
           "                                with a verdict board on a terminal; Ctrl-C ends it\n"}}},
        {"Targets (identify, update, log; each may be repeated and mixed):",
         {{kLinked, "  --telnet HOST[:PORT]          modem console over Telnet (default port 3000; [IPv6]:PORT)\n"},
          {kLinked, "  --serial PORT                 modem console on a serial port (COM3, /dev/ttyUSB0)\n"},
          {kLinked | kStation, "  --baud N                      set the rate of every --serial port (default: keep the port's rate)\n"},
          {kLinked,
           "  --targets FILE                one target a line: \"telnet HOST[:PORT]\" or \"serial PORT [BAUD]\";\n"
           "                                '#' starts a comment; FILE - reads standard input\n"},
          {kLinked, "  --discovered                  every modem that answers the network probe (--timeout MS)\n"},
          {kLinked,
           "  --serial-number HEX[,HEX...]  with --discovered: the modems with these serial numbers\n"
           "                                (repeatable; with --call, the modems either one selects)\n"},
          {kLinked,
           "  --call CALL[,CALL...]         with --discovered: the modems with these call signs, whatever\n"
           "                                their case (repeatable)\n"},
          {kLinked,
           "  --type C                      only modems whose identity type code is C (checked after\n"
           "                                connecting; any other modem is skipped, never flashed)\n"},
          {kLinked, "  --parallel N                  work on up to N modems at once (default 4)\n"}}},
        {"A rollout:",
         {{kLinked,
           "  --canary N                    the first N targets (of an update: the first N that get an image)\n"
           "                                finish before any other starts; if one of them fails, the rest\n"
           "                                are not started\n",
           Shown::GeneralHelp},
          {kUpdate,
           "  --canary N                    the first N targets that get an image finish before any other\n"
           "                                starts; if one of them fails, the rest are not started\n",
           Shown::CommandHelp},
          {kIdentify | kLog,
           "  --canary N                    the first N targets finish before any other starts; if one of\n"
           "                                them fails, the rest are not started\n",
           Shown::CommandHelp},
          {kLinked, "  --max-failures N              after N failed targets no new target starts\n"},
          {kLinked | kStation,
           "  --retries N                   try a connect or identity check that failed N more times,\n"
           "                                pausing 1, 2, 4... s (never once a transfer has begun)\n"},
          {kLinked, "  --connect-timeout SECONDS     give up a connection after SECONDS\n"},
          {kLinked | kStation,
           "  --record FILE                 keep a journal of the run in FILE (appended to; only a record is):\n"
           "                                the run and its targets, each target's start and its result\n"},
          {kLinked,
           "  --resume RECORD               instead of targets: run again every target of RECORD's last run\n"
           "                                (same command; update: same image) that did not end ok or\n"
           "                                skipped, and append to RECORD (unless --record FILE); an update\n"
           "                                with another image than RECORD's last is refused unless --force\n",
           Shown::GeneralHelp},
          {kUpdate,
           "  --resume RECORD               instead of targets: run again every target of RECORD's last\n"
           "                                update with this image that did not end ok or skipped, and\n"
           "                                append to RECORD (unless --record FILE); another image than\n"
           "                                RECORD's last is refused unless --force\n",
           Shown::CommandHelp},
          {kIdentify | kLog,
           "  --resume RECORD               instead of targets: run again every target of RECORD's last run\n"
           "                                of this command that did not end ok or skipped, and append to\n"
           "                                RECORD (unless --record FILE)\n",
           Shown::CommandHelp}}},
        {"Options:",
         {{kUpdate | kStation,
           "  --legacy ask|yes|no           when the firmware lacks the fast transfer: ask (default; no\n"
           "                                without a terminal or with several targets), always, never\n"},
          {kUpdate,
           "  --confirm[=SECONDS]           after the update wait up to SECONDS (default 180) for the modem\n"
           "                                to restart, asking every 0.5 s (Telnet: a new connection; serial:\n"
           "                                the port reopened) up to SECONDS, check it is the same modem and\n"
           "                                report firmware before and after\n"},
          {kUpdate | kStation,
           "  --expect-firmware [TYPE=]V    ok only when the modem comes back with V (implies --confirm);\n"
           "                                a modem already at V is skipped unless --force; TYPE=V for the\n"
           "                                modems of identity type TYPE (repeatable, beside a plain V)\n"},
          {kUpdate | kStation,
           "  --force                       with --expect-firmware: update a modem already at V as well;\n"
           "                                with --resume: resume with another image than the record's\n"},
          {kUpdate,
           "  --plan                        check every modem's identity and show what the update would do\n"
           "                                (update, skip or fail, with the image), then stop: nothing is sent;\n"
           "                                exit 0 when every modem would be updated or deliberately skipped\n"},
          {kUpdate,
           "  --strict                      a modem succeeds only when it ends ok (at the expected version):\n"
           "                                every skipped modem is a failure\n"},
          {kUpdate,
           "  --firmware TYPE=FILE          the image for modems of identity type TYPE (repeatable); a modem\n"
           "                                whose type has no image (and no plain FIRMWARE) is skipped\n"},
          {kStation,
           "  --ports PATTERN               station: the ports units are plugged into, a pattern with * and ?\n"
           "                                (/dev/ttyUSB*, /dev/serial/by-id/*, COM*) or a list (COM3,COM4);\n"
           "                                repeatable; looked at every 500 ms\n"},
          {kStation,
           "  --firmware [TYPE=]FILE        station: the image for every unit (FILE) or for the units of\n"
           "                                identity type TYPE (repeatable)\n"},
          {kStation, "  --parallel N                  station: at most N units at once (default: every port)\n"},
          {kStation, "  --max-units N                 station: end once N units have their verdict\n"},
          {kStation, "  --settle-ms MS                station: open a new port after it has been there MS ms (default 1000)\n"},
          {kUpdate, "  -y, --yes                     update several modems without asking (needed without a terminal)\n"},
          {kLog,
           "  --overwrite                   log DIR: replace an earlier run's file of the same name instead\n"
           "                                of writing one with the date and time\n"},
          {kProbing,
           "  --timeout MS                  how long the network probe waits for answers (default 2000 ms;\n"
           "                                discover, inventory, --discovered, --resume)\n"},
          {kEvery,
           "  --json                        stdout carries JSON objects only, one a line (events start,\n"
           "                                plan, progress, retry, result, summary, error); human text goes\n"
           "                                to stderr\n"},
          {kInventory, "  --csv                         inventory as comma-separated values\n"},
          {kEvery, "  -h, --help                    this text (COMMAND --help: that command's)\n"},
          {kEvery, "  --version                     the program version\n"}}},
    };
    return sections;
}

const char kExit[] =
    "Exit status: 0 every target ok or deliberately skipped (--strict: every target ok; update --plan:\n"
    "every target would be updated or deliberately skipped), 1 otherwise, 2 usage error, 130 interrupted\n"
    "(SIGINT, Ctrl-C), 143 terminated (SIGTERM; on Windows Ctrl-Break or closing the console). After a\n"
    "signal the operation is cancelled (the modem is told where the protocol allows) and a log being saved\n"
    "is discarded; a second signal ends the program without waiting.\n";

unsigned CommandBit(const std::string& command) {
    if (command == "identify") return kIdentify;
    if (command == "update") return kUpdate;
    if (command == "log") return kLog;
    if (command == "discover") return kDiscover;
    if (command == "inventory") return kInventory;
    if (command == "ports") return kPorts;
    if (command == "station") return kStation;
    return kEvery;
}

}  // namespace

bool IsCommandName(const std::string& word) {
    return word == "identify" || word == "update" || word == "log" || word == "discover" || word == "inventory" ||
           word == "ports" || word == "station";
}

std::string UsageText(const std::string& command) {
    const unsigned wanted = CommandBit(command);
    std::string text = "Usage: brisklode-cli " + std::string(wanted & kLinked ? "[TARGETS] " : "") +
                       (command.empty() ? std::string("COMMAND [ARGS]") : command) + " [OPTIONS]\n";
    for (const HelpSection& section : HelpSections()) {
        std::string entries;
        for (const HelpEntry& entry : section.entries) {
            const Shown here = command.empty() ? Shown::GeneralHelp : Shown::CommandHelp;
            if ((entry.commands & wanted) != 0 && (entry.shown == Shown::Always || entry.shown == here)) {
                entries += entry.text;
            }
        }
        if (!entries.empty()) text += std::string("\n") + section.heading + "\n" + entries;
    }
    // The exit status of --strict and --plan is the update's own.
    std::string exit = kExit;
    if ((wanted & kUpdate) == 0) {
        const std::string updateOnly = " (--strict: every target ok; update --plan:\nevery target would be updated or deliberately skipped)";
        const size_t at = exit.find(updateOnly);
        if (at != std::string::npos) exit.replace(at, updateOnly.size(), "");
    }
    return text + "\n" + exit;
}
