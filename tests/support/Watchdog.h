// Ends a hang in a test: runs an action (closing the far end, stopping the simulator) if the test is still
// running after a generous time, so that a fault shows as a failed test rather than a suite that never ends.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class Watchdog {
public:
    Watchdog(unsigned int afterMs, std::function<void()> action)
        : thread_([this, afterMs, action = std::move(action)] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_.wait_for(lock, std::chrono::milliseconds(afterMs), [this] { return finished_; })) {
                  fired_ = true;
                  action();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    bool Fired() const { return fired_; }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_;  // last: starts once the members above exist
};
