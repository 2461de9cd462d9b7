// Waiting for a modem that restarts after its update to answer its identity again.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "console/Clock.h"
#include "console/Console.h"
#include "transport/Transport.h"

// The time a wait runs on: now, and a pause. Tests pass one whose time moves only when paused on.
class WaitClock {
public:
    virtual ~WaitClock() = default;
    virtual MonotonicClock::time_point Now() = 0;
    virtual void Sleep(MonotonicClock::duration span) = 0;
};

// The protocol clock (MonotonicNow) with real pauses.
WaitClock& SystemWaitClock();

// A new, closed link to the same modem; every attempt gets its own.
using LinkFactory = std::function<std::unique_ptr<ITransport>()>;

// A restarting modem is asked again (a new Telnet connection, or its serial port reopened) at most this often.
constexpr std::chrono::milliseconds kRestartAskEvery{500};
// An attempt whose connect, or whose first answer, takes longer finds a modem still down: a restarting modem
// ignores what reaches it, so it must be asked again. A modem that is up answers well within this.
constexpr std::chrono::milliseconds kRestartAnswerWait{1000};

// Asks the modem for its identity from kRestartAskEvery after the update on, at most every kRestartAskEvery,
// each attempt bounded by what is left of `seconds`, until it answers (`after` holds its identity) or the time
// is over. False with the message when it is over, or when `cancel` is set ("Reboot check cancelled").
bool WaitForRestart(const LinkFactory& makeLink, unsigned seconds, const std::atomic<bool>& cancel,
                    const ProgressCallback& progress, WaitClock& clock, ModemIdentity& after, std::string& error);
