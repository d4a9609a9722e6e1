// AdvancedPreferencesViewController: the "Advanced" pane: the current
// account's connection type, one radio per type, and for OpenVPN a pop-up
// with the transport. Each radio's label says whether the account's plan
// supports the type. Choosing a type the account cannot use offers to switch
// to a server of another account that can. The radios are locked while a
// connection is made and during server switches.
//
// Thread safety: main thread only.
#pragma once

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QRadioButton>
#include <memory>
#include <optional>

#include "client/core/base_account.h"
#include "client/ui/preference_pane.h"

namespace client {
class VRAccountManager;
}

namespace client::ui {

// Whether this system can make PPTP connections: NetworkManager's PPTP
// plugin is installed.
bool systemOffersPPTP();

class AdvancedPreferencesViewController : public QWidget, public PreferencePane {
  Q_OBJECT
 public:
  // `offersPPTP`: whether PPTP connections can be made here (nullopt, the
  // default: systemOffersPPTP(), asked each time the pane is prepared).
  explicit AdvancedPreferencesViewController(std::shared_ptr<VRAccountManager> accountManager,
                                             QWidget* parent = nullptr,
                                             std::optional<bool> offersPPTP = std::nullopt);
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
  void showSheet(const QString& message, const QString& info, const QStringList& buttons,
                 std::function<void(int)> done);

  std::shared_ptr<VRAccountManager> accountManager_;
  const std::optional<bool> offersPPTP_;
  QButtonGroup* radios_;
  QRadioButton *automaticRadio_, *pptpRadio_, *l2tpRadio_, *sstpRadio_, *openvpnRadio_,
      *ipsecRadio_, *ikev2Radio_;
  QLabel *pptpLabel_, *l2tpLabel_, *sstpLabel_, *openvpnLabel_, *ipsecLabel_, *ikev2Label_;
  QComboBox* openVPNProtocolPopUpButton_;
  QCheckBox* scrambleCheckbox_;
  QProgressBar* switchingIndicator_;
  QLabel* switchingLabel_;
};

}  // namespace client::ui
