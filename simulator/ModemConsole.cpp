// The simulated modem's console: menu commands, identity, both update transfers, both log transfers, faults.
#include "simulator/ModemConsole.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "simulator/GeneratedLog.h"
#include "simulator/Sha256.h"
#include "discovery/SerialNumber.h"

namespace {

constexpr unsigned char kAck = 0x06;
constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kSyn = 0x16;
constexpr size_t kMaxLine = 256;
constexpr size_t kOversizedText = 1024 * 1024;

std::string Byte(unsigned char b) { return std::string(1, static_cast<char>(b)); }

// Text that contains none of the markers the tool waits for.
std::string Filler(size_t length) {
    static const std::string line = "syslog filler: link quality nominal, nothing to report\r\n";
    std::string text;
    text.reserve(length + line.size());
    while (text.size() < length) text += line;
    text.resize(length);
    return text;
}

// A word-wise check over frames as they complete; recomputed over the stored image before the verdict.
std::uint64_t CheckFrame(std::uint64_t check, const unsigned char* data, size_t length) {
    for (size_t i = 0; i + 8 <= length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        check = (check ^ word) * 0x100000001B3ull;
        check ^= check >> 29;
    }
    return check;
}

bool WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes, std::string& error) {
    std::string temporary = path + ".partial";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "cannot write " + temporary + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot store " + path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::string Shorten(const std::string& rendered) {
    if (rendered.size() <= 300) return rendered;
    return rendered.substr(0, 300) + "... (" + std::to_string(rendered.size()) + " characters rendered)";
}

}  // namespace

bool LogSource::Load(const SimOptions& options, std::string& error) {
    if (options.logContentFile.empty()) {
        fromFile_ = false;
        size_ = options.logSize;
        seed_ = options.logSeed;
        return true;
    }
    FILE* file = std::fopen(options.logContentFile.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot open log content " + options.logContentFile + ": " + std::strerror(errno);
        return false;
    }
    unsigned char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content_.insert(content_.end(), buffer, buffer + n);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = "cannot read log content " + options.logContentFile;
        return false;
    }
    fromFile_ = true;
    size_ = content_.size();
    return true;
}

void LogSource::Fill(std::uint64_t offset, unsigned char* out, size_t length) const {
    size_t real = offset >= size_ ? 0 : static_cast<size_t>(std::min<std::uint64_t>(length, size_ - offset));
    if (real > 0) {
        if (fromFile_) std::memcpy(out, content_.data() + offset, real);
        else FillGeneratedLog(seed_, offset, out, real);
    }
    std::memset(out + real, 0, length - real);
}

ModemConsole::ModemConsole(const SimOptions& options, EventLog& log, const LogSource& logSource)
    : options_(options), log_(log), logSource_(logSource), firmware_(options.firmware) {}

void ModemConsole::ResetSession() {
    queue_.clear();
    stream_ = Stream::None;
    image_.clear();
    image_.shrink_to_fit();
    countBytes_.clear();
    pieceRemaining_ = 0;
    lastWasCr_ = false;
    lineOverflow_ = false;
    readingStopped_ = false;
    flooding_ = false;
    stopAfterPiece_ = false;
    ToMenu();
}

void ModemConsole::Connect(Clock::time_point now) {
    ResetSession();
    lastActivity_ = now;
    if (options_.hostile == HostileKind::Oversized && options_.hostilePhase == HostilePhase::Connect) {
        log_.Event("hostile: 1 MiB of text without any prompt on connect");
        QueueText(Filler(kOversizedText), now);
    } else if (HostileAt(HostilePhase::Connect)) {
        StartHostile("on connect", now);
    }
}

void ModemConsole::Disconnect(Clock::time_point now) {
    if (deferred_) {  // the verdict already went out: the modem still keeps what it received
        deferred_();
        deferred_ = nullptr;
    }
    if (state_ != State::Menu && state_ != State::Dead) log_.Event("transfer in progress dropped with the link");
    ResetSession();
    lastActivity_ = now;
}

bool ModemConsole::HostileAt(HostilePhase phase) const {
    if (options_.hostilePhase != phase) return false;
    if (options_.hostile == HostileKind::Random || options_.hostile == HostileKind::Endless) return true;
    // In an update or a log download the modem stops reading in the middle of the transfer, not at its command.
    return StopsReading() && phase != HostilePhase::Update && phase != HostilePhase::Log;
}

bool ModemConsole::StopsReading() const {
    return options_.hostile == HostileKind::FloodOptions || options_.hostile == HostileKind::StopReading;
}

void ModemConsole::StopReading(const std::string& where) {
    flooding_ = options_.hostile == HostileKind::FloodOptions;
    log_.Event(std::string("hostile: no longer reading") +
               (flooding_ ? ", sending Telnet option requests without end, " : ", ") + where);
    readingStopped_ = true;
    stopAfterPiece_ = false;
    state_ = State::Dead;
    stream_ = Stream::None;
    pieceRemaining_ = 0;
    queue_.clear();
}

bool ModemConsole::InBinaryWait() const { return state_ != State::Menu && state_ != State::Dead; }

ModemConsole::Clock::time_point ModemConsole::QueueBase(Clock::time_point now) const {
    return queue_.empty() ? now : std::max(now, queue_.back().at);
}

void ModemConsole::QueueText(const std::string& text, Clock::time_point now) {
    if (options_.silent) {
        log_.Event("silent: reply suppressed");
        return;
    }
    if (text.empty()) return;
    log_.Tx(Shorten(RenderBytes(text)));
    Clock::time_point at = QueueBase(now);
    if (options_.dribbleMs == 0 || text.size() > 4096) {
        queue_.push_back({text, at, false});
        return;
    }
    size_t position = 0;
    size_t piece = 1;
    while (position < text.size()) {
        size_t take = std::min(piece, text.size() - position);
        queue_.push_back({text.substr(position, take), at, false});
        position += take;
        piece = piece == 1 ? 2 : 1;
        at += std::chrono::milliseconds(options_.dribbleMs);
    }
}

void ModemConsole::QueueBytes(const std::string& bytes, Clock::time_point now, unsigned delayMs) {
    if (options_.silent) return;
    Clock::time_point at = std::max(QueueBase(now), now + std::chrono::milliseconds(delayMs));
    queue_.push_back({bytes, at, false});
}

void ModemConsole::QueueHangup(Clock::time_point now) {
    queue_.push_back({std::string(), QueueBase(now), true});
    state_ = State::Dead;
}

void ModemConsole::Receive(const unsigned char* data, size_t length, Clock::time_point now) {
    if (Rebooting(now)) {
        log_.Rx(std::to_string(length) + " bytes ignored while restarting");
        return;
    }
    lastActivity_ = now;
    size_t position = 0;
    while (position < length && !readingStopped_) {
        size_t used = Consume(data + position, length - position, now);
        if (used == 0 && state_ != State::Menu) ToMenu();  // never loop on a byte
        position += used;
    }
}

size_t ModemConsole::Consume(const unsigned char* data, size_t length, Clock::time_point now) {
    unsigned char b = data[0];
    switch (state_) {
    case State::Menu:
        MenuByte(b, now);
        return 1;
    case State::Dead:
        log_.Rx(Shorten(RenderBytes(data, length)) + " (ignored: link dropped or modem misbehaving)");
        return length;
    case State::UpdStalled:
    case State::LogStalled:
        log_.Rx(Shorten(RenderBytes(data, length)) + " (ignored: stalled)");
        return length;
    case State::UpdHandshake:
        if (b != kAck) {
            AbandonTransfer("expected the handshake ACK, got <" + std::to_string(b) + ">");
            return 0;
        }
        log_.Rx("<6> handshake");
        {
            std::string header = {'\x1F', static_cast<char>(options_.badHeader ? 0xA5 : 0xA4),
                                  static_cast<char>(fastUpdate_ ? 0x01 : 0x00), '\x00', '\x01', '\x00'};
            if (Fault(FaultStep::Header, 0, std::string(), header, true, now)) return 1;
            log_.Tx("update header " + RenderBytes(header));
            QueueBytes(header, now);
        }
        state_ = State::UpdHeaderAck;
        return 1;
    case State::UpdHeaderAck:
        if (b != kAck) {
            AbandonTransfer("expected the header ACK, got <" + std::to_string(b) + ">");
            return 0;
        }
        log_.Rx("<6> header accepted");
        countBytes_.clear();
        state_ = State::UpdCount;
        return 1;
    case State::UpdCount: {
        countBytes_.push_back(static_cast<char>(b));
        if (countBytes_.size() < 2) return 1;
        unsigned count = (static_cast<unsigned char>(countBytes_[0]) << 8) | static_cast<unsigned char>(countBytes_[1]);
        log_.Rx(RenderBytes(countBytes_) + " block count " + std::to_string(count));
        if (Fault(FaultStep::Size, 0, std::string(), Byte(kAck), true, now)) return 1;
        if (options_.rejectSize || count == 0) {
            log_.Event(count == 0 ? "refusing a block count of 0" : "refusing the firmware size (--reject-size)");
            log_.Tx("<27> size refused");
            QueueBytes(Byte(kEsc), now);
            ToMenu();
            return 1;
        }
        image_.assign(static_cast<size_t>(count) * 256, 0);
        received_ = 0;
        frameFill_ = 0;
        framesDone_ = 0;
        totalFrames_ = static_cast<unsigned>((image_.size() + frameSize_ - 1) / frameSize_);
        runningCheck_ = 0xCBF29CE484222325ull;
        log_.Tx("<6> size accepted: " + std::to_string(image_.size()) + " bytes in " + std::to_string(totalFrames_) +
                " frames of up to " + std::to_string(frameSize_));
        QueueBytes(Byte(kAck), now);
        state_ = State::UpdFrames;
        return 1;
    }
    case State::UpdFrames: {
        if (options_.dropAfterBytesSet && received_ >= options_.dropAfterBytes) {
            log_.Event("dropping the link after " + std::to_string(received_) + " bytes of image data");
            log_.Rx(std::to_string(length) + " bytes after the drop point (discarded)");
            QueueHangup(now);
            return length;
        }
        std::uint64_t frameStart = static_cast<std::uint64_t>(framesDone_) * frameSize_;
        std::uint64_t frameLength = std::min<std::uint64_t>(frameSize_, image_.size() - frameStart);
        std::uint64_t take = std::min<std::uint64_t>(length, frameLength - frameFill_);
        if (options_.dropAfterBytesSet) take = std::min(take, options_.dropAfterBytes - received_);
        const bool stopHere = StopsReading() && options_.hostilePhase == HostilePhase::Update && framesDone_ == 0;
        if (stopHere && frameFill_ + take >= frameLength / 2) {
            take = frameLength / 2 - frameFill_;
            std::memcpy(image_.data() + received_, data, static_cast<size_t>(take));
            received_ += take;
            frameFill_ += take;
            StopReading("halfway through frame 1 (" + std::to_string(frameFill_) + " of " +
                        std::to_string(frameLength) + " bytes)");
            if (options_.hostile == HostileKind::StopReading && totalFrames_ > 1) {
                // The protocol side goes on as if the frames arrived: every frame but the last is acknowledged
                // unread, so the tool keeps writing until the link holds no more.
                log_.Tx("<6> x " + std::to_string(totalFrames_ - 1) + " for frames never read");
                QueueBytes(std::string(totalFrames_ - 1, static_cast<char>(kAck)), now);
            }
            return length;
        }
        std::memcpy(image_.data() + received_, data, static_cast<size_t>(take));
        received_ += take;
        frameFill_ += take;
        if (frameFill_ == frameLength) FrameComplete(now);
        if (options_.dropAfterBytesSet && received_ >= options_.dropAfterBytes && state_ == State::UpdFrames) {
            log_.Event("dropping the link after " + std::to_string(received_) + " bytes of image data");
            QueueHangup(now);
        }
        return static_cast<size_t>(take);
    }
    case State::LogWaitSyn:
        if (b == kEsc) {
            log_.Rx("<27> log download declined before it started");
            ToMenu();
            return 1;
        }
        if (b != kSyn) {
            AbandonTransfer("expected SYN after the log banner, got <" + std::to_string(b) + ">");
            return 0;
        }
        log_.Rx("<22> start of the log transfer");
        logOffset_ = 0;
        pieceNumber_ = 0;
        if (options_.logMode == LogMode::Fast) {
            logAnnounced_ = options_.logAnnounceSet ? options_.logAnnounce
                                                    : std::min<std::uint64_t>(logSource_.Size(), 0xFFFFFFFFull);
            if (options_.hostile == HostileKind::Oversized && options_.hostilePhase == HostilePhase::Log) {
                logAnnounced_ = 0xFFFFFFFFull;
                log_.Event("hostile: announcing the largest possible log");
            }
            std::string size = {static_cast<char>(logAnnounced_ >> 24), static_cast<char>(logAnnounced_ >> 16),
                                static_cast<char>(logAnnounced_ >> 8), static_cast<char>(logAnnounced_)};
            if (options_.faultStep == FaultStep::LogSize && options_.faultKind == FaultKind::Byte) {
                // A corrupted size field: the transfer goes on with whatever size the bytes now say.
                size[0] = static_cast<char>(options_.faultByte);
                logAnnounced_ = (logAnnounced_ & 0x00FFFFFFull) | (std::uint64_t{options_.faultByte} << 24);
                log_.Event("fault: logsize byte <" + std::to_string(options_.faultByte) + ">");
            } else if (Fault(FaultStep::LogSize, 0, std::string(), size, false, now)) {
                return 1;
            }
            log_.Tx(RenderBytes(size) + " log size " + std::to_string(logAnnounced_));
            QueueBytes(size, now);
            state_ = State::LogFastSizeAck;
        } else {
            std::uint64_t bytes = options_.logAnnounceSet ? options_.logAnnounce : logSource_.Size();
            logBlocks_ = (bytes + 255) / 256;
            if (options_.hostile == HostileKind::Oversized && options_.hostilePhase == HostilePhase::Log) {
                logBlocks_ = 65535;
                log_.Event("hostile: announcing the largest possible block count");
            }
            if (logBlocks_ > 65535) {
                log_.Event("log of " + std::to_string(bytes) + " bytes cut to 65535 legacy blocks");
                logBlocks_ = 65535;
            }
            std::string count = {static_cast<char>(logBlocks_ >> 8), static_cast<char>(logBlocks_)};
            if (options_.faultStep == FaultStep::LogSize && options_.faultKind == FaultKind::Byte) {
                count[0] = static_cast<char>(options_.faultByte);
                logBlocks_ = (logBlocks_ & 0xFFull) | (std::uint64_t{options_.faultByte} << 8);
                log_.Event("fault: logsize byte <" + std::to_string(options_.faultByte) + ">");
            } else if (Fault(FaultStep::LogSize, 0, std::string(), count, false, now)) {
                return 1;
            }
            log_.Tx(RenderBytes(count) + " log block count " + std::to_string(logBlocks_));
            QueueBytes(count, now);
            state_ = State::LogLegacyCountAck;
        }
        return 1;
    case State::LogFastSizeAck:
    case State::LogLegacyCountAck:
    case State::LogFastChunkAck:
    case State::LogLegacyBlockAck: {
        bool fast = state_ == State::LogFastSizeAck || state_ == State::LogFastChunkAck;
        bool sizeStep = state_ == State::LogFastSizeAck || state_ == State::LogLegacyCountAck;
        const char* piece = fast ? "chunk" : "block";
        if (b == kEsc) {
            if (sizeStep) log_.Rx("<27> the tool refused the announced size");
            else log_.Rx("<27> log transfer ended by the tool after " + std::string(piece) + " " +
                         std::to_string(pieceNumber_));
            stream_ = Stream::None;
            pieceRemaining_ = 0;
            ToMenu();
            return 1;
        }
        if (b != kAck) {
            AbandonTransfer("expected ACK or ESC in the log transfer, got <" + std::to_string(b) + ">");
            return 0;
        }
        if (pieceRemaining_ > 0) {
            AbandonTransfer(std::string("ACK arrived before ") + piece + " " + std::to_string(pieceNumber_) +
                            " was complete");
            return 1;
        }
        bool verbose = fast || pieceNumber_ < 3 || pieceNumber_ % 1024 == 0 || pieceNumber_ + 1 >= logBlocks_;
        if (verbose) {
            log_.Rx(sizeStep ? std::string("<6> size accepted")
                             : "<6> " + std::string(piece) + " " + std::to_string(pieceNumber_) + " acknowledged");
        }
        std::uint64_t total = fast ? logAnnounced_ : logBlocks_ * 256;
        if (logOffset_ >= total) {
            log_.Event("log sent: " + std::to_string(total) + " bytes in " + std::to_string(pieceNumber_) + " " +
                       piece + "s");
            ToMenu();
            return 1;
        }
        state_ = fast ? State::LogFastChunkAck : State::LogLegacyBlockAck;
        SendLogPiece(now);
        return 1;
    }
    }
    return 1;
}

void ModemConsole::MenuByte(unsigned char b, Clock::time_point now) {
    if (b == '\n' && lastWasCr_) {
        lastWasCr_ = false;
        return;
    }
    lastWasCr_ = b == '\r';
    if (b == '\r') {
        if (lineOverflow_) {
            log_.Rx(Shorten(RenderBytes(line_)) + "...<CR> (line too long, discarded)");
            lineOverflow_ = false;
            line_.clear();
            QueueText("\r\nLine too long\r\ncmd: ", now);
            return;
        }
        std::string line = line_;
        line_.clear();
        log_.Rx(RenderBytes(line) + "<CR>");
        Command(line, now);
        return;
    }
    if (b < 0x20 || b > 0x7E) {
        log_.Rx(RenderBytes(&b, 1) + " (ignored at the menu)");
        return;
    }
    if (line_.size() >= kMaxLine) {
        lineOverflow_ = true;
        return;
    }
    line_.push_back(static_cast<char>(b));
}

void ModemConsole::Command(const std::string& line, Clock::time_point now) {
    std::string echo = line + "\r\n";
    if (line == "QUIT") {
        if (HostileAt(HostilePhase::Quit)) return StartHostile("after QUIT", now);
        std::string filler;
        if (options_.hostile == HostileKind::Oversized && options_.hostilePhase == HostilePhase::Quit) {
            log_.Event("hostile: 1 MiB of text before the prompt");
            filler = Filler(kOversizedText);
        }
        QueueText(echo + filler + "cmd: ", now);
    } else if (line == "V ###") {
        if (HostileAt(HostilePhase::Identity)) return StartHostile("after V ###", now);
        Identity(echo, now);
    } else if (line == "UPDFAST") {
        if (HostileAt(HostilePhase::Update)) return StartHostile("after UPDFAST", now);
        if (options_.updfast == UpdfastVariant::Silent) {
            log_.Event("UPDFAST not offered by this firmware: no answer");
        } else if (options_.updfast == UpdfastVariant::Unknown) {
            QueueText(echo + "Unknown command\r\ncmd: ", now);
        } else {
            StartUpdate(true, echo, now);
        }
    } else if (line == "UPDATE") {
        if (HostileAt(HostilePhase::Update)) return StartHostile("after UPDATE", now);
        if (options_.noUpdate) QueueText(echo + "Unknown command\r\ncmd: ", now);
        else StartUpdate(false, echo, now);
    } else if (line == "SYS LOG GETFAST") {
        if (HostileAt(HostilePhase::Log)) return StartHostile("after SYS LOG GETFAST", now);
        StartLog(echo, now);
    } else if (line.empty()) {
        QueueText("\r\ncmd: ", now);
    } else {
        QueueText(echo + "Unknown command\r\ncmd: ", now);
    }
}

void ModemConsole::Identity(const std::string& echo, Clock::time_point now) {
    std::string type = options_.typeCode;
    if (options_.hostile == HostileKind::Oversized && options_.hostilePhase == HostilePhase::Identity) {
        log_.Event("hostile: a 1 MiB type code");
        type = std::string(kOversizedText, 'U');
    }
    std::string head = echo + "#0:" + type + "#1:" + firmware_;
    if (options_.noTerminator) {
        QueueText(head, now);
        return;
    }
    std::string full = head + "#2:" + SerialNumberText(options_.serialNumber) + "#3:" + options_.callSign + "\r\ncmd: ";
    if (options_.closeMidReply) {
        // Cut right after "#1:" so the part that arrives can never pass as a complete identity.
        std::string part = full.substr(0, full.find("#1:") + 3);
        QueueText(part, now);
        log_.Event("closing the link in the middle of the identity reply");
        QueueHangup(now);
        return;
    }
    QueueText(full, now);
}

void ModemConsole::StartUpdate(bool fast, const std::string& echo, Clock::time_point now) {
    fastUpdate_ = fast;
    frameSize_ = fast ? 65536 : 256;
    std::string filler;
    if (options_.hostile == HostileKind::Oversized && options_.hostilePhase == HostilePhase::Update) {
        log_.Event("hostile: 1 MiB of text before the handshake request");
        filler = Filler(kOversizedText);
    }
    log_.Event(std::string(fast ? "fast" : "legacy") + " update requested");
    if (Fault(FaultStep::Prompt, 0, echo + filler, "Send handshake sequence", true, now)) return;
    // Nothing may follow the marker: the tool reads the header right after it.
    QueueText(echo + filler + "Send handshake sequence", now);
    state_ = State::UpdHandshake;
}

void ModemConsole::FrameComplete(Clock::time_point now) {
    unsigned frame = ++framesDone_;
    std::uint64_t frameLength = frameFill_;
    frameFill_ = 0;
    runningCheck_ = CheckFrame(runningCheck_, image_.data() + (received_ - frameLength), static_cast<size_t>(frameLength));
    bool last = frame == totalFrames_;
    bool verbose = fastUpdate_ || frame <= 3 || frame % 1024 == 0 || last;
    if (verbose) {
        log_.Rx((fastUpdate_ ? "frame " : "block ") + std::to_string(frame) + "/" + std::to_string(totalFrames_) + ": " +
                std::to_string(frameLength) + " bytes");
    }
    if (Fault(FaultStep::Verdict, frame, std::string(), Byte(kAck), true, now)) {
        image_.clear();
        return;
    }
    if (options_.stallAfterFrame == frame) {
        log_.Event("stalling: no verdict for frame " + std::to_string(frame));
        state_ = State::UpdStalled;
        return;
    }
    unsigned char verdict = kAck;
    unsigned delayMs = 0;
    auto forced = options_.verdictBytes.find(frame);
    if (forced != options_.verdictBytes.end()) {
        verdict = forced->second;
        log_.Event("verdict byte <" + std::to_string(verdict) + "> for frame " + std::to_string(frame));
    } else if (options_.rejectFrame == frame) {
        verdict = kEsc;
        log_.Event("rejecting frame " + std::to_string(frame));
    } else if (last && fastUpdate_) {
        std::uint64_t check = 0xCBF29CE484222325ull;
        for (size_t offset = 0; offset < image_.size(); offset += frameSize_) {
            check = CheckFrame(check, image_.data() + offset,
                               static_cast<size_t>(std::min<std::uint64_t>(frameSize_, image_.size() - offset)));
        }
        if (check != runningCheck_) {
            verdict = kEsc;
            log_.Event("whole-image check failed: stored image differs from what was received");
        } else if (options_.badChecksum) {
            verdict = kEsc;
            log_.Event("whole-image check failed (--bad-checksum)");
        } else {
            log_.Event("whole-image check passed");
        }
        delayMs = options_.verifyDelayMs;
        if (delayMs > 0) log_.Event("verdict after " + std::to_string(delayMs) + " ms of verification");
    }
    if (verbose || verdict != kAck) {
        log_.Tx("<" + std::to_string(verdict) + "> verdict on frame " + std::to_string(frame));
    }
    QueueBytes(Byte(verdict), now, delayMs);
    if (verdict != kAck) {
        log_.Event("update ended by the modem");
        image_.clear();
        ToMenu();
        return;
    }
    if (!last) return;
    log_.Event(fastUpdate_ ? "update complete: the modem writes the image and reboots to its menu"
                           : "legacy update complete: every block acknowledged");
    auto image = std::make_shared<std::vector<unsigned char>>(std::move(image_));
    image_.clear();
    // Hashing and writing 16 MiB would delay the verdict; they follow once it is on the wire.
    deferred_ = [this, image]() {
        log_.Event("image stored: " + std::to_string(image->size()) + " bytes sha256 " +
                   Sha256Hex(image->data(), image->size()));
        if (!options_.imageFile.empty()) {
            std::string error;
            if (WriteWholeFile(options_.imageFile, *image, error)) log_.Event("image written to " + options_.imageFile);
            else log_.Event("image NOT written: " + error);
        }
    };
    deferredArmed_ = false;
    ToMenu();
    if (options_.reboot) {
        // The verdict goes out, then the modem restarts: the link drops and nothing answers for a while.
        QueueHangup(now);
        rebootEnd_ = QueueBase(now) + std::chrono::milliseconds(options_.rebootMs);
        if (!options_.firmwareAfter.empty()) firmware_ = options_.firmwareAfter;
        log_.Event("restarting: unreachable for " + std::to_string(options_.rebootMs) + " ms, then firmware " + firmware_);
    }
}

void ModemConsole::StartLog(const std::string& echo, Clock::time_point now) {
    std::string banner = echo;
    if (options_.logBannerPlain) banner += "System log\r\n";
    else banner += options_.logMode == LogMode::Fast ? "System log fast download.\r\n" : "System log download.\r\n";
    if (!options_.logBannerNoEsc) banner += "press <ESC> to exit.\r\n";
    log_.Event(std::string(options_.logMode == LogMode::Fast ? "fast" : "legacy") + " log download requested (" +
               std::to_string(logSource_.Size()) + " bytes)");
    if (Fault(FaultStep::Banner, 0, echo, banner.substr(echo.size()), false, now)) return;
    QueueText(banner, now);
    state_ = State::LogWaitSyn;
}

void ModemConsole::SendLogPiece(Clock::time_point now) {
    bool fast = options_.logMode == LogMode::Fast;
    std::uint64_t length = fast ? std::min<std::uint64_t>(65536, logAnnounced_ - logOffset_) : 256;
    ++pieceNumber_;
    const bool faultHere = options_.faultStep == FaultStep::Chunk && options_.faultNumber == pieceNumber_;
    pieceStalls_ = options_.logStallChunk == pieceNumber_ || (faultHere && options_.faultKind == FaultKind::Stall);
    pieceDrops_ = faultHere && options_.faultKind == FaultKind::Drop;
    if (faultHere) {
        log_.Event(std::string("fault: chunk ") + std::to_string(pieceNumber_) +
                   (pieceDrops_ ? " drop" : pieceStalls_ ? " stall" : " (byte faults do not apply to log data)"));
    }
    if (pieceDrops_) {
        pieceRemaining_ = length / 2;
        stream_ = Stream::LogData;
        if (pieceRemaining_ == 0) {
            stream_ = Stream::None;
            QueueHangup(now);
        }
        return;
    }
    pieceRemaining_ = pieceStalls_ ? length / 2 : length;
    stream_ = Stream::LogData;
    if (pieceNumber_ == 1 && StopsReading() && options_.hostilePhase == HostilePhase::Log) {
        // Flooding starts in the middle of the piece; a modem that merely stops reading sends it whole.
        if (options_.hostile == HostileKind::FloodOptions) pieceRemaining_ = length / 2;
        stopAfterPiece_ = true;
    }
    if (fast || pieceNumber_ <= 3 || pieceNumber_ % 1024 == 0 || pieceNumber_ == logBlocks_) {
        log_.Tx(std::string(fast ? "chunk " : "block ") + std::to_string(pieceNumber_) + ": " + std::to_string(length) +
                " bytes at offset " + std::to_string(logOffset_));
    }
    if (pieceStalls_) {
        log_.Event("stalling in the middle of " + std::string(fast ? "chunk " : "block ") +
                   std::to_string(pieceNumber_) + " after " + std::to_string(pieceRemaining_) + " of " +
                   std::to_string(length) + " bytes");
        if (pieceRemaining_ == 0) {
            stream_ = Stream::None;
            state_ = State::LogStalled;
        }
    }
}

void ModemConsole::StartHostile(const std::string& reason, Clock::time_point now) {
    if (StopsReading()) return StopReading(reason);
    log_.Event(std::string("hostile: endless ") +
               (options_.hostile == HostileKind::Random ? "random bytes " : "text without any marker ") + reason);
    state_ = State::Dead;
    stream_ = Stream::Hostile;
    streamKind_ = options_.hostile;
    streamStart_ = now;
    streamSent_ = 0;
}

bool ModemConsole::Fault(FaultStep step, unsigned number, const std::string& before, std::string answer, bool update,
                         Clock::time_point now) {
    if (options_.faultStep != step || options_.faultNumber != number) return false;
    static const char* const names[] = {"none", "prompt", "header", "size", "verdict", "banner", "logsize", "chunk"};
    std::string where = names[static_cast<int>(step)];
    if (number != 0) where += " " + std::to_string(number);
    if (!before.empty()) QueueText(before, now);
    switch (options_.faultKind) {
    case FaultKind::Drop:
        log_.Event("fault: " + where + " drop");
        QueueHangup(now);
        break;
    case FaultKind::Stall:
        log_.Event("fault: " + where + " stall");
        state_ = update ? State::UpdStalled : State::LogStalled;
        break;
    case FaultKind::Byte:
        log_.Event("fault: " + where + " byte <" + std::to_string(options_.faultByte) + ">");
        if (answer.empty()) answer = " ";
        answer[0] = static_cast<char>(options_.faultByte);
        log_.Tx(Shorten(RenderBytes(answer)));
        QueueBytes(answer, now);
        image_.clear();
        ToMenu();
        break;
    }
    return true;
}

void ModemConsole::AbandonTransfer(const std::string& why) {
    log_.Event("transfer abandoned: " + why);
    stream_ = Stream::None;
    pieceRemaining_ = 0;
    image_.clear();
    ToMenu();
}

void ModemConsole::TakeOutput(Clock::time_point now, size_t maxBytes, std::string& out, bool& hangup) {
    hangup = false;
    while (out.size() < maxBytes && !queue_.empty()) {
        Item& front = queue_.front();
        if (front.at > now) return;
        if (front.hangup) {
            hangup = true;
            queue_.clear();
            stream_ = Stream::None;
            return;
        }
        size_t take = std::min(maxBytes - out.size(), front.bytes.size());
        out.append(front.bytes, 0, take);
        if (take == front.bytes.size()) queue_.pop_front();
        else front.bytes.erase(0, take);
        lastActivity_ = now;
    }
    if (!queue_.empty()) return;
    if (deferred_) deferredArmed_ = true;
    if (out.size() >= maxBytes || options_.silent) return;
    size_t budget = maxBytes - out.size();
    if (stream_ == Stream::LogData && pieceRemaining_ > 0) {
        size_t take = static_cast<size_t>(std::min<std::uint64_t>(budget, pieceRemaining_));
        size_t start = out.size();
        out.resize(start + take);
        if (logOffset_ >= prefetchOffset_ && logOffset_ + take <= prefetchOffset_ + prefetch_.size()) {
            std::memcpy(&out[start], prefetch_.data() + (logOffset_ - prefetchOffset_), take);
        } else {
            logSource_.Fill(logOffset_, reinterpret_cast<unsigned char*>(&out[start]), take);
        }
        logOffset_ += take;
        pieceRemaining_ -= take;
        lastActivity_ = now;
        if (pieceRemaining_ == 0) {
            stream_ = Stream::None;
            if (pieceStalls_) state_ = State::LogStalled;
            if (pieceDrops_) QueueHangup(now);
            if (stopAfterPiece_) {
                StopReading(options_.hostile == HostileKind::FloodOptions ? "halfway through the first log piece"
                                                                          : "once the first log piece is out");
            }
        }
    } else if (stream_ == Stream::Hostile) {
        double elapsed = std::chrono::duration<double>(now - streamStart_).count();
        double allowed = elapsed * options_.hostileRate + 4096 - static_cast<double>(streamSent_);
        if (allowed < 1) return;
        size_t take = std::min(budget, static_cast<size_t>(allowed));
        if (streamKind_ == HostileKind::Random) {
            for (size_t i = 0; i < take; ++i) {
                randomState_ ^= randomState_ << 13;
                randomState_ ^= randomState_ >> 7;
                randomState_ ^= randomState_ << 17;
                out.push_back(static_cast<char>(randomState_ >> 24));
            }
        } else {
            while (endlessPending_.size() < take) {
                endlessPending_ += "syslog " + std::to_string(++endlessLine_) +
                                   ": link quality nominal, temperature 41 C, no alarms\r\n";
            }
            out.append(endlessPending_, 0, take);
            endlessPending_.erase(0, take);
        }
        streamSent_ += take;
    }
}

ModemConsole::Clock::time_point ModemConsole::NextWake(Clock::time_point now, bool includeOutput) const {
    Clock::time_point wake = Clock::time_point::max();
    if (includeOutput) {
        if (!queue_.empty()) wake = std::min(wake, std::max(now, queue_.front().at));
        else if (deferred_ && deferredArmed_) wake = now;
        else if (stream_ == Stream::LogData && pieceRemaining_ > 0) wake = now;
        else if (stream_ == Stream::Hostile && options_.hostileRate > 0) {
            double due = static_cast<double>(streamSent_) / options_.hostileRate;
            wake = std::min(wake, std::max(now, streamStart_ + std::chrono::duration_cast<Clock::duration>(
                                                                   std::chrono::duration<double>(due))));
        }
    }
    if (InBinaryWait()) wake = std::min(wake, lastActivity_ + std::chrono::milliseconds(options_.transferIdleMs));
    return wake;
}

void ModemConsole::PrefetchLogPiece() {
    const bool fast = state_ == State::LogFastChunkAck;
    if (!fast && state_ != State::LogLegacyBlockAck) return;
    if (stream_ != Stream::None || pieceRemaining_ != 0 || prefetchOffset_ == logOffset_) return;
    const std::uint64_t total = fast ? logAnnounced_ : logBlocks_ * 256;
    if (logOffset_ >= total) return;
    const size_t length = static_cast<size_t>(std::min<std::uint64_t>(fast ? 65536 : 256, total - logOffset_));
    prefetch_.resize(length);
    logSource_.Fill(logOffset_, reinterpret_cast<unsigned char*>(&prefetch_[0]), length);
    prefetchOffset_ = logOffset_;
}

void ModemConsole::Tick(Clock::time_point now, bool carrierIdle) {
    // While the tool takes in one log piece, the next one is made ready: its ACK then finds it waiting.
    if (carrierIdle) PrefetchLogPiece();
    if (deferred_ && deferredArmed_ && carrierIdle) {
        auto work = std::move(deferred_);
        deferred_ = nullptr;
        work();
    }
    if (InBinaryWait() && now - lastActivity_ >= std::chrono::milliseconds(options_.transferIdleMs)) {
        AbandonTransfer("no data for " + std::to_string(options_.transferIdleMs) + " ms");
    }
}
