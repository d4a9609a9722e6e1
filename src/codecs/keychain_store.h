// KeychainStore: secrets kept as generic-password items of the user's
// keychain (platform::keychain::Store::user()), addressed by a service and an
// account name. Class operations only; no state, and nothing redirects them:
// tests run them on the user's store of a temporary home (VARNEL_ROOT, HOME
// and the XDG variables of tests/support/temp_root.h).
//
// Guarantees:
//  1. Every failure is reported by the result (nullopt, None or false) and,
//     when an error place is given, by an error in kKeychainStoreErrorDomain
//     whose code is the keychain status; nothing is thrown or logged.
//  2. A missing service or account (or, for writes, missing data) fails with
//     code -1001 "Some of the arguments were invalid" without touching the
//     keychain.
//  3. Writing replaces the item's secret in one atomic step: if the write
//     fails, the previous secret is still stored.
//
// Thread safety: all operations may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/keychain/keychain.h"

namespace codecs {

inline constexpr const char* kKeychainStoreErrorDomain = "com.brantlow.keychainstore";
inline constexpr std::int32_t kKeychainStoreInvalidArguments = -1001;

// The attribute keys of the dictionaries that the account listings return.
inline constexpr const char* kKeychainAttrClass = "class";
inline constexpr const char* kKeychainAttrService = "svce";
inline constexpr const char* kKeychainAttrAccount = "acct";
inline constexpr const char* kKeychainAttrCreationDate = "cdat";
inline constexpr const char* kKeychainAttrModificationDate = "mdat";
inline constexpr const char* kKeychainClassGenericPassword = "genp";

class KeychainStore {
 public:
  using OptionalName = std::optional<std::string>;

  // Arrays of attribute dictionaries, or None.
  static platform::Value allAccounts(platform::Error* error = nullptr);
  static platform::Value accountsForService(const OptionalName& service,
                                            platform::Error* error = nullptr);

  // The secret as UTF-8 text; nullopt when missing or empty.
  static std::optional<std::string> passwordForService(const OptionalName& service,
                                                       const OptionalName& account,
                                                       platform::Error* error = nullptr);
  static std::optional<platform::Bytes> passwordDataForService(const OptionalName& service,
                                                               const OptionalName& account,
                                                               platform::Error* error = nullptr);
  static bool deletePasswordForService(const OptionalName& service, const OptionalName& account,
                                       platform::Error* error = nullptr);
  static bool setPassword(const std::optional<std::string>& password, const OptionalName& service,
                          const OptionalName& account, platform::Error* error = nullptr);
  static bool setPasswordData(const std::optional<platform::Bytes>& password,
                              const OptionalName& service, const OptionalName& account,
                              platform::Error* error = nullptr);

  // The query of at most three keys: class, service and account.
  static platform::Value _queryForService(const OptionalName& service, const OptionalName& account);
  // The error for a status; an empty Error for 0.
  static platform::Error _errorWithCode(std::int32_t status);

 private:
  static platform::keychain::Store store();
};

}  // namespace codecs
