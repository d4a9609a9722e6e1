#include "client/ui/images.h"

#include <QPainter>
#include <QPainterPath>

namespace client::ui {

namespace {

QPixmap statusImage(const QColor& fill) {
  QPixmap pixmap(22, 22);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath shield;
  shield.moveTo(11, 2);
  shield.lineTo(19, 5);
  shield.cubicTo(19, 13, 15, 18, 11, 20);
  shield.cubicTo(7, 18, 3, 13, 3, 5);
  shield.closeSubpath();
  p.setPen(QPen(Qt::black, 1.2));
  p.setBrush(fill);
  p.drawPath(shield);
  return pixmap;
}

QPixmap toolbarImage(const QString& glyph, const QColor& color) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(color);
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(2, 2, 28, 28), 6, 6);
  p.setPen(Qt::white);
  QFont font = p.font();
  font.setBold(true);
  font.setPixelSize(16);
  p.setFont(font);
  p.drawText(QRectF(2, 2, 28, 28), Qt::AlignCenter, glyph);
  return pixmap;
}

}  // namespace

QPixmap imageNamed(const QString& name) {
  if (name == "statusbardisconnected" || name == "Status Bar Disconnected") {
    return statusImage(QColor(150, 150, 150));
  }
  if (name == "Status Bar Connected") return statusImage(QColor(60, 170, 80));
  if (name == "hud_titlebar-close") {
    QPixmap pixmap(13, 13);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(255, 255, 255, 200));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(0.5, 0.5, 12, 12));
    p.setPen(QPen(QColor(40, 40, 40), 1.5));
    p.drawLine(QPointF(4, 4), QPointF(9, 9));
    p.drawLine(QPointF(9, 4), QPointF(4, 9));
    return pixmap;
  }
  if (name == "NSPreferencesGeneral") return toolbarImage("G", QColor(90, 90, 100));
  if (name == "NSUserAccounts") return toolbarImage("A", QColor(60, 110, 190));
  if (name == "NSNetwork") return toolbarImage("N", QColor(40, 150, 130));
  if (name == "NSAdvanced") return toolbarImage("*", QColor(120, 80, 160));
  return QPixmap();
}

QIcon iconNamed(const QString& name) {
  QPixmap pixmap = imageNamed(name);
  return pixmap.isNull() ? QIcon() : QIcon(pixmap);
}

}  // namespace client::ui
