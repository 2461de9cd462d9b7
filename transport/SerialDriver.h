// The calls a serial link makes to hand bytes to its port's driver, behind an interface a test can stand in for.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/Transport.h"

// A port as the platform knows it: a file descriptor, or a HANDLE on Windows.
using SerialPortHandle = std::intptr_t;

// One write call and the driver's output queue: the two calls whose use sets how much a cancel can find queued
// ahead of its ESC. A test wraps the system's own to watch the pieces a link writes.
class SerialDriver {
public:
    virtual ~SerialDriver() = default;
    // One write call: the count the driver took (0 when a call timed out with nothing taken), or -1 with the
    // system's error left where the platform keeps it (errno, GetLastError).
    virtual long Write(SerialPortHandle port, const unsigned char* data, std::size_t length) = 0;
    // Bytes the driver still holds for the wire; 0 where it cannot tell (pseudo-terminals pass bytes on at once).
    virtual std::size_t Queued(SerialPortHandle port) = 0;
};

// The system's calls, which every link uses unless it is made with another driver.
SerialDriver& SystemSerialDriver();

// A serial link whose writes go through `driver` (which must outlive the link). baudRate 0 keeps the port's rate.
std::unique_ptr<ITransport> CreateSerialTransportOver(SerialDriver& driver, const std::wstring& portName,
                                                      unsigned int baudRate, unsigned int sendStallLimitMs,
                                                      const std::atomic<bool>* cancel = nullptr);
