// System error codes and texts on POSIX: errno translated into the Windows numbering, told in strerror's words.
#include <cerrno>
#include <cstring>

#include "transport/SystemError.h"
#include "transport/Transport.h"

namespace {

// The errno behind the code the last translation on this thread returned, until its text is made: several
// errno values share one code (ENXIO and ENOENT, EISDIR and EACCES), and the text should name the one that
// happened.
thread_local int t_lastErrno = 0;
thread_local unsigned long t_lastCode = 0;

unsigned long Translate(int e, bool socketCall) {
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

// For a code that did not come from the last translation on this thread (kept, or made by the core
// itself): the errno it most often stands for.
struct CodeErrno {
    unsigned long code;
    int errnoValue;
};

const CodeErrno kUsualErrno[] = {
    {0, 0}, {kErrorFileNotFound, ENOENT}, {3, ENOTDIR},  {4, EMFILE},   {kErrorAccessDenied, EACCES},
    {kErrorInvalidHandle, EBADF}, {8, ENOMEM},   {19, EROFS},   {kErrorSharingViolation, EBUSY},
    {80, EEXIST},                 {kErrorInvalidParameter, EINVAL}, {109, EPIPE}, {112, ENOSPC},
    {1117, EIO},                  {kWsaEintr, EINTR},     {kWsaEbadf, EBADF},     {kWsaEinval, EINVAL},
    {kWsaEwouldblock, EWOULDBLOCK}, {kWsaEinprogress, EALREADY}, {kWsaEnotsock, ENOTSOCK},
    {kWsaEafnosupport, EAFNOSUPPORT}, {kWsaEaddrinuse, EADDRINUSE}, {kWsaEaddrnotavail, EADDRNOTAVAIL},
    {kWsaEnetdown, ENETDOWN},     {kWsaEnetunreach, ENETUNREACH}, {kWsaEconnaborted, ECONNABORTED},
    {kWsaEconnreset, ECONNRESET}, {kWsaEnobufs, ENOBUFS}, {kWsaEnotconn, ENOTCONN}, {kWsaEshutdown, ESHUTDOWN},
    {kWsaEtimedout, ETIMEDOUT},   {kWsaEconnrefused, ECONNREFUSED}, {kWsaEhostunreach, EHOSTUNREACH},
};

std::string ErrnoText(int e) {
    char buffer[256];
    // GNU strerror_r may return a static string rather than fill the buffer.
    const char* text = strerror_r(e, buffer, sizeof buffer);
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

unsigned long TranslateErrno(int e, bool socketCall) {
    const unsigned long code = Translate(e, socketCall);
    t_lastErrno = e;
    t_lastCode = code;
    return code;
}

unsigned long LastSystemError() { return TranslateErrno(errno, false); }

unsigned long LastSocketError() { return TranslateErrno(errno, true); }

// The system's own words (strerror): the core's logic decides on the codes, the people read these.
std::string WindowsError(unsigned long code) {
    int e = -1;
    if (code == t_lastCode && t_lastErrno != 0) {
        e = t_lastErrno;
        t_lastErrno = 0;  // told once, where it happened: a later code of the same number may be another errno
    } else if (code > kErrnoBase && code < kErrnoBase + 0x10000) {
        e = static_cast<int>(code - kErrnoBase);
    } else {
        for (const CodeErrno& entry : kUsualErrno) {
            if (entry.code == code) e = entry.errnoValue;
        }
    }
    const std::string text = e >= 0 ? ErrnoText(e) : std::string();
    if (!text.empty()) return text;
    return "System error " + std::to_string(static_cast<unsigned int>(code));
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
