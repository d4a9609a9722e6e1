#include "client/ui/link_text_fields.h"

#include <QCursor>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPalette>
#include <QShowEvent>

#include "client/ui/srgb_color.h"

namespace client::ui {

MoreInfoText::MoreInfoText(QWidget* parent) : QLabel(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(true);
}

void MoreInfoText::enterEvent(QEnterEvent* event) {
  mouseInside_ = true;
  mouseEntered();
  QLabel::enterEvent(event);
}

void MoreInfoText::leaveEvent(QEvent* event) {
  mouseInside_ = false;
  mouseExited();
  QLabel::leaveEvent(event);
}

void MoreInfoText::mousePressEvent(QMouseEvent* event) {
  event->accept();
  emit clicked();
}

void MoreInfoText::showEvent(QShowEvent* event) {
  QLabel::showEvent(event);
  // Placed under the mouse: count as entered and take the focus.
  if (underMouse()) {
    mouseInside_ = true;
    mouseEntered();
    setFocus(Qt::MouseFocusReason);
  }
}

void MoreInfoText::mouseEntered() { setCursor(Qt::PointingHandCursor); }
void MoreInfoText::mouseExited() { setCursor(Qt::ArrowCursor); }

NSTextMouseoverView::NSTextMouseoverView(QWidget* parent) : MoreInfoText(parent) {}

QColor NSTextMouseoverView::hoverColor() { return colorWithSRGB(0.882, 0.863, 0.38, 1); }
QColor NSTextMouseoverView::normalColor() { return colorWithSRGB(0.733, 0.824, 0.922, 1); }

QColor NSTextMouseoverView::textColor() const { return palette().color(QPalette::WindowText); }

void NSTextMouseoverView::setTextColor(const QColor& color) {
  QPalette p = palette();
  p.setColor(QPalette::WindowText, color);
  setPalette(p);
}

void NSTextMouseoverView::setLinkColors(const QColor& normal, const QColor& hover) {
  normal_ = normal;
  hover_ = hover;
  setTextColor(mouseInside() ? hover_ : normal_);
}

void NSTextMouseoverView::mouseEntered() {
  MoreInfoText::mouseEntered();
  setTextColor(hover_);
}

void NSTextMouseoverView::mouseExited() {
  MoreInfoText::mouseExited();
  setTextColor(normal_);
}

}  // namespace client::ui
