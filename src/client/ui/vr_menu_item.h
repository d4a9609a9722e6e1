// VRMenuItem: a menu item that carries the account it selects (owning).
//
// Thread safety: main thread only.
#pragma once

#include <QAction>

#include "client/core/base_account.h"

namespace client::ui {

class VRMenuItem : public QAction {
  Q_OBJECT
 public:
  explicit VRMenuItem(const QString& title, QObject* parent = nullptr);
  const BaseAccount::Ptr& account() const { return account_; }
  void setAccount(BaseAccount::Ptr account) { account_ = std::move(account); }

 private:
  BaseAccount::Ptr account_;
};

}  // namespace client::ui
