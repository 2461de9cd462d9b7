// System error codes and texts on POSIX: errno translated into the Windows numbering, with texts of our own.
#include <cerrno>
#include <cstring>

#include "transport/SystemError.h"
#include "transport/Transport.h"

unsigned long TranslateErrno(int e, bool socketCall) {
    switch (e) {
    case 0: return 0;
    case EINTR: return kWsaEintr;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return kWsaEwouldblock;
    case EINPROGRESS: return kWsaEwouldblock;  // a non-blocking connect under way, as Winsock reports it
    case EALREADY: return kWsaEinprogress;
    case ENOTSOCK: return kWsaEnotsock;
    case EAFNOSUPPORT: return kWsaEafnosupport;
    case EADDRINUSE: return kWsaEaddrinuse;
    case EADDRNOTAVAIL: return kWsaEaddrnotavail;
    case ENETDOWN: return kWsaEnetdown;
    case ENETUNREACH: return kWsaEnetunreach;
    case ECONNABORTED: return kWsaEconnaborted;
    case ECONNRESET: return kWsaEconnreset;
    case EPIPE: return socketCall ? static_cast<unsigned long>(kWsaEconnreset) : 109ul;  // ERROR_BROKEN_PIPE
    case ENOBUFS: return kWsaEnobufs;
    case ENOTCONN: return kWsaEnotconn;
    case ESHUTDOWN: return kWsaEshutdown;
    case ETIMEDOUT: return kWsaEtimedout;
    case ECONNREFUSED: return kWsaEconnrefused;
    case EHOSTUNREACH: return kWsaEhostunreach;
    case EHOSTDOWN: return kWsaEhostunreach;
    case EBADF: return socketCall ? static_cast<unsigned long>(kWsaEbadf) : kErrorInvalidHandle;
    case EINVAL: return socketCall ? static_cast<unsigned long>(kWsaEinval) : kErrorInvalidParameter;
    case ENOENT: return kErrorFileNotFound;
    case ENXIO: return kErrorFileNotFound;   // a device node without a device behind it
    case ENODEV: return kErrorFileNotFound;
    case EACCES: return kErrorAccessDenied;
    case EPERM: return kErrorAccessDenied;
    case EBUSY: return kErrorAccessDenied;   // Windows answers a port held by another program this way
    case ENOSPC: return 112;                  // ERROR_DISK_FULL
    case EIO: return 1117;                    // ERROR_IO_DEVICE
    case ENOMEM: return 8;                    // ERROR_NOT_ENOUGH_MEMORY
    case EMFILE: return 4;                    // ERROR_TOO_MANY_OPEN_FILES
    case EROFS: return 19;                    // ERROR_WRITE_PROTECT
    case ENOTDIR: return 3;                   // ERROR_PATH_NOT_FOUND
    case EISDIR: return kErrorAccessDenied;
    case EEXIST: return 80;                   // ERROR_FILE_EXISTS
    default: break;
    }
    return kErrnoBase + static_cast<unsigned long>(e);
}

unsigned long LastSystemError() { return TranslateErrno(errno, false); }

unsigned long LastSocketError() { return TranslateErrno(errno, true); }

namespace {

struct CodeText {
    unsigned long code;
    const char* text;
};

// The wording follows the Windows message table, so that messages read the same on both builds.
const CodeText kTexts[] = {
    {0, "The operation completed successfully."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {19, "The media is write protected."},
    {32, "The process cannot access the file because it is being used by another process."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {1117, "The request could not be performed because of an I/O device error."},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {10009, "The file handle supplied is not valid."},
    {10022, "An invalid argument was supplied."},
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10036, "A blocking operation is currently executing."},
    {10038, "An operation was attempted on something that is not a socket."},
    {10047, "An address incompatible with the requested protocol was used."},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {10049, "The requested address is not valid in its context."},
    {10050, "A socket operation encountered a dead network."},
    {10051, "A socket operation was attempted to an unreachable network."},
    {10053, "An established connection was aborted by the software in your host machine."},
    {10054, "An existing connection was forcibly closed by the remote host."},
    {10055, "An operation on a socket could not be performed because the system lacked sufficient buffer space "
            "or because a queue was full."},
    {10057, "A request to send or receive data was disallowed because the socket is not connected and (when "
            "sending on a datagram socket using a sendto call) no address was supplied."},
    {10058, "A request to send or receive data was disallowed because the socket had already been shut down "
            "in that direction with a previous shutdown call."},
    {10060, "A connection attempt failed because the connected party did not properly respond after a period "
            "of time, or established connection failed because connected host has failed to respond."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {10065, "A socket operation was attempted to an unreachable host."},
};

}  // namespace

std::string WindowsError(unsigned long code) {
    for (const CodeText& entry : kTexts) {
        if (entry.code == code) return entry.text;
    }
    if (code > kErrnoBase && code < kErrnoBase + 0x10000) {
        char buffer[256];
        const int e = static_cast<int>(code - kErrnoBase);
        // GNU strerror_r may return a static string rather than fill the buffer.
        const char* text = strerror_r(e, buffer, sizeof buffer);
        if (text != nullptr && text[0] != '\0') return text;
    }
    return "Windows error " + std::to_string(static_cast<unsigned int>(code));
}

namespace {

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

// wchar_t holds whole code points here; malformed UTF-8 becomes U+FFFD, one per bad byte.
std::wstring Utf8ToWide(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char b = s[i];
        if (b < 0x80) {
            out += static_cast<wchar_t>(b);
            ++i;
            continue;
        }
        size_t extra = 0;
        char32_t c = 0;
        char32_t minimum = 0;
        if ((b & 0xE0) == 0xC0) { extra = 1; c = b & 0x1F; minimum = 0x80; }
        else if ((b & 0xF0) == 0xE0) { extra = 2; c = b & 0x0F; minimum = 0x800; }
        else if ((b & 0xF8) == 0xF0) { extra = 3; c = b & 0x07; minimum = 0x10000; }
        else { out += static_cast<wchar_t>(0xFFFD); ++i; continue; }
        bool ok = i + extra < n;
        if (ok) {
            for (size_t k = 1; k <= extra; ++k) {
                if ((s[i + k] & 0xC0) != 0x80) { ok = false; break; }
                c = (c << 6) | (s[i + k] & 0x3F);
            }
        }
        if (!ok || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += static_cast<wchar_t>(0xFFFD);
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(c);
        i += extra + 1;
    }
    return out;
}

std::string WideToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        // Surrogate pairs may still arrive from UTF-16 sources; join them, replace lone halves.
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            const char32_t low = static_cast<char32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
        AppendUtf8(out, c);
    }
    return out;
}
