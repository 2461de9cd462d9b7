// Tests of the Telnet byte layer on its own: receive parsing, option answers and 255 doubling.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "transport/TelnetProtocol.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Of(std::initializer_list<int> values) {
    Bytes bytes;
    for (int v : values) bytes.push_back(static_cast<unsigned char>(v));
    return bytes;
}

Bytes Text(const char* text) { return Bytes(text, text + std::char_traits<char>::length(text)); }

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct Outcome {
    Bytes data;
    Bytes replies;  // every reply as it would go on the wire: 255, command, option
    int state = telnet::kStateData;
    unsigned char command = 0;
    int dataCalls = 0;
};

struct CollectingSink {
    Outcome& outcome;
    void Data(const unsigned char* bytes, size_t length) {
        ASSERT_GT(length, 0u) << "empty data runs are not handed out";
        outcome.data.insert(outcome.data.end(), bytes, bytes + length);
        ++outcome.dataCalls;
    }
    void Reply(unsigned char command, unsigned char option) {
        outcome.replies.push_back(telnet::kIac);
        outcome.replies.push_back(command);
        outcome.replies.push_back(option);
    }
};

// Feeds `input` cut at the given sizes (the rest in one piece).
Outcome ParseInPieces(const Bytes& input, const std::vector<size_t>& pieces) {
    Outcome outcome;
    CollectingSink sink{outcome};
    size_t offset = 0;
    for (size_t piece : pieces) {
        const size_t n = std::min(piece, input.size() - offset);
        telnet::Parse(outcome.state, outcome.command, input.data() + offset, n, sink);
        offset += n;
    }
    telnet::Parse(outcome.state, outcome.command, input.data() + offset, input.size() - offset, sink);
    return outcome;
}

Outcome ParseWhole(const Bytes& input) { return ParseInPieces(input, {}); }

// The receive table read literally, one byte at a time: the oracle for the bulk implementation.
Outcome ReferenceParse(const Bytes& input) {
    Outcome out;
    for (unsigned char b : input) {
        switch (out.state) {
        case 0:
            if (b == 255) out.state = 1;
            else out.data.push_back(b);
            break;
        case 1:
            if (b == 255) { out.data.push_back(255); out.state = 0; }
            else if (b >= 251) { out.command = b; out.state = 2; }
            else if (b == 250) out.state = 3;
            else out.state = 0;
            break;
        case 2: {
            const bool ok = b == 0 || b == 3 || b == 44;
            int reply = 0;
            if (out.command == 251) reply = ok ? 253 : 254;
            if (out.command == 253) reply = ok ? 251 : 252;
            if (reply != 0) {
                out.replies.push_back(255);
                out.replies.push_back(static_cast<unsigned char>(reply));
                out.replies.push_back(b);
            }
            out.state = 0;
            break;
        }
        case 3:
            if (b == 255) out.state = 4;
            break;
        default:
            out.state = b == 240 ? 0 : 3;
            break;
        }
    }
    return out;
}

// A stream rich in the awkward cases: plain runs, escaped 255s, offers of every kind, odd commands,
// subnegotiations holding 255 pairs and stray IACs.
Bytes RandomTelnetStream(std::mt19937& random, size_t elements) {
    Bytes stream;
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int> byte(0, 255);
    const int options[] = {0, 1, 3, 24, 31, 44, 255};
    for (size_t i = 0; i < elements; ++i) {
        switch (kind(random)) {
        case 0: case 1: case 2: {
            const int run = byte(random) % 40 + 1;
            for (int k = 0; k < run; ++k) {
                const unsigned char b = static_cast<unsigned char>(byte(random) % 255);  // never 255
                stream.push_back(b);
            }
            break;
        }
        case 3: stream.push_back(255); stream.push_back(255); break;
        case 4: case 5:
            stream.push_back(255);
            stream.push_back(static_cast<unsigned char>(251 + byte(random) % 4));
            stream.push_back(static_cast<unsigned char>(options[byte(random) % 7]));
            break;
        case 6:
            stream.push_back(255);
            stream.push_back(static_cast<unsigned char>(byte(random) % 250));
            break;
        case 7: {
            stream.push_back(255);
            stream.push_back(250);
            const int len = byte(random) % 8;
            for (int k = 0; k < len; ++k) stream.push_back(static_cast<unsigned char>(byte(random)));
            if (byte(random) % 3 == 0) { stream.push_back(255); stream.push_back(255); }
            stream.push_back(255);
            stream.push_back(240);
            break;
        }
        default:
            stream.push_back(static_cast<unsigned char>(byte(random)));  // anything, a lone IAC included
            break;
        }
    }
    return stream;
}

TEST(TelnetParser, OffersAreAnsweredByTheFixedPolicy) {
    struct Case {
        Bytes input;
        Bytes replies;
    };
    const Case cases[] = {
        {Of({255, 251, 1}), Of({255, 254, 1})},     // WILL echo -> DONT
        {Of({255, 253, 24}), Of({255, 252, 24})},   // DO terminal type -> WONT
        {Of({255, 251, 3}), Of({255, 253, 3})},     // WILL suppress go-ahead -> DO
        {Of({255, 253, 0}), Of({255, 251, 0})},     // DO binary -> WILL
        {Of({255, 253, 44}), Of({255, 251, 44})},   // DO COM-port control -> WILL
        {Of({255, 251, 0}), Of({255, 253, 0})},
        {Of({255, 251, 44}), Of({255, 253, 44})},
        {Of({255, 253, 3}), Of({255, 251, 3})},
        {Of({255, 251, 255}), Of({255, 254, 255})},
        {Of({255, 252, 3}), Bytes()},               // refusals are never answered
        {Of({255, 254, 3}), Bytes()},
        {Of({255, 252, 1}), Bytes()},
        {Of({255, 254, 24}), Bytes()},
        // No table of option states: a repeated offer gets a repeated answer.
        {Of({255, 251, 1, 255, 251, 1}), Of({255, 254, 1, 255, 254, 1})},
        {Of({255, 253, 3, 255, 251, 3}), Of({255, 251, 3, 255, 253, 3})},
    };
    for (const Case& c : cases) {
        const Outcome outcome = ParseWhole(c.input);
        EXPECT_EQ(outcome.replies, c.replies) << "input size " << c.input.size() << " option " << int(c.input[2]);
        EXPECT_TRUE(outcome.data.empty());
        EXPECT_EQ(outcome.state, telnet::kStateData);
    }
}

TEST(TelnetParser, DataSurvivesAndProtocolBytesAreRemoved) {
    // An escaped 255 is one data byte; CR, LF and NUL pass untouched.
    EXPECT_EQ(ParseWhole(Of({255, 255})).data, Of({255}));
    EXPECT_EQ(ParseWhole(Of({'a', 13, 10, 0, 255, 255, 255, 255, 'b'})).data, Of({'a', 13, 10, 0, 255, 255, 'b'}));

    // A subnegotiation disappears whole, 255 pairs inside it included.
    const Outcome sub = ParseWhole(Join({Of({255, 250, 44, 1, 255, 255, 2, 255, 240}), Text("ABC")}));
    EXPECT_EQ(sub.data, Text("ABC"));
    EXPECT_TRUE(sub.replies.empty());

    // Inside a subnegotiation only IAC SE ends it; IAC followed by anything else stays inside.
    const Outcome stray = ParseWhole(Join({Of({255, 250, 24, 255, 1, 'x', 240, 255, 240}), Text("Z")}));
    EXPECT_EQ(stray.data, Text("Z"));

    // An option byte of 255 is an option, not an IAC: what follows is data again.
    EXPECT_EQ(ParseWhole(Of({255, 251, 255, 'q'})).data, Text("q"));
}

TEST(TelnetParser, EveryOtherCommandIsDroppedWithItsIac) {
    for (int command = 0; command <= 249; ++command) {
        const Outcome outcome = ParseWhole(Of({'X', 255, command, 'Y'}));
        EXPECT_EQ(outcome.data, Text("XY")) << "command " << command;
        EXPECT_TRUE(outcome.replies.empty()) << "command " << command;
        EXPECT_EQ(outcome.state, telnet::kStateData) << "command " << command;
    }
}

TEST(TelnetParser, StateCarriesACommandAcrossReceives) {
    Outcome outcome;
    CollectingSink sink{outcome};
    const Bytes first = Of({'o', 'k', 255});
    telnet::Parse(outcome.state, outcome.command, first.data(), first.size(), sink);
    EXPECT_EQ(outcome.state, telnet::kStateCommand);
    EXPECT_TRUE(outcome.replies.empty());

    const Bytes second = Of({253});
    telnet::Parse(outcome.state, outcome.command, second.data(), second.size(), sink);
    EXPECT_EQ(outcome.state, telnet::kStateOption);

    const Bytes third = Of({3, '!'});
    telnet::Parse(outcome.state, outcome.command, third.data(), third.size(), sink);
    EXPECT_EQ(outcome.replies, Of({255, 251, 3}));
    EXPECT_EQ(outcome.data, Text("ok!"));
    EXPECT_EQ(outcome.state, telnet::kStateData);

    // A subnegotiation left open stays open until its IAC SE arrives in a later piece.
    const Outcome open = ParseInPieces(Join({Of({255, 250, 1, 2}), Text("hidden"), Of({255}), Of({240}), Text("shown")}),
                                       {4, 6, 1});
    EXPECT_EQ(open.data, Text("shown"));
}

TEST(TelnetParser, PlainRunsComeOutInBulk) {
    // A run without IAC is handed over in one piece, not byte by byte.
    Bytes run(5000, 'r');
    const Outcome outcome = ParseWhole(run);
    EXPECT_EQ(outcome.data, run);
    EXPECT_EQ(outcome.dataCalls, 1);
}

TEST(TelnetParser, ChunkingNeverChangesTheResult) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 200; ++round) {
        const Bytes stream = RandomTelnetStream(random, 60);
        const Outcome reference = ReferenceParse(stream);
        const Outcome whole = ParseWhole(stream);
        ASSERT_EQ(whole.data, reference.data) << "round " << round;
        ASSERT_EQ(whole.replies, reference.replies) << "round " << round;
        ASSERT_EQ(whole.state, reference.state) << "round " << round;

        const Outcome byteByByte = ParseInPieces(stream, std::vector<size_t>(stream.size(), 1));
        ASSERT_EQ(byteByByte.data, whole.data) << "round " << round;
        ASSERT_EQ(byteByByte.replies, whole.replies) << "round " << round;
        ASSERT_EQ(byteByByte.state, whole.state) << "round " << round;

        for (int cut = 0; cut < 5; ++cut) {
            std::vector<size_t> pieces;
            std::uniform_int_distribution<size_t> size(0, 17);
            for (size_t total = 0; total < stream.size();) {
                const size_t piece = size(random);
                pieces.push_back(piece);
                total += piece;
            }
            const Outcome chunked = ParseInPieces(stream, pieces);
            ASSERT_EQ(chunked.data, whole.data) << "round " << round << " cut " << cut;
            ASSERT_EQ(chunked.replies, whole.replies) << "round " << round << " cut " << cut;
            ASSERT_EQ(chunked.state, whole.state) << "round " << round << " cut " << cut;
        }
    }
}

TEST(TelnetEscape, DoublesEvery255AndNothingElse) {
    Bytes wire;
    telnet::Escape(Of({255}).data(), 1, wire);
    EXPECT_EQ(wire, Of({255, 255}));

    wire.clear();
    const Bytes plain = Of({13, 10, 0, 254, 240, 250});
    telnet::Escape(plain.data(), plain.size(), wire);
    EXPECT_EQ(wire, plain);

    wire.clear();
    telnet::Escape(Of({255, 255, 'a', 255}).data(), 4, wire);
    EXPECT_EQ(wire, Of({255, 255, 255, 255, 'a', 255, 255}));

    // Appends rather than replaces.
    wire = Of({'p'});
    telnet::Escape(Of({255, 'b'}).data(), 2, wire);
    EXPECT_EQ(wire, Of({'p', 255, 255, 'b'}));
}

TEST(TelnetEscape, RoundTripsThroughTheParser) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 50; ++round) {
        Bytes data(static_cast<size_t>(byte(random) * 8));
        for (unsigned char& b : data) b = static_cast<unsigned char>(byte(random) < 64 ? 255 : byte(random));
        Bytes wire;
        telnet::Escape(data.data(), data.size(), wire);
        size_t count255 = 0;
        for (unsigned char b : data) count255 += b == 255;
        EXPECT_EQ(wire.size(), data.size() + count255);
        const Outcome back = ParseWhole(wire);
        EXPECT_EQ(back.data, data);
        EXPECT_TRUE(back.replies.empty());
        EXPECT_EQ(back.state, telnet::kStateData);
    }
}

}  // namespace
