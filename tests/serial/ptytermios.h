#pragma once
// The termios2 of a pty as the kernel holds it (rate included), and the termios2
// that line settings map to, for tests whose sources see <termios.h>, which cannot
// stand beside the kernel's termios2.
#include <cstdint>

#include "serial/portbackend.h"

struct PtyTermios {
  uint32_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;
  uint32_t ospeed = 0;
  bool otherRate = false;  // the rate goes through BOTHER, not a standard code
};

PtyTermios ReadPtyTermios(int fd);
// What the backend's mapping makes of the settings on a cleared termios2; code is
// its result. A pty drops some of it (it clears PARENB and forces CS8).
PtyTermios MappedTermios(const LineSettings& settings, uint32_t& code);
