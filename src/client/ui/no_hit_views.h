// VRNoHitTextField and VRNoHitButton: views that take no mouse clicks, so
// clicks reach the views beneath them.
//
// Thread safety: main thread only.
#pragma once

#include <QLabel>
#include <QPushButton>

namespace client::ui {

class VRNoHitTextField : public QLabel {
  Q_OBJECT
 public:
  explicit VRNoHitTextField(QWidget* parent = nullptr);
};

class VRNoHitButton : public QPushButton {
  Q_OBJECT
 public:
  explicit VRNoHitButton(QWidget* parent = nullptr);
};

}  // namespace client::ui
