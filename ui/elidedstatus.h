#pragma once
// A status line that never cuts the part the user reads it for.

#include <QString>

class QLabel;

// Shows `head` + `middle` + `tail` in `label`. When the whole does not fit the
// label's width, `middle` (a file's path, say) is shortened in its middle, so
// that its beginning and its end stay readable; head and tail stay whole. The
// label's tool-tip and accessible name carry the whole text.
void ShowStatus(QLabel* label, const QString& head, const QString& middle = QString(),
                const QString& tail = QString());
