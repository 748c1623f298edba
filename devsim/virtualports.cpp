#include "devsim/virtualports.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace devsim {

int EnsureVirtualPortFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 0700) == 0) return 0;
  if (errno != EEXIST) return errno;
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (st.st_uid != getuid() || (st.st_mode & 077) != 0) return EPERM;
  return 0;
}

PortAnnouncement::PortAnnouncement(const std::string& folder, const std::string& name,
                                   const std::string& target)
    : linkPath_(folder + "/" + name), target_(target) {
  if (const int code = EnsureVirtualPortFolder(folder)) {
    throw std::system_error(code, std::generic_category(), "virtual port folder " + folder);
  }
  if (symlink(target.c_str(), linkPath_.c_str()) != 0) {
    // A link of the same name can only be left over from an earlier run under the same pid.
    struct stat st {};
    if (errno != EEXIST || lstat(linkPath_.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) ||
        unlink(linkPath_.c_str()) != 0 || symlink(target.c_str(), linkPath_.c_str()) != 0) {
      throw std::system_error(errno, std::generic_category(), "announcing " + linkPath_);
    }
  }
  announced_ = true;
}

PortAnnouncement::~PortAnnouncement() { Withdraw(); }

void PortAnnouncement::Withdraw() {
  if (!announced_) return;
  announced_ = false;
  char buffer[4096];
  const ssize_t n = readlink(linkPath_.c_str(), buffer, sizeof buffer);
  if (n >= 0 && std::string(buffer, size_t(n)) == target_) unlink(linkPath_.c_str());
}

int RemoveStaleAnnouncements(const std::string& folder, const std::string& prefix) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return 0;
  int removed = 0;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) continue;
    const pid_t pid = pid_t(std::stol(digits));
    if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH && unlinkat(dirfd(dir), name.c_str(), 0) == 0)
      ++removed;
  }
  closedir(dir);
  return removed;
}

}  // namespace devsim
