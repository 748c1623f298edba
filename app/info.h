#pragma once
// TForm7 "Info": the about box. No logic of its own.

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

class TForm7 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm7(QWidget* parent = nullptr);

  QFrame* Panel1;
  QLabel* Image1;        // 100 x 100 picture; empty when its file is missing or corrupt
  QLabel* ProductName;   // "Vellamo 2.2", bold
  QLabel* Label1;        // notice and addresses, one line each
  QPushButton* BitBtn1;  // "OK"
};
