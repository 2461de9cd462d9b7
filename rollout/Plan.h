// The plan of an update: what each identified modem gets, decided before any image is sent.
#pragma once

#include <string>
#include <vector>

#include "rollout/Outcome.h"
#include "rollout/Request.h"

// The image for a modem of identity type `type`: its own, else the plain file; null when there is neither.
const ImageInfo* ImageForType(const std::vector<const ImageInfo*>& images, const std::string& type);

// Completes the plan once every identity check is over. Entries of targets not `identified` keep what the
// check said (fail, or skip for another --type); an identified one is skipped when no image is for its type
// or it already runs the expected version (unless --force), and is updated otherwise. Then targets sharing a
// serial number get a warning, and the first --canary updates are the canaries.
void DecidePlan(const RolloutRequest& request, const std::vector<const ImageInfo*>& images,
                const std::vector<TargetResult>& identities, const std::vector<bool>& identified,
                std::vector<PlanEntry>& plan);

// Empty, or the message that fails the run: an image by type, or --type, that names a type no identified modem
// has and that is no known type code (a typo would skip every modem and look like success). Nothing fails
// while a target is left unidentified (its type may be the one named: it fails, the rest go on), or when
// every target is skipped as current. A known type that no modem here has is `note`, not a failure: one
// catalogue of images per type serves every site.
std::string UnmatchedTypes(const RolloutRequest& request, const std::vector<PlanEntry>& plan,
                           const std::vector<TargetResult>& identities, std::string* note = nullptr);

// "Nothing to send: ..." with the counts of why.
std::string NothingToSend(const std::vector<PlanEntry>& plan);

// The run's result for a target the plan does not update: failed as planned, or skipped (a failure with
// --strict).
Status PlannedStatus(const PlanEntry& entry, bool strict);

// True when the apply would do only what was asked: every target updated or (without --strict) skipped.
bool PlanAsExpected(const std::vector<PlanEntry>& plan, bool strict);
