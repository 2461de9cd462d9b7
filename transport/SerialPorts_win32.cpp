// The machine's COM ports on Windows: Plug and Play Ports-class devices with friendly names, then a COM1..COM256 probe.
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "transport/Transport.h"

namespace {

// {4D36E978-E325-11CE-BFC1-08002BE10318}, spelled out so no GUID library has to be linked.
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

void AddPlugAndPlayPorts(std::vector<SerialPortInfo>& result, std::set<std::wstring>& taken) {
    HDEVINFO devices = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA device;
        ZeroMemory(&device, sizeof device);
        device.cbSize = sizeof device;
        if (!SetupDiEnumDeviceInfo(devices, index, &device)) break;

        // One unit more than the system may fill, so that a value without its terminator still ends.
        wchar_t friendly[512 + 1] = {};
        SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                          reinterpret_cast<BYTE*>(friendly), 1024, nullptr);
        friendly[512] = L'\0';

        HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
        if (key == INVALID_HANDLE_VALUE) continue;
        wchar_t portName[64 + 1] = {};
        DWORD size = 128;
        const LONG status = RegQueryValueExW(key, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(portName), &size);
        RegCloseKey(key);
        portName[64] = L'\0';
        if (status != ERROR_SUCCESS || wcsncmp(portName, L"COM", 3) != 0) continue;

        SerialPortInfo info;
        info.portName = portName;
        info.displayName = friendly[0] != L'\0' ? std::wstring(friendly) : info.portName;
        if (taken.insert(info.portName).second) result.push_back(info);
    }
    SetupDiDestroyDeviceInfoList(devices);
}

void AddProbedPorts(std::vector<SerialPortInfo>& result, const std::set<std::wstring>& taken) {
    std::vector<wchar_t> target(1024);
    for (int n = 1; n <= 256; ++n) {
        const std::wstring name = L"COM" + std::to_wstring(n);
        if (taken.count(name) != 0) continue;
        if (QueryDosDeviceW(name.c_str(), target.data(), static_cast<DWORD>(target.size())) != 0) {
            result.push_back(SerialPortInfo{name, name});
        }
    }
}

}  // namespace

std::vector<SerialPortInfo> EnumerateSerialPorts() {
    std::vector<SerialPortInfo> result;
    std::set<std::wstring> taken;
    AddPlugAndPlayPorts(result, taken);
    AddProbedPorts(result, taken);
    // wchar_t is an unsigned 16-bit unit here, so the string order is the plain code-unit order.
    std::sort(result.begin(), result.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.portName < b.portName; });
    return result;
}
