#include "client/ui/images.h"

#include <QHash>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <functional>

namespace client::ui {

namespace {

// The status shield, in a 22-unit box.
void drawStatusImage(QPainter& p, const QColor& fill) {
  QPainterPath shield;
  shield.moveTo(11, 2);
  shield.lineTo(19, 5);
  shield.cubicTo(19, 13, 15, 18, 11, 20);
  shield.cubicTo(7, 18, 3, 13, 3, 5);
  shield.closeSubpath();
  p.setPen(QPen(Qt::black, 1.2));
  p.setBrush(fill);
  p.drawPath(shield);
}

void drawCloseImage(QPainter& p) {
  p.setBrush(QColor(255, 255, 255, 200));
  p.setPen(Qt::NoPen);
  p.drawEllipse(QRectF(0.5, 0.5, 12, 12));
  p.setPen(QPen(QColor(40, 40, 40), 1.5));
  p.drawLine(QPointF(4, 4), QPointF(9, 9));
  p.drawLine(QPointF(9, 4), QPointF(4, 9));
}

// The preference panes' toolbar pictures: a rounded tile with a drawn
// symbol (gear, person, globe, sliders), at twice the toolbar size so they
// stay sharp when scaled.
enum class Symbol { Gear, Person, Globe, Sliders };

constexpr int kToolbarBox = 64;

void drawToolbarImage(QPainter& p, Symbol symbol, const QColor& color) {
  constexpr int kSize = kToolbarBox;
  QLinearGradient tile(0, 0, 0, kSize);
  tile.setColorAt(0, color.lighter(125));
  tile.setColorAt(1, color.darker(115));
  p.setBrush(tile);
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(3, 3, kSize - 6, kSize - 6), 12, 12);
  const QPointF c(kSize / 2.0, kSize / 2.0);
  const QColor ink(255, 255, 255);
  switch (symbol) {
    case Symbol::Gear: {
      QPainterPath gear;
      constexpr int kTeeth = 8;
      const double outer = 21, inner = 16;
      for (int i = 0; i < kTeeth * 4; ++i) {
        const double angle = (i - 0.5) * M_PI / (kTeeth * 2);
        const double r = (i % 4 == 0 || i % 4 == 1) ? outer : inner;
        const QPointF point(c.x() + r * std::cos(angle), c.y() + r * std::sin(angle));
        if (i == 0) {
          gear.moveTo(point);
        } else {
          gear.lineTo(point);
        }
      }
      gear.closeSubpath();
      QPainterPath hole;
      hole.addEllipse(c, 7, 7);
      p.setBrush(ink);
      p.drawPath(gear.subtracted(hole));
      break;
    }
    case Symbol::Person:
      p.setBrush(ink);
      p.drawEllipse(QPointF(c.x(), 24), 9, 9);
      p.drawChord(QRectF(c.x() - 18, 36, 36, 32), 0, 180 * 16);
      break;
    case Symbol::Globe: {
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(ink, 3.5));
      const double r = 19;
      p.drawEllipse(c, r, r);
      p.drawEllipse(c, r * 0.45, r);
      p.drawLine(QPointF(c.x() - r, c.y()), QPointF(c.x() + r, c.y()));
      p.drawLine(QPointF(c.x(), c.y() - r), QPointF(c.x(), c.y() + r));
      break;
    }
    case Symbol::Sliders: {
      p.setPen(QPen(ink, 3, Qt::SolidLine, Qt::RoundCap));
      const double xs[3] = {20, 32, 44};
      const double knobs[3] = {38, 24, 33};
      for (int i = 0; i < 3; ++i) p.drawLine(QPointF(xs[i], 14), QPointF(xs[i], 50));
      p.setPen(Qt::NoPen);
      p.setBrush(ink);
      for (int i = 0; i < 3; ++i) p.drawRoundedRect(QRectF(xs[i] - 6, knobs[i] - 4, 12, 8), 3, 3);
      break;
    }
  }
}

// A drawing's box (in its own units) and how it draws itself in it.
struct Drawing {
  int box = 0;
  std::function<void(QPainter&)> draw;
};

Drawing drawingNamed(const QString& name) {
  if (name == "statusbardisconnected" || name == "Status Bar Disconnected") {
    return {22, [](QPainter& p) { drawStatusImage(p, QColor(150, 150, 150)); }};
  }
  if (name == "Status Bar Connected") {
    return {22, [](QPainter& p) { drawStatusImage(p, QColor(60, 170, 80)); }};
  }
  if (name == "hud_titlebar-close") return {13, drawCloseImage};
  const auto toolbar = [](Symbol symbol, QColor color) {
    return Drawing{kToolbarBox,
                   [symbol, color](QPainter& p) { drawToolbarImage(p, symbol, color); }};
  };
  if (name == "NSPreferencesGeneral") return toolbar(Symbol::Gear, QColor(100, 105, 115));
  if (name == "NSUserAccounts") return toolbar(Symbol::Person, QColor(60, 110, 190));
  if (name == "NSNetwork") return toolbar(Symbol::Globe, QColor(40, 150, 130));
  if (name == "NSAdvanced") return toolbar(Symbol::Sliders, QColor(120, 80, 160));
  return {};
}

QPixmap render(const Drawing& drawing, int pixels) {
  QPixmap pixmap(pixels, pixels);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(static_cast<double>(pixels) / drawing.box, static_cast<double>(pixels) / drawing.box);
  drawing.draw(p);
  return pixmap;
}

}  // namespace

QPixmap imageNamed(const QString& name) {
  const Drawing drawing = drawingNamed(name);
  return drawing.draw ? render(drawing, drawing.box) : QPixmap();
}

QPixmap imageNamed(const QString& name, int size, qreal devicePixelRatio) {
  const Drawing drawing = drawingNamed(name);
  if (!drawing.draw || size <= 0) return QPixmap();
  QPixmap pixmap = render(drawing, static_cast<int>(std::ceil(size * devicePixelRatio)));
  pixmap.setDevicePixelRatio(devicePixelRatio);
  return pixmap;
}

QIcon iconNamed(const QString& name) {
  const Drawing drawing = drawingNamed(name);
  if (!drawing.draw) return QIcon();
  // Drawn at its own size and larger, so that it stays sharp on screens
  // of any scale and in larger buttons.
  QIcon drawn;
  for (int pixels = drawing.box; pixels <= std::max(drawing.box, 256); pixels *= 2)
    drawn.addPixmap(render(drawing, pixels));
  // The preference panes follow the desktop's icon theme where it has one.
  static const QHash<QString, QString> kThemeNames = {
      {"NSPreferencesGeneral", "preferences-system"},
      {"NSUserAccounts", "system-users"},
      {"NSNetwork", "network-workgroup"},
      {"NSAdvanced", "preferences-other"},
  };
  const QString theme = kThemeNames.value(name);
  if (!theme.isEmpty() && !QIcon::themeName().isEmpty() && QIcon::hasThemeIcon(theme)) {
    return QIcon::fromTheme(theme, drawn);
  }
  return drawn;
}

}  // namespace client::ui
