// The ports a station watches on Windows: the serial ports the window lists, by name.
#include <algorithm>

#include "rollout/PortWatch.h"
#include "transport/Transport.h"

std::vector<std::string> ListMatchingPorts(const std::vector<std::string>& patterns) {
    std::vector<std::string> ports;
    for (const SerialPortInfo& info : EnumerateSerialPorts()) {
        const std::string name = WideToUtf8(info.portName);
        for (const std::string& pattern : patterns) {
            if (WildcardMatch(pattern, name, true)) {
                ports.push_back(name);
                break;
            }
        }
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}
