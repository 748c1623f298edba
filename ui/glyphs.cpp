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

QIcon WarningGlyph() {
  QPixmap pixmap = Canvas();
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(0x8a, 0x5a, 0x00), 1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(QColor(0xf5, 0xc2, 0x11));
  painter.drawPolygon(QPolygonF({QPointF(8, 1.5), QPointF(14.5, 14), QPointF(1.5, 14)}));
  painter.setPen(QPen(Qt::black, 2, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(QPointF(8, 5.5), QPointF(8, 9.5));
  painter.drawPoint(QPointF(8, 12));
  return QIcon(pixmap);
}
