// AccountInfo: the model of the account service's login and switch replies:
// the user's profile, the client versions the service announces, a news
// item and the user's accounts built from the reply's "open" and "pptp"
// arrays.
//
// Guarantees:
//  1. setAttributesFromDictionary sets every entry of a dictionary by
//     key-value setting (property names, and the service's snake_case keys
//     "country_code", "country_name", "id", "hash", "osx_version",
//     "osx_version_beta", "win_version", "win_version_beta"); other keys are
//     ignored. It then recreates the configuration folder.
//  2. The accounts list exists (maybe empty) once any entry was set, and is
//     sorted by accountString after each of "open" and "pptp", so the order
//     does not depend on the order of the two arrays in the reply.
//  3. rebuildConfig leaves "<Application Support>/VarnelVPN/config" an empty
//     folder (owner-only), creating "VarnelVPN" when missing; failures are
//     ignored and leave the folders as they were.
//
// Thread safety: one object, created and used on the main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/core/account_info_news.h"
#include "client/core/base_account.h"
#include "codecs/property_table.h"
#include "platform/foundation/value.h"

namespace client {

class AccountInfo : public codecs::PropertyObject {
 public:
  using Ptr = std::shared_ptr<AccountInfo>;
  static const codecs::PropertyTable& table();
  const codecs::PropertyTable& propertyTable() const override { return table(); }

  // A None argument does nothing; see guarantee 1.
  void setAttributesFromDictionary(const platform::Value& dictionary);
  // One reply entry.
  void setValue(const std::string& key, const platform::Value& value);
  void setValueForUndefinedKey(const std::string& key, const platform::Value& value);
  // Appends accounts of type 1 (PPTPAccount) or 2 (OpenAccount) made from
  // each element of an array (anything else is ignored), then sorts.
  void populateAccountsWithArray(const platform::Value& array, int type);
  // The configuration folder (guarantee 3) and its path.
  void rebuildConfig();
  static std::string configFolder();
  // accountString -> account (a later equal string wins).
  std::vector<std::pair<std::string, BaseAccount::Ptr>> generateAccountDictionary() const;

  bool active() const { return active_; }
  bool success() const { return success_; }
  bool cities() const { return cities_; }
  const platform::Value& balance() const { return balance_; }
  const platform::Value& city() const { return city_; }
  const platform::Value& countryCode() const { return countryCode_; }
  const platform::Value& countryName() const { return countryName_; }
  const platform::Value& email() const { return email_; }
  const platform::Value& accountHash() const { return accountHash_; }
  const platform::Value& accountInfoId() const { return accountInfoId_; }
  const platform::Value& key() const { return key_; }
  const platform::Value& monthly() const { return monthly_; }
  const platform::Value& name() const { return name_; }
  const AccountInfoNews::Ptr& news() const { return news_; }
  const platform::Value& osxVersion() const { return osxVersion_; }
  const platform::Value& osxVersionBeta() const { return osxVersionBeta_; }
  // nullopt until the first entry was set.
  const std::optional<std::vector<BaseAccount::Ptr>>& accounts() const { return accounts_; }
  const platform::Value& remote() const { return remote_; }
  const platform::Value& servers() const { return servers_; }
  const platform::Value& switches() const { return switches_; }
  const platform::Value& winVersion() const { return winVersion_; }
  const platform::Value& winVersionBeta() const { return winVersionBeta_; }

  void setCountryCode(platform::Value v) { countryCode_ = std::move(v); }
  void setKey(platform::Value v) { key_ = std::move(v); }
  void setAccountHash(platform::Value v) { accountHash_ = std::move(v); }

 private:
  friend class AccountInfoTable;
  bool active_ = false, success_ = false, cities_ = false;
  platform::Value balance_, city_, countryCode_, countryName_, email_, accountHash_, accountInfoId_,
      key_, monthly_, name_, osxVersion_, osxVersionBeta_, remote_, servers_, switches_,
      winVersion_, winVersionBeta_;
  AccountInfoNews::Ptr news_;
  std::optional<std::vector<BaseAccount::Ptr>> accounts_;
};

}  // namespace client
