// Link-like text fields: a hand cursor while the mouse is over them, their
// action (the `clicked` signal) on a mouse press, and keyboard focus taken
// when they appear under the mouse. NSTextMouseoverView also changes its
// text colour while hovered.
//
// Thread safety: main thread only.
#pragma once

#include <QColor>
#include <QLabel>

namespace client::ui {

class MoreInfoText : public QLabel {
  Q_OBJECT
 public:
  explicit MoreInfoText(QWidget* parent = nullptr);
  // True while the mouse is inside the field's tracking area.
  bool mouseInside() const { return mouseInside_; }

 signals:
  void clicked();

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  virtual void mouseEntered();
  virtual void mouseExited();

 private:
  bool mouseInside_ = false;
};

class NSTextMouseoverView : public MoreInfoText {
  Q_OBJECT
 public:
  explicit NSTextMouseoverView(QWidget* parent = nullptr);
  static QColor hoverColor();   // sRGB (0.882, 0.863, 0.38)
  static QColor normalColor();  // sRGB (0.733, 0.824, 0.922)
  QColor textColor() const;
  // The colours used out of and under the mouse (normalColor and
  // hoverColor unless set); the text takes the normal one at once.
  void setLinkColors(const QColor& normal, const QColor& hover);

 protected:
  void mouseEntered() override;
  void mouseExited() override;

 private:
  void setTextColor(const QColor& color);
  QColor normal_ = normalColor();
  QColor hover_ = hoverColor();
};

}  // namespace client::ui
