#pragma once
// TWorkThread: the one thread of a TSerialPort besides the user-interface thread.
// While the port is open it keeps an event wait outstanding, watches the modem
// and port status, finishes the component's outstanding write and turns the
// bytes in the driver's receive queue into clusters. Everything it raises runs
// on the user-interface thread while it waits (delivery.h).
//
// Only this thread touches the members below; it reads the component's shared
// fields once per use (they are atomics) and the cluster queue under its lock.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "serial/portbackend.h"

class TSerialPort;

class TWorkThread {
 public:
  explicit TWorkThread(TSerialPort* owner);  // starts at once
  ~TWorkThread();

  void RequestStop();
  bool Finished() const { return finished_; }
  void Join();

 private:
  void Execute();
  void Pass();
  void CheckLineStatus();
  void CheckWriteDone();
  void TryRead();
  void FinishRead();
  void QueueCluster();
  void StartEventWait();
  void FinishEventWait();
  void DispatchCommEvents();
  void RecordError(uint32_t place, uint32_t code, uint8_t noise, const std::string& msg);
  void DeliverError();
  void DeliverStatusError(uint32_t connection);
  void ReportOpEventFailure(uint32_t code);
  void Deliver(const std::function<void()>& call);
  void DeliverEvent(const std::function<void(TSerialPort*)>& handler);
  double ClusterLimitMs() const;
  bool ClusterDue(uint32_t now) const;
  uint32_t WaitTimeout() const;
  void Wait();
  void Collect();
  bool PortOpen() const;
  void IdleSleep();
  void Nap(uint32_t ms);

  TSerialPort* const owner_;
  PortBackend& backend_;

  // The pending report, filled by RecordError and read by DeliverError.
  uint32_t errorPlace_ = 0, errorCode_ = 0;
  std::string errorMsg_;
  uint8_t errorNoise_ = 0;

  // State of the thread body.
  bool running_ = false;
  bool readPending_ = false, waitPending_ = false;
  uint32_t lastEmptyTick_ = 0;
  std::unique_ptr<char[]> readBuffer_;
  uint32_t readCount_ = 0, readGot_ = 0;
  uint32_t eventMask_ = 0;
  uint32_t lineErrors_ = 0;
  PortStatus portStatus_;
  uint32_t lastStatus_ = 0;
  // A port whose device is gone fails every status check in the same way;
  // it is reported once per incident, not once per pass.
  uint32_t lastStatusFailure_ = 0, lastModemFailure_ = 0;
  // The same for a port that refuses every event wait; a pass whose wait was
  // refused naps as a wait would have waited, rather than spin into the next.
  uint32_t lastWaitFailure_ = 0;
  // The connection these three incidents belong to (TSerialPort::connection_).
  uint32_t checkedConnection_ = 0;
  bool waitRefused_ = false;

  std::atomic<bool> stopRequested_{false};
  std::mutex sleepMutex_;  // only for waking the idle sleep at a stop request
  std::condition_variable stopSignal_;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};
