// A run resumed from the record of earlier runs: which targets did not end well and run again.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "rollout/Request.h"

// What the resumed run is.
struct ResumeWanted {
    std::string command;
    // update: the SHA-256 of each of this run's images; empty when they could not all be read (the run then
    // fails on its images anyway).
    std::vector<std::string> imageSha256;
    bool force = false;  // resume even with an image other than the one the record's last update sent
};

enum class ResumeRefusal {
    None,
    OtherImage,     // the record's last update sent another image, and no --force
    UnknownTarget,  // a target the record names cannot be turned back into one to reach
};

struct ResumeChoice {
    ResumeRefusal refusal = ResumeRefusal::None;
    std::string error;  // with a refusal: what a person reads
    // The targets whose last result was not ok or skipped, in the order they first appear. A modem that an
    // earlier discovery did not find comes back as such (`missing`, with its serial number or call sign).
    std::vector<RolloutTarget> targets;
    std::vector<std::string> notes;  // one for each line passed over or cut short
    size_t settled = 0;              // targets of the record that ended ok or skipped
    bool found = false;              // the record holds something of this command (and image)
};

// Chooses from the record text (JSON lines, as --record appends them). A journal's latest `run` line of the
// wanted command and this run's images (or the latest of the command with --force) lists the targets; each
// runs again unless its last line after it is an ok or skipped result (no line, a start without a result, a
// line cut before its status: again). A record from before the journal (result lines only) is read as it
// always was: only lines of the wanted command count and, for an update, only those of this run's images (or
// the record's last one with --force) or of no image; each target's last line decides.
ResumeChoice ChooseResumeTargets(const std::string& recordName, const std::string& text, const ResumeWanted& wanted);

// The targets of a run with --resume: reads the record and this run's images, chooses, and resolves the choice
// as the command line's targets are (discovery for the modems it did not find before). False with a message
// (`usage` set unless discovery failed); `notes` for the person. No target and true: nothing to resume.
bool ResolveResumeTargets(const RolloutRequest& options, std::vector<RolloutTarget>& targets, std::vector<std::string>& notes,
                          std::string& error, bool& usage, const std::atomic<bool>* cancel);
