#pragma once
// A fake sysfs tree, /dev folder and virtual-port folder in a temporary folder,
// laid out as the kernel does, so that the port enumeration can be tested
// without opening or even naming a real device.

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <string>

#include "serial/portenum.h"

class FakePortTree {
 public:
  FakePortTree() : root_(dir_.path().toStdString()) {
    std::filesystem::create_directories(root_ / "sys/class/tty");
    std::filesystem::create_directories(root_ / "sys/devices");
    std::filesystem::create_directories(root_ / "dev");
    std::filesystem::create_directories(root_ / "ports");
    // As the announcing side makes it: closed to everybody else.
    std::filesystem::permissions(root_ / "ports", std::filesystem::perms::owner_all);
  }

  // A tty whose device is bound to `driver` (empty: a tty without a driver,
  // such as tty0). With `serialBase`, the tty's device is a port of the
  // serial-base bus below a controller below the UART, as newer kernels have it.
  void AddTty(const std::string& name, const std::string& driver, bool serialBase = false) {
    namespace fs = std::filesystem;
    fs::path hw = root_ / "sys/devices" / ("hw-" + name);
    fs::path device = hw;
    if (!driver.empty()) Link(root_ / "sys/bus/drivers" / driver, hw / "driver");
    if (serialBase) {
      device = hw / "ctrl" / "port";
      Link(root_ / "sys/bus/serial-base/drivers/ctrl", hw / "ctrl" / "driver");
      Link(root_ / "sys/bus/serial-base/drivers/port", device / "driver");
      Link(root_ / "sys/bus/serial-base", device / "subsystem");
    }
    fs::path ttyDir = device / "tty" / name;
    fs::create_directories(ttyDir);
    fs::create_directory_symlink(device, ttyDir / "device");
    fs::create_directory_symlink(ttyDir, root_ / "sys/class/tty" / name);
    std::ofstream(root_ / "dev" / name) << "";
  }

  // The UART type the serial core shows for a tty (0: no UART behind it).
  void SetUartType(const std::string& name, int type) {
    std::ofstream(root_ / "sys/class/tty" / name / "type") << type << "\n";
  }

  // Puts a real device (a pty slave) behind a fake /dev name.
  void PointDevAt(const std::string& name, const std::string& target) {
    std::filesystem::remove(root_ / "dev" / name);
    std::filesystem::create_symlink(target, root_ / "dev" / name);
  }

  void SetConsole(const std::string& active) {
    std::filesystem::create_directories(root_ / "sys/class/tty/console");
    std::ofstream(root_ / "sys/class/tty/console/active") << active << "\n";
  }

  // An announced virtual port: a symlink to a (fake) pty slave.
  std::string AddVirtual(const std::string& name, bool dangling = false) {
    std::filesystem::path target = root_ / "dev" / ("pts-" + name);
    if (!dangling) std::ofstream(target) << "";
    std::filesystem::create_symlink(target, root_ / "ports" / name);
    return (root_ / "ports" / name).string();
  }

  std::string Dev(const std::string& name) const { return (root_ / "dev" / name).string(); }
  std::string PortsFolder() const { return (root_ / "ports").string(); }

  // Roots over the fake tree.
  PortEnumRoots Roots() const {
    PortEnumRoots roots;
    roots.Sysfs = (root_ / "sys").string();
    roots.Dev = (root_ / "dev").string();
    roots.VirtualFolder = PortsFolder();
    return roots;
  }

  std::string Root() const { return root_.string(); }

 private:
  static void Link(const std::filesystem::path& target, const std::filesystem::path& link) {
    std::filesystem::create_directories(target);
    std::filesystem::create_directories(link.parent_path());
    if (!std::filesystem::is_symlink(link)) std::filesystem::create_directory_symlink(target, link);
  }

  QTemporaryDir dir_;
  std::filesystem::path root_;
};
