#include "client/core/dialer_state.h"

#include "client/Singletons/varnel_log.h"
#include "client/core/account_manager.h"
#include "client/core/connection_failure.h"
#include "client/core/xpc_wrapper.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/format.h"
#include "platform/system/user_defaults.h"

namespace client {

namespace {

using platform::runloop::RunLoop;
using platform::runloop::Timer;

constexpr double kRetryDelay = 2.0;
// Problems that come in a burst (a lost connection after a resume brings
// several at once) make one user notification; the message line shows each.
constexpr auto kProblemNotificationInterval = std::chrono::seconds(10);

std::string localized(const std::string& key, const DialerState::Localizer& localize) {
  std::string value = localize ? localize(key) : std::string();
  return value.empty() ? key : value;
}

void post(const char* name) { platform::NotificationCenter::defaultCenter().post(name); }

std::weak_ptr<DialerState>& currentSlot() {
  static std::weak_ptr<DialerState> slot;
  return slot;
}

class AccountManagerServices : public DialerServices {
 public:
  explicit AccountManagerServices(std::shared_ptr<VRAccountManager> manager)
      : manager_(std::move(manager)) {}
  void waitForOperations(std::function<void()> completion) override {
    manager_->client()->waitForOperations(std::move(completion));
  }
  BaseAccount::Ptr currentAccount() override { return manager_->currentAccount(); }
  std::int64_t connectionType() override { return manager_->connectionType(); }
  void pollWithCompletionHandler(std::function<void(const platform::Value&)> completion) override {
    manager_->pollWithCompletionHandler(std::move(completion));
  }
  void clearKeepaliveToken() override { manager_->client()->clearKeepaliveToken(); }
  BaseAccount::Ptr requestAccount(const BaseAccount::Ptr& account, std::int64_t type) override {
    return manager_->accountForConnection(account, static_cast<int>(type));
  }

 private:
  std::shared_ptr<VRAccountManager> manager_;
};

}  // namespace

std::shared_ptr<DialerServices> makeDialerServices(std::shared_ptr<VRAccountManager> manager) {
  return std::make_shared<AccountManagerServices>(std::move(manager));
}

std::shared_ptr<DialerState> DialerState::create(std::shared_ptr<DialerServices> services,
                                                 std::weak_ptr<DialerView> view,
                                                 HelperRequestFactory factory,
                                                 platform::dispatch::TimeSourcePtr clock) {
  std::shared_ptr<DialerState> state(
      new DialerState(std::move(services), std::move(view), std::move(factory), std::move(clock)));
  state->observe();
  currentSlot() = state;
  return state;
}

std::shared_ptr<DialerState> DialerState::current() { return currentSlot().lock(); }

DialerControls DialerState::currentControls() {
  if (auto state = current()) return state->controls();
  return controlsFor(DialerStatus::Disconnected, false);
}

DialerControls DialerState::controlsFor(DialerStatus status, bool switching) {
  DialerControls c;
  switch (status) {
    case DialerStatus::Disconnected:
      break;
    case DialerStatus::Connecting:
    case DialerStatus::Reconnecting:
      c.controlTitle = "Cancel";
      c.changeLocationEnabled = false;
      c.settingsEnabled = false;
      break;
    case DialerStatus::Connected:
      c.controlTitle = "Disconnect";
      c.changeLocationEnabled = false;
      c.settingsEnabled = false;
      c.shieldConnected = true;
      break;
    case DialerStatus::Disconnecting:
      c.controlEnabled = false;
      c.changeLocationEnabled = false;
      c.settingsEnabled = false;
      break;
  }
  if (switching) {
    // A switch replaces the account's settings: nothing may start or change
    // them meanwhile; a running connection can still be stopped.
    if (status == DialerStatus::Disconnected) c.controlEnabled = false;
    c.changeLocationEnabled = false;
    c.settingsEnabled = false;
    c.accountMenuEnabled = false;
  }
  return c;
}

DialerState::DialerState(std::shared_ptr<DialerServices> services, std::weak_ptr<DialerView> view,
                         HelperRequestFactory factory, platform::dispatch::TimeSourcePtr clock)
    : services_(std::move(services)),
      view_(std::move(view)),
      factory_(std::move(factory)),
      clock_(std::move(clock)) {
  if (!factory_) {
    factory_ = [](std::weak_ptr<HelperRequestDelegate> delegate) {
      return std::shared_ptr<HelperRequest>(XPCWrapper::initWithController(std::move(delegate)));
    };
  }
}

DialerState::~DialerState() {
  for (const auto& token : tokens_)
    platform::NotificationCenter::defaultCenter().removeObserver(token);
  if (connectionTimer_) connectionTimer_->invalidate();
}

void DialerState::observe() {
  std::weak_ptr<DialerState> weak = weak_from_this();
  auto add = [&](const char* name, void (DialerState::*method)()) {
    tokens_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
        name, nullptr, nullptr, [weak, method](const platform::Notification&) {
          if (auto self = weak.lock()) ((*self).*method)();
        }));
  };
  add(kVPNConnectNotification, &DialerState::connectEvent);
  add(kVPNDisconnectNotification, &DialerState::disconnectEvent);
  add(kSwitchWillStartNotification, &DialerState::switchWillStart);
  add(kSwitchDidStopNotification, &DialerState::switchDidStop);
  add(kCurrentAccountDidChangeNotification, &DialerState::selectionDidChange);
  add(kConnectionTypeDidChangeNotification, &DialerState::selectionDidChange);
}

std::int64_t DialerState::connectedSeconds() const {
  if (!connectionStartDate_) return 0;
  return std::chrono::duration_cast<std::chrono::seconds>(platform::dispatch::nowOf(clock_) -
                                                          *connectionStartDate_)
      .count();
}

void DialerState::changeState(DialerStatus n) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  VarnelLog::sharedInstance().AddToLog(
      platform::format("Changing status to: %ld", static_cast<long>(n)));
  switch (n) {
    case DialerStatus::Disconnected:
      withView([](DialerView& v) { v.showConnectControl(); });
      if (status_ == DialerStatus::Connecting) {
        // A connect failed: try again in 2 s, unless the user cancels first.
        displayNotification("An error occurred trying to connect to the VPN server. Trying again.");
        std::weak_ptr<DialerState> weak = weak_from_this();
        const std::uint64_t attempt = attempt_;
        platform::dispatch::Queue::main()->after(
            platform::dispatch::seconds(kRetryDelay),
            [weak, attempt] {
              auto self = weak.lock();
              if (!self || self->attempt_ != attempt || self->status_ != DialerStatus::Reconnecting)
                return;
              post(kVPNWillConnectNotification);
              if (self->xpcWrapper_) self->xpcWrapper_->Start();
            },
            clock_);
        changeState(DialerStatus::Reconnecting);
        return;
      }
      if (status_ == DialerStatus::Connected || status_ == DialerStatus::Reconnecting) {
        displayNotification(
            "The connection to the VPN server has been disconnected unexpectedly. Reconnecting "
            "now.");
        post(kVPNWillConnectNotification);
        if (xpcWrapper_) xpcWrapper_->Start();
        changeState(DialerStatus::Reconnecting);
        return;
      }
      helperReconnecting_ = false;
      lostReason_.clear();
      runningAccount_.reset();
      runningType_ = -1;
      setWarning("");
      showDisconnected();
      break;
    case DialerStatus::Connecting:
      withView([](DialerView& v) {
        v.setStatusText("Connecting", 0);
        v.showDisconnectControl("Cancel");
        v.setConnectedTimeText("Connecting");
      });
      break;
    case DialerStatus::Disconnecting:
      helperReconnecting_ = false;
      lostReason_.clear();
      setWarning("");
      withView([](DialerView& v) {
        v.setStatusText("Disconnecting", 0.5);
        v.showConnectControl();
      });
      break;
    case DialerStatus::Connected: {
      lastProblem_.clear();
      helperReconnecting_ = false;
      withView([&](DialerView& v) {
        v.showMessage("");
        v.showWarning(warning_);
      });
      connectionStartDate_ = platform::dispatch::nowOf(clock_);
      if (connectionTimer_) connectionTimer_->invalidate();
      std::weak_ptr<DialerState> weak = weak_from_this();
      connectionTimer_ = Timer::create(
          1.0, true,
          [weak](Timer&) {
            if (auto self = weak.lock()) self->updateConnectedTime();
          },
          clock_);
      RunLoop::main().addTimer(connectionTimer_, platform::runloop::kCommonModes);
      services_->clearKeepaliveToken();
      withView([](DialerView& v) {
        v.setStatusText("Connected", 0);
        v.showDisconnectControl("Disconnect");
      });
      refreshIPAddress();
      BaseAccount::Ptr account = services_->currentAccount();
      platform::Value city = account ? account->city() : platform::Value();
      platform::Value country = account ? account->country() : platform::Value();
      displayNotification(platform::format("You have been connected to %@, %@.", city, country));
      break;
    }
    case DialerStatus::Reconnecting:
      // A warning about the connection that was up no longer holds, nor
      // does the address it showed.
      setWarning("");
      withView([](DialerView& v) {
        v.setIPAddressText("", 0);
        v.setStatusText("Reconnecting", 0.5);
        v.showDisconnectControl("Cancel");
      });
      break;
  }
  status_ = n;
  publishControls();
}

void DialerState::publishControls() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  const DialerControls row = controls();
  withView([&](DialerView& v) {
    v.applyControls(row);
    v.updateMenu();
  });
  platform::NotificationCenter::defaultCenter().post(kDialerStatusDidChangeNotification,
                                                     shared_from_this());
}

void DialerState::setWarning(const std::string& text) {
  if (warning_ == text) return;
  warning_ = text;
  withView([&](DialerView& v) { v.showWarning(text); });
}

void DialerState::selectionDidChange() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  // The failure was about the selection the user has just left.
  if (status_ != DialerStatus::Disconnected) return;
  if (lastError_.empty() && lastProblem_.empty()) return;
  lastError_.clear();
  lastProblem_.clear();
  withView([](DialerView& v) { v.showMessage(""); });
}

void DialerState::showDisconnected() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  withView([](DialerView& v) { v.setStatusText("Disconnected", 0.5); });
  refreshIPAddress();
}

void DialerState::refreshIPAddress() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  std::weak_ptr<DialerView> view = view_;
  services_->pollWithCompletionHandler([view](const platform::Value& reply) {
    platform::Value ip = reply["ip"];
    if (!ip.isString()) return;
    VarnelLog::sharedInstance().AddToLog(platform::format("Visible IP address: %@", ip));
    if (auto v = view.lock()) v->setIPAddressText(ip.asString(), 0.25);
  });
}

void DialerState::clickControlButton() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  switch (status_) {
    case DialerStatus::Disconnected: {
      // Nothing may start while a server switch replaces the settings.
      if (switching_) return;
      lastError_.clear();
      lastProblem_.clear();
      setWarning("");
      withView([](DialerView& v) { v.showMessage(""); });
      xpcWrapper_.reset();
      changeState(DialerStatus::Connecting);
      std::weak_ptr<DialerState> weak = weak_from_this();
      const std::uint64_t attempt = attempt_;
      services_->waitForOperations([weak, attempt] {
        auto self = weak.lock();
        if (!self) return;
        // Cancelled while the API client finished its requests: send nothing.
        if (self->attempt_ != attempt || self->status_ != DialerStatus::Connecting) return;
        self->startRequest();
      });
      break;
    }
    case DialerStatus::Connected:
    case DialerStatus::Connecting:
    case DialerStatus::Reconnecting:
      ++attempt_;  // withdraws a waiting retry
      // "Trying again" no longer holds once the user stops.
      lastProblem_.clear();
      withView([](DialerView& v) { v.showMessage(""); });
      changeState(DialerStatus::Disconnecting);
      if (xpcWrapper_ && xpcWrapper_->hasConnection()) {
        xpcWrapper_->Disconnect();
      } else {
        // Nothing was sent yet: there is nothing to tear down.
        changeState(DialerStatus::Disconnected);
      }
      break;
    case DialerStatus::Disconnecting:
      break;
  }
}

void DialerState::startRequest() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  const std::int64_t type = services_->connectionType();
  // Built afresh for this connect from the account, its server and the
  // type: nothing an earlier type or server left behind reaches it.
  BaseAccount::Ptr account = services_->requestAccount(services_->currentAccount(), type);
  runningAccount_ = services_->currentAccount();
  runningType_ = type;
  xpcWrapper_ = factory_(weak_from_this());
  post(kVPNWillConnectNotification);
  xpcWrapper_->SetAccount(account, type);
  xpcWrapper_->Start();
}

void DialerState::connectEvent() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  // A connection that comes up after the user cancelled is being torn down.
  if (status_ == DialerStatus::Disconnecting || status_ == DialerStatus::Disconnected) return;
  changeState(DialerStatus::Connected);
}

void DialerState::disconnectEvent() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (helperReconnecting_ && status_ == DialerStatus::Reconnecting) {
    // The helper tried to restore the connection and gave up: say so, and do
    // not start a loop of our own over its decision.
    endWithMessage(kConnectionGivenUpMessage);
    return;
  }
  changeState(DialerStatus::Disconnected);
}

void DialerState::switchWillStart() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  switching_ = true;
  publishControls();
}

void DialerState::switchDidStop() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  switching_ = false;
  changeState(DialerStatus::Disconnected);
}

void DialerState::helperRequestDidFail(const std::string& message) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (status_ == DialerStatus::Disconnected) return;
  endWithMessage(message);
}

void DialerState::endWithMessage(const std::string& message) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  ++attempt_;
  helperReconnecting_ = false;
  lastError_ = message;
  VarnelLog::sharedInstance().AddToLog(platform::format("Connection failed: %@", message));
  withView([&](DialerView& v) {
    v.showMessage(message);
    v.setConnectedTimeText("Not Connected");
  });
  stopClock();
  connectionStartDate_.reset();
  displayNotification(message);
  // Straight to Disconnected: a failure the helper reported is not retried.
  status_ = DialerStatus::Disconnecting;
  changeState(DialerStatus::Disconnected);
}

void DialerState::helperRequestDidReportProblem(const std::string& message) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (isConnectedWarningMessage(message)) {
    // Shown beside Connected; it may arrive just before the state that
    // brings Connected, so it is kept until then.
    if (status_ == DialerStatus::Disconnected || status_ == DialerStatus::Disconnecting) return;
    if (warning_ == message) return;
    VarnelLog::sharedInstance().AddToLog(platform::format("Connection warning: %@", message));
    warning_ = message;
    if (status_ == DialerStatus::Connected) {
      withView([&](DialerView& v) { v.showWarning(message); });
      displayNotification(message);
    }
    return;
  }
  if (status_ == DialerStatus::Connected && isConnectionLostMessage(message)) {
    // The helper's reason comes in the log before the state that says so.
    lostReason_ = message;
    return;
  }
  if (status_ != DialerStatus::Connecting && status_ != DialerStatus::Reconnecting) return;
  if (message == lastProblem_) return;
  lastProblem_ = message;
  VarnelLog::sharedInstance().AddToLog(platform::format("Connection problem: %@", message));
  withView([&](DialerView& v) { v.showMessage(message); });
  notifyProblem(message);
}

void DialerState::notifyProblem(const std::string& message) {
  const auto now = platform::dispatch::nowOf(clock_);
  if (lastProblemNotification_ && now - *lastProblemNotification_ < kProblemNotificationInterval)
    return;
  lastProblemNotification_ = now;
  displayNotification(message);
}

void DialerState::helperRequestDidLoseConnection() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (status_ != DialerStatus::Connected) return;
  const std::string message = lostReason_.empty() ? kConnectionLostDefaultMessage : lostReason_;
  lostReason_.clear();
  helperReconnecting_ = true;
  changeState(DialerStatus::Reconnecting);
  lastProblem_ = message;
  VarnelLog::sharedInstance().AddToLog(platform::format("Connection problem: %@", message));
  withView([&](DialerView& v) { v.showMessage(message); });
  notifyProblem(message);
}

void DialerState::stopClock() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (connectionTimer_) connectionTimer_->invalidate();
  connectionTimer_.reset();
}

void DialerState::updateConnectedTime() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (status_ == DialerStatus::Connected || status_ == DialerStatus::Connecting) {
    const std::string text = connectTimeString(connectedSeconds());
    withView([&](DialerView& v) { v.setConnectedTimeText(text); });
    return;
  }
  connectionStartDate_.reset();
  stopClock();
  withView([](DialerView& v) { v.setConnectedTimeText("Not Connected"); });
}

std::string DialerState::connectTimeString(std::int64_t s, const Localizer& localize) {
  const long h = static_cast<long>(s / 3600);
  const long m = static_cast<long>((s % 3600) / 60);
  const long sec = static_cast<long>(s % 60);
  std::string prefix;
  if (h >= 24) prefix = platform::format("%ld %@ ", h / 24, localized("Days", localize));
  const long hour = h < 24 ? h : h % 24;
  std::string time = hour != 0 ? platform::format("%ld:%02ld:%02ld", hour, m, sec)
                               : platform::format("%ld:%02ld", m, sec);
  return prefix + time;
}

void DialerState::displayNotification(const std::string& text) {
  if (!platform::UserDefaults::standardUserDefaults()->boolForKey(kShowNotificationsDefaultsKey))
    return;
  withView([&](DialerView& v) { v.presentUserNotification(kUserNotificationTitle, text); });
}

}  // namespace client
