#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

#include "account-service/account_service.h"
#include "client/core/account_manager.h"
#include "client/core/connection_state.h"
#include "client/core/move_to_applications.h"
#include "client/core/pudip_client.h"
#include "client/core/server_model.h"
#include "client/ui/app_delegate.h"
#include "client/ui/app_icon.h"
#include "client/ui/diagnostics_view_controller.h"
#include "client/ui/dialer_controller.h"
#include "client/ui/eula_window_controller.h"
#include "client/ui/login_controller.h"
#include "client/ui/move_to_applications_alert.h"
#include "client/ui/paned_preferences_window_controller.h"
#include "client/ui/server_controller.h"
#include "client/ui/text_fit.h"
#include "client/ui/vr_menu_item.h"
#include "platform/system/notification_center.h"
#include "ui_test_support.h"

using namespace client::ui;
using varnel::testing::waitFor;

// Saves pictures of every window and dialog as PNG files in
// VARNEL_SCREENSHOT_DIR (the build folder), title bar included when a window
// manager runs (openbox, started here when installed), so that anyone can
// look at them; the build runs it at 100 % and at 200 % (QT_SCALE_FACTOR).
// Each window is also checked for text that does not fit: an elided title,
// a label, button or table cell narrower than its text. Besides the windows
// it pictures every alert: log-in refused, switch failed, another account
// while connected, Preferences refused, the offer to move into the
// Applications folder and its failure, and the helper installation failed.
class ScreenshotsTest : public QObject {
  Q_OBJECT
 private:
  QString folder_;
  QProcess windowManager_;

  bool decorated(QWidget* window) const {
    return windowManager_.state() == QProcess::Running &&
           window->frameGeometry().height() > window->geometry().height();
  }

  // The shown alert of that object name, once there is one.
  static QMessageBox* shownAlert(const QString& name) {
    QMessageBox* found = nullptr;
    waitFor([&] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box != nullptr && box->isVisible() && box->objectName() == name) found = box;
      }
      return found != nullptr;
    });
    return found;
  }

  // Pictures a modal alert that `run` shows (and returns from only once it is
  // answered), then answers it with the button of `answer`.
  void saveModal(const QString& alert, const QString& name, const QString& answer,
                 const std::function<void()>& run) {
    bool pictured = false;
    QTimer::singleShot(0, this, [&] {
      QMessageBox* box = shownAlert(alert);
      if (box == nullptr) return;
      save(box, name);
      pictured = !QTest::currentTestFailed();
      for (QAbstractButton* button : box->buttons()) {
        if (button->text() == answer) button->click();
      }
      if (box->isVisible()) box->reject();
    });
    run();
    QVERIFY2(pictured, qPrintable(name));
  }

  void save(QWidget* window, const QString& name) {
    window->show();
    window->raise();
    window->activateWindow();
    QVERIFY2(QTest::qWaitForWindowExposed(window), qPrintable(name));
    if (windowManager_.state() == QProcess::Running) {
      // The frame comes with the window manager's reparenting; without it
      // (a sheet the manager left bare) the window alone is taken.
      if (!waitFor([&] { return decorated(window); }, 5000)) {
        qWarning("%s: no frame from the window manager yet (%dx%d, frame %dx%d, size hint %dx%d)",
                 qPrintable(name), window->width(), window->height(),
                 window->frameGeometry().width(), window->frameGeometry().height(),
                 window->sizeHint().width(), window->sizeHint().height());
        window->resize(window->size().expandedTo(window->sizeHint()));
        window->raise();
        if (!waitFor([&] { return decorated(window); }))
          qWarning("%s: no frame from the window manager (%dx%d, frame %dx%d)", qPrintable(name),
                   window->width(), window->height(), window->frameGeometry().width(),
                   window->frameGeometry().height());
      }
    }
    QTest::qWait(50);  // let the last fade and repaint reach the screen
    const QStringList cut = client::ui::cutTexts(window);
    QVERIFY2(cut.isEmpty(), qPrintable(name + ": " + cut.join("; ")));
    QPixmap picture;
    if (decorated(window)) {
      const QRect frame = window->frameGeometry();
      picture =
          window->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    } else {
      picture = window->grab();
    }
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
    // Titles read as in the program (alerts without one show its name).
    QApplication::setApplicationName("VarnelVPN Client");
    // Title bars show the application's icon, as in the program.
    QApplication::setWindowIcon(client::ui::applicationIcon());
    QGuiApplication::setDesktopFileName(client::ui::kApplicationIconName);
    folder_ = qEnvironmentVariable("VARNEL_SCREENSHOT_DIR", QDir::currentPath());
    QVERIFY(QDir().mkpath(folder_));
    const QString openbox = QStandardPaths::findExecutable("openbox");
    if (!openbox.isEmpty() && QGuiApplication::platformName() == "xcb") {
      windowManager_.setProgram(openbox);
      windowManager_.setArguments({"--sm-disable"});
      windowManager_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
      windowManager_.start();
      QVERIFY(windowManager_.waitForStarted(15000));
      // Ready once it names itself on the root window.
      const QString wmctrl = QStandardPaths::findExecutable("wmctrl");
      if (!wmctrl.isEmpty()) {
        QVERIFY(waitFor(
            [&] {
              QProcess ask;
              ask.start(wmctrl, {"-m"});
              return ask.waitForFinished(2000) && ask.exitCode() == 0;
            },
            15000));
      }
      // A window mapped while the window manager still starts up may be
      // left unexposed: the first one is shown again until it is.
      QWidget first;
      first.resize(200, 100);
      bool exposed = false;
      for (int attempt = 0; attempt < 3 && !exposed; ++attempt) {
        first.show();
        exposed = QTest::qWaitForWindowExposed(&first, 10000);
        first.hide();
      }
      QVERIFY(exposed);
    }
  }

  void cleanupTestCase() {
    if (windowManager_.state() == QProcess::NotRunning) return;
    windowManager_.terminate();
    if (!windowManager_.waitForFinished(5000)) windowManager_.kill();
  }

  // A window's text and title fit, through the same check.
  void theCheckSeesCutText() {
    QWidget window;
    window.setWindowTitle("A rather long title for a window this narrow");
    auto* label = new QLabel("A label with more words than room", &window);
    label->setObjectName("narrowLabel");
    window.resize(120, 40);
    label->setGeometry(0, 0, 60, 20);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QString cut = client::ui::cutTexts(&window).join("; ");
    QVERIFY2(cut.contains("title of"), qPrintable(cut));
    QVERIFY2(cut.contains("narrowLabel: A label with more words than room"), qPrintable(cut));
    label->setGeometry(0, 0, label->sizeHint().width(), 20);
    window.resize(client::ui::titleRoom(&window) + 20, 40);
    QVERIFY(
        waitFor([&] { return window.frameGeometry().width() >= client::ui::titleRoom(&window); }));
    QCOMPARE(client::ui::cutTexts(&window), QStringList());
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

    // A log-in the service refuses.
    login->passwordInput()->setText("not-the-password");
    login->loginButton()->click();
    QVERIFY(waitFor([&] { return login->errorAlert() != nullptr; }, 10000));
    save(login->errorAlert(), "alert-login-failed");
    login->errorAlert()->buttons().first()->click();
    QVERIFY(waitFor([&] { return login->loginButton()->isEnabled(); }));
    login->passwordInput()->setText("demo-password");

    login->loginButton()->click();
    QVERIFY(waitFor([&] { return login->dialerViewController() != nullptr; }, 20000));
    DialerController* dialer = login->dialerViewController();
    QVERIFY(waitFor([&] {
      return dialer->conStatusLabel()->text() == "Disconnected" &&
             dialer->ipLabel()->text() == "127.0.0.1" && !dialer->conStatusLabel()->isAnimating();
    }));
    save(dialer, "dialer-disconnected");

    // An error of several lines, as a failed connect shows it.
    dialer->showMessage(
        "The connection failed: the server did not answer on any of the ports tried.\n"
        "Check the network, or choose another server or connection type.");
    save(dialer, "dialer-error");
    dialer->showMessage("");

    delegate.openAboutWindow();
    save(delegate.aboutWindow(), "about");
    delegate.aboutWindow()->close();
    delegate.openEULAWindow();
    save(delegate.eulaWindowController(), "licence");
    delegate.eulaWindowController()->close();
    dialer->clickDiagnosticsButton();
    save(dialer->diagnosticsViewController(), "diagnostics");
    dialer->diagnosticsViewController()->close();

    dialer->clickChangeServerButton();
    ServerController* switcher = dialer->serverController();
    QVERIFY(switcher != nullptr);
    QVERIFY(waitFor([&] { return switcher->numberOfRows() > 0; }, 10000));
    save(switcher, "server-switcher");
    // A test whose tools fail: the speed and ping cells give the reason.
    switcher->serverTable()->selectRow(0);
    switcher->testSelectedServerAction();
    QVERIFY(waitFor([&] { return switcher->testsRunning() == 0; }, 20000));
    QVERIFY(switcher->serverTable()->item(0, 3)->text().startsWith("N/A"));
    save(switcher, "server-switcher-tested");
    // A switch the service refuses.
    service->setFault("/switch/", account_service::Fault::statusCode(500, 1));
    switcher->serverTable()->selectRow(1);
    switcher->switchSelectedServer();
    QMessageBox* switchFailed = shownAlert("switchFailedAlert");
    QVERIFY(switchFailed != nullptr);
    save(switchFailed, "alert-switch-failed");
    switchFailed->buttons().first()->click();
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

    // Another account while connected: the connection keeps its own.
    VRMenuItem* other = nullptr;
    for (QAction* action : dialer->subMenu()->actions()) {
      if (auto* item = qobject_cast<VRMenuItem*>(action); item && !item->isChecked()) other = item;
    }
    QVERIFY(other != nullptr);
    dialer->menuBarAccountSelected(other);
    QMessageBox* switched = shownAlert(kAccountSwitchWhileConnectedAlertName);
    QVERIFY(switched != nullptr);
    save(switched, "alert-account-switch-while-connected");
    switched->buttons().first()->click();

    // Alerts: Preferences refused while connected.
    delegate.openPreferencesWindow();
    QMessageBox* refused = nullptr;
    QVERIFY(waitFor([&] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) refused = box;
      }
      return refused != nullptr;
    }));
    save(refused, "alert-preferences-refused");
    refused->buttons().first()->click();
  }

  // The alerts of the start-up and of a failed helper installation.
  void startAndHelperAlerts() {
    // The offer to move into the Applications folder, for a client started
    // from elsewhere, and the alert of a move that failed.
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    QVERIFY(QDir().mkpath(elsewhere.filePath("VarnelVPN Client")));
    client::MoveToApplicationsOptions options;
    options.bundlePath = elsewhere.filePath("VarnelVPN Client").toStdString();
    options.executableName = "VarnelVPN Client";
    options.exitProcess = [](int) { QFAIL("the client was moved"); };
    MoveToApplicationsAlert alert;
    saveModal("moveToApplicationsAlert", "alert-move-to-applications", "Do Not Move",
              [&] { client::offerMoveToApplicationsFolder(&alert, options); });
    saveModal("moveToApplicationsErrorAlert", "alert-move-failed", "OK",
              [&] { alert.showError(client::kCouldNotMoveMessage); });

    // A log-in whose helper installation fails.
    auto service = varnel::testing::startDemoService();
    AppDelegate::Seams seams;
    seams.installHelper = [] { return false; };
    seams.helperRequestFactory = [](std::weak_ptr<client::HelperRequestDelegate>) {
      return std::make_shared<varnel::testing::FakeHelperRequest>();
    };
    bool terminated = false;
    seams.terminate = [&] { terminated = true; };
    seams.offerMoveToApplicationsFolder = [] {};
    AppDelegate delegate(client::VRAccountManager::create(client::VRPUDIPClient::make()), seams);
    delegate.launch();
    LoginController* login = delegate.loginController();
    // The key stored by an earlier log-in logs in by itself; else by hand.
    if (login->loginButton()->isEnabled()) {
      login->emailInput()->setText("demo@varnelvpn.test");
      login->passwordInput()->setText("demo-password");
      login->loginButton()->click();
    }
    QVERIFY(waitFor([&] { return login->helperFailureAlert() != nullptr; }, 20000));
    save(login->helperFailureAlert(), "alert-helper-installation-failed");
    login->helperFailureAlert()->buttons().first()->click();
    QVERIFY(waitFor([&] { return terminated; }));
  }
};

VARNEL_UI_TEST_MAIN(ScreenshotsTest)
#include "screenshots_test.moc"
