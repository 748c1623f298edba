#pragma once
// The narrow seam between the serial component's logic and the operating system.
// One operation per need of TSerialPort / TWorkThread. Every operation returns a
// code: 0 for success, otherwise the platform's error code (errno on POSIX) read
// right after the failing call, or one of the three operation states below.
// Nothing here knows of reports, clusters or properties.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace serialcodes {
constexpr uint32_t kOk = 0;
constexpr uint32_t kAlreadyExists = 183;   // an operation event existed already
constexpr uint32_t kIoPending = 997;       // asynchronous operation still outstanding
constexpr uint32_t kIoIncomplete = 996;    // result asked for while the operation runs
constexpr uint32_t kOperationAborted = 995;  // ended by Purge
constexpr uint32_t kWaitTimeout = 258;     // WaitForEvents ran out of time
constexpr uint32_t kInvalidHandle = 9;     // EBADF: an operation on a closed port
constexpr uint32_t kInvalidParameter = 87;  // line settings the port cannot take
constexpr uint32_t kBusy = 16;             // EBUSY: the port is held (opened exclusively)
}  // namespace serialcodes

// The bits of the line settings' flag word, as a device control block has them.
namespace dcbflags {
constexpr uint32_t kBinary = 0x0001;
constexpr uint32_t kParity = 0x0002;            // check parity of received bytes
constexpr uint32_t kOutxCtsFlow = 0x0004;
constexpr uint32_t kOutxDsrFlow = 0x0008;
constexpr uint32_t kDtrControlMask = 0x0030;    // 0x10 enable, 0x20 handshake
constexpr uint32_t kDtrEnable = 0x0010;
constexpr uint32_t kDtrHandshake = 0x0020;
constexpr uint32_t kDsrSensitivity = 0x0040;
constexpr uint32_t kTxContinueOnXoff = 0x0080;
constexpr uint32_t kOutX = 0x0100;              // XON/XOFF on sending
constexpr uint32_t kInX = 0x0200;               // XON/XOFF on receiving
constexpr uint32_t kErrorChar = 0x0400;         // replace bytes with parity errors
constexpr uint32_t kNull = 0x0800;              // strip NUL bytes
constexpr uint32_t kRtsControlMask = 0x3000;    // 0x1000 enable, 0x2000 handshake, 0x3000 toggle
constexpr uint32_t kRtsEnable = 0x1000;
constexpr uint32_t kRtsHandshake = 0x2000;
constexpr uint32_t kRtsToggle = 0x3000;
constexpr uint32_t kAbortOnError = 0x4000;
}  // namespace dcbflags

// Line settings, the fields of a device control block the component fills. How the
// POSIX backend maps each of them onto termios: serial/termiossettings.h.
struct LineSettings {
  uint32_t BaudRate = 9600;
  uint32_t Flags = 0;  // dcbflags bits
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 17;
  char XoffChar = 19;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
};

struct PortTimeouts {
  uint32_t ReadInterval = 0;
  uint32_t ReadTotalMultiplier = 0;
  uint32_t ReadTotalConstant = 0;
  uint32_t WriteTotalMultiplier = 0;
  uint32_t WriteTotalConstant = 0;
};

// What a status check returns besides the line error word.
struct PortStatus {
  uint8_t HoldFlags = 0;
  uint32_t InQueue = 0;
  uint32_t OutQueue = 0;
};

enum class LineControl { SetRts, ClearRts, SetDtr, ClearDtr, SetBreak, ClearBreak };

// The device path of a port name: a name without "/" is taken below /dev.
inline std::string DevicePathOf(const std::string& name) {
  return name.empty() || name.find('/') != std::string::npos ? name : "/dev/" + name;
}

class PortBackend {
 public:
  using Handle = uint32_t;
  using Event = int;  // an operation record's event, manual-reset
  static constexpr Handle kNoPort = 0xFFFFFFFFu;

  virtual ~PortBackend() = default;

  // Platform family from the version query; -1 when the query fails.
  virtual int32_t PlatformFamily() = 0;
  virtual uint32_t TickCount() = 0;  // milliseconds, wraps at 2^32

  virtual uint32_t CreateEvent(Event& event) = 0;  // kAlreadyExists: created, but it existed
  virtual void DestroyEvent(Event event) = 0;
  virtual uint32_t SetEvent(Event event) = 0;
  virtual uint32_t ResetEvent(Event event) = 0;
  // Waits until one of the events is signalled: returns its index, kWaitTimeout,
  // or an error code (never 0..count-1 for an error). kWaitTimeout comes no sooner
  // than TickCount() has advanced by timeoutMs: the worker waits for a due cluster
  // to the tick, and a wait ending a fraction early would have it spin.
  virtual uint32_t WaitForEvents(const Event* events, int count, uint32_t timeoutMs) = 0;

  // Opens exclusively; the path is a device path such as /dev/ttyACM0.
  virtual uint32_t Open(const std::string& path, Handle& handle) = 0;
  virtual uint32_t Close(Handle handle) = 0;
  virtual uint32_t SetupQueues(Handle handle, uint32_t rxSize, uint32_t txSize) = 0;
  virtual uint32_t GetLineSettings(Handle handle, LineSettings& settings) = 0;
  virtual uint32_t SetLineSettings(Handle handle, const LineSettings& settings) = 0;
  virtual uint32_t GetTimeouts(Handle handle, PortTimeouts& timeouts) = 0;
  virtual uint32_t SetTimeouts(Handle handle, const PortTimeouts& timeouts) = 0;
  // Selects the port events that end an event wait; 0 ends an outstanding wait at once.
  virtual uint32_t SetEventMask(Handle handle, uint32_t mask) = 0;
  // Aborts outstanding reads and writes and empties both queues.
  virtual uint32_t Purge(Handle handle) = 0;
  virtual uint32_t ControlLine(Handle handle, LineControl what) = 0;

  // Asynchronous operations, each bound to its operation record's event. They
  // return 0 when done at once, kIoPending when the event will be signalled later.
  // The buffers and the mask variable must stay valid until the operation has
  // ended, which GetResult tells by returning anything but kIoPending or
  // kIoIncomplete. Purge and Close abort every outstanding read and write, but
  // need not wait for them: the Win32 calls return first, and each aborted
  // operation ends a moment later, with kOperationAborted, on its own event.
  virtual uint32_t Write(Handle handle, const char* data, uint32_t count, uint32_t& written, Event event) = 0;
  virtual uint32_t Read(Handle handle, char* buffer, uint32_t count, uint32_t& got, Event event) = 0;
  virtual uint32_t WaitCommEvent(Handle handle, uint32_t& mask, Event event) = 0;
  // Result of the operation bound to the event, without waiting.
  virtual uint32_t GetResult(Handle handle, Event event, uint32_t& transferred) = 0;

  // Returns and clears the line error word; fills the hold flags and queue counts.
  virtual uint32_t ClearCommError(Handle handle, uint32_t& errors, PortStatus& status) = 0;
  virtual uint32_t GetModemStatus(Handle handle, uint32_t& status) = 0;
};

// The backend's device requests (ioctl) pass through this when it is given: a test
// or a benchmark puts modem lines, error counters or a refusing driver under a
// pty, which has none of them. The arguments and result are ioctl's, errno included.
using DeviceRequests = std::function<int(int fd, unsigned long request, void* arg)>;
std::unique_ptr<PortBackend> MakePosixBackend(DeviceRequests requests = {});
