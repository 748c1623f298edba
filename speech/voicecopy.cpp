#include "speech/voicecopy.h"

#include "app/formstyle.h"

TForm4::TForm4(QWidget* parent) : QDialog(parent) {
  SetUpForm(this, QStringLiteral("Sprachdaten kopieren"), 476, 198);
}
