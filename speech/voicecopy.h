#pragma once
// TForm4 "Sprachdaten kopieren": copies the chosen speech and alarm sound files
// into the device. The files do not travel over the serial line: each is played
// through the sound card while the device records its audio input, and the
// device commands only steer the recording.
//
// The update dialog writes the copy list into Memo1 (one path relative to the
// program folder per line, "\" as separator) and shows this dialog; showing it
// starts the sequence: service mode, level adjustment with the calibration
// tone, one recording per entry, processing and its verdict. The sequence is
// driven by Timer1, whose Tag holds the state.
//
// Everything runs on the user-interface thread. The device queries wait while
// window messages are processed, so "Abbrechen", the program's end and other
// windows' timers run in the middle of a tick. A tick that resumes after its
// run has ended (cancelled, or ended by the program's end) does nothing more:
// no command, no volume change, no state change, no message box.

#include <QDialog>
#include <QStringList>
#include <cstdint>

#include "speech/audiooutput.h"
#include "ui/inputlock.h"
#include "ui/tagtimer.h"

class QFrame;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class TAnimate;

// The one stream this dialog plays; 0 when none.
extern StreamHandle CopyStream;
// The output volume read when the dialog was shown; written back at every end.
extern std::uint32_t SavedVolume;
// The output volume of the level adjustment: 4096 at the start, +4096 per step.
extern std::uint32_t TrialVolume;

class TForm4 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm4(QWidget* parent = nullptr);
  ~TForm4() override;

  // Tag of Timer1: the state of the sequence.
  enum State : int32_t { PlayTone = 0, CheckLevel = 1, StartNextFile = 2, TrackPlayback = 3, FinishCopy = 4 };

  static constexpr std::uint32_t kFirstTrialVolume = 4096;
  static constexpr std::uint32_t kVolumeStep = 4096;
  static constexpr std::uint32_t kHighestTrialVolume = 65536;
  static constexpr int32_t kSufficientLevel = 120;
  static constexpr int kToneToLevelMs = 250;
  static constexpr int kStepMs = 10;
  static constexpr int kPollMs = 25;
  static constexpr int kAfterRecordingMs = 250;
  static constexpr int kProcessingPauseMs = 250;

  QFrame* Panel1;  // sunken panel: status line, animation, progress
  QLabel* Label1;  // status line
  TAnimate* Animate1;
  QProgressBar* ProgressBar1;  // progress of the current file
  QPlainTextEdit* Memo1;       // the copy list: the entries not yet started
  QPushButton* BitBtn1;        // "Abbrechen"
  QPushButton* BitBtn2;        // "OK"
  TTimer* Timer1;              // drives the sequence; Tag is the state

  // The copy list, as the update dialog writes and this dialog reads it.
  QStringList CopyList() const;
  void SetCopyList(const QStringList& entries);

  // The program is ending: a run in progress ends as "Abbrechen" ends it
  // (stream stopped, service mode left, volume restored). Nothing when no run
  // is open.
  void EndForProgramExit();

  // A run holds the input of the whole program from its show until its end:
  // nothing else may reach the device or the sound card in the middle of it.
  bool RunHoldsProgram() const { return lock_.Held(); }

  void FormCreate();
  void FormShow();
  void FormClose();
  void FormDestroy();
  void Timer1Timer();
  void BitBtn1Click();
  void BitBtn2Click();

 signals:
  // A run is about to start: windows that use the device or the sound card
  // must let go of them now.
  void RunStarting();

 protected:
  void showEvent(QShowEvent* event) override;
  // Closing by the window system (there is no close box, but a window manager
  // may still close) ends an open run as the buttons do.
  void closeEvent(QCloseEvent* event) override;
  // Escape would hide the dialog behind the sequence's back; it does nothing.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void GoTo(State state, int afterMs);
  void StepPlayTone();
  void StepCheckLevel();
  void StepStartNextFile();
  void StepTrackPlayback();
  void StepFinishCopy();
  void AbortCopy(const QString& message);
  void ShowNoSignal();
  // CloseCopy without the closing: stream stopped, run ended, service mode
  // left, volume restored.
  void StopRun();
  void CloseCopy();
  // What every end does besides its own steps: the animation and the timer
  // stop, the status line is emptied, the run is over for resuming ticks.
  void EndRun();
  bool RunEndedSince(std::uint64_t run) const { return run != run_; }

  // The status line; a file's path is shortened in its middle to fit.
  void SetStatus(const QString& text, const QString& path = QString(), const QString& tail = QString());

  InputLock lock_;
  std::uint64_t run_ = 0;  // changes at every show and every end
  bool runOpen_ = false;   // from the show until an end (success keeps it open until "OK")
  QStringList unplayed_;   // entries of this run that gave no stream
  QString playingEntry_;   // the entry whose file CopyStream plays
};
