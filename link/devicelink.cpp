#include "link/devicelink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <deque>
#include <limits>
#include <memory>
#include <thread>

#include "link/answerledger.h"
#include "link/firmwareguard.h"
#include "link/owedstore.h"
#include "serial/portfailure.h"
#include "serial/processlock.h"
#include "serial/portreturn.h"
#include "serial/serialport.h"

namespace DeviceLink {

int32_t AnswerState = 0;
std::string AnswerText;
int32_t AnswerTicks = 0;
QString ConnectionText = kNotConnected;
bool WaitsAbandoned = false;

namespace {
TSerialPort* SerialPort1 = nullptr;

// The name the port was last opened with, and the wait for its device's
// return after it was pulled. `Opens` counts deliberate opens and closes, so a
// close planned for a gone device is dropped when the user was quicker.
QString OpenedName;
std::unique_ptr<PortReturnWatch> ReturnWatch;
uint64_t Opens = 0;
// The code of the last failed open, as the port reported it; 0 after a good one.
uint32_t LastOpenFailure = 0;
constexpr std::chrono::milliseconds kBusyRetryEvery{500};
constexpr std::chrono::milliseconds kBusyRetryFor{30000};

constexpr uint32_t kNumberSliceMs = 25;
constexpr uint32_t kVerdictSliceMs = 250;
constexpr int32_t kShortTimeoutTicks = 10;
constexpr int32_t kProcessingTimeoutTicks = 1800;

uint32_t TickNow() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The component drops a send issued while its previous write is outstanding,
// and the dropped command would leave no trace. So a command waits, serving the
// user interface, until the previous write has finished: the worker ends every
// write within its own time-out once it gets to look, which on a starved
// machine can be much later than the time-out itself. Only a port that no
// longer finishes anything reaches the bound; then the command is not sent,
// and that is said on the program's error output.
constexpr int kDeadPortMs = 5000;

// True from a send until the worker reports the driver's output queue empty:
// the device has had every byte (on a pty, the far side has read them).
bool awaitingTxEmpty = false;

// What the clock owes. The waiting query's own debt is CurrentDebt (0: none);
// only the line that pays it is its answer.
AnswerLedger Ledger;
uint64_t CurrentDebt = 0;
// The device path whose clock owes what the ledger holds, and the record of
// it that outlives this process: the processing verdict always (a killed run
// leaves it too), everything at a deliberate close.
std::string OwingPath;
size_t RecordedLongDebts = 0;

OwedStore Records() { return OwedStore(LockFolder()); }

void RecordOwed(bool everything) {
  if (OwingPath.empty()) return;
  RecordedLongDebts = OwedStore::LongDebts(Ledger);
  if (!Records().Record(OwingPath, Ledger, everything, NowMs()))
    qWarning("Offene Antworten des Geräts nicht festgehalten: %s", Records().FileFor(OwingPath).c_str());
}

// After every change of the account: the record follows the long debts.
void RecordLongDebtsIfChanged() {
  if (OwedStore::LongDebts(Ledger) != RecordedLongDebts) RecordOwed(false);
}

// A deliberate close first waits this long at most for the answers still owed
// to the short queries, so that the next run on the port starts clean.
constexpr uint32_t kCloseWaitMs = 1000;
// The waiting query's answer is a piece that never got its line end.
bool AnswerMalformed = false;

// Commands waiting for the port, oldest first. The wait for the previous write
// is apart from the write itself: whoever waits (a command issued inside
// another's wait included) writes the oldest waiting command as soon as the
// port is free, so commands leave in the order they were issued. When its turn
// comes, a command that is no longer wanted (its query released, its sequence
// ended) is dropped instead.
struct Outgoing {
  std::string bytes;
  StillWanted wanted;
  bool query = false;  // written, it makes an answer owed
  enum class Fate { Waiting, Written, Dropped } fate = Fate::Waiting;
};
std::deque<std::shared_ptr<Outgoing>> Outbox;

void WriteWhilePortFree() {
  while (SerialPort1 && !Outbox.empty() && !SerialPort1->SendInProgress()) {
    const std::shared_ptr<Outgoing> next = Outbox.front();
    Outbox.pop_front();
    if (next->wanted && !next->wanted()) {
      next->fate = Outgoing::Fate::Dropped;
      continue;
    }
    awaitingTxEmpty = true;
    SerialPort1->SendText(next->bytes);
    next->fate = Outgoing::Fate::Written;
    // Owed from the moment it is written: its answer is delivered on this
    // thread, after this returns.
    if (next->query) {
      CurrentDebt = Ledger.Owe(next->bytes[0], NowMs());
      RecordLongDebtsIfChanged();
    }
  }
}

// False when the command was not written: the port could not be had, or the
// command was no longer wanted when its turn came. A query then fails at once,
// as no answer can come.
bool Send(const std::string& bytes, const StillWanted& wanted = {}, bool query = false) {
  if (!SerialPort1) return false;
  // The component tries all the same and reports its failure to nobody: say it
  // where it can be seen. A query then waits out its time-out as without a
  // device, as it always has.
  if (!SerialPort1->Active()) {
    qWarning("Befehl \"%s\" nicht gesendet: der Port ist nicht offen.", bytes.substr(0, 1).c_str());
    SerialPort1->SendText(bytes);
    return true;
  }
  const auto command = std::make_shared<Outgoing>(Outgoing{bytes, wanted, query});
  Outbox.push_back(command);
  QElapsedTimer waited;
  waited.start();
  for (;;) {
    WriteWhilePortFree();
    if (command->fate != Outgoing::Fate::Waiting) return command->fate == Outgoing::Fate::Written;
    if (waited.elapsed() >= kDeadPortMs) break;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (const auto it = std::find(Outbox.begin(), Outbox.end(), command); it != Outbox.end()) Outbox.erase(it);
  qWarning("Befehl \"%s\" nicht gesendet: der vorige Schreibauftrag ist nach %d ms noch offen.",
           bytes.substr(0, 1).c_str(), kDeadPortMs);
  return false;
}

// Serves every window message until `done` or for `ms`, sleeping in the event
// loop instead of in 25 ms naps, so that an answer is taken when the worker
// delivers it.
template <typename Done>
void ServeUntil(const Done& done, uint32_t ms) {
  QTimer sliceEnd;
  sliceEnd.setSingleShot(true);
  sliceEnd.start(static_cast<int>(ms));
  QElapsedTimer elapsed;
  elapsed.start();
  while (!done() && !WaitsAbandoned && elapsed.elapsed() < ms)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

// One slice of a query's wait: like PumpWait it serves every window message
// for `ms`, but ends as soon as the answer is in.
void WaitSlice(uint32_t ms) {
  ServeUntil([] { return AnswerState <= 0; }, ms);
}

// Every query takes the next number as it starts; a release lets every query
// up to the present number go. A released query may still be suspended below
// a newer one (the newer runs in the older's nested wait), so it must leave
// the channel's state to whoever holds it now. An opening, a close and a gone
// device release the waiting query too: none returns into another connection.
uint64_t QueriesStarted = 0;
uint64_t ReleasedThrough = 0;

// After an opening, the first query waits until the worker watches the port
// and then kSettleMs more, and until nothing is on its way: what the driver
// held and what a USB adapter still delivers from before (its own latency
// timer is 1 to 16 ms) arrives in that time, and a line begun then, with
// nothing owed, is no answer.
// 100 ms: the worker renews its count of the driver's queue after each of its
// waits, 75 ms at most, so a shorter settle could read a stale zero.
constexpr int64_t kSettleMs = 100;
// Bytes still on their way (in the driver, or read and not yet handed over)
// extend it; a line that keeps chattering ends it after this long.
constexpr int64_t kSettleGiveUpMs = 500;
bool Settling = false;
QElapsedTimer SettleClock;  // since the worker was first seen watching the opened port

void LogIncidents() {
  for (const std::string& incident : Ledger.TakeIncidents()) qWarning("Gerät: %s.", incident.c_str());
}

// Hands the waiting query its answer once its debt is paid.
void CollectAnswer() {
  LogIncidents();
  RecordLongDebtsIfChanged();
  if (AnswerState <= 0 || CurrentDebt == 0) return;
  const std::optional<AnswerLedger::Payment> payment = Ledger.TakePayment(CurrentDebt);
  if (!payment) return;
  AnswerText = payment->line;
  AnswerMalformed = !payment->complete;
  AnswerState = -1;
}

// Lets the waiting query go, whichever it is: it returns -1 as soon as it
// runs again, and its debt stands.
void ReleaseWaitingQuery() {
  if (AnswerState == 0) return;
  ReleasedThrough = QueriesStarted;
  Ledger.Release(CurrentDebt);
  CurrentDebt = 0;
  AnswerState = 0;
  AnswerText.clear();
  AnswerTicks = 0;
}

// Serves the user interface through the opening's settle time; false when the
// query was let go meanwhile.
template <typename Released>
bool AwaitSettled(const Released& released) {
  while (Settling && !released() && !WaitsAbandoned && SerialPort1 && SerialPort1->Active()) {
    if (!SettleClock.isValid() && SerialPort1->WorkerBusy()) SettleClock.start();
    const bool pending = SerialPort1->ClusterCount() > 0 || SerialPort1->CommStateInQueue() > 0;
    if (SettleClock.isValid() && SettleClock.elapsed() >= (pending ? kSettleGiveUpMs : kSettleMs)) {
      Settling = false;
      if (!Ledger.OwesAny()) Ledger.DropPartial();
      break;
    }
    ServeUntil([] { return false; }, 5);
  }
  return !released() && !WaitsAbandoned;
}

// Serves the user interface, keeping the account current, while `stillOwed`
// holds, until `stop`, a closed port or `maxMs`.
template <typename StillOwed, typename Stop>
void ServeWhileOwed(const StillOwed& stillOwed, const Stop& stop, int64_t maxMs, uint32_t sliceMs) {
  QElapsedTimer waited;
  waited.start();
  while (!stop() && SerialPort1 && SerialPort1->Active() && waited.elapsed() < maxMs) {
    Ledger.Advance(NowMs());
    LogIncidents();
    if (!stillOwed()) break;
    ServeUntil([] { return false; }, sliceMs);
  }
}

// A clock that never answered a query (it lost the command) would have the
// next query's answer taken for that one's, for as long as its debt stands,
// and a dialog that asks in cycles would never read again. So a query waits,
// serving the user interface, until no earlier short query of its family is
// owed anything: a late answer then goes to its own command, and a lost one
// costs this query the rest of the old debt's standing, two seconds at most.
// A healthy line owes nothing here and pays nothing.
template <typename Released>
bool AwaitOwnFamilyPaid(char letter, const Released& released) {
  const AnswerLedger::Family family = AnswerLedger::FamilyOf(letter);
  ServeWhileOwed([family] { return Ledger.OwesShort(family); }, [&released] { return released() || WaitsAbandoned; },
                 std::numeric_limits<int64_t>::max(), 10);
  return !released() && !WaitsAbandoned;
}

// Common frame of both query families: refuse when busy, send, wait for the
// line that pays this command's debt or for the time-out, which counts from
// the command. A query abandoned at program end fails whatever has arrived
// meanwhile.
bool RunQuery(char letter, int32_t ticks, uint32_t sliceMs) {
  if (WaitsAbandoned) return false;
  if (AnswerState != 0) {
    qWarning("Abfrage \"%c\" nicht gesendet: eine andere wartet noch auf ihre Antwort.", letter);
    return false;
  }
  const uint64_t query = ++QueriesStarted;
  const auto released = [query] { return query <= ReleasedThrough; };
  AnswerState = 1;
  AnswerText.clear();
  AnswerMalformed = false;
  AnswerTicks = 0;
  CurrentDebt = 0;
  const bool written =
      AwaitSettled(released) && AwaitOwnFamilyPaid(letter, released) &&
      Send(
          std::string(1, letter), [released] { return !released() && !WaitsAbandoned; }, true);
  if (released()) return false;
  // A command that could not go out fails its query at once: no answer can come.
  if (!written) {
    AnswerState = 0;
    return false;
  }
  AnswerTicks = ticks;
  while (AnswerState > 0 && AnswerTicks > 0 && !WaitsAbandoned && !released()) WaitSlice(sliceMs);
  if (released()) return false;
  if (AnswerState > 0) Ledger.Release(CurrentDebt);
  CurrentDebt = 0;
  if (WaitsAbandoned) {
    AnswerState = 0;
    return false;
  }
  return true;
}

int32_t QueryNumber(char letter) {
  if (!RunQuery(letter, kShortTimeoutTicks, kNumberSliceMs)) return -1;
  const int32_t result = AnswerMalformed ? -1 : ConvertNumber(AnswerText);
  AnswerState = 0;
  return result;
}

int32_t QueryVerdict(char letter, int32_t ticks) {
  if (!RunQuery(letter, ticks, kVerdictSliceMs)) return -1;
  const int32_t result = AnswerMalformed ? -1 : ConvertVerdict(AnswerText);
  AnswerState = 0;
  return result;
}

void OpenPort(const QString& portName) {
  if (FirmwareGuard::RefusesOpen(SerialPort1, portName)) return;
  OpenedName = portName;
  SerialPort1->SetCommPort(portName.toLocal8Bit().toStdString());
  SerialPort1->SetBaudRate(38400);
  SerialPort1->SetDataBits(8);
  SerialPort1->SetStopBits(0);
  SerialPort1->SetParityType(0);
  SerialPort1->SetFlowControl(0);
  LastOpenFailure = 0;
  ReleaseWaitingQuery();
  // Another clock owes nothing of what this one was asked; the same clock
  // (a reopen, a re-plugged adapter keeps its name) may still answer.
  const std::string path = DevicePathOf(portName.toLocal8Bit().toStdString());
  if (path != OwingPath) {
    Ledger.Forget();
    OwingPath = path;
    Records().CarryInto(OwingPath, Ledger, NowMs());
    RecordOwed(false);
  }
  SerialPort1->SetActive(true);
  AnswerState = 0;
  AnswerText.clear();
  Ledger.DropPartial();
  Settling = true;
  SettleClock.invalidate();
  // A port that did not open is not shown as connected.
  ConnectionText = SerialPort1->Active() ? QStringLiteral("Verbunden auf ") + portName + QStringLiteral(".")
                                         : kNotConnected;
}

// The device is back: connect as OpenDevicePort does. A device that cannot be
// opened yet stays watched for its next change; one that is busy changes
// nothing when it is let go, so it is tried again for a while.
void Reconnect(const QString& portName) {
  if (!SerialPort1 || SerialPort1->Active()) return;
  OpenPort(portName);
  if (SerialPort1->Active())
    ReturnWatch.reset();
  else if (ReturnWatch && PortFailure::IsBusy(LastOpenFailure))
    ReturnWatch->RetryWhileBusy(kBusyRetryEvery, kBusyRetryFor);
}

void WatchForReturn(const QString& portName) {
  const std::string path = DevicePathOf(portName.toLocal8Bit().toStdString());
  ReturnWatch = std::make_unique<PortReturnWatch>(path, [portName] { Reconnect(portName); });
}
}  // namespace

void Attach(TSerialPort* port) {
  SerialPort1 = port;
  ReturnWatch.reset();
  awaitingTxEmpty = false;
  Ledger.Forget();
  OwingPath.clear();
  CurrentDebt = 0;
  Settling = false;
  // Bound before the port opens, so the worker never reads it while it changes.
  if (port) port->OnTxQueueEmptyEvent = [](TSerialPort*) { awaitingTxEmpty = false; };
}

void FinishSending(uint32_t maxMs) {
  if (!SerialPort1 || !SerialPort1->Active()) return;
  QElapsedTimer waited;
  waited.start();
  while ((awaitingTxEmpty || SerialPort1->SendInProgress()) && waited.elapsed() < maxMs)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
  AwaitOwedAnswers(kCloseWaitMs);
  RecordOwed(true);
}
TSerialPort* Port() { return SerialPort1; }

size_t CommandsWaiting() { return Outbox.size(); }

void OpenDevicePort(const QString& portName) {
  ++Opens;
  ReturnWatch.reset();
  OpenPort(portName);
}

void CloseDevicePort() {
  ++Opens;
  ReturnWatch.reset();
  ReleaseWaitingQuery();
  AwaitOwedAnswers(kCloseWaitMs);
  RecordOwed(true);
  SerialPort1->SetActive(false);
  ConnectionText = kNotConnected;
}

// A clock that was pulled starts afresh when it is back: it owes nothing.
void PortGone() {
  ConnectionText = kNotConnected;
  ReleaseWaitingQuery();
  Ledger.Forget();
  RecordOwed(true);
  const uint64_t opens = Opens;
  const QString name = OpenedName;
  // Reported from inside a delivery of the worker, which waits for it: closing
  // here would wait for the worker in turn. Closing frees the device's name at
  // once, so a re-plugged adapter gets the same one again.
  QTimer::singleShot(0, [opens, name] {
    if (!SerialPort1 || opens != Opens || !SerialPort1->Active() || ReturnWatch) return;
    SerialPort1->SetActive(false);
    WatchForReturn(name);
  });
}

bool AwaitingReturn() { return ReturnWatch != nullptr; }

void OpenFailed(uint32_t code) { LastOpenFailure = code; }

void AcceptAnswer(const std::string& text) {
  Ledger.Receive(text, NowMs());
  CollectAnswer();
}

void PumpWait(uint32_t ms) {
  const uint32_t start = TickNow();
  while (TickNow() - start < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

void Tick() {
  if (AnswerTicks > 0) --AnswerTicks;
  Ledger.Advance(NowMs());
  CollectAnswer();
}

bool OwesAnswers() { return Ledger.OwesAny(); }

void AwaitOwedAnswers(uint32_t maxMs, bool processingToo) {
  const auto counts = [processingToo](const AnswerLedger::Debt& d) {
    return processingToo ||
           AnswerLedger::TermsFor(d.letter).expiresAfterMs < AnswerLedger::TermsFor('K').expiresAfterMs;
  };
  ServeWhileOwed([&counts] { return std::any_of(Ledger.Owed().begin(), Ledger.Owed().end(), counts); },
                 [] { return false; }, maxMs, 25);
}

void AbandonWaits() { WaitsAbandoned = true; }

void ReleaseWait() { ReleaseWaitingQuery(); }

void EnterServiceMode(const StillWanted& wanted) { Send("*", wanted); }
void LeaveServiceMode() { Send("{"); }
int32_t ReadLightLevel() { return QueryNumber('A'); }
int32_t ReadAudioLevel() { return QueryNumber('B'); }
void StoreDimThreshold() { Send("C"); }
void StartRtcTest() { Send("D"); }
void StopRtcTest() { Send("E"); }
void PlaySegment(uint8_t segment) {
  Send(std::string{'F', static_cast<char>(static_cast<uint8_t>(segment + 1))});
}
void BeginCopySession(const StillWanted& wanted) { Send("G", wanted); }
void StartProcessing(const StillWanted& wanted) { Send("H", wanted); }
int32_t StartRecording() { return QueryVerdict('I', kShortTimeoutTicks); }
int32_t StopRecording() { return QueryVerdict('J', kShortTimeoutTicks); }
int32_t AwaitProcessingResult() { return QueryVerdict('K', kProcessingTimeoutTicks); }

}  // namespace DeviceLink
