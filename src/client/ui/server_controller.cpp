#include "client/ui/server_controller.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "client/core/account_manager.h"
#include "client/core/connection_state.h"
#include "client/ui/localizable.h"
#include "client/ui/preference_pane.h"
#include "client/ui/text_fit.h"
#include "platform/dispatch/dispatch.h"
#include "platform/system/notification_center.h"

namespace client::ui {

namespace {
const QStringList kColumns = {"Country", "City", "Server", "Speed", "Ping"};
}

ServerController::ServerController(std::shared_ptr<VRAccountManager> accountManager,
                                   QWidget* parent)
    : QWidget(parent, Qt::Window), accountManager_(std::move(accountManager)) {
  setObjectName("ServerSwitcher");
  setWindowTitle("Change location");
  accountStringLabel_ = new QLabel(this);
  accountStringLabel_->setObjectName("accountStringLabel");
  serverTable_ = new QTableWidget(this);
  serverTable_->setObjectName("serverTable");
  serverTable_->setColumnCount(static_cast<int>(kColumns.size()));
  serverTable_->setHorizontalHeaderLabels(kColumns);
  for (int c = 0; c < kColumns.size(); ++c) {
    serverTable_->horizontalHeaderItem(c)->setData(Qt::UserRole, kColumns[c]);
  }
  serverTable_->horizontalHeader()->setStretchLastSection(true);
  serverTable_->horizontalHeader()->setSectionsClickable(true);
  serverTable_->horizontalHeader()->setSortIndicatorShown(true);
  serverTable_->verticalHeader()->hide();
  serverTable_->setSelectionMode(QAbstractItemView::SingleSelection);
  serverTable_->setSelectionBehavior(QAbstractItemView::SelectRows);
  serverTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  progressIndicator_ = new QProgressBar(this);
  progressIndicator_->setObjectName("progressIndicator");
  progressIndicator_->setRange(0, 0);
  progressIndicator_->setMaximumWidth(90);
  switchButton_ = new QPushButton("Switch", this);
  switchButton_->setObjectName("switchButton");
  testButton_ = new QPushButton("Test server", this);
  testButton_->setObjectName("testButton");
  statusLabel_ = new QLabel(this);
  statusLabel_->setObjectName("statusLabel");
  statusLabel_->setWordWrap(true);
  noteTimer_ = new QTimer(this);
  noteTimer_->setSingleShot(true);
  connect(noteTimer_, &QTimer::timeout, this, [this] {
    note_.clear();
    statusLabel_->setText(QString());
    if (!busy_) statusLabel_->hide();
  });

  // The buttons keep their size while the status line comes and goes.
  testButton_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  switchButton_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  QSizePolicy line(QSizePolicy::Expanding, QSizePolicy::Preferred);
  line.setRetainSizeWhenHidden(true);
  statusLabel_->setSizePolicy(line);
  QSizePolicy indicator = progressIndicator_->sizePolicy();
  indicator.setRetainSizeWhenHidden(true);
  progressIndicator_->setSizePolicy(indicator);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(progressIndicator_);
  bottom->addWidget(statusLabel_, 1);
  bottom->addWidget(testButton_);
  bottom->addWidget(switchButton_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(accountStringLabel_);
  layout->addWidget(serverTable_, 1);
  layout->addLayout(bottom);
  resize(620, 380);

  connect(testButton_, &QPushButton::clicked, this, &ServerController::testSelectedServerAction);
  connect(serverTable_, &QTableWidget::cellDoubleClicked, this,
          &ServerController::testSelectedServerAction);
  connect(switchButton_, &QPushButton::clicked, this, &ServerController::switchSelectedServer);
  connect(serverTable_->horizontalHeader(), &QHeaderView::sortIndicatorChanged, this,
          [this](int column, Qt::SortOrder order) { sortByColumn(kColumns.value(column), order); });

  auto& center = platform::NotificationCenter::defaultCenter();
  // Whether a switch may start now is the dialer's to say.
  observeDialerControls(this, [this](const DialerControls& controls) {
    if (controls.changeLocationEnabled) {
      disconnectEvent();
    } else {
      connectEvent();
    }
  });
  center.addObserver(
      this,
      [this](const platform::Notification&) {
        updateUIForActionStart("ServerWindowStatusLabelSwitchingText");
      },
      kSwitchWillStartNotification, nullptr);
  center.addObserver(
      this, [this](const platform::Notification&) { updateUIForActionCompletion(); },
      kSwitchDidStopNotification, nullptr);
  center.addObserver(
      this,
      [this](const platform::Notification&) {
        updateUIForActionStart("ServerWindowStatusLabelReloadingText");
      },
      kServersWillChangeNotification, nullptr);
  center.addObserver(
      this,
      [this](const platform::Notification& n) {
        updateUIForServerReload(n.objectAs<ServerList>());
      },
      kServersDidChangeNotification, nullptr);
  // Test results arrive from other threads' work, posted on the main thread.
  center.addObserver(
      this,
      [this](const platform::Notification& n) {
        reloadData();
        testDidProgress(n.objectAs<ServerModel>());
      },
      kPingCompletedNotification, nullptr);
  center.addObserver(
      this,
      [this](const platform::Notification& n) {
        reloadData();
        testDidProgress(n.objectAs<ServerModel>());
      },
      kTestCompletedNotification, nullptr);
  windowDidLoad();
}

ServerController::~ServerController() {
  platform::NotificationCenter::defaultCenter().removeObserver(this);
}

void ServerController::windowDidLoad() {
  updateUIForActionStart("ServerWindowStatusLabelReloadingText");
  updateUIForServerReload(accountManager_ ? accountManager_->currentServers() : nullptr);
}

void ServerController::updateUIForActionStart(const char* key) {
  busy_ = true;
  serverTable_->setEnabled(false);
  switchButton_->setEnabled(false);
  statusLabel_->setText(localized(key));
  progressIndicator_->show();
  statusLabel_->show();
}

void ServerController::updateUIForActionCompletion() {
  busy_ = false;
  refreshIndicator();
  // A note (a switch's confirmation, a test's result) stays readable.
  if (!note_.isEmpty()) {
    statusLabel_->setText(note_);
    statusLabel_->show();
  } else {
    statusLabel_->hide();
  }
  serverTable_->setEnabled(stateAllowsSwitch_);
  switchButton_->setEnabled(stateAllowsSwitch_);
}

void ServerController::refreshIndicator() {
  progressIndicator_->setVisible(busy_ || !testing_.empty());
}

void ServerController::showNote(const QString& text, int ms) {
  note_ = text;
  statusLabel_->setText(text);
  statusLabel_->show();
  noteTimer_->start(ms);
}

void ServerController::updateUIForServerReload(const std::shared_ptr<ServerList>& list) {
  if (!list) return;
  servers_ = list;
  // Whose servers these are, and which one the account uses now.
  if (auto account = accountManager_->currentAccount()) {
    QString line = QString("Servers of %1").arg(QString::fromStdString(account->accountString()));
    if (account->prefix().isString() && !account->prefix().asString().empty()) {
      line += QString(", now using %1").arg(QString::fromStdString(account->prefix().asString()));
    }
    accountStringLabel_->setText(line + ".");
  }
  reloadData();
  if (auto row = indexSetForServer(accountManager_->currentServer())) {
    serverTable_->selectRow(*row);
    serverTable_->scrollToItem(serverTable_->item(*row, 0));
  }
  updateUIForActionCompletion();
}

int ServerController::numberOfRows() const {
  return servers_ ? static_cast<int>(servers_->size()) : 0;
}

QString ServerController::formatted(long value) const {
  // Grouped by the locale's separator in threes, no decimals.
  return QLocale().toString(static_cast<qlonglong>(value));
}

QString ServerController::objectValue(const QString& identifier, int row) const {
  if (row < 0 || row >= numberOfRows()) return QString();
  const ServerModel::Ptr& server = (*servers_)[row];
  if (identifier.contains("Country")) return QString::fromStdString(server->countryName());
  if (identifier.contains("City")) return QString::fromStdString(server->cityName());
  if (identifier.contains("Server")) return QString::fromStdString(server->serverName());
  if (identifier.contains("Speed")) {
    if (server->isTesting()) return "Testing";
    auto speed = server->speed();
    if (speed && *speed > 0) return formatted(*speed) + " KB/s";
    const std::string why = server->speedFailure();
    return why.empty() ? QString("N/A") : QString("N/A (%1)").arg(QString::fromStdString(why));
  }
  if (identifier.contains("Ping")) {
    if (server->isPinging()) return "Pinging";
    auto ping = server->ping();
    // A reply within the millisecond is a measured ping too.
    if (ping && (*ping > 0 || server->pingFailure().empty())) {
      return *ping > 0 ? formatted(*ping) + " ms" : QString("< 1 ms");
    }
    const std::string why = server->pingFailure();
    return why.empty() ? QString("N/A") : QString("N/A (%1)").arg(QString::fromStdString(why));
  }
  return QString();
}

void ServerController::reloadData() {
  const int selected = selectedRow();
  serverTable_->setRowCount(numberOfRows());
  for (int row = 0; row < numberOfRows(); ++row) {
    for (int column = 0; column < kColumns.size(); ++column) {
      auto* item = serverTable_->item(row, column);
      if (item == nullptr) {
        item = new QTableWidgetItem;
        serverTable_->setItem(row, column, item);
      }
      const QString text = objectValue(kColumns[column], row);
      item->setText(text);
      item->setToolTip(text.startsWith("N/A (") ? text : QString());
    }
  }
  fitColumnsToText(serverTable_);
  if (selected >= 0 && selected < numberOfRows()) serverTable_->selectRow(selected);
}

void ServerController::sortByColumn(const QString& identifier, Qt::SortOrder order) {
  if (!servers_) return;
  auto key = [&](const ServerModel::Ptr& s) -> std::pair<long, std::string> {
    if (identifier == "Country") return {0, s->countryName()};
    if (identifier == "City") return {0, s->cityName()};
    if (identifier == "Server") return {0, s->serverName()};
    if (identifier == "Speed") return {s->speed().value_or(0), {}};
    if (identifier == "Ping") return {s->ping().value_or(0), {}};
    return {0, {}};
  };
  std::stable_sort(servers_->begin(), servers_->end(),
                   [&](const ServerModel::Ptr& a, const ServerModel::Ptr& b) {
                     return order == Qt::AscendingOrder ? key(a) < key(b) : key(b) < key(a);
                   });
  serverTable_->clearSelection();
  reloadData();
}

std::optional<int> ServerController::indexSetForServer(const ServerModel::Ptr& server) const {
  if (!server || !servers_) return std::nullopt;
  for (int i = 0; i < numberOfRows(); ++i) {
    if ((*servers_)[i] == server) return i;
  }
  return std::nullopt;
}

int ServerController::selectedRow() const {
  auto rows = serverTable_->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.first().row();
}

void ServerController::testSelectedServerAction() {
  const int row = selectedRow();
  if (row < 0 || row >= numberOfRows()) {
    showNote("Choose a server in the list, then click Test server.",
             kServerSwitchedTextMilliseconds);
    return;
  }
  const ServerModel::Ptr server = (*servers_)[row];
  auto account = accountManager_->currentAccount();
  const std::string prefix = account ? account->prefix().asString() : std::string();
  switchButton_->setEnabled(server->serverName() != prefix);
  const QString name = QString::fromStdString(server->serverName());
  if (!server->testPerformed()) {
    testing_.insert(server);
    server->performSpeedTest();
    reloadData();
    refreshIndicator();
    note_.clear();
    noteTimer_->stop();
    statusLabel_->setText(QString("Testing %1: ping and download speed...").arg(name));
    statusLabel_->show();
    // A tool that fails to start ends the test at once.
    testDidProgress(server);
  } else if (testing_.count(server) != 0) {
    statusLabel_->setText(QString("Testing %1: ping and download speed...").arg(name));
    statusLabel_->show();
  } else {
    showNote(resultText(server), kServerSwitchedTextMilliseconds);
  }
}

QString ServerController::resultText(const ServerModel::Ptr& server) const {
  const QString name = QString::fromStdString(server->serverName());
  auto part = [](const QString& label, const QString& cell) {
    return cell.startsWith("N/A (")
               ? QString("%1 not measured (%2)").arg(label, cell.mid(5).chopped(1))
               : QString("%1 %2").arg(label, cell);
  };
  const int row = indexSetForServer(server).value_or(-1);
  if (row < 0) return QString("%1 tested.").arg(name);
  return QString("%1: %2; %3.")
      .arg(name, part("ping", objectValue("Ping", row)), part("speed", objectValue("Speed", row)));
}

void ServerController::testDidProgress(const ServerModel::Ptr& server) {
  if (!server || testing_.count(server) == 0) return;
  if (server->isPinging() || server->isTesting()) return;
  testing_.erase(server);
  refreshIndicator();
  showNote(resultText(server), kServerSwitchedTextMilliseconds);
}

void ServerController::switchSelectedServer() {
  const int row = selectedRow();
  if (row < 0 || row >= numberOfRows()) {
    showNote("Choose a server in the list, then click Switch.", kServerSwitchedTextMilliseconds);
    return;
  }
  currentlySwitchingServer_ = true;
  const ServerModel::Ptr target = (*servers_)[row];
  QPointer<ServerController> self(this);
  accountManager_->switchServer(target, [self, target](const platform::Value& reply) {
    if (!self) return;
    self->currentlySwitchingServer_ = false;
    if (reply.isDictionary() && !reply.contains("error")) {
      QString where = QString::fromStdString(target->cityName());
      if (!target->countryName().empty())
        where += ", " + QString::fromStdString(target->countryName());
      self->showNote(
          QString("%1: now using %2 (%3).")
              .arg(kServerSwitchedText, QString::fromStdString(target->serverName()), where),
          kServerSwitchedTextMilliseconds);
      return;
    }
    platform::dispatch::Queue::main()->async([self] {
      if (!self) return;
      auto* box = new QMessageBox(self);
      box->setObjectName("switchFailedAlert");
      box->setAttribute(Qt::WA_DeleteOnClose);
      box->setWindowModality(Qt::WindowModal);
      box->setIcon(QMessageBox::Warning);
      box->setText(localized("ServerWindowSwitchFailedLabel"));
      box->setInformativeText(localized("ServerWindowSwitchFailedText"));
      box->addButton("Ok", QMessageBox::AcceptRole);
      box->open();
    });
  });
}

void ServerController::connectEvent() {
  stateAllowsSwitch_ = false;
  serverTable_->setEnabled(false);
  switchButton_->setEnabled(false);
}

void ServerController::disconnectEvent() {
  stateAllowsSwitch_ = true;
  if (busy_) return;  // a reload or switch of our own still runs
  serverTable_->setEnabled(true);
  switchButton_->setEnabled(true);
}

void ServerController::closeEvent(QCloseEvent* event) {
  if (currentlySwitchingServer_) {
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

}  // namespace client::ui
