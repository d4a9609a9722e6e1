#include "client/ui/general_preferences_view_controller.h"

#include <QMessageBox>
#include <QPointer>
#include <QVBoxLayout>

#include "client/core/app_startup.h"
#include "client/core/dialer_state.h"
#include "client/core/updater.h"
#include "client/ui/about_controller.h"
#include "client/ui/images.h"
#include "client/ui/localizable.h"
#include "platform/system/user_defaults.h"

namespace client::ui {

namespace {
void bindToDefault(QCheckBox* box, const char* key) {
  auto defaults = platform::UserDefaults::standardUserDefaults();
  box->setChecked(defaults->boolForKey(key));
  QObject::connect(box, &QCheckBox::toggled, box, [key](bool on) {
    platform::UserDefaults::standardUserDefaults()->setObject(platform::Value(on), key);
  });
}
}  // namespace

GeneralPreferencesViewController::GeneralPreferencesViewController(
    std::shared_ptr<VRUpdater> updater, QWidget* parent)
    : QWidget(parent), updater_(updater ? std::move(updater) : VRUpdater::sharedUpdater()) {
  setObjectName("GeneralPreferences");
  showNotifications_ = new QCheckBox("Show notifications", this);
  showNotifications_->setObjectName("showNotifications");
  logToConsole_ = new QCheckBox("Log to console", this);
  logToConsole_->setObjectName("logToConsole");
  automaticUpdates_ = new QCheckBox("Automatically check for updates", this);
  automaticUpdates_->setObjectName("automaticUpdates");
  checkNowButton_ = new QPushButton("Check now", this);
  checkNowButton_->setObjectName("checkNowButton");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(showNotifications_);
  layout->addWidget(logToConsole_);
  layout->addWidget(automaticUpdates_);
  layout->addWidget(checkNowButton_, 0, Qt::AlignLeft);
  layout->addStretch(1);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  resize(360, 170);

  bindToDefault(showNotifications_, kShowNotificationsDefaultsKey);
  bindToDefault(logToConsole_, kLogToConsoleKey);
  // loadView
  automaticUpdates_->setChecked(updater_->automaticallyChecksForUpdates());
  connect(automaticUpdates_, &QCheckBox::toggled, this,
          &GeneralPreferencesViewController::changedUpdates);
  connect(checkNowButton_, &QPushButton::clicked, this,
          &GeneralPreferencesViewController::forceUpdateCheck);
}

QIcon GeneralPreferencesViewController::toolbarItemImage() const {
  return iconNamed("NSPreferencesGeneral");
}
QString GeneralPreferencesViewController::toolbarItemLabel() const { return localized("General"); }

void GeneralPreferencesViewController::changedUpdates() {
  updater_->setAutomaticallyChecksForUpdates(automaticUpdates_->isChecked());
}

void GeneralPreferencesViewController::forceUpdateCheck() {
  QPointer<GeneralPreferencesViewController> self(this);
  checkNowButton_->setEnabled(false);
  updater_->checkForUpdates([self](const UpdateCheckResult& result) {
    if (!self) return;
    self->checkNowButton_->setEnabled(true);
    auto* box = new QMessageBox(self->window());
    box->setObjectName("updateCheckAlert");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    if (result.error) {
      box->setText("The update check failed.");
      box->setInformativeText(QString::fromStdString(result.error.localizedDescription()));
    } else if (result.updateAvailable) {
      // Named as the About window names the running version.
      box->setText(
          QString("%1 is available.").arg(AboutController::versionText(result.latestVersion)));
    } else {
      box->setText("You are up to date.");
      box->setInformativeText(QString("%1 is the newest version.")
                                  .arg(AboutController::versionText(result.latestVersion)));
    }
    box->addButton("OK", QMessageBox::AcceptRole);
    box->open();
  });
}

}  // namespace client::ui
