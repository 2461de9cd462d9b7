// A loopback TCP relay in front of one simulated modem, with the link faults the campaign draws.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

class Relay {
public:
    using Clock = std::chrono::steady_clock;
    struct Faults {
        int idleCutMs = 0;              // close a connection after this long without a byte either way
        int bytesPerSecond = 0;         // each direction of each connection, 0 unlimited
        unsigned short impostorPort = 0;  // where a connection goes while the modem refuses (its restart)
        bool holdWhenRefused = false;   // while the modem refuses, accept and say nothing
    };

    Relay() = default;
    ~Relay() { Stop(); }
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    bool Start(unsigned short modemPort, std::string& error);  // listens on 127.0.0.1, a free port
    void Stop();
    unsigned short Port() const { return port_; }
    void SetModemPort(unsigned short port) { modemPort_ = port; }
    void SetFaults(const Faults& faults);
    // When the modem last closed a connection that had carried at least `bytes` to it (an update that
    // ended in the restart); Clock::time_point() if none did.
    Clock::time_point ModemClosedAfter(size_t bytes) const;
    // When the tool first sent a connection more than `bytes` (1: any request; 512: an image under way).
    Clock::time_point Began(size_t bytes) const;
    void Forget();  // both moments, before a run

private:
    void Loop();
    Faults CurrentFaults();

    std::atomic<unsigned short> modemPort_{0};
    unsigned short port_ = 0;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    Faults faults_;
    Clock::time_point closedAt_{};
    Clock::time_point requested_{}, imageBegan_{};
    size_t closedBytes_ = 0;
};
