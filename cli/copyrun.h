#pragma once
// The copy as a command: the sequence (speech/copysequence) driven by a timer
// of its own, its messages reported instead of shown, its end the end of the
// event loop.

#include <QElapsedTimer>
#include <QJsonArray>
#include <QStringList>
#include <QTimer>
#include <optional>
#include <string>

#include "cli/copyprogress.h"
#include "cli/report.h"
#include "speech/copysequence.h"

class CopyRun : public CopyStates, private CopySequence::Host {
 public:
  CopyRun(Report& report, QStringList entries, QString dataFolder);
  // Runs the whole copy; returns the exit code.
  int Run();
  // A signal, a closed output or a gone device: the run ends as a cancel
  // ends it, with `code` and the failure named. With `volumeFirst` the sound
  // card gets its volume back before anything is sent (the device may be gone).
  void Stop(int code, const char* error, const QString& message, const QJsonObject& extra, bool volumeFirst);

 private:
  void Arm(State state, int afterMs) override;
  void Disarm() override { timer_.stop(); }
  void Status(const QString& text, const QString& path, const QString& tail) override;
  void ResetProgress() override {}
  void Progress(std::uint32_t position, std::uint32_t length) override;
  QStringList PendingEntries() const override { return pending_; }
  void EntryTaken() override { pending_.removeFirst(); }
  void Message(CopyFailure failure, const QString& text) override;
  void Holding(bool) override {}
  void Close() override;
  void Succeeded() override;
  QString DataFolder() const override { return dataFolder_; }
  void Level(int32_t level, std::uint32_t trialVolume) override;
  void Recorded(const QString& entry, bool played, int32_t verdict) override;
  void LevelSaved(const UsersLevel& level) override;
  void ReportNotRestored(QJsonObject members, const QString& cause);
  void Finish(int code);
  QJsonObject Outcome() const;
  // The status as the log wants it, or on a terminal which entry of how many
  // and the time left; `fraction` of the current file, -1 for none.
  void ShowProgress(double fraction);

  Report& report_;
  QStringList pending_;
  QString dataFolder_;
  CopySequence sequence_;
  QTimer timer_;
  int state_ = PlayTone;
  QString status_;
  bool entryStatus_ = false;  // the status names the entry being recorded
  CopyProgress progress_;
  QElapsedTimer clock_;
  int32_t level_ = 0;
  std::uint32_t trialVolume_ = 0;
  std::optional<std::uint32_t> usersVolume_;
  int restorePercent_ = 0;
  bool restoreMuted_ = false;
  std::optional<QString> restoreFailure_;  // the message of a level not put back
  QJsonArray entries_;
  std::optional<CopyFailure> failure_;
  QString failureText_;
  int failureExit_ = kExitRefused;
  std::string failureAnswer_;  // what the device answered to the failed query
  int32_t lastStopVerdict_ = 0;
  std::optional<int> exitCode_;
};
