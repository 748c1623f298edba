#include "serial/serialworker.h"

#include <algorithm>
#include <cmath>

#include <pthread.h>

#include "serial/serialport.h"

namespace {
constexpr uint32_t kMaxWaitMs = 75;
constexpr uint32_t kIdleSleepMs = 200;
constexpr uint32_t kLineErrorBits = 0x1F;
constexpr uint32_t kRingBit = 0x40;
}  // namespace

TWorkThread::TWorkThread(TSerialPort* owner) : owner_(owner), backend_(*owner->backend_) {
  lastEmptyTick_ = backend_.TickCount();
  running_ = owner_->active_;
  thread_ = std::thread([this] { Execute(); });
}

TWorkThread::~TWorkThread() {
  RequestStop();
  Join();
}

void TWorkThread::RequestStop() {
  {
    std::lock_guard lock(sleepMutex_);
    stopRequested_ = true;
  }
  stopSignal_.notify_all();
}

void TWorkThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void TWorkThread::Execute() {
  // Named so that a profiler or the benchmark can tell it from the other threads.
  pthread_setname_np(pthread_self(), "vellamo-serial");
  while (!(stopRequested_ && !running_)) Pass();
  finished_ = true;
  owner_->delivery_->Wake();
}

void TWorkThread::Pass() {
  TSerialPort& port = *owner_;
  if (!running_) {
    port.workerBusy_ = false;
    running_ = PortOpen();
    IdleSleep();
    return;
  }
  port.workerBusy_ = true;
  if (PortOpen()) CheckLineStatus();
  CheckWriteDone();
  if (!readPending_ && PortOpen()) TryRead();
  if (!waitPending_ && PortOpen()) StartEventWait();
  Wait();
  if (!PortOpen()) Collect();
}

// Active, and no close sequence under way: a port being closed counts as closed,
// so that the worker starts nothing the close would have to refuse.
bool TWorkThread::PortOpen() const { return owner_->active_ && !owner_->closing_; }

// The idle worker looks at the port every 200 ms; a stop request ends the sleep.
void TWorkThread::IdleSleep() { Nap(kIdleSleepMs); }

// A pause that a stop request ends.
void TWorkThread::Nap(uint32_t ms) {
  std::unique_lock lock(sleepMutex_);
  stopSignal_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopRequested_.load(); });
}

// Waits for what is outstanding; a read's event is listed first so that it wins
// when both are signalled.
void TWorkThread::Wait() {
  TSerialPort& port = *owner_;
  if (!readPending_ && !waitPending_) {
    if (waitRefused_) Nap(WaitTimeout());
    waitRefused_ = false;
    return;
  }
  waitRefused_ = false;
  PortBackend::Event events[2];
  int count = 0;
  if (readPending_) events[count++] = port.readEvent_;
  if (waitPending_) events[count++] = port.waitEvent_;
  const uint32_t result = backend_.WaitForEvents(events, count, WaitTimeout());
  lastStatus_ = result;
  if (PortOpen()) CheckLineStatus();
  if (result == serialcodes::kWaitTimeout) return;
  if (readPending_ && waitPending_) {
    if (result == 0) {
      FinishRead();
    } else if (result == 1) {
      FinishEventWait();
    } else {
      RecordError(9911, result, 0, "Error getting Overlappedresult");
      DeliverError();
      readPending_ = waitPending_ = false;
    }
  } else if (readPending_) {
    if (result == 0) {
      FinishRead();
    } else {
      RecordError(9912, result, 0, "Error getting Overlappedresult");
      DeliverError();
      readPending_ = false;
    }
  } else {
    if (result == 0) {
      FinishEventWait();
    } else {
      RecordError(9913, result, 0, "Error getting Overlappedresult");
      DeliverError();
      waitPending_ = false;
    }
  }
}

// At most 75 ms, but no longer than until the bytes waiting in the queue become a
// due cluster: an answer is delivered when the time rule says so, not a tick later.
uint32_t TWorkThread::WaitTimeout() const {
  if (portStatus_.InQueue == 0 || readPending_) return kMaxWaitMs;
  const double limit = ClusterLimitMs();
  const uint32_t elapsed = backend_.TickCount() - lastEmptyTick_;
  // Due once elapsed > limit, i.e. at the first whole millisecond past the limit.
  const double due = std::floor(limit) + 1;
  if (elapsed >= due) return 0;
  return std::min<uint32_t>(kMaxWaitMs, uint32_t(due - elapsed));
}

// The port is being closed: collect what is outstanding, then go idle.
void TWorkThread::Collect() {
  TSerialPort& port = *owner_;
  if (readPending_) ReportOpEventFailure(port.SignalOpEvent(port.readEvent_));
  if (waitPending_) {
    backend_.SetEventMask(port.handle_, 0);
    ReportOpEventFailure(port.SignalOpEvent(port.waitEvent_));
  }
  if (!readPending_ && !waitPending_ && !port.sendInProgress_) running_ = false;
}

void TWorkThread::CheckLineStatus() {
  TSerialPort& port = *owner_;
  // Read before the port is asked: a close and a new open may come in between.
  const uint32_t connection = port.connection_;
  if (connection != checkedConnection_) {
    // A new connection starts with no incident: a device gone again on it is
    // told again, even if its predecessor's report never reached anyone.
    checkedConnection_ = connection;
    lastStatusFailure_ = lastModemFailure_ = lastWaitFailure_ = 0;
  }
  bool dispatchDue = false;
  uint32_t status = 0;
  if (uint32_t code = backend_.GetModemStatus(port.handle_, status)) {
    if (code != lastModemFailure_) {
      RecordError(9905, code, 0, "Error getting ModemStatus");
      DeliverStatusError(connection);
    }
    lastModemFailure_ = code;
  } else {
    lastModemFailure_ = 0;
    const uint32_t previous = port.modemState_;
    if (port.platformFamily_ == 1 && !(status & kRingBit) && (previous & kRingBit)) {
      eventMask_ = 0x100;
      port.ringState_ = false;
      dispatchDue = true;
    }
    const bool ringChanged = (status & kRingBit) != (previous & kRingBit);
    port.modemState_ = status;
    port.ctsState_ = status & 0x10;
    port.dsrState_ = status & 0x20;
    port.rlsdState_ = status & 0x80;
    port.ringState_ = status & kRingBit;
    if (ringChanged && port.OnRIEvent) DeliverEvent(port.OnRIEvent);
    if (dispatchDue) DispatchCommEvents();
  }

  for (;;) {
    uint32_t errors = 0;
    PortStatus status;
    if (uint32_t code = backend_.ClearCommError(port.handle_, errors, status)) {
      // Nothing is known to be queued on a port that cannot be asked.
      lineErrors_ = 0;
      portStatus_ = PortStatus{};
      if (code != lastStatusFailure_) {
        RecordError(9803, code, 0, "Error ClearCommError");
        DeliverStatusError(connection);
      }
      lastStatusFailure_ = code;
      return;
    }
    lastStatusFailure_ = 0;
    lineErrors_ = errors;
    portStatus_ = status;
    if (errors == port.commError_ && status.HoldFlags == port.commStateFlags_ &&
        status.InQueue == port.commStateInQueue_ && status.OutQueue == port.commStateOutQueue_)
      return;
    port.commError_ = errors;
    port.commStateFlags_ = status.HoldFlags;
    port.commStateInQueue_ = status.InQueue;
    port.commStateOutQueue_ = status.OutQueue;
    if (port.OnCommStat) DeliverEvent(port.OnCommStat);
  }
}

void TWorkThread::CheckWriteDone() {
  TSerialPort& port = *owner_;
  if (!port.sendInProgress_) return;
  uint32_t transferred = 0;
  const uint32_t code = backend_.GetResult(port.handle_, port.writeEvent_, transferred);
  if (code == 0) {
    port.writtenBytes_ = transferred;
    port.sendInProgress_ = false;
    if (transferred != port.writeCount_) {
      RecordError(9701, lastStatus_, 0, "Error write TimeOut");
      DeliverError();
    }
    DeliverEvent(port.OnWriteDone);
  } else if (code == serialcodes::kIoIncomplete) {
    // still running
  } else if (code == serialcodes::kIoPending) {
    const double limit = double(transferred) * port.wtoCharDelayTime_ / 1000.0 + port.wtoExtraDelayTime_;
    if (double(uint32_t(backend_.TickCount() - port.writeStartTick_)) > limit) {
      port.writtenBytes_ = transferred;
      port.sendInProgress_ = false;
      ReportOpEventFailure(port.ResetOpEvent(port.writeEvent_));
      RecordError(9701, serialcodes::kIoPending, 0, "Error write TimeOut");
      DeliverError();
      DeliverEvent(port.OnWriteDone);
    }
  } else {
    port.sendInProgress_ = false;
    ReportOpEventFailure(port.ResetOpEvent(port.writeEvent_));
    RecordError(9702, code, 0, "Error getting Overlapped Result");
    DeliverError();
    DeliverEvent(port.OnWriteDone);
  }
}

// The time rule's limit for the bytes queued now: receive count x RTOCharDelayTime
// / 1000 + RTOExtraDelayTime, fractions of a millisecond kept.
double TWorkThread::ClusterLimitMs() const {
  return double(uint32_t(portStatus_.InQueue * owner_->rtoCharDelayTime_)) / 1000.0 + owner_->rtoExtraDelayTime_;
}

bool TWorkThread::ClusterDue(uint32_t now) const {
  const TSerialPort& port = *owner_;
  if (port.readRequest_) return true;
  if (portStatus_.InQueue >= port.clusterSize_) return true;
  if (double(uint32_t(now - lastEmptyTick_)) > ClusterLimitMs()) return true;
  return lineErrors_ & kLineErrorBits;
}

void TWorkThread::TryRead() {
  TSerialPort& port = *owner_;
  if (portStatus_.InQueue == 0) {
    lastEmptyTick_ = backend_.TickCount();
    return;
  }
  if (!ClusterDue(backend_.TickCount())) return;
  readCount_ = portStatus_.InQueue;
  readBuffer_ = std::make_unique<char[]>(readCount_);
  readGot_ = 0;
  const uint32_t code = backend_.Read(port.handle_, readBuffer_.get(), readCount_, readGot_, port.readEvent_);
  if (code == 0) {
    port.readRequest_ = false;
    QueueCluster();
    readBuffer_.reset();
    lastEmptyTick_ = backend_.TickCount();
  } else if (code == serialcodes::kIoPending) {
    readPending_ = true;
  } else {
    port.readRequest_ = false;
    readBuffer_.reset();
    RecordError(9804, code, 0, "Error reading Data");
    DeliverError();
  }
}

void TWorkThread::FinishRead() {
  TSerialPort& port = *owner_;
  const uint32_t code = backend_.GetResult(port.handle_, port.readEvent_, readGot_);
  if (code == 0) {
    QueueCluster();
    lastEmptyTick_ = backend_.TickCount();
  } else {
    if (code == serialcodes::kOperationAborted)
      RecordError(9907, code, 0, "Error read aborted");
    else
      RecordError(9908, code, 0, "Error getting Overlappedresult");
    DeliverError();
  }
  // An ended read, failed or not, is done with the buffer. One still running (the
  // worker's own signal during a close came first) keeps it until the next read
  // replaces it, which only a later open brings: the close's purge has aborted
  // it, and the platform ends it a moment after the purge has returned.
  if (code != serialcodes::kIoIncomplete) readBuffer_.reset();
  readPending_ = false;
}

void TWorkThread::QueueCluster() {
  TSerialPort& port = *owner_;
  if (port.destroying_) return;
  TSerialCluster cluster;
  if (readGot_ > 0) {
    cluster.Data = std::make_unique<char[]>(readGot_);
    std::copy_n(readBuffer_.get(), readGot_, cluster.Data.get());
    cluster.Size = readGot_;
  }
  cluster.CommErrors = lineErrors_;
  {
    std::lock_guard lock(port.queueLock_);
    port.clusters_.push_back(std::move(cluster));
  }
  DeliverEvent(port.OnRxClusterEvent);
}

void TWorkThread::StartEventWait() {
  TSerialPort& port = *owner_;
  eventMask_ = 0;
  const uint32_t code = backend_.WaitCommEvent(port.handle_, eventMask_, port.waitEvent_);
  if (code == 0) {
    CheckLineStatus();
    DispatchCommEvents();
  } else if (code == serialcodes::kIoPending) {
    waitPending_ = true;
  } else if (!PortOpen()) {
    // The close began between the test above and the call and refused the
    // wait (its event mask is 0 now): that is the close, not a failure.
  } else {
    // A device gone on Windows refuses every wait alike: one report per incident.
    if (code != lastWaitFailure_) {
      RecordError(9907, code, 0, "Error calling WaitCommEvent");
      DeliverError();
    }
    lastWaitFailure_ = code;
    waitRefused_ = true;
    return;
  }
  lastWaitFailure_ = 0;
}

void TWorkThread::FinishEventWait() {
  if (PortOpen()) {
    CheckLineStatus();
    DispatchCommEvents();
  }
  waitPending_ = false;
}

void TWorkThread::DispatchCommEvents() {
  TSerialPort& port = *owner_;
  if (port.destroying_) return;
  const uint32_t mask = eventMask_;
  port.commEvent_ = mask;
  const std::pair<uint32_t, TNotifyEvent TSerialPort::*> order[] = {
      {0x040, &TSerialPort::OnBreakEvent},     {0x008, &TSerialPort::OnCTSEvent},
      {0x010, &TSerialPort::OnDSREvent},       {0x080, &TSerialPort::OnLineErrorEvent},
      {0x100, &TSerialPort::OnRingEvent},      {0x020, &TSerialPort::OnRLSDEvent},
      {0x001, &TSerialPort::OnRxCharEvent},    {0x002, &TSerialPort::OnRxEventCharEvent},
      {0x004, &TSerialPort::OnTxQueueEmptyEvent}};
  for (const auto& [bit, handler] : order)
    if ((mask & bit) && port.*handler) DeliverEvent(port.*handler);
  if (mask != 0 && port.OnCommEvent) DeliverEvent(port.OnCommEvent);
}

void TWorkThread::RecordError(uint32_t place, uint32_t code, uint8_t noise, const std::string& msg) {
  errorPlace_ = place;
  errorCode_ = code;
  errorMsg_ = msg;
  errorNoise_ = noise;
}

void TWorkThread::DeliverError() {
  Deliver([this] { owner_->ReportError(errorPlace_, errorCode_, errorNoise_, errorMsg_); });
}

// A failed status check tells of the connection it was made on: its device
// gone. A handler answers it by acting on the port (closing it, naming it in
// the status). Served once a close of that connection has begun, in the middle
// of a port switch or after it, the answer would fall on the port as it is
// then, a new and healthy one. So it reaches the handler only while its own
// connection is still open.
void TWorkThread::DeliverStatusError(uint32_t connection) {
  Deliver([this, connection] {
    if (owner_->ConnectionOpen(connection))
      owner_->ReportError(errorPlace_, errorCode_, errorNoise_, errorMsg_);
  });
}

// A failed reset or signal of an operation record's event, reported like every
// other report of the worker: on the user-interface thread, not in quiet mode.
void TWorkThread::ReportOpEventFailure(uint32_t code) {
  if (code == 0) return;
  RecordError(1101, code, 0, TSerialPort::kOpEventFailure);
  DeliverError();
}

void TWorkThread::DeliverEvent(const std::function<void(TSerialPort*)>& handler) {
  if (!handler) return;
  Deliver([this, &handler] {
    if (handler && !owner_->handlersDetached_) handler(owner_);
  });
}

void TWorkThread::Deliver(const std::function<void()>& call) {
  if (owner_->threadQuietMode_) return;
  owner_->delivery_->Run(call);
}
