#pragma once
// A lock that every Vellamo process on this computer respects: a write lock on
// a file in LockFolder(), held through an open file description (fcntl's
// F_OFD_SETLK, the same semantics as flock()), so a holder that dies lets go
// with its last descriptor. Non-blocking.
//
// Open-file-description locks rather than flock() because their state can be
// asked without taking them (F_OFD_GETLK): HeldBy never holds the lock for a
// moment, so it can never make another process's TryTake fail.
//
// The descriptor is opened close-on-exec: a program this one starts does not
// keep the lock by chance. A caller that wants a child to hold it (the firmware
// hand-over script, so that the port stays guarded while its tool runs, even
// after the program has ended) hands Descriptor() on explicitly.

#include <optional>
#include <string>

class ProcessLock {
 public:
  // nullopt when another process holds it, or when its file cannot be made
  // (HeldBy then says nothing either). `holder` is one line of text stored in
  // the file (what holds it: e.g. the port of the copy), which others read with
  // HeldBy.
  static std::optional<ProcessLock> TryTake(const std::string& name, const std::string& holder);
  // The holder's text while some live process holds `name`; nullopt when it is
  // free. Held by this very process through another TryTake counts as held.
  // The text may be empty for the moment between a take and its writing.
  static std::optional<std::string> HeldBy(const std::string& name);

  ProcessLock(ProcessLock&& other) noexcept;
  ProcessLock& operator=(ProcessLock&& other) noexcept;
  ProcessLock(const ProcessLock&) = delete;
  ProcessLock& operator=(const ProcessLock&) = delete;
  ~ProcessLock();  // lets go (unless a child still holds a copy of the descriptor)

  // The open descriptor that holds the lock (close-on-exec); -1 after a move.
  int Descriptor() const { return fd_; }

 private:
  explicit ProcessLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// $VELLAMO_LOCK_DIR when set (tests), else $XDG_RUNTIME_DIR/vellamo-locks, else
// /tmp/vellamo-locks-<uid>; made with mode 0700 when missing.
std::string LockFolder();

// The lock name for a port: "port-" and the device's path, symbolic links
// resolved (a by-id link, a virtual port's link and the device node give one
// name), '/' and '%' escaped. A name without '/' is taken below /dev.
std::string PortLockName(const std::string& devicePath);
