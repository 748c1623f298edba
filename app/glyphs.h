#pragma once
// Button glyphs, drawn by us at run time.

#include <QIcon>

QIcon GreenRightArrowGlyph();  // the port dialog's OK
QIcon GreenCheckGlyph();       // the about box's OK
