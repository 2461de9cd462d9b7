// The record of a run as a journal: the run line, each target's start line and its result line.
#include "rollout/Record.h"

#include "discovery/SerialNumber.h"
#include "rollout/Json.h"
#include "rollout/Request.h"
#include "rollout/System.h"

namespace {

const char* LegacyName(LegacyChoice choice) {
    switch (choice) {
        case LegacyChoice::Yes: return "yes";
        case LegacyChoice::No: return "no";
        case LegacyChoice::Ask: break;
    }
    return "ask";
}

std::string ImageJson(const ImageInfo& image) {
    JsonObject object("image");
    object.Add("type", image.type).Add("path", image.path).Add("size", image.size).Add("sha256", image.sha256);
    return object.Text();
}

// The guard rails that shape the apply: a resume or an audit sees what the run was allowed to do.
std::string GuardRailsJson(const RolloutRequest& r) {
    std::string byType = "{";
    for (const auto& [type, version] : r.expectFirmwareByType) {
        byType += (byType.size() > 1 ? "," : "") + JsonQuote(type) + ":" + JsonQuote(version);
    }
    JsonObject rails("guard_rails");
    rails.Add("expect_firmware", r.expectFirmware).Raw("expect_firmware_by_type", byType + "}");
    rails.Add("type", r.typeFilter).Bool("force", r.force).Bool("strict", r.strict);
    rails.Add("canary", r.canary).Add("max_failures", r.maxFailures).Add("retries", r.retries);
    if (r.confirm) rails.Add("confirm_seconds", r.confirmSeconds);
    else rails.Null("confirm_seconds");
    rails.Add("legacy", LegacyName(r.legacy)).Add("parallel", r.parallel);
    return rails.Text();
}

}  // namespace

// A production line is keyed by serial number, not by address.
void AddIdentity(JsonObject& object, const TargetResult& r) {
    if (r.serialKnown) object.Add("serial_number", SerialNumberText(r.serialNumber));
    else object.Null("serial_number");
    if (r.callKnown) object.Add("call_sign", r.callSign);
    else object.Null("call_sign");
    if (r.model.empty()) object.Null("model");
    else object.Add("model", r.model);
}

std::string RecordOutput::RunLine(const RunStart& start, const std::string& version, const std::string& host,
                                  const std::string& time) {
    JsonObject line("run");
    line.Add("tool_version", version).Add("command", start.command).Add("host", host).Add("start", time);
    std::string images = "[";
    for (const ImageInfo* image : start.images) images += (images.size() > 1 ? "," : "") + ImageJson(*image);
    line.Raw("images", images + "]");
    if (start.request != nullptr) line.Raw("guard_rails", GuardRailsJson(*start.request));
    std::string targets = "[";
    if (start.targets != nullptr) {
        for (size_t i = 0; i < start.targets->size(); ++i) {
            const RolloutTarget& target = (*start.targets)[i];
            JsonObject entry("target");
            entry.Add("target", target.Label()).Add("key", TargetKey(target));
            if (target.discovered || !target.missing.empty()) {
                if (target.missing.rfind("call ", 0) == 0) entry.Null("serial_number");
                else entry.Add("serial_number", SerialNumberText(target.serialNumber));
            } else {
                entry.Null("serial_number");
            }
            if (!target.callSign.empty()) entry.Add("call_sign", target.callSign);
            else entry.Null("call_sign");
            if (target.serial) entry.Add("baud", target.baudRate);
            targets += (i == 0 ? "" : ",") + entry.Text();
        }
    }
    line.Raw("targets", targets + "]");
    return line.Text();
}

std::string RecordOutput::StartLine(const std::string& command, const TargetResult& r, const std::string& time) {
    JsonObject line("start");
    line.Add("command", command).Add("target", r.label).Add("key", r.key).Add("start", time);
    if (r.image != nullptr) line.Add("image_sha256", r.image->sha256);
    else line.Null("image_sha256");
    AddIdentity(line, r);
    return line.Text();
}

std::string RecordOutput::Line(const std::string& command, const TargetResult& r, const std::string& version,
                               const std::string& host) {
    JsonObject line("record");
    line.Add("tool_version", version).Add("command", command).Add("host", host);
    line.Add("start", r.startUtc).Add("end", r.endUtc);
    if (r.image != nullptr) {
        line.Add("image", r.image->path).Add("image_size", r.image->size).Add("image_sha256", r.image->sha256);
    } else {
        line.Null("image").Null("image_size").Null("image_sha256");
    }
    // The key beside the target: a line cut after it still says whose it was.
    line.Add("target", r.label);
    if (!r.key.empty()) line.Add("key", r.key);
    AddIdentity(line, r);
    if (r.firmware.empty()) line.Null("firmware_before");
    else line.Add("firmware_before", r.firmware);
    if (r.confirmed) line.Add("firmware_after", r.firmwareAfter);
    else line.Null("firmware_after");
    line.Add("status", StatusName(r.status)).Add("reason", ReasonName(r.reason)).Add("message", r.message).Add("warning", r.warning);
    line.Add("bytes", r.bytes);
    if (command == "update") line.Bool("image_sent", r.imageSent);
    line.Add("seconds", r.seconds);
    return line.Text();
}

void RecordOutput::Append(const std::string& line) {
    if (!file_ || Faulted()) return;
    std::string error;
    if (!file_->Append(line + "\n", error)) SetFault(error);
}

void RecordOutput::Consume(const RolloutEvent& event) {
    switch (event.kind) {
        case RolloutEvent::Kind::Start:
            command_ = event.start->command;
            Append(RunLine(*event.start, version_, host_, UtcNow()));
            break;
        case RolloutEvent::Kind::Begin: Append(StartLine(command_, *event.result, UtcNow())); break;
        case RolloutEvent::Kind::Result: Append(Line(command_, *event.result, version_, host_)); break;
        default: break;
    }
}
