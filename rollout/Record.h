// The record of a run (--record FILE), a journal: what the run will do, written before it is done, then each
// target's start and result. Reruns, audits and resumes read it.
#pragma once

#include <memory>
#include <string>

#include "rollout/Events.h"
#include "rollout/RecordFile.h"

class JsonObject;
// Who the modem is: serial_number, call_sign and model, null where unknown (the record's lines and the JSON
// lines name a modem alike).
void AddIdentity(JsonObject& object, const TargetResult& result);

// Each line appended whole and synced before the step it announces: the `run` line before any modem is
// touched, a target's `start` line before its work, its result line as it ends. After a failed write it
// writes nothing more, and its fault stops targets not yet started.
class RecordOutput : public RolloutOutput {
public:
    RecordOutput(std::unique_ptr<RecordFile> file, std::string version, std::string host)
        : file_(std::move(file)), version_(std::move(version)), host_(std::move(host)) {}
    void Consume(const RolloutEvent& event) override;
    Reason StopReason() const override { return Reason::Record; }

    // The lines (without a line end).
    static std::string RunLine(const RunStart& start, const std::string& version, const std::string& host,
                               const std::string& time);
    static std::string StartLine(const std::string& command, const TargetResult& result, const std::string& time);
    static std::string Line(const std::string& command, const TargetResult& result, const std::string& version,
                            const std::string& host);

private:
    void Append(const std::string& line);

    std::unique_ptr<RecordFile> file_;
    std::string version_, host_, command_;
};
