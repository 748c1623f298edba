#pragma once
// Lists the serial ports of this computer by their full device paths.
//
// Two sources, in this order: the real ports that sysfs knows (ttys with a
// driver), then the virtual ports that programs announce as symlinks in the
// per-user virtual-port folder (the device simulator does). The roots are
// parameters so that tests can walk a fake tree and never touch a device.

#include <functional>
#include <string>
#include <vector>

#include "serial/virtualportfolder.h"

// Opens the device and asks the serial driver for the port's UART type; false
// when the open or the query fails or the type is PORT_UNKNOWN. The serial8250
// driver registers a fixed number of ports whether or not a UART is there.
bool ProbeSerial8250(const std::string& devicePath);

struct PortEnumRoots {
  std::string Sysfs = "/sys";
  std::string Dev = "/dev";
  std::string VirtualFolder = VirtualPortFolder();
  // Tests replace the probe: a fake tree has no device behind its names.
  std::function<bool(const std::string& devicePath)> Serial8250Present = ProbeSerial8250;
};

// Appends the port paths found, in the order found, each at most once: a path
// already in the list in any letter case is not appended again. Nothing in the
// list is removed or reordered; finding nothing leaves it unchanged.
void EnumSerialPorts(std::vector<std::string>& list, const PortEnumRoots& roots = PortEnumRoots());

// The driver's name of a tty below <sysfs>/class/tty, empty when it has none.
// Newer kernels put a "port" device of the serial-base bus between the tty and
// its UART; the UART's driver is then two levels further up.
std::string TtyDriverName(const std::string& sysfs, const std::string& tty);
