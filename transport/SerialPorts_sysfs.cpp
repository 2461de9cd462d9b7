// Builds the serial port list from a sysfs tty class folder: which terminals are real ports and what to call them.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "transport/SerialPorts.h"

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute without its line end; false when it cannot be read.
bool ReadAttribute(const fs::path& file, std::string& value) {
    std::ifstream in(file);
    if (!in) return false;
    std::getline(in, value);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == ' ')) value.pop_back();
    return true;
}

// A UART slot of the serial core that no chip answered reports type 0 (PORT_UNKNOWN). The 8250 driver
// registers a fixed number of ttyS slots whatever hardware is present, so on most PCs ttyS0..ttyS31 exist
// although none or one of them has a UART behind it. Terminals without the attribute (USB adapters,
// modems) are not UART-core ports and are kept.
bool IsEmptyUartSlot(const fs::path& ttyDir) {
    std::string type;
    if (!ReadAttribute(ttyDir / "type", type)) return false;
    char* end = nullptr;
    const unsigned long value = std::strtoul(type.c_str(), &end, 10);
    return end == type.c_str() || value == 0;
}

// "manufacturer product" of the USB device the terminal belongs to, empty when it is not on USB.
std::string UsbName(const fs::path& ttyDir) {
    std::error_code ec;
    fs::path device = fs::canonical(ttyDir / "device", ec);
    if (ec) return {};
    // ttyUSB: device is the usb-serial port, two levels below the USB device; ttyACM: the interface, one below.
    for (int level = 0; level < 4 && !device.empty(); ++level) {
        if (fs::exists(device / "idVendor", ec)) {
            std::string manufacturer;
            std::string product;
            ReadAttribute(device / "manufacturer", manufacturer);
            ReadAttribute(device / "product", product);
            if (product.empty()) return manufacturer;
            if (manufacturer.empty() || product.compare(0, manufacturer.size(), manufacturer) == 0) return product;
            return manufacturer + " " + product;
        }
        const fs::path parent = device.parent_path();
        if (parent == device) break;
        device = parent;
    }
    return {};
}

// The udev by-id link name that points at /dev/<name>, empty when there is none.
std::string ByIdName(const fs::path& devDir, const std::string& name) {
    std::error_code ec;
    std::vector<std::string> matches;
    for (fs::directory_iterator it(devDir / "serial" / "by-id", ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(it->path(), linkError);
        if (!linkError && target.filename().u8string() == name) matches.push_back(it->path().filename().u8string());
    }
    if (matches.empty()) return {};
    std::sort(matches.begin(), matches.end());
    return matches.front();
}

}  // namespace

std::vector<SerialPortInfo> ListSysfsSerialPorts(const std::string& ttyClassDir, const std::string& devDir) {
    std::vector<SerialPortInfo> result;
    const fs::path classDir = fs::u8path(ttyClassDir);
    const fs::path dev = fs::u8path(devDir);
    std::error_code ec;
    for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path ttyDir = it->path();
        const std::string name = ttyDir.filename().u8string();
        std::error_code probe;
        // Virtual consoles, pseudo-terminals and the like have no device with a driver behind them.
        if (!fs::exists(ttyDir / "device" / "driver", probe)) continue;
        if (IsEmptyUartSlot(ttyDir)) continue;
        const fs::path node = dev / name;
        if (!fs::exists(node, probe)) continue;
        std::string label = UsbName(ttyDir);
        if (label.empty()) label = ByIdName(dev, name);
        SerialPortInfo info;
        info.portName = Utf8ToWide(node.u8string());
        info.displayName = label.empty() ? info.portName : Utf8ToWide(label + " (" + name + ")");
        result.push_back(info);
    }
    std::sort(result.begin(), result.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.portName < b.portName; });
    return result;
}
