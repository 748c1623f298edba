#include "cli/copyrun.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <utility>

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
      sequence_(*this),
      progress_(static_cast<int>(pending_.size())) {
  clock_.start();
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, [this] { sequence_.Tick(state_); });
}

int CopyRun::Run() {
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
  if (failure_ && text == kSuccessStatus) return;
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
  report_.Progress(counted ? progress_.Line(clock_.elapsed()) : status_, fraction);
}

void CopyRun::Message(CopyFailure failure, const QString& text) {
  if (failure == CopyFailure::VolumeNotRestored) {
    restoreFailure_ = text;
    return;
  }
  // The first failure names the run's outcome; an unplayable list after a
  // refused stop does not hide the refusal.
  if (!failure_) {
    failure_ = failure;
    failureText_ = text;
    // The stop's verdict came with its record; the other queries leave their answer behind.
    failureAnswer_ =
        failure == CopyFailure::StopFailed ? (lastStopVerdict_ == 1 ? "-" : "") : DeviceLink::AnswerText;
    failureExit_ = ExitCodeOf(failure, failureAnswer_);
  }
}

void CopyRun::Level(int32_t level, std::uint32_t trialVolume) {
  level_ = level;
  trialVolume_ = trialVolume;
}

void CopyRun::LevelSaved(const UsersLevel& level) {
  usersVolume_ = level.value;
  restorePercent_ = level.percent;
  restoreMuted_ = level.muted;
}

void CopyRun::Recorded(const QString& entry, bool played, int32_t verdict) {
  lastStopVerdict_ = verdict;
  entries_.append(QJsonObject{{QStringLiteral("entry"), entry},
                              {QStringLiteral("played"), played},
                              {QStringLiteral("verdict"), VerdictName(verdict)}});
}

// A failure end: the sequence has left service mode and restored the volume.
void CopyRun::Close() {
  if (exitCode_ || !failure_) return;
  QJsonObject members = Outcome();
  if (AnsweredByTheClock(*failure_))
    members.insert(QStringLiteral("answer"), QString::fromStdString(failureAnswer_));
  if (restoreFailure_) {
    ReportNotRestored(members, QString::fromLatin1(CopyFailureCode(*failure_)));
    return;
  }
  report_.Failure(kCommand, CopyFailureCode(*failure_), failureText_, members);
  Finish(failureExit_);
}

// After processing; a refused stop earlier still makes the run a failure.
void CopyRun::Succeeded() {
  if (failure_) {
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
QJsonObject CopyRun::Outcome() const {
  QJsonObject outcome{{QStringLiteral("level"), level_},
                      {QStringLiteral("trial-volume"), qint64(trialVolume_)},
                      {QStringLiteral("entries"), entries_}};
  if (usersVolume_) outcome.insert(QStringLiteral("volume"), qint64(*usersVolume_));
  return outcome;
}

void CopyRun::Finish(int code) {
  exitCode_ = code;
  timer_.stop();
  QCoreApplication::exit(code);
}
