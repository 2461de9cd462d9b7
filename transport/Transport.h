// The byte link to the modem (serial or Telnet), its factories, the port list and the shared text helpers.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// One byte link to the modem's console. Implementations are hidden behind the factories below.
// Failures are values: a false/-1 result and one complete message assigned to `error`;
// on success `error` keeps whatever the caller had in it.
class ITransport {
public:
    virtual ~ITransport() = default;

    // Drops whatever link the object holds, then connects. Sends nothing to the modem.
    virtual bool Open(std::string& error) = 0;
    // Harmless when closed; afterwards Read/Write fail with the not-connected message.
    virtual void Close() = 0;
    // All `length` bytes or failure; a partial write is never reported as success.
    virtual bool Write(const unsigned char* data, size_t length, std::string& error) = 0;
    // Waits at most timeoutMs for the first byte and returns as soon as any are available.
    // >0 bytes stored, 0 nothing within the timeout (not an error), -1 failure.
    virtual int Read(unsigned char* buffer, size_t capacity, unsigned int timeoutMs, std::string& error) = 0;
    // "host:port" or the port name, for messages; valid whether or not the link is open.
    virtual std::string Description() const = 0;
};

std::unique_ptr<ITransport> CreateTelnetTransport(const std::string& host, unsigned short port);
// baudRate 0 keeps the rate the port already has.
std::unique_ptr<ITransport> CreateSerialTransport(const std::wstring& portName);
std::unique_ptr<ITransport> CreateSerialTransport(const std::wstring& portName, unsigned int baudRate);

struct SerialPortInfo {
    std::wstring portName;     // what CreateSerialTransport opens (COM3, /dev/ttyUSB0)
    std::wstring displayName;  // what the user is shown
};

// Never fails: sources that cannot be read are skipped. Sorted textually by portName.
std::vector<SerialPortInfo> EnumerateSerialPorts();

// The system's own text for an error code (other platforms translate their codes into the Windows
// numbering first and tell them in their own words, see SystemError.h). Never empty: unknown codes give
// "Windows error N" on Windows, "System error N" elsewhere.
std::string WindowsError(unsigned long code);

// UTF-8 <-> wide text. Never fail; malformed input becomes U+FFFD.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
