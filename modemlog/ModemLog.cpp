// The modem system log: fast and legacy download behind "SYS LOG GETFAST", and a save that never loses a file.
#include "modemlog/ModemLog.h"

#include <cstring>

#include "console/Clock.h"
#include "transport/File.h"
#include "transport/SystemError.h"

namespace {

constexpr std::uint32_t kReplyTimeoutMs = 5000;
constexpr std::uint32_t kChunkTimeoutMs = 15000;
constexpr std::uint32_t kBlockTimeoutMs = 5000;
constexpr std::uint32_t kTextReadMs = 200;
constexpr std::size_t kScratchSize = 1024;
constexpr std::size_t kTextHighMark = 32768;
constexpr std::size_t kTextLowMark = 16384;
constexpr std::uint64_t kChunkSize = 65536;
constexpr std::size_t kBlockSize = 256;
constexpr std::size_t kWritePiece = 1048576;

const char kLogCommand[] = "SYS LOG GETFAST\r";
const char kBannerEnd[] = "press <ESC> to exit.\r\n";
const char kFastBanner[] = "System log fast download.";
const char kLegacyBanner[] = "System log download.";
const char kLegacyStage[] = "Reading modem log (legacy protocol)";

enum class Banner { Fast, Legacy };

void Report(const ProgressCallback& progress, int percent, const std::string& stage, const std::string& detail) {
    if (progress) progress(percent, stage, detail);
}

bool WriteByte(ITransport& link, unsigned char byte, std::string& error) { return link.Write(&byte, 1, error); }

// The modem only answers ESC by stopping; whether that byte got out changes nothing for the user.
void SendAbort(ITransport& link) {
    std::string ignored;
    WriteByte(link, ESC, ignored);
}

bool AwaitBanner(ITransport& link, Banner& banner, std::string& error) {
    const auto deadline = MonotonicNow() + std::chrono::milliseconds(kReplyTimeoutMs);
    std::string text;
    unsigned char scratch[kScratchSize];
    for (;;) {
        if (MonotonicNow() >= deadline) {
            error = "The modem did not start its log-download protocol (" + DiagnosticResponse(text) + ")";
            return false;
        }
        const int got = link.Read(scratch, sizeof scratch, kTextReadMs, error);
        if (got < 0) return false;
        if (got == 0) continue;
        text.append(reinterpret_cast<const char*>(scratch), static_cast<std::size_t>(got));
        if (text.find(kBannerEnd) != std::string::npos) {
            if (text.find(kFastBanner) != std::string::npos) {
                banner = Banner::Fast;
                return true;
            }
            if (text.find(kLegacyBanner) != std::string::npos) {
                banner = Banner::Legacy;
                return true;
            }
        }
        if (text.size() > kTextHighMark) text.erase(0, text.size() - kTextLowMark);
    }
}

int Cancelled(ITransport& link, std::string& error) {
    SendAbort(link);
    error = "Log download cancelled";
    return static_cast<int>(LogDownloadResult::Failed);
}

// A link failure once the modem is in its log mode: a cancel still tells the modem with ESC.
int LinkEnded(ITransport& link, std::string& error) {
    if (link.LastFailure() == LinkFailure::Cancelled) return Cancelled(link, error);
    return static_cast<int>(LogDownloadResult::Failed);
}

// A read of the step `during` names that failed: a deadline's message gets the step, the link's stays its own.
int ReadFailed(ITransport& link, const std::string& during, std::string& error) {
    if (link.LastFailure() == LinkFailure::None) error += " while waiting for " + during;
    return LinkEnded(link, error);
}

// One chunk or block. Its reads wait at most 250 ms each and look at the flag before each one, so that a
// cancellation is noticed within 250 ms even while the modem stalls inside a piece (a fast chunk may take
// 15 s); the caller then sends ESC as it does between pieces.
bool ReadPiece(ITransport& link, unsigned char* buffer, std::uint64_t length, std::uint32_t timeoutMs,
               const std::atomic<bool>& cancel, std::string& error) {
    return ReadExact(link, buffer, length, timeoutMs, &cancel, error);
}

// A sink that cannot keep the data stops the transfer as a cancellation does.
int SinkFailed(ITransport& link, std::string& error, const std::string& sinkError) {
    SendAbort(link);
    error = sinkError;
    return static_cast<int>(LogDownloadResult::Failed);
}

int FastTransfer(ITransport& link, LogSink& sink, std::atomic<bool>& cancel, const ProgressCallback& progress,
                 std::string& error, TransferTally* tally) {
    const int failed = static_cast<int>(LogDownloadResult::Failed);
    Report(progress, 0, "Reading modem log", "Block size: 65536 bytes");
    if (!WriteByte(link, SYN, error)) return LinkEnded(link, error);
    unsigned char field[4];
    if (!ReadExact(link, field, sizeof field, kReplyTimeoutMs, nullptr, error)) {
        return ReadFailed(link, "the log size", error);
    }
    const std::uint64_t size = (std::uint64_t{field[0]} << 24) | (std::uint64_t{field[1]} << 16) |
                               (std::uint64_t{field[2]} << 8) | std::uint64_t{field[3]};
    if (size > kMaxFastLogSize) {
        SendAbort(link);
        error = "The modem reported an implausible log size of " + std::to_string(size) + " bytes";
        return failed;
    }
    std::string sinkError;
    if (!sink.Begin(size, sinkError)) return SinkFailed(link, error, sinkError);
    if (!WriteByte(link, ACK, error)) return failed;
    if (size == 0) {
        Report(progress, 100, "Reading modem log", "The modem log is empty");
        return static_cast<int>(LogDownloadResult::FastComplete);
    }

    std::vector<unsigned char> chunkBuffer(static_cast<std::size_t>(kChunkSize < size ? kChunkSize : size));
    std::uint64_t received = 0;
    int lastPercent = -1;
    while (received < size) {
        if (cancel.load()) return Cancelled(link, error);
        const std::uint64_t chunk = kChunkSize < size - received ? kChunkSize : size - received;
        if (!ReadPiece(link, chunkBuffer.data(), chunk, kChunkTimeoutMs, cancel, error)) {
            if (cancel.load()) return Cancelled(link, error);
            return ReadFailed(link,
                              "log chunk " + std::to_string(received / kChunkSize + 1) + " of " +
                                  std::to_string((size + kChunkSize - 1) / kChunkSize),
                              error);
        }
        received += chunk;
        // The chunk just read stays unacknowledged: the modem learns of the cancellation instead.
        if (cancel.load()) return Cancelled(link, error);
        // Stored before it is acknowledged: a chunk that cannot be kept is refused with ESC in place of its ACK.
        if (!sink.Append(chunkBuffer.data(), static_cast<std::size_t>(chunk), sinkError)) {
            return SinkFailed(link, error, sinkError);
        }
        if (!WriteByte(link, ACK, error)) return failed;
        // 64-bit: received x 100 passes 32 bits for logs above about 42 MB.
        const int percent = static_cast<int>(received * 100 / size);
        if (percent != lastPercent) {
            ReportBytes(progress, tally, percent, "Reading modem log", "Received", received, size);
            lastPercent = percent;
        }
    }
    return static_cast<int>(LogDownloadResult::FastComplete);
}

int LegacyTransfer(ITransport& link, LogSink& sink, std::atomic<bool>& cancel, const ProgressCallback& progress,
                   std::string& error, TransferTally* tally) {
    const int failed = static_cast<int>(LogDownloadResult::Failed);
    if (!WriteByte(link, SYN, error)) return LinkEnded(link, error);
    unsigned char field[2];
    if (!ReadExact(link, field, sizeof field, kReplyTimeoutMs, nullptr, error)) {
        return ReadFailed(link, "the log's block count", error);
    }
    const std::uint64_t blockCount = (std::uint64_t{field[0]} << 8) | std::uint64_t{field[1]};
    const std::uint64_t length = blockCount * kBlockSize;
    std::string sinkError;
    if (!sink.Begin(length, sinkError)) return SinkFailed(link, error, sinkError);
    if (!WriteByte(link, ACK, error)) return failed;
    Report(progress, 0, kLegacyStage, "This firmware uses 256-byte log blocks");
    if (blockCount == 0) return static_cast<int>(LogDownloadResult::LegacyComplete);

    unsigned char block[kBlockSize];
    std::uint64_t blocks = 0;
    int lastPercent = -1;
    while (blocks < blockCount) {
        if (cancel.load()) return Cancelled(link, error);
        if (!ReadPiece(link, block, kBlockSize, kBlockTimeoutMs, cancel, error)) {
            if (cancel.load()) return Cancelled(link, error);
            return ReadFailed(link, "log block " + std::to_string(blocks + 1) + " of " + std::to_string(blockCount), error);
        }
        // A block that cannot be kept is refused with ESC in place of its ACK.
        if (!sink.Append(block, kBlockSize, sinkError)) return SinkFailed(link, error, sinkError);
        if (!WriteByte(link, ACK, error)) return failed;
        ++blocks;
        const int percent = static_cast<int>(blocks * 100 / blockCount);
        if (percent != lastPercent) {
            ReportBytes(progress, tally, percent, kLegacyStage, "Received", blocks * kBlockSize, length);
            lastPercent = percent;
        }
    }
    return static_cast<int>(LogDownloadResult::LegacyComplete);
}

// The whole log in memory, sized and zero-filled once the length is known.
class VectorSink : public LogSink {
public:
    explicit VectorSink(std::vector<unsigned char>& log) : log_(log) {}
    bool Begin(std::uint64_t length, std::string&) override {
        log_.assign(static_cast<std::size_t>(length), 0);
        return true;
    }
    bool Append(const unsigned char* data, std::size_t length, std::string&) override {
        std::memcpy(log_.data() + filled_, data, length);
        filled_ += length;
        return true;
    }

private:
    std::vector<unsigned char>& log_;
    std::size_t filled_ = 0;
};

bool WriteWhole(ReplacementFile& file, const unsigned char* data, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const std::size_t left = length - done;
        std::size_t written = 0;
        if (!file.Write(data + done, left < kWritePiece ? left : kWritePiece, written) || written == 0) return false;
        done += written;
    }
    return true;
}

}  // namespace

int DownloadModemLogTo(ITransport& link, LogSink& sink, std::atomic<bool>& cancel, const ProgressCallback& progress,
                       std::string& error, TransferTally* tally) {
    const int failed = static_cast<int>(LogDownloadResult::Failed);
    Report(progress, 0, "Preparing modem log", "Returning modem to cmd: menu");
    // Before the command the modem is at its menu, where ESC means nothing.
    if (!EnterCommandMenu(link, error) ||
        !link.Write(reinterpret_cast<const unsigned char*>(kLogCommand), sizeof kLogCommand - 1, error)) {
        if (link.LastFailure() == LinkFailure::Cancelled) error = "Log download cancelled";
        return failed;
    }

    // From the command on, the modem's log mode is left with ESC.
    Banner banner = Banner::Fast;
    if (!AwaitBanner(link, banner, error)) return LinkEnded(link, error);
    return banner == Banner::Fast ? FastTransfer(link, sink, cancel, progress, error, tally)
                                  : LegacyTransfer(link, sink, cancel, progress, error, tally);
}

int DownloadModemLog(ITransport& link, std::vector<unsigned char>& log, std::atomic<bool>& cancel,
                     const ProgressCallback& progress, std::string& error) {
    log.clear();
    VectorSink sink(log);
    const int result = DownloadModemLogTo(link, sink, cancel, progress, error);
    // A half-filled, zero-padded log must never be mistaken for the modem's log.
    if (result == static_cast<int>(LogDownloadResult::Failed)) {
        log.clear();
        log.shrink_to_fit();
    }
    return result;
}

bool LogFileSink::Open(const std::wstring& path, std::string& error) {
    file_ = CreateReplacementFile(path);
    return Opened(error);
}

bool LogFileSink::OpenNew(const NewFileNames& names, std::string& error) {
    file_ = CreateNewFile(names);
    return Opened(error);
}

bool LogFileSink::Opened(std::string& error) {
    return file_ ? true : Fail("Cannot create the selected log file", error);
}

// Keeps the system's code of the call that just failed, before anything else can change it.
bool LogFileSink::Fail(const char* message, std::string& error) {
    systemError_ = LastSystemError();
    failed_ = true;
    error = message;
    return false;
}

bool LogFileSink::InPlace() const { return file_ && file_->InPlace(); }

bool LogFileSink::Stream() const { return file_ && file_->Stream(); }

bool LogFileSink::Changed() const { return file_ && file_->Changed(); }

std::wstring LogFileSink::Destination() const { return file_ ? file_->Destination() : std::wstring(); }

std::string LogFileSink::KeptNote() const { return file_ ? file_->KeptNote() : std::string(); }

bool LogFileSink::Begin(std::uint64_t, std::string&) { return true; }

bool LogFileSink::Append(const unsigned char* data, std::size_t length, std::string& error) {
    if (!WriteWhole(*file_, data, length)) return Fail("Cannot write the selected log file", error);
    written_ += length;
    return true;
}

bool LogFileSink::Finish(std::string& error) {
    if (!file_->Flush()) return Fail("Cannot write the selected log file", error);
    if (!file_->Close()) return Fail("Cannot close the selected log file", error);
    if (!file_->Commit()) {
        return Fail(file_->Committed() ? "Cannot sync the folder of the selected log file" : "Cannot create the selected log file",
                    error);
    }
    return true;
}

namespace {

int DownloadIntoSink(ITransport& link, LogFileSink& sink, bool opened, std::atomic<bool>& cancel,
                     const ProgressCallback& progress, LogFileOutcome& outcome, std::string& error, TransferTally* tally) {
    const int failed = static_cast<int>(LogDownloadResult::Failed);
    int result = failed;
    // The file first: a destination that cannot be written is known before the modem is asked for anything.
    if (opened) {
        outcome.stream = sink.Stream();
        outcome.inPlace = sink.InPlace() && !outcome.stream;
        result = DownloadModemLogTo(link, sink, cancel, progress, error, tally);
        if (result != failed && !sink.Finish(error)) result = failed;
    }
    // A download that ended on the modem's side or on a cancel is not the file's failure.
    outcome.fileFailed = sink.Failed();
    outcome.systemError = sink.SystemError();
    outcome.kept = sink.KeptNote();
    outcome.bytes = sink.BytesWritten();
    outcome.incomplete = result == failed && sink.Changed();
    return result;
}

}  // namespace

int DownloadModemLogToFile(ITransport& link, const std::wstring& path, std::atomic<bool>& cancel,
                           const ProgressCallback& progress, LogFileOutcome& outcome, std::string& error,
                           TransferTally* tally) {
    outcome = LogFileOutcome();
    LogFileSink sink;
    const bool opened = sink.Open(path, error);
    outcome.path = path;
    return DownloadIntoSink(link, sink, opened, cancel, progress, outcome, error, tally);
}

int DownloadModemLogToNewFile(ITransport& link, const NewFileNames& names, std::atomic<bool>& cancel,
                              const ProgressCallback& progress, LogFileOutcome& outcome, std::string& error,
                              TransferTally* tally) {
    outcome = LogFileOutcome();
    LogFileSink sink;
    const bool opened = sink.OpenNew(names, error);
    const int result = DownloadIntoSink(link, sink, opened, cancel, progress, outcome, error, tally);
    outcome.path = opened ? sink.Destination() : names(0);
    return result;
}

std::string LogFileFailureText(const std::string& error, const std::string& path, const LogFileOutcome& outcome) {
    if (!outcome.fileFailed) return error;
    std::string text = error + " " + path + ": " + WindowsError(outcome.systemError);
    if (!outcome.kept.empty()) text += " (" + outcome.kept + ")";
    return text;
}

std::string InPlaceNote(const std::string& path, const LogFileOutcome& outcome, bool ok) {
    if (!outcome.inPlace || (!ok && !outcome.incomplete)) return std::string();
    std::string note = path + " was written in place (its folder takes no new file, or it has other hard links)";
    if (!ok) note += " and is incomplete";
    return note;
}

bool SaveModemLogFile(const std::wstring& path, const std::vector<unsigned char>& log, std::string& error) {
    // The new content goes to a file of its own beside the destination and replaces it only when complete,
    // so a failure at any step leaves an existing file exactly as it was.
    LogFileSink sink;
    if (!sink.Open(path, error)) return false;
    if (sink.Append(log.data(), log.size(), error) && sink.Finish(error)) return true;
    const std::string kept = sink.KeptNote();
    if (!kept.empty()) error += " (" + kept + ")";
    return false;
}
