// Which device a port name such as "COM3" stands for. The defaults follow the
// usual Linux device names; the program replaces entries from the [Ports]
// section of its settings file. COMn without an entry and beyond the table is
// /dev/ttyS<n-1>.
//
//   COM1 /dev/ttyUSB0   COM3 /dev/ttyACM0   COM5 /dev/ttyS0   COM7 null-modem:1a
//   COM2 /dev/ttyUSB1   COM4 /dev/ttyACM1   COM6 /dev/ttyS1   COM8 null-modem:1b
#pragma once

#include <string>

namespace serial {

// Replaces the entry of one port ("COM3", any letter case); an empty target
// returns the port to its default. Names that are not COMn (n >= 1) are ignored
// and false is returned.
bool SetPortMapEntry(const std::string& portName, const std::string& target);
// The device the port currently maps to ("" for a name that is not COMn).
std::string PortMapEntry(const std::string& portName);
// All entries back to their defaults.
void ResetPortMap();

// The device path (or null-modem end) that a device name opens: "\\.\" is
// dropped, COMn is looked up in the map, anything else is taken as it is.
std::string ResolveDeviceName(const std::string& deviceName);

} // namespace serial
