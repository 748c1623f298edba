#include "speech/voicecopy.h"

#include <QCloseEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QTextBlock>
#include <QTextCursor>
#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "link/devicelink.h"
#include "speech/audio.h"
#include "ui/filecopyanimation.h"
#include "ui/elidedstatus.h"
#include "ui/formstyle.h"
#include "ui/glyphs.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"
#include "ui/windowactions.h"

StreamHandle CopyStream = 0;
std::uint32_t SavedVolume = 0;
std::uint32_t TrialVolume = 0;

namespace {

const QString kToneFile = QStringLiteral("resources\\tone.mp3");

const QString kAdcFailed =
    QStringLiteral("Fehler bei Abfrage des ADC. Sollte ein Kommunikationsproblem sein.");
const QString kNoSignal = QStringLiteral("Kein Audiosignal oder zu geringer Pegel.");
const QString kStartFailed =
    QStringLiteral("Fehler beim starten der Aufnahme. Sollte ein Kommunikationsproblem sein.");
const QString kStopFailed = QStringLiteral(
    "Fehler beim Stoppen der Aufnahme. Entweder der Speicher ist voll oder es gibt ein "
    "Kommunikationsproblem. Überspringe weitere Übertragung.");
const QString kProcessingFailed =
    QStringLiteral("Fehler bei der Sprachdatenanalyse oder Kommunikation abgebrochen.");
const QString kUnplayable = QStringLiteral("Folgende Dateien konnten nicht abgespielt werden:");
// %1: the entry whose recording the gap spoilt.
const QString kSoundCut = QStringLiteral(
    "Die Tonausgabe ist während der Wiedergabe von %1 ausgefallen; die Aufnahme ist unvollständig. "
    "Die Übertragung wurde abgebrochen.");

QPushButton* Button(QWidget* parent, const QString& caption, const QIcon& glyph, const QRect& geometry) {
  auto* button = new QPushButton(glyph, caption, parent);
  button->setGeometry(geometry);
  // Enter presses nothing behind the user's back.
  button->setAutoDefault(false);
  return button;
}

int ProgressValue(std::uint32_t bytes) {
  return static_cast<int>(std::min<std::uint32_t>(bytes, std::numeric_limits<int>::max()));
}

}  // namespace

TForm4::TForm4(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint) {
  Panel1 = new QFrame(this);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel1->setGeometry(8, 8, 288, 146);
  Label1 = new QLabel(QStringLiteral("Status:"), Panel1);
  Label1->setGeometry(8, 8, 272, 16);
  Animate1 = new TAnimate(Panel1);
  Animate1->move(8, 32);
  Animate1->StopFrame = 20;
  ProgressBar1 = new QProgressBar(Panel1);
  ProgressBar1->setGeometry(8, 116, 272, 16);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);  // a smooth bar, no figure

  Memo1 = new QPlainTextEdit(this);
  Memo1->setGeometry(304, 8, 164, 146);
  Memo1->setReadOnly(true);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);

  BitBtn1 = Button(this, QStringLiteral("Abbrechen"), CancelCrossGlyph(), QRect(8, 163, 96, 27));
  BitBtn2 = Button(this, QStringLiteral("OK"), GreenCheckGlyph(), QRect(372, 163, 96, 27));
  BitBtn2->setEnabled(false);

  Timer1 = new TTimer(this);
  Timer1->setInterval(kPollMs);
  Timer1->Tag = PlayTone;

  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { BitBtn2Click(); });
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

  SetUpForm(this, QStringLiteral("Sprachdaten kopieren"), 476, 198);
  // Minimised during a run, the dialog would leave the user before windows
  // that take no input.
  OfferMoveOnly(this);
  FormCreate();
}

TForm4::~TForm4() { FormDestroy(); }

// ------------------------------------------------------------ the copy list

// Read as a list of lines: a line end at the very end starts no further entry,
// and an empty memo holds no entry.
QStringList TForm4::CopyList() const {
  QStringList lines = Memo1->toPlainText().split(QLatin1Char('\n'));
  if (lines.last().isEmpty()) lines.removeLast();
  return lines;
}

void TForm4::SetCopyList(const QStringList& entries) {
  QString text;
  for (const QString& entry : entries) text += entry + QLatin1Char('\n');
  Memo1->setPlainText(text);
}

namespace {
void RemoveFirstLine(QPlainTextEdit* memo) {
  QTextCursor cursor(memo->document());
  cursor.movePosition(QTextCursor::Start);
  if (!cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor))
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}
}  // namespace

// ---------------------------------------------------------------- handlers

void TForm4::FormCreate() { InitAudio(this); }

void TForm4::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TForm4::closeEvent(QCloseEvent* event) {
  if (runOpen_) StopRun();
  FormClose();
  event->accept();
}

void TForm4::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TForm4::FormShow() {
  emit RunStarting();
  lock_.Hold(this);
  ++run_;
  runOpen_ = true;
  unplayed_.clear();
  Animate1->SetActive(true);
  Timer1->Tag = PlayTone;
  ProgressBar1->setValue(0);
  GoTo(PlayTone, kStepMs);
  DeviceLink::EnterServiceMode();
  SavedVolume = GetOutputVolume();
  TrialVolume = kFirstTrialVolume;
  SetOutputVolume(TrialVolume);
  SetStatus(QStringLiteral("Status: Einpegeln... (0)"));
  BitBtn1->setEnabled(true);
  BitBtn2->setEnabled(false);
}

void TForm4::FormClose() { StopPlayback(CopyStream); }
void TForm4::FormDestroy() { StopPlayback(CopyStream); }

void TForm4::BitBtn1Click() { CloseCopy(); }
void TForm4::BitBtn2Click() { CloseCopy(); }

void TForm4::EndForProgramExit() {
  if (runOpen_) CloseCopy();
}

// One tick: the timer stays off unless the state's step arms it again, so no
// tick starts while another waits for the device.
void TForm4::Timer1Timer() {
  Timer1->stop();
  switch (Timer1->Tag) {
    case PlayTone:
      StepPlayTone();
      break;
    case CheckLevel:
      StepCheckLevel();
      break;
    case StartNextFile:
      StepStartNextFile();
      break;
    case TrackPlayback:
      StepTrackPlayback();
      break;
    case FinishCopy:
      StepFinishCopy();
      break;
    default:
      break;
  }
}

void TForm4::GoTo(State state, int afterMs) {
  Timer1->Tag = state;
  Timer1->setInterval(afterMs);
  Timer1->start();
}

// --------------------------------------------------------------- the states
//
// After every wait for the device (and every message box) a step first asks
// whether its run is still the current one: "Abbrechen" or the program's end
// may have ended it meanwhile, and then the step does nothing more.

void TForm4::StepPlayTone() {
  PlayFile(CopyStream, ProgramFolder() + kToneFile);
  GoTo(CheckLevel, kToneToLevelMs);
}

void TForm4::StepCheckLevel() {
  const std::uint64_t run = run_;
  const int32_t level = DeviceLink::ReadAudioLevel();
  if (RunEndedSince(run)) return;
  SetStatus(QStringLiteral("Status: Einpegeln... (%1)").arg(level));
  if (level <= 0) {
    AbortCopy(kAdcFailed);
  } else if (level >= kSufficientLevel) {
    StopPlayback(CopyStream);
    DeviceLink::BeginCopySession();
    // The first recording starts only once the tone is no longer heard: the
    // sound server still plays its last tens of milliseconds, which the device
    // would otherwise record at the head of the first file.
    GoTo(StartNextFile, kStepMs + StoppedSoundEndsInMs());
  } else {
    TrialVolume += kVolumeStep;
    if (TrialVolume <= kHighestTrialVolume) {
      SetOutputVolume(TrialVolume);
      GoTo(PlayTone, kStepMs);
    } else {
      ShowNoSignal();
    }
  }
}

// Playback starts before the start-recording command; the entry leaves the
// memo before the device answers, so the memo shows what is not yet started.
void TForm4::StepStartNextFile() {
  const QStringList list = CopyList();
  if (list.isEmpty()) {
    GoTo(FinishCopy, kStepMs);
    return;
  }
  const QString entry = list.first();
  SetStatus(QStringLiteral("Status: Kopiere... ("), entry, QStringLiteral(")"));
  ProgressBar1->setValue(0);
  PlayFile(CopyStream, ProgramFolder() + entry);
  playingEntry_ = entry;
  // The device's slot is used all the same, so that the following entries
  // keep their places; the user hears of it at the end.
  if (CopyStream == 0) unplayed_ << entry;
  RemoveFirstLine(Memo1);
  const std::uint64_t run = run_;
  const int32_t verdict = DeviceLink::StartRecording();
  if (RunEndedSince(run)) return;
  if (verdict == 0) {
    GoTo(TrackPlayback, kPollMs);
  } else {
    AbortCopy(kStartFailed);
  }
}

void TForm4::StepTrackPlayback() {
  if (IsPlaying(CopyStream)) {
    ProgressBar1->setRange(0, std::max(1, ProgressValue(StreamLength(CopyStream))));
    ProgressBar1->setValue(std::min(ProgressValue(StreamPosition(CopyStream)), ProgressBar1->maximum()));
    Timer1->setInterval(kPollMs);
  } else {
    // A stream cut by a lost sound output, or with a gap where the sound ran
    // dry, is not a played file: the device closes the incomplete recording
    // and the run is given up, naming the entry, so that no damaged word is
    // kept without the user knowing.
    const bool cut = EndedEarly(CopyStream);
    ProgressBar1->setValue(0);
    StopPlayback(CopyStream);
    const std::uint64_t run = run_;
    const int32_t verdict = DeviceLink::StopRecording();
    if (RunEndedSince(run)) return;
    if (cut) {
      AbortCopy(kSoundCut.arg(playingEntry_));
      return;
    }
    if (verdict == 0) {
      Timer1->Tag = StartNextFile;
    } else {
      ShowMessage(this, kStopFailed, MessageKind::Error);
      if (RunEndedSince(run)) return;
      Timer1->Tag = FinishCopy;
    }
    Timer1->setInterval(kAfterRecordingMs);
  }
  Timer1->start();
}

void TForm4::StepFinishCopy() {
  SetStatus(QStringLiteral("Status: Verarbeitung... (dauert ca. 2 Minuten)"));
  DeviceLink::StartProcessing();
  // Without serving window messages: nothing may come between the two commands.
  std::this_thread::sleep_for(std::chrono::milliseconds(kProcessingPauseMs));
  const std::uint64_t run = run_;
  const int32_t verdict = DeviceLink::AwaitProcessingResult();
  if (RunEndedSince(run)) return;
  if (verdict != 0) {
    AbortCopy(kProcessingFailed);
    return;
  }
  if (!unplayed_.isEmpty()) {
    QStringList lines = unplayed_;
    for (QString& line : lines)
      if (line.isEmpty()) line = QStringLiteral("(leere Zeile)");
    ShowMessage(this, kUnplayable + QLatin1Char('\n') + lines.join(QLatin1Char('\n')), MessageKind::Error);
    if (RunEndedSince(run)) return;
  }
  SetStatus(QStringLiteral("Status: Übertragung erfolgreich!"));
  lock_.Release();
  Animate1->SetActive(false);
  Timer1->stop();
  DeviceLink::LeaveServiceMode();
  RestoreOutputVolume(SavedVolume);
  BitBtn1->setEnabled(false);
  BitBtn2->setEnabled(true);
}

// ------------------------------------------------------------------ the ends

// A query of this run that still waits (the verdict waits up to three
// minutes) is let go: the next run, or another window, finds the channel free.
void TForm4::EndRun() {
  ++run_;
  runOpen_ = false;
  lock_.Release();
  DeviceLink::ReleaseWait();
  Animate1->SetActive(false);
  Timer1->stop();
  SetStatus(QStringLiteral("Status:"));
}

void TForm4::SetStatus(const QString& text, const QString& path, const QString& tail) {
  ShowStatus(Label1, text, path, tail);
}

void TForm4::AbortCopy(const QString& message) {
  const std::uint64_t run = run_;
  SetStatus(QStringLiteral("Status: Fehler."));
  ShowMessage(this, message, MessageKind::Error);
  if (RunEndedSince(run)) return;
  EndRun();
  DeviceLink::StartProcessing();
  DeviceLink::LeaveServiceMode();
  RestoreOutputVolume(SavedVolume);
  close();
}

void TForm4::ShowNoSignal() {
  StopPlayback(CopyStream);
  const std::uint64_t run = run_;
  ShowMessage(this, kNoSignal, MessageKind::Error);
  if (RunEndedSince(run)) return;
  EndRun();
  DeviceLink::LeaveServiceMode();
  RestoreOutputVolume(SavedVolume);
  close();
}

void TForm4::StopRun() {
  StopPlayback(CopyStream);
  EndRun();
  DeviceLink::LeaveServiceMode();
  RestoreOutputVolume(SavedVolume);
}

void TForm4::CloseCopy() {
  StopRun();
  close();
}
