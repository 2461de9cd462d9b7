// Handing a run's events to its outputs, one event at a time.
#include "rollout/Events.h"

void RolloutEvents::Add(std::unique_ptr<RolloutOutput> output) {
    std::lock_guard<std::mutex> lock(mutex_);
    outputs_.push_back(std::move(output));
}

void RolloutEvents::Emit(const RolloutEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    for (const auto& output : outputs_) output->Consume(event);
    if (event.kind == RolloutEvent::Kind::Summary) closed_ = true;
}

std::vector<std::string> RolloutEvents::Faults() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> faults;
    for (const auto& output : outputs_) {
        if (!output->Fault().empty()) faults.push_back(output->Fault());
    }
    return faults;
}

bool RolloutEvents::StopsTargets() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& output : outputs_) {
        if (!output->Fault().empty() && output->FaultStopsTargets()) return true;
    }
    return false;
}
