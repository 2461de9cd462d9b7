// Fuzz target: decoding of a discovery reply datagram, against the reply layout read field by field.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "discovery/Discovery.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DiscoveredModem modem;
    modem.address = "198.18.0.9";
    const bool decoded = DecodeDiscoveryReply(data, size, modem);
    const bool valid = size >= 32 && std::memcmp(data, "QDSC", 4) == 0;
    FUZZ_CHECK(decoded == valid);
    if (!decoded) return 0;

    FUZZ_CHECK(modem.address == "198.18.0.9");  // the address comes from the datagram's source, not its bytes
    FUZZ_CHECK(modem.statusByte == data[5]);
    std::uint64_t serial = 0;
    for (int i = 0; i < 8; ++i) serial = serial * 256 + data[12 + i];
    FUZZ_CHECK(modem.serialNumber == serial);
    FUZZ_CHECK(modem.port == data[20] * 256 + data[21]);

    std::string sign;
    for (int i = 23; i < 32 && data[i] != 0; ++i) sign.push_back(static_cast<char>(data[i]));
    while (!sign.empty() && sign.back() == ' ') sign.pop_back();
    FUZZ_CHECK(modem.callSign == sign);
    FUZZ_CHECK(modem.callSign.size() <= 9);
    FUZZ_CHECK(modem.callSign.find('\0') == std::string::npos);

    const std::string key = DiscoveryKey(modem);
    FUZZ_CHECK(key == "198.18.0.9:" + std::to_string(modem.port));
    return 0;
}
