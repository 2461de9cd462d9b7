// The plan of an update, from the identities and the command line alone.
#include "rollout/Plan.h"

#include <algorithm>

const ImageInfo* ImageForType(const std::vector<const ImageInfo*>& images, const std::string& type) {
    const ImageInfo* plain = nullptr;
    for (const ImageInfo* image : images) {
        if (image->type.empty()) plain = image;
        else if (image->type == type) return image;
    }
    return plain;
}

void DecidePlan(const CliOptions& options, const std::vector<const ImageInfo*>& images,
                const std::vector<TargetResult>& identities, const std::vector<bool>& identified,
                std::vector<PlanEntry>& plan) {
    for (size_t i = 0; i < plan.size(); ++i) {
        if (!identified[i]) continue;
        PlanEntry& entry = plan[i];
        const TargetResult& modem = identities[i];
        const ImageInfo* image = ImageForType(images, modem.type);
        const std::string& expected = options.ExpectedFirmware(modem.type);
        entry.action = PlanEntry::Action::Skip;
        if (image == nullptr) {
            entry.reason = "type";
            entry.message = "No firmware image for type " + modem.type + " (" + modem.model + "); left alone";
        } else if (!expected.empty() && !options.force && modem.firmware == expected) {
            entry.reason = "current";
            entry.message = "Already runs firmware " + modem.firmware + "; left alone";
        } else {
            entry.action = PlanEntry::Action::Update;
            entry.reason.clear();
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
            plan[i].warning = "same serial number " + Hex16(a.serialNumber) + " as " + b.label;
            break;
        }
    }
    size_t canaries = 0;
    for (PlanEntry& entry : plan) {
        if (entry.action != PlanEntry::Action::Update || canaries == options.canary) continue;
        entry.canary = true;
        ++canaries;
    }
}

std::string UnmatchedTypes(const CliOptions& options, const std::vector<PlanEntry>& plan,
                           const std::vector<TargetResult>& identities) {
    std::vector<std::string> seen;
    bool allCurrent = true;
    for (size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].reason != "current") allCurrent = false;
        const std::string& type = identities[i].type;
        if (!type.empty() && std::find(seen.begin(), seen.end(), type) == seen.end()) seen.push_back(type);
    }
    // With no modem identified there is no type to hold the names against: every target has failed anyway.
    if (allCurrent || seen.empty()) return std::string();
    const auto unseen = [&seen](const std::string& type) { return std::find(seen.begin(), seen.end(), type) == seen.end(); };
    std::string names;
    for (const auto& [type, path] : options.firmwareByType) {
        if (unseen(type)) names += (names.empty() ? "" : ", ") + ("--firmware " + type + "=" + path);
    }
    if (!options.typeFilter.empty() && unseen(options.typeFilter)) {
        names += (names.empty() ? "" : ", ") + ("--type " + options.typeFilter);
    }
    if (names.empty()) return names;
    std::string types;
    for (const std::string& type : seen) types += (types.empty() ? "" : ", ") + type;
    return "No identified modem has the type that " + names + " names (types seen: " + types + "); nothing was sent";
}

std::string NothingToSend(const std::vector<PlanEntry>& plan) {
    size_t current = 0, type = 0, failed = 0;
    for (const PlanEntry& entry : plan) {
        if (entry.action == PlanEntry::Action::Fail) ++failed;
        else if (entry.reason == "current") ++current;
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
