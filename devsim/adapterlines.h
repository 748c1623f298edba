#pragma once
// What a pty lacks of a real serial adapter: modem lines and the driver's error
// counters. Put under the port backend's device requests (the argument of
// MakePosixBackend), it answers TIOCMGET, TIOCMBIS, TIOCMBIC, TIOCGICOUNT and TIOCOUTQ as an
// adapter's driver would, counts the line and counter queries (each one a USB
// control transfer on common adapters), refuses one chosen request with a chosen
// errno, and passes every other request to the pty.
//
// Threading: the port's worker asks while a test changes the lines; every field is
// atomic, so either side may run at any time.
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>
#include <functional>

namespace devsim {

class AdapterLines {
 public:
  std::atomic<int> lines{0};  // TIOCM_* bits: the inputs the device drives, the outputs the port drives
  std::atomic<int> breaks{0}, frames{0}, overruns{0}, parities{0}, bufOverruns{0};
  std::atomic<int> lineQueries{0}, counterQueries{0};
  // Bytes the adapter still has to send (TIOCOUTQ); below 0 the pty answers.
  std::atomic<int> outQueue{-1};
  std::atomic<int> outQueueQueries{0};
  // A request the driver turns down (0: none), and the errno it gives.
  std::atomic<unsigned long> refused{0};
  std::atomic<int> refusedErrno{EIO};

  // The device requests to hand to MakePosixBackend; this object must outlive the backend.
  std::function<int(int, unsigned long, void*)> Requests() {
    return [this](int fd, unsigned long request, void* arg) { return Answer(fd, request, arg); };
  }

 private:
  int Answer(int fd, unsigned long request, void* arg) {
    if (request != 0 && request == refused) {
      errno = refusedErrno;
      return -1;
    }
    switch (request) {
      case TIOCMGET:
        ++lineQueries;
        *static_cast<int*>(arg) = lines;
        return 0;
      case TIOCMBIS:
        lines |= *static_cast<int*>(arg);
        return 0;
      case TIOCMBIC:
        lines &= ~*static_cast<int*>(arg);
        return 0;
      case TIOCGICOUNT: {
        ++counterQueries;
        serial_icounter_struct counts{};
        counts.brk = breaks;
        counts.frame = frames;
        counts.overrun = overruns;
        counts.parity = parities;
        counts.buf_overrun = bufOverruns;
        *static_cast<serial_icounter_struct*>(arg) = counts;
        return 0;
      }
      case TIOCOUTQ:
        ++outQueueQueries;
        if (outQueue < 0) return ::ioctl(fd, request, arg);
        *static_cast<int*>(arg) = outQueue;
        return 0;
      default:
        return ::ioctl(fd, request, arg);
    }
  }
};

}  // namespace devsim
