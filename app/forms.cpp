#include "app/forms.h"

#include "app/comportselect.h"
#include "app/info.h"
#include "app/mainprog.h"
#include "speech/sprachdat.h"
#include "speech/voicecopy.h"
#include "tools/ntpsync.h"
#include "tools/test.h"
#include "ui/quitsignals.h"
#include "ui/windowowner.h"

TForm1* Form1 = nullptr;
TForm2* Form2 = nullptr;
TForm3* Form3 = nullptr;
TForm4* Form4 = nullptr;
TForm5* Form5 = nullptr;
TForm6* Form6 = nullptr;
TForm7* Form7 = nullptr;

void CreateForms() {
  Form1 = new TForm1;
  Form2 = new TForm2;
  Form4 = new TForm4;
  Form6 = new TForm6;
  Form6->CopyDialog = Form4;
  Form7 = new TForm7;
  Form3 = new TForm3;
  Form5 = new TForm5;
  // Every dialog belongs to the main window, so that no desktop stacks one
  // below it where the user cannot reach it.
  for (QWidget* dialog : std::initializer_list<QWidget*>{Form2, Form4, Form6, Form7, Form3, Form5})
    BelongTo(dialog, Form1);
  // A copy run has the device and the sound card to itself: the converter
  // test of an open test dialog would query the device in the middle of it.
  QObject::connect(Form4, &TForm4::RunStarting, [] {
    if (Form5 && Form5->isVisible()) Form5->hide();
  });
}

namespace {
template <typename T>
void Destroy(T*& form) {
  delete form;
  form = nullptr;
}
}  // namespace

void DestroyForms() {
  Destroy(Form5);
  Destroy(Form3);
  Destroy(Form7);
  Destroy(Form6);
  Destroy(Form4);
  Destroy(Form2);
  Destroy(Form1);
}

void EndOnQuitSignals() {
  CatchQuitSignals([](int) {
    if (Form1) Form1->Ende1Click();
  });
}
