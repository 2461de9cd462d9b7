// Fuzz target: the printable rendering of received bytes, and the marker read over a scripted link.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "console/Console.h"
#include "support/ScriptedTransport.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

std::string Render(const std::string& text) {
    if (text.empty()) return "no data received";
    std::string out;
    for (unsigned char b : text) {
        if (b == 13) out += "<CR>";
        else if (b == 10) out += "<LF>";
        else if (b >= 32 && b <= 126) out += static_cast<char>(b);
        else out += "<" + std::to_string(b) + ">";
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t shape = in.Byte();
    const std::string marker = in.Take(in.Byte() % 17);
    const std::string stream = in.Rest();

    const std::string rendered = DiagnosticResponse(stream);
    FUZZ_CHECK(rendered == Render(stream));
    for (unsigned char c : rendered) FUZZ_CHECK(c >= 32 && c <= 126);

    // The stream arrives in pieces of 1 to (shape + 1) bytes; the fake clock makes the 5 s deadline instant.
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.SetRandomChunks(shape, static_cast<std::size_t>(shape % 64) + 1);
    link.Deliver(stream);
    std::string received = "left over from before";
    std::string error;
    const bool found = ReadUntil(link, marker, 5000, received, error);

    const bool expected = !stream.empty() && stream.find(marker) != std::string::npos;
    FUZZ_CHECK(found == expected);
    // The received text is bounded, and it is always a piece of what the modem sent.
    FUZZ_CHECK(received.size() <= 32768 + 1024);
    // It is exactly the newest part of what was read: nothing lost in the middle, nothing invented.
    const std::size_t consumed = stream.size() - link.PendingBytes();
    FUZZ_CHECK(received.size() <= consumed);
    FUZZ_CHECK(stream.compare(consumed - received.size(), received.size(), received) == 0);
    if (found) {
        FUZZ_CHECK(received.find(marker) != std::string::npos);
        // Reading stops at the piece that completed the marker: what was read before it lacked the marker.
        FUZZ_CHECK(consumed <= stream.find(marker) + marker.size() + 64);
    } else {
        FUZZ_CHECK(error == (received.empty() ? "No answer from the modem within 5 s while waiting for \"" + marker + "\""
                                              : "No \"" + marker + "\" from the modem within 5 s"));
        FUZZ_CHECK(link.PendingBytes() == 0);
    }
    FUZZ_CHECK(link.Written().empty());
    return 0;
}
