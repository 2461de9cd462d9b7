// The Telnet carrier: a loopback TCP server that feeds one console client at a time into the modem console.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simulator/Carrier.h"
#include "simulator/EventLog.h"
#include "simulator/ModemConsole.h"
#include "simulator/Options.h"

class TelnetCarrier : public PollParticipant {
public:
    TelnetCarrier(const SimOptions& options, EventLog& log, ModemConsole& console);
    ~TelnetCarrier() override;

    bool Listen(std::string& error);
    unsigned short Port() const { return port_; }

    void Prepare(Clock::time_point now, std::vector<pollfd>& fds, Clock::time_point& wake) override;
    void Handle(Clock::time_point now, const std::vector<pollfd>& fds) override;
    bool ReadWithoutPoll(Clock::time_point now) override;

private:
    void Accept(Clock::time_point now);
    // False when nothing was waiting (with `wait`: nothing came within the receive timeout); a closed or
    // failed connection counts as read. After a wait, `now` moves to the moment the data came.
    bool ReadClient(Clock::time_point& now, bool wait = false);
    void Pump(Clock::time_point now);  // takes due console output and writes what the socket accepts
    void DropClient(Clock::time_point now, const std::string& why);
    // Strips Telnet commands from received bytes (logging the client's answers); returns the data bytes.
    void Parse(const unsigned char* data, size_t length, std::vector<unsigned char>& out);
    bool ClientStillThere();
    // Appends a block of option requests (--hostile flood-options).
    void AppendFlood();

    const SimOptions& options_;
    EventLog& log_;
    ModemConsole& console_;
    int listenFd_ = -1;
    int clientFd_ = -1;
    unsigned short port_ = 0;
    size_t listenIndex_ = 0;
    size_t clientIndex_ = 0;
    bool clientPolled_ = false;
    // The last read found data: the next one waits in the receive instead of a poll.
    bool readFirst_ = false;
    std::string tx_;        // wire bytes not yet accepted by the socket
    size_t txDone_ = 0;
    bool hangupAfterTx_ = false;
    std::string scratch_;
    std::vector<unsigned char> rxBuffer_;
    std::vector<unsigned char> data_;
    int telnetState_ = 0;   // 0 data, 1 after IAC, 2 option, 3 in SB, 4 IAC in SB
    unsigned char telnetCommand_ = 0;
    std::vector<unsigned char> subnegotiation_;
    std::uint64_t floodRequests_ = 0;  // option requests sent by the flood on this connection
    unsigned char floodOption_ = 0;
};
