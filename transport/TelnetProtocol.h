// The Telnet byte layer of the modem link: the receive parser with its option policy, and 255 doubling on send.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

namespace telnet {

constexpr unsigned char kIac = 255;
constexpr unsigned char kDont = 254;
constexpr unsigned char kDo = 253;
constexpr unsigned char kWont = 252;
constexpr unsigned char kWill = 251;
constexpr unsigned char kSb = 250;
constexpr unsigned char kSe = 240;

// Parser states; they survive between receives because a command may be split over two of them.
enum State : int {
    kStateData = 0,
    kStateCommand = 1,         // after IAC
    kStateOption = 2,          // after IAC WILL/WONT/DO/DONT, waiting for the option byte
    kStateSubnegotiation = 3,  // inside IAC SB ... , discarding
    kStateSubnegotiationIac = 4,
};

// The options the modem may switch on: binary transmission, suppress go-ahead, COM-port control.
inline bool IsAcceptedOption(unsigned char option) { return option == 0 || option == 3 || option == 44; }

// The answer to an offer: DO/DONT for WILL, WILL/WONT for DO, and 0 (no answer) for WONT and DONT,
// so that a refusal is never answered and no negotiation loop can start.
inline unsigned char ReplyCommand(unsigned char command, unsigned char option) {
    const bool accepted = IsAcceptedOption(option);
    if (command == kWill) return accepted ? kDo : kDont;
    if (command == kDo) return accepted ? kWill : kWont;
    return 0;
}

// Feeds `length` received bytes through the parser. Data comes out in runs through
// sink.Data(const unsigned char*, size_t) (a run points into `bytes`, or at a single 255 of an
// escaped pair); each reply through sink.Reply(command, option), in stream order. The outcome does
// not depend on how the stream is cut into calls.
template <typename Sink>
void Parse(int& state, unsigned char& command, const unsigned char* bytes, size_t length, Sink& sink) {
    static const unsigned char kEscapedIac = kIac;
    const unsigned char* p = bytes;
    const unsigned char* const end = bytes + length;
    while (p < end) {
        switch (state) {
        case kStateData: {
            // Bulk path: everything up to the next IAC is plain data.
            const void* found = std::memchr(p, kIac, static_cast<size_t>(end - p));
            const unsigned char* stop = found != nullptr ? static_cast<const unsigned char*>(found) : end;
            if (stop > p) sink.Data(p, static_cast<size_t>(stop - p));
            p = stop;
            if (p < end) {
                ++p;
                state = kStateCommand;
            }
            break;
        }
        case kStateCommand: {
            const unsigned char b = *p++;
            if (b == kIac) {
                sink.Data(&kEscapedIac, 1);
                state = kStateData;
            } else if (b >= kWill) {
                command = b;
                state = kStateOption;
            } else if (b == kSb) {
                state = kStateSubnegotiation;
            } else {
                state = kStateData;  // NOP, GA, SE and every other command carry no data
            }
            break;
        }
        case kStateOption: {
            const unsigned char option = *p++;
            const unsigned char reply = ReplyCommand(command, option);
            if (reply != 0) sink.Reply(reply, option);
            state = kStateData;
            break;
        }
        case kStateSubnegotiation: {
            const void* found = std::memchr(p, kIac, static_cast<size_t>(end - p));
            if (found == nullptr) {
                p = end;
            } else {
                p = static_cast<const unsigned char*>(found) + 1;
                state = kStateSubnegotiationIac;
            }
            break;
        }
        default: {  // kStateSubnegotiationIac
            // Only IAC SE ends it; IAC IAC and anything else stay part of the discarded payload.
            state = *p++ == kSe ? kStateData : kStateSubnegotiation;
            break;
        }
        }
    }
}

// Appends the wire form of `data` to `wire`: every 255 doubled, every other byte unchanged.
inline void Escape(const unsigned char* data, size_t length, std::vector<unsigned char>& wire) {
    const unsigned char* p = data;
    const unsigned char* const end = data + length;
    while (p < end) {
        const void* found = std::memchr(p, kIac, static_cast<size_t>(end - p));
        const unsigned char* stop = found != nullptr ? static_cast<const unsigned char*>(found) + 1 : end;
        wire.insert(wire.end(), p, stop);
        if (found != nullptr) wire.push_back(kIac);
        p = stop;
    }
}

}  // namespace telnet
