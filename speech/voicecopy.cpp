#include "speech/voicecopy.h"

#include "speech/audio.h"
#include "ui/formstyle.h"

TForm4::TForm4(QWidget* parent) : QDialog(parent) {
  SetUpForm(this, QStringLiteral("Sprachdaten kopieren"), 476, 198);
  FormCreate();
}

void TForm4::FormCreate() { InitAudio(this); }

void TForm4::SetCopyList(const QStringList& lines) { copyList_ = lines; }

QStringList TForm4::CopyList() const { return copyList_; }
