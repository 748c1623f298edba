#include "ui/elidedstatus.h"

#include <QFontMetrics>
#include <QLabel>

void ShowStatus(QLabel* label, const QString& head, const QString& middle, const QString& tail) {
  const QString whole = head + middle + tail;
  const QFontMetrics metrics(label->font());
  const int room = label->contentsRect().width();
  QString shown = whole;
  if (metrics.horizontalAdvance(whole) > room) {
    const int left = room - metrics.horizontalAdvance(head + tail);
    shown = head + metrics.elidedText(middle, Qt::ElideMiddle, std::max(left, 0)) + tail;
  }
  label->setText(shown);
  label->setToolTip(whole);
  label->setAccessibleName(whole);
}
