#include "ui/wraptext.h"

#include <QStringList>

QString WrapToWidth(const QString& text, const QFontMetrics& metrics, int widthPx) {
  QStringList lines;
  QString line;
  for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
    const QString longer = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
    if (line.isEmpty() || metrics.horizontalAdvance(longer) <= widthPx) {
      line = longer;
    } else {
      lines << line;
      line = word;
    }
  }
  if (!line.isEmpty()) lines << line;
  return lines.join(QLatin1Char('\n'));
}
