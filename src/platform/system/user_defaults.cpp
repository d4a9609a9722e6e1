#include "platform/system/user_defaults.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/foundation/error.h"
#include "platform/foundation/exception.h"
#include "platform/system/bundle.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/process_info.h"
#include "platform/system/property_list.h"

namespace platform {
namespace {

struct Shared {
  std::mutex mutex;
  std::shared_ptr<UserDefaults> instance;
  std::shared_ptr<const Bundle> bundle;  // whose defaults the next instance is; null: main()
};

Shared& shared() {
  static Shared* s = new Shared;  // never destroyed: usable during exit
  return *s;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Renames a file that could not be read out of the way; "" when that failed.
std::string moveAside(const std::string& path) {
  for (int n = 0; n < 1000; ++n) {
    std::string target = path + ".corrupt" + (n ? "." + std::to_string(n) : std::string());
    if (exists(target)) continue;
    if (::rename(path.c_str(), target.c_str()) == 0) return target;
    return {};
  }
  return {};
}

// The file's name for an identifier: a '/' in it would name a folder that
// is never made (every write would fail, and the changes stay unsaved), or
// one outside the preferences folder.
std::string fileNameFor(std::string identifier) {
  for (char& c : identifier)
    if (c == '/') c = '_';
  if (identifier.empty() || identifier == "." || identifier == "..") identifier = "_" + identifier;
  return identifier;
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standardUserDefaults() {
  Shared& s = shared();
  std::lock_guard lock(s.mutex);
  if (!s.instance) {
    std::shared_ptr<const Bundle> bundle = s.bundle ? s.bundle : Bundle::main();
    std::string identifier = bundle->bundleIdentifier();
    if (identifier.empty()) identifier = ProcessInfo::processName();
    s.instance = create(std::move(identifier));
  }
  return s.instance;
}

void UserDefaults::resetStandardUserDefaults(std::shared_ptr<const Bundle> bundle) {
  std::shared_ptr<UserDefaults> old;
  {
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    old = std::move(s.instance);
    s.bundle = std::move(bundle);
  }
  if (old) old->synchronize();
}

std::shared_ptr<UserDefaults> UserDefaults::create(std::string identifier, std::string folder) {
  if (folder.empty()) folder = paths::preferences();
  auto defaults =
      std::make_shared<UserDefaults>(Passkey{}, std::move(identifier), std::move(folder));
  defaults->load();
  // Callers hold handles of their own: when the last one goes, what is still
  // pending is written on the releasing thread (waiting for a background
  // write in progress), so defaults that go out of scope have reached their
  // file even while the writer queue still holds the object for a moment.
  UserDefaults* raw = defaults.get();
  return std::shared_ptr<UserDefaults>(raw, [defaults](UserDefaults*) mutable {
    defaults->synchronize();
    defaults.reset();
  });
}

UserDefaults::UserDefaults(Passkey, std::string identifier, std::string folder)
    : identifier_(std::move(identifier)),
      folder_(std::move(folder)),
      path_(folder_ + "/" + fileNameFor(identifier_) + ".plist"),
      writer_(dispatch::Queue::createSerial("UserDefaults.writer")),
      values_(Value::mutableDictionary()),
      registered_(Value::mutableDictionary()) {}

UserDefaults::~UserDefaults() { writeIfDirty(); }

void UserDefaults::load() {
  Error error;
  auto text = files::readFile(path_, &error);
  if (!text && error.domain() == kPOSIXErrorDomain && error.code() == ENOENT) return;
  Value read;
  if (text) read = plist::parse(*text, &error);
  if (read.isDictionary()) {
    std::lock_guard lock(mutex_);
    values_ = read.mutableCopy();
    return;
  }
  if (text && error.isNone()) {
    error = Error(kCocoaErrorDomain, plist::kReadCorruptError,
                  Value::dictionary({{kLocalizedDescriptionKey, Value("not a dictionary")}}));
  }
  std::string aside = moveAside(path_);
  if (aside.empty()) {
    // Keep the file as it is: the defaults run in memory only, rather than
    // overwrite what could not be read.
    std::fprintf(stderr,
                 "UserDefaults: cannot read %s (%s) nor move it aside; changes will not be "
                 "saved\n",
                 path_.c_str(), error.localizedDescription().c_str());
    std::lock_guard lock(mutex_);
    blocked_ = true;
    return;
  }
  std::fprintf(stderr, "UserDefaults: cannot read %s (%s); kept it as %s and starting empty\n",
               path_.c_str(), error.localizedDescription().c_str(), aside.c_str());
}

// --- registration domain --------------------------------------------------

void UserDefaults::registerDefaults(const Value& dictionary) {
  if (!dictionary.isDictionary()) return;
  Value copy = plist::immutableCopy(dictionary);
  if (copy.isNone()) copy = dictionary.copy();
  std::lock_guard lock(mutex_);
  registered_.addEntriesFrom(copy);
}

// --- getters ----------------------------------------------------------------

Value UserDefaults::objectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  Value v = values_[key];
  return v.isNone() ? registered_[key] : v;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  Value v = objectForKey(key);
  if (v.isString()) return v.asString();
  if (v.isNumber()) return v.description();
  return std::nullopt;
}

bool UserDefaults::boolForKey(std::string_view key) const {
  Value v = objectForKey(key);
  return (v.isNumber() || v.isString()) && v.asBool();
}

std::int64_t UserDefaults::integerForKey(std::string_view key) const {
  Value v = objectForKey(key);
  return v.isNumber() || v.isString() ? v.asInt64() : 0;
}

double UserDefaults::doubleForKey(std::string_view key) const {
  Value v = objectForKey(key);
  return v.isNumber() || v.isString() ? v.asDouble() : 0.0;
}

Value UserDefaults::arrayForKey(std::string_view key) const {
  Value v = objectForKey(key);
  return v.isArray() ? v : Value();
}

Value UserDefaults::dictionaryForKey(std::string_view key) const {
  Value v = objectForKey(key);
  return v.isDictionary() ? v : Value();
}

Value UserDefaults::dictionaryRepresentation() const {
  std::lock_guard lock(mutex_);
  Value merged = registered_.mutableCopy();
  merged.addEntriesFrom(values_);
  return merged.copy();
}

// --- changes ------------------------------------------------------------------

void UserDefaults::setObject(const Value& value, std::string_view key) {
  if (value.isNone()) return removeObject(key);
  Error error;
  Value copy = plist::immutableCopy(value, &error);
  if (copy.isNone()) {
    throw Exception(kInvalidArgumentException,
                    "Attempt to insert non-property list object " + value.description() +
                        " for key " + std::string(key) + " (" + error.localizedDescription() + ")");
  }
  {
    std::lock_guard lock(mutex_);
    values_.set(key, std::move(copy));
    ++changes_;
  }
  scheduleWrite();
}

void UserDefaults::removeObject(std::string_view key) {
  {
    std::lock_guard lock(mutex_);
    if (values_[key].isNone()) return;
    values_.remove(key);
    ++changes_;
  }
  scheduleWrite();
}

void UserDefaults::scheduleWrite() {
  {
    std::lock_guard lock(mutex_);
    if (writeScheduled_) return;
    writeScheduled_ = true;
  }
  std::weak_ptr<UserDefaults> weakSelf = weak_from_this();
  writer_->async([weakSelf] {
    if (auto self = weakSelf.lock()) self->writeIfDirty();
  });
}

bool UserDefaults::synchronize() { return writeIfDirty(); }

bool UserDefaults::writeIfDirty() {
  // One writer at a time, each writing the latest snapshot: an older
  // snapshot never replaces a newer one.
  std::lock_guard writing(writeMutex_);
  Value snapshot;
  std::uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    writeScheduled_ = false;
    if (changes_ == written_) return true;
    if (blocked_) return false;
    snapshot = values_.copy();
    generation = changes_;
  }
  Error error;
  bool ok =
      paths::createDirectories(folder_, 0700) && plist::writeFile(path_, snapshot, 0600, &error);
  if (!ok) {
    std::fprintf(stderr, "UserDefaults: cannot write %s: %s\n", path_.c_str(),
                 error ? error.localizedDescription().c_str() : "cannot create its folder");
    return false;
  }
  std::lock_guard lock(mutex_);
  written_ = generation;
  return changes_ == written_;
}

}  // namespace platform
