// Console control events of brisklode-cli on Windows: Ctrl-C interrupts (130); Ctrl-Break, closing the console,
// logoff and shutdown terminate (143). Each event wakes the main thread through an event object.
#include <windows.h>

#include <cstring>

#include "cli/Interrupt.h"

namespace {

std::atomic<int> g_stops{0};
std::atomic<int> g_strongest{0};
HANDLE g_wake = nullptr;

BOOL WINAPI OnControl(DWORD type) {
    StopRequest kind;
    switch (type) {
    case CTRL_C_EVENT: kind = StopRequest::Interrupt; break;
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: kind = StopRequest::Terminate; break;
    default: return FALSE;
    }
    int strongest = g_strongest.load();
    while (static_cast<int>(kind) > strongest && !g_strongest.compare_exchange_weak(strongest, static_cast<int>(kind))) {
    }
    g_stops.fetch_add(1);
    if (g_wake != nullptr) SetEvent(g_wake);
    // The system ends the process as soon as this handler returns from a close, logoff or shutdown event:
    // hold it here (the system allows a few seconds) while the main thread stops the operation and exits.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) Sleep(INFINITE);
    return TRUE;
}

}  // namespace

void InstallStopHandlers() {
    g_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnControl, TRUE);
}

int StopCount() { return g_stops.load(); }

StopRequest StrongestStop() { return static_cast<StopRequest>(g_strongest.load()); }

void WakeMain() {
    if (g_wake != nullptr) SetEvent(g_wake);
}

void WaitForWake(int timeoutMs) {
    if (g_wake == nullptr) {
        Sleep(50);
        return;
    }
    WaitForSingleObject(g_wake, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
}

// Console events arrive on a thread of their own, never on the worker.
std::thread StartShieldedThread(std::function<void()> body) { return std::thread(std::move(body)); }

void ExitNow(int code, const char* message) {
    DWORD written = 0;
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    WriteFile(err, message, static_cast<DWORD>(std::strlen(message)), &written, nullptr);
    WriteFile(err, "\r\n", 2, &written, nullptr);
    ExitProcess(static_cast<UINT>(code));
}
