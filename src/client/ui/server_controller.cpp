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
  setWindowTitle("Change Location");
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
  testButton_ = new QPushButton("Test Server", this);
  testButton_->setObjectName("testButton");
  statusLabel_ = new QLabel(this);
  statusLabel_->setObjectName("statusLabel");

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
  center.addObserver(
      this, [this](const platform::Notification&) { connectEvent(); }, kVPNWillConnectNotification,
      nullptr);
  center.addObserver(
      this, [this](const platform::Notification&) { disconnectEvent(); },
      kVPNDisconnectNotification, nullptr);
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
      this, [this](const platform::Notification&) { reloadData(); }, kPingCompletedNotification,
      nullptr);
  center.addObserver(
      this, [this](const platform::Notification&) { reloadData(); }, kTestCompletedNotification,
      nullptr);
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
  serverTable_->setEnabled(false);
  switchButton_->setEnabled(false);
  statusLabel_->setText(localized(key));
  progressIndicator_->show();
  statusLabel_->show();
}

void ServerController::updateUIForActionCompletion() {
  progressIndicator_->hide();
  statusLabel_->hide();
  serverTable_->setEnabled(true);
  switchButton_->setEnabled(true);
}

void ServerController::updateUIForServerReload(const std::shared_ptr<ServerList>& list) {
  if (!list) return;
  servers_ = list;
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
    return speed && *speed > 0 ? formatted(*speed) + " KB/s" : QString("N/A");
  }
  if (identifier.contains("Ping")) {
    if (server->isPinging()) return "Pinging";
    auto ping = server->ping();
    return ping && *ping > 0 ? formatted(*ping) + " ms" : QString("N/A");
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
      item->setText(objectValue(kColumns[column], row));
    }
  }
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
  if (row < 0 || row >= numberOfRows()) return;
  const ServerModel::Ptr server = (*servers_)[row];
  auto account = accountManager_->currentAccount();
  const std::string prefix = account ? account->prefix().asString() : std::string();
  switchButton_->setEnabled(server->serverName() != prefix);
  if (!server->testPerformed()) {
    server->performSpeedTest();
    reloadData();
  }
}

void ServerController::switchSelectedServer() {
  const int row = selectedRow();
  if (row < 0 || row >= numberOfRows()) return;
  currentlySwitchingServer_ = true;
  QPointer<ServerController> self(this);
  accountManager_->switchServer((*servers_)[row], [self](const platform::Value& reply) {
    if (!self) return;
    self->currentlySwitchingServer_ = false;
    if (reply.isDictionary() && !reply.contains("error")) {
      self->statusLabel_->setText(kServerSwitchedText);
      self->statusLabel_->show();
      QTimer::singleShot(kServerSwitchedTextMilliseconds, self, [self] {
        if (self) self->statusLabel_->setText(QString());
      });
      return;
    }
    platform::dispatch::Queue::main()->async([self] {
      if (!self) return;
      auto* box = new QMessageBox(self);
      box->setObjectName("switchFailedAlert");
      box->setAttribute(Qt::WA_DeleteOnClose);
      box->setWindowModality(Qt::WindowModal);
      box->setText(localized("ServerWindowSwitchFailedLabel"));
      box->setInformativeText(localized("ServerWindowSwitchFailedText"));
      box->addButton("Ok", QMessageBox::AcceptRole);
      box->open();
    });
  });
}

void ServerController::connectEvent() {
  serverTable_->setEnabled(false);
  switchButton_->setEnabled(false);
}

void ServerController::disconnectEvent() {
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
