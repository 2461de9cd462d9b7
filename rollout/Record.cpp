// The record of a run: one JSON line per target, what went where, when and how it ended.
#include "rollout/Record.h"

#include "discovery/SerialNumber.h"
#include "rollout/Json.h"

// A production line is keyed by serial number, not by address.
void AddIdentity(JsonObject& object, const TargetResult& r) {
    if (r.serialKnown) object.Add("serial_number", SerialNumberText(r.serialNumber));
    else object.Null("serial_number");
    if (r.callKnown) object.Add("call_sign", r.callSign);
    else object.Null("call_sign");
    if (r.model.empty()) object.Null("model");
    else object.Add("model", r.model);
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
    line.Add("target", r.label);
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

void RecordOutput::Consume(const RolloutEvent& event) {
    if (event.kind == RolloutEvent::Kind::Start) command_ = event.start->command;
    if (event.kind != RolloutEvent::Kind::Result || !file_ || !fault_.empty()) return;
    std::string error;
    if (!file_->Append(Line(command_, *event.result, version_, host_) + "\n", error)) fault_ = error;
}
