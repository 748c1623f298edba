#include "link/clocklink.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "link/answertext.h"
#include "link/devicelink.h"
#include "link/firmwareguard.h"
#include "link/owedstore.h"
#include "serial/portfailure.h"
#include "serial/portreturn.h"
#include "serial/processlock.h"
#include "serial/serialport.h"

namespace {
constexpr std::chrono::milliseconds kBusyRetryEvery{500};
constexpr std::chrono::milliseconds kBusyRetryFor{30000};

constexpr uint32_t kNumberSliceMs = 25;
constexpr uint32_t kVerdictSliceMs = 250;

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

// A deliberate close first waits this long at most for the answers still owed
// to the short queries, so that the next run on the port starts clean.
constexpr uint32_t kCloseWaitMs = 1000;

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

OwedStore Records() { return OwedStore(LockFolder()); }

bool Abandoned() { return DeviceLink::WaitsAbandoned; }
}  // namespace

// Commands waiting for the port, oldest first. The wait for the previous write
// is apart from the write itself: whoever waits (a command issued inside
// another's wait included) writes the oldest waiting command as soon as the
// port is free, so commands leave in the order they were issued. When its turn
// comes, a command that is no longer wanted (its query released, its sequence
// ended) is dropped instead.
struct ClockLink::Outgoing {
  std::string bytes;
  StillWanted wanted;
  bool query = false;  // written, it makes an answer owed
  enum class Fate { Waiting, Written, Dropped } fate = Fate::Waiting;
};

ClockLink::ClockLink() : ownConnection_(DeviceLink::kNotConnected), slots_{&ownState_, &ownText_, &ownTicks_, &ownConnection_} {}

ClockLink::ClockLink(const AnswerSlots& answer) : slots_(answer) {}

ClockLink::~ClockLink() { *alive_ = false; }

void ClockLink::RecordOwed(bool everything) {
  if (owingPath_.empty()) return;
  recordedLongDebts_ = OwedStore::LongDebts(ledger_);
  if (!Records().Record(owingPath_, ledger_, everything, NowMs()))
    qWarning("Offene Antworten des Geräts nicht festgehalten: %s", Records().FileFor(owingPath_).c_str());
}

// After every change of the account: the record follows the long debts.
void ClockLink::RecordLongDebtsIfChanged() {
  if (OwedStore::LongDebts(ledger_) != recordedLongDebts_) RecordOwed(false);
}

void ClockLink::WriteWhilePortFree() {
  while (port_ && !outbox_.empty() && !port_->SendInProgress()) {
    const std::shared_ptr<Outgoing> next = outbox_.front();
    outbox_.pop_front();
    if (next->wanted && !next->wanted()) {
      next->fate = Outgoing::Fate::Dropped;
      continue;
    }
    awaitingTxEmpty_ = true;
    port_->SendText(next->bytes);
    next->fate = Outgoing::Fate::Written;
    // Owed from the moment it is written: its answer is delivered on this
    // thread, after this returns.
    if (next->query) {
      currentDebt_ = ledger_.Owe(next->bytes[0], NowMs());
      RecordLongDebtsIfChanged();
    }
  }
}

// False when the command was not written: the port could not be had, or the
// command was no longer wanted when its turn came. A query then fails at once,
// as no answer can come.
bool ClockLink::Send(const std::string& bytes, const StillWanted& wanted, bool query) {
  if (!port_) return false;
  // The component tries all the same and reports its failure to nobody: say it
  // where it can be seen. A query then waits out its time-out as without a
  // device, as it always has.
  if (!port_->Active()) {
    qWarning("Befehl \"%s\" nicht gesendet: der Port ist nicht offen.", bytes.substr(0, 1).c_str());
    port_->SendText(bytes);
    return true;
  }
  const auto command = std::make_shared<Outgoing>(Outgoing{bytes, wanted, query});
  outbox_.push_back(command);
  QElapsedTimer waited;
  waited.start();
  for (;;) {
    WriteWhilePortFree();
    if (command->fate != Outgoing::Fate::Waiting) return command->fate == Outgoing::Fate::Written;
    if (waited.elapsed() >= kDeadPortMs) break;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (const auto it = std::find(outbox_.begin(), outbox_.end(), command); it != outbox_.end()) outbox_.erase(it);
  qWarning("Befehl \"%s\" nicht gesendet: der vorige Schreibauftrag ist nach %d ms noch offen.",
           bytes.substr(0, 1).c_str(), kDeadPortMs);
  return false;
}

// Serves every window message until `done` or for `ms`, sleeping in the event
// loop instead of in 25 ms naps, so that an answer is taken when the worker
// delivers it.
void ClockLink::ServeUntil(const std::function<bool()>& done, uint32_t ms) {
  QTimer sliceEnd;
  sliceEnd.setSingleShot(true);
  sliceEnd.start(static_cast<int>(ms));
  QElapsedTimer elapsed;
  elapsed.start();
  while (!done() && !Abandoned() && elapsed.elapsed() < ms)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

// One slice of a query's wait: like PumpWait it serves every window message
// for `ms`, but ends as soon as the answer is in.
void ClockLink::WaitSlice(uint32_t ms) {
  ServeUntil([this] { return *slots_.state <= 0; }, ms);
}

void ClockLink::LogIncidents() {
  for (const std::string& incident : ledger_.TakeIncidents()) qWarning("Gerät: %s.", incident.c_str());
}

// Hands the waiting query its answer once its debt is paid.
void ClockLink::CollectAnswer() {
  LogIncidents();
  RecordLongDebtsIfChanged();
  if (*slots_.state <= 0 || currentDebt_ == 0) return;
  const std::optional<AnswerLedger::Payment> payment = ledger_.TakePayment(currentDebt_);
  if (!payment) return;
  *slots_.text = payment->line;
  answerMalformed_ = !payment->complete;
  *slots_.state = -1;
}

// Lets the waiting query go, whichever it is: it returns -1 as soon as it
// runs again, and its debt stands.
//
// Every query takes the next number as it starts; a release lets every query
// up to the present number go. A released query may still be suspended below
// a newer one (the newer runs in the older's nested wait), so it must leave
// the channel's state to whoever holds it now. An opening, a close and a gone
// device release the waiting query too: none returns into another connection.
void ClockLink::ReleaseWaitingQuery() {
  if (*slots_.state == 0) return;
  releasedThrough_ = queriesStarted_;
  ledger_.Release(currentDebt_);
  currentDebt_ = 0;
  *slots_.state = 0;
  slots_.text->clear();
  *slots_.ticks = 0;
}

// Serves the user interface through the opening's settle time; false when the
// query was let go meanwhile.
bool ClockLink::AwaitSettled(const std::function<bool()>& released) {
  while (settling_ && !released() && !Abandoned() && port_ && port_->Active()) {
    if (!settleClock_.isValid() && port_->WorkerBusy()) settleClock_.start();
    const bool pending = port_->ClusterCount() > 0 || port_->CommStateInQueue() > 0;
    if (settleClock_.isValid() && settleClock_.elapsed() >= (pending ? kSettleGiveUpMs : kSettleMs)) {
      settling_ = false;
      if (!ledger_.OwesAny()) ledger_.DropPartial();
      break;
    }
    ServeUntil([] { return false; }, 5);
  }
  return !released() && !Abandoned();
}

// Serves the user interface, keeping the account current, while `stillOwed`
// holds, until `stop`, a closed port or `maxMs`.
void ClockLink::ServeWhileOwed(const std::function<bool()>& stillOwed, const std::function<bool()>& stop,
                               int64_t maxMs, uint32_t sliceMs) {
  QElapsedTimer waited;
  waited.start();
  while (!stop() && port_ && port_->Active() && waited.elapsed() < maxMs) {
    ledger_.Advance(NowMs());
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
bool ClockLink::AwaitOwnFamilyPaid(char letter, const std::function<bool()>& released) {
  const AnswerLedger::Family family = AnswerLedger::FamilyOf(letter);
  ServeWhileOwed([this, family] { return ledger_.OwesShort(family); },
                 [&released] { return released() || Abandoned(); }, std::numeric_limits<int64_t>::max(), 10);
  return !released() && !Abandoned();
}

// The first half of a query: refuse when busy, send. True when the command
// was written and the answer is to be waited for; `query` is its number.
bool ClockLink::BeginQuery(char letter, int32_t ticks, uint64_t& query) {
  if (Abandoned()) return false;
  if (*slots_.state != 0) {
    qWarning("Abfrage \"%c\" nicht gesendet: eine andere wartet noch auf ihre Antwort.", letter);
    return false;
  }
  query = ++queriesStarted_;
  const uint64_t number = query;
  const auto released = [this, number] { return number <= releasedThrough_; };
  *slots_.state = 1;
  slots_.text->clear();
  answerMalformed_ = false;
  *slots_.ticks = 0;
  currentDebt_ = 0;
  const bool written =
      AwaitSettled(released) && AwaitOwnFamilyPaid(letter, released) &&
      Send(
          std::string(1, letter), [released] { return !released() && !Abandoned(); }, true);
  if (released()) return false;
  // A command that could not go out fails its query at once: no answer can come.
  if (!written) {
    *slots_.state = 0;
    return false;
  }
  *slots_.ticks = ticks;
  return true;
}

// Common frame of both query families: refuse when busy, send, wait for the
// line that pays this command's debt or for the time-out, which counts from
// the command. A query abandoned at program end fails whatever has arrived
// meanwhile.
bool ClockLink::RunQuery(char letter, int32_t ticks, uint32_t sliceMs) {
  uint64_t query = 0;
  if (!BeginQuery(letter, ticks, query)) return false;
  const auto released = [this, query] { return query <= releasedThrough_; };
  while (*slots_.state > 0 && *slots_.ticks > 0 && !Abandoned() && !released()) WaitSlice(sliceMs);
  if (released()) return false;
  EndWrittenQuery();
  if (Abandoned()) {
    *slots_.state = 0;
    return false;
  }
  return true;
}

// A query that timed out leaves its debt standing, released.
void ClockLink::EndWrittenQuery() {
  if (*slots_.state > 0) ledger_.Release(currentDebt_);
  currentDebt_ = 0;
}

int32_t ClockLink::QueryNumber(char letter) {
  if (!RunQuery(letter, kShortTimeoutTicks, kNumberSliceMs)) return -1;
  const int32_t result = answerMalformed_ ? -1 : DeviceLink::ConvertNumber(*slots_.text);
  *slots_.state = 0;
  return result;
}

int32_t ClockLink::QueryVerdict(char letter, int32_t ticks) {
  if (!RunQuery(letter, ticks, kVerdictSliceMs)) return -1;
  const int32_t result = answerMalformed_ ? -1 : DeviceLink::ConvertVerdict(*slots_.text);
  *slots_.state = 0;
  return result;
}

bool ClockLink::WriteQuery(char letter, int32_t ticks) {
  writtenQuery_ = 0;
  uint64_t query = 0;
  if (!BeginQuery(letter, ticks, query)) return false;
  writtenQuery_ = query;
  return true;
}

bool ClockLink::WritesAtOnce(char letter) const {
  return port_ && port_->Active() && *slots_.state == 0 && !settling_ && outbox_.empty() &&
         !port_->SendInProgress() && !ledger_.OwesShort(AnswerLedger::FamilyOf(letter));
}

bool ClockLink::QueryEnded() const {
  return writtenQuery_ == 0 || writtenQuery_ <= releasedThrough_ || *slots_.state <= 0 || *slots_.ticks <= 0 ||
         Abandoned();
}

int32_t ClockLink::TakeResult(bool number) {
  const uint64_t query = writtenQuery_;
  writtenQuery_ = 0;
  if (query == 0 || query <= releasedThrough_) return -1;
  EndWrittenQuery();
  if (Abandoned() || *slots_.state != -1) {
    *slots_.state = 0;
    return -1;
  }
  const int32_t result = answerMalformed_ ? -1
                         : number         ? DeviceLink::ConvertNumber(*slots_.text)
                                          : DeviceLink::ConvertVerdict(*slots_.text);
  *slots_.state = 0;
  return result;
}

// In slices of 5 ms, so that an answer is taken when the worker delivers it
// and a time-out is seen within its tick.
void ClockLink::CollectAll(const std::vector<ClockLink*>& links) {
  const auto allEnded = [&links] {
    return std::all_of(links.begin(), links.end(), [](const ClockLink* link) { return !link || link->QueryEnded(); });
  };
  while (!allEnded()) {
    QTimer sliceEnd;
    sliceEnd.setSingleShot(true);
    sliceEnd.start(25);
    QElapsedTimer elapsed;
    elapsed.start();
    while (!allEnded() && elapsed.elapsed() < 25)
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

void ClockLink::OpenPort(const QString& portName) {
  if (FirmwareGuard::RefusesOpen(port_, portName)) return;
  openedName_ = portName;
  port_->SetCommPort(portName.toLocal8Bit().toStdString());
  port_->SetBaudRate(38400);
  port_->SetDataBits(8);
  port_->SetStopBits(0);
  port_->SetParityType(0);
  port_->SetFlowControl(0);
  lastOpenFailure_ = 0;
  ReleaseWaitingQuery();
  // Another clock owes nothing of what this one was asked; the same clock
  // (a reopen, a re-plugged adapter keeps its name) may still answer.
  const std::string path = DevicePathOf(portName.toLocal8Bit().toStdString());
  if (path != owingPath_) {
    ledger_.Forget();
    owingPath_ = path;
    Records().CarryInto(owingPath_, ledger_, NowMs());
    RecordOwed(false);
  }
  port_->SetActive(true);
  *slots_.state = 0;
  slots_.text->clear();
  ledger_.DropPartial();
  settling_ = true;
  settleClock_.invalidate();
  // A port that did not open is not shown as connected.
  *slots_.connection = port_->Active() ? QStringLiteral("Verbunden auf ") + portName + QStringLiteral(".")
                                       : DeviceLink::kNotConnected;
}

// The device is back: connect as OpenDevicePort does. A device that cannot be
// opened yet stays watched for its next change; one that is busy changes
// nothing when it is let go, so it is tried again for a while.
void ClockLink::Reconnect(const QString& portName) {
  if (!port_ || port_->Active()) return;
  OpenPort(portName);
  if (port_->Active())
    returnWatch_.reset();
  else if (returnWatch_ && PortFailure::IsBusy(lastOpenFailure_))
    returnWatch_->RetryWhileBusy(kBusyRetryEvery, kBusyRetryFor);
}

void ClockLink::WatchForReturn(const QString& portName) {
  const std::string path = DevicePathOf(portName.toLocal8Bit().toStdString());
  returnWatch_ = std::make_unique<PortReturnWatch>(path, [this, portName] { Reconnect(portName); });
}

void ClockLink::Attach(TSerialPort* port) {
  port_ = port;
  returnWatch_.reset();
  awaitingTxEmpty_ = false;
  ledger_.Forget();
  owingPath_.clear();
  currentDebt_ = 0;
  settling_ = false;
  // Bound before the port opens, so the worker never reads it while it changes.
  if (port) port->OnTxQueueEmptyEvent = [this](TSerialPort*) { awaitingTxEmpty_ = false; };
}

void ClockLink::FinishSending(uint32_t maxMs) {
  if (!port_ || !port_->Active()) return;
  QElapsedTimer waited;
  waited.start();
  while ((awaitingTxEmpty_ || port_->SendInProgress()) && waited.elapsed() < maxMs)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
  AwaitOwedAnswers(kCloseWaitMs);
  RecordOwed(true);
}

void ClockLink::OpenDevicePort(const QString& portName) {
  ++opens_;
  returnWatch_.reset();
  OpenPort(portName);
}

void ClockLink::CloseDevicePort() {
  ++opens_;
  returnWatch_.reset();
  ReleaseWaitingQuery();
  AwaitOwedAnswers(kCloseWaitMs);
  RecordOwed(true);
  port_->SetActive(false);
  *slots_.connection = DeviceLink::kNotConnected;
}

// A clock that was pulled starts afresh when it is back: it owes nothing.
void ClockLink::PortGone() {
  *slots_.connection = DeviceLink::kNotConnected;
  ReleaseWaitingQuery();
  ledger_.Forget();
  RecordOwed(true);
  const uint64_t opens = opens_;
  const QString name = openedName_;
  const std::weak_ptr<bool> alive = alive_;
  // Reported from inside a delivery of the worker, which waits for it: closing
  // here would wait for the worker in turn. Closing frees the device's name at
  // once, so a re-plugged adapter gets the same one again.
  QTimer::singleShot(0, [this, alive, opens, name] {
    if (alive.expired()) return;
    if (!port_ || opens != opens_ || !port_->Active() || returnWatch_) return;
    port_->SetActive(false);
    WatchForReturn(name);
  });
}

void ClockLink::AcceptAnswer(const std::string& text) {
  ledger_.Receive(text, NowMs());
  CollectAnswer();
}

void ClockLink::Tick() {
  if (*slots_.ticks > 0) --*slots_.ticks;
  ledger_.Advance(NowMs());
  CollectAnswer();
}

bool ClockLink::OwesAnswers() const { return ledger_.OwesAny(); }

void ClockLink::AwaitOwedAnswers(uint32_t maxMs, bool processingToo) {
  const auto counts = [processingToo](const AnswerLedger::Debt& d) {
    return processingToo ||
           AnswerLedger::TermsFor(d.letter).expiresAfterMs < AnswerLedger::TermsFor('K').expiresAfterMs;
  };
  ServeWhileOwed([this, &counts] { return std::any_of(ledger_.Owed().begin(), ledger_.Owed().end(), counts); },
                 [] { return false; }, maxMs, 25);
}

void ClockLink::ReleaseWait() { ReleaseWaitingQuery(); }
