// Program entry: creates every window once, shows the main window and runs
// until it closes, "Ende" is chosen, or SIGINT, SIGTERM or SIGHUP asks it to end (which
// does what "Ende" does). No command-line argument is read.

#include <QApplication>

#include "app/forms.h"
#include "app/mainprog.h"
#include "app/qttranslations.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vellamo"));
  // Said where a user who started the program from a terminal sees it.
  if (!InstallGermanQtTranslations(application))
    qWarning("Vellamo: Qts deutsche Übersetzung fehlt (Paket qt6-translations-l10n); "
             "Qts eigene Texte bleiben englisch.");
  CreateForms();
  EndOnQuitSignals();
  Form1->show();
  const int code = QApplication::exec();
  DestroyForms();
  return code;
}
