// KeychainStoreQuery: one generic-password query of the keychain store that
// KeychainStore uses (platform::keychain::Store::user() unless a store path
// is set), with its account, service, label, secret and synchronization
// mode. save, deleteItem, fetch and fetchAll act on the items the query
// names.
//
// Guarantees:
//  1. A missing service or account (and, for save, missing password data)
//     fails with code -1001 in "com.brantlow.keychainstore" before the store
//     is touched.
//  2. save replaces an existing item's secret in one atomic step (the store
//     keeps the old secret if the write fails); a second save for the same
//     service and account updates the item, it never adds a second one.
//  3. Errors carry the store's status as their code, as KeychainStore's do.
//
// Not kept: the store holds service, account, secret and dates only, so the
// label stays with the query object; synchronization is not available on
// this platform (isSynchronizationAvailable answers false, and queries carry
// no synchronizable entry).
//
// Thread safety: one query object is used by one thread at a time; the
// store serialises changes across threads and processes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace codecs {

enum KeychainStoreQuerySynchronizationMode : std::int64_t {
  KeychainStoreQuerySynchronizationModeAny = 0,
  KeychainStoreQuerySynchronizationModeNo = 1,
  KeychainStoreQuerySynchronizationModeYes = 2,
};

class KeychainStoreQuery {
 public:
  using OptionalText = std::optional<std::string>;

  const OptionalText& account() const { return account_; }
  void setAccount(OptionalText v) { account_ = std::move(v); }
  const OptionalText& service() const { return service_; }
  void setService(OptionalText v) { service_ = std::move(v); }
  const OptionalText& label() const { return label_; }
  void setLabel(OptionalText v) { label_ = std::move(v); }
  const std::optional<platform::Bytes>& passwordData() const { return passwordData_; }
  void setPasswordData(std::optional<platform::Bytes> v) { passwordData_ = std::move(v); }
  std::int64_t synchronizationMode() const { return synchronizationMode_; }
  void setSynchronizationMode(std::int64_t mode) { synchronizationMode_ = mode; }

  // passwordData as UTF-8 text (nullopt when empty or absent).
  OptionalText password() const;
  void setPassword(const OptionalText& password);
  // passwordData as an archived property-list value (None when empty).
  platform::Value passwordObject() const;
  void setPasswordObject(const platform::Value& object);

  // The search dictionary: class, service and account when set.
  platform::Value query() const;
  static bool isSynchronizationAvailable() { return false; }

  bool save(platform::Error* error = nullptr);
  bool deleteItem(platform::Error* error = nullptr);
  // Attribute dictionaries of every matching item; None (and `*error`) on
  // failure.
  platform::Value fetchAll(platform::Error* error = nullptr);
  bool fetch(platform::Error* error = nullptr);

  static platform::Error errorWithCode(std::int32_t code);

  // The store file (empty: the user's store).
  void setStorePath(std::string path) { storePath_ = std::move(path); }

 private:
  OptionalText account_, service_, label_;
  std::optional<platform::Bytes> passwordData_;
  std::int64_t synchronizationMode_ = KeychainStoreQuerySynchronizationModeAny;
  std::string storePath_;
};

}  // namespace codecs
