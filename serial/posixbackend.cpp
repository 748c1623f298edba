// The port backend over termios. Asynchronous operations of the component are
// emulated: writes go out non-blocking and finish later when the driver's buffer
// was full; reads complete at once.
//
// Received bytes are taken from the tty layer into an intake of the port's own as
// they arrive, through the receive filter (receivefilter.h), so that the event
// character is seen when it arrives and the queue count is what a read delivers.
// Port events are collected as the platform's driver does: every event of the
// mask that happens is noted in the port's history, and an event wait ends as
// soon as the history holds one; a wait started with events noted ends at once.
//
// Modem lines and error counters (USB control transfers on common adapters) are
// looked at once per worker pass: a sample serves every question until the worker
// has waited out a wait or it is 75 ms old. An event wait therefore sleeps in one
// poll() for its whole time-out, unless written bytes are still on their way out.

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

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "serial/portbackend.h"
#include "serial/receivefilter.h"
#include "serial/termiossettings.h"  // <asm/termbits.h>, which clashes with <termios.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kEvRxChar = 0x001, kEvRxFlag = 0x002, kEvTxEmpty = 0x004, kEvCts = 0x008, kEvDsr = 0x010,
                   kEvRlsd = 0x020, kEvBreak = 0x040, kEvErr = 0x080, kEvRing = 0x100;
// How often the transmit queue is looked at while written bytes are on their way
// out: nothing wakes a poll() when it runs empty.
constexpr int kTxCheckSliceMs = 5;
// The oldest sample of modem lines and counters that still answers: the worker's rhythm.
constexpr auto kSampleAge = std::chrono::milliseconds(75);
constexpr uint32_t kIntakeSize = 4096;
constexpr int kMaxWaitEvents = 2;

bool NoModemLines(int err) { return err == ENOTTY || err == EINVAL; }

// The slaves of Unix 98 pseudo-terminals have the majors 136 to 143.
bool IsPtySlave(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

ssize_t ReadRetrying(int fd, char* buffer, size_t count) {
  ssize_t n;
  do n = ::read(fd, buffer, count);
  while (n < 0 && errno == EINTR);
  return n;
}

ssize_t WriteRetrying(int fd, const char* data, size_t count) {
  ssize_t n;
  do n = ::write(fd, data, count);
  while (n < 0 && errno == EINTR);
  return n;
}

struct Counters {
  int brk = 0, frame = 0, overrun = 0, parity = 0, bufOverrun = 0;
  bool operator==(const Counters&) const = default;
};

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
  bool gone = false;        // the device hung up
  bool pty = false;         // a pseudo-terminal's slave: what it sends is at the far end at once
  bool modemLines = false;  // the driver answers for modem lines: a real port, not a pty
  bool counters = false;    // the driver keeps error counters
  bool txPending = false;   // written bytes not yet all sent: the transmit-queue-empty event is due
  uint32_t history = 0;     // events of the mask seen since the last wait took them

  // Received bytes, filtered, until a read takes them; allocated once at opening.
  std::unique_ptr<char[]> intake = std::make_unique<char[]>(kIntakeSize);
  uint32_t intakeCount = 0;
  ReceiveFilter filter;

  // The latest sample of the modem lines and counters.
  Clock::time_point sampledAt;
  uint32_t modemWord = 0;
  int modemError = 0;
  Counters counts;
  Counters reported;  // counters already turned into the error word

  // The poll set of an event wait on this port: its events' descriptors, then the port's.
  std::array<PortBackend::Event, kMaxWaitEvents> pollEvents{};
  int pollEventCount = 0;
  std::array<pollfd, kMaxWaitEvents + 1> pollSet{};
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
    ResetLocked(*ev);
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
    // Binary before anything else: the line settings that follow may be
    // refused, and a port left in canonical mode with echo would send the
    // device's own answers back to it.
    MakeBinary(tio);
    if (Ioctl(fd, TCSETS2, &tio) != 0) {
      const int err = errno;
      ::close(fd);
      return err;
    }
    std::lock_guard lock(mutex_);
    Port port;
    port.fd = fd;
    port.pty = IsPtySlave(fd);
    // Whether the driver has modem lines and counters is asked once; the first
    // answers are the first sample.
    int lines = 0;
    port.modemLines = Ioctl(fd, TIOCMGET, &lines) == 0 || !NoModemLines(errno);
    port.modemWord = ModemWord(lines);
    serial_icounter_struct counts{};
    port.counters = Ioctl(fd, TIOCGICOUNT, &counts) == 0;
    port.counts =
        port.reported = {counts.brk, counts.frame, counts.overrun, counts.parity, counts.buf_overrun};
    port.sampledAt = Clock::now();
    handle = static_cast<Handle>(fd);
    ports_[handle] = std::move(port);
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
    // The tty layer's buffers and the intake have fixed sizes; the call only checks the handle.
    std::lock_guard lock(mutex_);
    return FindPort(handle) ? 0 : EBADF;
  }

  uint32_t GetLineSettings(Handle handle, LineSettings& s) override {
    std::lock_guard lock(mutex_);
    Port* port = FindPort(handle);
    if (!port) return EBADF;
    termios2 tio{};
    if (Ioctl(port->fd, TCGETS2, &tio) != 0) return errno;
    FromTermios(tio, s);
    return 0;
  }

  uint32_t SetLineSettings(Handle handle, const LineSettings& s) override {
    std::lock_guard lock(mutex_);
    Port* port = FindPort(handle);
    if (!port) return EBADF;
    termios2 tio{};
    if (Ioctl(port->fd, TCGETS2, &tio) != 0) return errno;
    if (uint32_t code = ToTermios(s, tio)) return code;
    if (Ioctl(port->fd, TCSETS2, &tio) != 0) return errno;
    port->filter.Configure(FilterSettingsOf(s));
    int raise = 0;
    if ((s.Flags & dcbflags::kDtrControlMask) == dcbflags::kDtrEnable) raise |= TIOCM_DTR;
    if ((s.Flags & dcbflags::kRtsControlMask) == dcbflags::kRtsEnable) raise |= TIOCM_RTS;
    if (raise && Ioctl(port->fd, TIOCMBIS, &raise) != 0 && port->modemLines) return errno;
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
    port->history = 0;  // a new mask starts a new history, as on the platform
    if (mask == 0) {
      for (auto& [id, ev] : events_) {
        if (ev.op.kind == OpKind::CommWait && ev.op.handle == handle &&
            ev.op.result == serialcodes::kIoPending) {
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
    port->intakeCount = 0;
    port->filter.Reset();
    if (port->gone) return 0;
    // A pty has no transmit queue of its own: its "output queue" is the far
    // end's receive queue, and flushing it would take back bytes the device has
    // already been sent ("E{" just before a close). Only what came in is dropped.
    const uintptr_t queues = port->pty ? TCIFLUSH : TCIOFLUSH;
    return Ioctl(port->fd, TCFLSH, reinterpret_cast<void*>(queues)) == 0 ? 0 : errno;
  }

  uint32_t ControlLine(Handle handle, LineControl what) override {
    std::lock_guard lock(mutex_);
    Port* port = FindPort(handle);
    if (!port) return EBADF;
    // Each request, in LineControl's order: the ioctl and the modem bit it sets or clears.
    struct Request {
      unsigned long ioctl;
      int bits;
    };
    static constexpr Request kRequests[] = {{TIOCMBIS, TIOCM_RTS}, {TIOCMBIC, TIOCM_RTS}, {TIOCMBIS, TIOCM_DTR},
                                            {TIOCMBIC, TIOCM_DTR}, {TIOCSBRK, 0},         {TIOCCBRK, 0}};
    const Request& request = kRequests[static_cast<int>(what)];
    int bits = request.bits;
    const int rc = request.bits ? Ioctl(port->fd, request.ioctl, &bits) : Ioctl(port->fd, request.ioctl);
    if (rc == 0) return 0;
    const int err = errno;
    // A pseudo-terminal has no modem lines: there is nothing to drive. A real
    // port that turns a request down says so.
    return NoModemLines(err) && !port->modemLines ? 0 : err;
  }

  uint32_t Write(Handle handle, const char* data, uint32_t count, uint32_t& written, Event event) override {
    std::lock_guard lock(mutex_);
    Port* port = nullptr;
    EventObj* ev = nullptr;
    if (uint32_t code = BeginOperation(handle, event, port, ev)) return code;
    const ssize_t n = WriteRetrying(port->fd, data, count);
    if (n < 0 && errno != EAGAIN) return errno;
    const uint32_t done = n < 0 ? 0 : static_cast<uint32_t>(n);
    if (done > 0) port->txPending = true;
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

  // Completes at once with what has been received, at most count bytes; so the
  // buffer is the backend's only during the call.
  uint32_t Read(Handle handle, char* buffer, uint32_t count, uint32_t& got, Event event) override {
    std::lock_guard lock(mutex_);
    Port* port = nullptr;
    EventObj* ev = nullptr;
    if (uint32_t code = BeginOperation(handle, event, port, ev)) return code;
    Intake(*port);
    got = std::min(count, port->intakeCount);
    std::memcpy(buffer, port->intake.get(), got);
    std::memmove(port->intake.get(), port->intake.get() + got, port->intakeCount - got);
    port->intakeCount -= got;
    // What the intake had no room for comes straight into the buffer: a read takes
    // the whole receive count, as the worker asked for it.
    for (bool more = port->intakeCount == 0; more && got < count;) {
      uint32_t kept = 0;
      more = Take(*port, buffer + got, count - got, kept);
      got += kept;
    }
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
    // Events noted since the last wait end this one at once.
    if (Evaluate(*ev, false)) {
      ev->op.kind = OpKind::None;
      return 0;
    }
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
        const ssize_t n = WriteRetrying(port->fd, op.data + op.done, op.count - op.done);
        if (n < 0 && errno != EAGAIN) {
          op.result = errno;
        } else if (n > 0) {
          op.done += static_cast<uint32_t>(n);
          port->txPending = true;
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
    Intake(*port);
    status.InQueue = port->intakeCount;
    int queued = 0;
    if (port->intakeCount == kIntakeSize && Ioctl(port->fd, FIONREAD, &queued) == 0)
      status.InQueue += static_cast<uint32_t>(queued);
    int outq = 0;
    if (Ioctl(port->fd, TIOCOUTQ, &outq) == 0) status.OutQueue = static_cast<uint32_t>(outq);
    Sample(*port, false);
    const Counters& now = port->counts;
    if (now.bufOverrun != port->reported.bufOverrun) errors |= 0x01;
    if (now.overrun != port->reported.overrun) errors |= 0x02;
    if (now.parity != port->reported.parity) errors |= 0x04;
    if (now.frame != port->reported.frame) errors |= 0x08;
    if (now.brk != port->reported.brk) errors |= 0x10;
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
    if (port->gone || !port->modemLines) return 0;
    Sample(*port, false);
    if (port->modemError == EIO && HungUp(*port)) return 0;
    if (port->modemError) return port->modemError;
    status = port->modemWord;
    return 0;
  }

  uint32_t WaitForEvents(const Event* events, int count, uint32_t timeoutMs) override {
    if (count < 1 || count > kMaxWaitEvents) return EINVAL;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    bool lastLook = timeoutMs == 0;
    for (;;) {
      std::array<pollfd, kMaxWaitEvents + 1> fds;
      nfds_t used = 0;
      int slice = -1;
      {
        std::lock_guard lock(mutex_);
        Port* port = nullptr;
        for (int i = 0; i < count; ++i) {
          EventObj* ev = FindEvent(events[i]);
          if (!ev) return EINVAL;
          if (!ev->signalled && ev->op.kind == OpKind::CommWait && ev->op.result == serialcodes::kIoPending) {
            port = FindPort(ev->op.handle);
            // A wait that ran out looks at the lines once more, unless they were
            // looked at since it began: a change is seen within one wait.
            if (port) Evaluate(*ev, lastLook && port->sampledAt < start);
          }
          if (ev->signalled) return static_cast<uint32_t>(i);
        }
        if (lastLook) return serialcodes::kWaitTimeout;
        used = PollSet(port, events, count, fds);
        if (port && port->txPending) slice = kTxCheckSliceMs;
      }
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) {
        lastLook = true;
        continue;
      }
      // Rounded up: a wait never ends before its time, nor spins through its last millisecond.
      int leftMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
      if (slice >= 0 && slice < leftMs) leftMs = slice;
      if (poll(fds.data(), used, leftMs) < 0 && errno != EINTR) return errno;
      if (Clock::now() >= deadline) lastLook = true;
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

  // Takes what the tty layer has received into the intake, through the filter.
  void Intake(Port& port) {
    while (port.intakeCount < kIntakeSize) {
      uint32_t kept = 0;
      const bool more =
          Take(port, port.intake.get() + port.intakeCount, kIntakeSize - port.intakeCount, kept);
      port.intakeCount += kept;
      if (!more) return;
    }
  }

  // Reads at most room bytes from the tty layer into `into` and filters them there;
  // kept is what remains. False when the tty layer has nothing more (0 in raw mode,
  // EAGAIN before, or hung up).
  bool Take(Port& port, char* into, uint32_t room, uint32_t& kept) {
    kept = 0;
    if (port.gone) return false;
    const ssize_t n = ReadRetrying(port.fd, into, room);
    if (n <= 0) return false;
    bool eventChar = false;
    kept = port.filter.Apply(into, static_cast<uint32_t>(n), eventChar);
    if (kept > 0) Note(port, kEvRxChar);
    if (eventChar) Note(port, kEvRxFlag);
    return static_cast<uint32_t>(n) == room;
  }

  static void Note(Port& port, uint32_t events) { port.history |= events & port.eventMask; }

  // Reads the modem lines and counters when the sample is too old (or renew is
  // set) and notes the events in which they differ from the last sample.
  void Sample(Port& port, bool renew) {
    if (!port.modemLines && !port.counters) return;
    const auto now = Clock::now();
    if (!renew && now - port.sampledAt < kSampleAge) return;
    port.sampledAt = now;
    if (port.modemLines) {
      int lines = 0;
      port.modemError = Ioctl(port.fd, TIOCMGET, &lines) == 0 ? 0 : errno;
      if (!port.modemError) {
        const uint32_t word = ModemWord(lines);
        const uint32_t changed = word ^ port.modemWord;
        if (changed & 0x10) Note(port, kEvCts);
        if (changed & 0x20) Note(port, kEvDsr);
        if (changed & 0x80) Note(port, kEvRlsd);
        if ((changed & 0x40) && !(word & 0x40)) Note(port, kEvRing);  // the ring's trailing edge
        port.modemWord = word;
      }
    }
    serial_icounter_struct ic{};
    if (port.counters && Ioctl(port.fd, TIOCGICOUNT, &ic) == 0) {
      const Counters now{ic.brk, ic.frame, ic.overrun, ic.parity, ic.buf_overrun};
      if (now.brk != port.counts.brk) Note(port, kEvBreak);
      Counters othersBefore = port.counts, othersNow = now;
      othersBefore.brk = othersNow.brk = 0;
      if (othersNow != othersBefore) Note(port, kEvErr);
      port.counts = now;
    }
  }

  // Ends an outstanding event wait when the port's history holds an event of the mask.
  bool Evaluate(EventObj& ev, bool renewSample) {
    Port* port = FindPort(ev.op.handle);
    if (!port || port->gone || HungUp(*port)) return false;  // only a mask of 0 or closing ends it
    Intake(*port);
    int outq = 0;
    if (port->txPending && Ioctl(port->fd, TIOCOUTQ, &outq) == 0 && outq == 0) {
      port->txPending = false;
      Note(*port, kEvTxEmpty);
    }
    Sample(*port, renewSample);
    if (port->history == 0) return false;
    *ev.op.mask = port->history;
    port->history = 0;
    ev.op.result = 0;
    Signal(ev);
    return true;
  }

  // The descriptors to sleep on: built once for a port and its wait's events, then
  // only the port's own entry follows its state (nothing to poll when it is gone,
  // or while the intake is full and its bytes wait for a read).
  nfds_t PollSet(Port* port, const Event* events, int count, std::array<pollfd, kMaxWaitEvents + 1>& fds) {
    if (!port) {
      for (int i = 0; i < count; ++i) fds[i] = {FindEvent(events[i])->fd, POLLIN, 0};
      return static_cast<nfds_t>(count);
    }
    if (port->pollEventCount != count || !std::equal(events, events + count, port->pollEvents.begin())) {
      std::copy(events, events + count, port->pollEvents.begin());
      port->pollEventCount = count;
      for (int i = 0; i < count; ++i) port->pollSet[i] = {FindEvent(events[i])->fd, POLLIN, 0};
    }
    const bool listen = !port->gone && port->intakeCount < kIntakeSize;
    port->pollSet[count] = {listen ? port->fd : -1, POLLIN, 0};
    fds = port->pollSet;
    return static_cast<nfds_t>(count + 1);
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
