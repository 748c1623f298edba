#include "serial/portenum.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

void AppendOnce(std::vector<std::string>& list, const std::string& name) {
  for (const auto& held : list)
    if (SameIgnoringCase(held, name)) return;
  list.push_back(name);
}

// Entry names of a folder, sorted, so that the same machine lists its ports in
// the same order every time; an unreadable folder has none.
std::vector<std::string> SortedEntries(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The ttys of the active kernel consoles ("tty0 ttyS0"): device commands sent
// to a console would land in the machine's own log-in or boot output.
std::vector<std::string> ActiveConsoles(const std::string& sysfs) {
  std::ifstream in(sysfs + "/class/tty/console/active");
  std::vector<std::string> names;
  std::string name;
  while (in >> name) names.push_back(name);
  return names;
}

// A folder below /tmp may have been made by someone else to hand us their
// links: only a real folder of ours that nobody else can write to is read.
bool TrustedFolder(const std::string& folder) {
  struct stat st {};
  return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string LinkTargetName(const fs::path& link) {
  std::error_code ec;
  if (!fs::is_symlink(link, ec)) return {};
  fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

}  // namespace

bool UartPresent(const std::string& sysfs, const std::string& tty) {
  std::ifstream in(fs::path(sysfs) / "class/tty" / tty / "type");
  int type = 0;
  return (in >> type) && type != 0;
}

std::string TtyDriverName(const std::string& sysfs, const std::string& tty) {
  fs::path device = fs::path(sysfs) / "class/tty" / tty / "device";
  std::string driver = LinkTargetName(device / "driver");
  if (driver == "port" && LinkTargetName(device / "subsystem") == "serial-base") {
    std::error_code ec;
    fs::path port = fs::canonical(device, ec);
    if (ec) return {};
    driver = LinkTargetName(port.parent_path().parent_path() / "driver");
  }
  return driver;
}

void EnumSerialPorts(std::vector<std::string>& list, const PortEnumRoots& roots) {
  const std::vector<std::string> consoles = ActiveConsoles(roots.Sysfs);
  for (const std::string& tty : SortedEntries(fs::path(roots.Sysfs) / "class/tty")) {
    if (std::find(consoles.begin(), consoles.end(), tty) != consoles.end()) continue;
    const std::string driver = TtyDriverName(roots.Sysfs, tty);
    if (driver.empty()) continue;
    if (driver == "serial8250" && !UartPresent(roots.Sysfs, tty)) continue;
    AppendOnce(list, roots.Dev + "/" + tty);
  }

  // The symlink's own path is listed, not its target (/dev/pts/N): it says what
  // the port is, and it sorts after every /dev path, so the start-up connection,
  // which takes the last name, picks an announced port over a real one.
  if (!TrustedFolder(roots.VirtualFolder)) return;
  for (const std::string& name : SortedEntries(roots.VirtualFolder)) {
    fs::path link = fs::path(roots.VirtualFolder) / name;
    std::error_code ec;
    if (!fs::is_symlink(link, ec)) continue;
    if (!fs::exists(link, ec)) continue;  // its program has gone without removing it
    if (link.string().size() > kLongestPortPath) continue;
    AppendOnce(list, link.string());
  }
}
