// Fuzz target: the Telnet receive parser, against a byte-at-a-time model of its state table.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "transport/TelnetProtocol.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Outcome {
    Bytes data;
    Bytes replies;
};

struct Sink {
    Outcome& out;
    void Data(const unsigned char* bytes, std::size_t length) {
        FUZZ_CHECK(length > 0);
        out.data.insert(out.data.end(), bytes, bytes + length);
    }
    void Reply(unsigned char command, unsigned char option) {
        out.replies.push_back(telnet::kIac);
        out.replies.push_back(command);
        out.replies.push_back(option);
    }
};

bool Accepted(unsigned char option) { return option == 0 || option == 3 || option == 44; }

// The state table, one byte at a time, written independently of the parser's bulk paths.
Outcome Model(const Bytes& input) {
    Outcome out;
    int state = 0;
    unsigned char command = 0;
    for (unsigned char b : input) {
        switch (state) {
        case 0:
            if (b == 255) state = 1;
            else out.data.push_back(b);
            break;
        case 1:
            if (b == 255) {
                out.data.push_back(255);
                state = 0;
            } else if (b >= 251) {
                command = b;
                state = 2;
            } else if (b == 250) {
                state = 3;
            } else {
                state = 0;
            }
            break;
        case 2:
            if (command == 251 || command == 253) {
                const unsigned char reply = command == 251 ? (Accepted(b) ? 253 : 254) : (Accepted(b) ? 251 : 252);
                out.replies.insert(out.replies.end(), {255, reply, b});
            }
            state = 0;
            break;
        case 3:
            if (b == 255) state = 4;
            break;
        default:
            state = b == 240 ? 0 : 3;
            break;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    // The first bytes choose where the stream is cut into receives; the rest is the stream.
    std::vector<std::size_t> cuts;
    const unsigned pieces = in.Byte() % 8;
    for (unsigned i = 0; i < pieces; ++i) cuts.push_back(in.Byte());
    const std::string rest = in.Rest();
    const Bytes stream(rest.begin(), rest.end());

    Outcome parsed;
    Sink sink{parsed};
    int state = telnet::kStateData;
    unsigned char command = 0;
    std::size_t offset = 0;
    for (std::size_t cut : cuts) {
        const std::size_t n = cut < stream.size() - offset ? cut : stream.size() - offset;
        telnet::Parse(state, command, stream.data() + offset, n, sink);
        FUZZ_CHECK(state >= telnet::kStateData && state <= telnet::kStateSubnegotiationIac);
        offset += n;
    }
    telnet::Parse(state, command, stream.data() + offset, stream.size() - offset, sink);

    const Outcome expected = Model(stream);
    FUZZ_CHECK(parsed.data == expected.data);
    FUZZ_CHECK(parsed.replies == expected.replies);
    // Every reply is IAC, an answer command and an option, and never answers a refusal.
    FUZZ_CHECK(parsed.replies.size() % 3 == 0);
    for (std::size_t i = 0; i < parsed.replies.size(); i += 3) {
        FUZZ_CHECK(parsed.replies[i] == 255);
        FUZZ_CHECK(parsed.replies[i + 1] >= 251 && parsed.replies[i + 1] <= 254);
        const bool positive = parsed.replies[i + 1] == 251 || parsed.replies[i + 1] == 253;
        FUZZ_CHECK(positive == Accepted(parsed.replies[i + 2]));
    }
    // Data never grows: each output byte stands for at least one input byte.
    FUZZ_CHECK(parsed.data.size() + parsed.replies.size() / 3 * 3 <= stream.size() + parsed.replies.size());
    FUZZ_CHECK(parsed.data.size() <= stream.size());

    // What the sending side escapes comes back unchanged and provokes no reply.
    Bytes wire;
    telnet::Escape(stream.data(), stream.size(), wire);
    Outcome roundTrip;
    Sink roundSink{roundTrip};
    int roundState = telnet::kStateData;
    unsigned char roundCommand = 0;
    telnet::Parse(roundState, roundCommand, wire.data(), wire.size(), roundSink);
    FUZZ_CHECK(roundTrip.data == stream);
    FUZZ_CHECK(roundTrip.replies.empty());
    FUZZ_CHECK(roundState == telnet::kStateData);
    return 0;
}
