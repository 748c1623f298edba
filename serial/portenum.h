#pragma once
// Lists the serial ports of this computer by their full device paths.
//
// Two sources, in this order: the real ports that sysfs knows (ttys with a
// driver), then the virtual ports that programs announce as symlinks in the
// per-user virtual-port folder (the device simulator does). The roots are
// parameters so that tests can walk a fake tree and never touch a device.

#include <string>
#include <vector>

#include "serial/virtualportfolder.h"

struct PortEnumRoots {
  std::string Sysfs = "/sys";
  std::string Dev = "/dev";
  std::string VirtualFolder = VirtualPortFolder();
};

// Appends the port paths found, in the order found, each at most once: a path
// already in the list in any letter case is not appended again. Nothing in the
// list is removed or reordered; finding nothing leaves it unchanged. No device
// is opened: a port that is not the clock's must not see its lines move.
void EnumSerialPorts(std::vector<std::string>& list, const PortEnumRoots& roots = PortEnumRoots());

// The driver's name of a tty below <sysfs>/class/tty, empty when it has none.
// Newer kernels put a "port" device of the serial-base bus between the tty and
// its UART; the UART's driver is then two levels further up.
std::string TtyDriverName(const std::string& sysfs, const std::string& tty);

// Whether a UART stands behind a tty of the serial core, read from sysfs
// (<sysfs>/class/tty/<tty>/type, world-readable): 0 is no UART. The serial8250
// driver registers a fixed number of ports whether or not a UART is there.
// False when the type cannot be read.
bool UartPresent(const std::string& sysfs, const std::string& tty);

// The serial component opens the first 79 characters of a port name; a longer
// path could never be opened as itself.
constexpr size_t kLongestPortPath = 79;
