// Firmware update: loading the image file, the 256-byte-block image, and the fast and legacy transfers.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "console/Console.h"
#include "transport/Transport.h"

// 65,535 blocks of 256 bytes: the most the 16-bit block count can announce.
constexpr std::uint64_t kMaxFirmwareSize = 16776960;

enum class UpdateResult : int {
    Installed = 0,     // transferred and verified by the modem; it reboots
    NotSupported = 1,  // "UPDFAST\r" refused by the modem, or not answered at all within 5 s
    Failed = 2,        // anything else; the error text says why
};

// The step an update attempt had reached when it ended.
enum class UpdateStep {
    Prepare,      // the image itself; nothing sent
    Menu,         // returning the modem to its cmd: menu; nothing of the update sent
    Request,      // "UPDFAST\r" or "UPDATE\r" and the wait for "Send handshake sequence"
    Header,       // the handshake and the update header
    Size,         // the block count and the modem's answer to it
    Frames,       // a frame before the last and its verdict
    LastVerdict,  // the last frame and its verdict (fast: the modem's verdict on the whole image)
    Done,
};

// Why it ended there. Callers decide on this, never on the message.
enum class UpdateCause {
    None,       // installed
    Refused,    // the modem answered the request and went back to its prompt without the handshake text
    NoAnswer,   // not a byte in answer to the request within 5 s: the protocol's sign of no such transfer
    LinkLost,   // the link closed or failed
    Stalled,    // the modem (or the link) stopped: nothing, or nothing more, within the step's wait
    Garbled,    // an answer the protocol does not know
    Rejected,   // the modem refused with ESC: the size, a frame or the whole image's checksum
    Cancelled,
    BadImage,   // an image no modem could be sent
};

struct UpdateOutcome {
    UpdateStep step = UpdateStep::Prepare;
    UpdateCause cause = UpdateCause::None;
};

bool LoadFirmwareFile(const std::wstring& path, std::vector<unsigned char>& firmware, std::string& error);
bool PrepareFirmware(const std::vector<unsigned char>& firmware, std::vector<unsigned char>& image,
                     std::uint16_t& blockCount, std::string& error);
// All of the image went but no verdict came back: the modem may still install it.
inline bool MayInstall(const TransferTally& tally, std::uint64_t imageSize) {
    return tally.sent.load() >= imageSize && !tally.answered.load();
}

// The shared engine after "Send handshake sequence": handshake, block count, frames and verdicts.
bool TransferUpdate(ITransport& link, const std::vector<unsigned char>& image, std::uint16_t blockCount,
                    std::uint64_t frameSize, bool verify, std::atomic<bool>& cancel,
                    const ProgressCallback& progress, std::string& error, TransferTally* tally = nullptr,
                    UpdateOutcome* outcome = nullptr);
// Returns an UpdateResult as int.
int RunFastUpdate(ITransport& link, const std::vector<unsigned char>& firmware, std::atomic<bool>& cancel,
                  const ProgressCallback& progress, std::string& error);
bool RunLegacyUpdate(ITransport& link, const std::vector<unsigned char>& firmware, std::atomic<bool>& cancel,
                     const ProgressCallback& progress, std::string& error);
// The same two transfers for an image that PrepareFirmware made once, so that transfers to several modems
// at once share it read-only instead of each building its own copy. `atMenu`: the link's last exchange was
// an identity check that ended at the cmd: menu, so the fast request goes first, without a QUIT's round trip.
int RunPreparedFastUpdate(ITransport& link, const std::vector<unsigned char>& image, std::uint16_t blockCount,
                          std::atomic<bool>& cancel, const ProgressCallback& progress, std::string& error,
                          TransferTally* tally = nullptr, UpdateOutcome* outcome = nullptr, bool atMenu = false);
bool RunPreparedLegacyUpdate(ITransport& link, const std::vector<unsigned char>& image, std::uint16_t blockCount,
                             std::atomic<bool>& cancel, const ProgressCallback& progress, std::string& error,
                             TransferTally* tally = nullptr, UpdateOutcome* outcome = nullptr);
