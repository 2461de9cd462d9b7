// The plan of an update: the identity checks, then what each target gets, from the identities and the request alone.
#include "rollout/Plan.h"

#include <algorithm>

#include "console/Console.h"
#include "discovery/SerialNumber.h"
#include "rollout/Run.h"

const ImageInfo* ImageForType(const std::vector<const ImageInfo*>& images, const std::string& type) {
    const ImageInfo* plain = nullptr;
    for (const ImageInfo* image : images) {
        if (image->type.empty()) plain = image;
        else if (image->type == type) return image;
    }
    return plain;
}

void DecidePlan(const RolloutRequest& request, const std::vector<const ImageInfo*>& images,
                const std::vector<TargetResult>& identities, const std::vector<bool>& identified,
                std::vector<PlanEntry>& plan) {
    for (size_t i = 0; i < plan.size(); ++i) {
        if (!identified[i]) continue;
        PlanEntry& entry = plan[i];
        const TargetResult& modem = identities[i];
        const ImageInfo* image = ImageForType(images, modem.type);
        const std::string& expected = request.ExpectedFirmware(modem.type);
        entry.action = PlanEntry::Action::Skip;
        if (image == nullptr) {
            entry.reason = Reason::Type;
            entry.message = "No firmware image for type " + modem.type + " (" + modem.model + "); left alone";
        } else if (!expected.empty() && !request.force && modem.firmware == expected) {
            entry.reason = Reason::Current;
            entry.message = "Already runs firmware " + modem.firmware + "; left alone";
        } else {
            entry.action = PlanEntry::Action::Update;
            entry.reason = Reason::None;
            entry.image = image;
            entry.message = "Update " + modem.model + " from firmware " + modem.firmware + " with " + image->path;
            if (!expected.empty()) entry.message += ", expecting " + expected;
        }
    }
    // Two targets that say they are one modem are worth a word before anything is sent.
    for (size_t i = 0; i < plan.size(); ++i) {
        for (size_t j = 0; j < plan.size(); ++j) {
            const TargetResult &a = identities[i], &b = identities[j];
            if (i == j || !a.serialKnown || !b.serialKnown || a.serialNumber != b.serialNumber) continue;
            plan[i].warning = "same serial number " + SerialNumberText(a.serialNumber) + " as " + b.label;
            break;
        }
    }
    size_t canaries = 0;
    for (PlanEntry& entry : plan) {
        if (entry.action != PlanEntry::Action::Update || canaries == request.canary) continue;
        entry.canary = true;
        ++canaries;
    }
}

std::string UnmatchedTypes(const RolloutRequest& request, const std::vector<PlanEntry>& plan,
                           const std::vector<TargetResult>& identities, std::string* note) {
    std::vector<std::string> seen;
    bool allCurrent = true;
    bool unidentified = false;
    for (size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].reason != Reason::Current) allCurrent = false;
        if (plan[i].action == PlanEntry::Action::Fail) unidentified = true;
        const std::string& type = identities[i].type;
        if (!type.empty() && std::find(seen.begin(), seen.end(), type) == seen.end()) seen.push_back(type);
    }
    // With no modem identified there is no type to hold the names against: every target has failed anyway.
    if (allCurrent || seen.empty() || unidentified) return std::string();
    const auto unseen = [&seen](const std::string& type) { return std::find(seen.begin(), seen.end(), type) == seen.end(); };
    std::string typos, absent;
    const auto add = [&](const std::string& type, const std::string& name) {
        std::string& list = IsKnownTypeCode(type) ? absent : typos;
        list += (list.empty() ? "" : ", ") + name;
    };
    for (const auto& [type, path] : request.firmwareByType) {
        if (unseen(type)) add(type, "--firmware " + type + "=" + path);
    }
    if (!request.typeFilter.empty() && unseen(request.typeFilter)) add(request.typeFilter, "--type " + request.typeFilter);
    std::string types;
    for (const std::string& type : seen) types += (types.empty() ? "" : ", ") + type;
    if (note != nullptr && !absent.empty()) {
        *note = "No modem here has the type that " + absent + " names (types seen: " + types + ")";
    }
    if (typos.empty()) return typos;
    return "No identified modem has the type that " + typos + " names (types seen: " + types + "); nothing was sent";
}

std::string NothingToSend(const std::vector<PlanEntry>& plan) {
    size_t current = 0, type = 0, failed = 0;
    for (const PlanEntry& entry : plan) {
        if (entry.action == PlanEntry::Action::Fail) ++failed;
        else if (entry.reason == Reason::Current) ++current;
        else if (entry.action == PlanEntry::Action::Skip) ++type;
    }
    std::string why;
    const auto add = [&why](size_t count, const char* one, const char* many) {
        if (count > 0) why += (why.empty() ? "" : ", ") + std::to_string(count) + " " + (count == 1 ? one : many);
    };
    add(current, "modem already runs the expected firmware", "modems already run the expected firmware");
    add(type, "modem is left alone for its type", "modems are left alone for their type");
    add(failed, "modem could not be reached or identified", "modems could not be reached or identified");
    return "Nothing to send: " + why;
}

Status PlannedStatus(const PlanEntry& entry, bool strict) {
    return entry.action == PlanEntry::Action::Skip && !strict ? Status::Skipped : Status::Failed;
}

bool PlanAsExpected(const std::vector<PlanEntry>& plan, bool strict) {
    return std::all_of(plan.begin(), plan.end(), [strict](const PlanEntry& entry) {
        return entry.action == PlanEntry::Action::Update || (entry.action == PlanEntry::Action::Skip && !strict);
    });
}

void RolloutRun::Plan() {
    plan_.assign(targets_.size(), PlanEntry());
    planned_.assign(targets_.size(), TargetResult());
    // One byte a target, written by its own worker (a vector<bool> packs neighbours into one word).
    std::vector<unsigned char> identifiedBy(targets_.size(), 0);
    RunParallel(All(), request_.parallel, [this, &identifiedBy](size_t i) {
        PlanEntry& entry = plan_[i];
        if (!targets_[i].missing.empty()) {
            entry.reason = Reason::NotFound;
            entry.message = NotFoundMessage(targets_[i]);
            return;
        }
        Begin(i);
        Outcome outcome;
        std::unique_ptr<ITransport> link;
        // No link is held from the plan to the apply: a console's idle logout or a firewall's idle cut would
        // end it, and the modem stays free for others meanwhile. The apply connects and checks again.
        if (Connect(i, true, "Checking identity", link, outcome)) {
            link->Close();
            planned_[i] = results_[i];
            identifiedBy[i] = 1;
            return;
        }
        // A cancelled check ends the run before the plan is shown: its result is told at once.
        if (outcome.status == Status::Cancelled) Finish(i, outcome.status, outcome.reason, outcome.message);
        entry.action = outcome.status == Status::Skipped ? PlanEntry::Action::Skip : PlanEntry::Action::Fail;
        entry.reason = outcome.reason;
        entry.message = outcome.message;
    }, ShortOfThreads());
    std::vector<const ImageInfo*> images;
    for (const auto& image : *images_) images.push_back(&image->info);
    const std::vector<bool> identified(identifiedBy.begin(), identifiedBy.end());
    DecidePlan(request_, images, results_, identified, plan_);
    for (size_t i = 0; i < plan_.size(); ++i) {
        if (plan_[i].action == PlanEntry::Action::Update) {
            results_[i].image = plan_[i].image;
            Publish(i);
        }
    }
}

void RolloutRun::FinishAsPlanned(Status rest, Reason reason, const std::string& message, bool skipsToo) {
    for (size_t i = 0; i < plan_.size(); ++i) {
        const PlanEntry& entry = plan_[i];
        const bool asRest = entry.action == PlanEntry::Action::Update || (skipsToo && entry.action == PlanEntry::Action::Skip);
        if (asRest) Finish(i, rest, reason, message.empty() ? "Planned, not sent: " + entry.message : message);
        else Finish(i, PlannedStatus(entry, false), entry.reason, entry.message);
    }
}
