#include "client/ui/vr_menu_item.h"

namespace client::ui {

VRMenuItem::VRMenuItem(const QString& title, QObject* parent) : QAction(title, parent) {}

}  // namespace client::ui
