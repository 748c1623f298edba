#include "tests/serial/ptytermios.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "serial/termiossettings.h"

namespace {
PtyTermios ViewOf(const termios2& tio) {
  PtyTermios result;
  result.iflag = tio.c_iflag;
  result.oflag = tio.c_oflag;
  result.cflag = tio.c_cflag;
  result.lflag = tio.c_lflag;
  result.ospeed = tio.c_ospeed;
  result.otherRate = (tio.c_cflag & CBAUD) == BOTHER;
  return result;
}
}  // namespace

PtyTermios ReadPtyTermios(int fd) {
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) != 0) return PtyTermios{};
  return ViewOf(tio);
}

PtyTermios MappedTermios(const LineSettings& settings, uint32_t& code) {
  termios2 tio{};
  code = ToTermios(settings, tio);
  return ViewOf(tio);
}
