#include "cli/copyrun.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <utility>

#include <algorithm>

#include "link/clocklink.h"
#include "link/devicelink.h"
#include "speech/audio.h"

namespace {
const QString kCommand = QStringLiteral("copy");

// The device refusing ("-") or a check failing is 1; an answer that is no
// verdict is 5; no answer or a lost sound output is 2, as for every other
// command.
int ExitCodeOf(CopyFailure failure, const std::string& answer) {
  switch (failure) {
    case CopyFailure::SoundCut:
    case CopyFailure::NoAudioOutput:
      return kExitNoDevice;
    case CopyFailure::VolumeNotRestored:
      return kExitVolumeNotRestored;
    case CopyFailure::AdcFailed:
      return answer.empty() ? kExitNoDevice : kExitUnexpectedAnswer;
    case CopyFailure::StartFailed:
    case CopyFailure::StopFailed:
    case CopyFailure::ProcessingFailed:
      if (answer.empty()) return kExitNoDevice;
      return answer == "-" ? kExitRefused : kExitUnexpectedAnswer;
    case CopyFailure::NoSignal:
    case CopyFailure::Unplayable:
      return kExitRefused;
  }
  return kExitRefused;
}

// Printed by the sequence after processing; not the last word of a run that failed before.
const QString kSuccessStatus = QStringLiteral("Status: Übertragung erfolgreich!");

// The failures where the clock answered, or failed to: the others the program
// decided itself, and there is no answer to show.
bool AnsweredByTheClock(CopyFailure failure) {
  switch (failure) {
    case CopyFailure::AdcFailed:
    case CopyFailure::StartFailed:
    case CopyFailure::StopFailed:
    case CopyFailure::ProcessingFailed:
      return true;
    default:
      return false;
  }
}

QString VerdictName(int32_t verdict) {
  if (verdict == 0) return QStringLiteral("accepted");
  if (verdict == 1) return QStringLiteral("refused");
  return QStringLiteral("no-answer");
}
}  // namespace

CopyRun::CopyRun(Report& report, QStringList entries, QString dataFolder)
    : report_(report),
      pending_(std::move(entries)),
      dataFolder_(std::move(dataFolder)),
      clocks_{Clock{QString(), &DeviceLink::Default()}},
      opened_{0},
      sequence_(*this),
      progress_(static_cast<int>(pending_.size())) {
  clock_.start();
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, [this] { sequence_.Tick(state_); });
}

namespace {
std::vector<ClockLink*> LinksOf(const std::vector<StationClock>& station) {
  std::vector<ClockLink*> links;
  for (const StationClock& clock : station)
    if (clock.link) links.push_back(clock.link);
  return links;
}
}  // namespace

CopyRun::CopyRun(Report& report, QStringList entries, QString dataFolder, std::vector<StationClock> station)
    : report_(report),
      pending_(std::move(entries)),
      dataFolder_(std::move(dataFolder)),
      station_(true),
      sequence_(*this, LinksOf(station)),
      progress_(static_cast<int>(pending_.size())) {
  for (size_t i = 0; i < station.size(); ++i) {
    Clock clock{station[i].port, station[i].link};
    if (!station[i].link) {
      clock.otherError = QString::fromLatin1(station[i].openError);
      clock.failureText = station[i].openMessage;
      clock.failureExit = station[i].openExit;
    } else {
      opened_.push_back(i);
    }
    clocks_.push_back(clock);
  }
  clock_.start();
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, [this] { sequence_.Tick(state_); });
}

std::vector<ClockLink*> CopyRun::OpenedLinks() const {
  std::vector<ClockLink*> links;
  for (size_t i : opened_) links.push_back(clocks_[i].link);
  return links;
}

int CopyRun::Run() {
  if (opened_.empty()) {
    ReportStation();
    return exitCode_.value_or(kExitRefused);
  }
  sequence_.Start();
  if (!exitCode_) QCoreApplication::exec();
  return exitCode_.value_or(kExitRefused);
}

void CopyRun::Stop(int code, const char* error, const QString& message, const QJsonObject& extra,
                   bool volumeFirst) {
  if (exitCode_) return;
  if (sequence_.RunOpen()) {
    if (volumeFirst) sequence_.PutBackUsersLevel(true);
    sequence_.StopRun();
  }
  if (station_) {
    for (Clock& clock : clocks_) {
      if (clock.Failed()) continue;
      clock.otherError = QString::fromLatin1(error);
      clock.failureText = message;
      clock.failureExit = code;
    }
    ReportStation(code);
    return;
  }
  QJsonObject members = Outcome();
  for (auto it = extra.begin(); it != extra.end(); ++it) members.insert(it.key(), it.value());
  if (restoreFailure_) {
    ReportNotRestored(members, QString::fromLatin1(error));
    return;
  }
  report_.Failure(kCommand, error, message, members);
  Finish(code);
}

// Above every other outcome: the user must set the level by hand, and a
// script that reads only the JSON, or only stderr, is told which.
void CopyRun::ReportNotRestored(QJsonObject members, const QString& cause) {
  members.insert(QStringLiteral("restore-volume"), restorePercent_);
  members.insert(QStringLiteral("restore-muted"), restoreMuted_);
  if (!cause.isEmpty()) members.insert(QStringLiteral("cause"), cause);
  report_.Failure(kCommand, CopyFailureCode(CopyFailure::VolumeNotRestored), *restoreFailure_, members);
  if (report_.Json()) report_.Warn(*restoreFailure_);
  Finish(kExitVolumeNotRestored);
}

void CopyRun::Arm(State state, int afterMs) {
  state_ = state;
  timer_.start(afterMs);
}

void CopyRun::Status(const QString& text, const QString& path, const QString& tail) {
  if (!station_ && clocks_.front().failure && text == kSuccessStatus) return;
  if (!path.isEmpty()) entry_ = path;
  if (text.startsWith(QStringLiteral("Status: Verarbeitung"))) processing_ = true;
  status_ = text + path + tail;
  // Only an entry's status names a file: the one that starts now.
  entryStatus_ = !path.isEmpty();
  if (entryStatus_) progress_.EntryStarted(path, clock_.elapsed());
  ShowProgress(-1);
}

void CopyRun::Progress(std::uint32_t position, std::uint32_t length) {
  const double fraction = length == 0 ? 0.0 : double(position) / double(length);
  progress_.Within(fraction);
  ShowProgress(fraction);
}

// A log gets a line per status; a terminal one line, redrawn, that says how
// far the run is and how long it will still take.
void CopyRun::ShowProgress(double fraction) {
  const bool counted = report_.Terminal() && entryStatus_;
  const QString line = counted ? progress_.Line(clock_.elapsed()) : status_;
  if (!station_) {
    report_.Progress(line, fraction);
    return;
  }
  // A station shows one line per clock: where the run is, or why the clock left it.
  QStringList lines;
  for (const Clock& clock : clocks_)
    lines << clock.port + QStringLiteral(": ") +
                 (clock.Failed() ? QStringLiteral("Fehler: ") + clock.failureText.section(QLatin1Char('\n'), 0, 0)
                                 : line);
  report_.ProgressLines(lines, fraction);
}

// What concerns the whole run (the sound cut, entries that would not play)
// concerns every clock still without a failure of its own.
void CopyRun::Message(CopyFailure failure, const QString& text) {
  if (failure == CopyFailure::VolumeNotRestored) {
    restoreFailure_ = text;
    return;
  }
  for (Clock& clock : clocks_)
    if (clock.otherError.isEmpty()) ClockFailed(clock, failure, text);
  if (station_) ShowProgress(-1);
}

void CopyRun::ClockMessage(size_t clock, CopyFailure failure, const QString& text) {
  ClockFailed(clocks_[opened_[clock]], failure, text);
  if (station_) ShowProgress(-1);
}

// The first failure names the clock's outcome; an unplayable list after a
// refused stop does not hide the refusal.
void CopyRun::ClockFailed(Clock& clock, CopyFailure failure, const QString& text) {
  if (clock.Failed()) return;
  clock.failure = failure;
  clock.failureText = text;
  // The stop's verdict came with its record; the other queries leave their answer behind.
  clock.failureAnswer =
      failure == CopyFailure::StopFailed ? (clock.lastStopVerdict == 1 ? "-" : "") : clock.link->AnswerText();
  clock.failureExit = ExitCodeOf(failure, clock.failureAnswer);
}

void CopyRun::Level(int32_t level, std::uint32_t trialVolume) { ClockLevel(0, level, trialVolume); }

void CopyRun::ClockLevel(size_t clock, int32_t level, std::uint32_t trialVolume) {
  Clock& c = clocks_[opened_[clock]];
  c.level = level;
  c.trialVolume = trialVolume;
}

void CopyRun::LevelSaved(const UsersLevel& level) {
  usersVolume_ = level.value;
  restorePercent_ = level.percent;
  restoreMuted_ = level.muted;
}

void CopyRun::Recorded(const QString& entry, bool played, int32_t verdict) {
  ClockRecorded(0, entry, played, verdict);
}

void CopyRun::ClockRecorded(size_t clock, const QString& entry, bool played, int32_t verdict) {
  Clock& c = clocks_[opened_[clock]];
  c.lastStopVerdict = verdict;
  c.entries.append(QJsonObject{{QStringLiteral("entry"), entry},
                               {QStringLiteral("played"), played},
                               {QStringLiteral("verdict"), VerdictName(verdict)}});
}

QString CopyRun::Whereabouts() const {
  if (processing_) return QStringLiteral("während der Verarbeitung");
  if (entry_.isEmpty()) return QStringLiteral("beim Einpegeln");
  return QStringLiteral("während der Aufnahme von %1").arg(entry_);
}

void CopyRun::ClockGone(size_t index) {
  if (exitCode_ || index >= clocks_.size()) return;
  Clock& clock = clocks_[index];
  if (!clock.Failed()) {
    clock.otherError = QStringLiteral("device-gone");
    clock.failureText =
        QStringLiteral("Das Gerät an %1 wurde %2 abgezogen oder ausgeschaltet.").arg(clock.port, Whereabouts());
    clock.failureExit = kExitNoDevice;
  }
  ShowProgress(-1);
  const auto it = std::find(opened_.begin(), opened_.end(), index);
  if (it != opened_.end()) sequence_.ClockGone(static_cast<size_t>(it - opened_.begin()));
}

// A failure end: the sequence has left service mode and restored the volume.
void CopyRun::Close() {
  if (exitCode_) return;
  if (station_) {
    ReportStation();
    return;
  }
  const Clock& clock = clocks_.front();
  if (!clock.failure) return;
  QJsonObject members = Outcome();
  if (AnsweredByTheClock(*clock.failure))
    members.insert(QStringLiteral("answer"), QString::fromStdString(clock.failureAnswer));
  if (restoreFailure_) {
    ReportNotRestored(members, QString::fromLatin1(CopyFailureCode(*clock.failure)));
    return;
  }
  report_.Failure(kCommand, CopyFailureCode(*clock.failure), clock.failureText, members);
  Finish(clock.failureExit);
}

// After processing; a refused stop earlier still makes the run a failure.
void CopyRun::Succeeded() {
  if (station_) {
    ReportStation();
    return;
  }
  if (clocks_.front().failure) {
    Close();
    return;
  }
  if (restoreFailure_) {
    ReportNotRestored(Outcome(), QString());
    return;
  }
  QJsonObject result = Outcome();
  result.insert(QStringLiteral("command"), kCommand);
  result.insert(QStringLiteral("ok"), true);
  result.insert(QStringLiteral("text"), QStringLiteral("Übertragung erfolgreich!"));
  report_.Result(result);
  Finish(kExitOk);
}

// `volume` is the user's level, which the run leaves as it found it;
// `trial-volume` the one the level adjustment settled on.
QJsonObject CopyRun::OutcomeOf(const Clock& clock) const {
  QJsonObject outcome{{QStringLiteral("level"), clock.level},
                      {QStringLiteral("trial-volume"), qint64(clock.trialVolume)},
                      {QStringLiteral("entries"), clock.entries}};
  if (usersVolume_) outcome.insert(QStringLiteral("volume"), qint64(*usersVolume_));
  return outcome;
}

// Each clock as a single copy would report it, with its port and its own
// exit code; then the summary, whose code is the run's.
void CopyRun::ReportStation(std::optional<int> code) {
  if (exitCode_) return;
  QJsonArray failedPorts;
  int succeeded = 0;
  std::optional<int> shared;
  bool differ = false;
  for (const Clock& clock : clocks_) {
    QJsonObject members = OutcomeOf(clock);
    members.insert(QStringLiteral("port"), clock.port);
    const int exit = clock.Failed() ? clock.failureExit : kExitOk;
    members.insert(QStringLiteral("exit"), exit);
    if (shared && *shared != exit) differ = true;
    shared = exit;
    if (!clock.Failed()) {
      ++succeeded;
      members.insert(QStringLiteral("command"), kCommand);
      members.insert(QStringLiteral("ok"), true);
      members.insert(QStringLiteral("text"), clock.port + QStringLiteral(": Übertragung erfolgreich!"));
      report_.Result(members);
      continue;
    }
    failedPorts.append(clock.port);
    const QByteArray error =
        clock.failure ? QByteArray(CopyFailureCode(*clock.failure)) : clock.otherError.toLatin1();
    if (clock.failure && AnsweredByTheClock(*clock.failure))
      members.insert(QStringLiteral("answer"), QString::fromStdString(clock.failureAnswer));
    const QString message =
        report_.Json() ? clock.failureText : clock.port + QStringLiteral(": ") + clock.failureText;
    report_.Failure(kCommand, error.constData(), message, members);
  }
  int exit = differ ? kExitClocksDiffer : shared.value_or(kExitRefused);
  if (code) exit = *code;
  QJsonObject summary{{QStringLiteral("command"), kCommand},
                      {QStringLiteral("summary"), true},
                      {QStringLiteral("ok"), failedPorts.isEmpty() && !restoreFailure_},
                      {QStringLiteral("clocks"), static_cast<int>(clocks_.size())},
                      {QStringLiteral("succeeded"), succeeded},
                      {QStringLiteral("failed"), failedPorts}};
  if (usersVolume_) summary.insert(QStringLiteral("volume"), qint64(*usersVolume_));
  summary.insert(QStringLiteral("text"), QStringLiteral("%1 von %2 Uhren erfolgreich.")
                                             .arg(succeeded)
                                             .arg(clocks_.size()));
  if (restoreFailure_) {
    // Above every other outcome: the user must set the level by hand.
    summary.insert(QStringLiteral("restore-volume"), restorePercent_);
    summary.insert(QStringLiteral("restore-muted"), restoreMuted_);
    summary.insert(QStringLiteral("error"), QString::fromLatin1(CopyFailureCode(CopyFailure::VolumeNotRestored)));
    summary.insert(QStringLiteral("message"), *restoreFailure_);
    report_.Warn(*restoreFailure_);
    exit = kExitVolumeNotRestored;
  }
  summary.insert(QStringLiteral("exit"), exit);
  report_.Result(summary);
  Finish(exit);
}

void CopyRun::Finish(int code) {
  exitCode_ = code;
  timer_.stop();
  QCoreApplication::exit(code);
}
