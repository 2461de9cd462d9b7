// Interrupts the thread that creates it with a harmless signal every few milliseconds, so that its system
// waits keep returning early (EINTR) and a wait that started afresh each time would never end.
#pragma once

#include <atomic>
#include <thread>

// Whether this platform delivers such interruptions (POSIX); elsewhere the interrupter does nothing.
bool ThreadInterruptsAvailable();

class ThreadInterrupter {
public:
    explicit ThreadInterrupter(unsigned int periodMs = 20);
    ~ThreadInterrupter();
    ThreadInterrupter(const ThreadInterrupter&) = delete;
    ThreadInterrupter& operator=(const ThreadInterrupter&) = delete;

    // Signals handled so far, by any interrupter.
    static unsigned long Delivered();

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
