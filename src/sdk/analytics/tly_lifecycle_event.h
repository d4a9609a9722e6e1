// TLYLifecycleEvent: an application lifecycle event, written under its
// lifecycle name with the payload {"eventId"}.
//
// Names: "app_installed" (installEvent), "app_launched" (appLaunchedEvent),
// and from the application notifications: "app_became_active"
// (NSApplicationDidBecomeActiveNotification), "app_became_inactive"
// (NSApplicationWillResignActiveNotification), "app_terminated"
// (NSApplicationWillTerminateNotification); any other notification gives
// "unknown-notification". Installation, activation and deactivation events
// trigger a flush of the event log; the others do not.
//
// Thread safety: as TLYEvent.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/system/notification_center.h"
#include "sdk/analytics/tly_event.h"

namespace sdk {

inline constexpr const char* kTLYAppInstalledEventName = "app_installed";
inline constexpr const char* kTLYAppLaunchedEventName = "app_launched";
inline constexpr const char* kTLYAppBecameActiveEventName = "app_became_active";
inline constexpr const char* kTLYAppBecameInactiveEventName = "app_became_inactive";
inline constexpr const char* kTLYAppTerminatedEventName = "app_terminated";
inline constexpr const char* kTLYUnknownNotificationEventName = "unknown-notification";

class TLYLifecycleEvent : public TLYEvent {
 public:
  using Ptr = std::shared_ptr<TLYLifecycleEvent>;

  explicit TLYLifecycleEvent(std::string name);
  static Ptr initWithName(std::string name) {
    return std::make_shared<TLYLifecycleEvent>(std::move(name));
  }
  static Ptr initWithNotification(const platform::Notification& notification);
  static Ptr eventWithNotification(const platform::Notification& notification) {
    return initWithNotification(notification);
  }
  static Ptr installEvent();
  static Ptr appLaunchedEvent();

  // Notification name -> event name, the three application notifications.
  static const std::vector<std::pair<std::string, std::string>>& notificationNameMap();
  // The mapped name, or "unknown-notification".
  static std::string nameFromNotification(const platform::Notification& notification);
  static std::string nameFromNotificationName(std::string_view notificationName);

  std::string name() const override { return name_; }
  platform::Value dictionaryRepresentation() const override;
  bool triggersFlush() const override;
  std::string className() const override { return "TLYLifecycleEvent"; }

 private:
  const std::string name_;
};

}  // namespace sdk
