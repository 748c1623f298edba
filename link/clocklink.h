#pragma once
// ClockLink: the command channel to one clock on one serial port. What the
// channel knows of its clock (the port, the commands waiting for it, the
// answers owed, the waiting query's state) lives in one instance, so a station
// can speak to several clocks at once, each over its own port and worker.
// The windows know one clock: DeviceLink (devicelink.h) is the instance they
// share, its answer state in the names they have always read.
//
// Every instance lives on the user-interface thread. A query waits while
// events are processed, so other instances' answers are taken in the middle
// of its wait. A station that asks several clocks the same question writes
// every clock's command first (WriteQuery), then collects the answers side by
// side (CollectAll), so that no clock waits for another's answer.

#include <QElapsedTimer>
#include <QString>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/answerledger.h"

class TSerialPort;
class PortReturnWatch;

class ClockLink {
 public:
  using StillWanted = std::function<bool()>;

  // The answer state of the waiting query. An instance of its own keeps it
  // here; the windows' instance keeps it in DeviceLink's names.
  struct AnswerSlots {
    int32_t* state;
    std::string* text;
    int32_t* ticks;
    QString* connection;
  };

  ClockLink();
  explicit ClockLink(const AnswerSlots& answer);
  ~ClockLink();
  ClockLink(const ClockLink&) = delete;
  ClockLink& operator=(const ClockLink&) = delete;

  // 0 idle; 1 a query waits (for the port, then for its answer); -1 answer
  // received, not yet collected.
  int32_t AnswerState() const { return *slots_.state; }
  // Trimmed text of the accepted answer.
  const std::string& AnswerText() const { return *slots_.text; }
  const QString& ConnectionText() const { return *slots_.connection; }

  // See the functions of the same names in devicelink.h.
  void Attach(TSerialPort* port);
  TSerialPort* Port() const { return port_; }
  void OpenDevicePort(const QString& portName);
  void CloseDevicePort();
  void PortGone();
  bool AwaitingReturn() const { return returnWatch_ != nullptr; }
  void OpenFailed(uint32_t code) { lastOpenFailure_ = code; }
  void AcceptAnswer(const std::string& text);
  void Tick();
  void ReleaseWait();
  void FinishSending(uint32_t maxMs);
  size_t CommandsWaiting() const { return outbox_.size(); }
  bool OwesAnswers() const;
  void AwaitOwedAnswers(uint32_t maxMs, bool processingToo = false);

  bool Send(const std::string& bytes, const StillWanted& wanted = {}, bool query = false);
  int32_t QueryNumber(char letter);
  int32_t QueryVerdict(char letter, int32_t ticks);

  // ------------------------------------------------ one question, many clocks
  // The query is asked and its command written, but not waited for. False
  // when the query failed at once (busy, abandoned, not written); it then has
  // nothing to collect. Would the write have to wait for this clock (its port
  // still settling after the opening, an earlier answer of the same family
  // still owed, a write still on its way), it waits here, serving events.
  bool WriteQuery(char letter, int32_t ticks);
  // Whether WriteQuery could write at once, without waiting for anything.
  bool WritesAtOnce(char letter) const;
  // The written query has its answer, was let go, or timed out.
  bool QueryEnded() const;
  // Ends the written query: its number (`number` true) or verdict, -1 on a
  // failure, as QueryNumber and QueryVerdict return it.
  int32_t TakeResult(bool number);
  // Serves events until every written query of `links` has ended; a null
  // entry is skipped. Each query's own time-out counts in its own ticks.
  static void CollectAll(const std::vector<ClockLink*>& links);

  static constexpr int32_t kShortTimeoutTicks = 10;
  static constexpr int32_t kProcessingTimeoutTicks = 1800;

 private:
  struct Outgoing;
  void WriteWhilePortFree();
  void ServeUntil(const std::function<bool()>& done, uint32_t ms);
  void WaitSlice(uint32_t ms);
  void LogIncidents();
  void CollectAnswer();
  void ReleaseWaitingQuery();
  bool AwaitSettled(const std::function<bool()>& released);
  void ServeWhileOwed(const std::function<bool()>& stillOwed, const std::function<bool()>& stop, int64_t maxMs,
                      uint32_t sliceMs);
  bool AwaitOwnFamilyPaid(char letter, const std::function<bool()>& released);
  bool BeginQuery(char letter, int32_t ticks, uint64_t& query);
  bool RunQuery(char letter, int32_t ticks, uint32_t sliceMs);
  void EndWrittenQuery();
  void RecordOwed(bool everything);
  void RecordLongDebtsIfChanged();
  void OpenPort(const QString& portName);
  void Reconnect(const QString& portName);
  void WatchForReturn(const QString& portName);

  // Own storage of an instance that keeps its answer state itself.
  int32_t ownState_ = 0;
  std::string ownText_;
  int32_t ownTicks_ = 0;
  QString ownConnection_;
  AnswerSlots slots_;

  TSerialPort* port_ = nullptr;
  // The name the port was last opened with, and the wait for its device's
  // return after it was pulled. `opens_` counts deliberate opens and closes,
  // so a close planned for a gone device is dropped when the user was quicker.
  QString openedName_;
  std::unique_ptr<PortReturnWatch> returnWatch_;
  uint64_t opens_ = 0;
  // The code of the last failed open, as the port reported it; 0 after a good one.
  uint32_t lastOpenFailure_ = 0;
  // True from a send until the worker reports the driver's output queue empty.
  bool awaitingTxEmpty_ = false;
  // What the clock owes. The waiting query's own debt is currentDebt_ (0:
  // none); only the line that pays it is its answer.
  AnswerLedger ledger_;
  uint64_t currentDebt_ = 0;
  // The device path whose clock owes what the ledger holds.
  std::string owingPath_;
  size_t recordedLongDebts_ = 0;
  bool answerMalformed_ = false;
  std::deque<std::shared_ptr<Outgoing>> outbox_;
  uint64_t queriesStarted_ = 0;
  uint64_t releasedThrough_ = 0;
  bool settling_ = false;
  QElapsedTimer settleClock_;
  // The query written by WriteQuery and not yet taken; 0 when none.
  uint64_t writtenQuery_ = 0;
  // Lets a pending single-shot know whether this instance still exists.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
