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
//     connects again. Problems in a burst make one user notification
//     (at most one in 10 s); the message line shows each.
//  4. Timers: the clock ticks every 1 s in the common run-loop modes; the
//     retry runs on the main queue.
//  5. The helper's truth is followed: when the helper reports that it lost
//     the connection it had up and is restoring it, Connected becomes
//     Reconnecting (with the reason the helper logged on the message line);
//     its return brings Connected back; if it gives up instead, the dialer
//     ends in Disconnected with kConnectionGivenUpMessage and starts nothing
//     by itself. A connection that came up without all its routes, or with
//     other errors, shows kRouteErrorMessage or kSetupErrorMessage
//     (connection_failure.h) as a warning beside Connected.
//  6. A failure's message is cleared when the user connects again or changes
//     the current account or its connection type while Disconnected.
//  7. The running connection's account and type (runningAccount(),
//     runningConnectionType()) are those it was started with, until it ends,
//     whatever the user selects meanwhile.
//  8. One owner of every control's state: controls() (the table below) is
//     what each control that depends on the connection may do now; every
//     change of a row posts "DialerStatusDidChangeNotification" and reaches
//     the view through applyControls. Windows read this table and nothing
//     else (never the drivers' notifications):
//
//  status, server switch     | control      | control | change   | settings | account | shield
//                            |              | enabled | location |          | menu    | green
//  --------------------------+--------------+---------+----------+----------+---------+-------
//  Disconnected              | "Connect"    | yes     | yes      | yes      | yes     | no
//  Disconnected, switching   | "Connect"    | no      | no       | no       | no      | no
//  Connecting                | "Cancel"     | yes     | no       | no       | yes     | no
//  Connected                 | "Disconnect" | yes     | no       | no       | yes     | yes
//  Reconnecting              | "Cancel"     | yes     | no       | no       | yes     | no
//  Disconnecting             | "Connect"    | no      | no       | no       | yes     | no
//  any other, switching      | as its row, but change location, settings and account menu: no
//
//     "control": the window's connect/disconnect control (the first item of
//     the status-bar menu takes its enabled state and reads "Disconnect"
//     while connected, "Connect" otherwise). "change location": the dialer's Change
//     Location button and the server switcher's Switch button and list.
//     "settings": the connection-type radios and the OpenVPN transport
//     pop-up (Preferences > Advanced), the port list (Preferences > OpenVPN)
//     and the account list (Preferences > Accounts). "account menu": the
//     status-bar menu's "Active Account". "shield green": the status item
//     and the control show the connected image.
//     Every ending of an attempt (connected, failed, permanent failure,
//     cancelled, helper gone) lands in one of these rows, so no control
//     keeps the state of an attempt that is over.
//
// Thread safety: main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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

inline constexpr const char* kConnectionGivenUpMessage =
    "The connection to the VPN server was lost and could not be restored.";
inline constexpr const char* kConnectionLostDefaultMessage =
    "The connection to the VPN server was lost. Reconnecting.";

// One row of the controls table (see the header comment).
struct DialerControls {
  std::string controlTitle = "Connect";
  bool controlEnabled = true;
  bool changeLocationEnabled = true;
  bool settingsEnabled = true;
  bool accountMenuEnabled = true;
  bool shieldConnected = false;
  bool operator==(const DialerControls&) const = default;
};

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
  // A warning beside "Connected" (kRouteErrorMessage, kSetupErrorMessage);
  // "" hides it.
  virtual void showWarning(const std::string& text) { (void)text; }
  // The controls table's row for the status now (see the header comment).
  virtual void applyControls(const DialerControls& controls) { (void)controls; }
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
  // The account to send for a connect of `type`: by default `account` as it
  // is; the application's builds it afresh from the account's own settings
  // for that type.
  virtual BaseAccount::Ptr requestAccount(const BaseAccount::Ptr& account, std::int64_t type) {
    (void)type;
    return account;
  }
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

  // The most recently made state machine that still lives (the
  // application's dialer), or nullptr before the first login.
  static std::shared_ptr<DialerState> current();
  // The controls table's row of current(), or the Disconnected row when
  // there is none.
  static DialerControls currentControls();
  // The row for `status` with or without a server switch running.
  static DialerControls controlsFor(DialerStatus status, bool switching);
  DialerControls controls() const { return controlsFor(status_, switching_); }
  bool isSwitching() const { return switching_; }

  DialerStatus status() const { return status_; }
  void setStatus(DialerStatus status) { status_ = status; }
  const std::shared_ptr<HelperRequest>& xpcWrapper() const { return xpcWrapper_; }
  // The message of the last failure ("" when the last connect did not fail).
  const std::string& lastErrorMessage() const { return lastError_; }
  // The warning shown beside Connected ("" when none).
  const std::string& warningMessage() const { return warning_; }
  // The account and connection type the running connection was started
  // with; nullptr and -1 while nothing was sent.
  const BaseAccount::Ptr& runningAccount() const { return runningAccount_; }
  std::int64_t runningConnectionType() const { return runningType_; }
  // The user chose another current account or connection type.
  void selectionDidChange();
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
  void helperRequestDidLoseConnection() override;
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
  // Tells the view and the observers the controls table's row now.
  void publishControls();
  void setWarning(const std::string& text);
  // Ends the attempt in Disconnected with `message`, retrying nothing.
  void endWithMessage(const std::string& message);
  // A user notification of a problem, unless one was shown in the last
  // 10 s (the message line shows every problem).
  void notifyProblem(const std::string& message);
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
  std::string warning_;
  std::string lostReason_;  // the helper's reason, logged before its state
  std::optional<std::chrono::steady_clock::time_point> lastProblemNotification_;
  // The helper is restoring a connection it had up (see guarantee 5).
  bool helperReconnecting_ = false;
  bool switching_ = false;
  BaseAccount::Ptr runningAccount_;
  std::int64_t runningType_ = -1;
  std::vector<platform::NotificationCenter::ObserverToken> tokens_;
  // Asserts (in checked builds) that the main-thread-only members run on the
  // main queue.
  platform::dispatch::QueueChecker mainQueue_{platform::dispatch::Queue::main()};
};

}  // namespace client
