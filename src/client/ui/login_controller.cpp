#include "client/ui/login_controller.h"

#include <QApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>

#include "client/core/account_info.h"
#include "client/core/account_manager.h"
#include "client/ui/app_delegate.h"
#include "client/ui/dialer_controller.h"
#include "client/ui/images.h"
#include "client/ui/workspace.h"
#include "platform/system/user_defaults.h"

namespace client::ui {

namespace {
const char* kOrderURL = "https://www.varnelvpn.net/services/varnelvpn/";
const char* kResetURL = "https://www.varnelvpn.net/services/intranet/password_reset/";
}  // namespace

// The window as the login flow sees it.
class LoginWindowView : public client::LoginView {
 public:
  explicit LoginWindowView(LoginController* window) : window_(window) {}
  std::string emailText() override {
    if (!window_ || window_->showingStoredEmail_) return std::string();
    return window_->emailInput_->text().toStdString();
  }
  std::string passwordText() override {
    return window_ ? window_->passwordInput_->text().toStdString() : std::string();
  }
  void setPasswordText(const std::string& text) override {
    if (window_) window_->passwordInput_->setText(QString::fromStdString(text));
  }
  void focusEmailField() override {
    if (window_) window_->emailInput_->setFocus(Qt::OtherFocusReason);
  }
  void focusPasswordField() override {
    if (window_) window_->passwordInput_->setFocus(Qt::OtherFocusReason);
  }
  void setProgressText(const std::string& text) override {
    if (window_) window_->updateLoginText(QString::fromStdString(text));
  }
  void setEntriesEnabled(bool enabled) override {
    if (!window_) return;
    window_->loginButton_->setEnabled(enabled);
    window_->emailInput_->setEnabled(enabled);
    window_->passwordInput_->setEnabled(enabled);
  }
  void setIndicatorVisible(bool visible) override {
    if (window_) window_->loadingIndicator_->setVisible(visible);
  }
  void showLoginError(const std::string& message) override {
    if (window_) window_->showLoginError(QString::fromStdString(message));
  }
  void showHelperFailure(const std::string& message, const std::string& reason) override {
    if (window_)
      window_->showHelperFailure(QString::fromStdString(message), QString::fromStdString(reason));
  }
  void loginDidSucceed() override {
    if (!window_) return;
    window_->rememberAccountEmail();
    if (window_->appDelegate_ != nullptr) window_->appDelegate_->enableMenuItemsOnLogin();
  }
  void hideLoginWindow() override {
    if (window_) window_->hide();
  }
  void openDialer() override {
    if (window_) window_->openDialer();
  }
  void terminateApplication() override {
    if (window_) window_->terminateApplication();
  }

 private:
  QPointer<LoginController> window_;
};

LoginController::LoginController(AppDelegate* appDelegate, QWidget* parent)
    : QWidget(parent, Qt::Window), appDelegate_(appDelegate) {
  setObjectName("loginWindow");
  setWindowTitle("VarnelVPN Client");
  auto* logo = new QLabel(this);
  logo->setPixmap(imageNamed("Status Bar Connected", 48, devicePixelRatioF()));
  logo->setAlignment(Qt::AlignCenter);
  auto* title = new QLabel("Log in to VarnelVPN", this);
  title->setAlignment(Qt::AlignCenter);
  QFont big = title->font();
  big.setPointSizeF(big.pointSizeF() * 1.3);
  big.setBold(true);
  title->setFont(big);
  emailInput_ = new QLineEdit(this);
  emailInput_->setObjectName("emailInput");
  emailInput_->setPlaceholderText("E-mail");
  passwordInput_ = new QLineEdit(this);
  passwordInput_->setObjectName("passwordInput");
  passwordInput_->setPlaceholderText("Password or API key");
  passwordInput_->setEchoMode(QLineEdit::Password);
  loginButton_ = new QPushButton("Log in", this);
  loginButton_->setObjectName("loginButton");
  loginButton_->setDefault(true);
  loadingIndicator_ = new QProgressBar(this);
  loadingIndicator_->setObjectName("loadingIndicator");
  loadingIndicator_->setRange(0, 0);
  loadingIndicator_->setMaximumHeight(8);
  loadingIndicator_->setTextVisible(false);
  loginStatusLabel_ = new QLabel(this);
  loginStatusLabel_->setObjectName("loginStatusLabel");
  loginStatusLabel_->setAlignment(Qt::AlignCenter);
  loadingGif_ = new QLabel(this);
  loadingGif_->setObjectName("loadingGif");
  loadingGif_->hide();
  // Both links look like the desktop's links: its link colour, underlined,
  // and a pointing hand over them.
  orderButton_ = new QPushButton("Order an account", this);
  orderButton_->setObjectName("orderButton");
  orderButton_->setFlat(true);
  orderButton_->setCursor(Qt::PointingHandCursor);
  orderButton_->setStyleSheet(
      "QPushButton { border: none; padding: 0; color: palette(link); text-decoration: underline; "
      "background: transparent; }");
  resetButton_ = new NSTextMouseoverView(this);
  resetButton_->setObjectName("resetButton");
  resetButton_->setText("Forgot your password?");
  resetButton_->setAlignment(Qt::AlignCenter);
  const QPalette colours = palette();
  resetButton_->setLinkColors(colours.color(QPalette::Link), colours.color(QPalette::LinkVisited));
  QFont underlined = resetButton_->font();
  underlined.setUnderline(true);
  resetButton_->setFont(underlined);

  auto* form = new QFormLayout;
  form->addRow("E-mail", emailInput_);
  form->addRow("Password", passwordInput_);
  auto* links = new QHBoxLayout;
  links->addWidget(orderButton_);
  links->addStretch(1);
  links->addWidget(resetButton_);
  auto* layout = new QVBoxLayout(this);
  if (appDelegate_ != nullptr) {
    auto* bar = new QMenuBar(this);
    appDelegate_->installMainMenu(bar);
    layout->setMenuBar(bar);
  }
  layout->addWidget(logo);
  layout->addWidget(title);
  layout->addLayout(form);
  layout->addWidget(loginButton_);
  layout->addWidget(loadingIndicator_);
  layout->addWidget(loginStatusLabel_);
  layout->addLayout(links);
  resize(340, 320);

  connect(loginButton_, &QPushButton::clicked, this, &LoginController::startLoginAction);
  connect(passwordInput_, &QLineEdit::returnPressed, this, &LoginController::startLoginAction);
  connect(emailInput_, &QLineEdit::returnPressed, this, &LoginController::selectPasswordField);
  connect(orderButton_, &QPushButton::clicked, this, &LoginController::orderAccountAction);
  connect(resetButton_, &MoreInfoText::clicked, this, &LoginController::resetPasswordAction);
  connect(emailInput_, &QLineEdit::textEdited, this, [this] { showingStoredEmail_ = false; });
  connect(passwordInput_, &QLineEdit::textEdited, this, [this] { showingStoredEmail_ = false; });

  view_ = std::make_shared<LoginWindowView>(this);
  flow_ = client::LoginFlow::create(nullptr, view_);
}

LoginController::~LoginController() = default;

std::optional<std::string> LoginController::storedAPIKey() { return client::loadStoredAPIKey(); }

void LoginController::storeAPIKey(const std::string& key) { client::saveStoredAPIKey(key); }

void LoginController::viewDidLoad() {
  if (appDelegate_ != nullptr) {
    accountManager_ = appDelegate_->accountManager();
    appDelegate_->setLoginController(this);
    flow_->setServices(
        client::makeLoginServices(accountManager_, appDelegate_->seams().installHelper));
  }
  loadingIndicator_->hide();
  // A log-in with the stored key says whose account it is.
  if (storedAPIKey()) {
    if (auto email =
            platform::UserDefaults::standardUserDefaults()->stringForKey(kLoginEmailDefaultsKey);
        email && !email->empty()) {
      emailInput_->setText(QString::fromStdString(*email));
      showingStoredEmail_ = true;
    }
  }
  show();
  raise();
  activateWindow();
  flow_->startAutomaticLogin();
}

void LoginController::startLoginAction() { flow_->startLoginAction(); }

void LoginController::rememberAccountEmail() {
  std::string email;
  if (accountManager_) {
    if (auto info = accountManager_->accountInfo(); info && info->email().isString()) {
      email = info->email().asString();
    }
  }
  if (email.empty() && !showingStoredEmail_) email = emailInput_->text().toStdString();
  if (email.empty()) return;
  platform::UserDefaults::standardUserDefaults()->setObject(platform::Value(email),
                                                            kLoginEmailDefaultsKey);
  showingStoredEmail_ = false;
  emailInput_->setText(QString::fromStdString(email));
}

void LoginController::updateLoginText(const QString& text) {
  QPointer<LoginController> self(this);
  QMetaObject::invokeMethod(
      this,
      [self, text] {
        if (!self) return;
        self->loginStatusLabel_->setText(text);
        emit self->loginTextChanged(text);
      },
      Qt::QueuedConnection);
}

void LoginController::FireError(const QString& text) { flow_->fireError(text.toStdString()); }

void LoginController::showLoginError(const QString& message) {
  auto* box = new QMessageBox(this);
  box->setObjectName("loginErrorAlert");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  box->setIcon(QMessageBox::Warning);
  box->setText(message);
  box->addButton("OK", QMessageBox::AcceptRole);
  errorAlert_ = box;
  std::weak_ptr<client::LoginFlow> flow = flow_;
  connect(box, &QMessageBox::finished, this, [this, flow] {
    errorAlert_ = nullptr;
    if (auto f = flow.lock()) f->loginErrorDismissed();
  });
  box->open();
}

// Says why the application cannot go on; the flow ends it when dismissed.
void LoginController::showHelperFailure(const QString& message, const QString& reason) {
  auto* box = new QMessageBox(this);
  box->setObjectName("helperFailureAlert");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  box->setIcon(QMessageBox::Critical);
  box->setText(message);
  box->setInformativeText(reason);
  box->addButton("Quit", QMessageBox::AcceptRole);
  helperFailureAlert_ = box;
  std::weak_ptr<client::LoginFlow> flow = flow_;
  connect(box, &QMessageBox::finished, this, [this, flow] {
    helperFailureAlert_ = nullptr;
    if (auto f = flow.lock()) f->helperFailureDismissed();
  });
  box->open();
}

void LoginController::terminateApplication() {
  if (appDelegate_ != nullptr) {
    appDelegate_->terminate();
  } else {
    QApplication::quit();
  }
}

void LoginController::ClearLock() { flow_->clearLock(); }

void LoginController::changeToDialer() { flow_->changeToDialer(); }

void LoginController::openDialer() {
  dialerViewController_ = new DialerController(appDelegate_, accountManager_);
  close();
  dialerViewController_->loadView();
}

void LoginController::orderAccountAction() {
  Workspace::openURLOrTell(QUrl(kOrderURL), "The order page", this,
                           appDelegate_ ? appDelegate_->seams().openURL : Workspace::Opener());
}
void LoginController::resetPasswordAction() {
  Workspace::openURLOrTell(QUrl(kResetURL), "The password reset page", this,
                           appDelegate_ ? appDelegate_->seams().openURL : Workspace::Opener());
}
void LoginController::selectPasswordField() { passwordInput_->setFocus(Qt::OtherFocusReason); }

bool LoginController::isRetina() {
  if (QGuiApplication::primaryScreen() == nullptr) return false;
  double largest = 1.0;
  for (QScreen* screen : QGuiApplication::screens()) {
    largest = std::max(largest, screen->devicePixelRatio());
  }
  return largest >= 2.0;
}

}  // namespace client::ui
