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
    NotSupported = 1,  // no "Send handshake sequence" after "UPDFAST\r"
    Failed = 2,        // anything else; the error text says why
};

bool LoadFirmwareFile(const std::wstring& path, std::vector<unsigned char>& firmware, std::string& error);
bool PrepareFirmware(const std::vector<unsigned char>& firmware, std::vector<unsigned char>& image,
                     std::uint16_t& blockCount, std::string& error);
// How far a transfer got, whatever its outcome; another thread may read it while the transfer runs.
struct TransferTally {
    std::atomic<std::uint64_t> sent{0};  // image bytes (padding included) the link took
    std::atomic<bool> answered{false};   // the modem gave its verdict on the last frame (accepted or refused)
};
// All of the image went but no verdict came back: the modem may still install it.
inline bool MayInstall(const TransferTally& tally, std::uint64_t imageSize) {
    return tally.sent.load() >= imageSize && !tally.answered.load();
}

// The shared engine after "Send handshake sequence": handshake, block count, frames and verdicts.
bool TransferUpdate(ITransport& link, const std::vector<unsigned char>& image, std::uint16_t blockCount,
                    std::uint64_t frameSize, bool verify, std::atomic<bool>& cancel,
                    const ProgressCallback& progress, std::string& error, TransferTally* tally = nullptr);
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
                          TransferTally* tally = nullptr, bool atMenu = false);
bool RunPreparedLegacyUpdate(ITransport& link, const std::vector<unsigned char>& image, std::uint16_t blockCount,
                             std::atomic<bool>& cancel, const ProgressCallback& progress, std::string& error,
                             TransferTally* tally = nullptr);
