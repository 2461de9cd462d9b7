// The modem's discovery responder: answers "QDSC" probes with the 32-byte reply, never sends on its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simulator/Carrier.h"
#include "simulator/EventLog.h"
#include "simulator/Options.h"

// The reply datagram for these options (31 bytes with --reply-short).
std::vector<unsigned char> BuildDiscoveryReply(const SimOptions& options, unsigned short consolePort);

class DiscoveryResponder : public PollParticipant {
public:
    DiscoveryResponder(const SimOptions& options, EventLog& log);
    ~DiscoveryResponder() override;

    // consolePort: the Telnet port announced unless --announce-port says otherwise.
    bool Start(unsigned short consolePort, std::string& error);
    unsigned short Port() const { return port_; }

    void Prepare(Clock::time_point now, std::vector<pollfd>& fds, Clock::time_point& wake) override;
    void Handle(Clock::time_point now, const std::vector<pollfd>& fds) override;

private:
    const SimOptions& options_;
    EventLog& log_;
    int fd_ = -1;
    unsigned short port_ = 0;
    size_t index_ = 0;
    std::uint64_t probes_ = 0;
    std::vector<unsigned char> reply_;
};
