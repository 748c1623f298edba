#pragma once
// Button and status glyphs, drawn by us at run time.

#include <QIcon>

QIcon GreenRightArrowGlyph();  // the OK of the port and the test dialogs
QIcon GreenCheckGlyph();       // the about box's OK
QIcon WarningGlyph();          // beside the status bar's "Nicht verbunden." when there is a reason
