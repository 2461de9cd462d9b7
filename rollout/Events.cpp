// Handing a run's events to its outputs, one event at a time.
#include "rollout/Events.h"

#include <algorithm>
#include <chrono>

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

Reason RolloutEvents::StopReason() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& output : outputs_) {
        if (output->StopReason() != Reason::None && !output->Fault().empty()) return output->StopReason();
    }
    return Reason::None;
}

bool RolloutEvents::Flush(int timeoutMs) {
    std::vector<RolloutOutput*> outputs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& output : outputs_) outputs.push_back(output.get());
    }
    // Not under mutex_: an output that waits on a reader that stalls holds nobody else.
    // One deadline for all of them: outputs that stall together hold the caller once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool all = true;
    for (RolloutOutput* output : outputs) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        all = output->Flush(timeoutMs < 0 ? -1 : std::max<int>(0, static_cast<int>(left.count()))) && all;
    }
    return all;
}
