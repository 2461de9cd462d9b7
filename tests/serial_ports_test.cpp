// Serial port list tests: the sysfs-based listing over a fake tree, and the listing of the machine the tests run on.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "transport/SerialPorts.h"
#include "transport/Transport.h"

namespace fs = std::filesystem;

namespace {

// A throw-away sysfs and /dev look-alike under the temp folder.
class FakeSysfs {
public:
    FakeSysfs() {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        root_ = fs::temp_directory_path() / ("brisklode-sysfs-" + std::to_string(stamp));
        fs::create_directories(root_ / "sys" / "class" / "tty");
        fs::create_directories(root_ / "dev");
    }
    ~FakeSysfs() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    std::string ClassDir() const { return (root_ / "sys" / "class" / "tty").u8string(); }
    std::string DevDir() const { return (root_ / "dev").u8string(); }

    // A device folder under sys/devices with attribute files.
    fs::path Device(const std::string& relative, const std::vector<std::pair<std::string, std::string>>& attributes = {}) {
        const fs::path dir = root_ / "sys" / "devices" / relative;
        fs::create_directories(dir);
        for (const auto& a : attributes) std::ofstream(dir / a.first) << a.second << "\n";
        return dir;
    }
    // sys/class/tty/<name> with a device link (and the device's driver link when `driver` is set).
    bool Tty(const std::string& name, const fs::path& device, bool driver, bool node,
             const std::vector<std::pair<std::string, std::string>>& attributes = {}) {
        const fs::path dir = root_ / "sys" / "class" / "tty" / name;
        fs::create_directories(dir);
        for (const auto& a : attributes) std::ofstream(dir / a.first) << a.second << "\n";
        std::error_code ec;
        if (!device.empty()) {
            fs::create_directory_symlink(device, dir / "device", ec);
            if (ec) return false;
            if (driver && !fs::exists(device / "driver")) {
                const fs::path drivers = root_ / "sys" / "bus" / "drivers" / "some_driver";
                fs::create_directories(drivers);
                fs::create_directory_symlink(drivers, device / "driver", ec);
                if (ec) return false;
            }
        }
        if (node) std::ofstream(root_ / "dev" / name) << "";
        return true;
    }
    bool ById(const std::string& linkName, const std::string& target) {
        fs::create_directories(root_ / "dev" / "serial" / "by-id");
        std::error_code ec;
        fs::create_symlink(fs::path("..") / ".." / target, root_ / "dev" / "serial" / "by-id" / linkName, ec);
        return !ec;
    }

private:
    fs::path root_;
};

TEST(SerialPortsSysfs, ListsRealPortsWithHumanNamesInTextualOrder) {
    FakeSysfs tree;
    const fs::path ftdi = tree.Device("pci0/usb1/1-1", {{"idVendor", "0403"}, {"manufacturer", "FTDI"}, {"product", "FT232R USB UART"}});
    const fs::path ftdiPort = tree.Device("pci0/usb1/1-1/1-1:1.0/ttyUSB0");
    const fs::path acm = tree.Device("pci0/usb2/2-1", {{"idVendor", "1d6b"}, {"manufacturer", "Velmor"}, {"product", "Velmor Console"}});
    const fs::path acmInterface = tree.Device("pci0/usb2/2-1/2-1:1.0");
    tree.Device("pci0/usb3/3-1", {{"idVendor", "10c4"}, {"product", "CP2102 Bridge"}});
    const fs::path cpPort2 = tree.Device("pci0/usb3/3-1/3-1:1.0/ttyUSB2");
    const fs::path cpPort10 = tree.Device("pci0/usb3/3-1/3-1:1.1/ttyUSB10");
    const fs::path uart0 = tree.Device("pnp0/00:00/00:00:0/00:00:0.0");
    const fs::path uart1 = tree.Device("platform/serial8250/serial8250:0.1");
    const fs::path amba = tree.Device("platform/fe201000.serial");
    const fs::path orphan = tree.Device("platform/orphan");
    (void)ftdi;
    (void)acm;

    bool made = tree.Tty("ttyUSB0", ftdiPort, true, true) && tree.Tty("ttyACM0", acmInterface, true, true) &&
                tree.Tty("ttyUSB2", cpPort2, true, true) && tree.Tty("ttyUSB10", cpPort10, true, true) &&
                tree.Tty("ttyS0", uart0, true, true, {{"type", "4"}}) &&
                tree.Tty("ttyS1", uart1, true, true, {{"type", "0"}}) &&   // a slot without a UART
                tree.Tty("ttyS2", uart1, true, false, {{"type", "4"}}) &&  // no device node
                tree.Tty("ttyAMA0", amba, true, true) && tree.Tty("ttyX9", orphan, false, true) &&  // no driver
                tree.Tty("tty1", fs::path(), false, true) && tree.Tty("ptmx", fs::path(), false, true) &&
                tree.ById("platform-fe201000.serial-port0", "ttyAMA0") && tree.ById("usb-other-port0", "ttyUSB9");
    if (!made) GTEST_SKIP() << "this system cannot create symbolic links";

    const std::vector<SerialPortInfo> ports = ListSysfsSerialPorts(tree.ClassDir(), tree.DevDir());
    const std::wstring dev = Utf8ToWide(tree.DevDir()) + L"/";
    const std::vector<std::pair<std::wstring, std::wstring>> expected = {
        {dev + L"ttyACM0", L"Velmor Console (ttyACM0)"},
        {dev + L"ttyAMA0", L"platform-fe201000.serial-port0 (ttyAMA0)"},
        {dev + L"ttyS0", dev + L"ttyS0"},
        {dev + L"ttyUSB0", L"FTDI FT232R USB UART (ttyUSB0)"},
        {dev + L"ttyUSB10", L"CP2102 Bridge (ttyUSB10)"},
        {dev + L"ttyUSB2", L"CP2102 Bridge (ttyUSB2)"},
    };
    ASSERT_EQ(ports.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(WideToUtf8(ports[i].portName), WideToUtf8(expected[i].first)) << i;
        EXPECT_EQ(WideToUtf8(ports[i].displayName), WideToUtf8(expected[i].second)) << i;
    }
}

TEST(SerialPortsSysfs, MissingTreeGivesAnEmptyList) {
    EXPECT_TRUE(ListSysfsSerialPorts("/nonexistent-brisklode/sys/class/tty", "/nonexistent-brisklode/dev").empty());
    FakeSysfs tree;
    EXPECT_TRUE(ListSysfsSerialPorts(tree.ClassDir(), tree.DevDir()).empty());
}

// The real listing: runs on whatever the machine has (natively a Linux sysfs, under Wine the COM probe).
TEST(SerialPortsMachine, ListingIsSortedUniqueAndNamed) {
    const std::vector<SerialPortInfo> ports = EnumerateSerialPorts();
    std::set<std::wstring> names;
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_FALSE(ports[i].portName.empty());
        EXPECT_FALSE(ports[i].displayName.empty());
        EXPECT_TRUE(names.insert(ports[i].portName).second) << "listed twice: " << WideToUtf8(ports[i].portName);
        if (i > 0) {
            EXPECT_LT(ports[i - 1].portName, ports[i].portName);
        }
    }
    // A COM name mapped by scripts/wine-com for the Wine run must be found by the probe.
    if (const char* mapped = std::getenv("BRISKLODE_TEST_COM")) {
        EXPECT_EQ(names.count(Utf8ToWide(mapped)), 1u) << mapped << " is mapped but not listed";
    }
}

}  // namespace
