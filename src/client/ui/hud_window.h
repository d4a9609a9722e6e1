// HUDWindow: a borderless, translucent dark panel with a drawn title bar,
// rounded corners and its own small close button. Its whole background,
// title included, is one image, redrawn whenever its size or title changes.
//
// Guarantees:
//  1. The panel never takes keyboard focus (it never becomes the active
//     window), and its close button hides it without closing it.
//  2. backgroundImage() always has the panel's current size and shows its
//     current title, centred in the 19-point title bar and elided when long.
//
// Thread safety: main thread only.
#pragma once

#include <QImage>
#include <QPushButton>
#include <QWidget>

namespace client::ui {

class HUDWindow : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kTitleBarHeight = 19;
  static constexpr int kCornerRadius = 6;

  explicit HUDWindow(QWidget* parent = nullptr);

  // The drawn background (sizedHUDBackground).
  const QImage& backgroundImage() const { return background_; }
  QImage sizedHUDBackground() const;
  QPushButton* closeButton() const { return closeButton_; }
  bool forceDisplay() const { return forceDisplay_; }
  // Changes the frame; the background is redrawn and repainted at once.
  void setFrame(const QRect& frame, bool display, bool animate);
  void setTitle(const QString& title);
  QString title() const { return windowTitle(); }
  bool canBecomeKeyWindow() const { return false; }
  void addCloseWidget();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  // Dragging the background moves the panel.
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void windowDidResize();

  QImage background_;
  QPushButton* closeButton_ = nullptr;
  bool forceDisplay_ = false;
  QPoint dragOffset_;
};

}  // namespace client::ui
