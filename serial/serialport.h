#pragma once
// TSerialPort: a non-visual component that owns one serial port.
//
// Threads: the user-interface thread makes every property write, SendData,
// SendText, ReadClusterText, opening, closing and destruction, and runs every
// event handler. The worker (TWorkThread, serialworker.h) reads the port, waits
// for port events, finishes writes and maintains the status properties; all it
// raises is carried to the user-interface thread synchronously (delivery.h).
// The queue lock guards the cluster queue and nothing else. The other shared
// fields are single words read and written whole (std::atomic here).

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "serial/delivery.h"
#include "serial/portbackend.h"

class TSerialPort;
class TWorkThread;

// One received chunk of serial bytes.
struct TSerialCluster {
  std::unique_ptr<char[]> Data;  // null for an empty cluster
  uint32_t Size = 0;
  uint32_t CommErrors = 0;  // line error word of the status check when it was made
  std::string Text() const { return Size ? std::string(Data.get(), Size) : std::string(); }
};

enum TComStateFlag : uint8_t {
  fCtlHold = 1 << 0,
  fDsrHold = 1 << 1,
  fRlsHold = 1 << 2,
  fXoffHold = 1 << 3,
  fXOffSent = 1 << 4,
  fEof = 1 << 5,
  fTxim = 1 << 6,
};

using TNotifyEvent = std::function<void(TSerialPort* sender)>;
using TNotifyErrorEvent =
    std::function<void(TSerialPort* sender, uint32_t place, uint32_t code, const std::string& msg, uint8_t noise)>;

class TSerialPort {
 public:
  // The backend defaults to the POSIX one; tests hand in a fake. A report handler
  // given here already hears the reports of the construction itself. Assign the
  // other handlers before the port is opened: the worker reads them. The delivery
  // defaults to the Qt event loop's; a build without Qt hands in a PlainDelivery
  // and serves it on the constructing thread.
  explicit TSerialPort(std::unique_ptr<PortBackend> backend = MakePosixBackend(),
                       TNotifyErrorEvent onProcessError = {},
                       std::unique_ptr<Delivery> delivery = MakeUiDelivery());
  ~TSerialPort();
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  // --- properties -------------------------------------------------------------
  bool Active() const { return active_; }
  void SetActive(bool value);
  uint32_t ComHandle() const { return handle_; }
  const std::string& CommPort() const { return commPort_; }
  void SetCommPort(const std::string& value);  // keeps at most 255 characters
  uint32_t BaudRate() const { return baudRate_; }
  void SetBaudRate(uint32_t value);
  uint8_t ParityType() const { return parityType_; }
  void SetParityType(uint8_t value);
  char ParityErrorChar() const { return parityErrorChar_; }
  void SetParityErrorChar(char value);
  bool ParityErrorReplacement() const { return parityErrorReplacement_; }
  void SetParityErrorReplacement(bool value);
  uint8_t StopBits() const { return stopBits_; }
  void SetStopBits(uint8_t value);
  uint8_t DataBits() const { return dataBits_; }
  void SetDataBits(uint8_t value);
  char XONChar() const { return xonChar_; }
  void SetXONChar(char value);
  char XOFFChar() const { return xoffChar_; }
  void SetXOFFChar(char value);
  uint8_t XONLimDiv() const { return xonLimDiv_; }
  void SetXONLimDiv(uint8_t value);
  uint8_t XOFFLimDiv() const { return xoffLimDiv_; }
  void SetXOFFLimDiv(uint8_t value);
  int32_t FlowControl() const { return flowControl_; }
  void SetFlowControl(int32_t value);
  bool StripNullChars() const { return stripNullChars_; }
  void SetStripNullChars(bool value);
  char EventChar() const { return eventChar_; }
  void SetEventChar(char value);
  uint32_t RTOCharDelayTime() const { return rtoCharDelayTime_; }
  void SetRTOCharDelayTime(uint32_t value) { rtoCharDelayTime_ = value; }
  uint16_t RTOExtraDelayTime() const { return rtoExtraDelayTime_; }
  void SetRTOExtraDelayTime(uint16_t value) { rtoExtraDelayTime_ = value; }
  uint16_t ClusterSize() const { return clusterSize_; }
  void SetClusterSize(uint16_t value) { clusterSize_ = value; }
  uint16_t RxQueueSize() const { return rxQueueSize_; }
  void SetRxQueueSize(uint16_t value);
  uint16_t TxQueueSize() const { return txQueueSize_; }
  void SetTxQueueSize(uint16_t value);
  uint32_t WTOCharDelayTime() const { return wtoCharDelayTime_; }
  void SetWTOCharDelayTime(uint32_t value);
  uint16_t WTOExtraDelayTime() const { return wtoExtraDelayTime_; }
  void SetWTOExtraDelayTime(uint16_t value);
  bool XTOAuto() const { return xtoAuto_; }
  void SetXTOAuto(bool value);
  bool RTSState() const { return rtsState_; }
  void SetRTSState(bool value);
  bool DTRState() const { return dtrState_; }
  void SetDTRState(bool value);
  bool BREAKState() const { return breakState_; }
  void SetBREAKState(bool value);
  bool CTSState() const { return ctsState_; }
  bool DSRState() const { return dsrState_; }
  bool RLSDState() const { return rlsdState_; }
  bool RingState() const { return ringState_; }
  uint8_t ErrorNoise() const { return errorNoise_; }
  void SetErrorNoise(uint8_t value) { errorNoise_ = value; }
  bool ReadRequest() const { return readRequest_; }
  void SetReadRequest(bool value) { readRequest_ = value; }
  bool SendInProgress() const { return sendInProgress_; }
  uint32_t CommError() const { return commError_; }
  uint8_t CommStateFlags() const { return commStateFlags_; }
  uint32_t CommStateInQueue() const { return commStateInQueue_; }
  uint32_t CommStateOutQueue() const { return commStateOutQueue_; }
  uint32_t ModemState() const { return modemState_; }
  uint32_t CommEvent() const { return commEvent_; }
  uint32_t WrittenBytes() const { return writtenBytes_; }
  bool ThreadQuietMode() const { return threadQuietMode_; }
  void SetThreadQuietMode(bool value) { threadQuietMode_ = value; }
  bool AutoReadRequest() const { return autoReadRequest_; }
  void SetAutoReadRequest(bool value) { autoReadRequest_ = value; }
  int32_t PlatformFamily() const { return platformFamily_; }
  // True while the worker runs its active loop: from its first pass after the
  // port opened (200 to 400 ms later, after its idle nap) until it goes idle
  // after the close. Lets a caller wait until received bytes are being watched.
  bool WorkerBusy() const { return workerBusy_; }

  // --- events ------------------------------------------------------------------
  TNotifyEvent OnCommEvent, OnCommStat, OnTxQueueEmptyEvent, OnWriteDone, OnBreakEvent, OnCTSEvent, OnDSREvent,
      OnLineErrorEvent, OnRingEvent, OnRIEvent, OnRLSDEvent, OnRxClusterEvent, OnRxCharEvent, OnRxEventCharEvent;
  TNotifyErrorEvent OnProcessError;

  // Clusters waiting in the queue (the worker may be delivering the newest).
  size_t ClusterCount();

  // --- operations ----------------------------------------------------------------
  // From now on no handler runs, not even for a delivery the worker already holds:
  // the owner calls this before it goes, while the component may still serve the
  // worker (its destruction does). The handlers stay assigned, since the worker
  // may be looking at them; they are only never called again.
  void DetachHandlers() { handlersDetached_ = true; }
  void SendData(const char* buffer, uint32_t count);
  void SendText(const std::string& text);
  std::string ReadClusterText();
  // Removes the oldest cluster and hands it over (an empty cluster when none waits).
  TSerialCluster TakeCluster();

  // Reports through OnProcessError when Noise <= ErrorNoise and not destroying.
  void ReportError(uint32_t place, uint32_t code, uint8_t noise, const std::string& msg);

 private:
  friend class TWorkThread;

  void CyclePort(bool open);
  void ClosePort();
  void OpenPort();
  // The port is open on this connection (a number counted up by every open that
  // succeeds), and no close of it has begun.
  bool ConnectionOpen(uint32_t connection) const;
  void ApplyLineSettings();
  void EnableCommEvents();
  void ApplyAutoTiming();
  void WaitWorkerIdle(int n);
  void WorkerStopped();
  // Reset or signal an operation record's event. They return the platform's code
  // of a failure, for the caller to report on its own thread (Place 1101).
  uint32_t ResetOpEvent(PortBackend::Event event);
  uint32_t SignalOpEvent(PortBackend::Event event);
  static constexpr const char* kOpEventFailure = "Error resetting Overlapped Event";
  void SetLimDiv(uint8_t& field, uint8_t value, const char* warning);
  // One modem or break line, set or cleared; `place` reports the set, place + 1 the clear.
  struct LineRequest {
    LineControl set, clear;
    uint32_t place;
    const char* setFailure;
    const char* clearFailure;
  };
  void ControlLine(const LineRequest& line, bool value, bool& state);

  std::unique_ptr<PortBackend> backend_;
  std::unique_ptr<Delivery> delivery_;

  std::atomic<bool> active_{false};
  std::atomic<uint32_t> handle_{PortBackend::kNoPort};
  std::string commPort_ = "COM2";
  uint32_t baudRate_ = 9600;
  uint8_t parityType_ = 0;
  char parityErrorChar_ = 0;
  bool parityErrorReplacement_ = false;
  uint8_t stopBits_ = 0;
  uint8_t dataBits_ = 8;
  char xonChar_ = 17;
  char xoffChar_ = 19;
  uint8_t xonLimDiv_ = 33;
  uint8_t xoffLimDiv_ = 33;
  int32_t flowControl_ = 0;
  bool stripNullChars_ = false;
  char eventChar_ = 0;
  std::atomic<uint32_t> rtoCharDelayTime_{1100};
  std::atomic<uint16_t> rtoExtraDelayTime_{250};
  std::atomic<uint16_t> clusterSize_{3072};
  uint16_t rxQueueSize_ = 4096;
  uint16_t txQueueSize_ = 4096;
  std::atomic<uint32_t> wtoCharDelayTime_{1100};
  std::atomic<uint16_t> wtoExtraDelayTime_{250};
  bool xtoAuto_ = true;
  bool rtsState_ = true;
  bool dtrState_ = true;
  bool breakState_ = false;
  std::atomic<bool> ctsState_{false}, dsrState_{false}, rlsdState_{false}, ringState_{false};
  std::atomic<uint8_t> errorNoise_{255};
  std::atomic<bool> readRequest_{false};
  std::atomic<bool> sendInProgress_{false};
  std::atomic<uint32_t> commError_{0};
  std::atomic<uint8_t> commStateFlags_{0};
  std::atomic<uint32_t> commStateInQueue_{0}, commStateOutQueue_{0};
  std::atomic<uint32_t> modemState_{0};
  std::atomic<uint32_t> commEvent_{0};
  std::atomic<uint32_t> writtenBytes_{0};
  std::atomic<bool> threadQuietMode_{false};
  bool autoReadRequest_ = false;
  int32_t platformFamily_ = -1;

  // Operation records: one event each for the write, the read and the event wait.
  PortBackend::Event writeEvent_ = -1, readEvent_ = -1, waitEvent_ = -1;
  std::string writeBuffer_;  // the component's copy of the outstanding write
  std::atomic<uint32_t> writeCount_{0};
  std::atomic<uint32_t> writeStartTick_{0};

  std::atomic<bool> workerBusy_{false};
  // Set for the whole close sequence, before the event wait is ended: from then
  // on the worker starts nothing new (a wait started after the mask went 0 would
  // be refused and reported) and winds down as it would for a closed port.
  std::atomic<bool> closing_{false};
  bool opening_ = false;  // the open sequence runs (the user-interface thread's alone)
  // Counted up by every open that succeeds: what the worker finds out about a
  // port is bound to the connection it was found on.
  std::atomic<uint32_t> connection_{0};
  std::atomic<bool> destroying_{false};
  std::atomic<bool> handlersDetached_{false};
  std::mutex queueLock_;
  std::deque<TSerialCluster> clusters_;
  std::unique_ptr<TWorkThread> worker_;
};
