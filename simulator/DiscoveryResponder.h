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
    void Serve(int fd);

    const SimOptions& options_;
    EventLog& log_;
    int fd_ = -1;
    int unicastFd_ = -1;  // bound to the modem's own address: unicast probes are delivered to it first
    unsigned short port_ = 0;
    size_t index_ = 0;
    size_t unicastIndex_ = 0;
    std::uint64_t probes_ = 0;
    std::vector<unsigned char> reply_;
    std::uint32_t own_ = 0;        // the modem's address (network order); 0: any
    std::uint32_t broadcast_ = 0;  // its subnet's broadcast address, when an interface has it
};
