// The modem console dialogue: exact and marker reads with deadlines, diagnostics, the command menu and identity.
#include "console/Console.h"

#include <algorithm>
#include <chrono>

#include "console/Clock.h"

namespace {

// Every console read goes through a scratch buffer of this size.
constexpr std::size_t kScratchSize = 1024;
// Longest single wait of any read, so that deadlines and the cancellation flag are noticed promptly.
constexpr std::uint32_t kReadCapMs = 250;
constexpr std::uint32_t kTextReadMs = 200;
// The drain takes what has already arrived and waits for nothing more: the modem answers in order, so text
// still on its way arrives before the answer to QUIT, and every later read looks for its own marker past it.
// A wait for silence here would be added to every stage of every operation.
constexpr std::uint32_t kDrainReadMs = 0;
constexpr std::uint32_t kReplyTimeoutMs = 5000;
// A modem that never stops talking must not keep the drain going for ever; leftovers of an earlier
// exchange arrive well within this.
constexpr std::uint32_t kDrainLimitMs = 5000;
// Of the drained leftovers only the newest bytes are kept, for the message when the link is gone.
constexpr std::size_t kDrainKeep = 256;
// Received text is kept bounded: past the high mark it is cut back to its newest low-mark bytes.
constexpr std::size_t kTextHighMark = 32768;
constexpr std::size_t kTextLowMark = 16384;

}  // namespace

std::string WaitText(std::uint32_t timeoutMs) {
    if (timeoutMs % 1000 == 0) return std::to_string(timeoutMs / 1000) + " s";
    return std::to_string(timeoutMs) + " ms";
}

namespace {

MonotonicClock::time_point DeadlineAfter(std::uint32_t timeoutMs) {
    return MonotonicNow() + std::chrono::milliseconds(timeoutMs);
}

void KeepBounded(std::string& text) {
    if (text.size() > kTextHighMark) text.erase(0, text.size() - kTextLowMark);
}

// True when `marker` occurs and is followed by a non-empty value ended by "#", CR or LF.
bool FieldTerminated(const std::string& text, const std::string& marker) {
    const std::size_t at = text.find(marker);
    if (at == std::string::npos) return false;
    const std::size_t valueStart = at + marker.size();
    const std::size_t end = text.find_first_of("#\r\n", valueStart);
    return end != std::string::npos && end > valueStart;
}

bool MenuCancelled(const ITransport& link, std::string& error) {
    error = "Cancelled while returning the modem at " + link.Description() + " to the cmd: menu";
    return false;
}

bool IdentityCancelled(const ITransport& link, std::string& error) {
    error = "Cancelled during the identity check of " + link.Description();
    return false;
}

}  // namespace

bool ReadExact(ITransport& link, unsigned char* buffer, std::uint64_t length, std::uint32_t timeoutMs,
               const std::atomic<bool>* cancel, std::string& error) {
    // The clock is read once per wait: a transfer waits for a verdict after every frame.
    auto now = MonotonicNow();
    const auto deadline = now + std::chrono::milliseconds(timeoutMs);
    std::uint64_t stored = 0;
    for (bool first = true; stored < length; first = false) {
        if (cancel != nullptr && cancel->load()) {
            error = "Update cancelled";
            return false;
        }
        if (!first) now = MonotonicNow();
        if (now >= deadline) {
            // The caller adds what it was waiting for: the step is its to name.
            error = stored == 0 ? "No answer from the modem within " + WaitText(timeoutMs)
                                : "Only " + std::to_string(stored) + " of " + std::to_string(length) +
                                      " bytes from the modem within " + WaitText(timeoutMs);
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        const std::uint32_t wait = left >= kReadCapMs ? kReadCapMs : static_cast<std::uint32_t>(left);
        // A link never returns more than 64 KiB per call; asking for at most 1 GiB keeps the count in an int.
        const std::uint64_t rest = length - stored;
        const std::size_t capacity = static_cast<std::size_t>(rest < (1u << 30) ? rest : (1u << 30));
        const int got = link.Read(buffer + stored, capacity, wait, error);
        if (got < 0) return false;
        stored += static_cast<std::uint64_t>(got);
    }
    return true;
}

bool ReadUntil(ITransport& link, const std::string& marker, std::uint32_t timeoutMs, std::string& received,
               std::string& error) {
    received.clear();
    const auto deadline = DeadlineAfter(timeoutMs);
    unsigned char scratch[kScratchSize];
    for (;;) {
        if (MonotonicNow() >= deadline) {
            error = received.empty() ? "No answer from the modem within " + WaitText(timeoutMs) + " while waiting for \"" +
                                           marker + "\""
                                     : "No \"" + marker + "\" from the modem within " + WaitText(timeoutMs);
            return false;
        }
        const int got = link.Read(scratch, sizeof scratch, kTextReadMs, error);
        if (got < 0) return false;
        if (got == 0) continue;
        received.append(reinterpret_cast<const char*>(scratch), static_cast<std::size_t>(got));
        if (received.find(marker) != std::string::npos) return true;
        KeepBounded(received);
    }
}

std::string CutModemText(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    return text.substr(0, limit) + "... (" + std::to_string(text.size() - limit) + " more bytes)";
}

std::string DiagnosticResponse(const std::string& received) {
    if (received.empty()) return "no data received";
    std::string out;
    out.reserve(received.size());
    for (const char c : received) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b == '\r') {
            out += "<CR>";
        } else if (b == '\n') {
            out += "<LF>";
        } else if (b >= 0x20 && b <= 0x7E) {
            out += static_cast<char>(b);
        } else {
            out += '<';
            out += std::to_string(static_cast<unsigned int>(b));
            out += '>';
        }
    }
    return out;
}

std::string Field(const std::string& reply, const std::string& marker) {
    const std::size_t at = reply.find(marker);
    if (at == std::string::npos) return std::string();
    const std::size_t start = at + marker.size();
    std::size_t end = reply.find('#', start);
    if (end == std::string::npos) end = reply.find_first_of("\r\n", start);
    if (end == std::string::npos) end = reply.size();
    return reply.substr(start, end - start);
}

bool EnterCommandMenu(ITransport& link, std::string& error) {
    unsigned char scratch[kScratchSize];
    const auto drainDeadline = DeadlineAfter(kDrainLimitMs);
    // Leftovers are discarded, but what a modem said just before it dropped the link (a second console
    // client hears "Console busy") is the only useful explanation when the QUIT then cannot be sent.
    std::string drained;
    std::string drainError;
    bool drainFailed = false;
    for (;;) {
        const int got = link.Read(scratch, sizeof scratch, kDrainReadMs, drainError);
        if (got <= 0) {
            drainFailed = got < 0;
            break;
        }
        drained.append(reinterpret_cast<const char*>(scratch), static_cast<std::size_t>(got));
        if (drained.size() > kDrainKeep) drained.erase(0, drained.size() - kDrainKeep);
        if (MonotonicNow() >= drainDeadline) break;
    }

    // A cancelled link sends no QUIT: the modem is left where it is.
    if (drainFailed && link.LastFailure() == LinkFailure::Cancelled) return MenuCancelled(link, error);
    static const char command[] = "QUIT\r";
    if (!link.Write(reinterpret_cast<const unsigned char*>(command), sizeof command - 1, error)) {
        if (link.LastFailure() == LinkFailure::Cancelled) return MenuCancelled(link, error);
        if (drainFailed) {
            error = "QUIT did not return the modem at " + link.Description() + " to the cmd: menu (" +
                    DiagnosticResponse(drained) + "): " + drainError;
        }
        return false;
    }

    std::string received;
    std::string reason;
    if (!ReadUntil(link, "cmd: ", kReplyTimeoutMs, received, reason)) {
        if (link.LastFailure() == LinkFailure::Cancelled) return MenuCancelled(link, error);
        error = "QUIT did not return the modem at " + link.Description() + " to the cmd: menu (" +
                DiagnosticResponse(received) + "): " + reason;
        return false;
    }
    return true;
}

bool IsKnownTypeCode(const std::string& typeCode) { return typeCode == "U" || typeCode == "I" || typeCode == "B"; }

std::string ModelForTypeCode(const std::string& typeCode) {
    if (typeCode == "U") return "Torvanix / VX-4410";
    if (typeCode == "I") return "Selvanix-compatible modem";
    if (typeCode == "B") return "MRT-II compatibility mode";
    return "Velmor modem (type " + typeCode + ")";
}

bool IdentityReplyComplete(const std::string& text) {
    return FieldTerminated(text, "#0:") && FieldTerminated(text, "#1:");
}

void ReadRestOfIdentity(ITransport& link, ModemIdentity& identity, std::uint32_t waitMs) {
    const auto lineEnded = [&identity] {
        const std::size_t at = identity.response.find("#1:");
        return at != std::string::npos && identity.response.find_first_of("\r\n", at) != std::string::npos;
    };
    const auto deadline = DeadlineAfter(waitMs);
    unsigned char scratch[kScratchSize];
    std::string ignored;  // a link that fails here fails the next step, which says so
    while (!lineEnded() && MonotonicNow() < deadline) {
        const int got = link.Read(scratch, sizeof scratch, std::min(waitMs, kTextReadMs), ignored);
        if (got < 0) return;
        identity.response.append(reinterpret_cast<const char*>(scratch), static_cast<std::size_t>(got));
        KeepBounded(identity.response);
    }
}

bool CheckModemIdentity(ITransport& link, ModemIdentity& identity, std::string& error) {
    if (!EnterCommandMenu(link, error)) {
        return link.LastFailure() == LinkFailure::Cancelled ? IdentityCancelled(link, error) : false;
    }

    static const char command[] = "V ###\r";
    if (!link.Write(reinterpret_cast<const unsigned char*>(command), sizeof command - 1, error)) {
        return link.LastFailure() == LinkFailure::Cancelled ? IdentityCancelled(link, error) : false;
    }

    const auto deadline = DeadlineAfter(kReplyTimeoutMs);
    std::string text;
    unsigned char scratch[kScratchSize];
    for (;;) {
        if (MonotonicNow() >= deadline) {
            error = "No complete V ### reply from modem at " + link.Description() + " within " +
                    WaitText(kReplyTimeoutMs) + " (" + DiagnosticResponse(text) +
                    "). When using Telnet, close any other modem console connection; the modem accepts only one "
                    "Telnet console client at a time";
            return false;
        }
        const int got = link.Read(scratch, sizeof scratch, kTextReadMs, error);
        if (got < 0) return link.LastFailure() == LinkFailure::Cancelled ? IdentityCancelled(link, error) : false;
        if (got == 0) continue;
        text.append(reinterpret_cast<const char*>(scratch), static_cast<std::size_t>(got));
        if (IdentityReplyComplete(text)) break;
        // A modem streaming text without ever completing the reply must not grow memory without end.
        KeepBounded(text);
    }

    const std::string typeCode = Field(text, "#0:");
    identity.firmware = Field(text, "#1:");
    identity.response = text;
    identity.model = ModelForTypeCode(typeCode);
    if (typeCode.empty() || identity.firmware.empty()) {
        error = "The V ### response is incomplete";
        return false;
    }
    return true;
}
