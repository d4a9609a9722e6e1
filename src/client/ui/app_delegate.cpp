#include "client/ui/app_delegate.h"

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QVBoxLayout>

#include "client/core/account_manager.h"
#include "client/core/crash_reporting_start.h"
#include "client/core/move_to_applications.h"
#include "client/ui/about_controller.h"
#include "client/ui/account_preferences_view_controller.h"
#include "client/ui/advanced_preferences_view_controller.h"
#include "client/ui/dialer_controller.h"
#include "client/ui/eula_window_controller.h"
#include "client/ui/general_preferences_view_controller.h"
#include "client/ui/localizable.h"
#include "client/ui/login_controller.h"
#include "client/ui/modal_alert_presenter.h"
#include "client/ui/move_to_applications_alert.h"
#include "client/ui/open_preferences_view_controller.h"
#include "client/ui/paned_preferences_window_controller.h"
#include "client/ui/text_fit.h"
#include "client/ui/window_placement.h"
#include "platform/system/notification_center.h"
#include "platform/system/user_defaults.h"
#include "sdk/analytics/tly_tally_controller.h"

namespace client::ui {

namespace {
AppDelegate* gSharedDelegate = nullptr;
// The delegate whose quit has been announced (one announcement per quit).
const AppDelegate* gTerminationAnnouncedBy = nullptr;
constexpr int kAboutWidth = 197;
constexpr int kAboutHeight = 285;
// How long Quit waits for the helper to take a running connection down.
constexpr int kQuitDisconnectTimeoutMs = 15000;
}  // namespace

AppDelegate::AppDelegate(std::shared_ptr<VRAccountManager> accountManager, Seams seams,
                         QObject* parent)
    : QObject(parent),
      accountManager_(accountManager ? std::move(accountManager) : VRAccountManager::create()),
      seams_(std::move(seams)) {
  gSharedDelegate = this;
  installTitleKeeper();
  mainMenu_ = new QMenu("VarnelVPN Client");
  mainMenu_->setObjectName("mainMenu");
  aboutMenuItem_ = mainMenu_->addAction("About VarnelVPN Client");
  aboutMenuItem_->setObjectName("aboutMenuItem");
  eulaMenuItem_ = mainMenu_->addAction("License agreement");
  eulaMenuItem_->setObjectName("eulaMenuItem");
  mainMenu_->addSeparator();
  preferencesMenuItem_ = mainMenu_->addAction("Preferences...");
  preferencesMenuItem_->setObjectName("preferencesMenuItem");
  preferencesMenuItem_->setShortcut(QKeySequence::Preferences);
  logoutMenuItem_ = mainMenu_->addAction("Logout");
  logoutMenuItem_->setObjectName("logoutMenuItem");
  mainMenu_->addSeparator();
  quitMenuItem_ = mainMenu_->addAction("Quit VarnelVPN Client");
  quitMenuItem_->setObjectName("quitMenuItem");
  quitMenuItem_->setShortcut(QKeySequence::Quit);
  connect(aboutMenuItem_, &QAction::triggered, this, &AppDelegate::openAboutWindow);
  connect(eulaMenuItem_, &QAction::triggered, this, &AppDelegate::openEULAWindow);
  connect(preferencesMenuItem_, &QAction::triggered, this, &AppDelegate::openPreferencesWindow);
  connect(logoutMenuItem_, &QAction::triggered, this, &AppDelegate::logoutAction);
  connect(quitMenuItem_, &QAction::triggered, this, &AppDelegate::terminate);

  AppStartup::Hooks hooks;
  hooks.disableMenuItemsOnLogout = [this] { disableMenuItemsOnLogout(); };
  hooks.startCrashReporting = [] {
    // Crash reporting may ask the user whether to send a report.
    installModalAlertPresenter();
    startCrashReporting();
  };
  hooks.offerMoveToApplicationsFolder = [this] {
    if (seams_.offerMoveToApplicationsFolder) {
      seams_.offerMoveToApplicationsFolder();
      return;
    }
    MoveToApplicationsAlert alert;
    client::offerMoveToApplicationsFolder(&alert);
  };
  // Centred on the screen and kept on it (the title bar stays reachable).
  hooks.centerWindow = [this] { centreOnParent(window(), nullptr); };
  hooks.becomeUserNotificationDelegate = [] {};
  hooks.terminate = [this] { terminate(); };
  startup_ = std::make_unique<AppStartup>(std::move(hooks), accountManager_->client());
}

AppDelegate::~AppDelegate() {
  if (gSharedDelegate == this) gSharedDelegate = nullptr;
  if (gTerminationAnnouncedBy == this) gTerminationAnnouncedBy = nullptr;
  if (loginController_) {
    delete loginController_->dialerViewController();
    delete loginController_.data();
  }
  delete preferencesWindowController_;
  delete eulaWindowController_;
  delete aboutWindow_;
  delete mainMenu_;
}

AppDelegate* AppDelegate::sharedAppDelegate() { return gSharedDelegate; }

LoginController* AppDelegate::loginController() const { return loginController_.data(); }
void AppDelegate::setLoginController(LoginController* controller) { loginController_ = controller; }

void AppDelegate::launch() {
  QApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
  auto* login = new LoginController(this);
  // The start-up runs first and disables the menu items; the login window's
  // automatic login then starts independently of it.
  loginController_ = login;
  applicationDidFinishLaunching();
  login->viewDidLoad();
}

void AppDelegate::applicationDidFinishLaunching() { startup_->applicationDidFinishLaunching(); }

void AppDelegate::applicationWillTerminate() {
  // A quit reaches here twice (the quit path itself, then Qt's aboutToQuit
  // signal); the notification is the application's one announcement of it.
  if (gTerminationAnnouncedBy != this) {
    gTerminationAnnouncedBy = this;
    platform::NotificationCenter::defaultCenter().post(
        sdk::kNSApplicationWillTerminateNotification);
  }
  startup_->applicationWillTerminate();
}

void AppDelegate::applicationStateChanged(bool active) {
  if (active == active_) return;
  active_ = active;
  platform::NotificationCenter::defaultCenter().post(
      active ? sdk::kNSApplicationDidBecomeActiveNotification
             : sdk::kNSApplicationWillResignActiveNotification);
}

bool AppDelegate::applicationShouldHandleReopen() {
  if (loginController_ && loginController_->dialerViewController() != nullptr) {
    QWidget* dialer = loginController_->dialerViewController();
    dialer->show();
    dialer->raise();
    dialer->activateWindow();
  }
  return true;
}

QString AppDelegate::applicationFilesDirectory() const {
  return QString::fromStdString(AppStartup::applicationFilesDirectory());
}

QWidget* AppDelegate::window() const { return loginController_.data(); }

void AppDelegate::installMainMenu(QMenuBar* bar) {
  if (bar != nullptr) bar->addMenu(mainMenu_);
}

void AppDelegate::enableMenuItemsOnLogin() {
  preferencesMenuItem_->setEnabled(true);
  logoutMenuItem_->setEnabled(true);
}

void AppDelegate::disableMenuItemsOnLogout() {
  preferencesMenuItem_->setEnabled(false);
  logoutMenuItem_->setEnabled(false);
}

void AppDelegate::openAboutWindow() {
  // A dialog of the window the user works in: no task-bar entry of its own,
  // above its owner, and Escape closes it.
  QWidget* owner = frontWindow();
  constexpr Qt::WindowFlags kAboutFlags =
      Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
  if (aboutWindow_ != nullptr && owner != nullptr && aboutWindow_->parentWidget() != owner &&
      !aboutWindow_->isVisible()) {
    aboutWindow_->setParent(owner, kAboutFlags);
  }
  if (aboutWindow_ == nullptr) {
    aboutWindow_ = new QDialog(owner, kAboutFlags);
    aboutWindow_->setObjectName("aboutWindow");
    aboutWindow_->setWindowTitle("VarnelVPN Client");
    aboutWindow_->setWindowModality(Qt::ApplicationModal);
    aboutWindow_->resize(kAboutWidth, kAboutHeight);
    aboutController_ = new AboutController(aboutWindow_);
    auto* layout = new QVBoxLayout(aboutWindow_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(aboutController_);
    aboutController_->becomeDelegateOf(aboutWindow_);
  }
  // Over the window the user works in, not in a corner of the screen.
  if (!aboutWindow_->isVisible()) centreOnParent(aboutWindow_, frontWindow());
  aboutWindow_->show();
  aboutWindow_->raise();
  aboutWindow_->activateWindow();
}

void AppDelegate::openEULAWindow() {
  if (eulaWindowController_ == nullptr) eulaWindowController_ = new EULAWindowController;
  if (!eulaWindowController_->isVisible()) centreOnParent(eulaWindowController_, frontWindow());
  eulaWindowController_->show();
  eulaWindowController_->raise();
  eulaWindowController_->activateWindow();
}

void AppDelegate::showPreferencesGuardAlert(QWidget* window) {
  auto* box = new QMessageBox(window);
  box->setObjectName("preferencesGuardAlert");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  box->setText(kPreferencesGuardMessage);
  box->setInformativeText(kPreferencesGuardInformativeText);
  box->addButton("Ok", QMessageBox::AcceptRole);
  box->open();
}

bool AppDelegate::preferencesGuard() {
  if (!loginController_) return true;
  DialerController* dialer = loginController_->dialerViewController();
  if (dialer == nullptr) {
    showPreferencesGuardAlert(window());
    return false;
  }
  if (dialer->status() != DialerStatus::Disconnected) {
    showPreferencesGuardAlert(dialer);
    return false;
  }
  return true;
}

void AppDelegate::openPreferencesWindow() {
  if (!preferencesGuard()) return;
  if (preferencesWindowController_ == nullptr) {
    std::vector<PreferencePane*> panes = {
        new GeneralPreferencesViewController,
        new AccountPreferencesViewController(accountManager_),
        new OpenPreferencesViewController,
        new AdvancedPreferencesViewController(accountManager_),
    };
    preferencesWindowController_ =
        new PanedPreferencesWindowController(std::move(panes), localized("Preferences"));
    // Where the user left it last time; otherwise over the dialer.
    if (!platform::UserDefaults::standardUserDefaults()->stringForKey(
            kPanedPreferencesFrameTopLeftKey)) {
      centreOnParent(preferencesWindowController_, frontWindow());
    }
  }
  preferencesWindowController_->show();
  preferencesWindowController_->raise();
  preferencesWindowController_->activateWindow();
}

void AppDelegate::openAccountPreferences() {
  openPreferencesWindow();
  if (preferencesWindowController_ != nullptr) {
    preferencesWindowController_->selectControllerAtIndex(1);
  }
}

void AppDelegate::openProtocolPreferences() {
  openPreferencesWindow();
  if (preferencesWindowController_ != nullptr) {
    preferencesWindowController_->selectControllerAtIndex(3);
  }
}

void AppDelegate::logoutAction() {
  platform::UserDefaults::standardUserDefaults()->removeObject(kLoginEmailDefaultsKey);
  startup_->logoutAction();
}

void AppDelegate::terminate() {
  if (terminating_) return;
  // A running connection is taken down through the helper first, as the
  // Disconnect button does; the application ends once it is down (or the
  // helper did not answer in time).
  DialerController* dialer = loginController_ ? loginController_->dialerViewController() : nullptr;
  if (dialer != nullptr && dialer->status() != DialerStatus::Disconnected) {
    if (waitingForDisconnect_) return;
    waitingForDisconnect_ = true;
    QPointer<AppDelegate> self(this);
    dialer->disconnectThen(
        [self] {
          if (!self) return;
          self->waitingForDisconnect_ = false;
          self->finishTerminate();
        },
        kQuitDisconnectTimeoutMs);
    return;
  }
  finishTerminate();
}

void AppDelegate::finishTerminate() {
  if (terminating_) return;
  terminating_ = true;
  if (loginController_ && loginController_->dialerViewController() != nullptr) {
    loginController_->dialerViewController()->setQuitting(true);
  }
  applicationWillTerminate();
  if (seams_.terminate) {
    seams_.terminate();
  } else {
    QApplication::quit();
  }
  terminating_ = false;
}

QWidget* AppDelegate::frontWindow() const {
  if (loginController_) {
    if (QWidget* dialer = loginController_->dialerViewController(); dialer && dialer->isVisible())
      return dialer;
    if (loginController_->isVisible()) return loginController_.data();
  }
  return nullptr;
}

}  // namespace client::ui
