#include "ui/glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPixmap Canvas() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

const QColor kGreen(0x1f, 0x9a, 0x2e);
const QColor kDarkGreen(0x0c, 0x5c, 0x17);
const QColor kRed(0xc8, 0x1e, 0x1e);

}  // namespace

QIcon GreenRightArrowGlyph() {
  QPixmap pixmap = Canvas();
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath arrow;
  arrow.moveTo(1.5, 5.5);
  arrow.lineTo(8.5, 5.5);
  arrow.lineTo(8.5, 1.5);
  arrow.lineTo(14.5, 8);
  arrow.lineTo(8.5, 14.5);
  arrow.lineTo(8.5, 10.5);
  arrow.lineTo(1.5, 10.5);
  arrow.closeSubpath();
  painter.setPen(QPen(kDarkGreen, 1));
  painter.setBrush(kGreen);
  painter.drawPath(arrow);
  return QIcon(pixmap);
}

QIcon GreenCheckGlyph() {
  QPixmap pixmap = Canvas();
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(kGreen, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.drawPolyline(QPolygonF({QPointF(2.5, 8.5), QPointF(6, 12.5), QPointF(13.5, 3.5)}));
  return QIcon(pixmap);
}

QIcon RedCrossGlyph() {
  QPixmap pixmap = Canvas();
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(kRed, 3, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
  painter.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
  return QIcon(pixmap);
}
