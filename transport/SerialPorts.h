// The Linux serial port list, built from a sysfs tty class folder and a /dev folder given by the caller.
#pragma once

#include <string>
#include <vector>

#include "transport/Transport.h"

// `ttyClassDir` is normally /sys/class/tty and `devDir` /dev; tests hand in a fake tree.
// Lists the terminals that have a driver and a device node, leaving out UART slots without a UART;
// portName is the device node's path, displayName the USB product (or the /dev/serial/by-id name) when known.
// Sorted textually by portName; never fails (unreadable entries are skipped).
std::vector<SerialPortInfo> ListSysfsSerialPorts(const std::string& ttyClassDir, const std::string& devDir);
