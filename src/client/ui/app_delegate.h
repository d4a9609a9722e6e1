// AppDelegate: the application's delegate on the window side. It owns the
// account manager, the main menu's items (About, licence, Preferences,
// Logout, Quit), the About, licence and Preferences windows and the login
// window, and runs the start-up and the logout through AppStartup.
//
// Guarantees:
//  1. Preferences and Logout are disabled from launch until the login
//     window reports a successful login, and again at logout.
//  2. Preferences opens only when logged in and Disconnected; otherwise the
//     guard's alert is shown as a sheet on the login window (not logged in)
//     or on the dialer window, and nothing opens.
//  3. The About, licence and Preferences windows are made once and kept.
//  4. Closing windows never quits; Quit and Logout end the application
//     (the user defaults are written on the way). While a connection runs
//     they first disconnect it through the helper, as the Disconnect button
//     does, and end once it is down (at most 15 s later).
//  5. Secondary windows (About, licence, Preferences on first use) open
//     centred on the window the user works in.
//
// Seams for tests and the demo run: the helper installation, the helper
// request objects of the dialer, and what "terminate" does.
//
// Thread safety: main thread only.
#pragma once

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

#include "client/core/app_startup.h"
#include "client/core/helper_request.h"
#include "client/ui/workspace.h"

namespace client {
class VRAccountManager;
}

namespace client::ui {

class LoginController;
class DialerController;
class EULAWindowController;
class PanedPreferencesWindowController;
class AboutController;

class AppDelegate : public QObject {
  Q_OBJECT
 public:
  struct Seams {
    // Installs or updates the helper; true when one is in place.
    std::function<bool()> installHelper;
    // The dialer's helper request objects (XPCWrapper when empty).
    HelperRequestFactory helperRequestFactory;
    // Ends the application (QApplication::quit when empty).
    std::function<void()> terminate;
    // The start-up's offer to move into an Applications folder (the
    // question drawn by MoveToApplicationsAlert when empty).
    std::function<void()> offerMoveToApplicationsFolder;
    // Opens the windows' web pages (the desktop's default application when
    // empty); false when nothing could open the address.
    Workspace::Opener openURL;
  };

  // `accountManager` nullptr: a new one on the shared API client.
  explicit AppDelegate(std::shared_ptr<VRAccountManager> accountManager = nullptr, Seams seams = {},
                       QObject* parent = nullptr);
  ~AppDelegate() override;

  // The application's delegate (the most recently made one).
  static AppDelegate* sharedAppDelegate();

  // Loads the main interface: the main menu and the login window (which
  // logs in by itself when a key is stored), then runs the start-up.
  void launch();
  void applicationDidFinishLaunching();
  // Posts "NSApplicationWillTerminateNotification", then saves the defaults.
  void applicationWillTerminate();
  // Posts "NSApplicationDidBecomeActiveNotification" when `active`, else
  // "NSApplicationWillResignActiveNotification" (each only on a change).
  void applicationStateChanged(bool active);
  bool applicationShouldTerminateAfterLastWindowClosed() const { return false; }
  bool applicationShouldHandleReopen();
  QString applicationFilesDirectory() const;

  void enableMenuItemsOnLogin();
  void disableMenuItemsOnLogout();

  const std::shared_ptr<VRAccountManager>& accountManager() const { return accountManager_; }
  LoginController* loginController() const;
  void setLoginController(LoginController* controller);
  // The main window of the main interface: the login window.
  QWidget* window() const;
  const Seams& seams() const { return seams_; }

  QAction* preferencesMenuItem() const { return preferencesMenuItem_; }
  QAction* logoutMenuItem() const { return logoutMenuItem_; }
  QAction* aboutMenuItem() const { return aboutMenuItem_; }
  QAction* eulaMenuItem() const { return eulaMenuItem_; }
  QAction* quitMenuItem() const { return quitMenuItem_; }
  // The main menu ("VarnelVPN Client"); each window puts it in its menu bar.
  QMenu* mainMenu() const { return mainMenu_; }
  void installMainMenu(QMenuBar* bar);

  EULAWindowController* eulaWindowController() const { return eulaWindowController_; }
  PanedPreferencesWindowController* preferencesWindowController() const {
    return preferencesWindowController_;
  }
  QWidget* aboutWindow() const { return aboutWindow_; }
  // The window the user works in (the dialer, else the login window) when it
  // is shown; secondary windows open centred on it.
  QWidget* frontWindow() const;
  // True while Quit waits for the running connection to go down.
  bool waitingForDisconnect() const { return waitingForDisconnect_; }
  AboutController* aboutController() const { return aboutWindow_ ? aboutController_ : nullptr; }

 public slots:
  void openAboutWindow();
  void openEULAWindow();
  void openPreferencesWindow();
  void openAccountPreferences();
  void openProtocolPreferences();
  void logoutAction();
  // Quit: a running connection is disconnected through the helper first.
  void terminate();

 private:
  void finishTerminate();
  // False (and the alert shown) when Preferences may not open now.
  bool preferencesGuard();
  void showPreferencesGuardAlert(QWidget* window);

  std::shared_ptr<VRAccountManager> accountManager_;
  Seams seams_;
  std::unique_ptr<AppStartup> startup_;
  QPointer<LoginController> loginController_;
  QMenu* mainMenu_;
  QAction* aboutMenuItem_;
  QAction* eulaMenuItem_;
  QAction* preferencesMenuItem_;
  QAction* logoutMenuItem_;
  QAction* quitMenuItem_;
  EULAWindowController* eulaWindowController_ = nullptr;
  PanedPreferencesWindowController* preferencesWindowController_ = nullptr;
  // A dialog owned by the window the user works in (it goes with its
  // owner, and is made anew then).
  QPointer<QWidget> aboutWindow_;
  AboutController* aboutController_ = nullptr;  // a child of aboutWindow_
  bool terminating_ = false;
  bool waitingForDisconnect_ = false;
  bool active_ = false;
};

}  // namespace client::ui
