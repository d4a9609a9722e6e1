#include "client/ui/advanced_preferences_view_controller.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QGridLayout>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <tuple>

#include "client/core/account_manager.h"
#include "client/core/connection_state.h"
#include "client/core/xpc_wrapper.h"
#include "client/ui/images.h"
#include "client/ui/localizable.h"
#include "client/ui/srgb_color.h"
#include "platform/dispatch/dispatch.h"
#include "platform/sysconfig/nm_connection_driver.h"
#include "platform/system/notification_center.h"

namespace client::ui {

namespace {
void setLabel(QLabel* label, const char* key) { label->setText(localized(key)); }
}  // namespace

bool systemOffersPPTP() {
  return platform::sysconfig::nmPluginInstalled(platform::sysconfig::nmPPTPPlugin());
}
bool systemOffersL2TP() {
  return platform::sysconfig::nmPluginInstalled(platform::sysconfig::nmL2TPPlugin());
}
bool systemOffersIPSec() {
  return platform::sysconfig::nmPluginInstalled(platform::sysconfig::nmIPSecPlugin());
}

namespace {
bool isCharacterDevice(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISCHR(st.st_mode);
}
bool isExecutable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }
}  // namespace

bool systemCanMake(int connectionType) {
  // The devices: pppd and the helper's OpenVPN and vpnc open them.
  const bool ppp = isCharacterDevice("/dev/ppp");
  const bool tun = isCharacterDevice("/dev/net/tun");
  switch (connectionType) {
    case kConnectionTypePPTP:
      return ppp && systemOffersPPTP();
    case kConnectionTypeL2TP:
      return ppp && systemOffersL2TP();
    case kConnectionTypeSSTP:
      return ppp && isExecutable(XPCWrapper::sstpLocation());
    case kConnectionTypeOpenVPNUDP:
    case kConnectionTypeOpenVPNTCP:
    case kConnectionTypeOpenVPNProxy:
      return tun && isExecutable(XPCWrapper::openVPNPath());
    case kConnectionTypeIPSec:
      return tun && systemOffersIPSec();
    default:
      return false;
  }
}

AdvancedPreferencesViewController::AdvancedPreferencesViewController(
    std::shared_ptr<VRAccountManager> accountManager, QWidget* parent,
    std::optional<bool> offersPPTP, std::function<bool(int)> offersType,
    std::function<bool(int)> canMake)
    : QWidget(parent),
      accountManager_(std::move(accountManager)),
      offersPPTP_(offersPPTP),
      offersType_(std::move(offersType)),
      canMake_(canMake ? std::move(canMake) : std::function<bool(int)>(systemCanMake)) {
  setObjectName("AdvancedPreferences");
  radios_ = new QButtonGroup(this);
  radios_->setExclusive(true);
  automaticRadio_ = new QRadioButton("Automatic", this);
  automaticRadio_->setObjectName("automaticRadio");
  pptpRadio_ = makeRadio("pptpRadio", "PPTP", kConnectionTypePPTP);
  l2tpRadio_ = makeRadio("l2tpRadio", "L2TP", kConnectionTypeL2TP);
  sstpRadio_ = makeRadio("sstpRadio", "SSTP", kConnectionTypeSSTP);
  openvpnRadio_ = makeRadio("openvpnRadio", "OpenVPN", kConnectionTypeOpenVPNUDP);
  ipsecRadio_ = makeRadio("ipsecRadio", "IPSec", kConnectionTypeIPSec);
  ikev2Radio_ = makeRadio("ikev2Radio", "IKEv2", kConnectionTypeIKEv2);
  pptpLabel_ = makeLabel("pptpLabel");
  l2tpLabel_ = makeLabel("l2tpLabel");
  sstpLabel_ = makeLabel("sstpLabel");
  openvpnLabel_ = makeLabel("openvpnLabel");
  ipsecLabel_ = makeLabel("ipsecLabel");
  ikev2Label_ = makeLabel("ikev2Label");
  openVPNProtocolPopUpButton_ = new QComboBox(this);
  openVPNProtocolPopUpButton_->setObjectName("openVPNProtocolPopUpButton");
  openVPNProtocolPopUpButton_->addItem("OpenVPN UDP", kConnectionTypeOpenVPNUDP);
  openVPNProtocolPopUpButton_->addItem("OpenVPN TCP", kConnectionTypeOpenVPNTCP);
  openVPNProtocolPopUpButton_->addItem("OpenVPN Proxy", kConnectionTypeOpenVPNProxy);
  openVPNProtocolPopUpButton_->setEnabled(false);
  scrambleCheckbox_ = new QCheckBox("Scramble", this);
  scrambleCheckbox_->setObjectName("scrambleCheckbox");
  switchingIndicator_ = new QProgressBar(this);
  switchingIndicator_->setObjectName("switchingIndicator");
  switchingIndicator_->setRange(0, 0);
  switchingIndicator_->setMaximumWidth(80);
  switchingIndicator_->hide();
  switchingLabel_ = new QLabel("Switching server...", this);
  switchingLabel_->setObjectName("switchingLabel");
  switchingLabel_->hide();

  auto* grid = new QGridLayout;
  int row = 0;
  grid->addWidget(automaticRadio_, row++, 0);
  automaticRadio_->hide();
  for (auto [radio, label] : {std::pair{pptpRadio_, pptpLabel_},
                              {l2tpRadio_, l2tpLabel_},
                              {sstpRadio_, sstpLabel_},
                              {openvpnRadio_, openvpnLabel_},
                              {ipsecRadio_, ipsecLabel_},
                              {ikev2Radio_, ikev2Label_}}) {
    grid->addWidget(radio, row, 0);
    grid->addWidget(label, row, 1);
    if (radio == openvpnRadio_) grid->addWidget(openVPNProtocolPopUpButton_, row, 2);
    ++row;
  }
  scrambleCheckbox_->hide();
  auto* status = new QHBoxLayout;
  status->addWidget(switchingIndicator_);
  status->addWidget(switchingLabel_);
  status->addStretch(1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(status);
  layout->addStretch(1);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  resize(560, 280);

  connect(radios_, &QButtonGroup::buttonClicked, this,
          [this](QAbstractButton* button) { changeProtocol(button); });
  connect(openVPNProtocolPopUpButton_, QOverload<int>::of(&QComboBox::activated), this,
          [this](int) { changeOpenVPNProtocol(); });
}

AdvancedPreferencesViewController::~AdvancedPreferencesViewController() {
  platform::NotificationCenter::defaultCenter().removeObserver(this);
}

QRadioButton* AdvancedPreferencesViewController::makeRadio(const char* name, const QString& title,
                                                           int tag) {
  auto* radio = new QRadioButton(title, this);
  radio->setObjectName(name);
  radios_->addButton(radio, tag);
  return radio;
}

QLabel* AdvancedPreferencesViewController::makeLabel(const char* name) {
  auto* label = new QLabel(this);
  label->setObjectName(name);
  label->setWordWrap(true);
  label->setMinimumWidth(300);
  return label;
}

QIcon AdvancedPreferencesViewController::toolbarItemImage() const {
  return iconNamed("NSAdvanced");
}
QString AdvancedPreferencesViewController::toolbarItemLabel() const {
  return localized("Advanced");
}

QRadioButton* AdvancedPreferencesViewController::radioForTag(int tag) const {
  if (tag >= kConnectionTypeOpenVPNUDP && tag <= kConnectionTypeOpenVPNProxy) return openvpnRadio_;
  return qobject_cast<QRadioButton*>(radios_->button(tag));
}

QLabel* AdvancedPreferencesViewController::labelForTag(int tag) const {
  switch (tag) {
    case kConnectionTypePPTP:
      return pptpLabel_;
    case kConnectionTypeL2TP:
      return l2tpLabel_;
    case kConnectionTypeSSTP:
      return sstpLabel_;
    case kConnectionTypeOpenVPNUDP:
    case kConnectionTypeOpenVPNTCP:
    case kConnectionTypeOpenVPNProxy:
      return openvpnLabel_;
    case kConnectionTypeIPSec:
      return ipsecLabel_;
    case kConnectionTypeIKEv2:
      return ikev2Label_;
    default:
      return nullptr;
  }
}

void AdvancedPreferencesViewController::viewWillAppear() {
  prepareViewWithAccount(accountManager_->currentAccount());
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(this);
  // The dialer's state alone decides whether the type may change now.
  observeDialerControls(this, [this](const DialerControls& controls) {
    setRadioEnabledStatus(controls.settingsEnabled);
  });
  center.addObserver(
      this, [this](const platform::Notification&) { serverWillSwitch(); },
      kSwitchWillStartNotification, nullptr);
  center.addObserver(
      this, [this](const platform::Notification&) { serverDidSwitch(); },
      kSwitchDidStopNotification, nullptr);
  center.addObserver(
      this, [this](const platform::Notification&) { serversDidChange(); },
      kServersDidChangeNotification, nullptr);
}

void AdvancedPreferencesViewController::viewDidDisappear() {
  platform::NotificationCenter::defaultCenter().removeObserver(this);
}

void AdvancedPreferencesViewController::prepareViewWithAccount(const BaseAccount::Ptr& account) {
  QLabel* labels[] = {pptpLabel_, l2tpLabel_, sstpLabel_, openvpnLabel_, ipsecLabel_, ikev2Label_};
  for (QLabel* label : labels) label->setStyleSheet(QString());
  unavailable_.clear();
  pptpLabel_->setEnabled(true);
  if (!account) {
    updateRadioEnabling();
    for (QLabel* label : labels) setLabel(label, "PreferencesProtocolNoActiveAccountDescription");
    return;
  }
  const int type = accountManager_->connectionType();
  switch (type) {
    case kConnectionTypePPTP:
    case kConnectionTypeL2TP:
    case kConnectionTypeSSTP:
    case kConnectionTypeIPSec:
    case kConnectionTypeIKEv2:
      radioForTag(type)->setChecked(true);
      break;
    case kConnectionTypeOpenVPNUDP:
    case kConnectionTypeOpenVPNTCP:
    case kConnectionTypeOpenVPNProxy:
      openvpnRadio_->setChecked(true);
      openVPNProtocolPopUpButton_->setCurrentIndex(openVPNProtocolPopUpButton_->findData(type));
      break;
    default:
      break;
  }
  const char* unsupported = "PreferencesProtocolUnsupportedDescription";
  const bool open = account->hasOpenServers();
  setLabel(openvpnLabel_, open ? "PreferencesProtocolOpenVPNDescription" : unsupported);
  setLabel(ipsecLabel_, open ? "PreferencesProtocolIPSecDescription" : unsupported);
  setLabel(ikev2Label_, open ? "PreferencesProtocolIKEv2Description" : unsupported);
  const bool pptp = account->hasPPTPServers();
  setLabel(pptpLabel_, pptp ? "PreferencesProtocolPPTPDescription" : unsupported);
  setLabel(l2tpLabel_, pptp ? "PreferencesProtocolL2TPDescription" : unsupported);
  setLabel(sstpLabel_, pptp ? "PreferencesProtocolSSTPDescription" : unsupported);

  if (account->planId().isNumber() && account->planId().asInt64() == 131) {
    unavailable_.insert(kConnectionTypeIPSec);
    setLabel(ipsecLabel_, unsupported);
  }
  // Without the system's plugin for a type its connection cannot be made:
  // the type is greyed out with the package that brings it.
  const QString grey = QString("color: %1;").arg(colorWithSRGB(0.64, 0.64, 0.64, 1).name());
  const bool offersL2TP = offersType_ ? offersType_(kConnectionTypeL2TP) : systemOffersL2TP();
  const bool offersIPSec = offersType_ ? offersType_(kConnectionTypeIPSec) : systemOffersIPSec();
  const bool offersPPTP = offersPPTP_.value_or(systemOffersPPTP());
  for (auto [offered, label, key, tag] :
       {std::tuple{offersPPTP, pptpLabel_, "PreferencesProtocolPPTPSierraDescription",
                   int(kConnectionTypePPTP)},
        std::tuple{offersL2TP, l2tpLabel_, "PreferencesProtocolL2TPMissingDescription",
                   int(kConnectionTypeL2TP)},
        std::tuple{offersIPSec, ipsecLabel_, "PreferencesProtocolIPSecMissingDescription",
                   int(kConnectionTypeIPSec)}}) {
    if (offered) continue;
    setLabel(label, key);
    label->setStyleSheet(grey);
    label->setEnabled(false);
    unavailable_.insert(tag);
  }
  // SSTP, which the helper runs itself, likewise when this machine cannot
  // make it: no PPP support in the kernel, or no SSTP client.
  const bool makesSSTP = canMake_(kConnectionTypeSSTP);
  if (!makesSSTP) {
    setLabel(sstpLabel_, isCharacterDevice("/dev/ppp")
                             ? "PreferencesProtocolSSTPMissingDescription"
                             : "PreferencesProtocolPPPMissingDescription");
    sstpLabel_->setStyleSheet(grey);
    sstpLabel_->setEnabled(false);
    unavailable_.insert(kConnectionTypeSSTP);
  }
  // A chosen type whose plugin is missing gives way to the first type of
  // the account that this machine can make: the account's default first,
  // then L2TP, SSTP and PPTP for a PPTP account, OpenVPN (UDP, TCP) and
  // IPSec for another (OpenVPN through a proxy needs settings of its own).
  // When none can be made the choice stays, greyed out with the package it
  // needs: another type that fails as well helps nobody.
  int chosen = type;
  const bool missing = (type == kConnectionTypePPTP && !offersPPTP) ||
                       (type == kConnectionTypeL2TP && !offersL2TP) ||
                       (type == kConnectionTypeIPSec && !offersIPSec) ||
                       (type == kConnectionTypeSSTP && !makesSSTP);
  if (missing) {
    const int candidates[] = {account->defaultConnectionTypeForAccountType(),
                              kConnectionTypeL2TP,
                              kConnectionTypeSSTP,
                              kConnectionTypePPTP,
                              kConnectionTypeOpenVPNUDP,
                              kConnectionTypeOpenVPNTCP,
                              kConnectionTypeIPSec};
    for (int t : candidates) {
      if (t == type || !account->isCompatibleConnectionType(t) || unavailable_.contains(t) ||
          !canMake_(t))
        continue;
      chosen = t;
      break;
    }
  }
  if (chosen != type) {
    radioForTag(type)->setChecked(false);
    radioForTag(chosen)->setChecked(true);
    if (chosen >= kConnectionTypeOpenVPNUDP && chosen <= kConnectionTypeOpenVPNProxy) {
      openVPNProtocolPopUpButton_->setCurrentIndex(openVPNProtocolPopUpButton_->findData(chosen));
    }
    accountManager_->setConnectionType(chosen);
  }
  updateRadioEnabling();
}

void AdvancedPreferencesViewController::setRadioEnabledStatus(bool enabled) {
  stateAllowsChanges_ = enabled;
  updateRadioEnabling();
}

void AdvancedPreferencesViewController::updateRadioEnabling() {
  for (QRadioButton* radio :
       {pptpRadio_, l2tpRadio_, sstpRadio_, openvpnRadio_, ipsecRadio_, ikev2Radio_}) {
    radio->setEnabled(stateAllowsChanges_ && !unavailable_.contains(radios_->id(radio)));
  }
  openVPNProtocolPopUpButton_->setEnabled(stateAllowsChanges_ && openvpnRadio_->isChecked() &&
                                          openvpnRadio_->isEnabled());
}

void AdvancedPreferencesViewController::showSheet(const QString& message, const QString& info,
                                                  const QStringList& buttons,
                                                  std::function<void(int)> done) {
  auto* box = new QMessageBox(window());
  box->setObjectName("advancedPreferencesAlert");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  box->setText(message);
  box->setInformativeText(info);
  QList<QPushButton*> added;
  for (const QString& title : buttons) added << box->addButton(title, QMessageBox::ActionRole);
  connect(box, &QMessageBox::buttonClicked, this,
          [added, done = std::move(done)](QAbstractButton* clicked) {
            int index = static_cast<int>(added.indexOf(static_cast<QPushButton*>(clicked)));
            if (done) done(index);
          });
  box->open();
}

void AdvancedPreferencesViewController::changeProtocol(QAbstractButton* sender) {
  if (sender == nullptr) return;
  int type = radios_->id(sender);
  if (type < kConnectionTypeOpenVPNUDP || type > kConnectionTypeOpenVPNProxy) {
    openVPNProtocolPopUpButton_->setEnabled(false);
  } else {
    openVPNProtocolPopUpButton_->setEnabled(stateAllowsChanges_);
    type = openVPNProtocolPopUpButton_->currentData().toInt();
  }
  auto account = accountManager_->currentAccount();
  if (account && account->isCompatibleConnectionType(type)) {
    accountManager_->setConnectionType(type);
    return;
  }
  QPointer<AdvancedPreferencesViewController> self(this);
  platform::dispatch::Queue::main()->async([self, type] {
    if (!self) return;
    self->showSheet(
        localized("IncompatibleConnectionType"), localized("IncompatibleConnectionTypeInfo"),
        {"Yes", "No"}, [self, type](int answer) {
          if (!self) return;
          if (answer != 0) {
            self->prepareViewWithAccount(self->accountManager_->currentAccount());
            return;
          }
          self->accountManager_->selectNewServerForCurrentAccountWithConnectionType(
              type, [self](const platform::Value& reply) {
                bool failed = !reply.isDictionary() || reply.contains("error");
                if (!failed) return;
                platform::dispatch::Queue::main()->async([self] {
                  if (!self) return;
                  self->showSheet(localized("ServerWindowSwitchFailedLabel"),
                                  localized("ServerWindowSwitchFailedText"), {"Ok"}, nullptr);
                });
              });
        });
  });
}

void AdvancedPreferencesViewController::changeOpenVPNProtocol() {
  accountManager_->setConnectionType(openVPNProtocolPopUpButton_->currentData().toInt());
}

void AdvancedPreferencesViewController::connectEvent() { setRadioEnabledStatus(false); }
void AdvancedPreferencesViewController::disconnectEvent() { setRadioEnabledStatus(true); }

// The switch's lock comes from the dialer's controls table; these only
// refresh the view and show the progress.
void AdvancedPreferencesViewController::serverWillSwitch() {
  prepareViewWithAccount(accountManager_->currentAccount());
  switchingLabel_->show();
  switchingIndicator_->show();
}

void AdvancedPreferencesViewController::serverDidSwitch() {
  prepareViewWithAccount(accountManager_->currentAccount());
  switchingLabel_->hide();
  switchingIndicator_->hide();
}

void AdvancedPreferencesViewController::serversDidChange() {
  prepareViewWithAccount(accountManager_->currentAccount());
}

}  // namespace client::ui
