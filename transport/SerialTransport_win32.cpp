// The serial link on Windows: an exclusively opened COM port in binary 8N1 mode with per-read driver timeouts.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>

#include "transport/Transport.h"

namespace {

// Each ReadFile/WriteFile moves at most this much.
constexpr DWORD kMaxChunk = 65536;
constexpr DWORD kQueueSize = 131072;

class SerialTransport final : public ITransport {
public:
    SerialTransport(const std::wstring& portName, unsigned int baudRate) : portName_(portName), baudRate_(baudRate) {}
    ~SerialTransport() override { Close(); }

    bool Open(std::string& error) override {
        Close();
        const std::string name = WideToUtf8(portName_);
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
        SetupComm(handle, kQueueSize, kQueueSize);
        PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        // Another program may have left write timeouts on the port; without this a Write before the
        // first Read could stop part-way with nothing but a stale error code to report.
        COMMTIMEOUTS timeouts = ReadTimeouts(0);
        SetCommTimeouts(handle, &timeouts);
        handle_ = handle;
        return true;
    }

    void Close() override {
        if (handle_ == INVALID_HANDLE_VALUE) return;
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

    bool Write(const unsigned char* data, size_t length, std::string& error) override {
        if (handle_ == INVALID_HANDLE_VALUE) {
            error = "COM port is not connected";
            return false;
        }
        size_t done = 0;
        while (done < length) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length - done, kMaxChunk));
            DWORD written = 0;
            if (!WriteFile(handle_, data + done, chunk, &written, nullptr)) {
                error = "COM write failed: " + WindowsError(GetLastError());
                return false;
            }
            if (written == 0) {
                // Success without progress sets no error code; name the cause the driver implies.
                error = "COM write failed: " + WindowsError(ERROR_WRITE_FAULT);
                return false;
            }
            done += written;
        }
        return true;
    }

    int Read(unsigned char* buffer, size_t capacity, unsigned int timeoutMs, std::string& error) override {
        if (handle_ == INVALID_HANDLE_VALUE) {
            error = "COM port is not connected";
            return -1;
        }
        COMMTIMEOUTS timeouts = ReadTimeouts(timeoutMs);
        if (!SetCommTimeouts(handle_, &timeouts)) {
            error = "Cannot set COM timeout: " + WindowsError(GetLastError());
            return -1;
        }
        const DWORD want = static_cast<DWORD>(std::min<size_t>(capacity, kMaxChunk));
        DWORD got = 0;
        if (!ReadFile(handle_, buffer, want, &got, nullptr)) {
            error = "COM read failed: " + WindowsError(GetLastError());
            return -1;
        }
        return static_cast<int>(got);
    }

    std::string Description() const override { return WideToUtf8(portName_); }

private:
    // Return at once with what is waiting, else at the first byte, else after timeoutMs; writes never time out.
    static COMMTIMEOUTS ReadTimeouts(unsigned int timeoutMs) {
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = timeoutMs > 0 ? MAXDWORD : 0;
        // MAXDWORD in all three read fields is not a defined combination; one millisecond less is.
        timeouts.ReadTotalTimeoutConstant = std::min<DWORD>(timeoutMs, MAXDWORD - 1);
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = 0;
        return timeouts;
    }

    std::wstring portName_;
    unsigned int baudRate_ = 0;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<ITransport> CreateSerialTransport(const std::wstring& portName) {
    return std::make_unique<SerialTransport>(portName, 0u);
}

std::unique_ptr<ITransport> CreateSerialTransport(const std::wstring& portName, unsigned int baudRate) {
    return std::make_unique<SerialTransport>(portName, baudRate);
}
