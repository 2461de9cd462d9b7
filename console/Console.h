// The modem console dialogue: exact and marker reads with deadlines, diagnostics, the command menu and identity.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "transport/Transport.h"

// Control bytes of the binary exchanges, each sent as a one-byte write.
constexpr unsigned char ACK = 0x06;  // positive acknowledgement, both directions
constexpr unsigned char ESC = 0x1B;  // modem: rejection; tool: abort of a log download
constexpr unsigned char SYN = 0x16;  // tool: start of the binary part of a log download
// How long the rest of an identity reply (after the version) is waited for where it matters which modem answers.
constexpr std::uint32_t kIdentityRestMs = 1000;

// Progress of a long operation: percentage, stage and detail (UTF-8), called on the worker thread.
using ProgressCallback = std::function<void(int percent, const std::string& stage, const std::string& detail)>;

// How far a transfer got, whatever its outcome; another thread may read it while the transfer runs.
struct TransferTally {
    std::atomic<std::uint64_t> sent{0};  // update: image bytes (padding included) the link took
    std::atomic<bool> answered{false};   // update: the modem gave its verdict on the last frame (accepted or refused)
    // The byte counts of the progress report being made, as numbers: set with `counting` just before a report
    // that counts bytes and cleared after it, so that the report's receiver (on the same thread) never reads
    // them back from the text.
    std::atomic<bool> counting{false};
    std::atomic<std::uint64_t> done{0}, total{0};
};

// Reports "`verb` DONE / TOTAL bytes", with the counts in `tally` (when given) while the report is made.
inline void ReportBytes(const ProgressCallback& progress, TransferTally* tally, int percent, const std::string& stage,
                        const char* verb, std::uint64_t done, std::uint64_t total) {
    if (!progress) return;
    if (tally != nullptr) {
        tally->done = done;
        tally->total = total;
        tally->counting = true;
    }
    progress(percent, stage, std::string(verb) + " " + std::to_string(done) + " / " + std::to_string(total) + " bytes");
    if (tally != nullptr) tally->counting = false;
}

struct ModemIdentity {
    std::string model;     // display name derived from the type code
    std::string firmware;  // firmware version text, as the modem sent it
    std::string response;  // everything received after "V ###\r" up to completeness
};

// Exactly `length` bytes within timeoutMs; `cancel` (may be null) is checked before every read. It fails on
// the flag ("Update cancelled"), on the link (LastFailure says how) or at the deadline (LastFailure None):
// the deadline's message names the wait, and the caller adds the step, " while waiting for ...".
bool ReadExact(ITransport& link, unsigned char* buffer, std::uint64_t length, std::uint32_t timeoutMs,
               const std::atomic<bool>* cancel, std::string& error);
// Reads until `marker` occurs in the received text (kept bounded at 32 KiB).
bool ReadUntil(ITransport& link, const std::string& marker, std::uint32_t timeoutMs, std::string& received,
               std::string& error);
// Printable rendering of received bytes for messages: <CR>, <LF>, <27>, "no data received".
std::string DiagnosticResponse(const std::string& received);
// "5 s", or "250 ms" for a wait that is not whole seconds: a wait as messages name it.
std::string WaitText(std::uint32_t timeoutMs);
// A modem's text for a message: at most `limit` bytes, with the count of what was left out.
std::string CutModemText(const std::string& text, size_t limit = 300);
// The value after `marker`, up to "#", else the first CR/LF, else the end; empty when absent.
std::string Field(const std::string& reply, const std::string& marker);
// Drains pending output, sends "QUIT\r" and waits for the "cmd: " prompt.
bool EnterCommandMenu(ITransport& link, std::string& error);
// Returns the modem to its menu and asks "V ###\r".
bool CheckModemIdentity(ITransport& link, ModemIdentity& identity, std::string& error);
// After a successful CheckModemIdentity: reads on, for at most `waitMs`, until the reply's line has ended, so
// that the fields after the version (the serial number, the call sign) are whole where the modem sends them.
// A check of which modem answers needs them; over a slow link they arrive after the version.
void ReadRestOfIdentity(ITransport& link, ModemIdentity& identity, std::uint32_t waitMs);

// The model name for an identity type code ("U" -> "Torvanix / VX-4410", ...).
std::string ModelForTypeCode(const std::string& typeCode);
// True for the identity type codes of the known models (U, I, B).
bool IsKnownTypeCode(const std::string& typeCode);
// True when both "#0:" and "#1:" carry a non-empty, terminated value.
bool IdentityReplyComplete(const std::string& text);
