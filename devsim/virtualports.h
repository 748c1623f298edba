#pragma once
// Virtual ports: a pty (or any device path) that a program announces to Vellamo by
// a symlink in a per-user folder. The device simulator announces itself here; the
// port enumeration lists the folder's links; both take the folder from one rule.

#include <string>

#include "serial/virtualportfolder.h"

namespace devsim {

using ::VirtualPortFolder;
using ::VirtualPortFolderFor;

// Creates the folder with mode 0700 when it is missing. An existing one must be a
// real directory (no symlink) owned by this user and closed to others: a folder
// under /tmp that someone else prepared could redirect the announcements.
// Returns 0 or an errno value.
int EnsureVirtualPortFolder(const std::string& folder);

// Announces `target` as folder/name for the object's lifetime. Throws
// std::system_error when the folder or the link cannot be made.
class PortAnnouncement {
 public:
  PortAnnouncement(const std::string& folder, const std::string& name, const std::string& target);
  ~PortAnnouncement();
  PortAnnouncement(const PortAnnouncement&) = delete;
  PortAnnouncement& operator=(const PortAnnouncement&) = delete;

  const std::string& LinkPath() const { return linkPath_; }
  // Removes the link if it still points at our target; safe to call twice.
  void Withdraw();

 private:
  std::string linkPath_;
  std::string target_;
  bool announced_ = false;
};

// Removes links named <prefix><pid> whose process is gone (left behind by a
// simulator that was killed with SIGKILL). Returns how many it removed.
int RemoveStaleAnnouncements(const std::string& folder, const std::string& prefix);

}  // namespace devsim
