#include "speech/sprachdat.h"

#include "ui/formstyle.h"
#include "speech/audio.h"

TForm6::TForm6(QWidget* parent) : QDialog(parent) {
  SetUpForm(this, QStringLiteral("Sprachdaten Update"), 626, 363);
  FormCreate();
}

void TForm6::FormCreate() { InitAudio(this); }
