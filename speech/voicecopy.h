#pragma once
// TForm4 "Sprachdaten kopieren": copies the chosen speech and sound files into the device.
// Not built yet: the window exists with its caption and client size, and
// opens the sound output when it is created.

#include <QDialog>
#include <QStringList>

class TForm4 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm4(QWidget* parent = nullptr);

  void FormCreate();

  // The copy list: the paths to copy, one a line, relative to the program folder.
  void SetCopyList(const QStringList& lines);
  QStringList CopyList() const;

 private:
  QStringList copyList_;
};
