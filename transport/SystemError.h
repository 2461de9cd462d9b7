// System error codes in one numbering: Win32/Winsock codes, which the core's logic decides on.
#pragma once

// The codes the core's own logic tests for.
enum : unsigned long {
    kErrorFileNotFound = 2,        // ERROR_FILE_NOT_FOUND
    kErrorAccessDenied = 5,        // ERROR_ACCESS_DENIED
    kErrorInvalidHandle = 6,       // ERROR_INVALID_HANDLE
    kErrorSharingViolation = 32,   // ERROR_SHARING_VIOLATION
    kErrorInvalidParameter = 87,   // ERROR_INVALID_PARAMETER
    kWsaEintr = 10004,
    kWsaEbadf = 10009,
    kWsaEinval = 10022,
    kWsaEwouldblock = 10035,
    kWsaEinprogress = 10036,
    kWsaEnotsock = 10038,
    kWsaEafnosupport = 10047,
    kWsaEaddrinuse = 10048,
    kWsaEaddrnotavail = 10049,
    kWsaEnetdown = 10050,
    kWsaEnetunreach = 10051,
    kWsaEconnaborted = 10053,
    kWsaEconnreset = 10054,
    kWsaEnobufs = 10055,
    kWsaEnotconn = 10057,
    kWsaEshutdown = 10058,
    kWsaEtimedout = 10060,
    kWsaEconnrefused = 10061,
    kWsaEhostunreach = 10065,
};

// The last error of a failed system call on this thread (GetLastError, or errno translated).
unsigned long LastSystemError();
// The last error of a failed socket call on this thread (WSAGetLastError, or errno translated).
unsigned long LastSocketError();

// POSIX: errno translated into the Win32/Winsock numbering; an errno without a Windows
// counterpart becomes kErrnoBase + errno. WindowsError renders every code with strerror, naming the errno
// of this thread's last translation where it gave that code.
// Windows: not used.
constexpr unsigned long kErrnoBase = 0x20000000ul;
unsigned long TranslateErrno(int errnoValue, bool socketCall);
