// Command-line parsing and help text of brisklode-sim.
#include "simulator/Options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>

namespace {

bool ParseUnsigned(const std::string& text, std::uint64_t maximum, std::uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);  // decimal, or 0x.. hex
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > maximum) return false;
    value = parsed;
    return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (c == separator) {
            parts.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    parts.push_back(current);
    return parts;
}

// STEP[:N]:KIND[:B] -- STEP prompt|header|size|verdict:N|banner|logsize|chunk:N, KIND drop|stall|esc|byte:B.
bool ParseFault(const std::string& text, SimOptions& o, std::string& error) {
    static const std::map<std::string, FaultStep> steps = {
        {"prompt", FaultStep::Prompt}, {"header", FaultStep::Header}, {"size", FaultStep::Size},
        {"verdict", FaultStep::Verdict}, {"banner", FaultStep::Banner}, {"logsize", FaultStep::LogSize},
        {"chunk", FaultStep::Chunk}};
    std::vector<std::string> parts = Split(text, ':');
    auto step = steps.find(parts[0]);
    size_t next = 1;
    std::uint64_t number = 0;
    bool ok = step != steps.end();
    if (ok && (step->second == FaultStep::Verdict || step->second == FaultStep::Chunk)) {
        ok = parts.size() > next && ParseUnsigned(parts[next], 65535, number) && number > 0;
        ++next;
    }
    std::uint64_t byte = 0;
    if (ok && parts.size() == next + 1 && parts[next] == "drop") {
        o.faultKind = FaultKind::Drop;
    } else if (ok && parts.size() == next + 1 && parts[next] == "stall") {
        o.faultKind = FaultKind::Stall;
    } else if (ok && parts.size() == next + 1 && parts[next] == "esc") {
        o.faultKind = FaultKind::Byte;
        byte = 0x1B;
    } else if (ok && parts.size() == next + 2 && parts[next] == "byte" && ParseUnsigned(parts[next + 1], 255, byte)) {
        o.faultKind = FaultKind::Byte;
    } else {
        ok = false;
    }
    if (!ok) {
        error = "--fault: STEP[:N]:drop|stall|esc|byte:B with STEP prompt|header|size|verdict:N|banner|logsize|"
                "chunk:N, got '" + text + "'";
        return false;
    }
    o.faultStep = step->second;
    o.faultNumber = static_cast<unsigned>(number);
    o.faultByte = static_cast<unsigned char>(byte);
    return true;
}

bool ParseOffers(const std::string& text, std::vector<std::vector<unsigned char>>& offers, std::string& error) {
    offers.clear();
    if (text.empty() || text == "none") return true;
    for (const std::string& item : Split(text, ',')) {
        std::vector<std::string> fields = Split(item, ':');
        std::vector<std::uint64_t> numbers;
        for (size_t i = 1; i < fields.size(); ++i) {
            std::uint64_t number = 0;
            if (!ParseUnsigned(fields[i], 255, number)) {
                error = "--telnet-offers: bad byte value in '" + item + "'";
                return false;
            }
            numbers.push_back(number);
        }
        static const std::map<std::string, unsigned char> commands = {
            {"will", 251}, {"wont", 252}, {"do", 253}, {"dont", 254}};
        auto command = commands.find(fields[0]);
        if (command != commands.end() && numbers.size() == 1) {
            offers.push_back({255, command->second, static_cast<unsigned char>(numbers[0])});
        } else if (fields[0] == "sb" && !numbers.empty()) {
            std::vector<unsigned char> sequence = {255, 250};
            for (std::uint64_t number : numbers) {
                sequence.push_back(static_cast<unsigned char>(number));
                if (number == 255) sequence.push_back(255);  // data 255 is doubled inside SB too
            }
            sequence.push_back(255);
            sequence.push_back(240);
            offers.push_back(sequence);
        } else {
            error = "--telnet-offers: cannot read '" + item + "' (will:N, wont:N, do:N, dont:N or sb:N:b1:...)";
            return false;
        }
    }
    return true;
}

}  // namespace

const char* HelpText() {
    return
        "brisklode-sim: a simulated Velmor radio modem for tests, demos and benchmarks.\n"
        "Serves the modem's console (Telnet on loopback, or a pseudo-terminal) and its discovery responder.\n"
        "\n"
        "General:\n"
        "  --help                     this text\n"
        "  --version                  the program version\n"
        "  --ready-file PATH          written (atomically) once listening: 'telnet ADDR PORT', 'serial DEV',\n"
        "                             'discovery ADDR PORT'; the same lines go to stdout\n"
        "  --log-file PATH            readable log of what is received and done (default: stderr)\n"
        "  --max-seconds N            exit after N seconds\n"
        "  --stop-file PATH           exit as soon as PATH exists\n"
        "  --quiet                    do not print the ready lines on stdout\n"
        "Console carrier:\n"
        "  --bind ADDR                Telnet listen address (default 127.0.0.1)\n"
        "  --telnet-port N            Telnet port (default 0: a free port, printed)\n"
        "  --refuse-second            a second concurrent client is closed at once, without text\n"
        "                             (default: it gets \"Console busy\\r\\n\", then is closed)\n"
        "  --telnet-offers LIST       offers sent on connect: will:N,wont:N,do:N,dont:N,sb:N:b1:b2...\n"
        "                             or 'none' (default will:1,will:3,do:24,do:44)\n"
        "  --serial                   serve the console on a pseudo-terminal instead of Telnet\n"
        "  --link PATH                with --serial: also create a symlink PATH to the device\n"
        "  --pty-at PATH              --serial --link PATH: a unit plugged in at PATH until the simulator\n"
        "                             stops (the link goes with it), e.g. with --serial-number N\n"
        "  --baud N                   with --serial: pace both directions at 10 bits per byte\n"
        "  --no-console               run only the discovery responder\n"
        "Identity and console faults:\n"
        "  --type C                   type code in field #0: (default U)\n"
        "  --firmware V               firmware version in field #1: (default 7.2)\n"
        "  --silent                   never answer anything\n"
        "  --dribble MS               send text replies in 1-2 byte pieces, MS apart\n"
        "  --no-terminator            identity reply ends right after the firmware value\n"
        "  --close-mid-reply          close the connection halfway through the identity reply\n"
        "  --transfer-idle-ms N       an abandoned binary transfer returns to the menu after N ms\n"
        "                             without data (default 15000)\n"
        "Firmware update (UPDFAST / UPDATE):\n"
        "  --image-file PATH          store the received image there (after a successful update)\n"
        "  --no-updfast[=silent]      UPDFAST unknown (\"Unknown command\"), or not answered at all\n"
        "  --no-update                UPDATE unknown as well\n"
        "  --reject-size              refuse the block count (ESC)\n"
        "  --reject-frame N           ESC for frame N (1-based)\n"
        "  --bad-checksum             ESC as the verdict on the whole image\n"
        "  --verdict-byte N:B         byte B as the verdict of frame N (repeatable)\n"
        "  --bad-header               header 0x1F 0xA5 instead of 0x1F 0xA4\n"
        "  --stall-after-frame N      no verdict for frame N; ignore everything afterwards\n"
        "  --drop-after-bytes N       drop the link after N bytes of image data\n"
        "                             (a pseudo-terminal cannot be unplugged: it falls silent instead)\n"
        "  --verify-delay MS          time the whole-image check takes (default 0)\n"
        "  --reboot-ms MS             after a successful update (the last verdict or acknowledgement) drop\n"
        "                             the link and stay unreachable for MS ms (Telnet: nothing listens;\n"
        "                             serial: input is ignored), then answer again at the menu\n"
        "  --firmware-after V         the firmware version reported after that restart (default: unchanged)\n"
        "Log download (SYS LOG GETFAST):\n"
        "  --log-mode fast|legacy     transfer offered (default fast)\n"
        "  --log-content PATH         log bytes from a file\n"
        "  --log-size N --log-seed S  generated log of N bytes (default 4096, seed 1); legacy pads\n"
        "                             with NUL bytes to whole 256-byte blocks\n"
        "  --log-announce N           announce N bytes (legacy: N/256 blocks rounded up, at most 65535)\n"
        "  --log-stall-chunk N        stop sending in the middle of chunk (legacy: block) N, 1-based\n"
        "  --log-banner-no-esc        banner lacks \"press <ESC> to exit.\\r\\n\"\n"
        "  --log-banner-plain         banner names neither download\n"
        "Discovery responder (answers unicast replies to \"QDSC\" probes; never sends on its own):\n"
        "  --discovery                run the responder\n"
        "  --discovery-bind ADDR      the modem's address (default 0.0.0.0: any); probes to it, its subnet\n"
        "                             broadcast or 255.255.255.255 are answered from it\n"
        "  --discovery-port-udp N     (default 1101; 0 picks a free port, printed)\n"
        "  --serial-number N          --call-sign S (at most 9 characters)   --call-pad nul|space\n"
        "  --status B                 --announce-port P (default: the console's Telnet port, else 3000)\n"
        "  --reply-twice  --reply-short (31 bytes)  --wrong-magic  --every-second-probe (answers\n"
        "                             probes 2, 4, 6, ...)  --discovery-silent\n"
        "Hostile modem:\n"
        "  --hostile KIND[:PHASE]     KIND random (random bytes), endless (text without any marker),\n"
        "                             oversized (log size 4294967295 / legacy count 65535, a 1 MiB\n"
        "                             identity field); PHASE connect|quit|identity|update|log\n"
        "                             (default quit: from the first QUIT on)\n"
        "  --hostile flood-options[:PHASE]  stop reading and send Telnet option requests (IAC DO/WILL N)\n"
        "                             without end, as fast as the link takes them (Telnet only); PHASE\n"
        "                             connect (default), quit, identity, update (halfway through frame 1),\n"
        "                             log (halfway through chunk or block 1)\n"
        "  --hostile stop-reading[:PHASE]  stop reading input: PHASE update (default: halfway through\n"
        "                             frame 1; every frame but the last is still acknowledged, unread, so\n"
        "                             the tool writes on until the link holds no more), log (once chunk or\n"
        "                             block 1 is out: its ACK stays unread), connect, quit, identity (after\n"
        "                             the command); nothing more is sent\n"
        "  --hostile-rate BPS         pace of endless output (default 4194304)\n"
        "Fault at one wire step (the modem's answer to that step goes wrong; logged as 'event fault: ...'):\n"
        "  --fault STEP[:N]:KIND      STEP prompt (handshake request), header, size (size verdict),\n"
        "                             verdict:N (frame N), banner (log banner), logsize (log size or\n"
        "                             block count), chunk:N (log chunk or block N); KIND drop (the link\n"
        "                             drops; a pseudo-terminal falls silent), stall (no answer, input\n"
        "                             ignored), esc, byte:B (that byte in place of the answer's first)\n";
}

int ParseOptions(int argc, char** argv, SimOptions& o, std::string& error) {
    using Handler = std::function<bool(const std::string&)>;
    auto number = [&error](const char* name, std::uint64_t maximum, auto& target) {
        return Handler([&error, name, maximum, &target](const std::string& value) {
            std::uint64_t parsed = 0;
            if (!ParseUnsigned(value, maximum, parsed)) {
                error = std::string(name) + ": not a number in range: '" + value + "'";
                return false;
            }
            target = static_cast<std::remove_reference_t<decltype(target)>>(parsed);
            return true;
        });
    };
    auto text = [](std::string& target) {
        return Handler([&target](const std::string& value) {
            target = value;
            return true;
        });
    };
    const std::map<std::string, Handler> withValue = {
        {"--ready-file", text(o.readyFile)},
        {"--log-file", text(o.logFile)},
        {"--stop-file", text(o.stopFile)},
        {"--max-seconds", [&](const std::string& v) {
             std::uint64_t seconds = 0;
             if (!ParseUnsigned(v, 1000000, seconds)) {
                 error = "--max-seconds: not a number in range: '" + v + "'";
                 return false;
             }
             o.maxSeconds = static_cast<double>(seconds);
             return true;
         }},
        {"--link", text(o.link)},
        {"--pty-at", [&](const std::string& v) {
             if (v.empty()) {
                 error = "--pty-at needs a path";
                 return false;
             }
             o.serial = true;
             o.link = v;
             return true;
         }},
        {"--baud", number("--baud", 100000000, o.baud)},
        {"--bind", text(o.bindAddress)},
        {"--telnet-port", number("--telnet-port", 65535, o.telnetPort)},
        {"--telnet-offers", [&](const std::string& v) { return ParseOffers(v, o.telnetOffers, error); }},
        {"--type", text(o.typeCode)},
        {"--firmware", text(o.firmware)},
        {"--dribble", number("--dribble", 60000, o.dribbleMs)},
        {"--transfer-idle-ms", number("--transfer-idle-ms", 3600000, o.transferIdleMs)},
        {"--image-file", text(o.imageFile)},
        {"--reject-frame", number("--reject-frame", 65535, o.rejectFrame)},
        {"--verdict-byte", [&](const std::string& v) {
             std::vector<std::string> parts = Split(v, ':');
             std::uint64_t frame = 0, byte = 0;
             if (parts.size() != 2 || !ParseUnsigned(parts[0], 65535, frame) || frame == 0 ||
                 !ParseUnsigned(parts[1], 255, byte)) {
                 error = "--verdict-byte: expected N:B with N >= 1 and B 0..255, got '" + v + "'";
                 return false;
             }
             o.verdictBytes[static_cast<unsigned>(frame)] = static_cast<unsigned char>(byte);
             return true;
         }},
        {"--stall-after-frame", number("--stall-after-frame", 65535, o.stallAfterFrame)},
        {"--drop-after-bytes", [&](const std::string& v) {
             if (!ParseUnsigned(v, UINT64_MAX, o.dropAfterBytes)) {
                 error = "--drop-after-bytes: not a number: '" + v + "'";
                 return false;
             }
             o.dropAfterBytesSet = true;
             return true;
         }},
        {"--verify-delay", number("--verify-delay", 3600000, o.verifyDelayMs)},
        {"--reboot-ms", [&, parse = number("--reboot-ms", 86400000, o.rebootMs)](const std::string& v) {
             o.reboot = true;
             return parse(v);
         }},
        {"--firmware-after", text(o.firmwareAfter)},
        {"--log-mode", [&](const std::string& v) {
             if (v == "fast") o.logMode = LogMode::Fast;
             else if (v == "legacy") o.logMode = LogMode::Legacy;
             else { error = "--log-mode: fast or legacy, got '" + v + "'"; return false; }
             return true;
         }},
        {"--log-content", text(o.logContentFile)},
        {"--log-size", number("--log-size", 0xFFFFFFFFull, o.logSize)},
        {"--log-seed", number("--log-seed", UINT64_MAX, o.logSeed)},
        {"--log-announce", [&](const std::string& v) {
             if (!ParseUnsigned(v, 0xFFFFFFFFull, o.logAnnounce)) {
                 error = "--log-announce: a 32-bit count, got '" + v + "'";
                 return false;
             }
             o.logAnnounceSet = true;
             return true;
         }},
        {"--log-stall-chunk", number("--log-stall-chunk", 0xFFFFFFFFull, o.logStallChunk)},
        {"--discovery-bind", text(o.discoveryBind)},
        {"--discovery-port-udp", number("--discovery-port-udp", 65535, o.discoveryPort)},
        {"--serial-number", number("--serial-number", UINT64_MAX, o.serialNumber)},
        {"--call-sign", [&](const std::string& v) {
             if (v.size() > 9) { error = "--call-sign: at most 9 characters"; return false; }
             o.callSign = v;
             return true;
         }},
        {"--call-pad", [&](const std::string& v) {
             if (v == "nul") o.callPad = CallPad::Nul;
             else if (v == "space") o.callPad = CallPad::Space;
             else { error = "--call-pad: nul or space, got '" + v + "'"; return false; }
             return true;
         }},
        {"--status", number("--status", 255, o.statusByte)},
        {"--announce-port", number("--announce-port", 65535, o.announcePort)},
        {"--hostile", [&](const std::string& v) {
             std::vector<std::string> parts = Split(v, ':');
             static const std::map<std::string, HostileKind> kinds = {
                 {"random", HostileKind::Random}, {"endless", HostileKind::Endless},
                 {"oversized", HostileKind::Oversized}, {"flood-options", HostileKind::FloodOptions},
                 {"stop-reading", HostileKind::StopReading}};
             static const std::map<std::string, HostilePhase> phases = {
                 {"connect", HostilePhase::Connect}, {"quit", HostilePhase::Quit},
                 {"identity", HostilePhase::Identity}, {"update", HostilePhase::Update},
                 {"log", HostilePhase::Log}};
             auto kind = kinds.find(parts[0]);
             if (parts.size() > 2 || kind == kinds.end() ||
                 (parts.size() == 2 && phases.find(parts[1]) == phases.end())) {
                 error = "--hostile: random|endless|oversized|flood-options|stop-reading"
                         "[:connect|quit|identity|update|log], got '" + v + "'";
                 return false;
             }
             o.hostile = kind->second;
             static const std::map<HostileKind, HostilePhase> defaultPhases = {
                 {HostileKind::Oversized, HostilePhase::Log}, {HostileKind::FloodOptions, HostilePhase::Connect},
                 {HostileKind::StopReading, HostilePhase::Update}};
             const auto fallback = defaultPhases.find(kind->second);
             o.hostilePhase = parts.size() == 2                 ? phases.at(parts[1])
                              : fallback != defaultPhases.end() ? fallback->second
                                                                : HostilePhase::Quit;
             return true;
         }},
        {"--hostile-rate", number("--hostile-rate", 1ull << 32, o.hostileRate)},
        {"--fault", [&](const std::string& v) { return ParseFault(v, o, error); }},
    };
    const std::map<std::string, bool*> flags = {
        {"--quiet", &o.quiet},
        {"--serial", &o.serial},
        {"--refuse-second", &o.refuseSecond},
        {"--silent", &o.silent},
        {"--no-terminator", &o.noTerminator},
        {"--close-mid-reply", &o.closeMidReply},
        {"--no-update", &o.noUpdate},
        {"--reject-size", &o.rejectSize},
        {"--bad-checksum", &o.badChecksum},
        {"--bad-header", &o.badHeader},
        {"--log-banner-no-esc", &o.logBannerNoEsc},
        {"--log-banner-plain", &o.logBannerPlain},
        {"--discovery", &o.discovery},
        {"--reply-twice", &o.replyTwice},
        {"--reply-short", &o.replyShort},
        {"--wrong-magic", &o.wrongMagic},
        {"--every-second-probe", &o.everySecondProbe},
        {"--discovery-silent", &o.discoverySilent},
    };

    ParseOffers("will:1,will:3,do:24,do:44", o.telnetOffers, error);
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        std::string name = argument;
        std::string value;
        bool hasInlineValue = false;
        size_t equals = argument.find('=');
        if (argument.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            hasInlineValue = true;
        }
        if (name == "--help" || name == "-h") return 1;
        if (name == "--version") return 3;
        if (name == "--no-console" && !hasInlineValue) {
            o.console = false;
            continue;
        }
        if (name == "--no-updfast") {
            if (!hasInlineValue) o.updfast = UpdfastVariant::Unknown;
            else if (value == "silent") o.updfast = UpdfastVariant::Silent;
            else if (value == "unknown") o.updfast = UpdfastVariant::Unknown;
            else { error = "--no-updfast: only =silent or =unknown may follow"; return 2; }
            continue;
        }
        auto flag = flags.find(name);
        if (flag != flags.end()) {
            if (hasInlineValue) { error = name + " takes no value"; return 2; }
            *flag->second = true;
            continue;
        }
        auto handler = withValue.find(name);
        if (handler == withValue.end()) {
            error = "unknown option '" + argument + "' (see --help)";
            return 2;
        }
        if (!hasInlineValue) {
            if (i + 1 >= argc) { error = name + " needs a value"; return 2; }
            value = argv[++i];
        }
        if (!handler->second(value)) return 2;
    }
    if (!o.console && !o.discovery) {
        error = "--no-console without --discovery leaves nothing to run";
        return 2;
    }
    if ((o.baud != 0 || !o.link.empty()) && !o.serial) {
        error = "--baud and --link need --serial";
        return 2;
    }
    if (o.hostile == HostileKind::FloodOptions && o.serial) {
        error = "--hostile flood-options needs the Telnet console (option requests mean nothing on a serial line)";
        return 2;
    }
    if (o.logBannerNoEsc && o.logBannerPlain) {
        error = "--log-banner-no-esc and --log-banner-plain exclude each other";
        return 2;
    }
    return 0;
}
