// The byte link to the modem (serial or Telnet), its factories, the port list and the shared text helpers.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// Why the last failing call of a link failed, for callers that must act on it: never decide on the message.
// Cancelled: the cancel flag the link was made with is set. TimedOut: a connect found no answer within its
// bound, or a send found no room within the stall limit. Closed: the peer or the device ended the link, or
// it was not open. System: any other error the system reported.
enum class LinkFailure { None, Cancelled, TimedOut, Closed, System };

// The longest connect bound a link takes (an hour); the default is kDefaultConnectTimeoutMs.
constexpr unsigned int kMaxConnectTimeoutMs = 3600000;
constexpr unsigned int kDefaultConnectTimeoutMs = 5000;

// One byte link to the modem's console. Implementations are hidden behind the factories below.
// Failures are values: a false/-1 result and one complete message assigned to `error`;
// on success `error` keeps whatever the caller had in it.
//
// A link made with a cancel flag ends every wait within 250 ms once the flag is set: a connect under way
// is given up, Read returns bytes already received or fails, Write hands over what the link takes at once
// (a one-byte ESC still goes out where the socket or port has room) or fails. Such failures report
// LinkFailure::Cancelled. The flag must outlive the link.
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
    // The kind of the last failure of Open, Read or Write; None after a success.
    virtual LinkFailure LastFailure() const = 0;
    // How long Open may wait for the peer, per address, from the next Open on: 0 restores the default,
    // values above kMaxConnectTimeoutMs are cut to it. Opening a serial port does not wait.
    virtual void SetConnectTimeout(unsigned int timeoutMs) = 0;
    // Bytes written that have not yet left for the modem (a socket's bytes the peer has not acknowledged, a
    // port's output queue), or -1 where the system cannot tell. A wait for the modem's answer to a large write
    // counts from when this reaches 0.
    virtual long long QueuedToSend() const { return -1; }
};

// `cancel` (may be null: never cancelled) ends the link's waits as described above.
std::unique_ptr<ITransport> CreateTelnetTransport(const std::string& host, unsigned short port,
                                                  const std::atomic<bool>* cancel = nullptr);
// baudRate 0 keeps the rate the port already has.
std::unique_ptr<ITransport> CreateSerialTransport(const std::wstring& portName,
                                                  const std::atomic<bool>* cancel = nullptr);
std::unique_ptr<ITransport> CreateSerialTransport(const std::wstring& portName, unsigned int baudRate,
                                                  const std::atomic<bool>* cancel = nullptr);

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
