// The targets of a run with --resume: the record and this run's images read from disk, the choice resolved.
#include <atomic>
#include <functional>
#include <memory>
#include <set>

#include "rollout/System.h"
#include "rollout/Targets.h"
#include "rollout/Resume.h"
#include "transport/File.h"
#include "transport/SystemError.h"
#include "transport/Transport.h"
#include "update/Sha256.h"

namespace {

// Hands the file's bytes to `take` piece by piece; false with a message naming the file and the system's reason.
bool ReadPieces(const std::string& path, const char* what, const std::function<void(const unsigned char*, size_t)>& take,
                std::string& error, const std::atomic<bool>* cancel = nullptr) {
    if (IsFolder(path)) {
        error = std::string("Cannot read ") + what + " " + path + ": it is a folder";
        return false;
    }
    const std::unique_ptr<InputFile> file = OpenInputFile(Utf8ToWide(path));
    if (!file) {
        error = std::string("Cannot read ") + what + " " + path + ": " + WindowsError(LastSystemError());
        return false;
    }
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        if (cancel != nullptr && cancel->load()) {
            error = std::string("Cancelled while reading ") + what + " " + path;
            return false;
        }
        size_t got = 0;
        if (!file->ReadSome(buffer.data(), buffer.size(), got)) {
            error = std::string("Cannot read ") + what + " " + path + ": " + WindowsError(LastSystemError());
            return false;
        }
        if (got == 0) return true;
        take(buffer.data(), got);
    }
}

}  // namespace

bool ResolveResumeTargets(const RolloutRequest& options, std::vector<RolloutTarget>& targets, std::vector<std::string>& notes,
                          std::string& error, bool& usage, const std::atomic<bool>* cancel) {
    targets.clear();
    usage = true;  // a record that cannot be read is a bad command line, as a target list is
    std::string text;
    if (!ReadPieces(options.resumePath, "the record", [&text](const unsigned char* data, size_t size) {
            text.append(reinterpret_cast<const char*>(data), size);
        }, error, cancel)) {
        // A signal is no mistake of the command line: the run fails, and the program says which signal.
        if (cancel != nullptr && cancel->load()) usage = false;
        return false;
    }
    ResumeWanted wanted;
    wanted.command = options.command;
    wanted.force = options.force;
    if (options.command == "update") {
        // Hashed here only to compare with the record; an image that cannot be read fails the run when it loads.
        std::vector<std::string> paths;
        if (!options.path.empty()) paths.push_back(options.path);
        for (const auto& byType : options.firmwareByType) paths.push_back(byType.second);
        for (const std::string& path : paths) {
            FirmwareSha256 digest;
            std::string ignored;
            if (!ReadPieces(path, "firmware", [&digest](const unsigned char* data, size_t size) { digest.Update(data, size); },
                            ignored)) {
                wanted.imageSha256.clear();
                break;
            }
            wanted.imageSha256.push_back(digest.FinishHex());
        }
    }
    const ResumeChoice choice = ChooseResumeTargets(options.resumePath, text, wanted);
    notes = choice.notes;
    if (choice.refusal != ResumeRefusal::None) {
        error = choice.error;
        return false;
    }
    const std::string what = options.command + (options.command == "update" ? " with this image" : "");
    if (!choice.found) {
        // Resuming until success must not stop at a record that never held this rollout.
        usage = false;
        error = "Nothing to resume: " + options.resumePath + " holds no run or result of " + what;
        return false;
    }
    if (choice.targets.empty()) {
        notes.push_back("Nothing to resume: every target of " + options.resumePath + " (" + std::to_string(choice.settled) +
                        ") ended ok or skipped in its last " + what);
        return true;
    }
    // The chosen targets go through the command line's own resolution: the same checks, and discovery for
    // modems it did not find before.
    RolloutRequest resolved = options;
    resolved.targets.clear();
    resolved.targetsFile.clear();
    for (const RolloutTarget& target : choice.targets) {
        if (!target.missing.empty()) {
            resolved.discovered = true;
            if (target.callSign.empty()) resolved.serialNumberFilter.push_back(target.serialNumber);
            else resolved.callFilter.push_back(target.callSign);
            continue;
        }
        resolved.targets.push_back(target);
        // A port keeps the rate the record names; one from before the journal takes this run's --baud.
        if (target.serial && target.baudRate == 0) resolved.targets.back().baudRate = options.baudRate;
    }
    notes.push_back("Resuming " + std::to_string(choice.targets.size()) + " target" +
                    (choice.targets.size() == 1 ? "" : "s") + " of " + options.resumePath + " (" +
                    std::to_string(choice.settled) + " ended ok or skipped)");
    if (!ResolveTargets(resolved, targets, error, usage, cancel)) return false;
    // Resolution makes the targets anew (discovery, for those asked for by name): what the record knew of each
    // follows its key.
    std::set<std::string> begun;
    for (const RolloutTarget& target : choice.targets) {
        if (target.begunBefore) begun.insert(target.key);
    }
    for (RolloutTarget& target : targets) target.begunBefore = begun.count(target.key) != 0;
    return true;
}
