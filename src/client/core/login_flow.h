// LoginFlow: the login's steps, free of widgets. It logs in by itself when
// an API key is stored, checks the user's entries, runs the base-URL probe
// and the login with progress texts ("Checking mirrors.", "Authenticating."),
// turns a failed login into the error message the window shows and, on
// success, stores the API key, installs or updates the helper and hands over
// to the dialer. The login window draws it through LoginView and reaches the
// account manager, the keychain and the helper installer only through
// LoginServices.
//
// Guarantees:
//  1. An empty e-mail with a password that is not exactly 20 characters
//     (UTF-16 units, as the window counts them), or an empty password, moves
//     the focus to the field at fault and sends nothing.
//  2. While a login runs the entries are locked; a failed login (an "error"
//     entry, or no dictionary at all) shows the error message and, once the
//     view reports it dismissed, unlocks them again. The stored key is left
//     as it was.
//  3. A helper installation that fails shows why (the installer's reason,
//     else kHelperFailureDefaultReason) and ends the application once the
//     view reports that alert dismissed; the dialer is never opened without
//     a helper.
//  4. Callbacks of a flow that has gone (its window closed) do nothing.
//
// Thread safety: main thread only; the services call back on the main queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/queue_checker.h"
#include "platform/foundation/value.h"

namespace client {

inline constexpr const char* kHelperFailureMessage =
    "VarnelVPN Client cannot continue without its helper.";
inline constexpr const char* kHelperFailureDefaultReason =
    "The helper, which sets up the VPN connections, could not be installed.";
inline constexpr const char* kLoginErrorFormat =
    "An error occurred logging in.\nThe login server reported the following info:\n%@";
// A failure on the way to the service (nothing the service said).
inline constexpr const char* kLocalLoginErrorFormat = "An error occurred logging in.\n%@";
inline constexpr const char* kLoginNoAnswerText = "The login server did not answer.";
inline constexpr const char* kCheckingMirrorsText = "Checking mirrors.";
inline constexpr const char* kAuthenticatingText = "Authenticating.";
inline constexpr int kAPIKeyLength = 20;

// What the login window shows and does. Every method has a no-op default.
class LoginView {
 public:
  virtual ~LoginView() = default;
  // The entries as they stand now.
  virtual std::string emailText() { return {}; }
  virtual std::string passwordText() { return {}; }
  // The automatic login puts the stored key into the password field.
  virtual void setPasswordText(const std::string& text) { (void)text; }
  virtual void focusEmailField() {}
  virtual void focusPasswordField() {}
  // The progress text ("" clears it).
  virtual void setProgressText(const std::string& text) { (void)text; }
  // Login button, e-mail and password fields.
  virtual void setEntriesEnabled(bool enabled) { (void)enabled; }
  virtual void setIndicatorVisible(bool visible) { (void)visible; }
  // The error alert; the view calls loginErrorDismissed when it ends.
  virtual void showLoginError(const std::string& message) { (void)message; }
  // The alert that the application cannot go on; the view calls
  // helperFailureDismissed when it ends.
  virtual void showHelperFailure(const std::string& message, const std::string& reason) {
    (void)message, (void)reason;
  }
  // The login succeeded: the menu items that need a login are enabled.
  virtual void loginDidSucceed() {}
  // Orders the login window out (before the helper is installed).
  virtual void hideLoginWindow() {}
  // Makes the dialer, closes the login window and shows the dialer.
  virtual void openDialer() {}
  virtual void terminateApplication() {}
};

// What the flow needs of the account manager, the keychain and the helper
// installer.
class LoginServices {
 public:
  virtual ~LoginServices() = default;
  virtual std::optional<std::string> storedAPIKey() = 0;
  virtual void storeAPIKey(const std::string& key) = 0;
  // Runs the base-URL probe; `completion` on the main queue when it ends.
  virtual void probeBaseURL(std::function<void()> completion) = 0;
  // Logs in; `completion` on the main queue with the service's reply.
  virtual void login(const std::string& email, const std::string& password,
                     std::function<void(const platform::Value& reply)> completion) = 0;
  // The API key of the signed-in account ("" when it has none).
  virtual std::string accountAPIKey() = 0;
  struct HelperInstallation {
    bool installed = false;
    std::string failure;  // why it failed ("" when the installer did not say)
  };
  // Installs or updates the helper, synchronously (the system may ask the
  // user for authorization meanwhile).
  virtual HelperInstallation installHelper() = 0;
};

class VRAccountManager;

// The stored API key: the keychain item "VarnelVPN Client" / "API".
std::optional<std::string> loadStoredAPIKey();
void saveStoredAPIKey(const std::string& key);

// The application's services: the account manager, the keychain and the
// helper installer. `installHelper`, when set, replaces the installer (tests
// and the demo run).
std::shared_ptr<LoginServices> makeLoginServices(std::shared_ptr<VRAccountManager> manager,
                                                 std::function<bool()> installHelper = nullptr);

class LoginFlow : public std::enable_shared_from_this<LoginFlow> {
 public:
  // Without services the entries are still checked but nothing is sent.
  static std::shared_ptr<LoginFlow> create(std::shared_ptr<LoginServices> services,
                                           std::weak_ptr<LoginView> view);
  void setServices(std::shared_ptr<LoginServices> services) { services_ = std::move(services); }

  // The automatic login: with a stored key, puts it into the password field
  // and starts the login.
  void startAutomaticLogin();
  // The login button's action (guarantee 1, then the probe and the login).
  void startLoginAction();
  // A failed login: hides the indicator, clears the progress text and shows
  // the error message with `text`.
  // `fromService`: the text is the service's own report (else a failure on the way).
  void fireError(const std::string& text, bool fromService = true);
  // Unlocks the entries: enabled, indicator hidden, progress text "".
  void clearLock();
  // The step after a successful login (guarantee 3).
  void changeToDialer();
  void loginErrorDismissed() { clearLock(); }
  void helperFailureDismissed();

  bool isRunning() const { return running_; }

 private:
  // Main thread only, checked in checked builds.
  platform::dispatch::QueueChecker mainQueue_{platform::dispatch::Queue::main()};
  LoginFlow(std::shared_ptr<LoginServices> services, std::weak_ptr<LoginView> view);
  void loginAnswered(const platform::Value& reply);
  template <class F>
  void withView(F f) {
    if (auto v = view_.lock()) f(*v);
  }

  std::shared_ptr<LoginServices> services_;
  std::weak_ptr<LoginView> view_;
  bool running_ = false;  // a login runs (entries locked)
};

}  // namespace client
