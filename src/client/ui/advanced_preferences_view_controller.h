// AdvancedPreferencesViewController: the "Advanced" pane: the current
// account's connection type, one radio per type, and for OpenVPN a pop-up
// with the transport. Each radio's label says whether the account's plan
// supports the type. Choosing a type the account cannot use offers to switch
// to a server of another account that can.
//
// A radio is enabled when the dialer's controls table allows changing the
// settings now (DialerState::controls: only while Disconnected and no server
// switch runs) and the type can be used here (the account's plan allows it,
// the system offers it); the transport pop-up likewise, while OpenVPN is
// chosen. Both rules are applied together every time either changes.
//
// Thread safety: main thread only.
#pragma once

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QRadioButton>
#include <QSet>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "client/core/base_account.h"
#include "client/ui/preference_pane.h"

namespace client {
class VRAccountManager;
}

namespace client::ui {

// Whether this system can make PPTP, L2TP or IPSec connections:
// NetworkManager's plugin for the type is installed (its ".name" file in
// /usr/lib/NetworkManager/VPN or /etc/NetworkManager/VPN).
bool systemOffersPPTP();
bool systemOffersL2TP();
bool systemOffersIPSec();
// Whether a connection of `type` can be made on this machine: what makes it
// is installed (NetworkManager's plugin for PPTP, L2TP and IPSec; the SSTP
// client and OpenVPN the helper runs) and the kernel device it needs is
// there (/dev/ppp for PPTP, L2TP and SSTP; /dev/net/tun for IPSec and
// OpenVPN). False for IKEv2, which the helper does not make.
bool systemCanMake(int connectionType);

class AdvancedPreferencesViewController : public QWidget, public PreferencePane {
  Q_OBJECT
 public:
  // `offersPPTP`: whether the PPTP plugin is installed here (nullopt, the
  // default: systemOffersPPTP(), asked each time the pane is prepared).
  // `offersType`: the same for L2TP and IPSec (empty, the default:
  // systemOffersL2TP() and systemOffersIPSec()). A type whose plugin is
  // missing is greyed out with the package to install, and stays so while
  // the radios are unlocked; so is SSTP when `canMake` says this machine
  // cannot make it (with what is missing: PPP support or the SSTP client). A chosen one gives way
  // to the first type of the account that `canMake` (empty, the default: systemCanMake) says this
  // machine can make, the account's default type first; when none can, the choice stays.
  explicit AdvancedPreferencesViewController(
      std::shared_ptr<VRAccountManager> accountManager, QWidget* parent = nullptr,
      std::optional<bool> offersPPTP = std::nullopt,
      std::function<bool(int connectionType)> offersType = nullptr,
      std::function<bool(int connectionType)> canMake = nullptr);
  ~AdvancedPreferencesViewController() override;

  QWidget* view() override { return this; }
  QString identifier() const override { return "AdvancedPreferences"; }
  QIcon toolbarItemImage() const override;
  QString toolbarItemLabel() const override;
  void viewWillAppear() override;
  void viewDidDisappear() override;

  void prepareViewWithAccount(const BaseAccount::Ptr& account);
  void changeProtocol(QAbstractButton* sender);
  void changeOpenVPNProtocol();
  // Whether the connection state allows changing the type (the dialer's
  // controls table sets it); the radios follow both rules.
  void setRadioEnabledStatus(bool enabled);

  QRadioButton* radioForTag(int tag) const;
  QLabel* labelForTag(int tag) const;
  QComboBox* openVPNProtocolPopUpButton() const { return openVPNProtocolPopUpButton_; }
  QLabel* switchingLabel() const { return switchingLabel_; }
  QProgressBar* switchingIndicator() const { return switchingIndicator_; }

 public slots:
  void connectEvent();
  void disconnectEvent();
  void serverWillSwitch();
  void serverDidSwitch();
  void serversDidChange();

 private:
  QRadioButton* makeRadio(const char* name, const QString& title, int tag);
  QLabel* makeLabel(const char* name);
  // Enables each radio and the pop-up by the state and the type's availability.
  void updateRadioEnabling();
  void showSheet(const QString& message, const QString& info, const QStringList& buttons,
                 std::function<void(int)> done);

  std::shared_ptr<VRAccountManager> accountManager_;
  const std::optional<bool> offersPPTP_;
  const std::function<bool(int)> offersType_;
  const std::function<bool(int)> canMake_;
  QButtonGroup* radios_;
  QRadioButton *automaticRadio_, *pptpRadio_, *l2tpRadio_, *sstpRadio_, *openvpnRadio_,
      *ipsecRadio_, *ikev2Radio_;
  QLabel *pptpLabel_, *l2tpLabel_, *sstpLabel_, *openvpnLabel_, *ipsecLabel_, *ikev2Label_;
  QComboBox* openVPNProtocolPopUpButton_;
  QCheckBox* scrambleCheckbox_;
  QProgressBar* switchingIndicator_;
  QLabel* switchingLabel_;
  bool stateAllowsChanges_ = true;
  // Types the current account or this system cannot use (by tag).
  QSet<int> unavailable_;
};

}  // namespace client::ui
