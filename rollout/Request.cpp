// What a rollout is asked to do: the answers its request gives about itself.
#include "rollout/Request.h"

const std::string& RolloutRequest::ExpectedFirmware(const std::string& type) const {
    for (const auto& [given, version] : expectFirmwareByType) {
        if (given == type) return version;
    }
    return expectFirmware;
}

bool RolloutRequest::LogToFolder() const {
    return command == "log" &&
           (targets.size() > 1 || !targetsFile.empty() || discovered || logPathIsFolder || !resumePath.empty());
}
