#pragma once
// The copy as a command: the sequence (speech/copysequence) driven by a timer
// of its own, its messages reported instead of shown, its end the end of the
// event loop.

#include <QJsonArray>
#include <QStringList>
#include <QTimer>
#include <optional>

#include "cli/report.h"
#include "speech/copysequence.h"

class CopyRun : public CopyStates, private CopySequence::Host {
 public:
  CopyRun(Report& report, QStringList entries, QString dataFolder);
  // Runs the whole copy; returns the exit code.
  int Run();
  // SIGINT or SIGTERM: the run ends as a cancel ends it.
  void Interrupt();

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
  void Finish(int code);

  Report& report_;
  QStringList pending_;
  QString dataFolder_;
  CopySequence sequence_;
  QTimer timer_;
  int state_ = PlayTone;
  QString status_;
  int32_t level_ = 0;
  std::uint32_t volume_ = 0;
  QJsonArray entries_;
  std::optional<CopyFailure> failure_;
  QString failureText_;
  std::optional<int> exitCode_;
};
