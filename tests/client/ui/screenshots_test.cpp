#include <QDir>
#include <QPixmap>
#include <QSet>
#include <QTest>

#include "account-service/account_service.h"
#include "client/core/account_manager.h"
#include "client/core/connection_state.h"
#include "client/core/pudip_client.h"
#include "client/core/server_model.h"
#include "client/ui/app_delegate.h"
#include "client/ui/dialer_controller.h"
#include "client/ui/login_controller.h"
#include "client/ui/paned_preferences_window_controller.h"
#include "client/ui/server_controller.h"
#include "platform/system/notification_center.h"
#include "ui_test_support.h"

using namespace client::ui;
using varnel::testing::waitFor;

// Saves pictures of the windows as PNG files in VARNEL_SCREENSHOT_DIR (the
// build folder), so that anyone can look at them.
class ScreenshotsTest : public QObject {
  Q_OBJECT
 private:
  QString folder_;

  void save(QWidget* window, const QString& name) {
    window->show();
    window->raise();
    QTest::qWait(50);
    QPixmap picture = window->grab();
    QVERIFY(!picture.isNull());
    const QString path = folder_ + "/" + name + ".png";
    QVERIFY2(picture.save(path, "PNG"), qPrintable(path));
    // Something was drawn: text and controls give many colours.
    QImage image = picture.toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3) {
      for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
    }
    QVERIFY2(colours.size() > 8, qPrintable(name));
  }

 private slots:
  void initTestCase() {
    folder_ = qEnvironmentVariable("VARNEL_SCREENSHOT_DIR", QDir::currentPath());
    QVERIFY(QDir().mkpath(folder_));
  }

  void windows() {
    client::ServerModel::ToolPaths tools;
    tools.ping = "/nonexistent/ping";
    tools.curl = "/nonexistent/curl";
    tools.speedTestDomain = "";
    auto service = varnel::testing::startDemoService();
    AppDelegate::Seams seams;
    seams.installHelper = [] { return true; };
    std::shared_ptr<varnel::testing::FakeHelperRequest> request;
    seams.helperRequestFactory = [&](std::weak_ptr<client::HelperRequestDelegate>) {
      request = std::make_shared<varnel::testing::FakeHelperRequest>();
      return request;
    };
    seams.terminate = [] {};
    seams.offerMoveToApplicationsFolder = [] {};
    AppDelegate delegate(
        client::VRAccountManager::create(client::VRPUDIPClient::make(), nullptr, tools), seams);
    delegate.launch();
    LoginController* login = delegate.loginController();
    login->emailInput()->setText("demo@varnelvpn.test");
    login->passwordInput()->setText("demo-password");
    save(login, "login-window");

    login->loginButton()->click();
    QVERIFY(waitFor([&] { return login->dialerViewController() != nullptr; }, 20000));
    DialerController* dialer = login->dialerViewController();
    QVERIFY(waitFor([&] {
      return dialer->conStatusLabel()->text() == "Disconnected" &&
             dialer->ipLabel()->text() == "127.0.0.1" && !dialer->conStatusLabel()->isAnimating();
    }));
    save(dialer, "dialer-disconnected");

    dialer->clickChangeServerButton();
    ServerController* switcher = dialer->serverController();
    QVERIFY(switcher != nullptr);
    QVERIFY(waitFor([&] { return switcher->numberOfRows() > 0; }, 10000));
    save(switcher, "server-switcher");
    switcher->hide();

    delegate.openPreferencesWindow();
    PanedPreferencesWindowController* preferences = delegate.preferencesWindowController();
    QVERIFY(preferences != nullptr);
    const char* names[] = {"preferences-general", "preferences-accounts", "preferences-openvpn",
                           "preferences-advanced"};
    for (std::size_t i = 0; i < 4; ++i) {
      preferences->selectControllerAtIndex(i);
      save(preferences, names[i]);
    }
    preferences->hide();

    dialer->clickControlButton();
    QVERIFY(waitFor([&] { return request && request->starts == 1; }));
    platform::NotificationCenter::defaultCenter().post(client::kVPNConnectNotification);
    QVERIFY(waitFor([&] { return dialer->connectionTimeLabel()->text() == "0:01"; }, 4000));
    save(dialer, "dialer-connected");
  }
};

VARNEL_UI_TEST_MAIN(ScreenshotsTest)
#include "screenshots_test.moc"
