// DialerController: the main window of a logged-in client and the owner of
// its status-bar (tray) item and menu. It draws the connection state machine
// (DialerState) and drives it with its buttons and menu; the state machine,
// not this window, talks to the helper.
//
// Guarantees:
//  1. The status-bar menu is built once, in this order: "Connect" (its title
//     and enabled state follow the connect or disconnect control), a
//     separator, "Active Account" with one checkable item per account (only
//     the current one checked), a separator, "Preferences", "About", "Quit".
//  2. Where the platform has no tray, the same menu opens from the window's
//     menu button, so every item stays reachable.
//  3. The change-location button does something only while Disconnected;
//     its first use makes the server switcher, later uses show the same one.
//  4. The Location and Protocol lines show the chosen server's city and
//     country and the connection type; while a connection runs they keep
//     describing it. The line under the status text agrees with it
//     (the connected time, "Connecting" or "Not Connected").
//  5. Activating the tray icon shows and raises the window; the switcher and
//     the diagnostics window open centred on it. Where the desktop has no
//     tray, closing the window minimises it, so it stays reachable. The
//     tray's tool tip names the status, and while connected the location
//     and the connected time.
//  6. Choosing another account while connected says that the running
//     connection keeps its account until the next connect, and the Account,
//     Location and Protocol lines keep describing the running connection
//     until it ends.
//  7. Every control's enabled state and the shield's image come from the
//     dialer's controls table (DialerState::controls); the shield is green
//     only while connected.
//  8. The message and warning lines have room reserved for kMessageLines
//     lines, so the connect control never moves as they appear.
//  9. Test hook, never on in a normal run: started with the argument
//     "--dialer-state-file=PATH" (kVisibleStateArgument), the window writes
//     visibleState() to PATH whenever it changed (looked at every 0.2 s),
//     replacing the file whole, so that a test driving the real program
//     reads what the window shows rather than its pixels.
//
// Thread safety: main thread only.
#pragma once

#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <memory>

#include "client/core/dialer_state.h"
#include "client/ui/animated_text_field.h"

namespace client {
class VRAccountManager;
}

namespace client::ui {

class AppDelegate;
class DiagnosticsViewController;
class ServerController;
class VRMenuItem;

inline constexpr const char* kHelperLogDistributedNotification = "varnelhelper.log";
inline constexpr const char* kAccountSwitchWhileConnectedAlertName = "accountSwitchAlert";
// The argument that turns on the test hook (guarantee 9).
inline constexpr const char* kVisibleStateArgument = "--dialer-state-file=";

class DialerController : public QWidget {
  Q_OBJECT
 public:
  DialerController(AppDelegate* appDelegate, std::shared_ptr<VRAccountManager> accountManager,
                   QWidget* parent = nullptr);
  ~DialerController() override;

  // Set-up: observers, the tray item and menu, status Disconnected, the
  // window centred and in front.
  void loadView();

  DialerStatus status() const;
  const std::shared_ptr<DialerState>& state() const { return state_; }
  QWidget* dialerWindow() { return this; }

  NSTextFieldAQueue* ipLabel() const { return ipLabel_; }
  NSTextFieldAQueue* connectionTimeLabel() const { return connectionTimeLabel_; }
  NSTextFieldAQueue* selectedAccountLabel() const { return selectedAccountLabel_; }
  NSTextFieldAQueue* selectedProtocolLabel() const { return selectedProtocolLabel_; }
  NSTextFieldAQueue* countryLabel() const { return countryLabel_; }
  NSTextFieldAQueue* conStatusLabel() const { return conStatusLabel_; }
  QLabel* connectLabel() const { return connectLabel_; }
  QPushButton* connectButton() const { return connectButton_; }
  QPushButton* changeLocationButton() const { return changeLocationButton_; }
  QLabel* disconnectLabel() const { return disconnectLabel_; }
  // Why the last attempt failed or is struggling; hidden when there is nothing to say.
  QLabel* messageLabel() const { return messageLabel_; }
  // The warning beside "Connected" (a route that could not be added);
  // hidden when there is none.
  QLabel* warningLabel() const { return warningLabel_; }
  QPushButton* disconnectButton() const { return disconnectButton_; }
  // How many lines of warning and message text the window keeps room for.
  static constexpr int kMessageLines = 4;
  // Sets the message (why the last attempt failed; "" hides it) and the
  // warning beside "Connected"; the controls keep their place.
  void showMessage(const QString& text);
  void showWarning(const QString& text);
  QToolButton* menuButton() const { return menuButton_; }
  QSystemTrayIcon* statusBarIcon() const { return statusBarIcon_; }
  // The tray icon's tool tip: "VarnelVPN Client: <status>", and while
  // connected the location and the connected time on lines of their own.
  QString trayToolTip() const;
  QMenu* statusBarMenu() const { return statusBarMenu_; }
  QMenu* subMenu() const { return subMenu_; }
  // The name of the image the status item shows now.
  const QString& statusBarImageName() const { return statusBarImageName_; }
  DiagnosticsViewController* diagnosticsViewController() const {
    return diagnosticsViewController_;
  }
  ServerController* serverController() const { return serverController_; }
  const QUrl& newsUrl() const { return newsUrl_; }
  void setNewsUrl(const QUrl& url) { newsUrl_ = url; }
  // The last user notification shown (title, text); empty before the first.
  const QStringList& lastUserNotification() const { return lastUserNotification_; }

  // What More Info opens: newsUrl, else the account service's news page,
  // else the provider's home page.
  QUrl moreInfoUrl() const;

  // Takes a running connection down through the helper (as the Disconnect
  // control does) and calls `done` once the status is Disconnected, or after
  // `timeoutMs` when the helper does not answer; at once when nothing runs.
  void disconnectThen(std::function<void()> done, int timeoutMs);
  // Set when the application ends: closing the window then closes it (a
  // refused close would call the quit off).
  void setQuitting(bool quitting) { quitting_ = quitting; }

  // The connect and disconnect controls (DialerView calls these).
  void showConnectButton();
  void showDisconnectButton();
  // Sets every control from the dialer's controls table (dialer_state.h).
  void applyControls(const DialerControls& controls);

  // What the window shows now, one "key: value" line each (texts on one
  // line, without the break opportunities the labels add): "status",
  // "time", "message" and "warning" ("" while hidden), "account",
  // "location", "protocol", "ip", "control" (the caption of the control
  // shown), "control-enabled" ("yes"/"no"), "shield" ("green" when the
  // control shown has the connected image, else "grey"), "tray" (the status
  // item's image), then "dialog: <object name>: <text> <informative text>"
  // for each message box open over the window.
  QString visibleState() const;
  // Writes visibleState() to `path` now and whenever it changes (guarantee
  // 9); "" stops.
  void setVisibleStateFile(const QString& path);

 public slots:
  void updateMenu();
  void currentAccountDidChange();
  void menuBarAccountSelected(VRMenuItem* item);
  void clickControlButton();
  void clickQuitButton();
  void clickHelpButton();
  void clickDiagnosticsButton();
  void clickMoreInfoButton();
  void clickChangeServerButton();
  void openAccountPreferences();
  void openProtocolPreferences();
  void UpdateLogDaemon(const QString& line);
  // A click on the tray icon shows and raises the window.
  void statusBarIconActivated(QSystemTrayIcon::ActivationReason reason);
  // The location line (the chosen server's city and country), the protocol
  // line (the connection type) and the line under the status text.
  void refreshConnectionDetails();

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  class View;
  friend class View;
  void presentUserNotification(const QString& title, const QString& text);
  // The Account line: the running connection's account, else the current one.
  void showAccountLine();
  void updateToolTip();
  void reserveMessageRoom();
  void fitMessages();

  AppDelegate* appDelegate_;
  std::shared_ptr<VRAccountManager> accountManager_;
  std::shared_ptr<View> view_;
  std::shared_ptr<DialerState> state_;
  NSTextFieldAQueue* ipLabel_;
  NSTextFieldAQueue* connectionTimeLabel_;
  NSTextFieldAQueue* selectedAccountLabel_;
  NSTextFieldAQueue* selectedProtocolLabel_;
  NSTextFieldAQueue* countryLabel_;
  NSTextFieldAQueue* conStatusLabel_;
  QLabel* connectLabel_;
  QPushButton* connectButton_;
  QPushButton* changeLocationButton_;
  QLabel* disconnectLabel_;
  QLabel* messageLabel_;
  QLabel* warningLabel_;
  QWidget* messageArea_ = nullptr;
  QString messageText_;  // the message as given (the label may add breaks)
  QPushButton* disconnectButton_;
  QPushButton* helpButton_;
  QPushButton* diagnosticsButton_;
  QPushButton* moreInfoButton_;
  QToolButton* menuButton_;
  DiagnosticsViewController* diagnosticsViewController_ = nullptr;
  ServerController* serverController_ = nullptr;
  QSystemTrayIcon* statusBarIcon_ = nullptr;
  QMenu* statusBarMenu_ = nullptr;
  QMenu* subMenu_ = nullptr;
  QString statusBarImageName_;
  QString shieldImageName_ = "Status Bar Connected";  // the disconnect control's image
  QString visibleStateFile_;
  QString visibleStateWritten_;
  QTimer* visibleStateTimer_ = nullptr;
  void writeVisibleState();
  QUrl newsUrl_;
  QStringList lastUserNotification_;
  DialerStatus detailsStatus_ = DialerStatus::Disconnected;
  bool quitting_ = false;
};

}  // namespace client::ui
