#include <unistd.h>

#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <algorithm>
#include <vector>

#include "account-service/account_service.h"
#include "client/core/account_manager.h"
#include "client/core/connection_state.h"
#include "client/core/updater.h"
#include "client/ui/about_controller.h"
#include "client/ui/account_preferences_view_controller.h"
#include "client/ui/advanced_preferences_view_controller.h"
#include "client/ui/general_preferences_view_controller.h"
#include "client/ui/localizable.h"
#include "client/ui/open_preferences_view_controller.h"
#include "client/ui/paned_preferences_window_controller.h"
#include "platform/system/bundle.h"
#include "platform/system/notification_center.h"
#include "platform/system/user_defaults.h"
#include "ui_test_support.h"

using namespace client::ui;
using varnel::testing::waitFor;

namespace {

// A plain pane whose answers the tests choose.
class TestPane : public QWidget, public PreferencePane {
 public:
  TestPane(QString id, QSize size, std::optional<bool> resizableWidth = std::nullopt)
      : id_(std::move(id)), resizableWidth_(resizableWidth) {
    resize(size);
  }
  QWidget* view() override { return this; }
  QString identifier() const override { return id_; }
  QIcon toolbarItemImage() const override { return QIcon(); }
  QString toolbarItemLabel() const override { return id_ + " label"; }
  std::optional<bool> hasResizableWidth() const override { return resizableWidth_; }
  std::optional<bool> hasResizableHeight() const override { return false; }
  bool commitEditing() override { return mayLeave; }
  void viewWillAppear() override { ++appeared; }
  void viewDidDisappear() override { ++disappeared; }
  bool mayLeave = true;
  int appeared = 0, disappeared = 0;

 private:
  QString id_;
  std::optional<bool> resizableWidth_;
};

std::shared_ptr<platform::UserDefaults> defaults() {
  return platform::UserDefaults::standardUserDefaults();
}

QStringList storedPorts() {
  QStringList out;
  for (const auto& v : defaults()->arrayForKey(kOpenPortsKey).elements()) {
    out << QString::fromStdString(v.asString());
  }
  return out;
}

QMessageBox* findAlert(QWidget* window) {
  QMessageBox* found = nullptr;
  waitFor([&] {
    for (auto* box : window->findChildren<QMessageBox*>()) {
      if (box->isVisible()) found = box;
    }
    return found != nullptr;
  });
  return found;
}

void clickButton(QMessageBox* box, const QString& title) {
  for (auto* b : box->buttons()) {
    if (b->text() == title) {
      b->click();
      return;
    }
  }
  QFAIL("button not found");
}

const QStringList kDefaultPorts = {"443", "500", "550", "1289", "2207", "3155"};

}  // namespace

class PreferencesTest : public QObject {
  Q_OBJECT
 private slots:
  void init() {
    varnel::testing::resetDefaults();
    platform::Value ports = platform::Value::mutableArray();
    for (const auto& p : kDefaultPorts) ports.append(platform::Value(p.toStdString()));
    defaults()->registerDefaults(platform::Value::dictionary({{kOpenPortsKey, ports}}));
  }

  void firstPaneShownThenLastSelectionRestored() {
    int changes = 0;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        kPanedPreferencesDidChangeViewNotification, nullptr, nullptr,
        [&](const platform::Notification&) { ++changes; });
    {
      auto* a = new TestPane("A", {300, 200});
      auto* b = new TestPane("B", {320, 180});
      PanedPreferencesWindowController window({a, b}, "Preferences");
      QCOMPARE(window.selectedViewController(), a);
      QCOMPARE(window.windowTitle(), QString("Preferences"));
      window.selectControllerAtIndex(1);
      QCOMPARE(window.selectedViewController(), b);
      QVERIFY(window.toolbarItem("B")->isChecked());
      QCOMPARE(a->disappeared, 1);
      QCOMPARE(b->appeared, 1);
      window.selectControllerAtIndex(2);  // beyond the panes: nothing
      QCOMPARE(window.selectedViewController(), b);
    }
    QCOMPARE(changes, 2);
    platform::NotificationCenter::defaultCenter().removeObserver(token);
    auto* a = new TestPane("A", {300, 200});
    auto* b = new TestPane("B", {320, 180});
    PanedPreferencesWindowController reopened({a, b}, QString());
    QCOMPARE(reopened.selectedViewController(), b);
    QCOMPARE(reopened.windowTitle(), QString("B label"));  // no title: the pane's label
  }

  void refusingPaneKeepsSelectionAndClose() {
    auto* a = new TestPane("A", {300, 200});
    auto* b = new TestPane("B", {300, 200});
    PanedPreferencesWindowController window({a, b}, "Preferences");
    window.show();
    a->mayLeave = false;
    window.toolbarItem("B")->trigger();
    QCOMPARE(window.selectedViewController(), a);
    QVERIFY(window.toolbarItem("A")->isChecked());
    QVERIFY(!window.toolbarItem("B")->isChecked());
    QVERIFY(!window.close());
    a->mayLeave = true;
    QVERIFY(window.close());
  }

  void fixedWidthGetsMinimumWhateverSaved() {
    defaults()->setObject(platform::Value("{{0, 0}, {900, 700}}"), "PanedPreferences Fixed Frame");
    defaults()->setObject(platform::Value("{{0, 0}, {900, 700}}"), "PanedPreferences Wide Frame");
    auto* fixed = new TestPane("Fixed", {300, 200}, false);
    auto* wide = new TestPane("Wide", {300, 200}, true);
    PanedPreferencesWindowController window({fixed, wide}, "Preferences");
    QCOMPARE(fixed->maximumWidth(), 300);
    QCOMPARE(fixed->minimumWidth(), 300);
    QCOMPARE(fixed->maximumHeight(), 200);
    window.selectControllerAtIndex(1);
    QCOMPARE(wide->size(), QSize(900, 200));
    QCOMPARE(wide->minimumWidth(), 300);
    QCOMPARE(window.minimumViewRects().at("Wide"), QRect(0, 0, 300, 200));
  }

  void everyPaneShowsAtTheLargestPanesSize() {
    auto* wide = new TestPane("Wide", {500, 120}, false);
    auto* tall = new TestPane("Tall", {200, 400}, false);
    auto* small = new TestPane("Small", {100, 100}, true);
    PanedPreferencesWindowController window({wide, nullptr, tall, small}, "Preferences");
    window.move(140, 90);
    window.show();
    const QRect frame = window.geometry();
    for (TestPane* pane : {tall, small, wide, small, tall}) {
      window.setSelectedViewController(pane);
      QCOMPARE(pane->size(), QSize(500, 400));
      QCOMPARE(window.geometry(), frame);
    }
    // The shared size is each pane's minimum, also for a resizable one.
    QCOMPARE(window.minimumViewRects().at("Small"), QRect(0, 0, 500, 400));
  }

  void nextWrapsAndSkipsSpaces() {
    auto* a = new TestPane("A", {200, 100});
    auto* b = new TestPane("B", {200, 100});
    PanedPreferencesWindowController window({a, nullptr, b}, "Preferences");
    QCOMPARE(window.toolbarItemIdentifiers(),
             QStringList({"A", kFlexibleSpaceItemIdentifier, "B"}));
    window.goNextTab();
    QCOMPARE(window.selectedViewController(), b);
    window.goNextTab();
    QCOMPARE(window.selectedViewController(), a);
    window.goPreviousTab();
    QCOMPARE(window.selectedViewController(), b);
    QCOMPARE(window.viewControllerForIdentifier("B"), b);
    QVERIFY(window.viewControllerForIdentifier(kFlexibleSpaceItemIdentifier) == nullptr);
  }

  void pointAndRectTextForms() {
    QCOMPARE(stringFromPoint({12, -3}), QString("{12, -3}"));
    QCOMPARE(*rectFromString("{{1, 2}, {30, 40}}"), QRect(1, 2, 30, 40));
    QVERIFY(!rectFromString("garbage").has_value());
    QVERIFY(!pointFromString("{1}").has_value());
  }

  void portEditsAcceptOnlyTheRange() {
    OpenPreferencesViewController pane;
    QCOMPARE(pane.portArray(), kDefaultPorts);
    QVERIFY(!pane.setObjectValue("20", 0));
    QVERIFY(!pane.setObjectValue("65501", 0));
    QVERIFY(!pane.setObjectValue("abc", 0));
    QVERIFY(defaults()->objectForKey(kOpenPortsKey).isArray());
    QCOMPARE(pane.portArray().at(0), QString("443"));
    QVERIFY(pane.setObjectValue("21", 1));
    QVERIFY(pane.setObjectValue("65500", 2));
    QVERIFY(pane.setObjectValue("0443", 3));
    QCOMPARE(storedPorts(), QStringList({"443", "21", "65500", "443", "2207", "3155"}));
    // An edit through the table shows what was accepted.
    pane.tableView()->item(4, 0)->setText("99999");
    QCOMPARE(pane.tableView()->item(4, 0)->text(), QString("2207"));
    pane.tableView()->item(4, 0)->setText(" 8080x");
    QCOMPARE(storedPorts().at(4), QString("8080"));
  }

  void addDeleteAndDrag() {
    OpenPreferencesViewController pane;
    pane.show();
    pane.addNewRow();
    QCOMPARE(pane.portArray().first(), QString("500"));
    QCOMPARE(pane.tableView()->rowCount(), 7);
    QVERIFY(pane.tableView()->isPersistentEditorOpen(pane.tableView()->item(0, 0)) ||
            pane.tableView()->findChild<QLineEdit*>() != nullptr);
    QVERIFY(defaults()->objectForKey(kOpenPortsKey).isNone() || storedPorts() == kDefaultPorts);
    pane.tableView()->clearSelection();
    pane.deleteSelectedRow();  // nothing selected
    QCOMPARE(pane.portArray().size(), 7);
    pane.tableView()->selectRow(0);
    pane.deleteSelectedRow();
    QCOMPARE(storedPorts(), kDefaultPorts);

    int row = -1;
    QCOMPARE(pane.validateDrop(pane.tableView(), 3, true, &row), Qt::MoveAction);
    QCOMPARE(row, 3);
    QTableWidget other;
    QCOMPARE(pane.validateDrop(&other, 3, false, &row), Qt::IgnoreAction);
    std::unique_ptr<QMimeData> data(pane.writeRowsWithIndexes({0, 2}));
    QVERIFY(pane.acceptDrop(data.get(), 3));
    QCOMPARE(storedPorts(), QStringList({"500", "550", "1289", "443", "2207", "3155"}));
    QCOMPARE(pane.tableView()->item(3, 0)->text(), QString("443"));
  }

  void portTableLockedWhileConnecting() {
    varnel::testing::ScriptedDialer dialer;
    OpenPreferencesViewController pane;
    pane.viewWillAppear();
    auto& center = platform::NotificationCenter::defaultCenter();
    // The drivers' notifications alone change nothing: the dialer decides.
    center.post(client::kVPNWillConnectNotification);
    QVERIFY(pane.tableView()->isEnabled());
    QVERIFY(dialer.connect());
    QVERIFY(!pane.tableView()->isEnabled());
    // A failed attempt frees the list again.
    dialer.state->helperRequestDidFail("The VPN server cannot be reached.");
    QVERIFY(pane.tableView()->isEnabled());
    center.post(client::kSwitchWillStartNotification);
    QVERIFY(!pane.tableView()->isEnabled());
    pane.viewDidDisappear();
    center.post(client::kSwitchDidStopNotification);
    QVERIFY(!pane.tableView()->isEnabled());
  }

  void generalPaneDrivesUpdaterAndDefaults() {
    client::VRUpdater::resetSharedUpdaterForTesting();
    auto updater = client::VRUpdater::sharedUpdater();
    updater->setAutomaticallyChecksForUpdates(true);
    GeneralPreferencesViewController pane(updater);
    QVERIFY(pane.automaticUpdates()->isChecked());
    pane.automaticUpdates()->click();
    QVERIFY(!updater->automaticallyChecksForUpdates());
    pane.showNotifications()->setChecked(true);
    pane.showNotifications()->click();
    QVERIFY(!defaults()->boolForKey("ShowNotifications"));
    pane.logToConsole()->setChecked(true);
    QVERIFY(defaults()->boolForKey("LogToConsole"));
    QCOMPARE(pane.initialKeyView(), pane.showNotifications());
  }

  // Check Now against the demo service's feed names versions exactly as the
  // About window names the running one, and compares like with like.
  void checkNowAndAboutNameVersionsAlike() {
    auto service = varnel::testing::startDemoService();
    client::VRUpdater::resetSharedUpdaterForTesting();
    auto check = [&](const char* shortVersion, const char* build) -> std::pair<QString, QString> {
      // A program of that version, as both windows see it.
      const auto bundle = std::make_shared<platform::Bundle>(
          "/nonexistent/VarnelVPN Client", "/nonexistent",
          platform::Value::dictionary(
              {{platform::kCFBundleShortVersionStringKey, platform::Value(shortVersion)},
               {platform::kCFBundleVersionKey, platform::Value(build)}}));
      auto updater = client::VRUpdater::create(bundle);
      updater->setFeedURL(platform::URL(service->baseURL() + "/mac_v2.xml"));
      QWidget window;
      auto* pane = new GeneralPreferencesViewController(updater, &window);
      window.show();
      pane->findChild<QPushButton*>("checkNowButton")->click();
      QMessageBox* alert = nullptr;
      waitFor(
          [&] {
            alert = window.findChild<QMessageBox*>("updateCheckAlert");
            return alert != nullptr;
          },
          10000);
      AboutController about(nullptr, bundle);
      std::pair<QString, QString> out{
          alert ? alert->text() + " " + alert->informativeText() : QString(),
          about.versionNum()->text()};
      return out;
    };
    // The program is the version the feed offers: nothing newer.
    auto [same, aboutSame] = check("1.2.0", "1.2.0");
    QCOMPARE(aboutSame, QString("Version 1.2.0"));
    QVERIFY2(same.contains("up to date") && same.contains(aboutSame), qPrintable(same));
    QVERIFY2(!same.contains("available"), qPrintable(same));
    // An older program is offered the feed's version, named in the same form.
    auto [older, aboutOlder] = check("1.1.0", "110");
    QCOMPARE(aboutOlder, QString("Version 1.1.0"));
    QVERIFY2(older.startsWith("Version 1.2.0 is available."), qPrintable(older));
    client::VRUpdater::resetSharedUpdaterForTesting();
  }

  void accountsPaneFollowsAndSetsCurrentAccount() {
    auto service = varnel::testing::startDemoService();
    auto manager = varnel::testing::demoAccountManager();
    AccountPreferencesViewController pane(manager);
    pane.viewWillAppear();
    auto accounts = manager->accounts();
    QVERIFY(accounts.size() >= 3);
    QCOMPARE(pane.accountTableView()->rowCount(), static_cast<int>(accounts.size()));
    QCOMPARE(*pane.indexSetForCurrentAccount(), 0);
    manager->setCurrentAccount(accounts[2]);
    QVERIFY(waitFor([&] {
      auto rows = pane.accountTableView()->selectionModel()->selectedRows();
      return !rows.isEmpty() && rows.first().row() == 2;
    }));
    pane.accountTableView()->selectRow(1);
    pane.rowClickAction();
    QCOMPARE(manager->currentAccount(), accounts[1]);
    QVERIFY(waitFor([&] {
      return defaults()->integerForKey(client::kLastSelectedAccountKey) ==
             accounts[1]->accountId32();
    }));
    varnel::testing::ScriptedDialer dialer;
    platform::NotificationCenter::defaultCenter().post(client::kSwitchWillStartNotification);
    pane.accountTableView()->selectRow(0);
    pane.rowClickAction();
    QCOMPARE(manager->currentAccount(), accounts[1]);
    pane.viewDidDisappear();
  }

  void advancedPaneShowsAndStoresTypes() {
    auto service = varnel::testing::startDemoService();
    auto manager = varnel::testing::demoAccountManager();
    auto accounts = manager->accounts();
    client::BaseAccount::Ptr pptp, lite;
    for (auto& a : accounts) {
      if (a->isPPTPAccount()) pptp = a;
      if (a->planId().asInt64() == 131) lite = a;
    }
    QVERIFY(pptp && lite);
    manager->setCurrentAccount(pptp);
    // The labels follow the account's server lists, which come from the
    // service after the account is chosen.
    QVERIFY(waitFor([&] { return pptp->hasPPTPServers(); }));
    manager->setConnectionType(client::kConnectionTypeL2TP);
    // Every type but PPTP could be made (the plugins' presence is this
    // machine's).
    const auto allButPPTP = [](int type) { return type != client::kConnectionTypePPTP; };
    AdvancedPreferencesViewController pane(manager, nullptr, /*offersPPTP=*/false, nullptr,
                                           allButPPTP);
    pane.viewWillAppear();
    QVERIFY(pane.radioForTag(1)->isChecked());
    QVERIFY(!pane.openVPNProtocolPopUpButton()->isEnabled());
    QVERIFY(!pane.radioForTag(0)->isEnabled());  // no PPTP plugin on this system
    QCOMPARE(pane.labelForTag(0)->text(), localized("PreferencesProtocolPPTPSierraDescription"));

    // OpenVPN with TCP selected on a PPTP account: the incompatible-type question.
    auto* popup = pane.openVPNProtocolPopUpButton();
    popup->setCurrentIndex(popup->findData(client::kConnectionTypeOpenVPNTCP));
    pane.changeProtocol(pane.radioForTag(3));
    QMessageBox* box = findAlert(&pane);
    QVERIFY(box != nullptr);
    QCOMPARE(box->text(), localized("IncompatibleConnectionType"));
    clickButton(box, "No");
    QVERIFY(pane.radioForTag(1)->isChecked());
    QCOMPARE(manager->connectionType(), 1);
    const std::string key = client::VRAccountManager::connectionKeyForAccount(*pptp);
    QCOMPARE(defaults()->integerForKey(key), 1);

    // Stored type 0 moves to the account's default, 1, when that can be made.
    manager->setConnectionType(client::kConnectionTypePPTP);
    pane.prepareViewWithAccount(pptp);
    QCOMPARE(manager->connectionType(), 1);
    QVERIFY(pane.radioForTag(1)->isChecked());

    // With the PPTP plugin installed, PPTP is offered and a stored PPTP stays.
    manager->setConnectionType(client::kConnectionTypePPTP);
    {
      AdvancedPreferencesViewController offered(manager, nullptr, /*offersPPTP=*/true);
      offered.prepareViewWithAccount(pptp);
      QCOMPARE(manager->connectionType(), 0);
      QVERIFY(offered.radioForTag(0)->isChecked());
      QVERIFY(offered.radioForTag(0)->isEnabled());
      QCOMPARE(offered.labelForTag(0)->text(), localized("PreferencesProtocolPPTPDescription"));
    }
    manager->setConnectionType(client::kConnectionTypeL2TP);

    // Without the L2TP and vpnc plugins: both greyed out with their
    // packages, and unlocking the radios keeps them disabled. The stored
    // L2TP gives way to the first type of the account this machine can
    // make (SSTP, run by the helper itself, here); a stored IPSec of an
    // OpenVPN account to its OpenVPN.
    const auto only = [](std::initializer_list<int> types) {
      return [types = std::vector<int>(types)](int type) {
        return std::find(types.begin(), types.end(), type) != types.end();
      };
    };
    {
      AdvancedPreferencesViewController bare(
          manager, nullptr, /*offersPPTP=*/false, [](int) { return false; },
          only({client::kConnectionTypeSSTP}));
      bare.prepareViewWithAccount(pptp);
      for (int tag : {0, 1, 6}) QVERIFY(!bare.radioForTag(tag)->isEnabled());
      QVERIFY(bare.labelForTag(1)->text().contains("network-manager-l2tp"));
      QVERIFY(bare.labelForTag(6)->text().contains("network-manager-vpnc"));
      QCOMPARE(manager->connectionType(), int(client::kConnectionTypeSSTP));
      QVERIFY(bare.radioForTag(2)->isChecked());
      QVERIFY(!bare.radioForTag(1)->isChecked());
      bare.setRadioEnabledStatus(true);
      for (int tag : {0, 1, 6}) QVERIFY(!bare.radioForTag(tag)->isEnabled());
      QVERIFY(bare.radioForTag(2)->isEnabled());
    }
    // Only PPTP can be made (its plugin and PPP are there, the SSTP client
    // is not): the stored L2TP gives way to PPTP.
    manager->setConnectionType(client::kConnectionTypeL2TP);
    {
      AdvancedPreferencesViewController bare(
          manager, nullptr, /*offersPPTP=*/true, [](int) { return false; },
          only({client::kConnectionTypePPTP}));
      bare.prepareViewWithAccount(pptp);
      QCOMPARE(manager->connectionType(), int(client::kConnectionTypePPTP));
      QVERIFY(bare.radioForTag(0)->isChecked());
      QVERIFY(bare.radioForTag(0)->isEnabled());
      // SSTP, which cannot be made here, is greyed out with what it lacks,
      // and stays so while the radios are unlocked.
      QVERIFY(!bare.radioForTag(2)->isEnabled());
      const QString why = bare.labelForTag(2)->text();
      QVERIFY2(why.contains("/dev/ppp") || why.contains("sstp-client"), qPrintable(why));
      bare.setRadioEnabledStatus(true);
      QVERIFY(!bare.radioForTag(2)->isEnabled());
    }
    // A stored SSTP that cannot be made gives way like a missing plugin.
    manager->setConnectionType(client::kConnectionTypeSSTP);
    {
      AdvancedPreferencesViewController bare(
          manager, nullptr, /*offersPPTP=*/true, [](int) { return true; },
          only({client::kConnectionTypePPTP, client::kConnectionTypeL2TP}));
      bare.prepareViewWithAccount(pptp);
      QVERIFY(manager->connectionType() != int(client::kConnectionTypeSSTP));
      QVERIFY(!bare.radioForTag(2)->isChecked());
    }
    // A machine like this test's (no PPP): no type of a PPTP account can be
    // made, so a stored L2TP without its plugin stays, greyed out with the
    // package it needs, rather than becoming a type that fails as well.
    manager->setConnectionType(client::kConnectionTypeL2TP);
    {
      AdvancedPreferencesViewController bare(
          manager, nullptr, /*offersPPTP=*/false, [](int) { return false; }, only({}));
      bare.prepareViewWithAccount(pptp);
      QCOMPARE(manager->connectionType(), int(client::kConnectionTypeL2TP));
      QVERIFY(bare.radioForTag(1)->isChecked());
      QVERIFY(!bare.radioForTag(1)->isEnabled());
      QVERIFY(bare.labelForTag(1)->text().contains("network-manager-l2tp"));
    }
    // An OpenVPN account's stored IPSec without the vpnc plugin: its
    // OpenVPN, the account's default, with the transport chosen too.
    client::BaseAccount::Ptr open;
    for (auto& a : accounts) {
      if (a->isOpenAccount() && a->planId().asInt64() != 131) open = a;
    }
    QVERIFY(open);
    manager->setCurrentAccount(open);
    manager->setConnectionType(client::kConnectionTypeIPSec);
    {
      AdvancedPreferencesViewController bare(
          manager, nullptr, /*offersPPTP=*/true, [](int) { return false; },
          only({client::kConnectionTypeOpenVPNUDP, client::kConnectionTypeOpenVPNTCP}));
      bare.prepareViewWithAccount(open);
      const int openDefault = open->defaultConnectionTypeForAccountType();
      QCOMPARE(manager->connectionType(), openDefault);
      QVERIFY(bare.radioForTag(3)->isChecked());
      QCOMPARE(bare.openVPNProtocolPopUpButton()->currentData().toInt(), openDefault);
      QVERIFY(!bare.radioForTag(6)->isEnabled());
    }
    manager->setCurrentAccount(pptp);
    manager->setConnectionType(client::kConnectionTypeL2TP);
    // What this machine can make: never IKEv2 (the helper has no request
    // for it), and no PPP type without /dev/ppp.
    QVERIFY(!client::ui::systemCanMake(client::kConnectionTypeIKEv2));
    if (::access("/dev/ppp", F_OK) != 0) {
      for (int type :
           {client::kConnectionTypePPTP, client::kConnectionTypeL2TP, client::kConnectionTypeSSTP})
        QVERIFY(!client::ui::systemCanMake(type));
    }

    // Plan 131: IPSec disabled and unsupported.
    manager->setCurrentAccount(lite);
    pane.prepareViewWithAccount(lite);
    QVERIFY(!pane.radioForTag(6)->isEnabled());
    QCOMPARE(pane.labelForTag(6)->text(), localized("PreferencesProtocolUnsupportedDescription"));

    // Locked while connecting, freed when the attempt ends; the account's own
    // rule (IPSec on plan 131) and the system's (no PPTP plugin) still hold.
    {
      varnel::testing::ScriptedDialer dialer;
      pane.viewWillAppear();
      QVERIFY(dialer.connect());
      for (int tag : {0, 1, 2, 3, 6, 7}) QVERIFY(!pane.radioForTag(tag)->isEnabled());
      dialer.state->helperRequestDidFail("The VPN server cannot be reached.");
      for (int tag : {1, 2, 3, 7}) QVERIFY(pane.radioForTag(tag)->isEnabled());
      QVERIFY(!pane.radioForTag(0)->isEnabled());
      QVERIFY(!pane.radioForTag(6)->isEnabled());
      // Another account of another plan: IPSec is offered again.
      for (auto& a : accounts) {
        if (a->isOpenAccount() && a->planId().asInt64() != 131) manager->setCurrentAccount(a);
      }
      pane.prepareViewWithAccount(manager->currentAccount());
      QVERIFY(pane.radioForTag(6)->isEnabled());
      manager->setCurrentAccount(lite);
      pane.prepareViewWithAccount(lite);
    }
    pane.prepareViewWithAccount(nullptr);
    QCOMPARE(pane.labelForTag(3)->text(),
             localized("PreferencesProtocolNoActiveAccountDescription"));
    pane.viewDidDisappear();
  }

  void switchFailureAfterYesShowsTheSheet() {
    // No service: no server lists arrive, so no server of another kind exists.
    auto service = varnel::testing::startDemoService();
    service.reset();
    auto manager = varnel::testing::demoAccountManager();
    client::BaseAccount::Ptr pptp;
    for (auto& a : manager->accounts()) {
      if (a->isPPTPAccount()) pptp = a;
    }
    manager->setCurrentAccount(pptp);
    AdvancedPreferencesViewController pane(manager);
    pane.prepareViewWithAccount(pptp);
    pane.changeProtocol(pane.radioForTag(3));
    QMessageBox* question = findAlert(&pane);
    QVERIFY(question != nullptr);
    clickButton(question, "Yes");
    QMessageBox* failure = nullptr;
    QVERIFY(waitFor([&] {
      for (auto* box : pane.findChildren<QMessageBox*>()) {
        if (box->isVisible() && box->text() == localized("ServerWindowSwitchFailedLabel")) {
          failure = box;
        }
      }
      return failure != nullptr;
    }));
    QCOMPARE(failure->informativeText(), localized("ServerWindowSwitchFailedText"));
    QCOMPARE(failure->buttons().size(), 1);
    QCOMPARE(failure->buttons().first()->text(), QString("Ok"));
  }
};

VARNEL_UI_TEST_MAIN(PreferencesTest)
#include "preferences_test.moc"
