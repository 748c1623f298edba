// The port backend over termios. Asynchronous operations of the component are
// emulated: writes go out non-blocking and finish later when the driver's buffer
// was full; reads take what is queued at once; an event wait is evaluated inside
// WaitForEvents by polling the port and the operation events (eventfds).

#include <asm/termbits.h>  // struct serial_icounter_struct lives beside termios2
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "serial/portbackend.h"

// <asm/termbits.h> and <termios.h> clash; only the ioctl numbers and the
// termios2 record are taken from the former.
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kEvRxChar = 0x001, kEvTxEmpty = 0x004, kEvCts = 0x008, kEvDsr = 0x010, kEvRlsd = 0x020,
                   kEvBreak = 0x040, kEvErr = 0x080, kEvRing = 0x100;
// How often conditions that give no wake-up of their own (modem lines, the
// transmit queue, bytes arriving behind unread ones) are looked at during a wait.
constexpr int kCheckSliceMs = 5;

bool NoModemLines(int err) { return err == ENOTTY || err == EINVAL; }

// The slaves of Unix 98 pseudo-terminals have the majors 136 to 143.
bool IsPtySlave(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

struct Counters {
  int brk = 0, frame = 0, overrun = 0, parity = 0, bufOverrun = 0;
  bool valid = false;
};

Counters ReadCounters(const DeviceRequests& requests, int fd) {
  serial_icounter_struct ic{};
  Counters c;
  if ((requests ? requests(fd, TIOCGICOUNT, &ic) : ioctl(fd, TIOCGICOUNT, &ic)) == 0) {
    c = {ic.brk, ic.frame, ic.overrun, ic.parity, ic.buf_overrun, true};
  }
  return c;
}

tcflag_t StandardRateCode(uint32_t baud) {
  static constexpr std::pair<uint32_t, tcflag_t> kRates[] = {
      {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
      {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
      {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
      {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& [rate, code] : kRates)
    if (rate == baud) return code;
  return BOTHER;
}

uint32_t ModemWord(int lines) {
  uint32_t word = 0;
  if (lines & TIOCM_CTS) word |= 0x10;
  if (lines & TIOCM_DSR) word |= 0x20;
  if (lines & TIOCM_RI) word |= 0x40;
  if (lines & TIOCM_CD) word |= 0x80;
  return word;
}

struct Port {
  int fd = -1;
  uint32_t eventMask = 0;
  PortTimeouts timeouts;
  bool gone = false;          // the device hung up
  bool pty = false;           // a pseudo-terminal's slave: what it sends is at the far end at once
  bool wroteSinceWait = false;  // for the transmit-queue-empty event
  Counters reported;          // error counters already turned into the error word
};

enum class OpKind { None, Write, Read, CommWait };

struct Operation {
  OpKind kind = OpKind::None;
  uint32_t handle = PortBackend::kNoPort;
  // write
  const char* data = nullptr;
  uint32_t count = 0, done = 0;
  uint32_t result = 0;  // result once finished (kIoPending while running)
  // event wait
  uint32_t* mask = nullptr;
  uint32_t baseInQueue = 0;
  uint32_t baseModem = 0;
  Counters baseCounters;
};

struct EventObj {
  int fd = -1;
  bool signalled = false;
  Operation op;
};

class PosixBackend final : public PortBackend {
 public:
  explicit PosixBackend(DeviceRequests requests) : requests_(std::move(requests)) {}
  ~PosixBackend() override {
    for (auto& [h, port] : ports_) ::close(port.fd);
    for (auto& [id, ev] : events_) ::close(ev.fd);
  }

  int32_t PlatformFamily() override {
    utsname info{};
    return uname(&info) == 0 ? 2 : -1;
  }

  uint32_t TickCount() override {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
  }

  uint32_t CreateEvent(Event& event) override {
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return errno;
    std::lock_guard lock(mutex_);
    event = nextEvent_++;
    events_[event].fd = fd;
    return 0;
  }

  void DestroyEvent(Event event) override {
    std::lock_guard lock(mutex_);
    auto it = events_.find(event);
    if (it == events_.end()) return;
    ::close(it->second.fd);
    events_.erase(it);
  }

  uint32_t SetEvent(Event event) override {
    std::lock_guard lock(mutex_);
    EventObj* ev = FindEvent(event);
    if (!ev) return EINVAL;
    Signal(*ev);
    return 0;
  }

  uint32_t ResetEvent(Event event) override {
    std::lock_guard lock(mutex_);
    EventObj* ev = FindEvent(event);
    if (!ev) return EINVAL;
    ev->signalled = false;
    uint64_t drain;
    while (::read(ev->fd, &drain, sizeof drain) > 0) {
    }
    return 0;
  }

  uint32_t Open(const std::string& name, Handle& handle) override {
    const std::string path = DevicePathOf(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    // flock keeps out other programs that lock as well; TIOCEXCL keeps out any
    // later open() except root's. Between the open and these a second opener
    // could slip in; flock is the check that tells.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno == EWOULDBLOCK ? EBUSY : errno;
      ::close(fd);
      return err;
    }
    if (Ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
      const int err = errno;
      ::close(fd);
      return err;
    }
    termios2 tio{};
    if (Ioctl(fd, TCGETS2, &tio) != 0) {
      const int err = errno;
      ::close(fd);
      return err;  // not a terminal: no serial port
    }
    std::lock_guard lock(mutex_);
    Port port;
    port.fd = fd;
    port.pty = IsPtySlave(fd);
    port.reported = ReadCounters(requests_, fd);
    handle = static_cast<Handle>(fd);
    ports_[handle] = port;
    return 0;
  }

  uint32_t Close(Handle handle) override {
    std::lock_guard lock(mutex_);
    auto it = ports_.find(handle);
    if (it == ports_.end()) return EBADF;
    for (auto& [id, ev] : events_) {
      if (ev.op.kind != OpKind::None && ev.op.handle == handle && ev.op.result == serialcodes::kIoPending) {
        ev.op.result = serialcodes::kOperationAborted;
        Signal(ev);
      }
    }
    // A pty outlives its last close and would keep TIOCEXCL, turning away our own
    // next open of it; a real port drops it anyway.
    Ioctl(it->second.fd, TIOCNXCL);
    flock(it->second.fd, LOCK_UN);
    const int rc = ::close(it->second.fd);
    const int err = errno;
    ports_.erase(it);
    return rc == 0 ? 0 : err;
  }

  uint32_t SetupQueues(Handle handle, uint32_t, uint32_t) override {
    // The tty layer's buffers have fixed sizes; the call only checks the handle.
    std::lock_guard lock(mutex_);
    return FindPort(handle) ? 0 : EBADF;
  }

  uint32_t GetLineSettings(Handle handle, LineSettings& s) override {
    std::lock_guard lock(mutex_);
    Port* port = FindPort(handle);
    if (!port) return EBADF;
    termios2 tio{};
    if (Ioctl(port->fd, TCGETS2, &tio) != 0) return errno;
    s.BaudRate = tio.c_ospeed;
    switch (tio.c_cflag & CSIZE) {
      case CS5: s.ByteSize = 5; break;
      case CS6: s.ByteSize = 6; break;
      case CS7: s.ByteSize = 7; break;
      default: s.ByteSize = 8; break;
    }
    s.Parity = !(tio.c_cflag & PARENB) ? 0 : (tio.c_cflag & CMSPAR) ? ((tio.c_cflag & PARODD) ? 3 : 4)
                                           : (tio.c_cflag & PARODD) ? 1 : 2;
    s.StopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    s.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    s.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    return 0;
  }

  uint32_t SetLineSettings(Handle handle, const LineSettings& s) override {
    std::lock_guard lock(mutex_);
    Port* port = FindPort(handle);
    if (!port) return EBADF;
    if (s.ByteSize < 5 || s.ByteSize > 8 || s.Parity > 4 || s.StopBits > 2 || s.BaudRate == 0) return EINVAL;
    termios2 tio{};
    if (Ioctl(port->fd, TCGETS2, &tio) != 0) return errno;
    // Raw: no line editing, no translation, no echo, no signals.
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= CREAD | CLOCAL;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[s.ByteSize - 5];
    if (s.Parity != 0) {
      tio.c_cflag |= PARENB;
      if (s.Parity == 1 || s.Parity == 3) tio.c_cflag |= PARODD;
      if (s.Parity >= 3) tio.c_cflag |= CMSPAR;
      tio.c_iflag |= INPCK;
    }
    if (s.StopBits != 0) tio.c_cflag |= CSTOPB;
    if (s.Flags & (dcbflags::kOutxCtsFlow | dcbflags::kRtsHandshake)) tio.c_cflag |= CRTSCTS;
    if (s.Flags & dcbflags::kOutX) tio.c_iflag |= IXON;
    if (s.Flags & dcbflags::kInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    // A standard rate keeps its classic code, so that every other tool reads it
    // back as such; any other rate goes through BOTHER.
    const tcflag_t code = StandardRateCode(s.BaudRate);
    tio.c_cflag |= code;
    tio.c_ispeed = tio.c_ospeed = s.BaudRate;
    if (Ioctl(port->fd, TCSETS2, &tio) != 0) return errno;
    return 0;
  }

  uint32_t GetTimeouts(Handle handle, PortTimeouts& timeouts) override {
    std::lock_guard lock(mutex_);
    Port* port = FindPort(handle);
    if (!port) return EBADF;
    timeouts = port->timeouts;
    return 0;
  }

  uint32_t SetTimeouts(Handle handle, const PortTimeouts& timeouts) override {
    std::lock_guard lock(mutex_);
    Port* port = FindPort(handle);
    if (!port) return EBADF;
    port->timeouts = timeouts;
    return 0;
  }

  uint32_t SetEventMask(Handle handle, uint32_t mask) override {
    std::lock_guard lock(mutex_);
    Port* port = FindPort(handle);
    if (!port) return EBADF;
    port->eventMask = mask;
    if (mask == 0) {
      for (auto& [id, ev] : events_) {
        if (ev.op.kind == OpKind::CommWait && ev.op.handle == handle && ev.op.result == serialcodes::kIoPending) {
          *ev.op.mask = 0;
          ev.op.result = 0;
          Signal(ev);
        }
      }
    }
    return 0;
  }

  uint32_t Purge(Handle handle) override {
    std::lock_guard lock(mutex_);
    Port* port = FindPort(handle);
    if (!port) return EBADF;
    for (auto& [id, ev] : events_) {
      if ((ev.op.kind == OpKind::Write || ev.op.kind == OpKind::Read) && ev.op.handle == handle &&
          ev.op.result == serialcodes::kIoPending) {
        ev.op.result = serialcodes::kOperationAborted;
        Signal(ev);
      }
    }
    if (port->gone) return 0;
    // A pty has no transmit queue of its own: its "output queue" is the far
    // end's receive queue, and flushing it would take back bytes the device has
    // already been sent ("E{" just before a close). Only what came in is dropped.
    return Ioctl(port->fd, TCFLSH, reinterpret_cast<void*>(uintptr_t(port->pty ? TCIFLUSH : TCIOFLUSH))) == 0 ? 0 : errno;
  }

  uint32_t ControlLine(Handle handle, LineControl what) override {
    std::lock_guard lock(mutex_);
    Port* port = FindPort(handle);
    if (!port) return EBADF;
    int rc = 0;
    int bits = 0;
    switch (what) {
      case LineControl::SetRts: bits = TIOCM_RTS; rc = Ioctl(port->fd, TIOCMBIS, &bits); break;
      case LineControl::ClearRts: bits = TIOCM_RTS; rc = Ioctl(port->fd, TIOCMBIC, &bits); break;
      case LineControl::SetDtr: bits = TIOCM_DTR; rc = Ioctl(port->fd, TIOCMBIS, &bits); break;
      case LineControl::ClearDtr: bits = TIOCM_DTR; rc = Ioctl(port->fd, TIOCMBIC, &bits); break;
      case LineControl::SetBreak: rc = Ioctl(port->fd, TIOCSBRK); break;
      case LineControl::ClearBreak: rc = Ioctl(port->fd, TIOCCBRK); break;
    }
    if (rc == 0) return 0;
    const int err = errno;
    // A pseudo-terminal has no modem lines: there is nothing to drive.
    return NoModemLines(err) ? 0 : err;
  }

  uint32_t Write(Handle handle, const char* data, uint32_t count, uint32_t& written, Event event) override {
    std::lock_guard lock(mutex_);
    Port* port = nullptr;
    EventObj* ev = nullptr;
    if (uint32_t code = BeginOperation(handle, event, port, ev)) return code;
    const ssize_t n = ::write(port->fd, data, count);
    if (n < 0 && errno != EAGAIN) return errno;
    const uint32_t done = n < 0 ? 0 : static_cast<uint32_t>(n);
    port->wroteSinceWait = true;
    if (done == count) {
      written = done;
      return 0;
    }
    ev->op = Operation{};
    ev->op.kind = OpKind::Write;
    ev->op.handle = handle;
    ev->op.data = data;
    ev->op.count = count;
    ev->op.done = done;
    ev->op.result = serialcodes::kIoPending;
    written = done;
    return serialcodes::kIoPending;
  }

  uint32_t Read(Handle handle, char* buffer, uint32_t count, uint32_t& got, Event event) override {
    std::lock_guard lock(mutex_);
    Port* port = nullptr;
    EventObj* ev = nullptr;
    if (uint32_t code = BeginOperation(handle, event, port, ev)) return code;
    const ssize_t n = ::read(port->fd, buffer, count);
    if (n < 0 && errno != EAGAIN) return errno;
    got = n < 0 ? 0 : static_cast<uint32_t>(n);
    return 0;
  }

  uint32_t WaitCommEvent(Handle handle, uint32_t& mask, Event event) override {
    std::lock_guard lock(mutex_);
    Port* port = nullptr;
    EventObj* ev = nullptr;
    if (uint32_t code = BeginOperation(handle, event, port, ev)) return code;
    if (port->eventMask == 0) return EINVAL;
    ev->op = Operation{};
    ev->op.kind = OpKind::CommWait;
    ev->op.handle = handle;
    ev->op.mask = &mask;
    ev->op.result = serialcodes::kIoPending;
    int queued = 0;
    if (!port->gone && Ioctl(port->fd, FIONREAD, &queued) == 0) ev->op.baseInQueue = static_cast<uint32_t>(queued);
    int lines = 0;
    if (!port->gone && Ioctl(port->fd, TIOCMGET, &lines) == 0) ev->op.baseModem = ModemWord(lines);
    ev->op.baseCounters = port->gone ? Counters{} : ReadCounters(requests_, port->fd);
    return serialcodes::kIoPending;
  }

  uint32_t GetResult(Handle handle, Event event, uint32_t& transferred) override {
    std::lock_guard lock(mutex_);
    EventObj* ev = FindEvent(event);
    if (!ev) return EINVAL;
    Operation& op = ev->op;
    if (op.kind == OpKind::Write && op.result == serialcodes::kIoPending) {
      Port* port = FindPort(handle);
      if (!port) {
        op.result = EBADF;
      } else {
        const ssize_t n = ::write(port->fd, op.data + op.done, op.count - op.done);
        if (n < 0 && errno != EAGAIN) {
          op.result = errno;
        } else if (n > 0) {
          op.done += static_cast<uint32_t>(n);
          if (op.done == op.count) op.result = 0;
        }
      }
    }
    transferred = op.kind == OpKind::Write ? op.done : 0;
    if (op.result != serialcodes::kIoPending) {
      const uint32_t result = op.result;
      if (op.kind != OpKind::CommWait) op.kind = OpKind::None;
      return result;
    }
    // A write still waiting for room is left to the worker's time-out rule.
    return op.kind == OpKind::Write ? serialcodes::kIoPending : serialcodes::kIoIncomplete;
  }

  uint32_t ClearCommError(Handle handle, uint32_t& errors, PortStatus& status) override {
    std::lock_guard lock(mutex_);
    Port* port = FindPort(handle);
    if (!port) return EBADF;
    errors = 0;
    status = PortStatus{};
    if (port->gone || HungUp(*port)) return EIO;
    int queued = 0;
    if (Ioctl(port->fd, FIONREAD, &queued) != 0) return errno;
    status.InQueue = static_cast<uint32_t>(queued);
    int outq = 0;
    if (Ioctl(port->fd, TIOCOUTQ, &outq) == 0) status.OutQueue = static_cast<uint32_t>(outq);
    const Counters now = ReadCounters(requests_, port->fd);
    if (now.valid && port->reported.valid) {
      if (now.bufOverrun != port->reported.bufOverrun) errors |= 0x01;
      if (now.overrun != port->reported.overrun) errors |= 0x02;
      if (now.parity != port->reported.parity) errors |= 0x04;
      if (now.frame != port->reported.frame) errors |= 0x08;
      if (now.brk != port->reported.brk) errors |= 0x10;
    }
    port->reported = now;
    return 0;
  }

  uint32_t GetModemStatus(Handle handle, uint32_t& status) override {
    std::lock_guard lock(mutex_);
    Port* port = FindPort(handle);
    if (!port) return EBADF;
    status = 0;
    // A device that is gone has no lines on; that it is gone is told once, by the
    // status check, not by every query of the lines as well.
    if (port->gone) return 0;
    int lines = 0;
    if (Ioctl(port->fd, TIOCMGET, &lines) != 0) {
      const int err = errno;
      if (NoModemLines(err)) return 0;
      if (err == EIO && HungUp(*port)) return 0;
      return err;
    }
    status = ModemWord(lines);
    return 0;
  }

  uint32_t WaitForEvents(const Event* events, int count, uint32_t timeoutMs) override {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      std::vector<pollfd> fds;
      bool needSlices = false;
      {
        std::lock_guard lock(mutex_);
        for (int i = 0; i < count; ++i) {
          EventObj* ev = FindEvent(events[i]);
          if (!ev) return EINVAL;
          if (!ev->signalled && ev->op.kind == OpKind::CommWait && ev->op.result == serialcodes::kIoPending)
            EvaluateCommWait(*ev, fds, needSlices);
          if (ev->signalled) return static_cast<uint32_t>(i);
          fds.push_back({ev->fd, POLLIN, 0});
        }
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return serialcodes::kWaitTimeout;
      const int slice = needSlices ? std::min<int>(kCheckSliceMs, static_cast<int>(left)) : static_cast<int>(left);
      if (poll(fds.data(), fds.size(), slice) < 0 && errno != EINTR) return errno;
    }
  }

 private:
  int Ioctl(int fd, unsigned long request, void* arg = nullptr) {
    return requests_ ? requests_(fd, request, arg) : ::ioctl(fd, request, arg);
  }
  Port* FindPort(Handle handle) {
    auto it = ports_.find(handle);
    return it == ports_.end() ? nullptr : &it->second;
  }
  EventObj* FindEvent(Event event) {
    auto it = events_.find(event);
    return it == events_.end() ? nullptr : &it->second;
  }
  // Finds the port and the operation record's event and resets the event, as
  // every asynchronous operation does when it starts.
  uint32_t BeginOperation(Handle handle, Event event, Port*& port, EventObj*& ev) {
    port = FindPort(handle);
    ev = FindEvent(event);
    if (!port) return EBADF;
    if (!ev) return EINVAL;
    ResetLocked(*ev);
    return 0;
  }
  static void Signal(EventObj& ev) {
    ev.signalled = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(ev.fd, &one, sizeof one);
  }
  static void ResetLocked(EventObj& ev) {
    ev.signalled = false;
    uint64_t drain;
    while (::read(ev.fd, &drain, sizeof drain) > 0) {
    }
  }

  // A device that is gone reads as hung up; the port then stays "gone" so that it
  // is not polled again (it would poll readable for ever).
  bool HungUp(Port& port) {
    pollfd p{port.fd, POLLIN, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) port.gone = true;
    return port.gone;
  }

  // Completes an outstanding event wait when one of the selected events happened;
  // otherwise adds what to poll for and says whether periodic checks are needed.
  void EvaluateCommWait(EventObj& ev, std::vector<pollfd>& fds, bool& needSlices) {
    Port* port = FindPort(ev.op.handle);
    if (!port || port->gone || HungUp(*port)) return;  // only a mask of 0 or closing ends it
    uint32_t happened = 0;
    int queued = 0;
    if (Ioctl(port->fd, FIONREAD, &queued) == 0) {
      if (static_cast<uint32_t>(queued) > ev.op.baseInQueue) happened |= kEvRxChar;
      if (static_cast<uint32_t>(queued) < ev.op.baseInQueue) ev.op.baseInQueue = static_cast<uint32_t>(queued);
    }
    int outq = 0;
    if (port->wroteSinceWait && Ioctl(port->fd, TIOCOUTQ, &outq) == 0 && outq == 0) happened |= kEvTxEmpty;
    int lines = 0;
    bool modemLines = false;
    if (Ioctl(port->fd, TIOCMGET, &lines) == 0) {
      modemLines = true;
      const uint32_t changed = ModemWord(lines) ^ ev.op.baseModem;
      if (changed & 0x10) happened |= kEvCts;
      if (changed & 0x20) happened |= kEvDsr;
      if (changed & 0x80) happened |= kEvRlsd;
      if ((changed & 0x40) && !(lines & TIOCM_RI)) happened |= kEvRing;
    }
    const Counters now = ReadCounters(requests_, port->fd);
    if (now.valid && ev.op.baseCounters.valid) {
      if (now.brk != ev.op.baseCounters.brk) happened |= kEvBreak;
      if (now.frame != ev.op.baseCounters.frame || now.overrun != ev.op.baseCounters.overrun ||
          now.parity != ev.op.baseCounters.parity || now.bufOverrun != ev.op.baseCounters.bufOverrun)
        happened |= kEvErr;
    }
    happened &= port->eventMask;
    if (happened) {
      if (happened & kEvTxEmpty) port->wroteSinceWait = false;
      *ev.op.mask = happened;
      ev.op.result = 0;
      Signal(ev);
      return;
    }
    if (queued == 0)
      fds.push_back({port->fd, POLLIN, 0});
    else
      needSlices = true;  // bytes wait unread: the port polls readable already
    if (port->wroteSinceWait || modemLines || now.valid) needSlices = true;
  }

  const DeviceRequests requests_;
  std::mutex mutex_;
  std::map<Handle, Port> ports_;
  std::map<Event, EventObj> events_;
  Event nextEvent_ = 1;
};

}  // namespace

std::unique_ptr<PortBackend> MakePosixBackend(DeviceRequests requests) {
  return std::make_unique<PosixBackend>(std::move(requests));
}
