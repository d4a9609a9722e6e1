// CTRUserDefaults: the SDK's own small key-value store, kept apart from the
// host application's user defaults in the property-list file
//   <Application Support>/<bundle id, "/" -> "_">/com.crashtrail/CTRUserDefaults.plist
// (the bundle-identifier folder is left out when the application has none).
// The kit registry keeps the installation identifier in it.
//
// Guarantees:
//  1. Values are loaded once, when the store is made; later changes of the
//     file by others are not seen. An unreadable file gives an empty store
//     (the next synchronize overwrites it); a directory in the file's place
//     is removed and the store starts empty.
//  2. Values reach the file only through synchronize(), which snapshots the
//     values and writes them atomically (mode 0600; the folder is made 0700
//     when missing). Changes made after the snapshot wait for the next
//     synchronize.
//  3. Only property-list values are stored (deep immutable copies): anything
//     else (null, a non-string key inside a dictionary ...) is refused with a
//     console line and changes nothing, so one bad value never keeps the
//     other values from reaching the file.
//  4. Failures are written to the console with "[Beacon:UserDefaults] "
//     lines and otherwise ignored; the values in memory stay valid.
//
// Thread safety: every member may be called from any thread. Reads and
// changes run on the serial queue "com.crashtrail.CTRUserDefaults.access",
// file work on "com.crashtrail.CTRUserDefaults.io"; each call waits for its
// block, so the store must not be called from a block running on one of
// its queues (that deadlock is detected and aborts).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/value.h"
#include "platform/system/bundle.h"

namespace sdk {

inline constexpr const char* kCTRUserDefaultsAccessQueueLabel =
    "com.crashtrail.CTRUserDefaults.access";
inline constexpr const char* kCTRUserDefaultsIOQueueLabel = "com.crashtrail.CTRUserDefaults.io";
inline constexpr const char* kCTRUserDefaultsDirectoryName = "com.crashtrail";
inline constexpr const char* kCTRUserDefaultsFileName = "CTRUserDefaults.plist";

class CTRUserDefaults {
  struct Passkey {};

 public:
  // The shared store, made on first use: the store of the running program
  // (platform::Bundle::main()) unless the last reset named another bundle.
  static std::shared_ptr<CTRUserDefaults> standardUserDefaults();
  // Tests: forgets the shared store (nothing is written), so the next
  // standardUserDefaults() loads afresh (for a new temporary home) as the
  // store of `bundle` (nullptr: the running program's).
  static void resetStandardUserDefaultsForTesting(platform::BundlePtr bundle = nullptr);

  // Computes the paths from `bundle`'s identifier and loads the file (see
  // guarantee 1).
  CTRUserDefaults(Passkey, const platform::BundlePtr& bundle);
  CTRUserDefaults(const CTRUserDefaults&) = delete;
  CTRUserDefaults& operator=(const CTRUserDefaults&) = delete;

  // The folder and the file of the store (absolute paths).
  const std::string& directoryURL() const { return directoryPath_; }
  const std::string& fileURL() const { return filePath_; }

  // None when absent.
  platform::Value objectForKey(std::string_view key) const;
  // The value when it is a string; std::nullopt otherwise.
  std::optional<std::string> stringForKey(std::string_view key) const;
  // The value's truth when it is a number (bools included); false otherwise.
  bool boolForKey(std::string_view key) const;

  // Stores `value`; None removes the key (see guarantee 3).
  void setObject(const platform::Value& value, std::string_view key);
  void setString(std::string_view value, std::string_view key);
  void setBool(bool value, std::string_view key);
  void removeObjectForKey(std::string_view key);
  void removeAllObjects();

  // An immutable copy of all values.
  platform::Value dictionaryRepresentation() const;

  // Writes the current values to the file (guarantee 2).
  void synchronize();

  // The dictionary read from the file, or None (see guarantee 1).
  platform::Value loadDefaults();

  // Moves every listed key that the standard user defaults
  // (platform::UserDefaults::standardUserDefaults()) hold into this store
  // (overwriting), and when at least one was moved, synchronizes this store
  // and removes every listed key from the standard user defaults.
  void migrateFromNSUserDefaults(const std::vector<std::string>& keys);
  // The value stored here; else the standard user defaults' value, which is
  // then moved here (this store synchronized, the key removed there);
  // None when neither has it.
  platform::Value objectForKeyByMigratingFromNSUserDefaults(std::string_view key);

 private:
  platform::Value loadDefaultsOnQueue();

  platform::dispatch::QueuePtr serialDictionaryQueue_;
  platform::dispatch::QueuePtr synchronizationQueue_;
  std::string directoryPath_;
  std::string filePath_;
  platform::Value dataDictionary_;  // mutable; touched only on the access queue
};

}  // namespace sdk
