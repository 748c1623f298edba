// The port backend over the Win32 communications API. Every operation is the one
// API call the component names; a failure returns GetLastError() as it stands,
// so the pending, incomplete and aborted states arrive as 997, 996 and 995 and
// the rest are the platform's own codes.
//
// A port handle travels as 32 bits: Windows keeps kernel handles within 32 bits
// so that 32- and 64-bit processes can share them, and INVALID_HANDLE_VALUE
// truncates to the interface's kNoPort and sign-extends back. An operation
// record's event is an index into a table of records, each an OVERLAPPED with
// its manual-reset event; records never move, so the platform may write into one
// while the table grows.

#include "serial/win32backend.h"

#include <windows.h>

#include <deque>
#include <mutex>

// <windows.h> makes CreateEvent a macro for CreateEventA/W, which would rename
// the interface's operation of that name here.
#undef CreateEvent

namespace {

HANDLE ToHandle(PortBackend::Handle handle) {
  return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<int32_t>(handle)));
}

PortBackend::Handle FromHandle(HANDLE handle) {
  return static_cast<PortBackend::Handle>(reinterpret_cast<ULONG_PTR>(handle));
}

uint32_t LastError() { return static_cast<uint32_t>(GetLastError()); }

// The flag word of the interface is the DCB's bit fields in their order.
uint32_t FlagsOf(const DCB& dcb) {
  return dcb.fBinary * dcbflags::kBinary | dcb.fParity * dcbflags::kParity |
         dcb.fOutxCtsFlow * dcbflags::kOutxCtsFlow | dcb.fOutxDsrFlow * dcbflags::kOutxDsrFlow |
         dcb.fDtrControl * dcbflags::kDtrEnable | dcb.fDsrSensitivity * dcbflags::kDsrSensitivity |
         dcb.fTXContinueOnXoff * dcbflags::kTxContinueOnXoff | dcb.fOutX * dcbflags::kOutX |
         dcb.fInX * dcbflags::kInX | dcb.fErrorChar * dcbflags::kErrorChar | dcb.fNull * dcbflags::kNull |
         dcb.fRtsControl * dcbflags::kRtsEnable | dcb.fAbortOnError * dcbflags::kAbortOnError;
}

void SetFlags(DCB& dcb, uint32_t flags) {
  dcb.fBinary = (flags & dcbflags::kBinary) != 0;
  dcb.fParity = (flags & dcbflags::kParity) != 0;
  dcb.fOutxCtsFlow = (flags & dcbflags::kOutxCtsFlow) != 0;
  dcb.fOutxDsrFlow = (flags & dcbflags::kOutxDsrFlow) != 0;
  dcb.fDtrControl = (flags & dcbflags::kDtrControlMask) / dcbflags::kDtrEnable;
  dcb.fDsrSensitivity = (flags & dcbflags::kDsrSensitivity) != 0;
  dcb.fTXContinueOnXoff = (flags & dcbflags::kTxContinueOnXoff) != 0;
  dcb.fOutX = (flags & dcbflags::kOutX) != 0;
  dcb.fInX = (flags & dcbflags::kInX) != 0;
  dcb.fErrorChar = (flags & dcbflags::kErrorChar) != 0;
  dcb.fNull = (flags & dcbflags::kNull) != 0;
  dcb.fRtsControl = (flags & dcbflags::kRtsControlMask) / dcbflags::kRtsEnable;
  dcb.fAbortOnError = (flags & dcbflags::kAbortOnError) != 0;
}

struct Record {
  OVERLAPPED overlapped{};
};

class Win32Backend final : public PortBackend {
 public:
  ~Win32Backend() override {
    for (Record& record : records_)
      if (record.overlapped.hEvent) CloseHandle(record.overlapped.hEvent);
  }

  int32_t PlatformFamily() override {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) ? static_cast<int32_t>(info.dwPlatformId) : -1;
  }

  uint32_t TickCount() override { return GetTickCount(); }

  uint32_t CreateEvent(Event& event) override {
    HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!handle) return LastError();
    const uint32_t code = GetLastError() == ERROR_ALREADY_EXISTS ? serialcodes::kAlreadyExists : 0;
    std::lock_guard lock(mutex_);
    records_.emplace_back().overlapped.hEvent = handle;
    event = static_cast<Event>(records_.size() - 1);
    return code;
  }

  void DestroyEvent(Event event) override {
    Record* record = Find(event);
    if (!record || !record->overlapped.hEvent) return;
    CloseHandle(record->overlapped.hEvent);
    record->overlapped.hEvent = nullptr;
  }

  uint32_t SetEvent(Event event) override { return Call(::SetEvent(EventHandle(event))); }
  uint32_t ResetEvent(Event event) override { return Call(::ResetEvent(EventHandle(event))); }

  uint32_t WaitForEvents(const Event* events, int count, uint32_t timeoutMs) override {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    if (count < 1 || count > MAXIMUM_WAIT_OBJECTS) return WAIT_FAILED;
    for (int i = 0; i < count; ++i) handles[i] = EventHandle(events[i]);
    // The wait's own clock may end it before the tick counter has advanced as far
    // (its granularity is coarser than a millisecond); the rest is waited again,
    // so a time-out never comes early by the counter the worker reads.
    const DWORD start = GetTickCount();
    for (;;) {
      const DWORD elapsed = GetTickCount() - start;
      const DWORD left = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
      const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, left);
      if (result != WAIT_TIMEOUT || GetTickCount() - start >= timeoutMs) return result;
    }
  }

  uint32_t Open(const std::string& name, Handle& handle) override {
    const std::string path = "\\\\.\\" + name;
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return LastError();
    handle = FromHandle(port);
    return 0;
  }

  uint32_t Close(Handle handle) override { return Call(CloseHandle(ToHandle(handle))); }

  uint32_t SetupQueues(Handle handle, uint32_t rxSize, uint32_t txSize) override {
    return Call(SetupComm(ToHandle(handle), rxSize, txSize));
  }

  uint32_t GetLineSettings(Handle handle, LineSettings& s) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(ToHandle(handle), &dcb)) return LastError();
    s.BaudRate = dcb.BaudRate;
    s.Flags = FlagsOf(dcb);
    s.XonLim = dcb.XonLim;
    s.XoffLim = dcb.XoffLim;
    s.ByteSize = dcb.ByteSize;
    s.Parity = dcb.Parity;
    s.StopBits = dcb.StopBits;
    s.XonChar = dcb.XonChar;
    s.XoffChar = dcb.XoffChar;
    s.ErrorChar = dcb.ErrorChar;
    s.EofChar = dcb.EofChar;
    s.EvtChar = dcb.EvtChar;
    return 0;
  }

  uint32_t SetLineSettings(Handle handle, const LineSettings& s) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = s.BaudRate;
    SetFlags(dcb, s.Flags);
    dcb.XonLim = s.XonLim;
    dcb.XoffLim = s.XoffLim;
    dcb.ByteSize = s.ByteSize;
    dcb.Parity = s.Parity;
    dcb.StopBits = s.StopBits;
    dcb.XonChar = s.XonChar;
    dcb.XoffChar = s.XoffChar;
    dcb.ErrorChar = s.ErrorChar;
    dcb.EofChar = s.EofChar;
    dcb.EvtChar = s.EvtChar;
    return Call(SetCommState(ToHandle(handle), &dcb));
  }

  uint32_t GetTimeouts(Handle handle, PortTimeouts& t) override {
    COMMTIMEOUTS ct{};
    if (!GetCommTimeouts(ToHandle(handle), &ct)) return LastError();
    t = PortTimeouts{ct.ReadIntervalTimeout, ct.ReadTotalTimeoutMultiplier, ct.ReadTotalTimeoutConstant,
                     ct.WriteTotalTimeoutMultiplier, ct.WriteTotalTimeoutConstant};
    return 0;
  }

  uint32_t SetTimeouts(Handle handle, const PortTimeouts& t) override {
    COMMTIMEOUTS ct{t.ReadInterval, t.ReadTotalMultiplier, t.ReadTotalConstant, t.WriteTotalMultiplier,
                    t.WriteTotalConstant};
    return Call(SetCommTimeouts(ToHandle(handle), &ct));
  }

  uint32_t SetEventMask(Handle handle, uint32_t mask) override { return Call(SetCommMask(ToHandle(handle), mask)); }

  uint32_t Purge(Handle handle) override {
    return Call(PurgeComm(ToHandle(handle), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  }

  uint32_t ControlLine(Handle handle, LineControl what) override {
    HANDLE port = ToHandle(handle);
    switch (what) {
      case LineControl::SetRts:
        return Call(EscapeCommFunction(port, SETRTS));
      case LineControl::ClearRts:
        return Call(EscapeCommFunction(port, CLRRTS));
      case LineControl::SetDtr:
        return Call(EscapeCommFunction(port, SETDTR));
      case LineControl::ClearDtr:
        return Call(EscapeCommFunction(port, CLRDTR));
      case LineControl::SetBreak:
        return Call(SetCommBreak(port));
      case LineControl::ClearBreak:
        return Call(ClearCommBreak(port));
    }
    return ERROR_INVALID_PARAMETER;
  }

  uint32_t Write(Handle handle, const char* data, uint32_t count, uint32_t& written, Event event) override {
    OVERLAPPED* overlapped = Overlapped(event);
    if (!overlapped) return ERROR_INVALID_PARAMETER;
    DWORD done = 0;
    const BOOL ok = WriteFile(ToHandle(handle), data, count, &done, overlapped);
    written = done;
    return Call(ok);
  }

  uint32_t Read(Handle handle, char* buffer, uint32_t count, uint32_t& got, Event event) override {
    OVERLAPPED* overlapped = Overlapped(event);
    if (!overlapped) return ERROR_INVALID_PARAMETER;
    DWORD done = 0;
    const BOOL ok = ReadFile(ToHandle(handle), buffer, count, &done, overlapped);
    got = done;
    return Call(ok);
  }

  uint32_t WaitCommEvent(Handle handle, uint32_t& mask, Event event) override {
    static_assert(sizeof(DWORD) == sizeof(uint32_t));
    OVERLAPPED* overlapped = Overlapped(event);
    if (!overlapped) return ERROR_INVALID_PARAMETER;
    return Call(::WaitCommEvent(ToHandle(handle), reinterpret_cast<DWORD*>(&mask), overlapped));
  }

  uint32_t GetResult(Handle handle, Event event, uint32_t& transferred) override {
    Record* record = Find(event);
    if (!record) return ERROR_INVALID_PARAMETER;
    DWORD done = 0;
    const BOOL ok = GetOverlappedResult(ToHandle(handle), &record->overlapped, &done, FALSE);
    transferred = done;
    return Call(ok);
  }

  uint32_t ClearCommError(Handle handle, uint32_t& errors, PortStatus& status) override {
    DWORD word = 0;
    COMSTAT stat{};
    if (!::ClearCommError(ToHandle(handle), &word, &stat)) return LastError();
    errors = word;
    status.HoldFlags = static_cast<uint8_t>(stat.fCtsHold | stat.fDsrHold << 1 | stat.fRlsdHold << 2 |
                                            stat.fXoffHold << 3 | stat.fXoffSent << 4 | stat.fEof << 5 |
                                            stat.fTxim << 6);
    status.InQueue = stat.cbInQue;
    status.OutQueue = stat.cbOutQue;
    return 0;
  }

  uint32_t GetModemStatus(Handle handle, uint32_t& status) override {
    DWORD word = 0;
    if (!GetCommModemStatus(ToHandle(handle), &word)) return LastError();
    status = word;
    return 0;
  }

 private:
  static uint32_t Call(BOOL ok) { return ok ? 0 : LastError(); }

  Record* Find(Event event) {
    std::lock_guard lock(mutex_);
    return event >= 0 && static_cast<size_t>(event) < records_.size() ? &records_[event] : nullptr;
  }
  // An unknown event is no handle: the API call then fails with its own code.
  HANDLE EventHandle(Event event) {
    Record* record = Find(event);
    return record ? record->overlapped.hEvent : nullptr;
  }
  // Each operation starts with its record cleared but for its event; null for an
  // unknown event, which the caller refuses as a parameter the API would not take.
  OVERLAPPED* Overlapped(Event event) {
    Record* record = Find(event);
    if (!record) return nullptr;
    HANDLE signal = record->overlapped.hEvent;
    record->overlapped = OVERLAPPED{};
    record->overlapped.hEvent = signal;
    return &record->overlapped;
  }

  std::mutex mutex_;
  std::deque<Record> records_;  // a deque keeps every record in place as it grows
};

}  // namespace

std::unique_ptr<PortBackend> MakeWin32Backend() { return std::make_unique<Win32Backend>(); }
