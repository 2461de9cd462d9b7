// Fuzz target: the whole log download over a scripted link whose modem stream is the fuzz input.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "modemlog/ModemLog.h"
#include "support/ScriptedTransport.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t shape = in.Byte();
    const std::string stream = in.Rest();

    FakeClock clock;
    ScriptedTransport link(&clock);
    link.SetRandomChunks(shape, static_cast<std::size_t>(shape % 128) + 1);
    link.Reply("QUIT\r", "QUIT\r\ncmd: ");
    link.Reply("SYS LOG GETFAST\r", stream);
    std::atomic<bool> cancel{false};
    std::vector<unsigned char> log;
    int lastPercent = -1;
    bool percentsInRange = true;
    const ProgressCallback progress = [&](int percent, const std::string&, const std::string&) {
        if (percent < 0 || percent > 100) percentsInRange = false;
        lastPercent = percent;
    };
    std::string error;
    const int result = DownloadModemLog(link, log, cancel, progress, error);

    FUZZ_CHECK(result >= 0 && result <= 2);
    FUZZ_CHECK(percentsInRange);
    // The size caps: nothing larger than the fast limit, the legacy count bounds its own transfer.
    FUZZ_CHECK(log.size() <= 536870912u);
    const std::string written = link.WrittenText();
    const std::string command = "QUIT\rSYS LOG GETFAST\r";
    FUZZ_CHECK(written.compare(0, command.size(), command) == 0);
    const std::string binary = written.substr(command.size());
    if (result == 2) {
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(log.empty());  // a failed download never leaves a log that could be saved
    } else {
        FUZZ_CHECK(lastPercent == 100 || (result == 1 && log.empty()));
        // After the start byte the tool sends only acknowledgements, one for the size and one per piece.
        FUZZ_CHECK(!binary.empty() && binary[0] == 0x16);
        for (std::size_t i = 1; i < binary.size(); ++i) FUZZ_CHECK(binary[i] == 0x06);
        const std::size_t piece = result == 0 ? 65536 : 256;
        FUZZ_CHECK(binary.size() == 2 + (log.size() + piece - 1) / piece);
        if (result == 1) FUZZ_CHECK(log.size() % 256 == 0 && log.size() <= 65535u * 256u);
        // Every log byte came from the stream, after the banner, in order.
        if (!log.empty()) {
            const std::string text(log.begin(), log.end());
            FUZZ_CHECK(stream.size() >= text.size() + 2);
            FUZZ_CHECK(stream.find(text) != std::string::npos);
        }
    }
    // Whatever happened, the tool's bytes are the command, then at most SYN, ACKs and one ESC at the end.
    for (std::size_t i = 1; i < binary.size(); ++i) {
        FUZZ_CHECK(binary[i] == 0x06 || (binary[i] == 0x1B && i + 1 == binary.size()));
    }
    return 0;
}
