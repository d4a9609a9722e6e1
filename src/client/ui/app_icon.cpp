#include "client/ui/app_icon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace client::ui {

const std::vector<int>& applicationIconSizes() {
  static const std::vector<int> sizes{16, 22, 24, 32, 48, 64, 128, 256};
  return sizes;
}

// The geometry is that of packaging/icons/varnelvpn-client.svg, in its
// 256-unit box: keep the two the same.
QImage renderApplicationIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 256.0, size / 256.0);

  QLinearGradient tile(0, 8, 0, 248);
  tile.setColorAt(0, QColor(0x2b, 0x6c, 0xb0));
  tile.setColorAt(1, QColor(0x1a, 0x36, 0x5d));
  p.setPen(Qt::NoPen);
  p.setBrush(tile);
  p.drawRoundedRect(QRectF(8, 8, 240, 240), 48, 48);

  QPainterPath shield;
  shield.moveTo(128, 36);
  shield.lineTo(204, 64);
  shield.lineTo(204, 122);
  shield.cubicTo(204, 172, 172, 206, 128, 224);
  shield.cubicTo(84, 206, 52, 172, 52, 122);
  shield.lineTo(52, 64);
  shield.closeSubpath();
  p.setBrush(Qt::white);
  p.drawPath(shield);

  QPen stroke(QColor(0x2b, 0x6c, 0xb0), 22, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(stroke);
  p.setBrush(Qt::NoBrush);
  QPainterPath v;
  v.moveTo(90, 90);
  v.lineTo(128, 176);
  v.lineTo(166, 90);
  p.drawPath(v);
  return image;
}

QIcon applicationIcon() {
  QIcon icon;
  for (const int size : applicationIconSizes()) {
    icon.addPixmap(QPixmap::fromImage(renderApplicationIcon(size)));
  }
  return icon;
}

}  // namespace client::ui
