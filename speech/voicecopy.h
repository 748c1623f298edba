#pragma once
// TForm4 "Sprachdaten kopieren": the window of the copy (speech/copysequence).
//
// The update dialog writes the copy list into Memo1 (one path relative to the
// program folder per line, "\" as separator) and shows this dialog; showing it
// starts the sequence. Timer1 drives it; its Tag holds the state. Messages of
// the sequence are this window's modal boxes.

#include <QDialog>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "serial/processlock.h"
#include "speech/copysequence.h"
#include "ui/inputlock.h"
#include "ui/tagtimer.h"

class QFrame;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class TAnimate;

class TForm4 : public QDialog, public CopyStates, private CopySequence::Host {
  Q_OBJECT
 public:
  explicit TForm4(QWidget* parent = nullptr);
  ~TForm4() override;

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
  // The sequence's requests.
  void Arm(State state, int afterMs) override;
  void Disarm() override;
  void Status(const QString& text, const QString& path, const QString& tail) override;
  void ResetProgress() override;
  void Progress(std::uint32_t position, std::uint32_t length) override;
  QStringList PendingEntries() const override { return CopyList(); }
  void EntryTaken() override;
  void Message(CopyFailure failure, const QString& text) override;
  void Holding(bool held) override;
  void Close() override { close(); }
  void Succeeded() override;
  QString DataFolder() const override;

  void CloseCopy();

  InputLock lock_;
  // The sound output, from the show until the run's end (see soundoutputlock.h).
  std::optional<ProcessLock> soundOutput_;
  CopySequence sequence_;
};
