// Modem system log: the fast and legacy download behind "SYS LOG GETFAST", and saving it without losing a file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console/Console.h"
#include "transport/File.h"
#include "transport/Transport.h"

// 2^29: a larger announced fast log is refused before anything is allocated.
constexpr std::uint64_t kMaxFastLogSize = 536870912;

enum class LogDownloadResult : int {
    FastComplete = 0,
    LegacyComplete = 1,
    Failed = 2,
};

// Where a log goes as it arrives. Begin comes once the length is known (after the fast size passed its limit),
// then Append with the log's bytes in order, each piece before the modem is acknowledged for it. A false
// return ends the download with the sink's error; the modem gets ESC in place of that ACK.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual bool Begin(std::uint64_t length, std::string& error) = 0;
    virtual bool Append(const unsigned char* data, std::size_t length, std::string& error) = 0;
};

// The download into a sink; returns a LogDownloadResult as int. On Failed the sink holds an incomplete log.
// `tally` (may be null) gets the byte counts of each progress report that counts bytes.
int DownloadModemLogTo(ITransport& link, LogSink& sink, std::atomic<bool>& cancel, const ProgressCallback& progress,
                       std::string& error, TransferTally* tally = nullptr);

// The whole log in memory; returns a LogDownloadResult as int. A failure leaves `log` empty.
int DownloadModemLog(ITransport& link, std::vector<unsigned char>& log, std::atomic<bool>& cancel,
                     const ProgressCallback& progress, std::string& error);

// A log file written as the log arrives (see CreateReplacementFile): a new file beside `path` that replaces it
// on Finish; destroying an unfinished sink removes the new file and leaves an existing file as it was.
// Where no new file can be made beside it (or it has several hard links), `path` itself is written: InPlace.
class LogFileSink : public LogSink {
public:
    // "Cannot create the selected log file" when neither is possible.
    bool Open(const std::wstring& path, std::string& error);
    // A name chosen to be new (see CreateNewFile): Finish gives the log the first of `names` still free.
    bool OpenNew(const NewFileNames& names, std::string& error);
    bool InPlace() const;
    // A pipe, terminal, device or standard output, written as the log arrives.
    bool Stream() const;
    // The destination itself was changed: after a failure it holds part of a log.
    bool Changed() const;
    bool Begin(std::uint64_t length, std::string& error) override;
    // "Cannot write the selected log file" on failure.
    bool Append(const unsigned char* data, std::size_t length, std::string& error) override;
    // After a complete log: flushes to the device, closes and replaces the destination (or takes the new name).
    // "Cannot sync the folder of the selected log file" when the log is in place but its folder could not be
    // made durable.
    bool Finish(std::string& error);
    std::uint64_t BytesWritten() const { return written_; }
    // Where the log goes (for a new file, the name it took once finished).
    std::wstring Destination() const;
    // After a failed Finish: where the new log was kept ("the new log is kept as ..."), or empty.
    std::string KeptNote() const;
    // True once a file call failed; SystemError() is its code.
    bool Failed() const { return failed_; }
    unsigned long SystemError() const { return systemError_; }

private:
    bool Opened(std::string& error);
    bool Fail(const char* message, std::string& error);

    std::unique_ptr<ReplacementFile> file_;
    std::uint64_t written_ = 0;
    unsigned long systemError_ = 0;
    bool failed_ = false;
};

struct LogFileOutcome {
    std::uint64_t bytes = 0;  // log bytes written (the log's size on success)
    bool inPlace = false;     // a file written in place (its folder takes no new file, or it has other hard links)
    bool stream = false;      // a pipe, terminal, device or standard output (kStandardOutputName)
    bool incomplete = false;  // failed after the destination itself was changed: it holds part of a log
    bool fileFailed = false;  // the failure was the file's: `systemError` says why, `kept` where the log is
    unsigned long systemError = 0;
    std::string kept;         // after a failed commit: where the new (and old) log are, or empty
    std::wstring path;        // where the log went: the path given, or for a new file the name it took
};

// One target's whole log download into `path`, streamed: memory stays at one chunk whatever the log's size.
// The file is prepared before the modem is asked (a destination that cannot be written fails first), and
// replaces an existing file only once the whole log arrived and is on the device; on any failure or
// cancellation the existing file is untouched (unless InPlace) and no new file is left. Returns a
// LogDownloadResult as int.
int DownloadModemLogToFile(ITransport& link, const std::wstring& path, std::atomic<bool>& cancel,
                           const ProgressCallback& progress, LogFileOutcome& outcome, std::string& error,
                           TransferTally* tally = nullptr);
// The same into a name chosen to be new: the log replaces nothing and takes the first of `names` that is
// free when it is complete (outcome.path).
int DownloadModemLogToNewFile(ITransport& link, const NewFileNames& names, std::atomic<bool>& cancel,
                              const ProgressCallback& progress, LogFileOutcome& outcome, std::string& error,
                              TransferTally* tally = nullptr);

// What the user is told after a download into `path` (UTF-8) failed: the error, and for a failure of the
// file itself the file's name, the system's reason and where the log was kept.
std::string LogFileFailureText(const std::string& error, const std::string& path, const LogFileOutcome& outcome);
// The warning for a file written in place ("... was written in place ..., and is incomplete" after a failure
// that changed it); empty when the file was not written in place or a failure left it as it was.
std::string InPlaceNote(const std::string& path, const LogFileOutcome& outcome, bool ok);

// Writes the bytes unchanged, as LogFileSink does. A failed replacement says where the new log was kept.
bool SaveModemLogFile(const std::wstring& path, const std::vector<unsigned char>& log, std::string& error);
