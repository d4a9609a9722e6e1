// platform::sysconfig::SystemKeychain: the System keychain of the network
// services: generic-password items with a label, an account, a service, a
// description, a secret and the list of programs trusted to read it.
//
// Guarantees:
//  1. The store is one owner-only file (0600, in an owner-only folder under
//     paths::systemKeychain()); every change replaces it atomically, so a
//     reader sees the old or the new set of items, never a mix.
//  2. Changes are serialised across threads and processes (a mutex and an
//     advisory lock beside the file): a read-modify-write never loses
//     another writer's item.
//  3. A file that cannot be read back is reported (kDecode) and never
//     overwritten.
//
// Status codes are those of platform::keychain.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/keychain/keychain.h"

namespace platform::sysconfig {

struct KeychainItem {
  std::uint64_t itemID = 0;  // assigned by add
  std::string label;
  std::string account;
  std::string service;
  std::string description;
  Bytes secret;
  std::vector<std::string> trustedApplications;
};

struct KeychainQuery {
  std::optional<std::string> label, account, service;
};

class SystemKeychain {
 public:
  // The keychain in `path` (empty: paths::systemKeychain() + "/System.keychain").
  explicit SystemKeychain(std::string path = {});
  const std::string& path() const { return path_; }

  // Lock state, kept for callers that pair unlock and lock around changes.
  // The store is guarded by its file permissions, not by this flag.
  keychain::Status unlock();
  keychain::Status lock();
  bool isLocked() const { return locked_; }

  // Matching items in the order they were added; kItemNotFound when none.
  keychain::Status find(const KeychainQuery& query, std::vector<KeychainItem>* items) const;
  // Adds the item and sets its itemID; kDuplicateItem when one exists for
  // the same service and account.
  keychain::Status add(KeychainItem* item);
  // Replaces the stored item of item.itemID; kItemNotFound when gone.
  keychain::Status update(const KeychainItem& item);
  keychain::Status remove(std::uint64_t itemID);

 private:
  std::string path_;
  bool locked_ = false;
};

}  // namespace platform::sysconfig
