#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include "account-service/account_service.h"
#include "client/core/account_manager.h"
#include "client/core/app_startup.h"
#include "client/core/pudip_client.h"
#include "client/ui/app_delegate.h"
#include "client/ui/dialer_controller.h"
#include "client/ui/login_controller.h"
#include "client/ui/workspace.h"
#include "codecs/keychain_store.h"
#include "platform/foundation/format.h"
#include "platform/system/user_defaults.h"
#include "ui_test_support.h"

using namespace client::ui;
using varnel::testing::waitFor;

namespace {
const char* kDemoKey = "DEMOKEY7Q2W9E4R6T1Y3";

std::optional<std::string> keychainKey() {
  return codecs::KeychainStore::passwordForService(std::string(client::kAPIKeychainService),
                                                   std::string(client::kAPIKeychainAccount));
}
}  // namespace

class LoginTest : public QObject {
  Q_OBJECT
 private:
  std::unique_ptr<account_service::AccountService> service_;
  std::unique_ptr<AppDelegate> delegate_;
  // What the windows open pages with (the desktop when empty).
  Workspace::Opener opener_;
  int installs_ = 0;
  int terminations_ = 0;
  bool installResult_ = true;

  LoginController* makeLogin() {
    AppDelegate::Seams seams;
    seams.installHelper = [this] {
      ++installs_;
      return installResult_;
    };
    seams.helperRequestFactory = [](std::weak_ptr<client::HelperRequestDelegate>) {
      return std::make_shared<varnel::testing::FakeHelperRequest>();
    };
    seams.terminate = [this] { ++terminations_; };
    seams.offerMoveToApplicationsFolder = [] {};
    seams.openURL = [this](const QUrl& url) {
      return opener_ ? opener_(url) : Workspace::openURL(url);
    };
    delegate_ = std::make_unique<AppDelegate>(
        client::VRAccountManager::create(client::VRPUDIPClient::make()), seams);
    delegate_->launch();
    return delegate_->loginController();
  }

 private slots:
  void init() {
    varnel::testing::resetDefaults();
    codecs::KeychainStore::deletePasswordForService(std::string(client::kAPIKeychainService),
                                                    std::string(client::kAPIKeychainAccount));
    service_ = varnel::testing::startDemoService();
    installs_ = terminations_ = 0;
    installResult_ = true;
  }
  void cleanup() {
    delegate_.reset();
    opener_ = nullptr;
    service_.reset();
  }

  void entriesAreCheckedBeforeAnythingIsSent() {
    LoginController* login = makeLogin();
    QVERIFY(!delegate_->preferencesMenuItem()->isEnabled());
    QVERIFY(!delegate_->logoutMenuItem()->isEnabled());
    QApplication::setActiveWindow(login);
    for (const char* password : {"1234567890123456789", "123456789012345678901"}) {
      login->passwordInput()->setText(password);
      login->loginButton()->click();
      QVERIFY(login->loginButton()->isEnabled());
      QCOMPARE(QApplication::focusWidget(), login->emailInput());
    }
    login->emailInput()->setText("demo@varnelvpn.test");
    login->passwordInput()->clear();
    login->loginButton()->click();
    QVERIFY(login->loginButton()->isEnabled());
    QCOMPARE(QApplication::focusWidget(), login->passwordInput());
    for (const auto& request : service_->server().requests()) QVERIFY(request.path != "/login/");
  }

  void failedLoginShowsTheServerTextAndUnlocks() {
    LoginController* login = makeLogin();
    QSignalSpy texts(login, &LoginController::loginTextChanged);
    login->emailInput()->setText("demo@varnelvpn.test");
    login->passwordInput()->setText("wrong");
    login->loginButton()->click();
    QVERIFY(!login->loginButton()->isEnabled());
    QVERIFY(!login->emailInput()->isEnabled());
    QVERIFY(waitFor([&] { return login->errorAlert() != nullptr; }, 20000));
    const QString expected = QString::fromStdString(
        platform::format(kLoginErrorFormat, std::string("Invalid username or password.")));
    QCOMPARE(login->errorAlert()->text(), expected);
    QVERIFY(texts.size() >= 2);
    QCOMPARE(texts.at(0).at(0).toString(), QString(kCheckingMirrorsText));
    QCOMPARE(texts.at(1).at(0).toString(), QString(kAuthenticatingText));
    login->errorAlert()->buttons().first()->click();
    QVERIFY(waitFor([&] { return login->loginButton()->isEnabled(); }));
    QVERIFY(login->emailInput()->isEnabled() && login->passwordInput()->isEnabled());
    QVERIFY(!keychainKey().has_value());
    QVERIFY(login->dialerViewController() == nullptr);
  }

  void keyLoginOpensTheDialerAndStoresTheKey() {
    LoginController* login = makeLogin();
    QSignalSpy texts(login, &LoginController::loginTextChanged);
    login->passwordInput()->setText(kDemoKey);  // empty e-mail, 20 characters
    login->loginButton()->click();
    QVERIFY(waitFor([&] { return login->dialerViewController() != nullptr; }, 20000));
    QCOMPARE(texts.at(0).at(0).toString(), QString(kCheckingMirrorsText));
    QCOMPARE(texts.at(1).at(0).toString(), QString(kAuthenticatingText));
    QCOMPARE(installs_, 1);
    QCOMPARE(*keychainKey(), std::string(kDemoKey));
    QVERIFY(!login->isVisible());
    QVERIFY(login->dialerViewController()->isVisible());
    QVERIFY(delegate_->preferencesMenuItem()->isEnabled());
    QVERIFY(delegate_->logoutMenuItem()->isEnabled());
    QCOMPARE(login->dialerViewController()->subMenu()->actions().size(),
             static_cast<int>(delegate_->accountManager()->accounts().size()));
  }

  void storedKeyLogsInByItself() {
    LoginController::storeAPIKey(kDemoKey);
    LoginController* login = makeLogin();
    QCOMPARE(login->passwordInput()->text(), QString(kDemoKey));
    QVERIFY(waitFor([&] { return login->dialerViewController() != nullptr; }, 20000));
    QCOMPARE(*keychainKey(), std::string(kDemoKey));
  }

  void storedKeyLogInShowsTheAccountsEmail() {
    auto defaults = platform::UserDefaults::standardUserDefaults();
    LoginController::storeAPIKey(kDemoKey);
    LoginController* login = makeLogin();
    QVERIFY(waitFor([&] { return login->dialerViewController() != nullptr; }, 20000));
    // The key's account named its e-mail; the next launch shows it.
    const auto stored = defaults->stringForKey(kLoginEmailDefaultsKey);
    QVERIFY(stored && stored->find('@') != std::string::npos);
    delegate_.reset();
    login = makeLogin();
    QCOMPARE(login->emailInput()->text(), QString::fromStdString(*stored));
    QCOMPARE(login->passwordInput()->text(), QString(kDemoKey));
    // Shown, not sent: the key alone still logs in.
    QVERIFY(waitFor([&] { return login->dialerViewController() != nullptr; }, 20000));
    delegate_->logoutAction();
    QVERIFY(!defaults->stringForKey(kLoginEmailDefaultsKey).has_value());
  }

  void refusedStoredKeyThenPasswordTypedLogsIn() {
    auto defaults = platform::UserDefaults::standardUserDefaults();
    defaults->setObject(platform::Value("demo@varnelvpn.test"), kLoginEmailDefaultsKey);
    LoginController::storeAPIKey("ZZZZKEY7Q2W9E4R6T1Y3");
    LoginController* login = makeLogin();
    QCOMPARE(login->emailInput()->text(), QString("demo@varnelvpn.test"));
    QVERIFY(waitFor([&] { return login->errorAlert() != nullptr; }, 20000));
    login->errorAlert()->buttons().first()->click();
    QVERIFY(waitFor([&] { return login->passwordInput()->isEnabled(); }));
    // The user types the password beside the e-mail shown: both are sent.
    login->passwordInput()->clear();
    QTest::keyClicks(login->passwordInput(), "demo-password");
    login->loginButton()->click();
    QVERIFY(waitFor([&] { return login->dialerViewController() != nullptr; }, 20000));
  }

  void linksLookLikeLinks() {
    LoginController* login = makeLogin();
    const QColor link = login->palette().color(QPalette::Link);
    // Drawn in the desktop's link colour (the underline is drawn solid).
    auto drawsIn = [](QWidget* w, const QColor& colour) {
      const QImage image = w->grab().toImage();
      for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
          if (image.pixelColor(x, y).rgb() == colour.rgb()) return true;
      return false;
    };
    QVERIFY(drawsIn(login->orderButton(), link));
    QVERIFY(drawsIn(login->resetButton(), link));
    QCOMPARE(login->resetButton()->textColor(), link);
    QCOMPARE(login->orderButton()->cursor().shape(), Qt::PointingHandCursor);
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QApplication::sendEvent(login->resetButton(), &enter);
    QCOMPARE(login->resetButton()->cursor().shape(), Qt::PointingHandCursor);
  }

  void refusedHelperInstallEndsTheApplication() {
    installResult_ = false;
    LoginController* login = makeLogin();
    login->emailInput()->setText("demo@varnelvpn.test");
    login->passwordInput()->setText("demo-password");
    login->loginButton()->click();
    // The user is told why before the application ends.
    QVERIFY(waitFor([&] { return login->helperFailureAlert() != nullptr; }, 20000));
    QMessageBox* alert = login->helperFailureAlert();
    QVERIFY(alert->isVisible());
    QCOMPARE(alert->text(), QString(client::ui::kHelperFailureMessage));
    QVERIFY(!alert->informativeText().isEmpty());
    QCOMPARE(terminations_, 0);
    alert->buttons().first()->click();
    QVERIFY(waitFor([&] { return terminations_ == 1; }, 20000));
    QVERIFY(login->dialerViewController() == nullptr);
  }

  void logoutRemovesTheKeyAndTerminates() {
    LoginController::storeAPIKey(kDemoKey);
    makeLogin();
    delegate_->enableMenuItemsOnLogin();
    delegate_->logoutAction();
    QVERIFY(!keychainKey().has_value());
    QVERIFY(!delegate_->logoutMenuItem()->isEnabled());
    QCOMPARE(terminations_, 1);
  }

  void linksOpenThroughTheWorkspace() {
    QList<QUrl> opened;
    opener_ = [&](const QUrl& url) {
      opened << url;
      return true;
    };
    LoginController* login = makeLogin();
    login->orderButton()->click();
    QTest::mouseClick(login->resetButton(), Qt::LeftButton);
    opener_ = nullptr;
    QCOMPARE(opened.size(), 2);
    QCOMPARE(opened[0].path(), QString("/services/varnelvpn/"));
    QCOMPARE(opened[1].path(), QString("/services/intranet/password_reset/"));
  }
};

VARNEL_UI_TEST_MAIN(LoginTest)
#include "login_test.moc"
