// Program entry: creates every window once, shows the main window and runs
// until it closes or "Ende" is chosen. No command-line argument is read.

#include <QApplication>

#include "app/forms.h"
#include "app/mainprog.h"
#include "app/qttranslations.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vellamo"));
  InstallGermanQtTranslations(application);
  CreateForms();
  Form1->show();
  const int code = QApplication::exec();
  DestroyForms();
  return code;
}
