// The serial link on Windows: an exclusively opened COM port in binary 8N1 mode with per-read driver timeouts.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "transport/LinkCancel.h"
#include "transport/SendLimit.h"
#include "transport/SerialDriver.h"
#include "transport/SerialPacing.h"
#include "transport/Transport.h"

namespace {

// Each ReadFile/WriteFile moves at most this much.
constexpr DWORD kMaxChunk = 65536;
constexpr DWORD kQueueSize = 131072;

HANDLE Port(SerialPortHandle port) { return reinterpret_cast<HANDLE>(port); }

class SystemDriver final : public SerialDriver {
public:
    long Write(SerialPortHandle port, const unsigned char* data, std::size_t length) override {
        DWORD written = 0;
        if (WriteFile(Port(port), data, static_cast<DWORD>(length), &written, nullptr)) return static_cast<long>(written);
        const DWORD code = GetLastError();
        // Some drivers report their write timeout as a failure rather than as a short count.
        if (code == ERROR_SEM_TIMEOUT || code == ERROR_TIMEOUT) return static_cast<long>(written);
        SetLastError(code);
        return -1;
    }
    std::size_t Queued(SerialPortHandle port) override {
        DWORD errors = 0;
        COMSTAT status{};
        return ClearCommError(Port(port), &errors, &status) ? status.cbOutQue : 0;
    }
};

class SerialTransport final : public ITransport {
public:
    SerialTransport(SerialDriver& driver, const std::wstring& portName, unsigned int baudRate,
                    unsigned int sendStallLimitMs, const std::atomic<bool>* cancel)
        : driver_(driver), portName_(portName), baudRate_(baudRate), sendStallLimitMs_(sendStallLimitMs),
          cancel_(cancel) {}
    ~SerialTransport() override { Close(); }

    LinkFailure LastFailure() const override { return lastFailure_; }
    // Opening a port never waits for a peer.
    void SetConnectTimeout(unsigned int) override {}
    long long QueuedToSend() const override {
        return handle_ == INVALID_HANDLE_VALUE ? -1 : static_cast<long long>(driver_.Queued(PortHandle()));
    }

    bool Open(std::string& error) override {
        Close();
        lastFailure_ = LinkFailure::System;
        const std::string name = WideToUtf8(portName_);
        if (IsCancelled(cancel_)) return Fail(LinkFailure::Cancelled, error, kLinkCancelledText);
        const std::wstring path = L"\\\\.\\" + portName_;
        HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            error = "Cannot open " + name + ": " + WindowsError(GetLastError());
            return false;
        }
        DCB dcb;
        ZeroMemory(&dcb, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handle, &dcb)) {
            const DWORD code = GetLastError();
            CloseHandle(handle);
            error = "Cannot read " + name + " settings: " + WindowsError(code);
            return false;
        }
        if (baudRate_ != 0) dcb.BaudRate = baudRate_;
        dcb.fBinary = 1;
        dcb.fParity = 0;
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fDsrSensitivity = 0;
        dcb.fTXContinueOnXoff = 1;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fErrorChar = 0;
        dcb.fNull = 0;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fAbortOnError = 0;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        if (!SetCommState(handle, &dcb)) {
            const DWORD code = GetLastError();
            CloseHandle(handle);
            error = "Cannot configure " + name + " for binary communication: " + WindowsError(code);
            return false;
        }
        // Write calls sized to the rate in effect: each one fits its driver timeout, so a port that keeps up
        // never ends a call by timeout and no partial count has to be trusted for correctness.
        piece_ = SerialWritePiece(dcb.BaudRate, kMaxChunk);
        rate_ = dcb.BaudRate;
        writeTimeoutMs_ = SerialWriteTimeoutMs(piece_, dcb.BaudRate, sendStallLimitMs_);
        SetupComm(handle, kQueueSize, kQueueSize);
        PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        // Our write timeout from the start: another program may have left other ones on the port.
        COMMTIMEOUTS timeouts = Timeouts(0);
        SetCommTimeouts(handle, &timeouts);
        readTimeoutMs_ = 0;
        handle_ = handle;
        lastFailure_ = LinkFailure::None;
        return true;
    }

    void Close() override {
        if (handle_ == INVALID_HANDLE_VALUE) return;
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

    bool Write(const unsigned char* data, size_t length, std::string& error) override {
        lastFailure_ = LinkFailure::None;
        if (handle_ == INVALID_HANDLE_VALUE) return Fail(LinkFailure::Closed, error, "COM port is not connected");
        // Pieces of about a tenth of a second on the wire, each handed over only once the driver holds less than
        // a piece, and the flag read after every one: a cancel then never finds more than that ahead of an ESC.
        // Each call waits at most the driver's write timeout (its piece's time plus slack); the stall limit runs
        // from the end of the last call that moved any byte.
        using Clock = std::chrono::steady_clock;
        const Clock::duration limit = std::chrono::milliseconds(sendStallLimitMs_);
        Clock::time_point lastProgress = Clock::now();
        size_t done = 0;
        while (done < length) {
            long written = 0;
            const Clock::time_point callStart = Clock::now();
            if (driver_.Queued(PortHandle()) < piece_) {
                const size_t chunk = std::min<size_t>(length - done, piece_);
                written = driver_.Write(PortHandle(), data + done, chunk);
                if (written < 0) return Fail(LinkFailure::System, error, "COM write failed: " + WindowsError(GetLastError()));
            }
            const Clock::time_point now = Clock::now();
            if (written > 0) {
                done += static_cast<size_t>(written);
                lastProgress = now;
                if (done < length && IsCancelled(cancel_)) return Fail(LinkFailure::Cancelled, error, kLinkCancelledText);
                continue;
            }
            // Nothing taken: a full queue, flow control, or a port that never lets bytes out.
            if (now - lastProgress >= limit) return Fail(LinkFailure::TimedOut, error, StallText());
            if (IsCancelled(cancel_)) return Fail(LinkFailure::Cancelled, error, kLinkCancelledText);
            // Neither a full queue nor a driver that gives up at once may turn this into a busy loop.
            const DWORD pause = std::min<DWORD>(kCancelSliceMs, std::max<DWORD>(10, SerialPieceMs(piece_, rate_)));
            if (now - callStart < std::chrono::milliseconds(pause)) Sleep(pause);
        }
        return true;
    }

    int Read(unsigned char* buffer, size_t capacity, unsigned int timeoutMs, std::string& error) override {
        lastFailure_ = LinkFailure::None;
        if (handle_ == INVALID_HANDLE_VALUE) return Fail(LinkFailure::Closed, error, "COM port is not connected"), -1;
        // With a cancel flag the wait is made in slices; once it is set, only what has arrived is handed out.
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        const DWORD want = static_cast<DWORD>(std::min<size_t>(capacity, kMaxChunk));
        for (;;) {
            const bool cancelled = IsCancelled(cancel_);
            const Clock::time_point now = Clock::now();
            const unsigned int left =
                cancelled || now >= deadline
                    ? 0u
                    : static_cast<unsigned int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
            const unsigned int wait = CancelSlice(left, cancel_);
            // The driver keeps its timeouts: set them only when this wait differs from the last one.
            if (wait != readTimeoutMs_) {
                COMMTIMEOUTS timeouts = Timeouts(wait);
                if (!SetCommTimeouts(handle_, &timeouts)) {
                    return Fail(LinkFailure::System, error, "Cannot set COM timeout: " + WindowsError(GetLastError())), -1;
                }
                readTimeoutMs_ = wait;
            }
            DWORD got = 0;
            if (!ReadFile(handle_, buffer, want, &got, nullptr)) {
                return Fail(LinkFailure::System, error, "COM read failed: " + WindowsError(GetLastError())), -1;
            }
            if (got > 0) return static_cast<int>(got);
            if (cancelled) return Fail(LinkFailure::Cancelled, error, kLinkCancelledText), -1;
            if (left == 0 || Clock::now() >= deadline) return 0;
        }
    }

    std::string Description() const override { return WideToUtf8(portName_); }

private:
    bool Fail(LinkFailure kind, std::string& error, std::string text) {
        lastFailure_ = kind;
        error = std::move(text);
        return false;
    }

    std::string StallText() const {
        return "COM write failed: the port took no data for " + SendStallText(sendStallLimitMs_);
    }

    // Reads return at once with what is waiting, else at the first byte, else after timeoutMs. A write
    // call ends with what the driver took once its piece's time on the wire plus slack has passed.
    COMMTIMEOUTS Timeouts(unsigned int timeoutMs) const {
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = timeoutMs > 0 ? MAXDWORD : 0;
        // MAXDWORD in all three read fields is not a defined combination; one millisecond less is.
        timeouts.ReadTotalTimeoutConstant = std::min<DWORD>(timeoutMs, MAXDWORD - 1);
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = writeTimeoutMs_;
        return timeouts;
    }

    SerialPortHandle PortHandle() const { return reinterpret_cast<SerialPortHandle>(handle_); }

    SerialDriver& driver_;
    std::wstring portName_;
    unsigned int baudRate_ = 0;
    unsigned int sendStallLimitMs_;
    const std::atomic<bool>* cancel_;
    LinkFailure lastFailure_ = LinkFailure::None;
    // The read timeout the driver holds now.
    unsigned int readTimeoutMs_ = 0;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    size_t piece_ = kMaxChunk;
    unsigned int rate_ = 0;
    DWORD writeTimeoutMs_ = 0;
};

}  // namespace

SerialDriver& SystemSerialDriver() {
    static SystemDriver driver;
    return driver;
}

std::unique_ptr<ITransport> CreateSerialTransportOver(SerialDriver& driver, const std::wstring& portName,
                                                      unsigned int baudRate, unsigned int sendStallLimitMs,
                                                      const std::atomic<bool>* cancel) {
    return std::make_unique<SerialTransport>(driver, portName, baudRate, sendStallLimitMs, cancel);
}
