#include "client/ui/preference_pane.h"

#include "client/core/connection_state.h"
#include "platform/system/notification_center.h"

namespace client::ui {

void observeDialerControls(const void* observer,
                           std::function<void(const DialerControls& controls)> apply) {
  if (!apply) return;
  apply(DialerState::currentControls());
  platform::NotificationCenter::defaultCenter().addObserver(
      observer,
      [apply](const platform::Notification& n) {
        auto state = n.objectAs<DialerState>();
        apply(state ? state->controls() : DialerState::currentControls());
      },
      kDialerStatusDidChangeNotification, nullptr);
}

void observeConnectionActivity(const void* observer, std::function<void()> busy,
                               std::function<void()> idle) {
  observeDialerControls(
      observer, [busy = std::move(busy), idle = std::move(idle)](const DialerControls& controls) {
        if (controls.settingsEnabled) {
          if (idle) idle();
        } else if (busy) {
          busy();
        }
      });
}

}  // namespace client::ui
