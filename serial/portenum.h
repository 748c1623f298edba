#pragma once
// Lists the serial ports of this computer by their full device paths, with
// what each one is.
//
// Two sources, in this order: the real ports that udev knows (ttys with a
// driver), then the virtual ports that programs announce as symlinks in the
// per-user virtual-port folder (the device simulator does). Tests run the udev
// part against a umockdev test bed and point the folder at one of their own,
// so that they never list, let alone open, this machine's devices.

#include <string>
#include <vector>

#include "serial/virtualportfolder.h"

struct PortEnumRoots {
  // The ttys that udev knows; tests that list only announced ports turn it off.
  bool Udev = true;
  std::string VirtualFolder = VirtualPortFolder();
};

struct PortInfo {
  enum class Kind { Usb, OnBoard, Virtual };
  std::string Path;  // what the serial component opens and the dialog lists
  Kind Type = Kind::OnBoard;
  // USB: the maker's and the model's names from the hardware database (or, when
  // the database does not know the adapter, the names it gives itself);
  // on-board: the driver's name; virtual: the link's target.
  std::string Description;
  std::string Serial;  // the USB serial number; empty when the adapter has none
  std::string ById;    // the /dev/serial/by-id/ link, which names the adapter, not the plugging order
};

// Appends the ports found, in the order found, each at most once: a path
// already in the list is not appended again. Paths are compared as the file
// system compares them, letter case included. Nothing in the
// list is removed or reordered; finding nothing leaves it unchanged. No device
// is opened: a port that is not the clock's must not see its lines move.
//   Real ports come in the order of their names, each with its udev rules: the
// active kernel console is left out, and so is a serial8250 port whose UART
// type is 0 (the driver registers a fixed number of ports whether or not a UART
// is there). Announced ports follow, by their link paths.
void EnumSerialPorts(std::vector<PortInfo>& list, const PortEnumRoots& roots = PortEnumRoots());

// The order of the port lists: regardless of letter case, so that ttyACM0 and
// ttyacm1 stand together; names that differ only in case keep a fixed order
// among themselves (upper case first), so neither hides the other.
bool PortNameBefore(const std::string& a, const std::string& b);

// The serial component opens the first 79 characters of a port name; a longer
// path could never be opened as itself.
constexpr size_t kLongestPortPath = 79;
