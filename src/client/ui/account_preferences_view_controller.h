// AccountPreferencesViewController: the "Accounts" pane: a table of the
// user's VPN accounts, in the account manager's order. Clicking a row makes
// its account the current one; the selection follows the current account.
//
// Guarantees:
//  1. While the pane is shown the selected row is the current account's
//     (none when there is none or it is not listed).
//  2. From a connect or server-switch start until the next disconnect or
//     switch end the table is disabled and clicks change nothing.
//
// Thread safety: main thread only.
#pragma once

#include <QTableWidget>
#include <memory>
#include <optional>

#include "client/ui/preference_pane.h"

namespace client {
class VRAccountManager;
}

namespace client::ui {

class AccountPreferencesViewController : public QWidget, public PreferencePane {
  Q_OBJECT
 public:
  explicit AccountPreferencesViewController(std::shared_ptr<VRAccountManager> accountManager,
                                            QWidget* parent = nullptr);
  ~AccountPreferencesViewController() override;

  QWidget* view() override { return this; }
  QString identifier() const override { return "AccountPreferences"; }
  QIcon toolbarItemImage() const override;
  QString toolbarItemLabel() const override;
  QWidget* initialKeyView() override { return accountTableView_; }
  void viewWillAppear() override;
  void viewDidDisappear() override;

  QTableWidget* accountTableView() const { return accountTableView_; }
  // The current account's row; nullopt when none.
  std::optional<int> indexSetForCurrentAccount() const;

 public slots:
  void currentAccountDidChange();
  void rowClickAction();
  void reloadAccounts();
  void connectEvent();
  void disconnectEvent();

 private:
  std::shared_ptr<VRAccountManager> accountManager_;
  QTableWidget* accountTableView_;
};

}  // namespace client::ui
