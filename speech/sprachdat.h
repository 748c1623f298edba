#pragma once
// TForm6 "Sprachdaten Update": chooses a speech set and alarm sounds to load into the device.
// Not built yet: the window exists with its caption and client size, and
// opens the sound output when it is created.

#include <QDialog>

class TForm6 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm6(QWidget* parent = nullptr);

  void FormCreate();
};
