#pragma once
// A fake /dev folder and virtual-port folder in a temporary folder, so that a
// test lists only the ports it announces there and never this machine's. Real
// ports come from udev; tests of those run against a umockdev test bed
// (umockdevbed.h).

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <string>

#include "serial/portenum.h"

class FakePortTree {
 public:
  FakePortTree() : root_(dir_.path().toStdString()) {
    std::filesystem::create_directories(root_ / "dev");
    std::filesystem::create_directories(root_ / "ports");
    // As the announcing side makes it: closed to everybody else.
    std::filesystem::permissions(root_ / "ports", std::filesystem::perms::owner_all);
  }

  // Puts a real device (a pty slave) behind a fake /dev name.
  void PointDevAt(const std::string& name, const std::string& target) {
    std::filesystem::remove(root_ / "dev" / name);
    std::filesystem::create_symlink(target, root_ / "dev" / name);
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

  // Roots over the fake tree: its announced ports, no udev.
  PortEnumRoots Roots() const {
    PortEnumRoots roots;
    roots.Udev = false;
    roots.VirtualFolder = PortsFolder();
    return roots;
  }

  std::string Root() const { return root_.string(); }

 private:
  QTemporaryDir dir_;
  std::filesystem::path root_;
};
