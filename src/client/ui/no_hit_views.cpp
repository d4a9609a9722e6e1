#include "client/ui/no_hit_views.h"

namespace client::ui {

VRNoHitTextField::VRNoHitTextField(QWidget* parent) : QLabel(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

VRNoHitButton::VRNoHitButton(QWidget* parent) : QPushButton(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

}  // namespace client::ui
