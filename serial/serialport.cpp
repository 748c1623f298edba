#include "serial/serialport.h"

#include <thread>

#include "serial/serialworker.h"

namespace {
constexpr uint32_t kAllCommEvents = 0x1FF;

// Delay per byte in microseconds for the lowest rate not above the baud rate.
uint32_t CharDelayFor(uint32_t baud) {
  struct Row {
    uint32_t rate, delay;
  };
  static constexpr Row kTable[] = {{110, 100000}, {300, 37000},  {600, 18000},  {1200, 9000},   {2400, 4500},
                                   {4800, 2300},  {9600, 1100},  {14400, 760},  {19200, 570},   {38400, 290},
                                   {56000, 200},  {57600, 190},  {115200, 95},  {128000, 85},   {256000, 43}};
  uint32_t delay = 1100;
  for (const Row& row : kTable)
    if (row.rate <= baud) delay = row.delay;
  return delay;
}
}  // namespace

TSerialPort::TSerialPort(std::unique_ptr<PortBackend> backend, TNotifyErrorEvent onProcessError,
                         std::unique_ptr<Delivery> delivery)
    : OnProcessError(std::move(onProcessError)), backend_(std::move(backend)), delivery_(std::move(delivery)) {
  platformFamily_ = backend_->PlatformFamily();
  for (PortBackend::Event* event : {&writeEvent_, &readEvent_, &waitEvent_}) {
    const uint32_t code = backend_->CreateEvent(*event);
    if (code == serialcodes::kAlreadyExists)
      ReportError(1002, serialcodes::kAlreadyExists, 0, "Error Overlapped Event Exists");
    else if (code != 0)
      ReportError(1001, code, 0, "Error Creating Overlapped Event");
  }
  worker_ = std::make_unique<TWorkThread>(this);
}

TSerialPort::~TSerialPort() {
  destroying_ = true;
  CyclePort(false);
  worker_->RequestStop();
  WaitWorkerIdle(10);
  // The worker may sit in a delivery; it can only end once that has run here.
  while (!worker_->Finished()) {
    delivery_->Serve();
    delivery_->WaitForCall(5);
  }
  worker_->Join();
  WorkerStopped();
  {
    std::lock_guard lock(queueLock_);
    clusters_.clear();
  }
  for (PortBackend::Event event : {writeEvent_, readEvent_, waitEvent_})
    if (event >= 0) backend_->DestroyEvent(event);
}

void TSerialPort::ReportError(uint32_t place, uint32_t code, uint8_t noise, const std::string& msg) {
  if (destroying_ || handlersDetached_ || noise > errorNoise_ || !OnProcessError) return;
  OnProcessError(this, place, code, msg, noise);
}

// --- properties ------------------------------------------------------------------

void TSerialPort::SetActive(bool value) {
  if (value != active_) CyclePort(value);
}

void TSerialPort::SetCommPort(const std::string& value) {
  const std::string name = value.substr(0, 255);
  if (name == commPort_) return;
  commPort_ = name;
  CyclePort(active_);
}

void TSerialPort::SetBaudRate(uint32_t value) {
  if (value == baudRate_) return;
  baudRate_ = value;
  if (xtoAuto_) ApplyAutoTiming();
  if (active_) ApplyLineSettings();
}

// Line settings that only need to reach the port while it is open.
#define VELLAMO_LINE_SETTER(Name, field, Type) \
  void TSerialPort::Set##Name(Type value) {    \
    if (value == field) return;                \
    field = value;                             \
    if (active_) ApplyLineSettings();          \
  }
VELLAMO_LINE_SETTER(ParityType, parityType_, uint8_t)
VELLAMO_LINE_SETTER(ParityErrorChar, parityErrorChar_, char)
VELLAMO_LINE_SETTER(ParityErrorReplacement, parityErrorReplacement_, bool)
VELLAMO_LINE_SETTER(StopBits, stopBits_, uint8_t)
VELLAMO_LINE_SETTER(DataBits, dataBits_, uint8_t)
VELLAMO_LINE_SETTER(XONChar, xonChar_, char)
VELLAMO_LINE_SETTER(XOFFChar, xoffChar_, char)
VELLAMO_LINE_SETTER(FlowControl, flowControl_, int32_t)
VELLAMO_LINE_SETTER(StripNullChars, stripNullChars_, bool)
VELLAMO_LINE_SETTER(EventChar, eventChar_, char)
VELLAMO_LINE_SETTER(WTOCharDelayTime, wtoCharDelayTime_, uint32_t)
VELLAMO_LINE_SETTER(WTOExtraDelayTime, wtoExtraDelayTime_, uint16_t)
#undef VELLAMO_LINE_SETTER

void TSerialPort::SetLimDiv(uint8_t& field, uint8_t value, const char* warning) {
  if (value == field) return;
  if (value > 100) {
    ReportError(100, value, 1, warning);
    value = 100;
  }
  field = value;
  if (active_) ApplyLineSettings();
}

void TSerialPort::SetXONLimDiv(uint8_t value) { SetLimDiv(xonLimDiv_, value, "Warning XOnLimDef set to 100"); }
void TSerialPort::SetXOFFLimDiv(uint8_t value) { SetLimDiv(xoffLimDiv_, value, "Warning XOffLimDef set to 100"); }

void TSerialPort::SetRxQueueSize(uint16_t value) {
  if (value == rxQueueSize_) return;
  rxQueueSize_ = value;
  if (uint32_t code = backend_->SetupQueues(handle_, rxQueueSize_, txQueueSize_))
    ReportError(101, code, 0, "Error can not set Quesize");
}

void TSerialPort::SetTxQueueSize(uint16_t value) {
  if (value == txQueueSize_) return;
  txQueueSize_ = value;
  if (uint32_t code = backend_->SetupQueues(handle_, rxQueueSize_, txQueueSize_))
    ReportError(102, code, 0, "Error can not set Quesize");
}

void TSerialPort::SetXTOAuto(bool value) {
  if (value == xtoAuto_) return;
  xtoAuto_ = value;
  if (value) ApplyAutoTiming();
}

void TSerialPort::ApplyAutoTiming() {
  const uint32_t delay = CharDelayFor(baudRate_);
  SetRTOCharDelayTime(delay);
  SetWTOCharDelayTime(delay);
}

// Line control only reaches the port while it is open; the value is kept either way.
void TSerialPort::ControlLine(const LineRequest& line, bool value, bool& state) {
  if (!active_) return;
  if (uint32_t code = backend_->ControlLine(handle_, value ? line.set : line.clear))
    ReportError(value ? line.place : line.place + 1, code, 0, value ? line.setFailure : line.clearFailure);
  state = value;
}

void TSerialPort::SetRTSState(bool value) {
  ControlLine({LineControl::SetRts, LineControl::ClearRts, 501, "Error setting RTS", "Error clearing RTS"}, value,
              rtsState_);
}

void TSerialPort::SetDTRState(bool value) {
  ControlLine({LineControl::SetDtr, LineControl::ClearDtr, 601, "Error setting DTR", "Error clearing DTR"}, value,
              dtrState_);
}

void TSerialPort::SetBREAKState(bool value) {
  ControlLine({LineControl::SetBreak, LineControl::ClearBreak, 701, "Error setting BREAK State",
               "Error clearing BREAK State"},
              value, breakState_);
}

// --- opening and closing -----------------------------------------------------------

void TSerialPort::CyclePort(bool open) {
  // Handlers run in the middle of both sequences: every report runs its handler
  // at once, and the close serves the worker's deliveries while it waits for the
  // worker. An open started there would find the port still held and fail busy,
  // or, under another name, get a handle that the running sequence then forgets
  // or overwrites. So it is refused, and reported as the platform reports a port
  // that is still held; a close asked for inside the close is the close under way.
  if (open && (closing_ || opening_)) {
    ReportError(110, 0, 2, "Msg start reactivating Port");
    ReportError(112, serialcodes::kBusy, 0, "Error reopening Port");
    return;
  }
  if (closing_) return;
  if (active_) ClosePort();
  if (!open) return;
  opening_ = true;
  OpenPort();
  opening_ = false;
}

void TSerialPort::ClosePort() {
  closing_ = true;
  const PortBackend::Handle handle = handle_;
  ReportError(100, 0, 2, "Msg start deactivating Port");
  if (uint32_t code = backend_->SetEventMask(handle, 0)) ReportError(101, code, 0, "Error disabling CommEvents");
  active_ = false;
  if (uint32_t code = backend_->Purge(handle)) ReportError(102, code, 0, "Error clearing Queues");
  WaitWorkerIdle(15);
  if (workerBusy_) ReportError(104, 0, 1, "Warning ThreadIsRunning");
  // The lines are switched as the property writes do, but the port is no longer Active.
  if (uint32_t code = backend_->ControlLine(handle, LineControl::ClearDtr))
    ReportError(602, code, 0, "Error clearing DTR");
  if (uint32_t code = backend_->ControlLine(handle, LineControl::ClearRts))
    ReportError(502, code, 0, "Error clearing RTS");
  dtrState_ = false;
  rtsState_ = false;
  if (uint32_t code = backend_->Close(handle)) ReportError(103, code, 0, "Error closing Port");
  handle_ = PortBackend::kNoPort;
  closing_ = false;
}

void TSerialPort::OpenPort() {
  ReportError(110, 0, 2, "Msg start reactivating Port");
  PortBackend::Handle handle = PortBackend::kNoPort;
  const uint32_t code = backend_->Open(commPort_.substr(0, 79), handle);
  handle_ = code == 0 ? handle : PortBackend::kNoPort;
  if (code == 0) ++connection_;
  active_ = code == 0;
  if (code != 0) {
    ReportError(112, code, 0, "Error reopening Port");
    return;
  }
  if (uint32_t c = backend_->SetupQueues(handle_, rxQueueSize_, txQueueSize_))
    ReportError(111, c, 0, "Error setup Queuesize");
  ApplyLineSettings();
  SetDTRState(true);
  SetRTSState(true);
  EnableCommEvents();
}

bool TSerialPort::ConnectionOpen(uint32_t connection) const {
  return active_ && !closing_ && connection_ == connection;
}

void TSerialPort::EnableCommEvents() {
  if (uint32_t code = backend_->SetEventMask(handle_, kAllCommEvents))
    ReportError(201, code, 0, "Error activating CommEventMask");
}

void TSerialPort::ApplyLineSettings() {
  LineSettings dcb;
  if (uint32_t code = backend_->GetLineSettings(handle_, dcb)) {
    ReportError(801, code, 0, "Error getting DCB from CommState");
    return;
  }
  dcb.BaudRate = baudRate_;
  // Rebuilt from nothing: no flag read from the port survives.
  uint32_t flags = dcbflags::kBinary;
  if (parityType_ != 0) flags |= dcbflags::kParity;
  if (parityErrorReplacement_) flags |= dcbflags::kErrorChar;
  flags |= static_cast<uint32_t>(flowControl_);
  if (stripNullChars_) flags |= dcbflags::kNull;
  dcb.Flags = flags;
  dcb.Parity = parityType_;
  dcb.ErrorChar = parityErrorChar_;
  dcb.EvtChar = eventChar_;
  dcb.StopBits = stopBits_;
  dcb.ByteSize = dataBits_;
  dcb.XonChar = xonChar_;
  dcb.XoffChar = xoffChar_;
  dcb.EofChar = 0;
  dcb.XonLim = static_cast<uint16_t>(uint32_t(rxQueueSize_) * xonLimDiv_ / 100);
  dcb.XoffLim = static_cast<uint16_t>(uint32_t(rxQueueSize_) * xoffLimDiv_ / 100);

  PortTimeouts timeouts;
  backend_->GetTimeouts(handle_, timeouts);
  timeouts = PortTimeouts{0xFFFFFFFFu, 0, 0, 0, 0};
  if (uint32_t code = backend_->SetTimeouts(handle_, timeouts)) ReportError(802, code, 0, "Error setting CommTimeout");
  if (uint32_t code = backend_->SetLineSettings(handle_, dcb))
    ReportError(802, code, 0, "Error setting CommState, 87 indicate that Parms are incorrect");
}

void TSerialPort::WaitWorkerIdle(int n) {
  // At most n slices of 75 ms, but over as soon as the worker is idle: the usual
  // close takes a few milliseconds, not a whole slice. The worker may be waiting
  // for this very thread: a cluster, event or report it began to deliver before
  // the close, or a report of what the close ends. Each is served here, at once,
  // as the event loop would serve it after the close; otherwise the worker would
  // sit in it for the whole n slices. Only a worker held by something else (a
  // delivery whose handler is this close itself, a platform call that hangs)
  // still takes the whole time.
  const auto deadline = std::chrono::steady_clock::now() + n * std::chrono::milliseconds(75);
  while (workerBusy_ && std::chrono::steady_clock::now() < deadline) {
    delivery_->Serve();
    delivery_->WaitForCall(2);
  }
}

void TSerialPort::WorkerStopped() { workerBusy_ = false; }

// --- sending and receiving ---------------------------------------------------------

void TSerialPort::SendText(const std::string& text) {
  if (!text.empty()) SendData(text.data(), static_cast<uint32_t>(text.size()));
}

void TSerialPort::SendData(const char* buffer, uint32_t count) {
  if (sendInProgress_) {
    ReportError(901, 0, 2, "Msg, dont enter SendData while SendInProgress is set");
    return;
  }
  PortTimeouts timeouts;
  backend_->GetTimeouts(handle_, timeouts);
  timeouts = PortTimeouts{0xFFFFFFFFu, 0, 0, 0, count * wtoCharDelayTime_ / 1000 + wtoExtraDelayTime_};
  if (uint32_t code = backend_->SetTimeouts(handle_, timeouts)) ReportError(902, code, 0, "Error setting CommTimeout");

  writeCount_ = count;
  writeBuffer_.assign(buffer, count);
  uint32_t written = 0;
  const uint32_t code = backend_->Write(handle_, writeBuffer_.data(), count, written, writeEvent_);
  if (code == 0) {
    writtenBytes_ = written;
    if (OnWriteDone && !handlersDetached_) OnWriteDone(this);
  } else if (code == serialcodes::kIoPending) {
    writeStartTick_ = backend_->TickCount();
    sendInProgress_ = true;
  } else {
    ReportError(903, code, 0, "Error writing Data");
    if (uint32_t reset = ResetOpEvent(writeEvent_)) ReportError(1101, reset, 0, kOpEventFailure);
  }
}

size_t TSerialPort::ClusterCount() {
  std::lock_guard lock(queueLock_);
  return clusters_.size();
}

std::string TSerialPort::ReadClusterText() { return TakeCluster().Text(); }

TSerialCluster TSerialPort::TakeCluster() {
  std::lock_guard lock(queueLock_);
  if (clusters_.empty()) return {};
  TSerialCluster cluster = std::move(clusters_.front());
  clusters_.pop_front();
  return cluster;
}

uint32_t TSerialPort::ResetOpEvent(PortBackend::Event event) { return backend_->ResetEvent(event); }

uint32_t TSerialPort::SignalOpEvent(PortBackend::Event event) { return backend_->SetEvent(event); }
