// Choosing the targets of a resumed run from the record text: each target's last result decides.
#include "cli/Resume.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace {

// One top-level member of a record line: a string's text, or the JSON text of anything else.
struct Member {
    std::string text;
    bool string = false;
};

enum class Shape { Whole, Cut, Bad };

class LineReader {
public:
    explicit LineReader(const std::string& line) : s_(line) {}

    // Reads one flat JSON object. A line that ends inside it (its run stopped while writing it) is Cut and
    // keeps the members read whole before the cut.
    Shape Read(std::map<std::string, Member>& members) {
        Space();
        if (At() != '{') return End() ? Shape::Cut : Shape::Bad;
        ++i_;
        for (bool first = true;; first = false) {
            Space();
            if (End()) return Shape::Cut;
            if (At() == '}' && first) break;
            std::string key;
            Member value;
            Shape shape = String(key);
            if (shape != Shape::Whole) return shape;
            Space();
            if (End()) return Shape::Cut;
            if (At() != ':') return Shape::Bad;
            ++i_;
            Space();
            if (End()) return Shape::Cut;
            shape = Value(value);
            if (shape != Shape::Whole) return shape;
            members[key] = value;
            Space();
            if (End()) return Shape::Cut;
            if (At() == '}') break;
            if (At() != ',') return Shape::Bad;
            ++i_;
        }
        ++i_;
        Space();
        return End() ? Shape::Whole : Shape::Bad;
    }

private:
    bool End() const { return i_ >= s_.size(); }
    char At() const { return s_[i_]; }
    void Space() {
        while (!End() && (At() == ' ' || At() == '\t' || At() == '\r')) ++i_;
    }

    static void Utf8(std::uint32_t code, std::string& out) {
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

    Shape Hex4(std::uint32_t& code) {
        if (i_ + 4 > s_.size()) return Shape::Cut;
        const auto [stop, failure] = std::from_chars(s_.data() + i_, s_.data() + i_ + 4, code, 16);
        if (failure != std::errc() || stop != s_.data() + i_ + 4) return Shape::Bad;
        i_ += 4;
        return Shape::Whole;
    }

    Shape String(std::string& out) {
        if (At() != '"') return Shape::Bad;
        ++i_;
        while (!End()) {
            const char c = s_[i_++];
            if (c == '"') return Shape::Whole;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (End()) return Shape::Cut;
            const char e = s_[i_++];
            switch (e) {
                case '"': case '\\': case '/': out += e; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    std::uint32_t code = 0;
                    const Shape shape = Hex4(code);
                    if (shape != Shape::Whole) return shape;
                    if (code >= 0xD800 && code <= 0xDBFF && s_.compare(i_, 2, "\\u") == 0) {
                        i_ += 2;
                        std::uint32_t low = 0;
                        const Shape second = Hex4(low);
                        if (second != Shape::Whole) return second;
                        code = low >= 0xDC00 && low <= 0xDFFF ? 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00) : 0xFFFD;
                    } else if (code >= 0xD800 && code <= 0xDFFF) {
                        code = 0xFFFD;
                    }
                    Utf8(code, out);
                    break;
                }
                default: return Shape::Bad;
            }
        }
        return Shape::Cut;
    }

    // A string, or anything else kept as its JSON text (other versions may nest objects: they are passed over).
    Shape Value(Member& value) {
        if (At() == '"') {
            value.string = true;
            return String(value.text);
        }
        const size_t start = i_;
        int depth = 0;
        while (!End()) {
            const char c = At();
            if (c == '"') {
                std::string ignored;
                const Shape shape = String(ignored);
                if (shape != Shape::Whole) return shape;
                continue;
            }
            if (c == '{' || c == '[') ++depth;
            if (c == '}' || c == ']') {
                if (depth == 0) break;
                --depth;
            }
            if (c == ',' && depth == 0) break;
            ++i_;
        }
        if (End()) return Shape::Cut;
        value.text = s_.substr(start, i_ - start);
        while (!value.text.empty() && (value.text.back() == ' ' || value.text.back() == '\t')) value.text.pop_back();
        return value.text.empty() ? Shape::Bad : Shape::Whole;
    }

    const std::string& s_;
    size_t i_ = 0;
};

// One line of the record that names a target of the wanted command.
struct Entry {
    std::string target;
    std::string status;  // empty: not known (the line was cut before it)
    std::string image;   // SHA-256; empty for no image
};

std::string Text(const std::map<std::string, Member>& members, const char* key) {
    const auto at = members.find(key);
    return at != members.end() && at->second.string ? at->second.text : std::string();
}

bool ParseHex64(const std::string& text, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value, 16);
    return !text.empty() && failure == std::errc() && stop == end;
}

// The target a label names: "telnet HOST:PORT", "serial PORT", or a modem an earlier discovery did not find
// ("serial-number HEX", "call CALL").
bool TargetOf(const std::string& label, CliTarget& target) {
    target = CliTarget();
    std::string error;
    if (label.rfind("telnet ", 0) == 0) return ParseTelnetTarget(label.substr(7), target.host, target.port, error);
    if (label.rfind("serial-number ", 0) == 0) {
        target.missing = label;
        return ParseHex64(label.substr(14), target.serialNumber);
    }
    if (label.rfind("serial ", 0) == 0 && label.size() > 7) {
        target.serial = true;
        target.serialPort = label.substr(7);
        return true;
    }
    if (label.rfind("call ", 0) == 0 && label.size() > 5) {
        target.missing = label;
        target.callSign = label.substr(5);
        return true;
    }
    return false;
}

std::string JoinHashes(const std::vector<std::string>& hashes) {
    std::string text;
    for (size_t i = 0; i < hashes.size(); ++i) text += (i == 0 ? "" : i + 1 == hashes.size() ? " and " : ", ") + hashes[i];
    return text;
}

}  // namespace

ResumeChoice ChooseResumeTargets(const std::string& recordName, const std::string& text, const ResumeWanted& wanted) {
    ResumeChoice choice;
    std::vector<Entry> entries;
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (size_t number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const std::string where = recordName + " line " + std::to_string(number);
        std::map<std::string, Member> members;
        const Shape shape = LineReader(line).Read(members);
        Entry entry;
        entry.target = Text(members, "target");
        entry.status = Text(members, "status");
        entry.image = Text(members, "image_sha256");
        const std::string command = Text(members, "command");
        const bool record = Text(members, "event") == "record" && !command.empty() && !entry.target.empty();
        if (shape == Shape::Bad || !record || (shape == Shape::Whole && entry.status.empty())) {
            choice.notes.push_back(where + " is not a record line; passed over");
            continue;
        }
        if (command != wanted.command) continue;
        if (shape == Shape::Cut) {
            // Its run ended while writing it: what the target ended with is not known unless the status was
            // written whole (a line cut before its image counts as one of no image).
            choice.notes.push_back(where + " was cut short" +
                                   (entry.status.empty() ? ": the outcome of " + entry.target + " is not known" : ""));
        }
        entries.push_back(entry);
    }

    // The image the record's last update sent: resuming with another one needs --force.
    std::vector<std::string> images = wanted.imageSha256;
    if (wanted.command == "update") {
        std::string last;
        for (const Entry& entry : entries) {
            if (!entry.image.empty()) last = entry.image;
        }
        const bool known = !wanted.imageSha256.empty();
        if (!last.empty() && known && std::find(images.begin(), images.end(), last) == images.end()) {
            if (!wanted.force) {
                choice.refusal = ResumeRefusal::OtherImage;
                choice.error = "--resume " + recordName + ": its last update sent the image with SHA-256 " + last +
                               ", this run's image" + (images.size() == 1 ? " has SHA-256 " : "s have SHA-256 ") +
                               JoinHashes(images) + " (--force resumes with another image)";
                return choice;
            }
        }
        if (!last.empty()) images.push_back(last);
    }

    std::vector<std::string> order;                // targets in the order they first appear
    std::map<std::string, std::string> lastStatus;  // target -> its last status
    for (const Entry& entry : entries) {
        const bool ofThisRollout = wanted.command != "update" || entry.image.empty() ||
                                   std::find(images.begin(), images.end(), entry.image) != images.end();
        if (!ofThisRollout) continue;
        if (lastStatus.count(entry.target) == 0) order.push_back(entry.target);
        lastStatus[entry.target] = entry.status;
    }
    for (const std::string& label : order) {
        const std::string& status = lastStatus[label];
        if (status == "ok" || status == "skipped") {
            ++choice.settled;
            continue;
        }
        CliTarget target;
        if (!TargetOf(label, target)) {
            choice.refusal = ResumeRefusal::UnknownTarget;
            choice.error = "--resume " + recordName + ": target '" + label + "' is not one this program can reach";
            choice.targets.clear();
            return choice;
        }
        choice.targets.push_back(target);
    }
    return choice;
}
