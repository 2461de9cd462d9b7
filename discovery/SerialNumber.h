// A modem's serial number as every output, file name and the simulator's identity reply write it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// "000000000000002A": sixteen hexadecimal digits in capitals.
inline std::string SerialNumberText(std::uint64_t serial) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(serial));
    return text;
}
