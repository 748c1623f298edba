#pragma once
// A bare pty pair for tests of the termios backend: the test writes to the master
// as the device would, and keeps a slave descriptor of its own to read back the
// termios that the backend set (the backend's TIOCEXCL keeps out later opens only).
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "tests/serial/ptytermios.h"

struct PtyPair {
  int master = -1, slave = -1;
  std::string path;

  PtyPair() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) path = ptsname(master);
    slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~PtyPair() {
    ::close(slave);
    ::close(master);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool Send(const std::string& bytes) const {
    return ::write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  PtyTermios Termios() const { return ReadPtyTermios(slave); }
};
