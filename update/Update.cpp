// Firmware transfer to the modem: the shared frame engine, the fast procedure and the legacy fallback.
#include "update/Update.h"

#include <algorithm>
#include <chrono>

#include "console/Clock.h"

namespace {

constexpr std::uint32_t kReplyTimeoutMs = 5000;
constexpr std::uint32_t kFrameVerdictMs = 10000;
constexpr std::uint32_t kVerifyVerdictMs = 30000;
constexpr std::uint64_t kFastFrameSize = 65536;
constexpr std::uint64_t kLegacyFrameSize = 256;
constexpr std::size_t kBlockSize = 256;
// While bytes of a frame are still queued for the modem, the verdict's wait looks at the queue this often.
constexpr std::uint32_t kQueueLookMs = 250;
// A frame that takes longer than this to reach the modem makes a failed verdict wait name the link as slow.
constexpr std::uint32_t kSlowFrameMs = 1000;
// The slowest link an update is made to get through: before any pace is known, a frame that left at once (into
// a buffer on the way that cannot be seen from here) is given its time at this rate to reach the modem.
constexpr std::uint64_t kSlowestLinkBytesPerSecond = 2400;

void Report(const ProgressCallback& progress, int percent, const std::string& stage, const std::string& detail) {
    if (progress) progress(percent, stage, detail);
}

bool WriteByte(ITransport& link, unsigned char byte, std::string& error) { return link.Write(&byte, 1, error); }

bool WriteText(ITransport& link, const char* text, std::size_t length, std::string& error) {
    return link.Write(reinterpret_cast<const unsigned char*>(text), length, error);
}

constexpr const char* kHandshakeMarker = "Send handshake sequence";
// Of a request's unexpected answer, this much is shown.
constexpr std::size_t kShownAnswer = 100;

// What a failed write or read of the link means: a cancel, a stall (its deadline passed, or a read that found
// nothing it wanted in time), or a link that is gone.
UpdateCause LinkCause(const ITransport& link, const std::atomic<bool>& cancel) {
    const LinkFailure failure = link.LastFailure();
    if (failure == LinkFailure::Cancelled || cancel.load()) return UpdateCause::Cancelled;
    if (failure == LinkFailure::None || failure == LinkFailure::TimedOut) return UpdateCause::Stalled;
    return UpdateCause::LinkLost;
}

// A write, or a read with its deadline, of the step `during` names failed: on the cancel flag, on the link (its
// LastFailure says how) or, for a read, at the deadline, whose message names the wait.
bool StepFailed(const ITransport& link, const std::atomic<bool>& cancel, UpdateOutcome& out, const std::string& during,
                std::string& error) {
    out.cause = LinkCause(link, cancel);
    if (out.cause == UpdateCause::Cancelled) error = "Update cancelled";
    else if (link.LastFailure() == LinkFailure::TimedOut) error = "Link stalled while " + during + ": " + error;
    else if (out.cause == UpdateCause::LinkLost) error = "Link lost while " + during + ": " + error;
    else error += " while " + during;
    return false;
}

std::string Rate(std::uint64_t bytes, MonotonicClock::duration took) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    return ms <= 0 ? std::string("?") : std::to_string(bytes * 1000 / static_cast<std::uint64_t>(ms));
}

// The wait for the one-byte verdict on a frame of `frame` bytes, after `sentBefore` bytes that the modem has
// answered for since `firstWrite`. The protocol's wait counts from when the frame can have reached the modem:
// while the link still holds some of it, from when that stops moving; once the frame has left (a relay or a
// terminal server on the way takes and acknowledges it at once), after the frame's time at the pace so far
// (modem time is in that pace too, so it errs towards a longer wait), or, for the first frame, at the slowest
// link an update is made to get through. A wait that ends unanswered after a slow frame says so: the modem is
// not blamed for the link.
bool AwaitVerdict(ITransport& link, unsigned char& verdict, std::uint64_t frame, std::uint32_t waitMs,
                  std::uint64_t sentBefore, MonotonicClock::time_point firstWrite, const std::atomic<bool>& cancel,
                  std::string& error) {
    const auto wait = std::chrono::milliseconds(waitMs);
    // A verdict within the first slice (every block of a legacy transfer on a fast link) costs neither a look at
    // the queue nor a reading of the clock beyond the read's own.
    const std::uint32_t first = std::min(kQueueLookMs, waitMs);
    if (ReadExact(link, &verdict, 1, first, &cancel, error)) return true;
    if (link.LastFailure() != LinkFailure::None || cancel.load()) return false;
    const MonotonicClock::time_point waitStart = MonotonicNow() - std::chrono::milliseconds(first);
    // Where the frame was last seen moving towards the modem (or had arrived, as far as we can tell).
    MonotonicClock::time_point reached = waitStart;
    long long queued = link.QueuedToSend();
    bool paceAssumed = false;
    if (queued > 0) {
        reached = waitStart + std::chrono::milliseconds(first);
    } else if (sentBefore > 0) {
        reached += (waitStart - firstWrite) * static_cast<long long>(frame) / static_cast<long long>(sentBefore);
    } else {
        reached += std::chrono::milliseconds(frame * 1000 / kSlowestLinkBytesPerSecond);
        paceAssumed = true;
    }
    for (;;) {
        const auto now = MonotonicNow();
        if (now >= reached + wait) break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(reached + wait - now).count();
        const std::uint32_t slice = queued > 0 ? std::min<std::uint32_t>(kQueueLookMs, static_cast<std::uint32_t>(left))
                                               : static_cast<std::uint32_t>(left);
        if (ReadExact(link, &verdict, 1, slice, &cancel, error)) return true;
        if (link.LastFailure() != LinkFailure::None || cancel.load()) return false;
        if (queued > 0) {
            const long long still = link.QueuedToSend();
            if (still < queued) reached = MonotonicNow();
            queued = still;
        }
    }
    error = "No answer from the modem within " + WaitText(waitMs);
    const auto transit = reached - waitStart;
    if (queued > 0) {
        error += " (" + std::to_string(queued) + " bytes of the frame never left: a slow or stalled link)";
    } else if (paceAssumed && transit >= std::chrono::milliseconds(kSlowFrameMs)) {
        error += " after the frame's time on a link as slow as " + std::to_string(kSlowestLinkBytesPerSecond) +
                 " bytes/s";
    } else if (transit >= std::chrono::milliseconds(kSlowFrameMs)) {
        error += " after the frame reached it over a slow link (about " + Rate(frame, transit) + " bytes/s)";
    }
    return false;
}

// Ends the attempt for a reason of the protocol's own (the modem's refusal, an answer it does not know, a cancel).
bool EndWith(UpdateOutcome& out, UpdateCause cause, const char* message, std::string& error) {
    out.cause = cause;
    error = message;
    return false;
}

std::string FrameName(std::uint64_t frameSize) { return frameSize == kBlockSize ? "block " : "frame "; }

// After the request no handshake text came within its wait. The modem back at its prompt refused it; not a
// byte is the silence the protocol reads as no such transfer; anything else (an echo or the handshake text
// that stops part way, bytes of no meaning) is a modem or link gone wrong during the request.
UpdateCause RequestCause(const std::string& received, const std::string& command) {
    if (received.empty()) return UpdateCause::NoAnswer;
    if (received.find("cmd: ") != std::string::npos) return UpdateCause::Refused;
    std::size_t at = received.compare(0, command.size(), command) == 0 ? command.size() : 0;
    while (at < received.size() && (received[at] == '\r' || received[at] == '\n')) ++at;
    const std::string marker = kHandshakeMarker;
    const std::string rest = received.substr(at);
    return rest.size() < marker.size() && marker.compare(0, rest.size(), rest) == 0 ? UpdateCause::Stalled
                                                                                  : UpdateCause::Garbled;
}

std::string Shown(const std::string& received) {
    if (received.size() <= kShownAnswer) return DiagnosticResponse(received);
    return DiagnosticResponse(received.substr(0, kShownAnswer)) + "...";
}

// The wait for "Send handshake sequence" after `command` ("UPDFAST" or "UPDATE"); `request` names it.
bool AwaitHandshake(ITransport& link, const std::atomic<bool>& cancel, const std::string& command,
                    const std::string& request, UpdateOutcome& out, std::string& error) {
    std::string received;
    std::string reason;
    if (ReadUntil(link, kHandshakeMarker, kReplyTimeoutMs, received, reason)) return true;
    if (link.LastFailure() != LinkFailure::None || cancel.load()) {
        error = reason;
        return StepFailed(link, cancel, out, "waiting for the answer to the " + request, error);
    }
    out.cause = RequestCause(received, command);
    const std::string what = " (received: " + Shown(received) + ")";
    switch (out.cause) {
    case UpdateCause::NoAnswer:
        error = "No answer to the " + request + " within " + WaitText(kReplyTimeoutMs);
        break;
    case UpdateCause::Refused:
        error = "The modem refused the " + request + what;
        break;
    case UpdateCause::Stalled:
        error = "The modem stopped answering the " + request + ": no \"" + kHandshakeMarker + "\" within " + WaitText(kReplyTimeoutMs) + what;
        break;
    default:
        error = "Unexpected answer to the " + request + ": no \"" + kHandshakeMarker + "\" within " + WaitText(kReplyTimeoutMs) + what;
        break;
    }
    return false;
}

// The return to the menu that starts every transfer: its failure is the menu's message, with its cause.
bool ReachMenu(ITransport& link, const std::atomic<bool>& cancel, UpdateOutcome& out, std::string& error) {
    out.step = UpdateStep::Menu;
    if (EnterCommandMenu(link, error)) return true;
    out.cause = LinkCause(link, cancel);
    if (out.cause == UpdateCause::Cancelled) error = "Update cancelled";
    return false;
}

}  // namespace

bool TransferUpdate(ITransport& link, const std::vector<unsigned char>& image, std::uint16_t blockCount,
                    std::uint64_t frameSize, bool verify, std::atomic<bool>& cancel,
                    const ProgressCallback& progress, std::string& error, TransferTally* tally,
                    UpdateOutcome* outcome) {
    UpdateOutcome local;
    UpdateOutcome& out = outcome != nullptr ? *outcome : local;
    if (tally != nullptr) {
        tally->sent = 0;
        tally->answered = false;
    }
    // A zero frame would never advance, and an image that disagrees with its block count would announce
    // a size the modem then waits for in vain: refuse both before anything is sent.
    if (frameSize == 0 || blockCount == 0 || image.size() != static_cast<std::size_t>(blockCount) * kBlockSize) {
        out.step = UpdateStep::Prepare;
        return EndWith(out, UpdateCause::BadImage, "Invalid firmware image for transfer", error);
    }

    out.step = UpdateStep::Header;
    if (!WriteByte(link, ACK, error)) return StepFailed(link, cancel, out, "sending the handshake", error);
    unsigned char header[6];
    if (!ReadExact(link, header, sizeof header, kReplyTimeoutMs, &cancel, error)) {
        return StepFailed(link, cancel, out, "waiting for the update header", error);
    }
    if (header[0] != 0x1F || header[1] != 0xA4) {
        return EndWith(out, UpdateCause::Garbled, "Unexpected modem update header", error);
    }

    out.step = UpdateStep::Size;
    if (!WriteByte(link, ACK, error)) return StepFailed(link, cancel, out, "accepting the update header", error);
    const unsigned char count[2] = {static_cast<unsigned char>(blockCount >> 8),
                                    static_cast<unsigned char>(blockCount & 0xFF)};
    if (!link.Write(count, sizeof count, error)) return StepFailed(link, cancel, out, "sending the block count", error);
    unsigned char verdict = 0;
    if (!ReadExact(link, &verdict, 1, kReplyTimeoutMs, &cancel, error)) {
        return StepFailed(link, cancel, out, "waiting for the answer to the block count", error);
    }
    if (verdict != ACK) return EndWith(out, UpdateCause::Rejected, "Modem rejected the firmware size", error);

    Report(progress, 1, "Transferring firmware", "Frame size: " + std::to_string(frameSize) + " bytes");

    const std::uint64_t total = image.size();
    const std::uint64_t frames = (total + frameSize - 1) / frameSize;
    // Only a failure names its frame: the text is made then, not for every frame.
    const auto frameText = [&](std::uint64_t number) {
        return FrameName(frameSize) + std::to_string(number) + " of " + std::to_string(frames);
    };
    std::uint64_t sent = 0;
    int lastPercent = -1;
    out.step = UpdateStep::Frames;
    const MonotonicClock::time_point firstWrite = MonotonicNow();
    while (sent < total) {
        if (cancel.load()) return EndWith(out, UpdateCause::Cancelled, "Update cancelled", error);
        const std::uint64_t frame = frameSize < total - sent ? frameSize : total - sent;
        if (sent + frame == total) out.step = UpdateStep::LastVerdict;
        // Straight from the image: one write per frame, no copy.
        if (!link.Write(image.data() + sent, static_cast<std::size_t>(frame), error)) {
            return StepFailed(link, cancel, out, "sending " + frameText(sent / frameSize + 1), error);
        }
        sent += frame;
        if (tally != nullptr) tally->sent = sent;

        const int percent = static_cast<int>(sent * 95 / total);
        const bool last = sent == total;
        const bool verifying = last && verify;
        if (percent != lastPercent || last) {
            ReportBytes(progress, tally, percent, verifying ? "Verifying on modem" : "Transferring firmware", "Transferred",
                        sent, total);
            lastPercent = percent;
        }

        if (!AwaitVerdict(link, verdict, frame, verifying ? kVerifyVerdictMs : kFrameVerdictMs, sent - frame,
                          firstWrite, cancel, error)) {
            return StepFailed(link, cancel, out,
                              verifying ? "waiting for the modem's verdict on the whole image"
                                        : "waiting for the verdict on " + frameText((sent + frameSize - 1) / frameSize),
                              error);
        }
        if (last && tally != nullptr) tally->answered = true;
        if (verdict == ESC) {
            return EndWith(out, UpdateCause::Rejected,
                           verifying ? "Checksum ERROR on Modem" : "Modem rejected a transfer frame", error);
        }
        if (verdict != ACK) return EndWith(out, UpdateCause::Garbled, "Unexpected modem response during update", error);
    }

    out.step = UpdateStep::Done;
    out.cause = UpdateCause::None;
    if (verify) {
        Report(progress, 100, "Checksum OK on Modem", "Firmware CRC and modem file write verified; modem is rebooting");
    } else {
        Report(progress, 100, "Legacy transfer complete",
               "All 256-byte frames were acknowledged; this firmware cannot report its final modem-side checksum "
               "result. Check after reboot that the new firmware version is running");
    }
    return true;
}

int RunFastUpdate(ITransport& link, const std::vector<unsigned char>& firmware, std::atomic<bool>& cancel,
                  const ProgressCallback& progress, std::string& error) {
    std::vector<unsigned char> image;
    std::uint16_t blockCount = 0;
    if (!PrepareFirmware(firmware, image, blockCount, error)) return static_cast<int>(UpdateResult::Failed);
    return RunPreparedFastUpdate(link, image, blockCount, cancel, progress, error);
}

int RunPreparedFastUpdate(ITransport& link, const std::vector<unsigned char>& image, std::uint16_t blockCount,
                          std::atomic<bool>& cancel, const ProgressCallback& progress, std::string& error,
                          TransferTally* tally, UpdateOutcome* outcome, bool atMenu) {
    UpdateOutcome local;
    UpdateOutcome& out = outcome != nullptr ? *outcome : local;
    const int failed = static_cast<int>(UpdateResult::Failed);
    if (atMenu) {
        Report(progress, 0, "Starting fast update", "Modem at cmd: menu after its identity check");
    } else {
        Report(progress, 0, "Starting fast update", "Returning modem to cmd: menu");
        if (!ReachMenu(link, cancel, out, error)) return failed;
    }

    out.step = UpdateStep::Request;
    static const char command[] = "UPDFAST\r";
    if (!WriteText(link, command, sizeof command - 1, error)) {
        return StepFailed(link, cancel, out, "sending the fast-update request", error), failed;
    }
    if (!AwaitHandshake(link, cancel, "UPDFAST", "fast-update request", out, error)) {
        // Only the modem's own word, or its silence, says that its firmware has no fast transfer; a link that
        // drops, stalls or talks nonsense here says nothing about the firmware.
        if (out.cause == UpdateCause::Refused) {
            error = "UPDFAST is not supported by this modem firmware";
        } else if (out.cause == UpdateCause::NoAnswer) {
            error = "UPDFAST is not supported by this modem firmware (no answer to the fast-update request within " +
                    WaitText(kReplyTimeoutMs) + ")";
        } else {
            return failed;
        }
        return static_cast<int>(UpdateResult::NotSupported);
    }

    if (!TransferUpdate(link, image, blockCount, kFastFrameSize, true, cancel, progress, error, tally, &out)) {
        return failed;
    }
    return static_cast<int>(UpdateResult::Installed);
}

bool RunLegacyUpdate(ITransport& link, const std::vector<unsigned char>& firmware, std::atomic<bool>& cancel,
                     const ProgressCallback& progress, std::string& error) {
    std::vector<unsigned char> image;
    std::uint16_t blockCount = 0;
    if (!PrepareFirmware(firmware, image, blockCount, error)) return false;
    return RunPreparedLegacyUpdate(link, image, blockCount, cancel, progress, error);
}

bool RunPreparedLegacyUpdate(ITransport& link, const std::vector<unsigned char>& image, std::uint16_t blockCount,
                             std::atomic<bool>& cancel, const ProgressCallback& progress, std::string& error,
                             TransferTally* tally, UpdateOutcome* outcome) {
    UpdateOutcome local;
    UpdateOutcome& out = outcome != nullptr ? *outcome : local;
    Report(progress, 0, "Starting legacy update", "Returning modem to cmd: menu");
    if (!ReachMenu(link, cancel, out, error)) return false;

    out.step = UpdateStep::Request;
    static const char command[] = "UPDATE\r";
    if (!WriteText(link, command, sizeof command - 1, error)) {
        return StepFailed(link, cancel, out, "sending the legacy update request", error);
    }
    if (!AwaitHandshake(link, cancel, "UPDATE", "legacy update request", out, error)) return false;

    return TransferUpdate(link, image, blockCount, kLegacyFrameSize, false, cancel, progress, error, tally, &out);
}
