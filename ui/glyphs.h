#pragma once
// Button glyphs, drawn by us at run time.

#include <QIcon>

QIcon GreenRightArrowGlyph();  // the OK of the port and the test dialogs
QIcon GreenCheckGlyph();       // the about box's OK and the copy dialog's OK
QIcon RedCrossGlyph();         // the copy dialog's "Abbrechen"
