#include "client/core/account_info.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "client/core/model_properties.h"
#include "client/core/open_account.h"
#include "client/core/pptp_account.h"
#include "platform/system/paths.h"

namespace client {

using platform::Value;
using namespace model_detail;

class AccountInfoTable {
 public:
  static codecs::PropertyTable build() {
    using I = AccountInfo;
    codecs::PropertyDescriptor servers = anyProperty("servers", &I::servers_);
    servers.typeEncoding = "@\"NSArray\"";
    servers.setter = [](codecs::PropertyObject& o, const Value& v) {
      if (v.isArray() || v.isNull()) static_cast<I&>(o).servers_ = v.isNull() ? Value() : v;
    };
    return codecs::PropertyTableBuilder<I>("AccountInfo", nullptr)
        .property("active", &I::active_)
        .property("success", &I::success_)
        .property("cities", &I::cities_)
        .custom(anyProperty("balance", &I::balance_))
        .custom(stringProperty("city", &I::city_))
        .custom(stringProperty("countryCode", &I::countryCode_))
        .custom(stringProperty("countryName", &I::countryName_))
        .custom(stringProperty("email", &I::email_))
        .custom(stringProperty("accountHash", &I::accountHash_))
        .custom(numberProperty("accountInfoId", &I::accountInfoId_))
        .custom(stringProperty("key", &I::key_))
        .custom(anyProperty("monthly", &I::monthly_))
        .custom(stringProperty("name", &I::name_))
        .custom(stringProperty("osxVersion", &I::osxVersion_))
        .custom(stringProperty("osxVersionBeta", &I::osxVersionBeta_))
        .custom(stringProperty("remote", &I::remote_))
        .custom(std::move(servers))
        .custom(numberProperty("switches", &I::switches_))
        .custom(stringProperty("winVersion", &I::winVersion_))
        .custom(stringProperty("winVersionBeta", &I::winVersionBeta_))
        .build();
  }
};

const codecs::PropertyTable& AccountInfo::table() {
  static const codecs::PropertyTable t = AccountInfoTable::build();
  return t;
}

void AccountInfo::setAttributesFromDictionary(const Value& dictionary) {
  if (dictionary.isNone()) return;
  for (const auto& [key, value] : dictionary.pairs()) {
    if (key.isString()) setValue(key.asString(), value);
  }
  rebuildConfig();
}

void AccountInfo::setValue(const std::string& key, const Value& value) {
  if (!accounts_) accounts_.emplace();
  if (key == "news") {
    if (value.isDictionary()) news_ = AccountInfoNews::instanceFromDictionary(value);
  } else if (key == "open") {
    populateAccountsWithArray(value, 2);
  } else if (key == "pptp") {
    populateAccountsWithArray(value, 1);
  } else if (!setValueForKey(key, value)) {
    setValueForUndefinedKey(key, value);
  }
}

void AccountInfo::setValueForUndefinedKey(const std::string& key, const Value& value) {
  static const std::pair<const char*, const char*> kMap[] = {
      {"country_code", "countryCode"}, {"country_name", "countryName"},
      {"id", "accountInfoId"},         {"hash", "accountHash"},
      {"osx_version", "osxVersion"},   {"osx_version_beta", "osxVersionBeta"},
      {"win_version", "winVersion"},   {"win_version_beta", "winVersionBeta"}};
  for (const auto& [json, property] : kMap) {
    if (key == json) {
      setValueForKey(property, value);
      return;
    }
  }
}

void AccountInfo::populateAccountsWithArray(const Value& array, int type) {
  if (!array.isArray()) return;
  if (!accounts_) accounts_.emplace();
  for (const Value& element : array.elements()) {
    if (type == 2)
      accounts_->push_back(OpenAccount::instanceFromDictionary(element));
    else if (type == 1)
      accounts_->push_back(PPTPAccount::instanceFromDictionary(element));
  }
  std::stable_sort(accounts_->begin(), accounts_->end(),
                   [](const BaseAccount::Ptr& a, const BaseAccount::Ptr& b) {
                     return a->accountString() < b->accountString();
                   });
}

std::string AccountInfo::configFolder() {
  return platform::paths::applicationSupport() + "/VarnelVPN/config";
}

void AccountInfo::rebuildConfig() {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path support = platform::paths::applicationSupport();
  if (support.empty()) return;
  const fs::path base = support / "VarnelVPN";
  if (!fs::exists(base, ec)) {
    fs::create_directories(base, ec);
    if (ec) return;
  }
  const fs::path config = base / "config";
  if (fs::exists(config, ec)) {
    fs::remove_all(config, ec);
    if (ec) return;
  }
  if (fs::create_directory(config, ec)) {
    fs::permissions(config, fs::perms::owner_all, fs::perm_options::replace, ec);
  }
}

std::vector<std::pair<std::string, BaseAccount::Ptr>> AccountInfo::generateAccountDictionary()
    const {
  std::vector<std::pair<std::string, BaseAccount::Ptr>> out;
  if (!accounts_) return out;
  for (const BaseAccount::Ptr& a : *accounts_) {
    const std::string s = a->accountString();
    auto it = std::find_if(out.begin(), out.end(), [&](const auto& p) { return p.first == s; });
    if (it != out.end())
      it->second = a;
    else
      out.emplace_back(s, a);
  }
  return out;
}

}  // namespace client
