// Starts the Windows socket library for the whole test run, as the application does at start-up.
#include <winsock2.h>

#include <cstdio>
#include <cstdlib>

namespace {

struct WinsockSession {
    WinsockSession() {
        WSADATA data;
        const int code = WSAStartup(MAKEWORD(2, 2), &data);
        if (code != 0) {
            std::fprintf(stderr, "WSAStartup failed: %d\n", code);
            std::exit(1);
        }
    }
    ~WinsockSession() { WSACleanup(); }
};

// Constructed before main, so before any test touches a socket.
const WinsockSession session;

}  // namespace
