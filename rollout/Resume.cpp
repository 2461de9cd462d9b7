// Choosing the targets of a resumed run from the record text: each target's last result decides.
#include "rollout/Resume.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "rollout/Targets.h"

namespace {

using Json = nlohmann::json;

enum class Shape { Whole, Cut, Bad };

// Keeps the top-level string and null members of a line that ends inside its object (its run stopped while
// writing it), those read whole before the cut; nested values are passed over (other versions may add some).
class CutLine : public Json::json_sax_t {
public:
    CutLine(const std::string& line, Json& members) : line_(line), members_(members) {}

    bool null() override { return Keep(nullptr); }
    bool string(string_t& text) override { return Keep(text); }
    bool boolean(bool) override { return Drop(); }
    bool number_integer(number_integer_t) override { return Drop(); }
    bool number_unsigned(number_unsigned_t) override { return Drop(); }
    bool number_float(number_float_t, const string_t&) override { return Drop(); }
    bool binary(binary_t&) override { return Drop(); }
    bool start_object(std::size_t) override { return Open(true); }
    bool start_array(std::size_t) override { return Open(false); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }
    bool key(string_t& key) override {
        if (depth_ == 1) key_ = key;
        return true;
    }
    // Only a failure past the line's last character is a cut: one at a character the line holds is bad JSON.
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) override {
        cut_ = position > line_.size();
        return false;
    }

    Shape Read() {
        Json::sax_parse(line_, this);
        return object_ && cut_ ? Shape::Cut : Shape::Bad;
    }

private:
    bool Keep(Json value) {
        if (depth_ == 1) members_[key_] = std::move(value);
        return true;
    }
    // A later value of another kind replaces an earlier one of the same name, as in a whole line.
    bool Drop() {
        if (depth_ == 1) members_.erase(key_);
        return true;
    }
    bool Open(bool object) {
        if (depth_ == 0) object_ = object;
        Drop();
        ++depth_;
        return true;
    }
    bool Close() {
        --depth_;
        return true;
    }

    const std::string& line_;
    Json& members_;
    std::string key_;
    int depth_ = 0;
    bool object_ = false;
    bool cut_ = false;
};

// Reads one record line, a JSON object; `members` holds its top-level members, for a cut line those before
// the cut.
Shape Read(const std::string& line, Json& members) {
    members = Json::parse(line, nullptr, false);
    if (!members.is_discarded()) return members.is_object() ? Shape::Whole : Shape::Bad;
    members = Json::object();
    return CutLine(line, members).Read();
}

// One line of the record that names a target of the wanted command.
struct Entry {
    std::string target;
    std::string status;  // empty: not known (the line was cut before it)
    std::string image;   // SHA-256; empty for no image
};

std::string Text(const Json& members, const char* key) {
    const auto at = members.find(key);
    return at != members.end() && at->is_string() ? at->get<std::string>() : std::string();
}

// The target a label names: "telnet HOST:PORT", "serial PORT", or a modem an earlier discovery did not find
// ("serial-number HEX", "call CALL").
bool TargetOf(const std::string& label, RolloutTarget& target) {
    target = RolloutTarget();
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

namespace {

// Calls `take(number, line)` for each line of a record that is not blank, a byte-order mark at its start
// passed over.
template <typename Take>
void ForEachLine(const std::string& text, Take take) {
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (size_t number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.find_first_not_of(" \t\r") != std::string::npos) take(number, line);
    }
}

// A record from before the journal: result lines only.
ResumeChoice ChooseFromResults(const std::string& recordName, const std::string& text, const ResumeWanted& wanted) {
    ResumeChoice choice;
    std::vector<Entry> entries;
    ForEachLine(text, [&](size_t number, const std::string& line) {
        const std::string where = recordName + " line " + std::to_string(number);
        Json members;
        const Shape shape = Read(line, members);
        Entry entry;
        entry.target = Text(members, "target");
        entry.status = Text(members, "status");
        entry.image = Text(members, "image_sha256");
        const std::string command = Text(members, "command");
        const bool record = Text(members, "event") == "record" && !command.empty() && !entry.target.empty();
        // The journal's other lines are the journal's: a record from before has none that name a target.
        if (shape == Shape::Bad || !record || (shape == Shape::Whole && entry.status.empty())) {
            choice.notes.push_back(where + " is not a record line; passed over");
            return;
        }
        if (command != wanted.command) return;
        if (shape == Shape::Cut) {
            // Its run ended while writing it: what the target ended with is not known unless the status was
            // written whole (a line cut before its image counts as one of no image).
            choice.notes.push_back(where + " was cut short" +
                                   (entry.status.empty() ? ": the outcome of " + entry.target + " is not known" : ""));
        }
        entries.push_back(entry);
    });

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
        choice.found = true;
        if (lastStatus.count(entry.target) == 0) order.push_back(entry.target);
        lastStatus[entry.target] = entry.status;
    }
    for (const std::string& label : order) {
        const std::string& status = lastStatus[label];
        if (status == "ok" || status == "skipped") {
            ++choice.settled;
            continue;
        }
        RolloutTarget target;
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

// One line of a journal.
struct JournalLine {
    std::string event, command, target, key, status;
    Json members;
};

std::vector<std::string> RunImages(const Json& run) {
    std::vector<std::string> images;
    const auto at = run.find("images");
    if (at == run.end() || !at->is_array()) return images;
    for (const Json& image : *at) {
        if (image.is_object() && image.contains("sha256") && image["sha256"].is_string()) {
            images.push_back(image["sha256"].get<std::string>());
        }
    }
    return images;
}

// The target a run line lists: by name for a modem asked for by serial number or call sign, else by how it
// is reached (with its own rate for a serial port).
bool ListedTarget(const Json& listed, RolloutTarget& target) {
    const std::string label = Text(listed, "target");
    const std::string key = Text(listed, "key");
    if (key.rfind("serial-number ", 0) == 0) {
        target = RolloutTarget();
        target.missing = key;
        target.key = key;
        return ParseHex64(key.substr(14), target.serialNumber);
    }
    if (key.rfind("call ", 0) == 0 && key.size() > 5) {
        target = RolloutTarget();
        target.missing = key;
        target.key = key;
        target.callSign = key.substr(5);
        return true;
    }
    if (!TargetOf(label, target)) return false;
    const auto baud = listed.find("baud");
    if (target.serial && baud != listed.end() && baud->is_number_unsigned()) target.baudRate = baud->get<unsigned>();
    target.key = key;
    return true;
}

}  // namespace

ResumeChoice ChooseResumeTargets(const std::string& recordName, const std::string& text, const ResumeWanted& wanted) {
    std::vector<JournalLine> lines;
    std::vector<std::string> notes;
    ForEachLine(text, [&](size_t number, const std::string& raw) {
        JournalLine line;
        const Shape shape = Read(raw, line.members);
        line.event = Text(line.members, "event");
        line.command = Text(line.members, "command");
        line.target = Text(line.members, "target");
        line.key = Text(line.members, "key");
        line.status = Text(line.members, "status");
        const bool whole = shape == Shape::Whole;
        if (line.event == "run" && !whole) {
            notes.push_back(recordName + " line " + std::to_string(number) + " (a run) was cut short; passed over");
            return;
        }
        if (line.event == "record" && shape == Shape::Cut && line.command == wanted.command) {
            notes.push_back(recordName + " line " + std::to_string(number) + " was cut short" +
                            (line.status.empty() ? ": the outcome of " + (line.target.empty() ? std::string("a target") : line.target) +
                                                       " is not known"
                                                 : ""));
        }
        if (shape != Shape::Bad) lines.push_back(std::move(line));
    });
    // The latest run of this command and of this run's images; with --force the latest of the command.
    size_t chosen = lines.size(), latest = lines.size();
    for (size_t i = lines.size(); i-- > 0;) {
        const JournalLine& line = lines[i];
        if (line.event != "run" || line.command != wanted.command) continue;
        if (latest == lines.size()) latest = i;
        const std::vector<std::string> images = RunImages(line.members);
        const bool same = wanted.command != "update" || wanted.imageSha256.empty() ||
                          std::any_of(images.begin(), images.end(), [&](const std::string& sha) {
                              return std::find(wanted.imageSha256.begin(), wanted.imageSha256.end(), sha) !=
                                     wanted.imageSha256.end();
                          });
        if (same) {
            chosen = i;
            break;
        }
    }
    if (latest == lines.size()) return ChooseFromResults(recordName, text, wanted);  // a record from before
    ResumeChoice choice;
    choice.notes = notes;
    if (chosen == lines.size()) {
        const std::vector<std::string> images = RunImages(lines[latest].members);
        if (!wanted.force) {
            choice.refusal = ResumeRefusal::OtherImage;
            choice.error = "--resume " + recordName + ": its last update sent the image with SHA-256 " + JoinHashes(images) +
                           ", this run's image" + (wanted.imageSha256.size() == 1 ? " has SHA-256 " : "s have SHA-256 ") +
                           JoinHashes(wanted.imageSha256) + " (--force resumes with another image)";
            return choice;
        }
        chosen = latest;
    }
    choice.found = true;
    // Each listed target's last line after its run: a start, or a result (a cut one without a status counts
    // as no outcome).
    std::map<std::string, std::string> last;
    std::map<std::string, std::string> keyOfLabel;
    const Json listed = lines[chosen].members.value("targets", Json::array());
    for (const Json& target : listed) {
        if (target.is_object()) keyOfLabel[Text(target, "target")] = Text(target, "key");
    }
    // Targets whose update began in any run of this command (and image): they may hold the image now.
    std::set<std::string> begun;
    for (const JournalLine& line : lines) {
        const std::string image = Text(line.members, "image_sha256");
        const bool ofThisImage = wanted.imageSha256.empty() || std::find(wanted.imageSha256.begin(), wanted.imageSha256.end(),
                                                                         image) != wanted.imageSha256.end();
        if (line.event == "start" && line.command == wanted.command && ofThisImage) begun.insert(line.key);
    }
    for (size_t i = chosen + 1; i < lines.size(); ++i) {
        const JournalLine& line = lines[i];
        if (line.command != wanted.command || (line.event != "start" && line.event != "record")) continue;
        std::string key = line.key;
        if (key.empty() && keyOfLabel.count(line.target) != 0) key = keyOfLabel[line.target];
        if (key.empty()) continue;
        last[key] = line.event == "start" ? "start" : line.status;
    }
    for (const Json& entry : listed) {
        RolloutTarget target;
        if (!entry.is_object() || !ListedTarget(entry, target)) {
            choice.refusal = ResumeRefusal::UnknownTarget;
            choice.error = "--resume " + recordName + ": target '" + Text(entry, "target") + "' is not one this program can reach";
            choice.targets.clear();
            return choice;
        }
        const std::string& status = last[Text(entry, "key")];
        if (status == "ok" || status == "skipped") {
            ++choice.settled;
            continue;
        }
        if (status == "start") {
            choice.notes.push_back(Text(entry, "target") + " started in the last run and has no result" +
                                   (wanted.command == "update" ? ": it may already hold the image" : ""));
        }
        target.begunBefore = begun.count(Text(entry, "key")) != 0;
        target.begunBefore = begun.count(Text(entry, "key")) != 0;
        choice.targets.push_back(target);
    }
    return choice;
}
