#pragma once
// The copy of speech and alarm sound files into the device, without a window.
// The files do not travel over the serial line: each is played through the
// sound card while the device records its audio input, and the device commands
// only steer the recording.
//
// A run: service mode, level adjustment with the calibration tone, one
// recording per entry, processing and its verdict. The sequence holds every
// decision; its host (the copy dialog, or the command-line tool) owns the
// timer that drives it, the copy list, and the way messages reach the user.
// The host arms its timer when asked and calls Tick with the state it was
// armed with.
//
// The sequence drives a list of clocks that hear one playback: a station with
// one line out through a splitter, each clock on its own port. A single copy
// is a list of one. Each clock is asked the same question side by side: every
// clock's command is written first, then the answers are collected, so that
// a silent or unplugged clock delays no other clock's command. A clock that
// fails leaves the run as a single copy would end (its message, its "H" and
// "{" as that failure sends them); the run goes on while a clock is left.
//
// Everything runs on one thread. The device queries wait while events are
// processed, so a cancel, the program's end and other timers run in the
// middle of a tick. A tick that resumes after its run has ended does nothing
// more: no command, no volume change, no state change, no message.

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

#include "link/clocklink.h"
#include "link/devicelink.h"
#include "speech/audiooutput.h"

// The one stream the copy plays; 0 when none.
extern StreamHandle CopyStream;
// The output volume read when the run started; written back at every end.
extern std::uint32_t SavedVolume;
// The output volume of the level adjustment: 4096 at the start, +4096 per step.
extern std::uint32_t TrialVolume;

// The states and timings, shared by the sequence and the windows that drive it.
struct CopyStates {
  enum State : int32_t { PlayTone = 0, CheckLevel = 1, StartNextFile = 2, TrackPlayback = 3, FinishCopy = 4 };

  static constexpr std::uint32_t kFirstTrialVolume = 4096;
  static constexpr std::uint32_t kVolumeStep = 4096;
  static constexpr std::uint32_t kHighestTrialVolume = 65536;
  static constexpr int32_t kSufficientLevel = 120;
  static constexpr int kToneToLevelMs = 250;
  static constexpr int kStepMs = 10;
  static constexpr int kPollMs = 25;
  // Near a word's end the playback is looked at this often, so that "J" leaves
  // within a few ms of it.
  static constexpr int kEndLookMs = 2;
  // How long the copy waits, before a word and before processing, for answers
  // the clock still owes: as long as such a debt stands.
  static constexpr int kSettleBeforeWordMs = 3000;
  // How long a run waits at its start for the verdict a cancelled run left
  // owed: as long as that debt stands.
  static constexpr int kOwedVerdictWaitMs = 240000;
  static constexpr int kAfterRecordingMs = 250;
  static constexpr int kProcessingPauseMs = 250;
  // The user's level is put back until it holds: a sound server that hangs for
  // a moment must not leave the user at a trial level.
  static constexpr int kRestoreAttempts = 3;
  static constexpr int kRestorePauseMs = 500;
};

// Why a run ended other than by success or by its host; the code names it for
// scripts, the message (German) for the user.
enum class CopyFailure {
  AdcFailed,
  NoSignal,
  StartFailed,
  StopFailed,
  ProcessingFailed,
  Unplayable,
  SoundCut,
  NoAudioOutput,
  VolumeNotRestored
};
const char* CopyFailureCode(CopyFailure failure);
QString CopyFailureMessage(CopyFailure failure);

class CopySequence : public CopyStates {
 public:
  // What the sequence asks of its host. Message waits until the user has
  // taken note (a modal box); the sequence checks afterwards whether its run
  // is still open.
  class Host {
   public:
    virtual ~Host() = default;
    virtual void Arm(State state, int afterMs) = 0;
    virtual void Disarm() = 0;
    virtual void Status(const QString& text, const QString& path, const QString& tail) = 0;
    virtual void ResetProgress() = 0;
    virtual void Progress(std::uint32_t position, std::uint32_t length) = 0;
    // The entries not yet started, first the next one.
    virtual QStringList PendingEntries() const = 0;
    // The first pending entry has started.
    virtual void EntryTaken() = 0;
    virtual void Message(CopyFailure failure, const QString& text) = 0;
    // The run holds (true) or lets go of (false) the program's input.
    virtual void Holding(bool held) = 0;
    // A failure end is complete: the host closes.
    virtual void Close() = 0;
    // Processing succeeded and every end step is done.
    virtual void Succeeded() = 0;
    // The root of the data paths, with its trailing separator.
    virtual QString DataFolder() const = 0;
    // Reports for hosts that log them; nothing by default.
    virtual void Level(int32_t /*level*/, std::uint32_t /*trialVolume*/) {}
    virtual void Recorded(const QString& /*entry*/, bool /*played*/, int32_t /*verdict*/) {}
    // The user's level as read at the start.
    virtual void LevelSaved(const UsersLevel& /*level*/) {}
    // The same per clock, numbered as the list the sequence was given; a
    // host of one clock needs none of them.
    virtual void ClockMessage(size_t /*clock*/, CopyFailure failure, const QString& text) {
      Message(failure, text);
    }
    virtual void ClockLevel(size_t /*clock*/, int32_t level, std::uint32_t trialVolume) {
      Level(level, trialVolume);
    }
    virtual void ClockRecorded(size_t /*clock*/, const QString& entry, bool played, int32_t verdict) {
      Recorded(entry, played, verdict);
    }
  };

  // One clock: the windows' (DeviceLink's).
  explicit CopySequence(Host& host) : CopySequence(host, {&DeviceLink::Default()}) {}
  // Several clocks hearing the same playback, each on its own channel.
  CopySequence(Host& host, std::vector<ClockLink*> clocks);

  // Service mode, the saved and first trial volume, the first tone's timer.
  void Start();
  // One step of the state the host's timer was armed with.
  void Tick(int state);
  // Ends an open run as a cancel does (stream stopped, service mode left,
  // volume restored), without closing.
  void StopRun();
  bool RunOpen() const { return runOpen_; }
  // Puts the user's level (and mute) back, up to kRestoreAttempts times until
  // it holds; a level that could not be put back is told to the host
  // (VolumeNotRestored) unless `quiet`. True when nothing was read.
  bool PutBackUsersLevel(bool quiet = false);
  // The clock's device has gone (its port's report): it leaves the run with
  // no command, as nothing can reach it. The last clock to leave ends the run
  // as a cancel does, and the host is told to close.
  void ClockGone(size_t clock);
  // The clocks still in the run (recording, or waiting for processing).
  size_t ClocksInRun() const;

 private:
  // Where a clock stands: recording the entries; done with the entries (it
  // refused to stop a recording) but still to process; out of the run.
  enum class Stage { Recording, Stopped, Out };
  struct Clock {
    ClockLink* link;
    Stage stage = Stage::Recording;
    // "I" written, its answer not yet taken.
    bool startOwed = false;
  };
  // Asks every clock of `stage` (Stopped: every clock in the run) the same
  // question; each writes as soon as its port allows, those that can at once
  // first, and then the answers are taken side by side. -1 for a clock not
  // asked or whose query failed.
  std::vector<int32_t> AskAll(char letter, int32_t ticks, bool number, Stage stage);
  // The writing half: the query goes to every clock `due` names; the clocks
  // whose command was written, the others null.
  std::vector<ClockLink*> WriteAll(char letter, int32_t ticks, const std::vector<bool>& due);
  // Takes the "I" answers that have come (`waitForAll`: after waiting for
  // the rest, each to its own time-out); a clock that refused leaves the run.
  // False when the run has ended.
  bool TakeStartAnswers(bool waitForAll);
  bool InRun(const Clock& clock) const { return clock.stage != Stage::Out; }
  // Serves events while a clock in the run owes a short answer, all of them
  // together for at most `maxMs`.
  void AwaitOwedAnswersOfAll(int maxMs);
  // The clock leaves the run after `failure`: its message, then "H" (with
  // `processing`, as an aborted copy sends it) and "{". False when the run has
  // ended (it was the last clock, or the run ended during the message).
  bool LeaveRun(size_t clock, CopyFailure failure, const QString& text, bool processing);

  void StepPlayTone();
  void StepCheckLevel();
  void StepStartNextFile();
  void StepTrackPlayback();
  // A stream cut by a lost sound output, or heard beside another program's
  // sound, ends the run after its recording has been closed, naming the cause.
  void EndCutStream(CutCause cause, const QString& otherProgram);
  void StepFinishCopy();
  // When to look at the playing word next.
  int NextLookMs(std::uint64_t position, std::uint64_t length);
  // The failure's own message unless `message` says more.
  void AbortCopy(CopyFailure failure, const QString& message = QString());
  void EndRun();
  void Status(const QString& text, const QString& path = QString(), const QString& tail = QString());
  bool RunEndedSince(std::uint64_t run) const { return run != run_; }
  // For the run's own commands: written only while the run is the current one.
  DeviceLink::StillWanted StillCurrent(std::uint64_t run) const {
    return [this, run] { return !RunEndedSince(run); };
  }

  Host& host_;
  std::vector<Clock> clocks_;
  std::optional<UsersLevel> saved_;  // the user's level, once read
  std::uint64_t run_ = 0;  // changes at every start and every end
  bool runOpen_ = false;   // from the start until an end (success keeps it open until the host ends it)
  QStringList unplayed_;   // entries of this run that gave no stream
  QString current_;        // the entry being recorded
  bool currentPlayed_ = false;
  QElapsedTimer trackClock_;  // since the first look at the playing word
  std::uint64_t trackFirstPosition_ = 0;
  qint64 predictedEndMs_ = -1;  // on trackClock_, once the end is near
};
