#include "tools/ntpsync.h"

#include "ui/formstyle.h"

TForm3::TForm3(QWidget* parent) : QDialog(parent) {
  SetUpForm(this, QStringLiteral("Zeit Syncronisieren (NTP)"), 275, 166);
}
