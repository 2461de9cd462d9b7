// Fuzz target: the identity reply: completeness, field extraction, the model table and the whole check.
#include <cstddef>
#include <cstdint>
#include <string>

#include "console/Console.h"
#include "support/ScriptedTransport.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

// A marker counts when its value is non-empty and ended by "#", CR or LF.
bool Terminated(const std::string& text, const std::string& marker) {
    const std::size_t at = text.find(marker);
    if (at == std::string::npos) return false;
    const std::size_t start = at + marker.size();
    for (std::size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '#' || c == '\r' || c == '\n') return i > start;
    }
    return false;
}

std::string ModelField(const std::string& text, const std::string& marker) {
    const std::size_t at = text.find(marker);
    if (at == std::string::npos) return std::string();
    const std::size_t start = at + marker.size();
    std::size_t end = text.find('#', start);
    if (end == std::string::npos) end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    return text.substr(start, end - start);
}

void CheckText(const std::string& text) {
    FUZZ_CHECK(IdentityReplyComplete(text) == (Terminated(text, "#0:") && Terminated(text, "#1:")));
    for (const char* marker : {"#0:", "#1:", "#", ""}) {
        const std::string value = Field(text, marker);
        FUZZ_CHECK(value == ModelField(text, marker));
        FUZZ_CHECK(value.size() <= text.size());
    }
    const std::string type = Field(text, "#0:");
    FUZZ_CHECK(type.find('#') == std::string::npos);
    const std::string model = ModelForTypeCode(type);
    if (type != "U" && type != "I" && type != "B") FUZZ_CHECK(model == "Velmor modem (type " + type + ")");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t shape = in.Byte();
    const std::string reply = in.Rest();
    CheckText(reply);

    // The whole check: a modem that reaches its menu at once and then answers "V ###" with the input.
    FakeClock clock;
    ScriptedTransport link(&clock);
    link.SetRandomChunks(shape, static_cast<std::size_t>(shape % 32) + 1);
    link.Reply("QUIT\r", "QUIT\r\ncmd: ");
    link.Reply("V ###\r", reply);
    ModemIdentity identity;
    std::string error;
    const bool ok = CheckModemIdentity(link, identity, error);

    FUZZ_CHECK(link.WrittenText() == "QUIT\rV ###\r");  // nothing beyond the two commands, ever
    FUZZ_CHECK(identity.response.size() <= 32768 + 1024);
    FUZZ_CHECK(clock.Elapsed().count() <= 5000 + 5000 + 1000);
    if (ok) {
        FUZZ_CHECK(IdentityReplyComplete(identity.response));
        FUZZ_CHECK(!identity.firmware.empty());
        FUZZ_CHECK(identity.firmware == Field(identity.response, "#1:"));
        FUZZ_CHECK(identity.model == ModelForTypeCode(Field(identity.response, "#0:")));
        // The identity stops at the piece that completed it; the reply read so far is a prefix of the input.
        FUZZ_CHECK(reply.compare(0, identity.response.size(), identity.response) == 0 ||
                   reply.size() > 32768);
    } else {
        FUZZ_CHECK(!error.empty());
        const bool timedOut = error.rfind("No complete V ### reply from modem at scripted:1 within 5 s (", 0) == 0;
        FUZZ_CHECK(timedOut || error == "The V ### response is incomplete");
        if (timedOut) FUZZ_CHECK(!IdentityReplyComplete(reply.size() <= 32768 ? reply : std::string()));
    }
    return 0;
}
