// How long a modem link may take no outgoing byte before it fails, and link factories that set it (for tests).
#pragma once

#include <memory>
#include <string>

#include "transport/Transport.h"

// A send that makes no progress for this long fails the link: a modem that stops reading must not
// hold an operation past its deadlines.
constexpr unsigned int kSendStallLimitMs = 10000;

// The limit as a message shows it: "10 seconds", "1 second", "250 ms".
inline std::string SendStallText(unsigned int limitMs) {
    if (limitMs % 1000 != 0) return std::to_string(limitMs) + " ms";
    return std::to_string(limitMs / 1000) + (limitMs == 1000 ? " second" : " seconds");
}

// The public factories use kSendStallLimitMs; these take another limit. baudRate 0 keeps the port's rate.
std::unique_ptr<ITransport> CreateTelnetTransportWithSendLimit(const std::string& host, unsigned short port,
                                                               unsigned int sendStallLimitMs,
                                                               const std::atomic<bool>* cancel = nullptr);
std::unique_ptr<ITransport> CreateSerialTransportWithSendLimit(const std::wstring& portName, unsigned int baudRate,
                                                               unsigned int sendStallLimitMs,
                                                               const std::atomic<bool>* cancel = nullptr);
