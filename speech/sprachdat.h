#pragma once
// TForm6 "Sprachdaten Update": where the user chooses what to load into the
// device, one speech set and any number of alarm sounds, listens to them, and on
// "OK" hands the list of files to the copy dialog and opens it.
//
// The folders are read once, when the dialog is created; the user's choice stays
// across closing and reopening. User-interface thread only.

#include <QDialog>
#include <QStringList>

#include "speech/audiooutput.h"

class QComboBox;
class QFrame;
class QLabel;
class QListWidget;
class QPushButton;
class QToolButton;
class TForm4;

// The stream of this dialog's previews; 0 when none. Each preview replaces the
// one before, and every way out of the dialog stops it.
extern StreamHandle PreviewStream;

class TForm6 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm6(QWidget* parent = nullptr);
  ~TForm6() override;

  // The copy dialog that "OK" fills and opens; set once the windows exist.
  TForm4* CopyDialog = nullptr;

  QFrame* Panel1;  // top left: the speech set
  QLabel* Label1;  // "Sprachausgabe"
  QComboBox* ComboBox1;
  QPushButton* BitBtn3;  // "Vorhören"

  QFrame* Panel2;  // bottom left
  QLabel* Label2;  // "Status"
  QLabel* Label4;  // "Länge: 00:00:00"
  QLabel* Label5;  // "Label5"

  QFrame* Panel3;             // right: the alarm sounds
  QLabel* Label3;             // "Wecksounds"
  QListWidget* ListBox1;      // not chosen
  QToolButton* SpeedButton1;  // move right
  QToolButton* SpeedButton2;  // move left
  QToolButton* SpeedButton3;  // play the selected one
  QListWidget* ListBox2;      // chosen for the device

  QPushButton* BitBtn1;  // "Abbrechen"
  QPushButton* BitBtn2;  // "OK"

  void FormCreate();
  void FormClose();
  void FormDestroy();
  void BitBtn1Click();
  void BitBtn2Click();
  void BitBtn3Click();
  void SpeedButton1Click();
  void SpeedButton2Click();
  void SpeedButton3Click();
  void ListBox1MouseUp();
  void ListBox1KeyUp();
  void ListBox2MouseUp();
  void ListBox2KeyUp();

  // False, and says so, while a copy holds the sound output.
  bool SoundOutputFree();
  void PreviewSpeechSet();
  void PreviewAlarmSound();
  void BuildCopyList();

 protected:
  void hideEvent(QHideEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QString SelectedSpeechSetPath() const;
};

// The line a preview plays: `draw` is uniform on 0 .. lines − 1 (0 for an empty
// file). Draw 0 takes the file's last line, draw r any other the r-th line, so
// every line has the same chance; an empty file gives an empty line.
QString ChosenPreviewLine(const QStringList& lines, int draw);
