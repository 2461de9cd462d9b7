// Firmware transfer to the modem: the shared frame engine, the fast procedure and the legacy fallback.
#include "update/Update.h"

namespace {

constexpr std::uint32_t kReplyTimeoutMs = 5000;
constexpr std::uint32_t kFrameVerdictMs = 10000;
constexpr std::uint32_t kVerifyVerdictMs = 30000;
constexpr std::uint64_t kFastFrameSize = 65536;
constexpr std::uint64_t kLegacyFrameSize = 256;
constexpr std::size_t kBlockSize = 256;

void Report(const ProgressCallback& progress, int percent, const std::string& stage, const std::string& detail) {
    if (progress) progress(percent, stage, detail);
}

bool WriteByte(ITransport& link, unsigned char byte, std::string& error) { return link.Write(&byte, 1, error); }

bool WriteText(ITransport& link, const char* text, std::size_t length, std::string& error) {
    return link.Write(reinterpret_cast<const unsigned char*>(text), length, error);
}

// A wait the link ended on the cancel flag says so in the update's own words.
bool Cancelled(const ITransport& link, std::string& error) {
    if (link.LastFailure() == LinkFailure::Cancelled) error = "Update cancelled";
    return false;
}

}  // namespace

bool TransferUpdate(ITransport& link, const std::vector<unsigned char>& image, std::uint16_t blockCount,
                    std::uint64_t frameSize, bool verify, std::atomic<bool>& cancel,
                    const ProgressCallback& progress, std::string& error, TransferTally* tally) {
    if (tally != nullptr) {
        tally->sent = 0;
        tally->answered = false;
    }
    // A zero frame would never advance, and an image that disagrees with its block count would announce
    // a size the modem then waits for in vain: refuse both before anything is sent.
    if (frameSize == 0 || blockCount == 0 || image.size() != static_cast<std::size_t>(blockCount) * kBlockSize) {
        error = "Invalid firmware image for transfer";
        return false;
    }

    if (!WriteByte(link, ACK, error)) return Cancelled(link, error);
    unsigned char header[6];
    if (!ReadExact(link, header, sizeof header, kReplyTimeoutMs, &cancel, error)) return Cancelled(link, error);
    if (header[0] != 0x1F || header[1] != 0xA4) {
        error = "Unexpected modem update header";
        return false;
    }

    if (!WriteByte(link, ACK, error)) return Cancelled(link, error);
    const unsigned char count[2] = {static_cast<unsigned char>(blockCount >> 8),
                                    static_cast<unsigned char>(blockCount & 0xFF)};
    if (!link.Write(count, sizeof count, error)) return Cancelled(link, error);
    unsigned char verdict = 0;
    if (!ReadExact(link, &verdict, 1, kReplyTimeoutMs, &cancel, error)) return Cancelled(link, error);
    if (verdict != ACK) {
        error = "Modem rejected the firmware size";
        return false;
    }

    Report(progress, 1, "Transferring firmware", "Frame size: " + std::to_string(frameSize) + " bytes");

    const std::uint64_t total = image.size();
    const std::string totalText = std::to_string(total);
    std::uint64_t sent = 0;
    int lastPercent = -1;
    while (sent < total) {
        if (cancel.load()) {
            error = "Update cancelled";
            return false;
        }
        const std::uint64_t frame = frameSize < total - sent ? frameSize : total - sent;
        // Straight from the image: one write per frame, no copy.
        if (!link.Write(image.data() + sent, static_cast<std::size_t>(frame), error)) return Cancelled(link, error);
        sent += frame;
        if (tally != nullptr) tally->sent = sent;

        const int percent = static_cast<int>(sent * 95 / total);
        const bool last = sent == total;
        const bool verifying = last && verify;
        if (percent != lastPercent || last) {
            Report(progress, percent, verifying ? "Verifying on modem" : "Transferring firmware",
                   "Transferred " + std::to_string(sent) + " / " + totalText + " bytes");
            lastPercent = percent;
        }

        if (!ReadExact(link, &verdict, 1, verifying ? kVerifyVerdictMs : kFrameVerdictMs, &cancel, error)) {
            return Cancelled(link, error);
        }
        if (last && tally != nullptr) tally->answered = true;
        if (verdict == ESC) {
            error = verifying ? "Checksum ERROR on Modem" : "Modem rejected a transfer frame";
            return false;
        }
        if (verdict != ACK) {
            error = "Unexpected modem response during update";
            return false;
        }
    }

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
                          TransferTally* tally, bool atMenu) {
    const int failed = static_cast<int>(UpdateResult::Failed);
    if (atMenu) {
        Report(progress, 0, "Starting fast update", "Modem at cmd: menu after its identity check");
    } else {
        Report(progress, 0, "Starting fast update", "Returning modem to cmd: menu");
        if (!EnterCommandMenu(link, error)) return Cancelled(link, error), failed;
    }

    static const char command[] = "UPDFAST\r";
    if (!WriteText(link, command, sizeof command - 1, error)) return Cancelled(link, error), failed;
    std::string received;
    std::string ignored;
    if (!ReadUntil(link, "Send handshake sequence", kReplyTimeoutMs, received, ignored)) {
        // A cancel is no answer from the modem: it says nothing about the firmware's support.
        if (link.LastFailure() == LinkFailure::Cancelled) return Cancelled(link, error), failed;
        error = "UPDFAST is not supported by this modem firmware";
        return static_cast<int>(UpdateResult::NotSupported);
    }

    if (!TransferUpdate(link, image, blockCount, kFastFrameSize, true, cancel, progress, error, tally)) return failed;
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
                             TransferTally* tally) {
    Report(progress, 0, "Starting legacy update", "Returning modem to cmd: menu");
    if (!EnterCommandMenu(link, error)) return Cancelled(link, error);

    static const char command[] = "UPDATE\r";
    if (!WriteText(link, command, sizeof command - 1, error)) return Cancelled(link, error);
    std::string received;
    if (!ReadUntil(link, "Send handshake sequence", kReplyTimeoutMs, received, error)) return Cancelled(link, error);

    return TransferUpdate(link, image, blockCount, kLegacyFrameSize, false, cancel, progress, error, tally);
}
