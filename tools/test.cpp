#include "tools/test.h"

#include "app/formstyle.h"

TForm5::TForm5(QWidget* parent) : QDialog(parent) { SetUpForm(this, QStringLiteral("Test / Kalibrieren"), 449, 303); }
