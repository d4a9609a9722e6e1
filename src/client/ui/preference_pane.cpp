#include "client/ui/preference_pane.h"

#include "client/core/account_manager.h"
#include "client/core/connection_state.h"
#include "platform/system/notification_center.h"

namespace client::ui {

void observeConnectionActivity(const void* observer, std::function<void()> busy,
                               std::function<void()> idle) {
  auto& center = platform::NotificationCenter::defaultCenter();
  auto onBusy = [busy = std::move(busy)](const platform::Notification&) { busy(); };
  auto onIdle = [idle = std::move(idle)](const platform::Notification&) { idle(); };
  center.addObserver(observer, onBusy, kVPNWillConnectNotification, nullptr);
  center.addObserver(observer, onIdle, kVPNDisconnectNotification, nullptr);
  center.addObserver(observer, onBusy, kSwitchWillStartNotification, nullptr);
  center.addObserver(observer, onIdle, kSwitchDidStopNotification, nullptr);
}

}  // namespace client::ui
