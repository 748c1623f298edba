#pragma once
// TForm3 "Zeit Syncronisieren (NTP)": reads the time from a time server.
// Not built yet: the window exists with its caption and client size only.

#include <QDialog>

class TForm3 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm3(QWidget* parent = nullptr);
};
