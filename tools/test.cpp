#include "tools/test.h"

#include <QCloseEvent>
#include <QFrame>
#include <QHideEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <algorithm>

#include "link/devicelink.h"
#include "ui/formstyle.h"
#include "ui/glyphs.h"

int32_t RtcTestRunning = 0;

namespace {

constexpr int kBarMaximum = 1023;

QFrame* SunkenPanel(QWidget* parent, const QRect& geometry) {
  auto* panel = new QFrame(parent);
  panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  panel->setGeometry(geometry);
  return panel;
}

QLabel* TextLine(QWidget* parent, const QString& text, int x, int y, int width) {
  auto* label = new QLabel(text, parent);
  label->setGeometry(x, y, width, 16);
  return label;
}

QLabel* Heading(QWidget* parent, const QString& text, int width) {
  QLabel* label = TextLine(parent, text, 8, 8, width);
  QFont bold = FormFont();
  bold.setBold(true);
  label->setFont(bold);
  return label;
}

QProgressBar* LevelBar(QWidget* parent, const QRect& geometry) {
  auto* bar = new QProgressBar(parent);
  bar->setGeometry(geometry);
  bar->setRange(0, kBarMaximum);
  bar->setTextVisible(false);
  // A fresh QProgressBar stands below its minimum until a value is set.
  bar->setValue(0);
  return bar;
}

QPushButton* Button(QWidget* parent, const QString& caption, const QRect& geometry) {
  auto* button = new QPushButton(caption, parent);
  button->setGeometry(geometry);
  // Enter in the spin field must not press a button behind the user's back.
  button->setAutoDefault(false);
  return button;
}

// QProgressBar ignores a value outside its range; the bar shows it at the
// nearer end instead.
void SetPosition(QProgressBar* bar, int position) {
  bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
}

}  // namespace

// ---------------------------------------------------------------- TSpinEdit

TSpinEdit::TSpinEdit(QWidget* parent) : QAbstractSpinBox(parent) {
  setButtonSymbols(QAbstractSpinBox::UpDownArrows);
  setAccelerated(false);
  lineEdit()->setText(QStringLiteral("0"));
}

int TSpinEdit::Value() const {
  bool ok = false;
  const int value = Text().toInt(&ok, 10);
  return ok ? value : MinValue;
}

int TSpinEdit::CheckValue(int value) const {
  if (MaxValue <= MinValue) return value;
  return std::clamp(value, MinValue, MaxValue);
}

void TSpinEdit::SetValue(int value) { lineEdit()->setText(QString::number(CheckValue(value))); }

QString TSpinEdit::Text() const { return lineEdit()->text(); }

void TSpinEdit::stepBy(int steps) {
  // Widen before adding, so that a typed 2147483647 does not wrap around.
  const long long next = static_cast<long long>(Value()) + static_cast<long long>(steps) * Increment;
  SetValue(static_cast<int>(std::clamp<long long>(next, MinValue, MaxValue)));
  selectAll();
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const {
  StepEnabled enabled = StepNone;
  if (Value() < MaxValue) enabled |= StepUpEnabled;
  if (Value() > MinValue) enabled |= StepDownEnabled;
  return enabled;
}

void TSpinEdit::focusOutEvent(QFocusEvent* event) {
  QAbstractSpinBox::focusOutEvent(event);
  const int value = Value();
  if (CheckValue(value) != value) SetValue(value);
}

// ------------------------------------------------------------------- TForm5

TForm5::TForm5(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint) {
  Panel1 = SunkenPanel(this, QRect(8, 8, 250, 254));
  Label1 = Heading(Panel1, QStringLiteral("Analog Digital Wandler"), 234);
  Label2 = TextLine(Panel1, QStringLiteral("Hier können die A/D Konverter überprüft"), 8, 30, 238);
  Label3 = TextLine(Panel1, QStringLiteral("und der Schwellwert für die Display Dimm-"), 8, 46, 238);
  Label4 = TextLine(Panel1, QStringLiteral("funktion gesetzt werden."), 8, 62, 238);
  Label5 = TextLine(Panel1, QStringLiteral("Helligkeit"), 8, 92, 234);
  ProgressBar1 = LevelBar(Panel1, QRect(8, 110, 232, 16));
  Label6 = TextLine(Panel1, QStringLiteral("Audiopegel"), 8, 136, 234);
  ProgressBar2 = LevelBar(Panel1, QRect(8, 154, 232, 16));
  Label5->setBuddy(ProgressBar1);
  Label6->setBuddy(ProgressBar2);
  BitBtn2 = Button(Panel1, QStringLiteral("ADC Test"), QRect(8, 214, 96, 27));
  BitBtn3 = Button(Panel1, QStringLiteral("Helligkeit setzen"), QRect(114, 214, 126, 27));
  BitBtn3->setEnabled(false);

  Panel2 = SunkenPanel(this, QRect(266, 8, 175, 122));
  Label7 = Heading(Panel2, QStringLiteral("Realtime Clock"), 159);
  Label8 = TextLine(Panel2, QStringLiteral("32,768kHz auf dem Testpin"), 8, 30, 159);
  Label9 = TextLine(Panel2, QStringLiteral("ausgeben."), 8, 46, 159);
  BitBtn4 = Button(Panel2, QStringLiteral("RTC Test"), QRect(8, 82, 96, 27));

  Panel3 = SunkenPanel(this, QRect(266, 138, 175, 124));
  Label10 = Heading(Panel3, QStringLiteral("Sprachausgabe"), 159);
  Label11 = TextLine(Panel3, QStringLiteral("Spiele Segment:"), 8, 40, 92);
  SpinEdit1 = new TSpinEdit(Panel3);
  SpinEdit1->MinValue = 0;
  SpinEdit1->MaxValue = 255;
  SpinEdit1->Increment = 1;
  SpinEdit1->SetValue(0);
  SpinEdit1->setGeometry(104, 36, 64, 24);
  Label11->setBuddy(SpinEdit1);
  BitBtn5 = Button(Panel3, QStringLiteral("Audio Test"), QRect(8, 84, 96, 27));

  BitBtn1 = Button(this, QStringLiteral("OK"), QRect(184, 270, 81, 27));
  BitBtn1->setIcon(GreenRightArrowGlyph());

  Timer1 = new TTimer(this);
  Timer1->setInterval(250);
  Timer1->Tag = 0;

  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { BitBtn2Click(); });
  connect(BitBtn3, &QPushButton::clicked, this, [this] { BitBtn3Click(); });
  connect(BitBtn4, &QPushButton::clicked, this, [this] { BitBtn4Click(); });
  connect(BitBtn5, &QPushButton::clicked, this, [this] { BitBtn5Click(); });
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

  SetUpForm(this, QStringLiteral("Test / Kalibrieren"), 449, 303);
}

void TForm5::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TForm5::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  if (!event->spontaneous()) FormHide();
}

void TForm5::closeEvent(QCloseEvent* event) {
  event->accept();
  hide();
}

void TForm5::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

// Every hide restores the idle state, which is also the state the dialog is
// built in, so showing only has to put the device into service mode.
void TForm5::FormShow() { DeviceLink::EnterServiceMode(); }

void TForm5::FormHide() {
  ++hides_;
  // A cycle's read that still waits is let go: the window that hid this one
  // (a starting copy) finds the channel free.
  if (cyclesReading_ > 0) DeviceLink::ReleaseWait();
  Timer1->stop();
  Timer1->Tag = 0;
  ClearBars();
  if (RtcTestRunning == 1) {
    RtcTestRunning = 0;
    DeviceLink::StopRtcTest();
  }
  BitBtn2->setEnabled(true);
  BitBtn3->setEnabled(false);
  BitBtn4->setEnabled(true);
  BitBtn5->setEnabled(true);
  DeviceLink::LeaveServiceMode();
}

void TForm5::BitBtn1Click() { close(); }

void TForm5::BitBtn2Click() {
  if (Timer1->Tag != 0) {
    Timer1->stop();
    Timer1->Tag = 0;
    BitBtn3->setEnabled(false);
    BitBtn4->setEnabled(true);
    BitBtn5->setEnabled(true);
    ClearBars();
  } else {
    // Nothing is sent now; the first cycle follows one interval later.
    EnableTimer1();
    Timer1->Tag = 1;
    BitBtn3->setEnabled(true);
    BitBtn4->setEnabled(false);
    BitBtn5->setEnabled(false);
  }
}

// The device stores its own present light level; the command carries nothing.
void TForm5::BitBtn3Click() { DeviceLink::StoreDimThreshold(); }

void TForm5::BitBtn4Click() {
  if (RtcTestRunning != 0) {
    RtcTestRunning = 0;
    DeviceLink::StopRtcTest();
    BitBtn2->setEnabled(true);
    BitBtn5->setEnabled(true);
  } else {
    RtcTestRunning = 1;
    DeviceLink::StartRtcTest();
    BitBtn2->setEnabled(false);
    BitBtn5->setEnabled(false);
  }
}

// A mouse click takes the focus first, so the field already shows its value
// within 0 to 255; a click that does not (from the keyboard's mnemonic, say)
// must not send a value cut to eight bits either.
void TForm5::BitBtn5Click() {
  DeviceLink::PlaySegment(static_cast<uint8_t>(SpinEdit1->CheckValue(SpinEdit1->Value())));
}

// One cycle of the converter test. The timer stays off for the whole cycle, so
// cycles never overlap on their own; the 250 ms is the pause between them.
void TForm5::Timer1Timer() {
  Timer1->stop();
  const uint64_t hides = hides_;
  // Both are always asked: a failed light reading must not hide the audio
  // level. A dialog hidden during the first read asks nothing more: the device
  // has left service mode, or belongs to a copy now.
  ++cyclesReading_;
  const int32_t light = DeviceLink::ReadLightLevel();
  const int32_t audio = hides == hides_ ? DeviceLink::ReadAudioLevel() : -1;
  --cyclesReading_;
  if (light >= 0) SetPosition(ProgressBar1, kBarMaximum - light);
  if (audio >= 0) SetPosition(ProgressBar2, audio);
  // The reads processed window messages: the test may have been stopped (or the
  // dialog hidden) meanwhile, so the tag is read again only now. A stopped test
  // stays stopped, with its bars at 0.
  if (Timer1->Tag == 1) {
    EnableTimer1();
  } else {
    ClearBars();
  }
}

// Enabling an enabled timer leaves its interval running, as when a test that
// was stopped and restarted during a cycle already re-armed it.
void TForm5::EnableTimer1() {
  if (!Timer1->isActive()) Timer1->start();
}

void TForm5::ClearBars() {
  SetPosition(ProgressBar1, 0);
  SetPosition(ProgressBar2, 0);
}
