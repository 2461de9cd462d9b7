// An output written from a queue by its own thread; each queued event owns copies of what it names, since the
// run that told it may be gone before it is written.
#include "cli/AsyncOutput.h"

#include <chrono>
#include <map>
#include <system_error>

struct AsyncOutput::Owned {
    RolloutEvent event;
    RunStart start;
    std::vector<PlanEntry> plan;
    std::vector<TargetResult> results;
    TargetResult result;
    RunSummary summary;
    std::deque<ImageInfo> images;  // a deque: the pointers to its elements stay valid as it grows
    std::map<const ImageInfo*, const ImageInfo*> imageOf;

    // The copy of `image` this event owns.
    const ImageInfo* Own(const ImageInfo* image) {
        if (image == nullptr) return nullptr;
        const auto at = imageOf.find(image);
        if (at != imageOf.end()) return at->second;
        images.push_back(*image);
        return imageOf[image] = &images.back();
    }

    explicit Owned(const RolloutEvent& told) : event(told) {
        if (told.start != nullptr) {
            start.command = told.start->command;
            start.labels = told.start->labels;
            for (const ImageInfo* image : told.start->images) start.images.push_back(Own(image));
            event.start = &start;  // targets and request are the record's, not an output's
        }
        if (told.plan != nullptr) {
            plan = *told.plan;
            for (PlanEntry& entry : plan) entry.image = Own(entry.image);
            event.plan = &plan;
        }
        if (told.results != nullptr) {
            results = *told.results;
            for (TargetResult& each : results) each.image = Own(each.image);
            event.results = &results;
        }
        if (told.result != nullptr) {
            result = *told.result;
            result.image = Own(result.image);
            event.result = &result;
        }
        if (told.summary != nullptr) {
            summary = *told.summary;
            event.summary = &summary;
        }
    }
};

AsyncOutput::AsyncOutput(std::unique_ptr<RolloutOutput> inner) : inner_(std::move(inner)) {
    try {
        writer_ = std::thread([this] { Write(); });
    } catch (const std::system_error&) {
        // No thread to spare (a process limit): the output is written where it is told, as it always was.
    }
}

AsyncOutput::~AsyncOutput() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable()) writer_.join();
}

void AsyncOutput::Consume(const RolloutEvent& event) {
    if (!writer_.joinable()) {
        inner_->Consume(event);
        return;
    }
    auto owned = std::make_unique<Owned>(event);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(owned));
    }
    changed_.notify_all();
}

bool AsyncOutput::Flush(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto idle = [this] { return queue_.empty() && !busy_; };
    if (timeoutMs < 0) {
        changed_.wait(lock, idle);
        return true;
    }
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), idle);
}

void AsyncOutput::Write() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopped with everything written
        std::unique_ptr<Owned> next = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        inner_->Consume(next->event);
        next.reset();
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}
