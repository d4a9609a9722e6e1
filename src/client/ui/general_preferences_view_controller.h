// GeneralPreferencesViewController: the "General" pane: check boxes for user
// notifications ("ShowNotifications"), logging to the console
// ("LogToConsole") and automatic update checks (the shared updater's
// setting), and a button that checks for an update now.
//
// Thread safety: main thread only.
#pragma once

#include <QCheckBox>
#include <QPushButton>
#include <memory>

#include "client/ui/preference_pane.h"

namespace client {
class VRUpdater;
}

namespace client::ui {

class GeneralPreferencesViewController : public QWidget, public PreferencePane {
  Q_OBJECT
 public:
  // `updater`: the shared updater when nullptr.
  explicit GeneralPreferencesViewController(std::shared_ptr<VRUpdater> updater = nullptr,
                                            QWidget* parent = nullptr);

  QWidget* view() override { return this; }
  QString identifier() const override { return "GeneralPreferences"; }
  QIcon toolbarItemImage() const override;
  QString toolbarItemLabel() const override;
  QWidget* initialKeyView() override { return showNotifications_; }

  QCheckBox* showNotifications() const { return showNotifications_; }
  QCheckBox* logToConsole() const { return logToConsole_; }
  QCheckBox* automaticUpdates() const { return automaticUpdates_; }

 public slots:
  void changedUpdates();
  void forceUpdateCheck();

 private:
  std::shared_ptr<VRUpdater> updater_;
  QCheckBox* showNotifications_;
  QCheckBox* logToConsole_;
  QCheckBox* automaticUpdates_;
  QPushButton* checkNowButton_;
};

}  // namespace client::ui
