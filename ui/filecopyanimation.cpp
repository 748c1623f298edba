#include "ui/filecopyanimation.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace {

const QColor kFolder(0xe8, 0xc0, 0x4c);
const QColor kFolderEdge(0x8a, 0x6a, 0x10);
const QColor kSheet(Qt::white);
const QColor kSheetEdge(0x40, 0x40, 0x40);
const QColor kLines(0x70, 0x80, 0xa0);

void DrawFolder(QPainter& painter, const QRectF& body, bool open) {
  painter.setPen(QPen(kFolderEdge, 1));
  painter.setBrush(kFolder.darker(110));
  QPainterPath back;
  back.moveTo(body.left(), body.bottom());
  back.lineTo(body.left(), body.top() - 5);
  back.lineTo(body.left() + 14, body.top() - 5);
  back.lineTo(body.left() + 18, body.top());
  back.lineTo(body.right(), body.top());
  back.lineTo(body.right(), body.bottom());
  back.closeSubpath();
  painter.drawPath(back);
  painter.setBrush(kFolder);
  // An open folder shows its front flap tilted forward.
  const qreal lift = open ? 8 : 0;
  QPainterPath front;
  front.moveTo(body.left(), body.bottom());
  front.lineTo(body.left() + lift, body.top() + 6);
  front.lineTo(body.right() + lift, body.top() + 6);
  front.lineTo(body.right(), body.bottom());
  front.closeSubpath();
  painter.drawPath(front);
}

void DrawSheet(QPainter& painter, const QPointF& centre, qreal angle) {
  painter.save();
  painter.translate(centre);
  painter.rotate(angle);
  const QRectF sheet(-8, -10, 16, 20);
  painter.setPen(QPen(kSheetEdge, 1));
  painter.setBrush(kSheet);
  painter.drawRect(sheet);
  painter.setPen(QPen(kLines, 1));
  for (int line = 0; line < 4; ++line)
    painter.drawLine(QPointF(-5, -6 + 4 * line), QPointF(5, -6 + 4 * line));
  painter.restore();
}

}  // namespace

TAnimate::TAnimate(QWidget* parent) : QWidget(parent) {
  setFixedSize(kFrameWidth, kFrameHeight);
  timer_.setInterval(kFrameIntervalMs);
  connect(&timer_, &QTimer::timeout, this, [this] { NextFrame(); });
}

void TAnimate::SetActive(bool active) {
  if (active == Active()) return;
  if (active) {
    frame_ = 1;
    timer_.start();
  } else {
    timer_.stop();
  }
  update();
}

void TAnimate::NextFrame() {
  frame_ = frame_ >= StopFrame ? 1 : frame_ + 1;
  update();
}

QImage TAnimate::RenderFrame(int frame, int frames) {
  QImage image(kFrameWidth, kFrameHeight, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF from(20, 28, 46, 28);
  const QRectF to(kFrameWidth - 66, 28, 46, 28);
  DrawFolder(painter, from, true);
  DrawFolder(painter, to, false);
  // The sheet leaves the left folder, flies over the gap in an arc, turning
  // once, and drops into the right folder.
  const qreal t = frames > 1 ? qreal(frame - 1) / qreal(frames - 1) : 0;
  const qreal x = from.center().x() + t * (to.center().x() - from.center().x());
  const qreal y = from.top() - 2 - std::sin(t * M_PI) * 22;
  DrawSheet(painter, QPointF(x, y), t * 360);
  return image;
}

void TAnimate::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawImage(0, 0, RenderFrame(frame_, StopFrame));
}
