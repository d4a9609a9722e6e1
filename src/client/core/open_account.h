// OpenAccount: an account of the OpenVPN family (account type 2, connection
// types 3 to 7). Adds the OpenVPN settings that the privileged helper reads
// from the account dictionary ("ca", "cert", "key" and "tls" carry Base64
// text). "ipsecHostname" and "ipsecUsername" are held but never written to
// the account dictionary nor archived.
//
// Thread safety: one object, created and used on the main thread.
#pragma once

#include "client/core/base_account.h"

namespace client {

class OpenAccount : public BaseAccount {
 public:
  using Ptr = std::shared_ptr<OpenAccount>;

  static const codecs::PropertyTable& table();
  const codecs::PropertyTable& propertyTable() const override { return table(); }

  static Ptr instanceFromDictionary(const platform::Value& dictionary);
  static Ptr unarchiveOpen(const platform::Value& archive);

  void setValueForUndefinedKey(const std::string& key, const platform::Value& value) override;
  platform::Value dictionaryRepresentation() const override;
  platform::Value archive() const override;

  int accountType() const override { return 2; }
  std::string protocolString() const override { return "open"; }
  bool isCompatibleConnectionType(int type) const override {
    return type >= kConnectionTypeOpenVPNUDP && type <= kConnectionTypeIKEv2;
  }
  // 3 (OpenVPN UDP) when udp, else 4 (OpenVPN TCP).
  int defaultConnectionTypeForAccountType() const override {
    return udp_ ? kConnectionTypeOpenVPNUDP : kConnectionTypeOpenVPNTCP;
  }
  std::string className() const override { return "OpenAccount"; }

  const platform::Value& auth() const { return auth_; }
  const platform::Value& authUserPass() const { return authUserPass_; }
  const platform::Value& ca() const { return ca_; }
  const platform::Value& cert() const { return cert_; }
  const platform::Value& cipher() const { return cipher_; }
  const platform::Value& fragment() const { return fragment_; }
  const platform::Value& key() const { return key_; }
  bool lzo() const { return lzo_; }
  const platform::Value& mss() const { return mss_; }
  const platform::Value& name() const { return name_; }
  const platform::Value& port() const { return port_; }
  const platform::Value& proxyIp() const { return proxyIp_; }
  const platform::Value& proxyPort() const { return proxyPort_; }
  const platform::Value& remote() const { return remote_; }
  const platform::Value& sharedKey() const { return sharedKey_; }
  const platform::Value& tls() const { return tls_; }
  const platform::Value& tunMtu() const { return tunMtu_; }
  bool udp() const { return udp_; }
  const platform::Value& scramble() const { return scramble_; }
  const platform::Value& scrambleWord() const { return scrambleWord_; }
  const platform::Value& ipsecHostname() const { return ipsecHostname_; }
  const platform::Value& ipsecUsername() const { return ipsecUsername_; }
  void setUdp(bool v) { udp_ = v; }
  void setLzo(bool v) { lzo_ = v; }

 private:
  friend class OpenAccountTable;
  platform::Value auth_, authUserPass_, ca_, cert_, cipher_, fragment_, key_, mss_, name_, port_,
      proxyIp_, proxyPort_, remote_, sharedKey_, tls_, tunMtu_, scramble_, scrambleWord_,
      ipsecHostname_, ipsecUsername_;
  bool lzo_ = false;
  bool udp_ = false;
};

}  // namespace client
