#pragma once
// TForm5 "Test / Kalibrieren": the service bench for the clock device. Shows the
// device's two converter readings live (light sensor, audio input), stores the
// present light level as the dimming threshold, switches the clock test output
// on and off and plays one speech segment. While it is visible the device is
// held in service mode.
//
// Everything runs on the user-interface thread. The two reads of a converter
// cycle wait for the device while window messages keep being processed, so
// clicks, hides and further timer ticks run in the middle of a cycle; the
// handlers below are written for that (see Timer1Timer).

#include <QAbstractSpinBox>
#include <QDialog>
#include <QTimer>
#include <cstdint>

#include "ui/tagtimer.h"

class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;

// 1 while the device's clock test output is on. Module-level rather than a
// field of the dialog: it outlives every show and hide.
extern int32_t RtcTestRunning;

// An integer field whose value is its text. A QSpinBox would refuse "300" at the
// keyboard already (range 0 to 255) and turn any text into a number of its own
// at once; here the user may type anything: the value is the text read as a
// decimal integer, a text that is not one counts as the minimum, and only when
// the field loses the focus is an out-of-range value replaced by the nearer
// bound and shown so. The arrows (and the Up/Down keys) step by Increment and
// stay within the range.
class TSpinEdit : public QAbstractSpinBox {
  Q_OBJECT
 public:
  explicit TSpinEdit(QWidget* parent = nullptr);

  int MinValue = 0;
  int MaxValue = 100;
  int Increment = 1;

  int Value() const;
  void SetValue(int value);  // shows the value brought into the range
  QString Text() const;
  int CheckValue(int value) const;

  void stepBy(int steps) override;

 protected:
  StepEnabled stepEnabled() const override;
  void focusOutEvent(QFocusEvent* event) override;
};

class TForm5 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm5(QWidget* parent = nullptr);

  // The tag, not the timer's enabled state, says whether the converter test
  // runs, since each cycle switches the timer off.
  using TTimer = ::TTimer;

  QFrame* Panel1;  // "Analog Digital Wandler"
  QLabel* Label1;  // heading
  QLabel* Label2;
  QLabel* Label3;
  QLabel* Label4;
  QLabel* Label5;              // "Helligkeit"
  QLabel* Label6;              // "Audiopegel"
  QProgressBar* ProgressBar1;  // light, shown inverted: 1023 - light
  QProgressBar* ProgressBar2;  // audio
  QPushButton* BitBtn2;        // "ADC Test"
  QPushButton* BitBtn3;        // "Helligkeit setzen"

  QFrame* Panel2;  // "Realtime Clock"
  QLabel* Label7;  // heading
  QLabel* Label8;
  QLabel* Label9;
  QPushButton* BitBtn4;  // "RTC Test"

  QFrame* Panel3;   // "Sprachausgabe"
  QLabel* Label10;  // heading
  QLabel* Label11;  // "Spiele Segment:"
  TSpinEdit* SpinEdit1;
  QPushButton* BitBtn5;  // "Audio Test"

  QPushButton* BitBtn1;  // "OK"
  TTimer* Timer1;        // 250 ms, drives the converter test; Tag 1 while it runs

  void FormShow();
  void FormHide();
  void BitBtn1Click();
  void BitBtn2Click();
  void BitBtn3Click();
  void BitBtn4Click();
  void BitBtn5Click();
  void Timer1Timer();

 protected:
  // Only real changes of visibility count: a minimised dialog is still visible.
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  // The close box is the same as "OK": the dialog is hidden, never destroyed.
  void closeEvent(QCloseEvent* event) override;
  // The dialog has no cancel button, so Escape closes nothing.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void EnableTimer1();
  void ClearBars();

  uint64_t hides_ = 0;     // each hide; a cycle that saw one asks nothing more
  int cyclesReading_ = 0;  // cycles whose reads wait for the device
};
