#include "client/ui/account_preferences_view_controller.h"

#include <QHeaderView>
#include <QVBoxLayout>

#include "client/core/account_manager.h"
#include "client/core/connection_state.h"
#include "client/ui/images.h"
#include "client/ui/localizable.h"
#include "client/ui/text_fit.h"
#include "platform/system/notification_center.h"

namespace client::ui {

AccountPreferencesViewController::AccountPreferencesViewController(
    std::shared_ptr<VRAccountManager> accountManager, QWidget* parent)
    : QWidget(parent), accountManager_(std::move(accountManager)) {
  setObjectName("AccountPreferences");
  accountTableView_ = new QTableWidget(this);
  accountTableView_->setObjectName("accountTableView");
  accountTableView_->setColumnCount(2);
  accountTableView_->setHorizontalHeaderLabels({"Account", "Location"});
  accountTableView_->horizontalHeader()->setStretchLastSection(true);
  accountTableView_->verticalHeader()->hide();
  accountTableView_->setSelectionMode(QAbstractItemView::SingleSelection);
  accountTableView_->setSelectionBehavior(QAbstractItemView::SelectRows);
  accountTableView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  connect(accountTableView_, &QTableWidget::cellClicked, this,
          &AccountPreferencesViewController::rowClickAction);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(accountTableView_);
  resize(460, 260);
  reloadAccounts();
}

AccountPreferencesViewController::~AccountPreferencesViewController() {
  platform::NotificationCenter::defaultCenter().removeObserver(this);
}

QIcon AccountPreferencesViewController::toolbarItemImage() const {
  return iconNamed("NSUserAccounts");
}
QString AccountPreferencesViewController::toolbarItemLabel() const { return localized("Accounts"); }

void AccountPreferencesViewController::reloadAccounts() {
  auto accounts = accountManager_ ? accountManager_->accounts() : std::vector<BaseAccount::Ptr>{};
  accountTableView_->setRowCount(static_cast<int>(accounts.size()));
  for (int row = 0; row < static_cast<int>(accounts.size()); ++row) {
    accountTableView_->setItem(
        row, 0, new QTableWidgetItem(QString::fromStdString(accounts[row]->accountString())));
    accountTableView_->setItem(
        row, 1, new QTableWidgetItem(QString::fromStdString(accounts[row]->countryString())));
  }
  fitColumnsToText(accountTableView_);
}

std::optional<int> AccountPreferencesViewController::indexSetForCurrentAccount() const {
  if (!accountManager_) return std::nullopt;
  auto current = accountManager_->currentAccount();
  if (!current) return std::nullopt;
  auto accounts = accountManager_->accounts();
  for (std::size_t i = 0; i < accounts.size(); ++i) {
    if (accounts[i] == current) return static_cast<int>(i);
  }
  return std::nullopt;
}

void AccountPreferencesViewController::currentAccountDidChange() {
  if (accountTableView_->rowCount() != static_cast<int>(accountManager_->accounts().size())) {
    reloadAccounts();
  }
  accountTableView_->clearSelection();
  if (auto row = indexSetForCurrentAccount()) accountTableView_->selectRow(*row);
}

void AccountPreferencesViewController::viewWillAppear() {
  reloadAccounts();
  currentAccountDidChange();
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(this);
  center.addObserver(
      this, [this](const platform::Notification&) { currentAccountDidChange(); },
      kCurrentAccountDidChangeNotification, nullptr);
  observeConnectionActivity(
      this, [this] { connectEvent(); }, [this] { disconnectEvent(); });
}

void AccountPreferencesViewController::viewDidDisappear() {
  platform::NotificationCenter::defaultCenter().removeObserver(this);
}

void AccountPreferencesViewController::connectEvent() { accountTableView_->setEnabled(false); }
void AccountPreferencesViewController::disconnectEvent() { accountTableView_->setEnabled(true); }

void AccountPreferencesViewController::rowClickAction() {
  if (!accountManager_ || !accountTableView_->isEnabled()) return;
  auto rows = accountTableView_->selectionModel()->selectedRows();
  if (rows.isEmpty()) return;
  auto accounts = accountManager_->accounts();
  int row = rows.first().row();
  if (row < 0 || row >= static_cast<int>(accounts.size())) return;
  accountManager_->setCurrentAccount(accounts[row]);
}

}  // namespace client::ui
