#pragma once
// Button and status glyphs, drawn by us at run time.

#include <QIcon>

QIcon GreenRightArrowGlyph();  // the OK of the port and the test dialogs
QIcon GreenCheckGlyph();       // the about box's OK and the copy dialog's OK
QIcon CancelCrossGlyph();      // "Abbrechen" of the speech dialogs
QIcon RightArrowGlyph();       // flat button: move an item to the right-hand list
QIcon LeftArrowGlyph();        // flat button: move it back
QIcon LoudspeakerGlyph();      // listening to a sound
QIcon WarningGlyph();          // beside the status bar's "Nicht verbunden." when there is a reason
