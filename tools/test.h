#pragma once
// TForm5 "Test / Kalibrieren": live test of the device's converters, clock and
// speech output, and the dimming calibration.
// Not built yet: the window exists with its caption and client size only.

#include <QDialog>

class TForm5 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm5(QWidget* parent = nullptr);
};
