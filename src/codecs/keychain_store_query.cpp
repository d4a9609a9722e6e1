#include "codecs/keychain_store_query.h"

#include "codecs/keychain_store.h"
#include "platform/keychain/keychain.h"
#include "platform/system/property_list.h"

namespace codecs {

using platform::Error;
using platform::Value;
namespace keychain = platform::keychain;

namespace {

bool report(keychain::Status status, Error* error) {
  if (status != keychain::kSuccess && error) *error = KeychainStoreQuery::errorWithCode(status);
  return status == keychain::kSuccess;
}

keychain::Store storeAt(const std::string& path) {
  return path.empty() ? keychain::Store::user() : keychain::Store(path);
}

}  // namespace

Error KeychainStoreQuery::errorWithCode(std::int32_t code) {
  return KeychainStore::_errorWithCode(code);
}

KeychainStoreQuery::OptionalText KeychainStoreQuery::password() const {
  if (!passwordData_ || passwordData_->empty()) return std::nullopt;
  return std::string(passwordData_->begin(), passwordData_->end());
}

void KeychainStoreQuery::setPassword(const OptionalText& password) {
  if (!password) {
    passwordData_.reset();
    return;
  }
  passwordData_ = platform::Bytes(password->begin(), password->end());
}

Value KeychainStoreQuery::passwordObject() const {
  if (!passwordData_ || passwordData_->empty()) return Value();
  return platform::plist::parse(std::string_view(
      reinterpret_cast<const char*>(passwordData_->data()), passwordData_->size()));
}

void KeychainStoreQuery::setPasswordObject(const Value& object) {
  std::optional<std::string> archive = platform::plist::serialize(object);
  if (!archive) {
    passwordData_.reset();
    return;
  }
  passwordData_ = platform::Bytes(archive->begin(), archive->end());
}

Value KeychainStoreQuery::query() const {
  return KeychainStore::_queryForService(service_, account_);
}

bool KeychainStoreQuery::save(Error* error) {
  if (!service_ || !account_ || !passwordData_)
    return report(kKeychainStoreInvalidArguments, error);
  keychain::Store store = storeAt(storePath_);
  std::vector<keychain::Item> found;
  keychain::Status status = store.find(service_, account_, &found);
  if (status != keychain::kSuccess)
    status = store.add(*service_, *account_, *passwordData_);
  else
    status = store.set(*service_, *account_, *passwordData_);
  return report(status, error);
}

bool KeychainStoreQuery::deleteItem(Error* error) {
  if (!service_ || !account_) return report(kKeychainStoreInvalidArguments, error);
  return report(storeAt(storePath_).remove(*service_, *account_), error);
}

Value KeychainStoreQuery::fetchAll(Error* error) {
  std::vector<keychain::Item> items;
  keychain::Status status = storeAt(storePath_).find(service_, account_, &items);
  if (status != keychain::kSuccess) {
    if (error) *error = errorWithCode(status);
    return Value();
  }
  std::vector<Value> out;
  for (const keychain::Item& item : items) {
    out.push_back(
        Value::dictionary({{kKeychainAttrClass, kKeychainClassGenericPassword},
                           {kKeychainAttrService, item.service},
                           {kKeychainAttrAccount, item.account},
                           {kKeychainAttrCreationDate, Value(item.creationDate)},
                           {kKeychainAttrModificationDate, Value(item.modificationDate)}}));
  }
  return Value::array(std::move(out));
}

bool KeychainStoreQuery::fetch(Error* error) {
  if (!service_ || !account_) return report(kKeychainStoreInvalidArguments, error);
  std::vector<keychain::Item> items;
  keychain::Status status = storeAt(storePath_).find(service_, account_, &items);
  if (status == keychain::kSuccess && items.empty()) status = keychain::kItemNotFound;
  if (status != keychain::kSuccess) {
    passwordData_.reset();
    if (error) *error = errorWithCode(status);
    return false;
  }
  passwordData_ = items.front().data;
  return true;
}

}  // namespace codecs
