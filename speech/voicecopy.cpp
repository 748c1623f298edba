#include "speech/voicecopy.h"

#include "ui/formstyle.h"
#include "speech/audio.h"

TForm4::TForm4(QWidget* parent) : QDialog(parent) {
  SetUpForm(this, QStringLiteral("Sprachdaten kopieren"), 476, 198);
  FormCreate();
}

void TForm4::FormCreate() { InitAudio(this); }
