// The serial link's public factories: the system's own serial driver under the platform's SerialTransport.
#include "transport/SendLimit.h"
#include "transport/SerialDriver.h"
#include "transport/Transport.h"

std::unique_ptr<ITransport> CreateSerialTransport(const std::wstring& portName, const std::atomic<bool>* cancel) {
    return CreateSerialTransportOver(SystemSerialDriver(), portName, 0u, kSendStallLimitMs, cancel);
}

std::unique_ptr<ITransport> CreateSerialTransport(const std::wstring& portName, unsigned int baudRate,
                                                  const std::atomic<bool>* cancel) {
    return CreateSerialTransportOver(SystemSerialDriver(), portName, baudRate, kSendStallLimitMs, cancel);
}

std::unique_ptr<ITransport> CreateSerialTransportWithSendLimit(const std::wstring& portName, unsigned int baudRate,
                                                               unsigned int sendStallLimitMs,
                                                               const std::atomic<bool>* cancel) {
    return CreateSerialTransportOver(SystemSerialDriver(), portName, baudRate, sendStallLimitMs, cancel);
}
