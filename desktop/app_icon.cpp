#include "desktop/app_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QPolygonF>

namespace kelvox {

namespace {

// The installed icon's shapes, on its 64 x 64 grid: a rounded square, a "K",
// and a two-way arrow beneath it.
QPixmap Draw(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 64.0, size / 64.0);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1d, 0x4e, 0x89));
  painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
  painter.setBrush(Qt::white);
  painter.drawPolygon(QPolygonF({{17, 10}, {25, 10}, {25, 22}, {36, 10}, {46, 10}, {32, 25}, {47, 42}, {37, 42},
                                 {25, 28}, {25, 42}, {17, 42}}));
  painter.setPen(QPen(QColor(0x8c, 0xc8, 0xff), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  painter.drawLine(QPointF(16, 52), QPointF(48, 52));
  painter.drawPolyline(QPolygonF({{42, 47}, {48, 52}, {42, 57}}));
  painter.drawPolyline(QPolygonF({{22, 47}, {16, 52}, {22, 57}}));
  return pixmap;
}

}  // namespace

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128}) icon.addPixmap(Draw(size));
  return icon;
}

}  // namespace kelvox
