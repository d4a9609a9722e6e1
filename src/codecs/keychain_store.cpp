#include "codecs/keychain_store.h"

namespace codecs {

using platform::Error;
using platform::Value;
namespace keychain = platform::keychain;

namespace {

bool report(std::int32_t status, Error* error) {
  if (status != 0 && error != nullptr) *error = KeychainStore::_errorWithCode(status);
  return status == 0;
}

}  // namespace

keychain::Store KeychainStore::store() { return keychain::Store::user(); }

Value KeychainStore::_queryForService(const OptionalName& service, const OptionalName& account) {
  Value query = Value::mutableDictionary();
  query.set(kKeychainAttrClass, Value(kKeychainClassGenericPassword));
  if (service) query.set(kKeychainAttrService, Value(*service));
  if (account) query.set(kKeychainAttrAccount, Value(*account));
  return query;
}

Error KeychainStore::_errorWithCode(std::int32_t status) {
  if (status == 0) return Error();
  if (status == kKeychainStoreInvalidArguments) {
    return Error(kKeychainStoreErrorDomain, status,
                 Value::dictionary({{platform::kLocalizedDescriptionKey,
                                     Value("Some of the arguments were invalid")}}));
  }
  std::optional<std::string> message = keychain::statusMessage(status);
  if (!message) return Error(kKeychainStoreErrorDomain, status);
  return Error(kKeychainStoreErrorDomain, status,
               Value::dictionary({{platform::kLocalizedDescriptionKey, Value(*message)}}));
}

Value KeychainStore::allAccounts(Error* error) { return accountsForService(std::nullopt, error); }

Value KeychainStore::accountsForService(const OptionalName& service, Error* error) {
  std::vector<keychain::Item> items;
  const keychain::Status status = store().find(service, std::nullopt, &items);
  if (!report(status, error)) return Value();
  std::vector<Value> accounts;
  for (const keychain::Item& item : items) {
    accounts.push_back(Value::dictionary({
        {kKeychainAttrClass, Value(kKeychainClassGenericPassword)},
        {kKeychainAttrService, Value(item.service)},
        {kKeychainAttrAccount, Value(item.account)},
        {kKeychainAttrCreationDate, Value(item.creationDate)},
        {kKeychainAttrModificationDate, Value(item.modificationDate)},
    }));
  }
  return Value::array(std::move(accounts));
}

std::optional<platform::Bytes> KeychainStore::passwordDataForService(const OptionalName& service,
                                                                     const OptionalName& account,
                                                                     Error* error) {
  if (!service || !account) {
    report(kKeychainStoreInvalidArguments, error);
    return std::nullopt;
  }
  std::vector<keychain::Item> items;
  if (!report(store().find(service, account, &items), error)) return std::nullopt;
  return items.front().data;
}

std::optional<std::string> KeychainStore::passwordForService(const OptionalName& service,
                                                             const OptionalName& account,
                                                             Error* error) {
  std::optional<platform::Bytes> data = passwordDataForService(service, account, error);
  if (!data || data->empty()) return std::nullopt;
  return std::string(data->begin(), data->end());
}

bool KeychainStore::deletePasswordForService(const OptionalName& service,
                                             const OptionalName& account, Error* error) {
  if (!service || !account) return report(kKeychainStoreInvalidArguments, error);
  return report(store().remove(*service, *account), error);
}

bool KeychainStore::setPassword(const std::optional<std::string>& password,
                                const OptionalName& service, const OptionalName& account,
                                Error* error) {
  if (!password) return report(kKeychainStoreInvalidArguments, error);
  return setPasswordData(platform::Bytes(password->begin(), password->end()), service, account,
                         error);
}

bool KeychainStore::setPasswordData(const std::optional<platform::Bytes>& password,
                                    const OptionalName& service, const OptionalName& account,
                                    Error* error) {
  if (!password || !service || !account) return report(kKeychainStoreInvalidArguments, error);
  // One atomic replacement instead of delete-then-add: the old secret stays
  // stored until the new one is safely written.
  return report(store().set(*service, *account, *password), error);
}

}  // namespace codecs
