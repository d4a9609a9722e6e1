#include "client/ui/hud_window.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>
#include <algorithm>

#include "client/ui/images.h"

namespace client::ui {

namespace {
const QColor kBodyColor = QColor::fromRgbF(0.1f, 0.1f, 0.1f, 0.75f);
const QColor kTitleBarColor = QColor::fromRgbF(0.25f, 0.25f, 0.25f, 0.75f);
}  // namespace

HUDWindow::HUDWindow(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus) {
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);
  setWindowOpacity(1.0);
  background_ = sizedHUDBackground();
  addCloseWidget();
}

void HUDWindow::addCloseWidget() {
  if (closeButton_ != nullptr) return;
  closeButton_ = new QPushButton(this);
  closeButton_->setObjectName("closeButton");
  closeButton_->setFlat(true);
  closeButton_->setFocusPolicy(Qt::NoFocus);
  closeButton_->setText(QString());
  closeButton_->setIcon(iconNamed("hud_titlebar-close"));
  closeButton_->setIconSize(QSize(13, 13));
  closeButton_->setStyleSheet("QPushButton { border: none; padding: 0; background: transparent; }");
  closeButton_->setGeometry(3, 3, 13, 13);
  connect(closeButton_, &QPushButton::clicked, this, &QWidget::hide);
}

QImage HUDWindow::sizedHUDBackground() const {
  const int w = std::max(1, width());
  const int h = std::max(1, height());
  QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const int r = kCornerRadius;
  const int bar = std::min(kTitleBarHeight, h);

  // Body: square top corners, rounded bottom corners.
  QPainterPath body;
  body.moveTo(0, bar);
  body.lineTo(w, bar);
  body.lineTo(w, h - r);
  body.arcTo(QRectF(w - 2 * r, h - 2 * r, 2 * r, 2 * r), 0, -90);
  body.lineTo(r, h);
  body.arcTo(QRectF(0, h - 2 * r, 2 * r, 2 * r), 270, -90);
  body.closeSubpath();
  p.fillPath(body, kBodyColor);

  // Title bar: rounded top corners.
  QPainterPath titleBar;
  titleBar.moveTo(0, bar);
  titleBar.lineTo(0, r);
  titleBar.arcTo(QRectF(0, 0, 2 * r, 2 * r), 180, -90);
  titleBar.lineTo(w - r, 0);
  titleBar.arcTo(QRectF(w - 2 * r, 0, 2 * r, 2 * r), 90, -90);
  titleBar.lineTo(w, bar);
  titleBar.closeSubpath();
  p.fillPath(titleBar, kTitleBarColor);

  // Title: white, small system font, centred, elided at its end.
  QFont font = this->font();
  font.setPointSizeF(std::max(6.0, font.pointSizeF() * 0.85));
  p.setFont(font);
  p.setPen(Qt::white);
  QFontMetrics metrics(font);
  const int titleHeight = metrics.height();
  const int inset = (kTitleBarHeight - titleHeight) / 2;
  QRect titleRect(kTitleBarHeight, inset, w - 2 * kTitleBarHeight, kTitleBarHeight - 2 * inset);
  if (titleRect.width() > 0) {
    QString text = metrics.elidedText(windowTitle(), Qt::ElideRight, titleRect.width());
    p.drawText(titleRect, Qt::AlignCenter, text);
  }
  return image;
}

void HUDWindow::windowDidResize() {
  background_ = sizedHUDBackground();
  if (forceDisplay_) {
    repaint();
  } else {
    update();
  }
}

void HUDWindow::setFrame(const QRect& frame, bool display, bool animate) {
  (void)display;
  (void)animate;
  forceDisplay_ = true;
  setGeometry(frame);
  // Hidden windows get their resize event when shown; draw for the new size now.
  if (background_.size() != size()) windowDidResize();
  forceDisplay_ = false;
}

void HUDWindow::setTitle(const QString& title) {
  setWindowTitle(title);
  windowDidResize();
}

void HUDWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  windowDidResize();
}

void HUDWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
    event->accept();
    return;
  }
  QWidget::mousePressEvent(event);
}

void HUDWindow::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() & Qt::LeftButton) {
    move(event->globalPosition().toPoint() - dragOffset_);
    event->accept();
    return;
  }
  QWidget::mouseMoveEvent(event);
}

void HUDWindow::paintEvent(QPaintEvent* event) {
  (void)event;
  QPainter p(this);
  p.setCompositionMode(QPainter::CompositionMode_Source);
  p.drawImage(0, 0, background_);
}

}  // namespace client::ui
