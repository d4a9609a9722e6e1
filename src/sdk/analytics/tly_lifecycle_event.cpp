#include "sdk/analytics/tly_lifecycle_event.h"

#include "sdk/analytics/tly_tally_controller.h"

namespace sdk {

TLYLifecycleEvent::TLYLifecycleEvent(std::string name) : name_(std::move(name)) {}

TLYLifecycleEvent::Ptr TLYLifecycleEvent::initWithNotification(
    const platform::Notification& notification) {
  return std::make_shared<TLYLifecycleEvent>(nameFromNotification(notification));
}

TLYLifecycleEvent::Ptr TLYLifecycleEvent::installEvent() {
  return std::make_shared<TLYLifecycleEvent>(kTLYAppInstalledEventName);
}

TLYLifecycleEvent::Ptr TLYLifecycleEvent::appLaunchedEvent() {
  return std::make_shared<TLYLifecycleEvent>(kTLYAppLaunchedEventName);
}

const std::vector<std::pair<std::string, std::string>>& TLYLifecycleEvent::notificationNameMap() {
  static const std::vector<std::pair<std::string, std::string>> map = {
      {kNSApplicationDidBecomeActiveNotification, kTLYAppBecameActiveEventName},
      {kNSApplicationWillResignActiveNotification, kTLYAppBecameInactiveEventName},
      {kNSApplicationWillTerminateNotification, kTLYAppTerminatedEventName},
  };
  return map;
}

std::string TLYLifecycleEvent::nameFromNotificationName(std::string_view notificationName) {
  for (const auto& [notification, event] : notificationNameMap()) {
    if (notification == notificationName) return event;
  }
  return kTLYUnknownNotificationEventName;
}

std::string TLYLifecycleEvent::nameFromNotification(const platform::Notification& notification) {
  return nameFromNotificationName(notification.name);
}

platform::Value TLYLifecycleEvent::dictionaryRepresentation() const {
  return platform::Value::dictionary({{kTLYEventIdKey, platform::Value(identifier())}});
}

bool TLYLifecycleEvent::triggersFlush() const {
  return name_ == kTLYAppInstalledEventName || name_ == kTLYAppBecameActiveEventName ||
         name_ == kTLYAppBecameInactiveEventName;
}

}  // namespace sdk
