#include "client/core/pptp_account.h"

#include "client/core/model_properties.h"

namespace client {

using platform::Value;
using namespace model_detail;

namespace {
const char* const kPPTPKeys[] = {"host", "ip", "ipsec", "password", "username", nullptr};
}  // namespace

class PPTPAccountTable {
 public:
  static codecs::PropertyTable build() {
    using A = PPTPAccount;
    return codecs::PropertyTableBuilder<A>("PPTPAccount", &BaseAccount::table())
        .custom(stringProperty("host", &A::host_))
        .custom(stringProperty("ip", &A::ip_))
        .custom(stringProperty("ipsec", &A::ipsec_))
        .custom(stringProperty("password", &A::password_))
        .custom(stringProperty("username", &A::username_))
        .build();
  }
};

const codecs::PropertyTable& PPTPAccount::table() {
  static const codecs::PropertyTable t = PPTPAccountTable::build();
  return t;
}

PPTPAccount::Ptr PPTPAccount::instanceFromDictionary(const Value& dictionary) {
  auto account = std::make_shared<PPTPAccount>();
  account->setAttributesFromDictionary(dictionary);
  return account;
}

Value PPTPAccount::dictionaryRepresentation() const {
  Value out = Value::mutableDictionary();
  writeBaseDictionary(out);
  for (const char* const* k = kPPTPKeys; *k != nullptr; ++k) setIfPresent(out, *k, valueForKey(*k));
  return out;
}

Value PPTPAccount::archive() const {
  Value out = Value::mutableDictionary();
  writeBaseArchive(out);
  for (const char* const* k = kPPTPKeys; *k != nullptr; ++k) setIfPresent(out, *k, valueForKey(*k));
  return out.copy();
}

PPTPAccount::Ptr PPTPAccount::unarchivePPTP(const Value& archive) {
  auto account = std::make_shared<PPTPAccount>();
  account->readBaseArchive(archive);
  for (const char* const* k = kPPTPKeys; *k != nullptr; ++k) {
    if (archive.contains(*k)) account->setValueForKey(*k, archive[*k]);
  }
  return account;
}

}  // namespace client
