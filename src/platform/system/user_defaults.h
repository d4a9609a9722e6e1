// platform::UserDefaults: the user's settings for one program, kept in an
// XML property list (platform/system/property_list.h) named
// "<identifier>.plist" in paths::preferences(), plus a registration domain
// of fallback values that is never written.
//
// Guarantees:
//  1. Lookups search the stored values first, then the registration domain.
//  2. Values are stored as deep immutable copies: later changes to a
//     caller's mutable collection do not leak in. Only property-list values
//     are accepted; anything else throws platform::Exception
//     kInvalidArgumentException and changes nothing.
//  3. Every change is written soon after, in the background, and
//     synchronize() writes at once; writes replace the file atomically with
//     mode 0600 (the folder is created 0700 when missing). A failed write
//     keeps the values in memory and is retried by the next change or
//     synchronize().
//  4. A file that cannot be read as a dictionary (corrupt, truncated) is
//     never lost and never silently overwritten: it is renamed to
//     "<file>.corrupt" (or "<file>.corrupt.N" when that exists), reported on
//     stderr, and the defaults start empty. When it cannot even be moved
//     aside, the defaults work in memory only and never write the file.
//  5. Values are loaded once, when the object is created; later changes of
//     the file by other processes are not seen.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/value.h"
#include "platform/system/bundle.h"

namespace platform {

class UserDefaults : public std::enable_shared_from_this<UserDefaults> {
  struct Passkey {};

 public:
  // The defaults of the program bundle's identifier (else the process
  // name), created on first use; the bundle is the running program's
  // (Bundle::main()) unless the last reset named another.
  static std::shared_ptr<UserDefaults> standardUserDefaults();
  // Forgets the shared instance (after synchronizing it), so that the next
  // standardUserDefaults() loads afresh (tests: a new temporary root), as
  // the defaults of `bundle` (nullptr: the running program's).
  static void resetStandardUserDefaults(std::shared_ptr<const Bundle> bundle = nullptr);

  // The defaults stored as "<identifier>.plist" in `folder`
  // (paths::preferences() when empty).
  static std::shared_ptr<UserDefaults> create(std::string identifier, std::string folder = {});

  UserDefaults(Passkey, std::string identifier, std::string folder);
  ~UserDefaults();  // writes pending changes
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  // Adds `dictionary`'s pairs to the registration domain (replacing equal keys).
  void registerDefaults(const Value& dictionary);

  // None when absent from both domains.
  Value objectForKey(std::string_view key) const;
  // A string as it is, a number's description; std::nullopt for anything else.
  std::optional<std::string> stringForKey(std::string_view key) const;
  // Numbers and strings as the platform converts them; false / 0 otherwise.
  bool boolForKey(std::string_view key) const;
  std::int64_t integerForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  // The value when it is an array / a dictionary; None otherwise.
  Value arrayForKey(std::string_view key) const;
  Value dictionaryForKey(std::string_view key) const;
  // The stored values over the registered ones, as one immutable dictionary.
  Value dictionaryRepresentation() const;

  // Stores `value` (None removes the key). See guarantee 2.
  void setObject(const Value& value, std::string_view key);
  void removeObject(std::string_view key);

  // Writes pending changes now; true when the file holds the current values.
  bool synchronize();

  const std::string& identifier() const { return identifier_; }
  // The file the values live in.
  const std::string& filePath() const { return path_; }

 private:
  void load();
  void scheduleWrite();
  bool writeIfDirty();

  const std::string identifier_;
  const std::string folder_;
  const std::string path_;
  dispatch::QueuePtr writer_;

  mutable std::mutex mutex_;
  Value values_;               // mutable dictionary of immutable values
  Value registered_;           // mutable dictionary of immutable values
  std::uint64_t changes_ = 0;  // bumped by every change
  std::uint64_t written_ = 0;  // `changes_` at the last successful write
  bool writeScheduled_ = false;
  bool blocked_ = false;  // the file could not be read nor moved aside: never write it

  std::mutex writeMutex_;  // one file write at a time
};

}  // namespace platform
