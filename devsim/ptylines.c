// What a pty lacks of a serial adapter, for programs that cannot be handed a
// device-request seam: loaded with LD_PRELOAD (scripts/test-windows loads it into
// Wine), it answers the modem-line and error-counter requests on a pty's slave
// as an adapter with every input line off would, and keeps the output lines the
// program drives. Every other request, and every other descriptor, goes to the
// real ioctl. Without it Wine refuses every comm event wait on a pty, since a
// wait that includes line events first asks for the lines.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

static int outputLines;  // TIOCM_DTR / TIOCM_RTS as last driven; one port at a time

// The slaves of Unix 98 pseudo-terminals have the majors 136 to 143.
static int IsPtySlave(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

int ioctl(int fd, unsigned long request, ...) {
  static int (*real)(int, unsigned long, void*);
  if (!real) real = (int (*)(int, unsigned long, void*))dlsym(RTLD_NEXT, "ioctl");
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  const int lines = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
  if (!(lines || request == TIOCGICOUNT) || !IsPtySlave(fd)) return real(fd, request, arg);
  switch (request) {
    case TIOCMGET:
      *(int*)arg = outputLines;
      break;
    case TIOCMSET:
      outputLines = *(int*)arg & (TIOCM_DTR | TIOCM_RTS);
      break;
    case TIOCMBIS:
      outputLines |= *(int*)arg & (TIOCM_DTR | TIOCM_RTS);
      break;
    case TIOCMBIC:
      outputLines &= ~*(int*)arg;
      break;
    case TIOCGICOUNT: {
      struct serial_icounter_struct none = {0};
      *(struct serial_icounter_struct*)arg = none;
      break;
    }
  }
  return 0;
}
