// platform::keychain: generic passwords addressed by service and account.
// A store made from a path is an owner-only file store. The System store of
// the privileged helper is such a file in paths::systemKeychain().
//
// The user's store (Store::user()) keeps its items in the desktop keyring
// (the Secret Service, see secret_service.h) and uses the owner-only file in
// paths::userKeychain() only as its fallback:
//  - when no Secret Service answers, every operation works on the file, and
//    the fallback is logged once per process;
//  - items found in the file while the keyring answers are moved into the
//    keyring, each removed from the file only after the keyring holds it
//    (written and read back), so nothing is lost when either store fails
//    half-way; an item the keyring refuses stays in the file;
//  - an item present in both is read from the file: the file only receives
//    writes the keyring refused, so its copy is the newer one;
//  - a write that the keyring refuses goes to the file instead (logged once).
//
// Guarantees:
//  1. The store file and its folder are created owner-only (0600 / 0700); a
//     secret is never written where another user can read it.
//  2. Every change is one atomic replacement of the whole file (temporary
//     file, fsync, rename): a reader sees the old or the new set of items,
//     never a mix, and a failed write leaves every stored item as it was.
//  3. set() replaces an item's secret in one write, so the old secret is gone
//     only once the new one is safely on disk.
//  4. Changes are serialised across threads and processes by an advisory
//     lock beside the file.
//  5. A store file that cannot be decoded is reported (kDecode) and never
//     overwritten.
//
// Status codes are the platform's keychain status numbers.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/foundation/value.h"

namespace platform::keychain {

using Status = std::int32_t;
inline constexpr Status kSuccess = 0;
inline constexpr Status kIO = -36;
inline constexpr Status kParam = -50;
inline constexpr Status kDuplicateItem = -25299;
inline constexpr Status kItemNotFound = -25300;
inline constexpr Status kDecode = -26275;

// The message text for a status; nullopt when there is none.
std::optional<std::string> statusMessage(Status status);

struct Item {
  std::string service;
  std::string account;
  Bytes data;
  Date creationDate;
  Date modificationDate;
};

class Store {
 public:
  // A store kept in the file `path`.
  explicit Store(std::string path);
  // The user's store and the System store (file "items.keychain" in their folders).
  static Store user();
  static Store system();

  const std::string& path() const { return path_; }
  // True for the user's store, which prefers the desktop keyring.
  bool usesDesktopKeyring() const { return desktopKeyring_; }

  // The items matching `service` and `account` (nullopt matches any), in the
  // order they were added. kItemNotFound when none matches.
  Status find(const std::optional<std::string>& service, const std::optional<std::string>& account,
              std::vector<Item>* items) const;
  // Adds an item; kDuplicateItem when one exists for the service and account.
  Status add(const std::string& service, const std::string& account, const Bytes& data);
  // Adds or replaces the item's secret in one atomic write.
  Status set(const std::string& service, const std::string& account, const Bytes& data);
  // Removes the item; kItemNotFound when there is none.
  Status remove(const std::string& service, const std::string& account);

  // Where the store's notices (the fallback to the file) go; nullptr: stderr.
  static void setLogHandler(std::function<void(const std::string&)> handler);
  // Forgets that the fallback was logged (tests).
  static void resetFallbackNoticeForTesting();

 private:
  Store(std::string path, bool desktopKeyring);
  Status desktopFind(const std::optional<std::string>& service,
                     const std::optional<std::string>& account, std::vector<Item>* items) const;
  Status desktopSet(const std::string& service, const std::string& account, const Bytes& data,
                    bool mustBeNew);
  Status desktopRemove(const std::string& service, const std::string& account);

  std::string path_;
  bool desktopKeyring_ = false;
};

}  // namespace platform::keychain
