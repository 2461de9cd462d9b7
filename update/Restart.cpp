// Waiting for a restarted modem: attempts as often as allowed, each held to the time that is left.
#include "update/Restart.h"

#include <algorithm>
#include <thread>

namespace {

using Duration = MonotonicClock::duration;
using TimePoint = MonotonicClock::time_point;

// Pauses are cut into slices this long, so that a set cancel flag is noticed promptly.
constexpr std::chrono::milliseconds kPauseSlice{100};
// In the last interval before the deadline, attempts follow each other this often.
constexpr std::chrono::milliseconds kLastAttemptsEvery{100};

class SystemClock : public WaitClock {
public:
    TimePoint Now() override { return MonotonicNow(); }
    void Sleep(Duration span) override { std::this_thread::sleep_for(span); }
};

// Whole milliseconds until `until`, rounded up, so that a wait never ends just short of it.
unsigned int MillisecondsUntil(TimePoint now, TimePoint until) {
    if (until <= now) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    return static_cast<unsigned int>(std::min<long long>(ms, 0x7FFFFFFF));
}

// One attempt's link: no wait goes past the deadline, and once the tool has written, the first answer must come
// within kRestartAnswerWait. Past either bound a read fails as timed out.
class AttemptLink : public ITransport {
public:
    AttemptLink(std::unique_ptr<ITransport> inner, WaitClock& clock, TimePoint deadline)
        : inner_(std::move(inner)), clock_(clock), deadline_(deadline) {}

    bool Open(std::string& error) override {
        const TimePoint now = clock_.Now();
        const unsigned int left = MillisecondsUntil(now, std::min(deadline_, now + kRestartAnswerWait));
        inner_->SetConnectTimeout(std::max(1u, left));
        const bool ok = inner_->Open(error);
        failure_ = inner_->LastFailure();
        return ok;
    }
    void Close() override { inner_->Close(); }
    bool Write(const unsigned char* data, size_t length, std::string& error) override {
        if (!asked_) {
            asked_ = true;
            askedAt_ = clock_.Now();
        }
        const bool ok = inner_->Write(data, length, error);
        failure_ = inner_->LastFailure();
        return ok;
    }
    int Read(unsigned char* buffer, size_t capacity, unsigned int timeoutMs, std::string& error) override {
        const bool waitingForFirst = asked_ && !answered_;
        const TimePoint limit = waitingForFirst ? std::min(deadline_, askedAt_ + kRestartAnswerWait) : deadline_;
        const TimePoint now = clock_.Now();
        if (now >= limit) {
            failure_ = LinkFailure::TimedOut;
            error = limit == deadline_ ? "no answer before the time was over"
                                       : "no answer within " + std::to_string(kRestartAnswerWait.count()) + " ms";
            return -1;
        }
        const int got = inner_->Read(buffer, capacity, std::min(timeoutMs, MillisecondsUntil(now, limit)), error);
        failure_ = got < 0 ? inner_->LastFailure() : LinkFailure::None;
        if (got > 0) answered_ = true;
        return got;
    }
    std::string Description() const override { return inner_->Description(); }
    LinkFailure LastFailure() const override { return failure_; }
    void SetConnectTimeout(unsigned int timeoutMs) override { inner_->SetConnectTimeout(timeoutMs); }

private:
    std::unique_ptr<ITransport> inner_;
    WaitClock& clock_;
    TimePoint deadline_;
    bool asked_ = false;
    bool answered_ = false;
    TimePoint askedAt_;
    LinkFailure failure_ = LinkFailure::None;
};

// False when cancelled before `until`.
bool PauseUntil(WaitClock& clock, TimePoint until, const std::atomic<bool>& cancel) {
    for (TimePoint now = clock.Now(); now < until; now = clock.Now()) {
        if (cancel.load()) return false;
        clock.Sleep(std::min<Duration>(until - now, kPauseSlice));
    }
    return !cancel.load();
}

}  // namespace

WaitClock& SystemWaitClock() {
    static SystemClock clock;
    return clock;
}

bool WaitForRestart(const LinkFactory& makeLink, unsigned seconds, const std::atomic<bool>& cancel,
                    const ProgressCallback& progress, WaitClock& clock, ModemIdentity& after, std::string& error) {
    const TimePoint start = clock.Now();
    const TimePoint deadline = start + std::chrono::seconds(seconds);
    if (progress) {
        progress(100, "Waiting for restart", "Waiting up to " + std::to_string(seconds) + " s for the modem to restart");
    }
    // The first attempt waits one interval: the modem that has just given its verdict must go down first.
    TimePoint attempt = start + kRestartAskEvery;
    std::string lastError = "no answer";
    unsigned attempts = 0;
    while (attempt < deadline) {
        if (!PauseUntil(clock, attempt, cancel)) {
            error = "Reboot check cancelled";
            return false;
        }
        const TimePoint began = clock.Now();
        ++attempts;
        AttemptLink link(makeLink(), clock, deadline);
        std::string attemptError;
        if (link.Open(attemptError)) {
            const bool ok = CheckModemIdentity(link, after, attemptError);
            // The caller compares the serial number with the one it updated: the reply's line is read whole.
            if (ok) ReadRestOfIdentity(link, after, kIdentityRestMs);
            link.Close();
            if (ok) return true;
        }
        lastError = CutModemText(attemptError);
        if (cancel.load()) {
            error = "Reboot check cancelled";
            return false;
        }
        // An attempt that took longer than the interval is followed at once; in the last interval the attempts
        // follow each other up to the deadline, so that the last one ends at it, not an interval before.
        const TimePoint now = clock.Now();
        attempt = std::max(began + kRestartAskEvery, now);
        if (attempt >= deadline && now < deadline) attempt = std::min(deadline, now + kLastAttemptsEvery);
    }
    error = "The modem did not come back within " + std::to_string(seconds) + " s after the update (" +
            std::to_string(attempts) + " attempt" + (attempts == 1 ? "" : "s") + "; last: " + lastError + ")";
    return false;
}
