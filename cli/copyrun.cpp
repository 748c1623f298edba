#include "cli/copyrun.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <utility>

#include "link/devicelink.h"

namespace {
const QString kCommand = QStringLiteral("copy");

// A failure that names a communication problem is "no answer"; the others are
// the device refusing or a check failing.
int ExitCodeOf(CopyFailure failure) {
  return failure == CopyFailure::AdcFailed ? kExitNoDevice : kExitRefused;
}

QString VerdictName(int32_t verdict) {
  if (verdict == 0) return QStringLiteral("accepted");
  if (verdict == 1) return QStringLiteral("refused");
  return QStringLiteral("no-answer");
}
}  // namespace

CopyRun::CopyRun(Report& report, QStringList entries, QString dataFolder)
    : report_(report), pending_(std::move(entries)), dataFolder_(std::move(dataFolder)), sequence_(*this) {
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, [this] { sequence_.Tick(state_); });
}

int CopyRun::Run() {
  sequence_.Start();
  if (!exitCode_) QCoreApplication::exec();
  return exitCode_.value_or(kExitInterrupted);
}

void CopyRun::Interrupt() {
  if (exitCode_) return;
  if (sequence_.RunOpen()) sequence_.StopRun();
  report_.Failure(kCommand, "interrupted", QStringLiteral("Die Übertragung wurde unterbrochen."));
  Finish(kExitInterrupted);
}

void CopyRun::Arm(State state, int afterMs) {
  state_ = state;
  timer_.start(afterMs);
}

void CopyRun::Status(const QString& text, const QString& path, const QString& tail) {
  status_ = text + path + tail;
  report_.Progress(status_);
}

void CopyRun::Progress(std::uint32_t position, std::uint32_t length) {
  report_.Progress(status_, length == 0 ? 0.0 : double(position) / double(length));
}

void CopyRun::Message(CopyFailure failure, const QString& text) {
  // The first failure names the run's outcome; an unplayable list after a
  // refused stop does not hide the refusal.
  if (!failure_) {
    failure_ = failure;
    failureText_ = text;
  }
}

void CopyRun::Level(int32_t level, std::uint32_t trialVolume) {
  level_ = level;
  volume_ = trialVolume;
}

void CopyRun::Recorded(const QString& entry, bool played, int32_t verdict) {
  entries_.append(QJsonObject{{QStringLiteral("entry"), entry},
                              {QStringLiteral("played"), played},
                              {QStringLiteral("verdict"), VerdictName(verdict)}});
}

// A failure end: the sequence has left service mode and restored the volume.
void CopyRun::Close() {
  if (exitCode_ || !failure_) return;
  report_.Failure(kCommand, CopyFailureCode(*failure_), failureText_);
  Finish(ExitCodeOf(*failure_));
}

void CopyRun::Succeeded() {
  QJsonObject result{{QStringLiteral("command"), kCommand},
                     {QStringLiteral("ok"), !failure_},
                     {QStringLiteral("level"), level_},
                     {QStringLiteral("volume"), qint64(volume_)},
                     {QStringLiteral("entries"), entries_},
                     {QStringLiteral("text"), QStringLiteral("Übertragung erfolgreich!")}};
  if (failure_) {
    result.insert(QStringLiteral("error"), QString::fromLatin1(CopyFailureCode(*failure_)));
    result.insert(QStringLiteral("message"), failureText_);
    result.insert(QStringLiteral("text"), failureText_);
  }
  report_.Result(result);
  Finish(failure_ ? ExitCodeOf(*failure_) : kExitOk);
}

void CopyRun::Finish(int code) {
  exitCode_ = code;
  timer_.stop();
  QCoreApplication::exit(code);
}
