#include <QDir>
#include <QFile>
#include <QLayout>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTest>

#include "account-service/account_service.h"
#include "client/core/account_manager.h"
#include "client/core/app_startup.h"
#include "client/core/connection_failure.h"
#include "client/core/connection_state.h"
#include "client/core/pudip_client.h"
#include "client/ui/app_delegate.h"
#include "client/ui/diagnostics_view_controller.h"
#include "client/ui/dialer_controller.h"
#include "client/ui/login_controller.h"
#include "client/ui/paned_preferences_window_controller.h"
#include "client/ui/server_controller.h"
#include "client/ui/text_fit.h"
#include "client/ui/vr_menu_item.h"
#include "client/ui/workspace.h"
#include "platform/system/notification_center.h"
#include "ui_test_support.h"

using namespace client::ui;
using client::DialerStatus;
using varnel::testing::FakeHelperRequest;
using varnel::testing::waitFor;

namespace {
QMessageBox* visibleAlert(QWidget* window) {
  for (auto* box : window->findChildren<QMessageBox*>()) {
    if (box->isVisible()) return box;
  }
  return nullptr;
}
}  // namespace

class DialerTest : public QObject {
  Q_OBJECT
 private:
  std::unique_ptr<account_service::AccountService> service_;
  std::unique_ptr<AppDelegate> delegate_;
  // What the windows open pages with (the desktop when empty).
  Workspace::Opener opener_;
  std::shared_ptr<FakeHelperRequest> request_;
  DialerController* dialer_ = nullptr;
  int terminations_ = 0;

  QList<QAction*> menuItems() const { return dialer_->statusBarMenu()->actions(); }

  void post(const char* name) { platform::NotificationCenter::defaultCenter().post(name); }

 private slots:
  void init() {
    varnel::testing::resetDefaults();
    service_ = varnel::testing::startDemoService();
    AppDelegate::Seams seams;
    seams.installHelper = [] { return true; };
    seams.helperRequestFactory = [this](std::weak_ptr<client::HelperRequestDelegate>) {
      request_ = std::make_shared<FakeHelperRequest>();
      return request_;
    };
    terminations_ = 0;
    seams.terminate = [this] { ++terminations_; };
    seams.offerMoveToApplicationsFolder = [] {};
    seams.openURL = [this](const QUrl& url) {
      return opener_ ? opener_(url) : Workspace::openURL(url);
    };
    delegate_ = std::make_unique<AppDelegate>(
        client::VRAccountManager::create(client::VRPUDIPClient::make()), seams);
    delegate_->launch();
    LoginController* login = delegate_->loginController();
    login->emailInput()->setText("demo@varnelvpn.test");
    login->passwordInput()->setText("demo-password");
    login->loginButton()->click();
    QVERIFY(waitFor([&] { return login->dialerViewController() != nullptr; }, 20000));
    dialer_ = login->dialerViewController();
  }
  void cleanup() {
    delegate_.reset();
    opener_ = nullptr;
    service_.reset();
    request_.reset();
  }

  void disconnectedWindowAndMenu() {
    QCOMPARE(dialer_->status(), DialerStatus::Disconnected);
    QVERIFY(waitFor([&] { return dialer_->conStatusLabel()->text() == "Disconnected"; }));
    QVERIFY(waitFor([&] { return dialer_->ipLabel()->text() == "127.0.0.1"; }));
    QVERIFY(dialer_->connectButton()->isVisibleTo(dialer_));
    QVERIFY(dialer_->changeLocationButton()->isVisibleTo(dialer_));
    QVERIFY(!dialer_->disconnectButton()->isVisibleTo(dialer_));
    QCOMPARE(dialer_->connectLabel()->text(), QString("Connect"));
    auto items = menuItems();
    QCOMPARE(items.size(), 7);
    QStringList titles;
    for (auto* item : items) titles << (item->isSeparator() ? "-" : item->text());
    QCOMPARE(titles,
             QStringList({"Connect", "-", "Active Account", "-", "Preferences", "About", "Quit"}));
    QVERIFY(items[0]->isEnabled() && items[2]->isEnabled());
    QCOMPARE(dialer_->statusBarImageName(), QString("Status Bar Disconnected"));
    // The menu stays reachable without a tray.
    QCOMPARE(dialer_->menuButton()->menu(), dialer_->statusBarMenu());
  }

  void accountSubmenuFollowsTheCurrentAccount() {
    auto manager = delegate_->accountManager();
    auto accounts = manager->accounts();
    QVERIFY(accounts.size() >= 3);
    auto subItems = dialer_->subMenu()->actions();
    QCOMPARE(subItems.size(), static_cast<int>(accounts.size()));
    for (int i = 0; i < subItems.size(); ++i) {
      auto* item = qobject_cast<VRMenuItem*>(subItems[i]);
      QVERIFY(item != nullptr);
      QCOMPARE(item->account(), accounts[i]);
      QCOMPARE(item->isChecked(), accounts[i] == manager->currentAccount());
      QCOMPARE(item->text(), QString::fromStdString(accounts[i]->accountString()));
    }
    subItems[2]->trigger();
    QCOMPARE(manager->currentAccount(), accounts[2]);
    QVERIFY(waitFor([&] {
      auto now = dialer_->subMenu()->actions();
      return now.size() == static_cast<int>(accounts.size()) && now[2]->isChecked() &&
             !now[0]->isChecked();
    }));
    QCOMPARE(dialer_->selectedAccountLabel()->text(),
             QString::fromStdString(manager->currentAccountString()));
    QCOMPARE(dialer_->selectedAccountLabel()->toolTip(),
             QString::fromStdString(manager->currentAccountLongString()));
  }

  void connectCycleDrivesLabelsAndMenu() {
    // Connecting: the control cancels; the helper request starts once the
    // API client is idle. The window keeps its size through the cycle.
    const QSize window = dialer_->size();
    menuItems()[0]->trigger();
    QCOMPARE(dialer_->size(), window);
    QCOMPARE(dialer_->status(), DialerStatus::Connecting);
    QCOMPARE(dialer_->conStatusLabel()->text(), QString("Connecting"));
    QCOMPARE(dialer_->connectionTimeLabel()->text(), QString("Connecting"));
    QCOMPARE(dialer_->disconnectLabel()->text(), QString("Cancel"));
    QVERIFY(dialer_->disconnectButton()->isVisibleTo(dialer_));
    QCOMPARE(menuItems()[0]->text(), QString("Connect"));
    QVERIFY(waitFor([&] { return request_ && request_->starts == 1; }));

    // Preferences are refused while not Disconnected, with a sheet on the dialer.
    delegate_->openPreferencesWindow();
    QVERIFY(delegate_->preferencesWindowController() == nullptr);
    QMessageBox* alert = visibleAlert(dialer_);
    QVERIFY(alert != nullptr);
    QCOMPARE(alert->text(), QString(client::kPreferencesGuardMessage));
    QCOMPARE(alert->informativeText(), QString(client::kPreferencesGuardInformativeText));
    alert->buttons().first()->click();

    post(client::kVPNConnectNotification);
    QCOMPARE(dialer_->status(), DialerStatus::Connected);
    QCOMPARE(dialer_->conStatusLabel()->text(), QString("Connected"));
    QCOMPARE(dialer_->disconnectLabel()->text(), QString("Disconnect"));
    QCOMPARE(menuItems()[0]->text(), QString("Disconnect"));
    QVERIFY(menuItems()[0]->isEnabled());
    QCOMPARE(dialer_->statusBarImageName(), QString("Status Bar Connected"));
    QVERIFY(!dialer_->lastUserNotification().isEmpty());
    // The connected time ticks.
    QVERIFY(waitFor([&] { return dialer_->connectionTimeLabel()->text() == "0:01"; }, 4000));
    // Change location does nothing while connected.
    dialer_->clickChangeServerButton();
    QVERIFY(dialer_->serverController() == nullptr);

    menuItems()[0]->trigger();
    QCOMPARE(dialer_->status(), DialerStatus::Disconnecting);
    QCOMPARE(request_->disconnects, 1);
    QVERIFY(
        waitFor([&] { return dialer_->connectionTimeLabel()->text() == "Not Connected"; }, 4000));
    post(client::kVPNDisconnectNotification);
    QCOMPARE(dialer_->status(), DialerStatus::Disconnected);
    QCOMPARE(dialer_->size(), window);
    QCOMPARE(menuItems()[0]->text(), QString("Connect"));
    QCOMPARE(dialer_->statusBarImageName(), QString("Status Bar Disconnected"));
    QVERIFY(waitFor([&] { return dialer_->conStatusLabel()->text() == "Disconnected"; }));

    // Disconnected again: Preferences opens, and the server switcher is made once.
    delegate_->openPreferencesWindow();
    QVERIFY(delegate_->preferencesWindowController() != nullptr);
    delegate_->openProtocolPreferences();
    QCOMPARE(delegate_->preferencesWindowController()->indexOfSelectedController(), 3);
    dialer_->clickChangeServerButton();
    ServerController* switcher = dialer_->serverController();
    QVERIFY(switcher != nullptr && switcher->isVisible());
    switcher->hide();
    dialer_->clickChangeServerButton();
    QCOMPARE(dialer_->serverController(), switcher);
    QVERIFY(switcher->isVisible());
  }

  void droppedConnectionReconnects() {
    menuItems()[0]->trigger();
    QVERIFY(waitFor([&] { return request_ && request_->starts == 1; }));
    post(client::kVPNConnectNotification);
    post(client::kVPNDisconnectNotification);
    QCOMPARE(dialer_->status(), DialerStatus::Reconnecting);
    QCOMPARE(request_->starts, 2);
    QCOMPARE(dialer_->disconnectLabel()->text(), QString("Cancel"));
    QVERIFY(waitFor([&] { return dialer_->conStatusLabel()->text() == "Reconnecting"; }));
  }

  void locationAndProtocolLinesFollowTheSelection() {
    auto manager = delegate_->accountManager();
    QVERIFY(waitFor([&] { return manager->currentServer() != nullptr; }, 10000));
    auto expectedLocation = [&] {
      auto server = manager->currentServer();
      return QString::fromStdString(server->cityName() + ", " + server->countryName());
    };
    QVERIFY(waitFor([&] { return dialer_->countryLabel()->text() == expectedLocation(); }));
    QVERIFY(!dialer_->countryLabel()->text().isEmpty());
    QCOMPARE(dialer_->selectedProtocolLabel()->text(),
             QString::fromStdString(*manager->connectionTypeString()));

    // Another account: its server's city.
    auto accounts = manager->accounts();
    int open = -1;
    for (int i = 0; i < static_cast<int>(accounts.size()); ++i) {
      if (accounts[i]->isOpenAccount() && accounts[i] != manager->currentAccount()) open = i;
    }
    QVERIFY(open >= 0);
    dialer_->subMenu()->actions()[open]->trigger();
    QVERIFY(waitFor(
        [&] {
          return manager->currentAccount() == accounts[open] &&
                 manager->currentServer() != nullptr &&
                 manager->currentServer()->cityName() == accounts[open]->city().asString() &&
                 dialer_->countryLabel()->text() == expectedLocation();
        },
        10000));
    QCOMPARE(dialer_->selectedProtocolLabel()->text(),
             QString::fromStdString(*manager->connectionTypeString()));

    // Another connection type shows once the window is back in front.
    manager->setConnectionType(client::kConnectionTypeOpenVPNTCP);
    dialer_->refreshConnectionDetails();
    QCOMPARE(dialer_->selectedProtocolLabel()->text(), QString("OpenVPN TCP"));
    manager->setConnectionType(client::kConnectionTypeOpenVPNUDP);
    dialer_->refreshConnectionDetails();
    QCOMPARE(dialer_->selectedProtocolLabel()->text(), QString("OpenVPN UDP"));
  }

  void statusAndTheLineBelowAgree() {
    // A fade still running from an earlier state never puts its text back.
    dialer_->conStatusLabel()->setAnimatedStringValue("Disconnected (old)", 0.3);
    menuItems()[0]->trigger();
    QCOMPARE(dialer_->conStatusLabel()->text(), QString("Connecting"));
    QCOMPARE(dialer_->connectionTimeLabel()->text(), QString("Connecting"));
    QVERIFY(waitFor([&] { return request_ && request_->starts == 1; }));
    post(client::kVPNConnectNotification);
    // Connected at once over a connected time, not over "Connecting".
    QCOMPARE(dialer_->conStatusLabel()->text(), QString("Connected"));
    QVERIFY2(QRegularExpression("^\\d+:\\d\\d$")
                 .match(dialer_->connectionTimeLabel()->text())
                 .hasMatch(),
             qPrintable(dialer_->connectionTimeLabel()->text()));
    QVERIFY(!waitFor([&] { return dialer_->conStatusLabel()->text() != "Connected"; }, 1000));

    // Cancelled while connecting: "Disconnected" over "Not Connected".
    menuItems()[0]->trigger();
    post(client::kVPNDisconnectNotification);
    QCOMPARE(dialer_->status(), DialerStatus::Disconnected);
    menuItems()[0]->trigger();
    QCOMPARE(dialer_->connectionTimeLabel()->text(), QString("Connecting"));
    menuItems()[0]->trigger();  // cancel
    post(client::kVPNDisconnectNotification);
    QCOMPARE(dialer_->status(), DialerStatus::Disconnected);
    QCOMPARE(dialer_->connectionTimeLabel()->text(), QString("Not Connected"));
    QVERIFY(waitFor([&] { return dialer_->conStatusLabel()->text() == "Disconnected"; }));
  }

  void trayIconBringsTheWindowBack() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
      // Nothing could bring a hidden window back: closing minimises it.
      dialer_->close();
      QVERIFY(dialer_->isVisible());
      QVERIFY(dialer_->isMinimized());
    }
    dialer_->hide();
    QVERIFY(!dialer_->isVisible());
    emit dialer_->statusBarIcon()->activated(QSystemTrayIcon::Trigger);
    QVERIFY(dialer_->isVisible());
    dialer_->showMinimized();
    emit dialer_->statusBarIcon()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(dialer_->isVisible() && !dialer_->isMinimized());
  }

  void connectButtonStaysPutAsMessagesComeAndGo() {
    auto place = [&] {
      dialer_->layout()->activate();
      return QRect(dialer_->connectButton()->mapTo(dialer_, QPoint(0, 0)),
                   dialer_->connectButton()->size());
    };
    const QRect before = place();
    const QSize window = dialer_->size();
    QStringList lines;
    for (int n = 1; n <= DialerController::kMessageLines; ++n) {
      lines << QString("Line %1 of why it failed").arg(n);
      dialer_->showMessage(lines.join('\n'));
      QCOMPARE(place(), before);
      QCOMPARE(dialer_->size(), window);
      QVERIFY(dialer_->messageLabel()->toolTip().isEmpty());
      // Every line shows whole.
      QVERIFY(dialer_->messageLabel()->geometry().bottom() <
              dialer_->messageLabel()->parentWidget()->height());
    }
    dialer_->showWarning("The route to 10.0.0.0/8 could not be added.");
    QCOMPARE(place(), before);
    // Too long for the room: the whole text stays readable in the tool tip.
    const QString story = QString("The server did not answer. ").repeated(20);
    dialer_->showMessage(story);
    QCOMPARE(place(), before);
    QCOMPARE(dialer_->messageLabel()->toolTip(), story);
    // A path wider than the window wraps inside the window, cut nowhere.
    dialer_->showWarning("");
    const QString path =
        "The configuration /var/lib/varnel/connections/premium-w1001-amsterdam-netherlands-"
        "openvpn-udp-port-1289/client-profile-generated.conf could not be read.";
    dialer_->showMessage(path);
    dialer_->layout()->activate();
    QCOMPARE(client::ui::cutTexts(dialer_), QStringList());
    QCOMPARE(dialer_->messageLabel()->text().remove(QChar(0x200B)), path);
    QCOMPARE(place(), before);
    // Short words are left alone.
    dialer_->showMessage("The server did not answer.");
    QCOMPARE(dialer_->messageLabel()->text(), QString("The server did not answer."));
    dialer_->showMessage("");
    QCOMPARE(place(), before);
    QVERIFY(!dialer_->messageLabel()->isVisibleTo(dialer_));
  }

  void trayToolTipTellsStateLocationAndTime() {
    QSystemTrayIcon* tray = dialer_->statusBarIcon();
    QCOMPARE(tray->toolTip(), QString("VarnelVPN Client: Disconnected"));
    menuItems()[0]->trigger();
    QCOMPARE(tray->toolTip(), QString("VarnelVPN Client: Connecting"));
    QVERIFY(waitFor([&] { return request_ && request_->starts == 1; }));
    post(client::kVPNConnectNotification);
    const QString location = dialer_->countryLabel()->text();
    QVERIFY(!location.isEmpty());
    QVERIFY2(
        QRegularExpression("^VarnelVPN Client: Connected\n" + QRegularExpression::escape(location) +
                           "\nConnected for \\d+:\\d\\d$")
            .match(tray->toolTip())
            .hasMatch(),
        qPrintable(tray->toolTip()));
    // The time in the tip ticks with the window's clock.
    QVERIFY(waitFor([&] { return tray->toolTip().endsWith("Connected for 0:01"); }, 4000));
    // A drop: the tip says so, without a stale location or time.
    post(client::kVPNDisconnectNotification);
    QCOMPARE(dialer_->status(), DialerStatus::Reconnecting);
    QCOMPARE(tray->toolTip(), QString("VarnelVPN Client: Reconnecting"));
    menuItems()[0]->trigger();
    post(client::kVPNDisconnectNotification);
    QCOMPARE(dialer_->status(), DialerStatus::Disconnected);
    QCOMPARE(tray->toolTip(), QString("VarnelVPN Client: Disconnected"));
  }

  void quitWhileConnectedDisconnectsFirst() {
    menuItems()[0]->trigger();
    QVERIFY(waitFor([&] { return request_ && request_->starts == 1; }));
    post(client::kVPNConnectNotification);
    QCOMPARE(dialer_->status(), DialerStatus::Connected);
    menuItems()[6]->trigger();  // Quit
    QCOMPARE(request_->disconnects, 1);
    QCOMPARE(dialer_->status(), DialerStatus::Disconnecting);
    QCOMPARE(terminations_, 0);
    delegate_->quitMenuItem()->trigger();  // a second Quit sends nothing more
    QCOMPARE(request_->disconnects, 1);
    QCOMPARE(terminations_, 0);
    post(client::kVPNDisconnectNotification);  // the helper took it down
    QVERIFY(waitFor([&] { return terminations_ == 1; }));
    // Disconnected: Quit ends at once.
    delegate_->terminate();
    QCOMPARE(terminations_, 2);
    // Ending the application closes the window for good (a window that
    // refuses to close calls the application's quit off).
    QVERIFY(dialer_->close());
    dialer_->setQuitting(false);
    dialer_->show();

    // A helper that never confirms does not keep the program from ending.
    request_.reset();
    menuItems()[0]->trigger();
    QVERIFY(waitFor([&] { return request_ && request_->starts == 1; }));
    post(client::kVPNConnectNotification);
    bool done = false;
    dialer_->disconnectThen([&] { done = true; }, 200);
    QCOMPARE(request_->disconnects, 1);
    QVERIFY(!done);
    QVERIFY(waitFor([&] { return done; }, 5000));
    QCOMPARE(dialer_->status(), DialerStatus::Disconnecting);
  }

  void accountChangeWhileConnectedSaysWhatHappens() {
    auto manager = delegate_->accountManager();
    QVERIFY(waitFor([&] { return !dialer_->countryLabel()->text().isEmpty(); }, 10000));
    const QString location = dialer_->countryLabel()->text();
    const QString protocol = dialer_->selectedProtocolLabel()->text();
    menuItems()[0]->trigger();
    QVERIFY(waitFor([&] { return request_ && request_->starts == 1; }));
    post(client::kVPNConnectNotification);
    auto accounts = manager->accounts();
    auto running = manager->currentAccount();
    QVERIFY(running != accounts[2]);
    dialer_->subMenu()->actions()[2]->trigger();
    auto* alert = dialer_->findChild<QMessageBox*>(kAccountSwitchWhileConnectedAlertName);
    QVERIFY(alert != nullptr && alert->isVisible());
    // Each account's name is kept on one line (no break at its space).
    auto unbroken = [](const client::BaseAccount::Ptr& account) {
      return QString::fromStdString(account->accountString()).replace(' ', QChar(0x00A0));
    };
    QVERIFY(alert->text().contains(unbroken(accounts[2])));
    QVERIFY(alert->informativeText().contains(unbroken(running)));
    QCOMPARE(alert->buttons().first()->text(), QString("OK"));
    alert->buttons().first()->click();
    // The lines keep describing the running connection, its account too.
    QTest::qWait(50);
    QCOMPARE(dialer_->selectedAccountLabel()->text(),
             QString::fromStdString(running->accountString()));
    QCOMPARE(dialer_->countryLabel()->text(), location);
    QCOMPARE(dialer_->selectedProtocolLabel()->text(), protocol);
    QCOMPARE(dialer_->status(), DialerStatus::Connected);
    QCOMPARE(request_->disconnects, 0);
    // A drop and its reconnect are still the running connection.
    post(client::kVPNDisconnectNotification);
    QCOMPARE(dialer_->status(), DialerStatus::Reconnecting);
    QCOMPARE(dialer_->selectedAccountLabel()->text(),
             QString::fromStdString(running->accountString()));
    // Once it has ended, the window shows the chosen account.
    menuItems()[0]->trigger();
    QCOMPARE(dialer_->status(), DialerStatus::Disconnecting);
    post(client::kVPNDisconnectNotification);
    QVERIFY(waitFor([&] {
      return dialer_->selectedAccountLabel()->text() ==
             QString::fromStdString(accounts[2]->accountString());
    }));
  }

  // The test hook that the end-to-end tests read: what the window shows,
  // written to a file whenever it changes.
  void visibleStateFileFollowsTheWindow() {
    const QString path = QDir(QDir::tempPath()).filePath("dialer-visible-state.txt");
    auto file = [&] {
      QFile f(path);
      return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    auto shows = [&](const QStringList& lines) {
      return waitFor([&] {
        const QString text = file();
        for (const QString& line : lines)
          if (!text.contains(line + "\n")) return false;
        return true;
      });
    };
    dialer_->setVisibleStateFile(path);
    QVERIFY2(shows({"status: Disconnected", "control: Connect", "shield: grey",
                    "message: ", "tray: Status Bar Disconnected"}),
             qPrintable(file()));
    QVERIFY(file().contains(
        "account: " +
        QString::fromStdString(delegate_->accountManager()->currentAccount()->accountString()) +
        "\n"));
    menuItems()[0]->trigger();
    QVERIFY(shows({"status: Connecting", "control: Cancel", "shield: grey"}));
    QVERIFY(waitFor([&] { return request_ && request_->starts == 1; }));
    post(client::kVPNConnectNotification);
    QVERIFY2(shows({"status: Connected", "control: Disconnect", "control-enabled: yes",
                    "shield: green", "warning: ", "tray: Status Bar Connected"}),
             qPrintable(file()));
    // The helper lost the connection: Reconnecting with its reason, grey.
    dialer_->state()->helperRequestDidLoseConnection();
    QVERIFY2(shows({"status: Reconnecting", "shield: grey",
                    QString("message: ") + client::kConnectionLostDefaultMessage}),
             qPrintable(file()));
    // Back, with a route that could not be added: the warning beside it.
    dialer_->state()->helperRequestDidReportProblem(client::kRouteErrorMessage);
    post(client::kVPNConnectNotification);
    QVERIFY2(shows({"status: Connected", "shield: green",
                    "message: ", QString("warning: ") + client::kRouteErrorMessage}),
             qPrintable(file()));
    // A dialog over the window is listed while it is open: another account
    // chosen while connected.
    const auto accounts = delegate_->accountManager()->accounts();
    const auto running = delegate_->accountManager()->currentAccount();
    int other = 0;
    while (accounts[other] == running) ++other;
    dialer_->subMenu()->actions()[other]->trigger();
    QVERIFY2(waitFor([&] {
               return file().contains(QString("dialog: ") + kAccountSwitchWhileConnectedAlertName +
                                      ": ");
             }),
             qPrintable(file()));
    // The window still names the running connection's account.
    QVERIFY(file().contains("account: " + QString::fromStdString(running->accountString()) + "\n"));
    auto* alert = dialer_->findChild<QMessageBox*>(kAccountSwitchWhileConnectedAlertName);
    QVERIFY(alert != nullptr);
    alert->buttons().first()->click();
    QVERIFY(waitFor([&] { return !file().contains("dialog: "); }));
    // Stopped: nothing more is written; the test removes its file.
    dialer_->setVisibleStateFile("");
    QVERIFY(QFile::remove(path));
    menuItems()[0]->trigger();
    QTest::qWait(300);
    QVERIFY(!QFile::exists(path));
  }

  void secondaryWindowsOpenOverTheDialer() {
    dialer_->move(100, 80);
    auto near = [&](QWidget* w) {
      const QPoint d = w->frameGeometry().center() - dialer_->frameGeometry().center();
      return d.manhattanLength() < 40;
    };
    delegate_->openAboutWindow();
    QVERIFY(near(delegate_->aboutWindow()));
    // A dialog of the window the user works in (no task-bar entry of its
    // own), which Escape closes.
    QVERIFY(delegate_->aboutWindow()->parentWidget() != nullptr);
    QCOMPARE(delegate_->aboutWindow()->windowType(), Qt::Dialog);
    QTest::keyClick(delegate_->aboutWindow(), Qt::Key_Escape);
    QVERIFY(!delegate_->aboutWindow()->isVisible());
    delegate_->openAboutWindow();
    QVERIFY(delegate_->aboutWindow()->isVisible());
    delegate_->aboutWindow()->close();
    dialer_->clickChangeServerButton();
    QVERIFY(near(dialer_->serverController()));
    dialer_->serverController()->hide();
    dialer_->clickDiagnosticsButton();
    QVERIFY(near(dialer_->diagnosticsViewController()));
    delegate_->openPreferencesWindow();
    auto* preferences = delegate_->preferencesWindowController();
    QVERIFY(near(preferences));
    // Every pane, back and forth: one size, still over the dialer.
    const QRect first = preferences->geometry();
    for (std::size_t index : {1, 2, 3, 0, 3, 1}) {
      preferences->selectControllerAtIndex(index);
      QCOMPARE(preferences->indexOfSelectedController(), static_cast<int>(index));
      QCOMPARE(preferences->geometry(), first);
    }
    QVERIFY(near(preferences));
  }

  void buttonsOpenPagesAndWindows() {
    QList<QUrl> opened;
    opener_ = [&](const QUrl& url) {
      opened << url;
      return true;
    };
    // Without an address of its own, More Info still opens a web page.
    dialer_->clickMoreInfoButton();
    QCOMPARE(opened.size(), 1);
    QVERIFY(opened[0].scheme().startsWith("http"));
    dialer_->setNewsUrl(QUrl("https://varnelvpn.test/news"));
    dialer_->clickMoreInfoButton();
    dialer_->clickHelpButton();
    QCOMPARE(opened.size(), 3);
    QCOMPARE(opened[1], QUrl("https://varnelvpn.test/news"));
    QCOMPARE(opened[2].path(), QString("/live.html"));
    QVERIFY(dialer_->findChild<QMessageBox*>(kOpenURLFailedAlertName) == nullptr);

    // Where the desktop has nothing to open a page with, a dialog says so.
    opener_ = [](const QUrl&) { return false; };
    dialer_->clickHelpButton();
    auto* failed = dialer_->findChild<QMessageBox*>(kOpenURLFailedAlertName);
    QVERIFY(failed != nullptr && failed->isVisible());
    QVERIFY(failed->informativeText().contains("/live.html"));
    failed->buttons().first()->click();
    QVERIFY(waitFor(
        [&] { return dialer_->findChild<QMessageBox*>(kOpenURLFailedAlertName) == nullptr; }));
    dialer_->clickMoreInfoButton();
    failed = dialer_->findChild<QMessageBox*>(kOpenURLFailedAlertName);
    QVERIFY(failed != nullptr && failed->isVisible());
    QVERIFY(failed->informativeText().contains("varnelvpn.test/news"));
    failed->close();
    opener_ = nullptr;
    dialer_->clickDiagnosticsButton();
    QVERIFY(waitFor([&] { return dialer_->diagnosticsViewController()->isVisible(); }));
    menuItems()[5]->trigger();  // About
    QVERIFY(delegate_->aboutWindow() != nullptr && delegate_->aboutWindow()->isVisible());
  }
};

VARNEL_UI_TEST_MAIN(DialerTest)
#include "dialer_test.moc"
