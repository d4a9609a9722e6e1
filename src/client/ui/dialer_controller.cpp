#include "client/ui/dialer_controller.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QSaveFile>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "client/Singletons/varnel_log.h"
#include "client/core/account_info.h"
#include "client/core/account_manager.h"
#include "client/ui/app_delegate.h"
#include "client/ui/diagnostics_view_controller.h"
#include "client/ui/images.h"
#include "client/ui/server_controller.h"
#include "client/ui/text_fit.h"
#include "client/ui/vr_menu_item.h"
#include "client/ui/window_placement.h"
#include "client/ui/workspace.h"
#include "platform/foundation/format.h"
#include "platform/system/notification_center.h"

namespace client::ui {

namespace {
const char* kLiveHelpURL = "http://www.varnelvpn.net/live.html";
// What More Info opens when neither the window nor the service named a page.
const char* kDefaultNewsURL = "http://www.varnelvpn.net/";

NSTextFieldAQueue* makeField(QWidget* parent, const char* name) {
  auto* field = new NSTextFieldAQueue(parent);
  field->setObjectName(name);
  return field;
}
}  // namespace

// What the state machine draws, forwarded to the window while it lives.
class DialerController::View : public DialerView {
 public:
  explicit View(DialerController* owner) : owner_(owner) {}
  void setStatusText(const std::string& text, double animation) override {
    if (!owner_) return;
    if (animation > 0) {
      owner_->conStatusLabel_->setAnimatedStringValue(QString::fromStdString(text), animation);
    } else {
      // Set at once: a fade still running from an earlier state must not
      // put its older text back over this one.
      owner_->conStatusLabel_->setStringValueNow(QString::fromStdString(text));
    }
  }
  void showConnectControl() override {
    if (owner_) owner_->showConnectButton();
  }
  void showDisconnectControl(const std::string& label) override {
    if (!owner_) return;
    owner_->showDisconnectButton();
    owner_->disconnectLabel_->setText(QString::fromStdString(label));
  }
  void setConnectedTimeText(const std::string& text) override {
    if (!owner_) return;
    owner_->connectionTimeLabel_->setStringValueNow(QString::fromStdString(text));
    owner_->updateToolTip();
  }
  void setIPAddressText(const std::string& ip, double animation) override {
    if (!owner_) return;
    if (animation > 0) {
      owner_->ipLabel_->setAnimatedStringValue(QString::fromStdString(ip), animation);
    } else {
      owner_->ipLabel_->setText(QString::fromStdString(ip));
    }
  }
  void setConnectButtonEnabled(bool enabled) override {
    if (owner_) owner_->connectButton_->setEnabled(enabled);
  }
  void setChangeLocationButtonEnabled(bool enabled) override {
    if (owner_) owner_->changeLocationButton_->setEnabled(enabled);
  }
  void updateMenu() override {
    if (owner_) owner_->updateMenu();
  }
  void applyControls(const DialerControls& controls) override {
    if (owner_) owner_->applyControls(controls);
  }
  void showWarning(const std::string& text) override {
    if (owner_) owner_->showWarning(QString::fromStdString(text));
  }
  void showMessage(const std::string& text) override {
    if (owner_) owner_->showMessage(QString::fromStdString(text));
  }
  void presentUserNotification(const std::string& title, const std::string& text) override {
    if (owner_) {
      owner_->presentUserNotification(QString::fromStdString(title), QString::fromStdString(text));
    }
  }

 private:
  QPointer<DialerController> owner_;
};

DialerController::DialerController(AppDelegate* appDelegate,
                                   std::shared_ptr<VRAccountManager> accountManager,
                                   QWidget* parent)
    : QWidget(parent, Qt::Window),
      appDelegate_(appDelegate),
      accountManager_(std::move(accountManager)) {
  setObjectName("DialerWindow");
  setWindowTitle("VarnelVPN Client");
  conStatusLabel_ = makeField(this, "conStatusLabel");
  QFont big = conStatusLabel_->font();
  big.setPointSizeF(big.pointSizeF() * 1.6);
  big.setBold(true);
  conStatusLabel_->setFont(big);
  conStatusLabel_->setAlignment(Qt::AlignCenter);
  connectionTimeLabel_ = makeField(this, "connectionTimeLabel");
  connectionTimeLabel_->setAlignment(Qt::AlignCenter);
  messageLabel_ = new QLabel(this);
  messageLabel_->setObjectName("messageLabel");
  messageLabel_->setAlignment(Qt::AlignCenter);
  messageLabel_->setWordWrap(true);
  // Texts carry words of the helper's log: never read as markup.
  messageLabel_->setTextFormat(Qt::PlainText);
  messageLabel_->setStyleSheet("color: #b00020;");
  messageLabel_->hide();
  warningLabel_ = new QLabel(this);
  warningLabel_->setObjectName("warningLabel");
  warningLabel_->setAlignment(Qt::AlignCenter);
  warningLabel_->setWordWrap(true);
  warningLabel_->setTextFormat(Qt::PlainText);
  warningLabel_->setStyleSheet("color: #9a5b00;");
  warningLabel_->hide();
  ipLabel_ = makeField(this, "ipLabel");
  selectedAccountLabel_ = makeField(this, "selectedAccountLabel");
  selectedProtocolLabel_ = makeField(this, "selectedProtocolLabel");
  countryLabel_ = makeField(this, "countryLabel");
  connectLabel_ = new QLabel("Connect", this);
  connectLabel_->setObjectName("connectLabel");
  connectButton_ = new QPushButton(this);
  connectButton_->setObjectName("connectButton");
  connectButton_->setIcon(iconNamed("Status Bar Disconnected"));
  connectButton_->setIconSize(QSize(40, 40));
  connectButton_->setMinimumSize(64, 64);
  changeLocationButton_ = new QPushButton("Change location", this);
  changeLocationButton_->setObjectName("changeLocationButton");
  disconnectLabel_ = new QLabel("Disconnect", this);
  disconnectLabel_->setObjectName("disconnectLabel");
  disconnectButton_ = new QPushButton(this);
  disconnectButton_->setObjectName("disconnectButton");
  disconnectButton_->setIcon(iconNamed("Status Bar Connected"));
  disconnectButton_->setIconSize(QSize(40, 40));
  disconnectButton_->setMinimumSize(64, 64);
  helpButton_ = new QPushButton("Live help", this);
  helpButton_->setObjectName("helpButton");
  diagnosticsButton_ = new QPushButton("Diagnostics", this);
  diagnosticsButton_->setObjectName("diagnosticsButton");
  moreInfoButton_ = new QPushButton("More info", this);
  moreInfoButton_->setObjectName("moreInfoButton");
  menuButton_ = new QToolButton(this);
  menuButton_->setObjectName("menuButton");
  menuButton_->setText("Menu");
  menuButton_->setPopupMode(QToolButton::InstantPopup);

  auto* info = new QGridLayout;
  info->addWidget(new QLabel("Account:", this), 0, 0);
  info->addWidget(selectedAccountLabel_, 0, 1);
  info->addWidget(new QLabel("Location:", this), 1, 0);
  info->addWidget(countryLabel_, 1, 1);
  info->addWidget(new QLabel("Protocol:", this), 2, 0);
  info->addWidget(selectedProtocolLabel_, 2, 1);
  info->addWidget(new QLabel("Your IP:", this), 3, 0);
  info->addWidget(ipLabel_, 3, 1);
  info->setColumnStretch(1, 1);
  auto* control = new QVBoxLayout;
  control->addWidget(connectButton_, 0, Qt::AlignHCenter);
  control->addWidget(connectLabel_, 0, Qt::AlignHCenter);
  control->addWidget(disconnectButton_, 0, Qt::AlignHCenter);
  control->addWidget(disconnectLabel_, 0, Qt::AlignHCenter);
  auto* tools = new QHBoxLayout;
  tools->addWidget(menuButton_);
  tools->addStretch(1);
  tools->addWidget(helpButton_);
  tools->addWidget(diagnosticsButton_);
  tools->addWidget(moreInfoButton_);
  auto* layout = new QVBoxLayout(this);
  if (appDelegate_ != nullptr) {
    auto* bar = new QMenuBar(this);
    appDelegate_->installMainMenu(bar);
    layout->setMenuBar(bar);
  }
  layout->addWidget(conStatusLabel_);
  layout->addWidget(connectionTimeLabel_);
  // The warning and the message share a box that always takes the room of
  // kMessageLines lines: the controls below never move as they come and go.
  messageArea_ = new QWidget(this);
  messageArea_->setObjectName("messageArea");
  auto* messages = new QVBoxLayout(messageArea_);
  messages->setContentsMargins(0, 0, 0, 0);
  messages->addWidget(warningLabel_);
  messages->addWidget(messageLabel_);
  messages->addStretch(1);
  reserveMessageRoom();
  layout->addWidget(messageArea_);
  layout->addLayout(control);
  layout->addWidget(changeLocationButton_, 0, Qt::AlignHCenter);
  layout->addLayout(info);
  layout->addStretch(1);
  layout->addLayout(tools);
  resize(360, 420);

  connect(connectButton_, &QPushButton::clicked, this, &DialerController::clickControlButton);
  connect(disconnectButton_, &QPushButton::clicked, this, &DialerController::clickControlButton);
  connect(changeLocationButton_, &QPushButton::clicked, this,
          &DialerController::clickChangeServerButton);
  connect(helpButton_, &QPushButton::clicked, this, &DialerController::clickHelpButton);
  connect(diagnosticsButton_, &QPushButton::clicked, this,
          &DialerController::clickDiagnosticsButton);
  connect(moreInfoButton_, &QPushButton::clicked, this, &DialerController::clickMoreInfoButton);
}

DialerController::~DialerController() {
  platform::NotificationCenter::defaultCenter().removeObserver(this);
  state_.reset();
  delete serverController_;
  delete diagnosticsViewController_;
  delete statusBarMenu_;
}

DialerStatus DialerController::status() const {
  return state_ ? state_->status() : DialerStatus::Disconnected;
}

void DialerController::loadView() {
  if (state_) return;
  diagnosticsViewController_ = new DiagnosticsViewController;
  view_ = std::make_shared<View>(this);
  HelperRequestFactory factory;
  if (appDelegate_ != nullptr) factory = appDelegate_->seams().helperRequestFactory;
  // The state machine observes the VPN and switch notifications itself.
  state_ = DialerState::create(makeDialerServices(accountManager_), view_, factory);
  auto& center = platform::NotificationCenter::defaultCenter();
  center.addObserver(
      this, [this](const platform::Notification&) { currentAccountDidChange(); },
      kCurrentAccountDidChangeNotification, nullptr);
  center.addObserver(
      this,
      [this](const platform::Notification& n) {
        QString line;
        if (n.userInfo.isDictionary() && n.userInfo["line"].isString()) {
          line = QString::fromStdString(n.userInfo["line"].asString());
        }
        UpdateLogDaemon(line);
      },
      kHelperLogDistributedNotification, nullptr);
  // The location and protocol lines and the connected time follow the
  // status, the chosen server and the server lists.
  center.addObserver(
      this, [this](const platform::Notification&) { refreshConnectionDetails(); },
      kDialerStatusDidChangeNotification, nullptr);
  center.addObserver(
      this, [this](const platform::Notification&) { refreshConnectionDetails(); },
      kServersDidChangeNotification, nullptr);
  center.addObserver(
      this, [this](const platform::Notification&) { refreshConnectionDetails(); },
      kSwitchDidStopNotification, nullptr);

  statusBarIcon_ = new QSystemTrayIcon(this);
  statusBarIcon_->setObjectName("statusBarIcon");
  // A click on the tray icon brings the window back, also after it was closed.
  connect(statusBarIcon_, &QSystemTrayIcon::activated, this,
          &DialerController::statusBarIconActivated);
  statusBarIcon_->setIcon(iconNamed("statusbardisconnected"));
  statusBarImageName_ = "statusbardisconnected";
  state_->changeState(DialerStatus::Disconnected);
  updateToolTip();
  if (QSystemTrayIcon::isSystemTrayAvailable()) statusBarIcon_->show();
  currentAccountDidChange();
  refreshConnectionDetails();

  // Centred, and kept on the screen: on a small screen at a large scale the
  // title bar stays reachable.
  centreOnParent(this, nullptr);
  show();
  raise();
  activateWindow();

  // The test hook (guarantee 9); a normal start has no such argument.
  for (const QString& argument : QCoreApplication::arguments()) {
    if (argument.startsWith(kVisibleStateArgument)) {
      setVisibleStateFile(argument.mid(static_cast<int>(qstrlen(kVisibleStateArgument))));
    }
  }
}

void DialerController::reserveMessageRoom() {
  const QFontMetrics metrics(messageLabel_->font());
  const int spacing = messageArea_->layout()->spacing();
  messageArea_->setFixedHeight(metrics.lineSpacing() * kMessageLines + std::max(spacing, 0));
}

void DialerController::showWarning(const QString& text) {
  const int room = messageArea_->width() > 0 ? messageArea_->width() : width();
  warningLabel_->setText(breakableText(text, warningLabel_->fontMetrics(), room));
  warningLabel_->setVisible(!text.isEmpty());
  fitMessages();
}

void DialerController::showMessage(const QString& text) {
  // A path or address longer than the window wraps instead of being cut.
  const int room = (messageArea_->width() > 0 ? messageArea_->width() : width()) -
                   2 * std::max(messageLabel_->margin(), 0);
  messageLabel_->setText(breakableText(text, messageLabel_->fontMetrics(), room));
  messageText_ = text;
  messageLabel_->setVisible(!text.isEmpty());
  fitMessages();
}

void DialerController::fitMessages() {
  // A text longer than the box keeps the whole of it in its tool tip.
  const int room = messageArea_->width() > 0 ? messageArea_->width() : width();
  int needed = 0;
  for (QLabel* label : {warningLabel_, messageLabel_}) {
    if (label->isHidden()) continue;
    needed += label->heightForWidth(room);
  }
  const bool cut = needed > messageArea_->height();
  messageLabel_->setToolTip(cut ? messageText_ : QString());
  warningLabel_->setToolTip(cut ? warningLabel_->text() : QString());
}

// Hide before showing: for a moment both controls would ask for room, and
// the window would grow for good.
void DialerController::showConnectButton() {
  disconnectLabel_->hide();
  disconnectButton_->hide();
  connectLabel_->setText("Connect");
  connectLabel_->show();
  connectButton_->show();
  changeLocationButton_->show();
}

void DialerController::showDisconnectButton() {
  connectLabel_->hide();
  connectButton_->hide();
  changeLocationButton_->hide();
  disconnectLabel_->setText("Disconnect");
  disconnectLabel_->show();
  disconnectButton_->show();
}

void DialerController::applyControls(const DialerControls& controls) {
  connectButton_->setEnabled(controls.controlEnabled);
  disconnectButton_->setEnabled(controls.controlEnabled);
  changeLocationButton_->setEnabled(controls.changeLocationEnabled);
  // Green only while connected: a connect or a retry is not a protection.
  shieldImageName_ = controls.shieldConnected ? "Status Bar Connected" : "Status Bar Disconnected";
  disconnectButton_->setIcon(iconNamed(shieldImageName_));
}

QString DialerController::visibleState() const {
  // One line each: no line breaks, no zero-width break opportunities.
  auto flat = [](QString text) {
    text.remove(QChar(0x200B));
    text.replace('\n', ' ');
    return text.simplified();
  };
  const bool connectShown = !connectButton_->isHidden();
  QStringList lines;
  lines << "status: " + flat(conStatusLabel_->text());
  lines << "time: " + flat(connectionTimeLabel_->text());
  lines << "message: " + (messageLabel_->isHidden() ? QString() : flat(messageText_));
  lines << "warning: " + (warningLabel_->isHidden() ? QString() : flat(warningLabel_->text()));
  lines << "account: " + flat(selectedAccountLabel_->text());
  lines << "location: " + flat(countryLabel_->text());
  lines << "protocol: " + flat(selectedProtocolLabel_->text());
  lines << "ip: " + flat(ipLabel_->text());
  lines << "control: " + flat(connectShown ? connectLabel_->text() : disconnectLabel_->text());
  lines << QString("control-enabled: ") +
               ((connectShown ? connectButton_ : disconnectButton_)->isEnabled() ? "yes" : "no");
  const bool green = !connectShown && shieldImageName_ == "Status Bar Connected";
  lines << QString("shield: ") + (green ? "green" : "grey");
  lines << "tray: " + statusBarImageName_;
  // Every window, dialogs with a parent too.
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box == nullptr || !box->isVisible()) continue;
    lines << "dialog: " + box->objectName() + ": " +
                 flat(box->text() + " " + box->informativeText());
  }
  return lines.join('\n') + '\n';
}

void DialerController::setVisibleStateFile(const QString& path) {
  visibleStateFile_ = path;
  visibleStateWritten_.clear();
  if (path.isEmpty()) {
    delete visibleStateTimer_;
    visibleStateTimer_ = nullptr;
    return;
  }
  if (visibleStateTimer_ == nullptr) {
    visibleStateTimer_ = new QTimer(this);
    visibleStateTimer_->setInterval(200);
    connect(visibleStateTimer_, &QTimer::timeout, this, &DialerController::writeVisibleState);
    visibleStateTimer_->start();
  }
  writeVisibleState();
}

void DialerController::writeVisibleState() {
  if (visibleStateFile_.isEmpty()) return;
  const QString state = visibleState();
  if (state == visibleStateWritten_) return;
  // Whole or not at all: a reader never sees half of it.
  QSaveFile file(visibleStateFile_);
  if (!file.open(QIODevice::WriteOnly)) return;
  file.write(state.toUtf8());
  if (file.commit()) visibleStateWritten_ = state;
}

void DialerController::updateMenu() {
  if (statusBarMenu_ == nullptr) {
    statusBarMenu_ = new QMenu;
    statusBarMenu_->setObjectName("statusBarMenu");
    subMenu_ = new QMenu("Active Account", statusBarMenu_);
    subMenu_->setObjectName("subMenu");
    QAction* control = statusBarMenu_->addAction("Connect");
    control->setObjectName("controlMenuItem");
    connect(control, &QAction::triggered, this, &DialerController::clickControlButton);
    statusBarMenu_->addSeparator();
    QAction* accounts = statusBarMenu_->addMenu(subMenu_);
    accounts->setObjectName("activeAccountMenuItem");
    statusBarMenu_->addSeparator();
    QAction* preferences = statusBarMenu_->addAction("Preferences");
    preferences->setObjectName("preferencesMenuItem");
    QAction* about = statusBarMenu_->addAction("About");
    about->setObjectName("aboutMenuItem");
    if (appDelegate_ != nullptr) {
      connect(preferences, &QAction::triggered, appDelegate_, &AppDelegate::openPreferencesWindow);
      connect(about, &QAction::triggered, appDelegate_, &AppDelegate::openAboutWindow);
    }
    QAction* quit = statusBarMenu_->addAction("Quit");
    quit->setObjectName("quitMenuItem");
    connect(quit, &QAction::triggered, this, &DialerController::clickQuitButton);
    if (statusBarIcon_ != nullptr) statusBarIcon_->setContextMenu(statusBarMenu_);
    menuButton_->setMenu(statusBarMenu_);
  }

  subMenu_->clear();
  if (accountManager_) {
    auto current = accountManager_->currentAccount();
    for (const auto& account : accountManager_->accounts()) {
      auto* item = new VRMenuItem(QString::fromStdString(account->accountString()), subMenu_);
      item->setAccount(account);
      item->setCheckable(true);
      item->setChecked(account == current);
      item->setEnabled(true);
      connect(item, &QAction::triggered, this, [this, item] { menuBarAccountSelected(item); });
      subMenu_->addAction(item);
    }
  }

  const QList<QAction*> items = statusBarMenu_->actions();
  QAction* control = items.value(0);
  QAction* accounts = items.value(2);
  const DialerControls controls = state_ ? state_->controls() : DialerControls();
  if (controls.shieldConnected) {
    statusBarImageName_ = "Status Bar Connected";
    control->setText(disconnectLabel_->text());
  } else {
    statusBarImageName_ = "Status Bar Disconnected";
    control->setText(connectLabel_->text());
  }
  control->setEnabled(controls.controlEnabled);
  accounts->setEnabled(controls.accountMenuEnabled);
  if (statusBarIcon_ != nullptr) statusBarIcon_->setIcon(iconNamed(statusBarImageName_));
}

void DialerController::currentAccountDidChange() {
  showAccountLine();
  updateMenu();
  refreshConnectionDetails();
}

void DialerController::showAccountLine() {
  QString text, tip;
  // While a connection runs the line names its account, not the selection.
  const BaseAccount::Ptr running = state_ ? state_->runningAccount() : nullptr;
  if (running && status() != DialerStatus::Disconnected) {
    text = QString::fromStdString(running->accountString());
    tip = QString::fromStdString(running->accountLongString());
  } else if (accountManager_) {
    text = QString::fromStdString(accountManager_->currentAccountString());
    tip = QString::fromStdString(accountManager_->currentAccountLongString());
  }
  if (selectedAccountLabel_->text() == text && selectedAccountLabel_->toolTip() == tip) return;
  selectedAccountLabel_->setText(text);
  selectedAccountLabel_->setToolTip(tip);
  selectedAccountLabel_->hide();
  selectedAccountLabel_->show();
}

void DialerController::menuBarAccountSelected(VRMenuItem* item) {
  if (item == nullptr || !accountManager_ || !item->account()) return;
  const auto previous = accountManager_->currentAccount();
  accountManager_->setCurrentAccount(item->account());
  if (previous == item->account()) return;
  // A connect that sent nothing yet takes the new account; a connection
  // that is going down needs no word.
  const DialerStatus now = status();
  if (now == DialerStatus::Disconnected || now == DialerStatus::Disconnecting ||
      !state_->xpcWrapper()) {
    return;
  }
  // The running connection keeps the account it was made with (a reconnect
  // after a drop too); say so, so the user is not left guessing.
  // An account's name ("Lite #W1003") is never broken across two lines.
  auto unbroken = [](const std::string& name) {
    return QString::fromStdString(name).replace(' ', QChar(0x00A0));
  };
  const QString chosen = unbroken(item->account()->accountString());
  const QString running =
      previous ? unbroken(previous->accountString()) : QString("the previous account");
  auto* box = new QMessageBox(isVisible() ? this : nullptr);
  box->setObjectName(kAccountSwitchWhileConnectedAlertName);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setIcon(QMessageBox::Information);
  box->setWindowTitle("VarnelVPN Client");
  box->setWindowModality(isVisible() ? Qt::WindowModal : Qt::ApplicationModal);
  box->setText(QString("%1 is now the active account.").arg(chosen));
  box->setInformativeText(
      QString("The running connection stays connected with %1. %2 is used the next time you "
              "connect: disconnect and connect again to use it now.")
          .arg(running, chosen));
  box->addButton("OK", QMessageBox::AcceptRole);
  box->open();
}

void DialerController::clickControlButton() {
  if (state_) state_->clickControlButton();
}

void DialerController::clickQuitButton() {
  if (appDelegate_ != nullptr) {
    appDelegate_->terminate();
  } else {
    QPointer<DialerController> self(this);
    disconnectThen(
        [self] {
          if (self) self->setQuitting(true);
          QApplication::quit();
        },
        15000);
  }
}

void DialerController::disconnectThen(std::function<void()> done, int timeoutMs) {
  if (!state_ || status() == DialerStatus::Disconnected) {
    if (done) done();
    return;
  }
  // Once: on Disconnected, or when the helper does not answer in time.
  auto pending = std::make_shared<std::function<void()>>(std::move(done));
  auto finish = [pending] {
    if (!*pending) return;
    auto run = std::move(*pending);
    *pending = nullptr;
    run();
  };
  // The guard owns the observer and the timer: whichever comes first ends
  // both, and so does the window's end.
  auto* guard = new QObject(this);
  connect(guard, &QObject::destroyed,
          [guard] { platform::NotificationCenter::defaultCenter().removeObserver(guard); });
  platform::NotificationCenter::defaultCenter().addObserver(
      guard,
      [this, guard, finish](const platform::Notification&) {
        if (status() != DialerStatus::Disconnected) return;
        guard->deleteLater();
        finish();
      },
      kDialerStatusDidChangeNotification, nullptr);
  QTimer::singleShot(timeoutMs, guard, [guard, finish] {
    VarnelLog::sharedInstance().AddToLog("The helper did not confirm the disconnect in time.");
    guard->deleteLater();
    finish();
  });
  // Connected, Connecting or Reconnecting: the control disconnects or
  // cancels through the helper; Disconnecting: already on its way down.
  if (status() != DialerStatus::Disconnecting) state_->clickControlButton();
}

void DialerController::clickHelpButton() {
  Workspace::openURLOrTell(QUrl(kLiveHelpURL), "The Live Help page", this,
                           appDelegate_ ? appDelegate_->seams().openURL : Workspace::Opener());
}

void DialerController::clickDiagnosticsButton() {
  if (diagnosticsViewController_ == nullptr) return;
  if (!diagnosticsViewController_->isVisible()) centreOnParent(diagnosticsViewController_, this);
  diagnosticsViewController_->openDiagnosticWindow();
}

void DialerController::clickMoreInfoButton() {
  Workspace::openURLOrTell(moreInfoUrl(), "The More Info page", this,
                           appDelegate_ ? appDelegate_->seams().openURL : Workspace::Opener());
}

QUrl DialerController::moreInfoUrl() const {
  if (!newsUrl_.isEmpty()) return newsUrl_;
  // The news item of the account service names a page; else the home page.
  if (accountManager_) {
    if (auto info = accountManager_->accountInfo(); info && info->news()) {
      const platform::Value& url = info->news()->url();
      if (url.isString() && !url.asString().empty()) {
        QUrl news(QString::fromStdString(url.asString()));
        if (news.isValid() && (news.scheme() == "http" || news.scheme() == "https")) return news;
      }
    }
  }
  return QUrl(kDefaultNewsURL);
}

void DialerController::clickChangeServerButton() {
  if (status() != DialerStatus::Disconnected) return;
  if (serverController_ == nullptr) serverController_ = new ServerController(accountManager_);
  if (!serverController_->isVisible()) centreOnParent(serverController_, this);
  serverController_->show();
  serverController_->raise();
  serverController_->activateWindow();
}

void DialerController::statusBarIconActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::Context) return;  // the menu opens by itself
  showNormal();
  show();
  raise();
  activateWindow();
}

void DialerController::refreshConnectionDetails() {
  const DialerStatus now = status();
  showAccountLine();
  // While a connection runs (or is being made) the lines describe it, and
  // a later change of account or server does not rewrite them.
  // Until a request is sent, the next one takes the current selection.
  const bool describeSelection = now == DialerStatus::Disconnected ||
                                 detailsStatus_ == DialerStatus::Disconnected ||
                                 (state_ && !state_->xpcWrapper());
  detailsStatus_ = now;
  if (describeSelection && accountManager_) {
    QString location;
    const auto account = accountManager_->currentAccount();
    const auto server = accountManager_->currentServer();
    if (server && !server->cityName().empty()) {
      location = QString::fromStdString(server->cityName());
      if (!server->countryName().empty())
        location += ", " + QString::fromStdString(server->countryName());
    } else if (account && account->city().isString() && !account->city().asString().empty()) {
      location = QString::fromStdString(account->city().asString());
      if (account->country().isString() && !account->country().asString().empty())
        location += ", " + QString::fromStdString(account->country().asString());
    }
    QString protocol;
    if (account) {
      if (auto type = accountManager_->connectionTypeString()) {
        protocol = QString::fromStdString(*type);
      }
    }
    countryLabel_->setStringValueNow(location);
    countryLabel_->setToolTip(account ? QString::fromStdString(account->prefix().isString()
                                                                   ? account->prefix().asString()
                                                                   : std::string())
                                      : QString());
    selectedProtocolLabel_->setStringValueNow(protocol);
  }
  // The line under the status never contradicts it.
  switch (now) {
    case DialerStatus::Connected:
      if (state_) {
        connectionTimeLabel_->setStringValueNow(
            QString::fromStdString(DialerState::connectTimeString(state_->connectedSeconds())));
      }
      break;
    case DialerStatus::Connecting:
      connectionTimeLabel_->setStringValueNow("Connecting");
      break;
    default:
      connectionTimeLabel_->setStringValueNow("Not Connected");
      break;
  }
  updateToolTip();
}

QString DialerController::trayToolTip() const {
  const DialerStatus now = status();
  QString tip =
      QString("VarnelVPN Client: %1").arg(QString::fromStdString(client::statusText(now)));
  if (now == DialerStatus::Connected) {
    if (!countryLabel_->text().isEmpty()) tip += "\n" + countryLabel_->text();
    if (state_) {
      tip += "\nConnected for " +
             QString::fromStdString(DialerState::connectTimeString(state_->connectedSeconds()));
    }
  }
  return tip;
}

void DialerController::updateToolTip() {
  if (statusBarIcon_ == nullptr) return;
  const QString tip = trayToolTip();
  if (statusBarIcon_->toolTip() != tip) statusBarIcon_->setToolTip(tip);
}

void DialerController::closeEvent(QCloseEvent* event) {
  // Closing never quits. With a tray icon the window comes back from it;
  // without one a hidden window could never be reached again, so it is
  // minimised instead.
  // While the application quits every window must close, or the quit is
  // called off.
  if (!quitting_ && statusBarIcon_ != nullptr && !QSystemTrayIcon::isSystemTrayAvailable()) {
    event->ignore();
    showMinimized();
    return;
  }
  QWidget::closeEvent(event);
}

bool DialerController::event(QEvent* event) {
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
    if (messageArea_ != nullptr) reserveMessageRoom();
  }
  // Back from Preferences (connection type) or the switcher: show what is
  // chosen now.
  if (event->type() == QEvent::WindowActivate && status() == DialerStatus::Disconnected) {
    refreshConnectionDetails();
  }
  return QWidget::event(event);
}

void DialerController::openAccountPreferences() {
  if (appDelegate_ != nullptr) appDelegate_->openAccountPreferences();
}

void DialerController::openProtocolPreferences() {
  if (appDelegate_ != nullptr) appDelegate_->openProtocolPreferences();
}

void DialerController::UpdateLogDaemon(const QString& line) {
  VarnelLog::sharedInstance().AddToLog(platform::format("%@", line.toStdString()));
}

void DialerController::presentUserNotification(const QString& title, const QString& text) {
  lastUserNotification_ = QStringList{title, text};
  if (statusBarIcon_ != nullptr && QSystemTrayIcon::isSystemTrayAvailable() &&
      QSystemTrayIcon::supportsMessages()) {
    statusBarIcon_->showMessage(title, text, QSystemTrayIcon::Information);
  }
}

}  // namespace client::ui
