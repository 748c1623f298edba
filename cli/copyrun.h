#pragma once
// The copy as a command: the sequence (speech/copysequence) driven by a timer
// of its own, its messages reported instead of shown, its end the end of the
// event loop.
//
// A station copies into several clocks at once: one playback, each clock on
// its own port. Each clock's outcome is told on its own (with --json one
// object per clock, with `port`), then a summary; the exit code is the code
// the clocks share, or 10 when they ended differently.

#include <QElapsedTimer>
#include <QJsonArray>
#include <QStringList>
#include <QTimer>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/copyprogress.h"
#include "cli/report.h"
#include "speech/copysequence.h"

// A clock of a station: its port, and its channel when the port opened;
// otherwise why it did not.
struct StationClock {
  StationClock(QString name, ClockLink* channel) : port(std::move(name)), link(channel) {}
  QString port;
  ClockLink* link = nullptr;
  const char* openError = nullptr;
  QString openMessage;
  int openExit = 0;
};

class CopyRun : public CopyStates, private CopySequence::Host {
 public:
  // The windows' one clock.
  CopyRun(Report& report, QStringList entries, QString dataFolder);
  // A station: every clock named, in order.
  CopyRun(Report& report, QStringList entries, QString dataFolder, std::vector<StationClock> station);
  // Runs the whole copy; returns the exit code.
  int Run();
  // A signal, a closed output or a gone device: the run ends as a cancel
  // ends it, with `code` and the failure named. With `volumeFirst` the sound
  // card gets its volume back before anything is sent (the device may be gone).
  void Stop(int code, const char* error, const QString& message, const QJsonObject& extra, bool volumeFirst);
  // A station's clock `clock` (as numbered in the station) has gone: it
  // leaves the run, named with the entry it was recording; the others go on.
  void ClockGone(size_t clock);

 private:
  // What one clock came to; a single copy has one.
  struct Clock {
    Clock(QString name, ClockLink* channel) : port(std::move(name)), link(channel) {}
    QString port;
    ClockLink* link = nullptr;
    int32_t level = 0;
    std::uint32_t trialVolume = 0;
    QJsonArray entries;
    std::optional<CopyFailure> failure;
    QString failureText;
    int failureExit = kExitRefused;
    std::string failureAnswer;  // what the device answered to the failed query
    int32_t lastStopVerdict = 0;
    // A failure that is no step of the sequence (the port did not open, the
    // clock was unplugged, the run was interrupted): its code for scripts.
    QString otherError;
    bool Failed() const { return failure.has_value() || !otherError.isEmpty(); }
  };
  void Arm(State state, int afterMs) override;
  void Disarm() override { timer_.stop(); }
  void Status(const QString& text, const QString& path, const QString& tail) override;
  void ResetProgress() override {}
  void Progress(std::uint32_t position, std::uint32_t length) override;
  QStringList PendingEntries() const override { return pending_; }
  void EntryTaken() override { pending_.removeFirst(); }
  void Message(CopyFailure failure, const QString& text) override;
  void ClockMessage(size_t clock, CopyFailure failure, const QString& text) override;
  void ClockLevel(size_t clock, int32_t level, std::uint32_t trialVolume) override;
  void ClockRecorded(size_t clock, const QString& entry, bool played, int32_t verdict) override;
  void Holding(bool) override {}
  void Close() override;
  void Succeeded() override;
  QString DataFolder() const override { return dataFolder_; }
  void Level(int32_t level, std::uint32_t trialVolume) override;
  void Recorded(const QString& entry, bool played, int32_t verdict) override;
  void LevelSaved(const UsersLevel& level) override;
  void ReportNotRestored(QJsonObject members, const QString& cause);
  void Finish(int code);
  QJsonObject Outcome() const { return OutcomeOf(clocks_.front()); }
  QJsonObject OutcomeOf(const Clock& clock) const;
  bool Station() const { return station_; }
  // Notes the clock's first failure.
  void ClockFailed(Clock& clock, CopyFailure failure, const QString& text);
  // The station's end: one report per clock, then the summary; `code` when
  // the end decides it (a signal), else the rule of the clocks' codes.
  void ReportStation(std::optional<int> code = std::nullopt);
  // Where the run is, for naming what a gone clock missed.
  QString Whereabouts() const;
  std::vector<ClockLink*> OpenedLinks() const;
  // The status as the log wants it, or on a terminal which entry of how many
  // and the time left; `fraction` of the current file, -1 for none.
  void ShowProgress(double fraction);

  Report& report_;
  QStringList pending_;
  QString dataFolder_;
  bool station_ = false;
  std::vector<Clock> clocks_;
  std::vector<size_t> opened_;  // the sequence's clocks, as numbered in clocks_
  CopySequence sequence_;
  QTimer timer_;
  int state_ = PlayTone;
  QString status_;
  bool entryStatus_ = false;  // the status names the entry being recorded
  CopyProgress progress_;
  QElapsedTimer clock_;
  QString entry_;  // the entry being recorded, empty before the first
  bool processing_ = false;
  std::optional<std::uint32_t> usersVolume_;
  int restorePercent_ = 0;
  bool restoreMuted_ = false;
  std::optional<QString> restoreFailure_;  // the message of a level not put back
  std::optional<int> exitCode_;
};
