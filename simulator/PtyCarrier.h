// The serial carrier: the console on a pseudo-terminal pair, optionally paced like a real line.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "simulator/Carrier.h"
#include "simulator/EventLog.h"
#include "simulator/ModemConsole.h"
#include "simulator/Options.h"

class PtyCarrier : public PollParticipant {
public:
    PtyCarrier(const SimOptions& options, EventLog& log, ModemConsole& console);
    ~PtyCarrier() override;

    bool Open(std::string& error);
    const std::string& Device() const { return device_; }

    void Prepare(Clock::time_point now, std::vector<pollfd>& fds, Clock::time_point& wake) override;
    void Handle(Clock::time_point now, const std::vector<pollfd>& fds) override;

private:
    struct Arrival {
        std::vector<unsigned char> bytes;
        Clock::time_point due;  // when the last of them would have crossed the line
    };

    void SetAttached(bool attached, Clock::time_point now);
    void ReadMaster(Clock::time_point now);
    void LogLineRate();
    void Deliver(Clock::time_point now);
    void Pump(Clock::time_point now);
    Clock::duration LineTime(size_t bytes) const;
    // Moves a line-free time up to now unless it lags only a little (then the debt is kept, so that
    // wake-up jitter does not add up over a long transfer).
    Clock::time_point LineStart(Clock::time_point freeAt, Clock::time_point now) const;

    const SimOptions& options_;
    EventLog& log_;
    ModemConsole& console_;
    int master_ = -1;
    std::string device_;
    bool attached_ = false;
    unsigned long loggedRate_ = 0;  // the line rate last seen set on the terminal, 0 before any
    bool polled_ = false;
    bool skipNextPoll_ = false;
    size_t index_ = 0;
    std::string tx_;
    size_t txDone_ = 0;
    bool silentAfterHangup_ = false;
    Clock::time_point txFree_;
    Clock::time_point rxFree_;
    std::deque<Arrival> arrivals_;
    std::vector<unsigned char> buffer_;
};
