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
const QColor kBlue(0x1e, 0x4f, 0xb4);
const QColor kDarkBlue(0x0e, 0x2a, 0x66);
const QColor kGrey(0x55, 0x55, 0x55);

// A block arrow pointing right; mirrored for left.
QIcon BlockArrow(const QColor& fill, const QColor& outline, bool pointsRight) {
  QPixmap pixmap = Canvas();
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  if (!pointsRight) {
    painter.translate(16, 0);
    painter.scale(-1, 1);
  }
  QPainterPath arrow;
  arrow.moveTo(1.5, 5.5);
  arrow.lineTo(8.5, 5.5);
  arrow.lineTo(8.5, 1.5);
  arrow.lineTo(14.5, 8);
  arrow.lineTo(8.5, 14.5);
  arrow.lineTo(8.5, 10.5);
  arrow.lineTo(1.5, 10.5);
  arrow.closeSubpath();
  painter.setPen(QPen(outline, 1));
  painter.setBrush(fill);
  painter.drawPath(arrow);
  return QIcon(pixmap);
}

}  // namespace

QIcon GreenRightArrowGlyph() { return BlockArrow(kGreen, kDarkGreen, true); }

QIcon GreenCheckGlyph() {
  QPixmap pixmap = Canvas();
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(kGreen, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.drawPolyline(QPolygonF({QPointF(2.5, 8.5), QPointF(6, 12.5), QPointF(13.5, 3.5)}));
  return QIcon(pixmap);
}

QIcon CancelCrossGlyph() {
  QPixmap pixmap = Canvas();
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(kRed, 3, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
  painter.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
  return QIcon(pixmap);
}

QIcon RightArrowGlyph() { return BlockArrow(kBlue, kDarkBlue, true); }

QIcon LeftArrowGlyph() { return BlockArrow(kBlue, kDarkBlue, false); }

QIcon LoudspeakerGlyph() {
  QPixmap pixmap = Canvas();
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath speaker;
  speaker.moveTo(1.5, 5.5);
  speaker.lineTo(4.5, 5.5);
  speaker.lineTo(8.5, 1.5);
  speaker.lineTo(8.5, 14.5);
  speaker.lineTo(4.5, 10.5);
  speaker.lineTo(1.5, 10.5);
  speaker.closeSubpath();
  painter.setPen(QPen(Qt::black, 1));
  painter.setBrush(kGrey);
  painter.drawPath(speaker);
  // Two sound waves in front of the cone.
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(kBlue, 1.2, Qt::SolidLine, Qt::RoundCap));
  painter.drawArc(QRectF(7, 5, 5, 6), -50 * 16, 100 * 16);
  painter.drawArc(QRectF(7, 2.5, 8, 11), -55 * 16, 110 * 16);
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
