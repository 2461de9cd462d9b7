// The record of a run (--record FILE): the lines a rerun, an audit or a resume reads.
#pragma once

#include <memory>
#include <string>

#include "rollout/Events.h"
#include "rollout/RecordFile.h"

class JsonObject;
// Who the modem is: serial_number, call_sign and model, null where unknown (the record's lines and the JSON
// lines name a modem alike).
void AddIdentity(JsonObject& object, const TargetResult& result);

// One JSON line per target appended and synced as it ends. After a failed write it writes nothing more.
class RecordOutput : public RolloutOutput {
public:
    RecordOutput(std::unique_ptr<RecordFile> file, std::string version, std::string host)
        : file_(std::move(file)), version_(std::move(version)), host_(std::move(host)) {}
    void Consume(const RolloutEvent& event) override;
    bool FaultStopsTargets() const override { return true; }
    // The record line of one result (without a line end).
    static std::string Line(const std::string& command, const TargetResult& result, const std::string& version,
                            const std::string& host);

private:
    std::unique_ptr<RecordFile> file_;
    std::string version_, host_, command_;
};
