// An output of brisklode-cli written by its own thread from a queue: a terminal, pipe or file that does not
// take its text holds only that thread, never the run, its workers or its close.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "rollout/Events.h"

class AsyncOutput : public RolloutOutput {
public:
    // Writes `inner`'s events on a thread of its own; where no thread can be started, in the caller's.
    explicit AsyncOutput(std::unique_ptr<RolloutOutput> inner);
    // Waits for the queue to be written: a run that ends normally shows all of its output.
    ~AsyncOutput() override;
    AsyncOutput(const AsyncOutput&) = delete;
    AsyncOutput& operator=(const AsyncOutput&) = delete;

    void Consume(const RolloutEvent& event) override;
    std::string Fault() const override { return inner_->Fault(); }
    Reason StopReason() const override { return inner_->StopReason(); }
    bool Flush(int timeoutMs) override;

private:
    struct Owned;  // an event with its own copies of what it points to
    void Write();

    std::unique_ptr<RolloutOutput> inner_;
    std::mutex mutex_;  // guards queue_, busy_ and stop_
    std::condition_variable changed_;
    std::deque<std::unique_ptr<Owned>> queue_;
    bool busy_ = false;  // the writer is writing an event taken from the queue
    bool stop_ = false;
    std::thread writer_;
};
