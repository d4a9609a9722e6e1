#include "client/core/open_account.h"

#include "client/core/model_properties.h"

namespace client {

using platform::Value;
using namespace model_detail;

namespace {

// The keys of the account dictionary and of the archive, in order.
const char* const kOpenKeys[] = {
    "auth",      "authUserPass", "ca",     "cert", "cipher",   "fragment",     "key",
    "lzo",       "mss",          "name",   "port", "proxyIp",  "proxyPort",    "remote",
    "sharedKey", "tls",          "tunMtu", "udp",  "scramble", "scrambleWord", nullptr};

}  // namespace

class OpenAccountTable {
 public:
  static codecs::PropertyTable build() {
    using A = OpenAccount;
    return codecs::PropertyTableBuilder<A>("OpenAccount", &BaseAccount::table())
        .custom(stringProperty("auth", &A::auth_))
        .custom(stringProperty("authUserPass", &A::authUserPass_))
        .custom(stringProperty("ca", &A::ca_))
        .custom(stringProperty("cert", &A::cert_))
        .custom(stringProperty("cipher", &A::cipher_))
        .custom(numberProperty("fragment", &A::fragment_))
        .custom(stringProperty("key", &A::key_))
        .custom(boolProperty("lzo", &A::lzo_))
        .custom(numberProperty("mss", &A::mss_))
        .custom(stringProperty("name", &A::name_))
        .custom(numberProperty("port", &A::port_))
        .custom(stringProperty("proxyIp", &A::proxyIp_))
        .custom(numberProperty("proxyPort", &A::proxyPort_))
        .custom(stringProperty("remote", &A::remote_))
        .custom(stringProperty("sharedKey", &A::sharedKey_))
        .custom(stringProperty("tls", &A::tls_))
        .custom(numberProperty("tunMtu", &A::tunMtu_))
        .custom(boolProperty("udp", &A::udp_))
        .custom(stringProperty("scramble", &A::scramble_))
        .custom(stringProperty("scrambleWord", &A::scrambleWord_))
        .custom(stringProperty("ipsecHostname", &A::ipsecHostname_))
        .custom(stringProperty("ipsecUsername", &A::ipsecUsername_))
        .build();
  }
};

const codecs::PropertyTable& OpenAccount::table() {
  static const codecs::PropertyTable t = OpenAccountTable::build();
  return t;
}

OpenAccount::Ptr OpenAccount::instanceFromDictionary(const Value& dictionary) {
  auto account = std::make_shared<OpenAccount>();
  account->setAttributesFromDictionary(dictionary);
  return account;
}

void OpenAccount::setValueForUndefinedKey(const std::string& key, const Value& value) {
  static const std::pair<const char*, const char*> kMap[] = {{"proxy_ip", "proxyIp"},
                                                             {"auth_user_pass", "authUserPass"},
                                                             {"proxy_port", "proxyPort"},
                                                             {"shared_key", "sharedKey"},
                                                             {"tun_mtu", "tunMtu"},
                                                             {"scramble_word", "scrambleWord"},
                                                             {"ipsec_hostname", "ipsecHostname"},
                                                             {"ipsec_username", "ipsecUsername"}};
  for (const auto& [json, property] : kMap) {
    if (key == json) {
      setValueForKey(property, value);
      return;
    }
  }
  BaseAccount::setValueForUndefinedKey(key, value);
}

Value OpenAccount::dictionaryRepresentation() const {
  Value out = Value::mutableDictionary();
  writeBaseDictionary(out);
  for (const char* const* k = kOpenKeys; *k != nullptr; ++k) setIfPresent(out, *k, valueForKey(*k));
  return out;
}

Value OpenAccount::archive() const {
  Value out = Value::mutableDictionary();
  writeBaseArchive(out);
  for (const char* const* k = kOpenKeys; *k != nullptr; ++k) setIfPresent(out, *k, valueForKey(*k));
  return out.copy();
}

OpenAccount::Ptr OpenAccount::unarchiveOpen(const Value& archive) {
  auto account = std::make_shared<OpenAccount>();
  account->readBaseArchive(archive);
  for (const char* const* k = kOpenKeys; *k != nullptr; ++k) {
    if (archive.contains(*k)) account->setValueForKey(*k, archive[*k]);
  }
  return account;
}

}  // namespace client
