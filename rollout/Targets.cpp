// The targets of a rollout: their spellings, the target list, discovery's filters, resolution, and when two
// targets are one modem.
#include "rollout/Targets.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <map>
#include <set>
#include <tuple>

#include "discovery/Discovery.h"
#include "discovery/SerialNumber.h"
#include "rollout/Request.h"
#include "rollout/Run.h"
#include "rollout/System.h"
#include "transport/File.h"
#include "transport/Socket.h"
#include "transport/Transport.h"

namespace {

bool ParsePort(const std::string& text, std::uint16_t& port, std::string& error) {
    std::uint64_t value = 0;
    if (!ParseDecimal(text, 65535, value) || value == 0) {
        error = "Invalid Telnet port '" + text + "': expected a number from 1 to 65535";
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
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

// Dotted IPv4 addresses sort by their numbers, anything else after them by its text.
bool AddressLess(const RolloutTarget& a, const RolloutTarget& b) {
    const auto key = [](const std::string& address) {
        unsigned parts[4] = {0, 0, 0, 0};
        char tail = 0;
        const bool v4 = std::sscanf(address.c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) == 4;
        std::uint64_t number = 0;
        for (unsigned part : parts) number = number << 8 | (part & 0xFFu);
        return std::make_tuple(v4 ? 0 : 1, number, address);
    };
    return std::make_tuple(key(a.host), a.port) < std::make_tuple(key(b.host), b.port);
}

std::vector<RolloutTarget> DiscoverModemsSorted(std::uint32_t timeoutMs, std::string& error, const std::atomic<bool>* cancel) {
    std::vector<RolloutTarget> found;
    for (const DiscoveredModem& modem : DiscoverModems(timeoutMs, error, cancel)) {
        RolloutTarget target;
        target.host = modem.address;
        target.port = modem.port;
        target.discovered = true;
        target.serialNumber = modem.serialNumber;
        target.callSign = modem.callSign;
        target.statusByte = modem.statusByte;
        found.push_back(target);
    }
    // Replies come in whatever order the network gives; tables and lists must not change from run to run.
    std::stable_sort(found.begin(), found.end(), AddressLess);
    return found;
}

// Looks up every Telnet target's host with the link's own lookup: bounded by the connect timeout and ended
// by `cancel`, so that a name server that never answers holds neither the run nor a signal. A lookup that
// fails or times out leaves the target's addresses empty; its connect will say why.
void LookUpAddresses(std::vector<RolloutTarget>& targets, const RolloutRequest& request, const std::atomic<bool>* cancel) {
    std::vector<size_t> list;
    for (size_t i = 0; i < targets.size(); ++i) {
        if (!targets[i].serial && targets[i].missing.empty() && targets[i].addresses.empty()) list.push_back(i);
    }
    const unsigned timeoutMs = request.connectTimeoutSeconds == 0
                                   ? kDefaultConnectTimeoutMs
                                   : std::min(request.connectTimeoutSeconds * 1000u, kMaxConnectTimeoutMs);
    RunParallel(list, request.parallel, [&](size_t i) {
        RolloutTarget& target = targets[i];
        std::vector<SocketAddress> found;
        std::string resolverText;
        if (SocketResolve(target.host, std::to_string(target.port), found, resolverText, timeoutMs, cancel) !=
            ResolveOutcome::Resolved) {
            return;
        }
        for (const SocketAddress& entry : found) {
            std::string address = SocketNumericHost(entry);
            if (address.rfind("::ffff:", 0) == 0 && address.find('.') != std::string::npos) address.erase(0, 7);
            if (address.empty()) continue;
            if (std::find(target.addresses.begin(), target.addresses.end(), address) == target.addresses.end()) {
                target.addresses.push_back(address);
            }
        }
    });
}

}  // namespace

bool ParseDecimal(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value);
    return !text.empty() && failure == std::errc() && stop == end && value <= limit;
}

bool ParseHex64(const std::string& text, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value, 16);
    return !text.empty() && failure == std::errc() && stop == end;
}

std::string NumberedName(const std::string& base, unsigned n, const std::string& extension) {
    return n <= 1 ? base + extension : base + "-" + std::to_string(n) + extension;
}

std::vector<RolloutTarget> DiscoverTargets(std::uint32_t timeoutMs, std::string& error, const std::atomic<bool>* cancel) {
    return DiscoverModemsSorted(timeoutMs, error, cancel);
}

std::vector<std::string> SystemModemKeys(const RolloutTarget& target) {
    std::vector<std::string> keys;
    if (target.serial) {
        keys.push_back("serial " + RealSerialPath(target.serialPort));
    } else {
        for (const std::string& address : target.addresses.empty() ? std::vector<std::string>{target.host} : target.addresses) {
            keys.push_back("telnet " + address + ":" + std::to_string(target.port));
        }
    }
    return keys;
}

std::string TargetKey(const RolloutTarget& target) {
    if (!target.key.empty()) return target.key;
    if (!target.missing.empty()) return target.missing;
    if (target.serial) return "serial " + RealSerialPath(target.serialPort);
    std::vector<std::string> addresses = target.addresses;
    // IPv4 forms sort before IPv6 ones: localhost is 127.0.0.1 whichever the resolver names first.
    std::stable_sort(addresses.begin(), addresses.end(), [](const std::string& a, const std::string& b) {
        return (a.find(':') == std::string::npos) > (b.find(':') == std::string::npos);
    });
    const std::string& address = addresses.empty() ? target.host : addresses.front();
    const bool v6 = address.find(':') != std::string::npos;
    return "telnet " + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(target.port);
}

std::string NotFoundMessage(const RolloutTarget& target) {
    return "Did not answer the discovery probe (" + target.missing + ")";
}

std::string RolloutTarget::Label() const {
    if (!missing.empty()) return missing;
    if (serial) return "serial " + serialPort;
    const bool v6 = host.find(':') != std::string::npos;
    return "telnet " + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ParseTargetList(const std::string& raw, std::vector<RolloutTarget>& targets, std::string& error) {
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
        RolloutTarget target;
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
                if (!ParseDecimal(words[2], 4000000, baud) || baud == 0) {
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

bool CheckDistinctTargets(const std::vector<RolloutTarget>& targets, std::string& error) {
    std::set<std::string> seen;
    for (const RolloutTarget& target : targets) {
        if (!seen.insert(target.Label()).second) {
            error = "Target given twice: " + target.Label();
            return false;
        }
    }
    return true;
}

bool CheckSameModems(const std::vector<RolloutTarget>& targets, const ModemKeys& keys, std::string& error) {
    std::map<std::string, std::string> seen;  // key -> the label of the target that has it
    for (const RolloutTarget& target : targets) {
        if (!target.missing.empty()) continue;
        const std::vector<std::string> own = keys(target);
        for (const std::string& key : own) {
            const auto at = seen.find(key);
            if (at != seen.end()) {
                error = "Target given twice: " + at->second + " and " + target.Label() + " are the same modem (" + key + ")";
                return false;
            }
        }
        for (const std::string& key : own) seen.emplace(key, target.Label());
    }
    return true;
}

std::vector<std::string> LogFileNames(const std::vector<RolloutTarget>& targets) {
    std::vector<std::string> names;
    std::set<std::string> taken;
    for (const RolloutTarget& target : targets) {
        std::string base;
        if (target.discovered) {
            base = SerialNumberText(target.serialNumber);
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
        std::string name = NumberedName(base, 1, ".log");
        for (unsigned n = 2; !taken.insert(name).second; ++n) name = NumberedName(base, n, ".log");
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

namespace {

bool SameCall(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

}  // namespace

std::vector<RolloutTarget> FilterDiscovered(const std::vector<RolloutTarget>& found, const std::vector<std::uint64_t>& serialNumbers,
                                        const std::vector<std::string>& callSigns) {
    std::vector<RolloutTarget> kept;
    // Each serial number and call sign names modems wanted: a modem is kept when any of them names it.
    const bool all = serialNumbers.empty() && callSigns.empty();
    for (const RolloutTarget& target : found) {
        const bool serialOk = std::find(serialNumbers.begin(), serialNumbers.end(), target.serialNumber) != serialNumbers.end();
        const bool callOk = std::any_of(callSigns.begin(), callSigns.end(), [&](const std::string& c) {
            return SameCall(c, target.callSign);
        });
        if (all || serialOk || callOk) kept.push_back(target);
    }
    return kept;
}

bool ResolveTargets(const RolloutRequest& options, std::vector<RolloutTarget>& targets, std::string& error, bool& usage,
                    const std::atomic<bool>* cancel) {
    targets.clear();
    usage = true;
    if (!options.targetsFile.empty()) {
        std::string text;
        if (options.targetsFile == "-" ? !ReadStandardInput(text, error) : !ReadTextFile(options.targetsFile, text, error)) {
            return false;
        }
        if (!ParseTargetList(text, targets, error)) {
            error = options.targetsFile + ": " + error;
            return false;
        }
        if (targets.empty()) {
            error = (options.targetsFile == "-" ? std::string("The target list on standard input") : options.targetsFile) +
                    " names no target (one a line: \"telnet HOST[:PORT]\" or \"serial PORT [BAUD]\")";
            return false;
        }
    }
    if (options.discovered) {
        usage = false;
        std::string discoveryError;
        const std::vector<RolloutTarget> found = DiscoverModemsSorted(options.discoverTimeoutMs, discoveryError, cancel);
        if (!discoveryError.empty()) {
            error = discoveryError;
            return false;
        }
        std::vector<RolloutTarget> kept = FilterDiscovered(found, options.serialNumberFilter, options.callFilter);
        // A modem asked for by name keeps that name as its key, wherever it answers from.
        for (RolloutTarget& target : kept) {
            if (!FilterDiscovered({target}, options.serialNumberFilter, {}).empty() && !options.serialNumberFilter.empty()) {
                target.key = "serial-number " + SerialNumberText(target.serialNumber);
            } else if (!options.callFilter.empty()) {
                target.key = "call " + target.callSign;
            }
        }
        targets.insert(targets.end(), kept.begin(), kept.end());
        // A modem asked for by name that did not answer still gets its result: it was not worked on.
        for (std::uint64_t wanted : options.serialNumberFilter) {
            if (FilterDiscovered(kept, {wanted}, {}).empty()) {
                RolloutTarget missing;
                missing.missing = "serial-number " + SerialNumberText(wanted);
                missing.serialNumber = wanted;
                targets.push_back(missing);
            }
        }
        for (const std::string& wanted : options.callFilter) {
            if (FilterDiscovered(kept, {}, {wanted}).empty()) {
                RolloutTarget missing;
                missing.missing = "call " + wanted;
                missing.callSign = wanted;
                targets.push_back(missing);
            }
        }
        usage = true;
    }
    targets.insert(targets.end(), options.targets.begin(), options.targets.end());
    if (!CheckDistinctTargets(targets, error)) return false;
    LookUpAddresses(targets, options, cancel);
    if (!CheckSameModems(targets, SystemModemKeys, error)) return false;
    for (RolloutTarget& target : targets) target.key = TargetKey(target);
    return true;
}
