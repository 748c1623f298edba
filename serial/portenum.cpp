#include "serial/portenum.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <utility>

#include "serial/udevhandles.h"

namespace fs = std::filesystem;

namespace {

// The file system tells names apart by case: "clock" and "Clock" are two ports.
void AppendOnce(std::vector<PortInfo>& list, PortInfo port) {
  for (const auto& held : list)
    if (held.Path == port.Path) return;
  list.push_back(std::move(port));
}

std::string Text(const char* value) { return value ? value : ""; }

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

// The ttys of the active kernel consoles ("tty0 ttyS0"): device commands sent
// to a console would land in the machine's own log-in or boot output.
std::vector<std::string> ActiveConsoles(udev* context) {
  UdevDevicePtr console(udev_device_new_from_subsystem_sysname(context, "tty", "console"));
  return console ? Words(Text(udev_device_get_sysattr_value(console.get(), "active")))
                 : std::vector<std::string>();
}

// The driver behind a tty. Newer kernels put the serial core's "port" and
// "ctrl" devices (bus serial-base) between the tty and its UART; the UART's
// driver is the one that says what the port is.
std::string DriverName(udev_device* tty) {
  udev_device* device = udev_device_get_parent(tty);
  while (device && Text(udev_device_get_subsystem(device)) == "serial-base")
    device = udev_device_get_parent(device);
  return device ? Text(udev_device_get_driver(device)) : std::string();
}

// Whether a UART stands behind a tty of the serial core: type 0 is none.
bool UartPresent(udev_device* tty) {
  const char* type = udev_device_get_sysattr_value(tty, "type");
  return type && std::atoi(type) != 0;
}

std::string JoinNames(const std::string& maker, const std::string& model) {
  if (maker.empty() || model.empty()) return maker + model;
  return maker + " " + model;
}

// The adapter's names as the hardware database gives them (udev's hwdb rule
// puts them on the tty), else as the adapter itself reports them.
std::string UsbDescription(udev_device* tty, udev_device* usb) {
  std::string maker = Text(udev_device_get_property_value(tty, "ID_VENDOR_FROM_DATABASE"));
  std::string model = Text(udev_device_get_property_value(tty, "ID_MODEL_FROM_DATABASE"));
  if (maker.empty()) maker = Text(udev_device_get_sysattr_value(usb, "manufacturer"));
  if (model.empty()) model = Text(udev_device_get_sysattr_value(usb, "product"));
  return JoinNames(maker, model);
}

// The by-id link udev made for the tty. One the serial component could not
// open whole is not offered.
std::string ByIdLink(udev_device* tty) {
  for (const std::string& link : Words(Text(udev_device_get_property_value(tty, "DEVLINKS"))))
    if (link.rfind("/dev/serial/by-id/", 0) == 0 && link.size() <= kLongestPortPath) return link;
  return {};
}

void AppendRealPorts(std::vector<PortInfo>& list) {
  UdevPtr context(udev_new());
  if (!context) return;
  UdevEnumeratePtr enumerate(udev_enumerate_new(context.get()));
  if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0) return;
  // Every name but those of the virtual consoles ("tty", "tty0" ... "tty63"):
  // they never have a driver, they are most of the ttys of any machine, and
  // passing them over by name spares udev the look at each that makes the
  // list cost several times as much (measured: 15 ms for 68 ttys, 0.3 ms without them).
  for (const char* pattern : {"[!t]*", "t[!t]*", "tt[!y]*", "tty[!0-9]*"})
    if (udev_enumerate_add_match_sysname(enumerate.get(), pattern) < 0) return;
  if (udev_enumerate_scan_devices(enumerate.get()) < 0) return;
  const std::vector<std::string> consoles = ActiveConsoles(context.get());

  // By name, so that the same machine lists its ports in the same order every
  // time; udev hands them over by their place in the device tree.
  std::vector<UdevDevicePtr> ttys;
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    UdevDevicePtr tty(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    if (tty && udev_device_get_sysname(tty.get())) ttys.push_back(std::move(tty));
  }
  std::sort(ttys.begin(), ttys.end(), [](const UdevDevicePtr& a, const UdevDevicePtr& b) {
    return std::string(udev_device_get_sysname(a.get())) < udev_device_get_sysname(b.get());
  });

  for (const UdevDevicePtr& tty : ttys) {
    const std::string name = udev_device_get_sysname(tty.get());
    if (std::find(consoles.begin(), consoles.end(), name) != consoles.end()) continue;
    const std::string driver = DriverName(tty.get());
    if (driver.empty()) continue;
    if (driver == "serial8250" && !UartPresent(tty.get())) continue;
    PortInfo port;
    const char* node = udev_device_get_devnode(tty.get());
    port.Path = node ? node : "/dev/" + name;
    if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device")) {
      port.Type = PortInfo::Kind::Usb;
      port.Description = UsbDescription(tty.get(), usb);
      port.Serial = Text(udev_device_get_sysattr_value(usb, "serial"));
    } else {
      port.Type = PortInfo::Kind::OnBoard;
      port.Description = driver;
    }
    port.ById = ByIdLink(tty.get());
    AppendOnce(list, std::move(port));
  }
}

// Entry names of a folder, sorted; an unreadable folder has none.
std::vector<std::string> SortedEntries(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A folder below /tmp may have been made by someone else to hand us their
// links: only a real folder of ours that nobody else can write to is read.
bool TrustedFolder(const std::string& folder) {
  struct stat st {};
  return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The symlink's own path is listed, not its target (/dev/pts/N): it says what
// the port is, and it sorts after every /dev path, so the start-up connection,
// which takes the last name, picks an announced port over a real one.
void AppendVirtualPorts(std::vector<PortInfo>& list, const std::string& folder) {
  if (!TrustedFolder(folder)) return;
  for (const std::string& name : SortedEntries(folder)) {
    fs::path link = fs::path(folder) / name;
    std::error_code ec;
    if (!fs::is_symlink(link, ec)) continue;
    if (!fs::exists(link, ec)) continue;  // its program has gone without removing it
    if (link.string().size() > kLongestPortPath) continue;
    PortInfo port;
    port.Path = link.string();
    port.Type = PortInfo::Kind::Virtual;
    port.Description = fs::read_symlink(link, ec).string();
    AppendOnce(list, std::move(port));
  }
}

}  // namespace

bool PortNameBefore(const std::string& a, const std::string& b) {
  const auto lower = [](unsigned char c) { return std::tolower(c); };
  const auto folded = std::mismatch(a.begin(), a.end(), b.begin(), b.end(),
                                    [&](unsigned char x, unsigned char y) { return lower(x) == lower(y); });
  if (folded.first != a.end() && folded.second != b.end())
    return lower(static_cast<unsigned char>(*folded.first)) <
           lower(static_cast<unsigned char>(*folded.second));
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

void EnumSerialPorts(std::vector<PortInfo>& list, const PortEnumRoots& roots) {
  if (roots.Udev) AppendRealPorts(list);
  AppendVirtualPorts(list, roots.VirtualFolder);
}
