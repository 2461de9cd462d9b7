// The wait for a restarted modem on a fake clock: how often it is asked, and that no attempt outlasts the wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "support/ScriptedTransport.h"
#include "update/Restart.h"

using namespace std::chrono_literals;

namespace {

class FakeWaitClock : public WaitClock {
public:
    explicit FakeWaitClock(FakeClock& clock) : clock_(clock) {}
    MonotonicClock::time_point Now() override { return clock_.Now(); }
    void Sleep(MonotonicClock::duration span) override { clock_.Advance(span); }

private:
    FakeClock& clock_;
};

// A modem that is down until `backAt`. Telnet: nothing accepts a connection meanwhile. Serial: the port opens,
// and the modem ignores whatever reaches it while it restarts.
class RestartingModem {
public:
    RestartingModem(FakeClock& clock, std::chrono::milliseconds backAt, bool serial)
        : clock_(clock), backAt_(backAt), serial_(serial) {}

    LinkFactory Factory() {
        return [this]() -> std::unique_ptr<ITransport> {
            attempts_.push_back(clock_.Elapsed());
            auto link = std::make_unique<ScriptedTransport>(&clock_, serial_ ? "/dev/ttyS0" : "198.18.0.9:3000");
            if (!serial_ && clock_.Elapsed() < backAt_) link->RefuseOpen("Cannot connect to 198.18.0.9:3000: refused");
            ScriptedTransport* raw = link.get();
            raw->OnWrite([this, raw](const unsigned char* data, std::size_t length) {
                if (clock_.Elapsed() < backAt_) return;
                const std::string text(reinterpret_cast<const char*>(data), length);
                if (text == "QUIT\r") raw->Deliver("QUIT\r\ncmd: ");
                if (text == "V ###\r") raw->Deliver("V ###\r\n#0:U#1:7.3\r\n");
            });
            return link;
        };
    }
    const std::vector<std::chrono::milliseconds>& Attempts() const { return attempts_; }

private:
    FakeClock& clock_;
    std::chrono::milliseconds backAt_;
    bool serial_;
    std::vector<std::chrono::milliseconds> attempts_;
};

}  // namespace

TEST(RestartWait, AsksEveryHalfSecondUntilTheModemIsBackAndNeverPastTheWait) {
    const struct Case {
        const char* name;
        bool serial;
        std::chrono::milliseconds backAt;
        unsigned seconds;
        bool back;
    } cases[] = {
        {"telnet, back at 0.2 s, --confirm=1", false, 200ms, 1, true},
        {"telnet, back at 4.3 s, --confirm=5", false, 4300ms, 5, true},
        // The last attempt ends at the deadline, not an interval before it.
        {"telnet, back at 4.7 s, --confirm=5", false, 4700ms, 5, true},
        {"telnet, back at 4.9 s, --confirm=5", false, 4900ms, 5, true},
        {"serial, back at 0.2 s, --confirm=1", true, 200ms, 1, true},
        {"serial, back at 4.3 s, --confirm=5", true, 4300ms, 5, true},
        {"telnet, never back, --confirm=2", false, 3600000ms, 2, false},
        {"serial, never back, --confirm=2", true, 3600000ms, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClock clock;
        FakeWaitClock waitClock(clock);
        RestartingModem modem(clock, c.backAt, c.serial);
        std::atomic<bool> cancel{false};
        ModemIdentity after;
        std::string error;
        const bool ok = WaitForRestart(modem.Factory(), c.seconds, cancel, nullptr, waitClock, after, error);
        EXPECT_EQ(ok, c.back) << error;
        const auto& attempts = modem.Attempts();
        ASSERT_FALSE(attempts.empty());
        // The modem goes down first; then it is asked at most every 500 ms (more often only in the last
        // interval, up to the deadline), and as soon as it is back.
        const std::chrono::milliseconds wait = std::chrono::seconds(c.seconds);
        EXPECT_GE(attempts.front(), 500ms);
        for (std::size_t i = 1; i < attempts.size(); ++i) {
            if (attempts[i] < wait - 500ms) {
                EXPECT_GE(attempts[i] - attempts[i - 1], 500ms);
            }
        }
        EXPECT_LE(clock.Elapsed(), wait) << "an attempt outlasted the wait";
        if (c.back) {
            EXPECT_EQ(after.firmware, "7.3");
            // A Telnet modem is found within one interval of its return; a serial one within its answer wait.
            EXPECT_LT(clock.Elapsed() - c.backAt, c.serial ? 1250ms : 750ms);
        } else {
            EXPECT_EQ(error.rfind("The modem did not come back within 2 s after the update (" +
                                      std::to_string(attempts.size()) + " attempts; last: ",
                                  0),
                      0u)
                << error;
            EXPECT_GE(clock.Elapsed(), wait - 100ms) << "the last attempt ended before the wait did";
        }
    }
}

TEST(RestartWait, CancelEndsTheWaitAtOnce) {
    FakeClock clock;
    FakeWaitClock waitClock(clock);
    RestartingModem modem(clock, 3600000ms, false);
    std::atomic<bool> cancel{false};
    ModemIdentity after;
    std::string error;
    const LinkFactory factory = modem.Factory();
    const LinkFactory cancelling = [&]() { return cancel = modem.Attempts().size() == 2, factory(); };
    EXPECT_FALSE(WaitForRestart(cancelling, 60, cancel, nullptr, waitClock, after, error));
    EXPECT_EQ(error, "Reboot check cancelled");
    EXPECT_EQ(modem.Attempts().size(), 3u);
    EXPECT_LT(clock.Elapsed(), 2000ms);
}
