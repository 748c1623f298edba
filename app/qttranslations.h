#pragma once
// Qt's own texts (the file dialog, the buttons of message boxes) in German, to
// match the rest of the user interface.

class QCoreApplication;

// Installs Qt's German translation from Qt's translations folder. False when
// it is not installed (package qt6-translations-l10n): Qt's texts stay English.
bool InstallGermanQtTranslations(QCoreApplication& application);
