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
#include <limits>

#include "serial/serialport.h"
#include "speech/audio.h"
#include "speech/soundoutputlock.h"
#include "ui/elidedstatus.h"
#include "ui/filecopyanimation.h"
#include "ui/formstyle.h"
#include "ui/glyphs.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"
#include "ui/windowactions.h"

namespace {

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
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint),
      sequence_(*this) {
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
  if (event->spontaneous()) return;
  // On X11 mapping a window does not restack it: without a window manager it
  // stays where it was created, and this dialog's native window is made in
  // its constructor, before the main window's. The run then went on beneath
  // the main window, out of reach of the user's clicks.
  raise();
  FormShow();
}

void TForm4::closeEvent(QCloseEvent* event) {
  if (sequence_.RunOpen()) sequence_.StopRun();
  soundOutput_.reset();
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
  // Another copy plays into the same sound server: this one would be recorded
  // by both clocks. Refused before anything is sent to this one's clock.
  SoundOutputClaim claim = ClaimSoundOutput(
      DeviceLink::Port() ? QString::fromStdString(DeviceLink::Port()->CommPort()) : QString());
  if (!claim.lock) {
    BitBtn1->setEnabled(false);
    BitBtn2->setEnabled(true);
    ShowMessage(this, SoundOutputBusyText(claim.heldBy), MessageKind::Error);
    // Not from inside the show that is under way.
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    return;
  }
  soundOutput_ = std::move(claim.lock);
  emit RunStarting();
  sequence_.Start();
  BitBtn1->setEnabled(true);
  BitBtn2->setEnabled(false);
}

void TForm4::FormClose() { StopPlayback(CopyStream); }
void TForm4::FormDestroy() { StopPlayback(CopyStream); }

void TForm4::BitBtn1Click() { CloseCopy(); }
void TForm4::BitBtn2Click() { CloseCopy(); }

void TForm4::EndForProgramExit() {
  if (sequence_.RunOpen()) CloseCopy();
}

// One tick: the timer stays off unless the state's step arms it again, so no
// tick starts while another waits for the device.
void TForm4::Timer1Timer() {
  Timer1->stop();
  sequence_.Tick(Timer1->Tag);
}

void TForm4::CloseCopy() {
  sequence_.StopRun();
  close();
}

// ------------------------------------------------------- the sequence's side

void TForm4::Arm(State state, int afterMs) {
  Timer1->Tag = state;
  Timer1->setInterval(afterMs);
  Timer1->start();
}

void TForm4::Disarm() { Timer1->stop(); }

void TForm4::Status(const QString& text, const QString& path, const QString& tail) {
  ShowStatus(Label1, text, path, tail);
}

void TForm4::ResetProgress() { ProgressBar1->setValue(0); }

void TForm4::Progress(std::uint32_t position, std::uint32_t length) {
  ProgressBar1->setRange(0, std::max(1, ProgressValue(length)));
  ProgressBar1->setValue(std::min(ProgressValue(position), ProgressBar1->maximum()));
}

void TForm4::EntryTaken() { RemoveFirstLine(Memo1); }

void TForm4::Message(CopyFailure /*failure*/, const QString& text) {
  ShowMessage(this, text, MessageKind::Error);
}

void TForm4::Holding(bool held) {
  if (held) {
    lock_.Hold(this);
  } else {
    lock_.Release();
    // Every end lets go: a failure, a cancel, and success, whose dialog may
    // wait for its "OK" a long time.
    soundOutput_.reset();
  }
  Animate1->SetActive(held);
}

QString TForm4::DataFolder() const { return ProgramFolder(); }

void TForm4::Succeeded() {
  BitBtn1->setEnabled(false);
  BitBtn2->setEnabled(true);
}
