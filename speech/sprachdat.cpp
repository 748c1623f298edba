#include "speech/sprachdat.h"

#include "app/formstyle.h"

TForm6::TForm6(QWidget* parent) : QDialog(parent) {
  SetUpForm(this, QStringLiteral("Sprachdaten Update"), 626, 363);
}
