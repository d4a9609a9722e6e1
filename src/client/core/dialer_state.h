// DialerState: the dialer's connection state machine, free of widgets. It
// keeps the status (Disconnected, Connecting, Connected, Reconnecting,
// Disconnecting; connection_state.h), starts a connect through a helper
// request object, reacts to "VPNConnectNotification" and
// "VPNDisconnectNotification", retries a connect that fails (2 s later),
// reconnects a connection that drops (at once), runs the connected-time
// clock, asks for the visible IP address, tells the user through user
// notifications and logs each change. The dialer window draws it through
// DialerView and learns of every change from
// "DialerStatusDidChangeNotification".
//
// Guarantees:
//  1. `changeState` is the one place where the status changes; every change
//     is logged as "Changing status to: %ld" and posted.
//  2. A cancel (the control pressed in Connecting, Connected or Reconnecting)
//     withdraws a retry that is waiting its 2 s, also before the first
//     request was sent; a cancel with nothing sent yet ends in Disconnected
//     at once.
//  3. A failure that the request object reports (helper unreachable, not
//     answering, request or password refused, a missing component) ends in
//     Disconnected with the message shown (lastErrorMessage, the window's
//     message line, a user notification); nothing retries it. A problem
//     that does not end the attempt (server unreachable for now) is shown
//     the same way, once per distinct message, while the retrying goes on;
//     the message line clears when the connection comes up or the user
//     connects again.
//  4. Timers: the clock ticks every 1 s in the common run-loop modes; the
//     retry runs on the main queue.
//
// Thread safety: main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/core/base_account.h"
#include "client/core/connection_state.h"
#include "client/core/helper_request.h"
#include "platform/dispatch/queue_checker.h"
#include "platform/dispatch/time_source.h"
#include "platform/foundation/value.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/notification_center.h"

namespace client {

inline constexpr const char* kShowNotificationsDefaultsKey = "ShowNotifications";
inline constexpr const char* kUserNotificationTitle = "VarnelVPN";

// What the window shows. Every method has a no-op default.
class DialerView {
 public:
  virtual ~DialerView() = default;
  // `animation`: seconds of the fade (0 sets the text at once).
  virtual void setStatusText(const std::string& text, double animation) {
    (void)text, (void)animation;
  }
  virtual void showConnectControl() {}
  // The disconnect control with its label ("Cancel" or "Disconnect").
  virtual void showDisconnectControl(const std::string& label) { (void)label; }
  virtual void setConnectedTimeText(const std::string& text) { (void)text; }
  virtual void setIPAddressText(const std::string& ip, double animation) {
    (void)ip, (void)animation;
  }
  virtual void setConnectButtonEnabled(bool enabled) { (void)enabled; }
  virtual void setChangeLocationButtonEnabled(bool enabled) { (void)enabled; }
  // The status-bar menu follows the status.
  virtual void updateMenu() {}
  // The message line under the status: why the last attempt failed or is
  // struggling ("" hides it).
  virtual void showMessage(const std::string& text) { (void)text; }
  // One system user notification.
  virtual void presentUserNotification(const std::string& title, const std::string& text) {
    (void)title, (void)text;
  }
};

// What the state machine needs of the account manager and the API client.
class DialerServices {
 public:
  virtual ~DialerServices() = default;
  // Calls back on the main queue once the API client's requests finished.
  virtual void waitForOperations(std::function<void()> completion) = 0;
  virtual BaseAccount::Ptr currentAccount() = 0;
  virtual std::int64_t connectionType() = 0;
  // Asks the account service for the visible IP address; the reply holds "ip".
  virtual void pollWithCompletionHandler(std::function<void(const platform::Value& reply)>) = 0;
  virtual void clearKeepaliveToken() = 0;
};

class VRAccountManager;

// The application's services: the account manager and its API client.
std::shared_ptr<DialerServices> makeDialerServices(std::shared_ptr<VRAccountManager> manager);

class DialerState : public HelperRequestDelegate, public std::enable_shared_from_this<DialerState> {
 public:
  // Observes the VPN and account-switch notifications. `factory` makes the
  // request object of each connect (an XPCWrapper when empty). The clock
  // tick, the connected time and the retry delay follow `clock` (none: the
  // steady clock).
  static std::shared_ptr<DialerState> create(std::shared_ptr<DialerServices> services,
                                             std::weak_ptr<DialerView> view,
                                             HelperRequestFactory factory = nullptr,
                                             platform::dispatch::TimeSourcePtr clock = nullptr);
  ~DialerState() override;

  DialerStatus status() const { return status_; }
  void setStatus(DialerStatus status) { status_ = status; }
  const std::shared_ptr<HelperRequest>& xpcWrapper() const { return xpcWrapper_; }
  // The message of the last failure ("" when the last connect did not fail).
  const std::string& lastErrorMessage() const { return lastError_; }
  // Seconds the connection has been up; 0 while not connected.
  std::int64_t connectedSeconds() const;

  // The one place where the status changes (see the header comment).
  void changeState(DialerStatus status);
  // The window's connect/disconnect control and the menu's first item.
  void clickControlButton();
  void connectEvent();
  void disconnectEvent();
  void switchWillStart();
  void switchDidStop();
  // The clock tick.
  void updateConnectedTime();
  // The localized text of a key (empty or "": the key itself).
  using Localizer = std::function<std::string(const std::string&)>;
  // "1 Days 2:05" style text of `seconds`, its words through `localize`.
  static std::string connectTimeString(std::int64_t seconds, const Localizer& localize = nullptr);
  // Shows one user notification when "ShowNotifications" is on.
  void displayNotification(const std::string& text);

  void helperRequestDidFail(const std::string& message) override;
  void helperRequestDidReportProblem(const std::string& message) override;
  // The problem last shown while the attempt went on ("" when none).
  const std::string& lastProblemMessage() const { return lastProblem_; }

 private:
  DialerState(std::shared_ptr<DialerServices> services, std::weak_ptr<DialerView> view,
              HelperRequestFactory factory, platform::dispatch::TimeSourcePtr clock);
  void observe();
  void showDisconnected();
  void refreshIPAddress();
  void stopClock();
  void startRequest();
  template <class F>
  void withView(F f) {
    if (auto v = view_.lock()) f(*v);
  }

  std::shared_ptr<DialerServices> services_;
  std::weak_ptr<DialerView> view_;
  HelperRequestFactory factory_;
  DialerStatus status_ = DialerStatus::Disconnected;
  std::shared_ptr<HelperRequest> xpcWrapper_;
  std::shared_ptr<platform::runloop::Timer> connectionTimer_;
  const platform::dispatch::TimeSourcePtr clock_;
  std::optional<std::chrono::steady_clock::time_point> connectionStartDate_;
  std::uint64_t attempt_ = 0;  // bumped by every cancel and failure: stale retries stop
  std::string lastError_;
  std::string lastProblem_;
  std::vector<platform::NotificationCenter::ObserverToken> tokens_;
  // Asserts (in checked builds) that the main-thread-only members run on the
  // main queue.
  platform::dispatch::QueueChecker mainQueue_{platform::dispatch::Queue::main()};
};

}  // namespace client
