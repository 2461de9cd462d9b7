// The machine's serial ports on POSIX systems, taken from the kernel's tty class in sysfs.
#include "transport/SerialPorts.h"

std::vector<SerialPortInfo> EnumerateSerialPorts() { return ListSysfsSerialPorts("/sys/class/tty", "/dev"); }
