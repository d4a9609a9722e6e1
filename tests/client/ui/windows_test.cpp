#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTest>

#include "account-service/account_service.h"
#include "client/Singletons/varnel_log.h"
#include "client/core/account_manager.h"
#include "client/core/connection_state.h"
#include "client/ui/about_controller.h"
#include "client/ui/diagnostics_view_controller.h"
#include "client/ui/eula_window_controller.h"
#include "client/ui/server_controller.h"
#include "client/ui/text_fit.h"
#include "platform/system/bundle.h"
#include "platform/system/notification_center.h"
#include "ui_test_support.h"

using namespace client::ui;
using varnel::testing::waitFor;

namespace {
std::shared_ptr<const platform::Bundle> bundleWith(const QString& folder, const char* version) {
  return std::make_shared<platform::Bundle>(
      "/nonexistent/VarnelVPN Client", folder.toStdString(),
      platform::Value::dictionary({{platform::kCFBundleVersionKey, platform::Value(version)}}));
}
}  // namespace

class WindowsTest : public QObject {
  Q_OBJECT
 private slots:
  void init() { varnel::testing::resetDefaults(); }

  void windowsAndAlertsAreWideEnoughForTheirTitles() {
    client::ui::installTitleKeeper();
    QMessageBox box;
    box.setWindowTitle("VarnelVPN Client: the server switch failed");
    box.setText("No.");
    box.addButton("OK", QMessageBox::AcceptRole);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QVERIFY2(box.width() >= client::ui::titleRoom(&box), qPrintable(QString::number(box.width())));
    // Shown again, it does not grow any further.
    const int width = box.width();
    box.hide();
    box.show();
    QCOMPARE(box.width(), width);

    QWidget window;
    window.setWindowTitle("VarnelVPN Client preferences and more");
    window.resize(80, 60);
    window.show();
    QVERIFY(window.width() >= client::ui::titleRoom(&window));
    // A window that may not grow is left as it is.
    QWidget fixed;
    fixed.setWindowTitle("VarnelVPN Client preferences and more");
    fixed.setFixedSize(80, 60);
    fixed.show();
    QCOMPARE(fixed.width(), 80);
  }

  void diagnosticsFollowsTheLogAndCopies() {
    DiagnosticsViewController diagnostics;  // hidden: it follows the log all the same
    client::VarnelLog::sharedInstance().AddToLog("first line");
    QVERIFY(
        waitFor([&] { return diagnostics.diagLogView()->toPlainText().contains("first line"); }));
    client::VarnelLog::sharedInstance().AddToLog("second line");
    QVERIFY(
        waitFor([&] { return diagnostics.diagLogView()->toPlainText().contains("second line"); }));
    QCOMPARE(diagnostics.diagLogView()->toPlainText(),
             QString::fromStdString(client::VarnelLog::sharedInstance().GetLog()));
    QVERIFY(diagnostics.diagLogView()->toPlainText().trimmed().endsWith("second line"));
    QCOMPARE(diagnostics.diagLogView()->textCursor().position(),
             diagnostics.diagLogView()->document()->characterCount() - 1);

    diagnostics.copyLog();
    QVERIFY(!diagnostics.copiedToClipboardLabel()->isHidden());
    QCOMPARE(QApplication::clipboard()->text(), diagnostics.diagLogView()->toPlainText());
    QVERIFY(waitFor([&] { return diagnostics.copiedToClipboardLabel()->isHidden(); }, 4000));
  }

  void diagnosticsTakesABurstOfHelperLinesInOneGo() {
    // What a helper in a reconnect loop sends: many lines at once, into a
    // log that already holds a session's worth. The view adds the new text
    // to what it shows and ends up holding exactly the log.
    DiagnosticsViewController diagnostics;
    diagnostics.show();
    auto burst = [](int from, int to) {
      for (int i = from; i < to; ++i) {
        client::VarnelLog::sharedInstance().AddToLog(
            "2026-01-01 00:00:00:000 The connection to the server was lost (connection-failed); "
            "reconnecting. " +
            std::to_string(i));
      }
    };
    auto shows = [&](int last) {
      return waitFor(
          [&] {
            return diagnostics.diagLogView()->toPlainText().trimmed().endsWith(
                QString("reconnecting. %1").arg(last));
          },
          20000);
    };
    burst(0, 200);
    QVERIFY(shows(199));
    burst(200, 400);
    QVERIFY(shows(399));
    QCOMPARE(diagnostics.diagLogView()->toPlainText(),
             QString::fromStdString(client::VarnelLog::sharedInstance().GetLog()));
    QCOMPARE(diagnostics.diagLogView()->textCursor().position(),
             diagnostics.diagLogView()->document()->characterCount() - 1);
  }

  void aboutShowsVersionAndHidesOnClose() {
    QWidget window;
    auto* about = new AboutController(&window, bundleWith("/nonexistent", "1.2.0"));
    about->becomeDelegateOf(&window);
    QCOMPARE(about->versionNum()->text(), QString("Version 1.2.0"));
    window.setWindowModality(Qt::ApplicationModal);
    window.show();
    QVERIFY(!window.close());  // refused, but hidden
    QVERIFY(!window.isVisible());
    window.show();
    QVERIFY(window.isVisible());
  }

  void eulaShowsTheLicenceOrKeepsTheView() {
    const QString folder = QString::fromStdString(std::string(getenv("HOME"))) + "/eula";
    QDir().mkpath(folder);
    QFile file(folder + "/eula.txt");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("Licence \xc3\xa6 text\n");
    file.close();
    EULAWindowController eula(nullptr, bundleWith(folder, "1"));
    QCOMPARE(eula.eulaTextView()->toPlainText(), QString::fromUtf8("Licence \xc3\xa6 text\n"));

    EULAWindowController missing(nullptr, bundleWith(folder + "/none", "1"));
    QVERIFY(missing.eulaTextView()->toPlainText().isEmpty());
  }

  void serverTestShowsProgressThenFigures() {
    // Tools that answer once the test lets them (a marker file appears).
    const QString folder = QString::fromStdString(std::string(getenv("HOME"))) + "/tools";
    QDir().mkpath(folder);
    const QString marker = folder + "/go";
    QFile::remove(marker);
    auto tool = [&](const QString& name, const QString& body) {
      QFile file(folder + "/" + name);
      file.open(QIODevice::WriteOnly);
      file.write(
          QString("#!/bin/sh\nfor i in $(seq 400); do [ -e '%1' ] && break; sleep 0.05; done\n%2")
              .arg(marker, body)
              .toUtf8());
      file.close();
      file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
      return (folder + "/" + name).toStdString();
    };
    client::ServerModel::ToolPaths tools;
    tools.ping = tool("ping", "echo 'rtt min/avg/max/mdev = 1.0/23.9/40.0/2.0 ms'\n");
    tools.curl = tool("curl", "exit 0\n");
    tools.speedTestDomain = "";
    auto service = varnel::testing::startDemoService();
    auto manager = varnel::testing::demoAccountManager(tools);
    QVERIFY(waitFor([&] { return manager->currentServers() != nullptr; }, 10000));
    ServerController switcher(manager);
    switcher.show();
    switcher.serverTable()->selectRow(0);
    const QString name = QString::fromStdString((*switcher.servers())[0]->serverName());
    switcher.testSelectedServerAction();
    // While it runs: the indicator, the status line and the row say so.
    QCOMPARE(switcher.testsRunning(), 1);
    QVERIFY(!switcher.progressIndicator()->isHidden());
    QVERIFY2(switcher.statusLabel()->text().startsWith("Testing " + name),
             qPrintable(switcher.statusLabel()->text()));
    QCOMPARE(switcher.serverTable()->item(0, 3)->text(), QString("Testing"));
    QCOMPARE(switcher.serverTable()->item(0, 4)->text(), QString("Pinging"));
    QFile go(marker);
    QVERIFY(go.open(QIODevice::WriteOnly));
    go.close();
    QVERIFY(waitFor([&] { return switcher.testsRunning() == 0; }, 20000));
    QCOMPARE(switcher.serverTable()->item(0, 4)->text(), QString("23 ms"));
    QVERIFY(switcher.serverTable()->item(0, 3)->text().endsWith(" KB/s"));
    QVERIFY(switcher.progressIndicator()->isHidden());
    QVERIFY2(switcher.statusLabel()->text().contains("ping 23 ms") &&
                 switcher.statusLabel()->text().contains("KB/s"),
             qPrintable(switcher.statusLabel()->text()));
    QVERIFY(waitFor([&] { return (*switcher.servers())[0]->runningTools() == 0; }));
    QDir(folder).removeRecursively();
  }

  void serverSwitcherListsTestsAndSwitches() {
    client::ServerModel::ToolPaths tools;
    tools.ping = "/nonexistent/ping";
    tools.curl = "/nonexistent/curl";
    tools.speedTestDomain = "";
    auto service = varnel::testing::startDemoService();
    auto manager = varnel::testing::demoAccountManager(tools);
    QVERIFY(waitFor([&] { return manager->currentServers() != nullptr; }, 10000));

    ServerController switcher(manager);
    QVERIFY(switcher.servers() == manager->currentServers());
    const int rows = switcher.numberOfRows();
    QVERIFY(rows >= 2);
    QCOMPARE(switcher.serverTable()->rowCount(), rows);
    QVERIFY(switcher.serverTable()->isEnabled());
    QVERIFY(switcher.progressIndicator()->isHidden());
    auto first = (*switcher.servers())[0];
    QCOMPARE(switcher.objectValue("Country", 0), QString::fromStdString(first->countryName()));
    QCOMPARE(switcher.objectValue("ServerColumn", 0), QString::fromStdString(first->serverName()));
    QCOMPARE(switcher.objectValue("Speed", 0), QString("N/A"));
    QCOMPARE(switcher.objectValue("Ping", 0), QString("N/A"));
    QCOMPARE(switcher.objectValue("Other", 0), QString());

    // Testing the account's current server keeps the switch button off.
    const std::string prefix = manager->currentAccount()->prefix().asString();
    int own = -1, other = -1;
    for (int i = 0; i < rows; ++i) {
      ((*switcher.servers())[i]->serverName() == prefix ? own : other) = i;
    }
    QVERIFY(other >= 0);
    if (own >= 0) {
      switcher.serverTable()->selectRow(own);
      switcher.testSelectedServerAction();
      QVERIFY(!switcher.switchButton()->isEnabled());
    }
    switcher.serverTable()->selectRow(other);
    auto server = (*switcher.servers())[other];
    switcher.testSelectedServerAction();
    QVERIFY(switcher.switchButton()->isEnabled());
    QVERIFY(server->testPerformed());
    QVERIFY(waitFor([&] { return !server->isTesting() && !server->isPinging(); }));
    // The row and the status line say why nothing could be measured.
    QCOMPARE(switcher.serverTable()->item(other, 3)->text(),
             QString("N/A (curl is not installed)"));
    QCOMPARE(switcher.serverTable()->item(other, 4)->text(),
             QString("N/A (ping is not installed)"));
    QVERIFY(waitFor([&] { return switcher.testsRunning() == 0; }));
    QVERIFY(switcher.progressIndicator()->isHidden());
    QVERIFY2(
        switcher.statusLabel()->text().contains("ping is not installed") &&
            switcher.statusLabel()->text().contains(QString::fromStdString(server->serverName())),
        qPrintable(switcher.statusLabel()->text()));
    QVERIFY(!switcher.statusLabel()->isHidden());
    switcher.serverTable()->clearSelection();
    switcher.testSelectedServerAction();  // nothing chosen: it says so
    QVERIFY(switcher.statusLabel()->text().contains("Choose a server"));

    // Sorting sorts the manager's own list.
    switcher.sortByColumn("Server", Qt::DescendingOrder);
    auto list = *manager->currentServers();
    for (std::size_t i = 1; i < list.size(); ++i) {
      QVERIFY(list[i - 1]->serverName() >= list[i]->serverName());
    }

    // A switch keeps the window open until it ends.
    switcher.show();
    int row = -1;
    for (int i = 0; i < switcher.numberOfRows(); ++i) {
      if ((*switcher.servers())[i]->serverName() != prefix) row = i;
    }
    switcher.serverTable()->selectRow(row);
    const QString chosenName = QString::fromStdString((*switcher.servers())[row]->serverName());
    switcher.switchSelectedServer();
    QVERIFY(switcher.currentlySwitchingServer());
    QVERIFY(!switcher.close());
    QVERIFY(waitFor([&] { return !switcher.currentlySwitchingServer(); }, 20000));
    // The confirmation names the server and is still there once the window
    // is idle again.
    QVERIFY(waitFor([&] {
      return switcher.serverTable()->isEnabled() && !switcher.statusLabel()->isHidden() &&
             switcher.statusLabel()->text().startsWith(client::ui::kServerSwitchedText);
    }));
    QTest::qWait(50);
    QVERIFY(!switcher.statusLabel()->isHidden());
    QVERIFY2(switcher.statusLabel()->text().contains(chosenName),
             qPrintable(switcher.statusLabel()->text()));
    // The service now serves the chosen server; no failure alert came up.
    const std::string chosen = (*switcher.servers())[row]->serverName();
    QVERIFY(waitFor([&] {
      return service->accountValue(manager->currentAccount()->accountId().asInt64(), "prefix")
                 .asString() == chosen;
    }));
    QTest::qWait(100);
    QVERIFY(switcher.findChild<QMessageBox*>() == nullptr);
    QVERIFY(switcher.close());

    // Connecting locks the table until the attempt is over, whichever way it
    // ends: here the user cancels, the helper confirms.
    varnel::testing::ScriptedDialer dialer;
    QVERIFY(dialer.connect());
    QVERIFY(!switcher.serverTable()->isEnabled() && !switcher.switchButton()->isEnabled());
    platform::NotificationCenter::defaultCenter().post(client::kVPNConnectNotification);
    QVERIFY(!switcher.serverTable()->isEnabled());
    dialer.state->clickControlButton();
    QVERIFY(!switcher.serverTable()->isEnabled());
    platform::NotificationCenter::defaultCenter().post(client::kVPNDisconnectNotification);
    QVERIFY(switcher.serverTable()->isEnabled() && switcher.switchButton()->isEnabled());
  }
};

VARNEL_UI_TEST_MAIN(WindowsTest)
#include "windows_test.moc"
