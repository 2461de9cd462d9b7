// What the simulator's single poll loop needs from each of its parts (Telnet server, pty, discovery).
#pragma once

#include <chrono>
#include <poll.h>
#include <vector>

class PollParticipant {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~PollParticipant() = default;
    // Adds the descriptors to wait on and lowers `wake` to the next moment that needs attention.
    virtual void Prepare(Clock::time_point now, std::vector<pollfd>& fds, Clock::time_point& wake) = 0;
    // Called after poll with the same vector; handles whatever is ready and due.
    virtual void Handle(Clock::time_point now, const std::vector<pollfd>& fds) = 0;
    // After Prepare, instead of a poll: takes input that is most likely waiting already and handles it as
    // Handle would. False when it read nothing (the loop then polls as usual).
    virtual bool ReadWithoutPoll(Clock::time_point) { return false; }
};
