#include "client/ui/login_controller.h"

#include <QApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>

#include "client/core/account_manager.h"
#include "client/core/app_startup.h"
#include "client/core/helper_installer.h"
#include "client/ui/animated_text_field.h"
#include "client/ui/app_delegate.h"
#include "client/ui/dialer_controller.h"
#include "client/ui/images.h"
#include "client/ui/workspace.h"
#include "codecs/keychain_store.h"
#include "platform/foundation/format.h"
#include "platform/system/user_defaults.h"

namespace client::ui {

namespace {
const char* kOrderURL = "https://www.varnelvpn.net/services/varnelvpn/";
const char* kResetURL = "https://www.varnelvpn.net/services/intranet/password_reset/";

bool oldFramework() { return applicationFrameworkVersionNumber() < kFadeFrameworkVersion; }
}  // namespace

LoginController::LoginController(AppDelegate* appDelegate, QWidget* parent)
    : QWidget(parent, Qt::Window), appDelegate_(appDelegate) {
  setObjectName("loginWindow");
  setWindowTitle("VarnelVPN Client");
  auto* logo = new QLabel(this);
  logo->setPixmap(imageNamed("Status Bar Connected").scaled(48, 48));
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
  loginButton_ = new QPushButton("Log In", this);
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
  orderButton_ = new QPushButton("Order an account", this);
  orderButton_->setObjectName("orderButton");
  orderButton_->setFlat(true);
  resetButton_ = new NSTextMouseoverView(this);
  resetButton_->setObjectName("resetButton");
  resetButton_->setText("Forgot your password?");
  resetButton_->setAlignment(Qt::AlignCenter);

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
}

LoginController::~LoginController() = default;

std::optional<std::string> LoginController::storedAPIKey() {
  if (oldFramework()) {
    auto key =
        platform::UserDefaults::standardUserDefaults()->stringForKey(kStoredAPIKeyDefaultsKey);
    if (key && !key->empty()) return key;
    return std::nullopt;
  }
  platform::Error error;
  auto key = codecs::KeychainStore::passwordForService(std::string(kAPIKeychainService),
                                                       std::string(kAPIKeychainAccount), &error);
  if (error || !key) return std::nullopt;
  return key;
}

void LoginController::storeAPIKey(const std::string& key) {
  if (oldFramework()) {
    platform::UserDefaults::standardUserDefaults()->setObject(platform::Value(key),
                                                              kStoredAPIKeyDefaultsKey);
    return;
  }
  codecs::KeychainStore::setPassword(key, std::string(kAPIKeychainService),
                                     std::string(kAPIKeychainAccount));
}

void LoginController::viewDidLoad() {
  if (appDelegate_ != nullptr) {
    accountManager_ = appDelegate_->accountManager();
    appDelegate_->setLoginController(this);
  }
  loadingIndicator_->hide();
  show();
  raise();
  activateWindow();
  if (auto key = storedAPIKey()) {
    passwordInput_->setText(QString::fromStdString(*key));
    startLoginAction();
  }
}

void LoginController::startLoginAction() {
  if (emailInput_->text().isEmpty()) {
    if (passwordInput_->text().size() != kAPIKeyLength) {
      emailInput_->setFocus(Qt::OtherFocusReason);
      return;
    }
  }
  if (passwordInput_->text().isEmpty()) {
    passwordInput_->setFocus(Qt::OtherFocusReason);
    return;
  }
  if (!accountManager_) return;
  loginButton_->setEnabled(false);
  emailInput_->setEnabled(false);
  passwordInput_->setEnabled(false);
  loadingIndicator_->show();

  updateLoginText(kCheckingMirrorsText);
  QPointer<LoginController> self(this);
  auto manager = accountManager_;
  BaseURLProbe::run(manager->client(), [self, manager] {
    if (!self) return;
    self->updateLoginText(kAuthenticatingText);
    manager->loginWithUsername(
        self->emailInput_->text().toStdString(), self->passwordInput_->text().toStdString(),
        [self](const platform::Value& reply) {
          if (!self) return;
          if (reply.isDictionary() && reply.contains("error")) {
            const platform::Value error = reply["error"];
            self->FireError(
                QString::fromStdString(error.isString() ? error.asString() : error.description()));
            return;
          }
          if (!reply.isDictionary()) {
            self->FireError("The login server did not answer.");
            return;
          }
          if (self->appDelegate_ != nullptr) self->appDelegate_->enableMenuItemsOnLogin();
          self->changeToDialer();
        });
  });
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

void LoginController::FireError(const QString& text) {
  loadingIndicator_->hide();
  updateLoginText(QString());
  auto* box = new QMessageBox(this);
  box->setObjectName("loginErrorAlert");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  box->setIcon(QMessageBox::Warning);
  box->setText(QString::fromStdString(platform::format(kLoginErrorFormat, text.toStdString())));
  box->addButton("OK", QMessageBox::AcceptRole);
  errorAlert_ = box;
  connect(box, &QMessageBox::finished, this, [this] {
    errorAlert_ = nullptr;
    ClearLock();
  });
  box->open();
}

// Says why the application cannot go on, then ends it when dismissed.
void LoginController::showHelperFailure(const std::string& reason) {
  auto* box = new QMessageBox(this);
  box->setObjectName("helperFailureAlert");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  box->setIcon(QMessageBox::Critical);
  box->setText(kHelperFailureMessage);
  box->setInformativeText(
      QString::fromStdString(reason.empty() ? kHelperFailureDefaultReason : reason));
  box->addButton("Quit", QMessageBox::AcceptRole);
  helperFailureAlert_ = box;
  connect(box, &QMessageBox::finished, this, [this] {
    helperFailureAlert_ = nullptr;
    if (appDelegate_ != nullptr) {
      appDelegate_->terminate();
    } else {
      QApplication::quit();
    }
  });
  box->open();
}

void LoginController::ClearLock() {
  loginButton_->setEnabled(true);
  emailInput_->setEnabled(true);
  passwordInput_->setEnabled(true);
  loadingIndicator_->hide();
  updateLoginText(QString());
}

void LoginController::changeToDialer() {
  hide();
  auto info = accountManager_ ? accountManager_->accountInfo() : nullptr;
  if (info && info->key().isString() && !info->key().asString().empty()) {
    storeAPIKey(info->key().asString());
  }
  bool installed = false;
  std::string failure;
  if (appDelegate_ != nullptr && appDelegate_->seams().installHelper) {
    installed = appDelegate_->seams().installHelper();
  } else {
    CodesigningUtilities utilities;
    installed = utilities.installHelperWithLabel(kHelperLabel);
    failure = utilities.failureMessage();
  }
  if (!installed) {
    showHelperFailure(failure);
    return;
  }
  dialerViewController_ = new DialerController(appDelegate_, accountManager_);
  close();
  dialerViewController_->loadView();
}

void LoginController::orderAccountAction() {
  Workspace::openURLOrTell(QUrl(kOrderURL), "The order page", this);
}
void LoginController::resetPasswordAction() {
  Workspace::openURLOrTell(QUrl(kResetURL), "The password reset page", this);
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
