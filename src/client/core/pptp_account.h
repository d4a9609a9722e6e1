// PPTPAccount: an account of the PPTP family (account type 1, connection
// types 0 to 2: PPTP, L2TP, SSTP). Adds the server host and address, the
// L2TP shared secret and the account's own credentials.
//
// Thread safety: one object, created and used on the main thread.
#pragma once

#include "client/core/base_account.h"

namespace client {

class PPTPAccount : public BaseAccount {
 public:
  using Ptr = std::shared_ptr<PPTPAccount>;

  static const codecs::PropertyTable& table();
  const codecs::PropertyTable& propertyTable() const override { return table(); }

  static Ptr instanceFromDictionary(const platform::Value& dictionary);
  static Ptr unarchivePPTP(const platform::Value& archive);

  platform::Value dictionaryRepresentation() const override;
  platform::Value archive() const override;

  int accountType() const override { return 1; }
  std::string protocolString() const override { return "pptp"; }
  bool isCompatibleConnectionType(int type) const override {
    return type >= kConnectionTypePPTP && type <= kConnectionTypeSSTP;
  }
  int defaultConnectionTypeForAccountType() const override { return kConnectionTypeL2TP; }
  std::string className() const override { return "PPTPAccount"; }

  const platform::Value& host() const { return host_; }
  const platform::Value& ip() const { return ip_; }
  const platform::Value& ipsec() const { return ipsec_; }
  const platform::Value& password() const { return password_; }
  const platform::Value& username() const { return username_; }

 private:
  friend class PPTPAccountTable;
  platform::Value host_, ip_, ipsec_, password_, username_;
};

}  // namespace client
