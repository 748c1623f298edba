#pragma once
// Long texts for tool-tips: Qt shows a plain-text tool-tip as one line, however
// long, so the lines are broken here, between words.

#include <QFontMetrics>
#include <QString>

// Breaks `text` into lines of at most `widthPx` in `metrics`, at spaces; a
// word wider than that (a long path) stands on a line of its own.
QString WrapToWidth(const QString& text, const QFontMetrics& metrics, int widthPx);
