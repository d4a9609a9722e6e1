#include "client/ui/window_placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace client::ui {

void centreOnParent(QWidget* window, QWidget* parent) {
  if (window == nullptr) return;
  QWidget* owner = parent != nullptr ? parent->window() : nullptr;
  if (owner == window) owner = nullptr;
  QScreen* screen = nullptr;
  QPoint centre;
  if (owner != nullptr && owner->isVisible()) {
    centre = owner->frameGeometry().center();
    screen = owner->screen();
  } else {
    screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    centre = screen->availableGeometry().center();
  }
  window->ensurePolished();
  QSize size = window->size();
  if (!window->testAttribute(Qt::WA_Resized)) size = size.expandedTo(window->sizeHint());
  QPoint topLeft(centre.x() - size.width() / 2, centre.y() - size.height() / 2);
  if (screen != nullptr) {
    const QRect area = screen->availableGeometry();
    topLeft.setX(
        std::clamp(topLeft.x(), area.left(), std::max(area.left(), area.right() - size.width())));
    topLeft.setY(
        std::clamp(topLeft.y(), area.top(), std::max(area.top(), area.bottom() - size.height())));
  }
  window->move(topLeft);
}

}  // namespace client::ui
