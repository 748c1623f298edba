#include "link/devicelink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>

#include "link/firmwareguard.h"
#include "serial/portfailure.h"
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

// Commands waiting for the port, oldest first. The wait for the previous write
// is apart from the write itself: whoever waits (a command issued inside
// another's wait included) writes the oldest waiting command as soon as the
// port is free, so commands leave in the order they were issued. When its turn
// comes, a command that is no longer wanted (its query released, its sequence
// ended) is dropped instead.
struct Outgoing {
  std::string bytes;
  StillWanted wanted;
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
  }
}

// False when the command was not written: the port could not be had, or the
// command was no longer wanted when its turn came. A query then fails at once,
// as no answer can come.
bool Send(const std::string& bytes, const StillWanted& wanted = {}) {
  if (!SerialPort1) return false;
  // The component tries all the same and reports its failure to nobody: say it
  // where it can be seen. A query then waits out its time-out as without a
  // device, as it always has.
  if (!SerialPort1->Active()) {
    qWarning("Befehl \"%s\" nicht gesendet: der Port ist nicht offen.", bytes.substr(0, 1).c_str());
    SerialPort1->SendText(bytes);
    return true;
  }
  const auto command = std::make_shared<Outgoing>(Outgoing{bytes, wanted});
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
// the channel's state to whoever holds it now.
uint64_t QueriesStarted = 0;
uint64_t ReleasedThrough = 0;

// True from the moment the waiting query's command was written until its wait
// ends: only what arrives then can be its answer.
bool AnswerDue = false;

// A query's answer is the first cluster after its command, so the line must
// carry nothing else when the command goes out. After a query that got no
// answer in time (or was let go), the device may still send that answer; at an
// opening it may still be busy with what an earlier session asked. Then the
// line is unsettled: whatever arrives is dropped, and the next query waits
// until nothing has arrived for kQuietLineMs. One second, the short queries'
// own time-out: a device that missed it is given as long again, so an answer
// up to twice its time-out late is never taken for the next one's; a device
// later still is beyond what any bound short of the three-minute verdict
// could catch. Bytes that arrive unasked, or still lie in the port when a
// query starts, unsettle the line as well. A settled line (the last answer
// came and nothing followed) costs a query nothing.
constexpr int64_t kQuietLineMs = 1000;
// A line that never falls quiet (a device that chatters) fails the query
// unsent after this long rather than holding its caller for ever.
constexpr int64_t kQuietLineGiveUpMs = 5 * kQuietLineMs;
bool LineUnsettled = false;
QElapsedTimer LineActivity;  // since the last byte seen, or the time-out, or the opening
// The worker's count of bytes in the driver's queue is renewed after each of
// its waits (75 ms at most), not when it reads: just after a cluster it may
// still count that cluster's bytes.
constexpr int64_t kQueueCountLagMs = 100;
QElapsedTimer LastCluster;

void Unsettle() {
  LineUnsettled = true;
  LineActivity.start();
}

// Bytes in the driver's queue, or read and not yet handed over, are on their
// way now, before the command: not its answer. A port whose worker is not yet
// watching it cannot tell.
bool LineQuiet() {
  if (!SerialPort1->WorkerBusy() && LineUnsettled) return false;
  const bool countCurrent = !LastCluster.isValid() || LastCluster.elapsed() > kQueueCountLagMs;
  if (SerialPort1->ClusterCount() > 0 || (countCurrent && SerialPort1->CommStateInQueue() > 0)) Unsettle();
  if (!LineUnsettled) return true;
  if (LineActivity.elapsed() < kQuietLineMs) return false;
  LineUnsettled = false;
  return true;
}

// Serves the user interface until the line is quiet; false when the query is
// to go unsent: released, abandoned, or the line never fell quiet.
template <typename Released>
bool AwaitQuietLine(char letter, const Released& released) {
  if (!SerialPort1 || !SerialPort1->Active()) return true;
  QElapsedTimer waited;
  waited.start();
  while (!LineQuiet()) {
    if (released() || WaitsAbandoned) return false;
    if (waited.elapsed() >= kQuietLineGiveUpMs) {
      qWarning("Abfrage \"%c\" nicht gesendet: das Gerät sendet seit %lld ms ungefragt.", letter,
               static_cast<long long>(kQuietLineGiveUpMs));
      return false;
    }
    ServeUntil([] { return false; }, kNumberSliceMs);
  }
  return !released() && !WaitsAbandoned;
}

// Common frame of both query families: refuse when busy, wait for a quiet
// line, send, wait for the first answer or the time-out, which counts from the
// command.
// A query abandoned at program end fails whatever has arrived meanwhile.
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
  AnswerTicks = 0;
  const bool written = AwaitQuietLine(letter, released) &&
                       Send(std::string(1, letter), [released] { return !released() && !WaitsAbandoned; });
  if (released()) return false;
  // A command that could not go out fails its query at once: no answer can come.
  if (!written) {
    AnswerState = 0;
    return false;
  }
  AnswerDue = true;
  AnswerTicks = ticks;
  while (AnswerState > 0 && AnswerTicks > 0 && !WaitsAbandoned && !released()) WaitSlice(sliceMs);
  if (released()) return false;
  AnswerDue = false;
  if (WaitsAbandoned) {
    AnswerState = 0;
    return false;
  }
  // The answer may still come, to be taken for the next query's.
  if (AnswerState > 0) Unsettle();
  return true;
}

int32_t QueryNumber(char letter) {
  if (!RunQuery(letter, kShortTimeoutTicks, kNumberSliceMs)) return -1;
  const int32_t result = ConvertNumber(AnswerText);
  AnswerState = 0;
  return result;
}

int32_t QueryVerdict(char letter, int32_t ticks) {
  if (!RunQuery(letter, ticks, kVerdictSliceMs)) return -1;
  const int32_t result = ConvertVerdict(AnswerText);
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
  SerialPort1->SetActive(true);
  AnswerState = 0;
  AnswerText.clear();
  AnswerDue = false;
  Unsettle();
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
  // Bound before the port opens, so the worker never reads it while it changes.
  if (port) port->OnTxQueueEmptyEvent = [](TSerialPort*) { awaitingTxEmpty = false; };
}

void FinishSending(uint32_t maxMs) {
  if (!SerialPort1 || !SerialPort1->Active()) return;
  QElapsedTimer waited;
  waited.start();
  while ((awaitingTxEmpty || SerialPort1->SendInProgress()) && waited.elapsed() < maxMs)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
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
  SerialPort1->SetActive(false);
  ConnectionText = kNotConnected;
}

void PortGone() {
  ConnectionText = kNotConnected;
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
  LastCluster.start();
  if (AnswerState <= 0 || !AnswerDue) {
    // Bytes nobody asked for: a late answer, or the rest of one.
    if (!text.empty()) Unsettle();
    return;
  }
  AnswerText = TrimControl(text);
  AnswerState = -1;
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
}

void AbandonWaits() { WaitsAbandoned = true; }

void ReleaseWait() {
  if (AnswerState == 0) return;
  ReleasedThrough = QueriesStarted;
  // A command already written may still be answered.
  if (AnswerDue) Unsettle();
  AnswerDue = false;
  AnswerState = 0;
  AnswerText.clear();
  AnswerTicks = 0;
}

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

std::string TrimControl(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  return text.substr(begin, end - begin);
}

// Optional sign, then decimal digits, or hexadecimal digits after "$", "0x",
// "0X", "x" or "X"; the value must fit a signed 32-bit integer.
int32_t ConvertNumber(const std::string& text) {
  std::string_view rest = text;
  bool negative = false;
  if (!rest.empty() && (rest[0] == '-' || rest[0] == '+')) {
    negative = rest[0] == '-';
    rest.remove_prefix(1);
  }
  int base = 10;
  for (std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
    if (rest.size() > prefix.size() && rest.substr(0, prefix.size()) == prefix) {
      base = 16;
      rest.remove_prefix(prefix.size());
      break;
    }
  }
  if (rest.empty()) return -1;
  uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), magnitude, base);
  if (error != std::errc() || end != rest.data() + rest.size()) return -1;
  // Hexadecimal digits give the 32-bit pattern, so $FFFFFFFF is -1 as usual there.
  if (base == 16) {
    if (magnitude > 0xFFFFFFFFull) return -1;
    const int64_t value = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
    return static_cast<int32_t>(negative ? -value : value);
  }
  if (magnitude > (negative ? 2147483648ull : 2147483647ull)) return -1;
  return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
}

int32_t ConvertVerdict(const std::string& text) {
  if (text == "+") return 0;
  if (text == "-") return 1;
  return -1;
}

}  // namespace DeviceLink
