#include "client/ui/localizable.h"

#include <map>
#include <string>

namespace client::ui {

QString localized(const char* key) {
  static const std::map<std::string, const char*> table = {
      {"Preferences", "Preferences"},
      {"General", "General"},
      {"Accounts", "Accounts"},
      {"OpenVPN", "OpenVPN"},
      {"Advanced", "Advanced"},
      {"Days", "Days"},
      {"PreferencesProtocolNoActiveAccountDescription", "No active account selected."},
      {"PreferencesProtocolOpenVPNDescription",
       "Encrypted tunnel over UDP, TCP or a proxy. Recommended."},
      {"PreferencesProtocolIPSecDescription", "IPSec with a pre-shared key."},
      {"PreferencesProtocolIKEv2Description", "IKEv2, fast to reconnect on mobile networks."},
      {"PreferencesProtocolPPTPDescription", "Point-to-point tunnelling. Fast, weakly secured."},
      {"PreferencesProtocolL2TPDescription", "L2TP over IPSec."},
      {"PreferencesProtocolSSTPDescription", "Secure socket tunnelling over HTTPS."},
      {"PreferencesProtocolUnsupportedDescription", "Not supported by your plan."},
      {"PreferencesProtocolPPTPSierraDescription",
       "Needs NetworkManager's PPTP plugin (Debian package network-manager-pptp)."},
      {"PreferencesProtocolL2TPMissingDescription",
       "Needs NetworkManager's L2TP plugin (Debian package network-manager-l2tp)."},
      {"PreferencesProtocolIPSecMissingDescription",
       "Needs NetworkManager's vpnc plugin (Debian package network-manager-vpnc)."},
      {"PreferencesProtocolSSTPMissingDescription",
       "Needs the SSTP client (Debian package sstp-client)."},
      {"PreferencesProtocolPPPMissingDescription",
       "Needs PPP support in the kernel (/dev/ppp), which this system does not have."},
      {"IncompatibleConnectionType", "This connection type is not available for this account."},
      {"IncompatibleConnectionTypeInfo",
       "Do you want to switch to a server of another account that supports it?"},
      {"ServerWindowSwitchFailedLabel", "The server could not be switched."},
      {"ServerWindowSwitchFailedText", "Please try again in a moment, or choose another server."},
      {"ServerWindowStatusLabelReloadingText", "Reloading servers..."},
      {"ServerWindowStatusLabelSwitchingText", "Switching server..."},
  };
  auto it = table.find(key);
  return QString::fromUtf8(it == table.end() ? key : it->second);
}

}  // namespace client::ui
