// LoginController: the login window, a view over the login flow
// (client/core/login_flow.h), which logs in by itself when an API key is
// stored, checks the user's entries, runs the base-URL probe and the login
// with visible progress ("Checking mirrors.", "Authenticating."), reports a
// failed login and, on success, stores the API key and installs or updates
// the helper. The window draws the flow's state, shows its alerts (reporting
// their end to the flow) and, when the flow says so, replaces itself with the
// dialer.
//
// Guarantees (the flow's, as the user sees them):
//  1. An empty e-mail with a password that is not exactly 20 characters, or
//     an empty password, moves the focus to the field at fault and sends
//     nothing.
//  2. While a login runs the fields and the button are disabled; a failed
//     login shows the alert and, once it is dismissed, enables them again.
//     The stored key is left as it was.
//  3. A helper installation that fails ends the application once the user
//     has dismissed an alert that says why; the dialer is never shown
//     without a helper.
//
// Thread safety: main thread only; updateLoginText from any thread.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>

#include "client/core/login_flow.h"
#include "client/ui/link_text_fields.h"

namespace client {
class VRAccountManager;
}

namespace client::ui {

class AppDelegate;
class DialerController;

using client::kAPIKeyLength;
using client::kAuthenticatingText;
using client::kCheckingMirrorsText;
using client::kHelperFailureDefaultReason;
using client::kHelperFailureMessage;
// The e-mail of the account last logged in (not a secret); shown while the
// stored key logs in, removed at logout.
inline constexpr const char* kLoginEmailDefaultsKey = "LoginEmail";
using client::kLoginErrorFormat;

class LoginController : public QWidget {
  Q_OBJECT
 public:
  explicit LoginController(AppDelegate* appDelegate, QWidget* parent = nullptr);
  ~LoginController() override;

  // Set-up and the automatic login (called once by the application).
  void viewDidLoad();

  // The stored API key: the keychain item "VarnelVPN Client" / "API";
  // nullopt when none.
  static std::optional<std::string> storedAPIKey();
  static void storeAPIKey(const std::string& key);

  DialerController* dialerViewController() const { return dialerViewController_; }
  QLabel* loginStatusLabel() const { return loginStatusLabel_; }
  QLineEdit* emailInput() const { return emailInput_; }
  QLineEdit* passwordInput() const { return passwordInput_; }
  QProgressBar* loadingIndicator() const { return loadingIndicator_; }
  QPushButton* loginButton() const { return loginButton_; }
  QWidget* loginWindow() { return this; }
  QLabel* loadingGif() const { return loadingGif_; }
  QPushButton* orderButton() const { return orderButton_; }
  NSTextMouseoverView* resetButton() const { return resetButton_; }
  // The error alert while it is shown (nullptr otherwise).
  QMessageBox* errorAlert() const { return errorAlert_; }
  // The alert that says why the helper could not be installed, while it is
  // shown; the application ends when it is dismissed.
  QMessageBox* helperFailureAlert() const { return helperFailureAlert_; }
  static bool isRetina();
  const std::shared_ptr<client::LoginFlow>& loginFlow() const { return flow_; }

 signals:
  // Emitted on every progress text change (tests follow the order).
  void loginTextChanged(const QString& text);

 public slots:
  void startLoginAction();
  void updateLoginText(const QString& text);
  void FireError(const QString& text);
  void ClearLock();
  void changeToDialer();
  void orderAccountAction();
  void resetPasswordAction();
  void selectPasswordField();

 private:
  AppDelegate* appDelegate_;
  std::shared_ptr<VRAccountManager> accountManager_;
  DialerController* dialerViewController_ = nullptr;
  QLabel* loginStatusLabel_;
  QLineEdit* emailInput_;
  QLineEdit* passwordInput_;
  QProgressBar* loadingIndicator_;
  QPushButton* loginButton_;
  QLabel* loadingGif_;
  QPushButton* orderButton_;
  NSTextMouseoverView* resetButton_;
  // True while the e-mail field shows the stored account's e-mail for a
  // log-in with the stored key: the service is then asked with the key
  // alone. Editing either field ends it.
  bool showingStoredEmail_ = false;
  QMessageBox* errorAlert_ = nullptr;
  QMessageBox* helperFailureAlert_ = nullptr;
  std::shared_ptr<client::LoginView> view_;
  std::shared_ptr<client::LoginFlow> flow_;

  friend class LoginWindowView;
  void rememberAccountEmail();
  void showLoginError(const QString& message);
  void showHelperFailure(const QString& message, const QString& reason);
  void openDialer();
  void terminateApplication();
};

}  // namespace client::ui
