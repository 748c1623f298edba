#include "serial/processlock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "serial/portbackend.h"

namespace {

// Made when missing; used only while it is this user's and closed to others'
// writing, so that nobody else can plant or remove a lock file in it.
bool FolderIsSafe(const std::string& folder) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat info {};
  return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string LockPath(const std::string& name) { return LockFolder() + "/" + name + ".lock"; }

struct flock WholeFile(short type) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 0;
  return range;
}

}  // namespace

std::optional<ProcessLock> ProcessLock::TryTake(const std::string& name, const std::string& holder) {
  const std::string folder = LockFolder();
  if (!FolderIsSafe(folder)) return std::nullopt;
  const int fd = open(LockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return std::nullopt;
  struct flock range = WholeFile(F_WRLCK);
  if (fcntl(fd, F_OFD_SETLK, &range) != 0) {
    close(fd);
    return std::nullopt;
  }
  // One line; a line break in the text would start a second.
  std::string line = holder.substr(0, holder.find('\n')) + "\n";
  if (ftruncate(fd, 0) == 0) (void)!pwrite(fd, line.data(), line.size(), 0);
  return ProcessLock(fd);
}

std::optional<std::string> ProcessLock::HeldBy(const std::string& name) {
  const int fd = open(LockPath(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;  // never taken on this computer since the folder was made
  struct flock range = WholeFile(F_WRLCK);
  if (fcntl(fd, F_OFD_GETLK, &range) != 0 || range.l_type == F_UNLCK) {
    close(fd);
    return std::nullopt;
  }
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;)
    text.append(buffer, static_cast<size_t>(n));
  close(fd);
  return text.substr(0, text.find('\n'));
}

ProcessLock::ProcessLock(ProcessLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

ProcessLock& ProcessLock::operator=(ProcessLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

ProcessLock::~ProcessLock() {
  if (fd_ >= 0) close(fd_);
}

std::string LockFolder() {
  if (const char* chosen = std::getenv("VELLAMO_LOCK_DIR"); chosen && chosen[0] == '/') return chosen;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
    std::string folder = runtime;
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder + "/vellamo-locks";
  }
  return "/tmp/vellamo-locks-" + std::to_string(getuid());
}

std::string PortLockName(const std::string& devicePath) {
  std::string path = DevicePathOf(devicePath);
  // A device that is not there (unplugged) keeps its name as given.
  if (char resolved[PATH_MAX]; !path.empty() && realpath(path.c_str(), resolved)) path = resolved;
  std::string name = "port-";
  for (const char c : path) {
    if (c == '/')
      name += "%2F";
    else if (c == '%')
      name += "%25";
    else
      name += c;
  }
  return name;
}
