#pragma once
// TForm4 "Sprachdaten kopieren": copies the chosen speech and sound files into the device.
// Not built yet: the window exists with its caption and client size, and
// opens the sound output when it is created.

#include <QDialog>

class TForm4 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm4(QWidget* parent = nullptr);

  void FormCreate();
};
