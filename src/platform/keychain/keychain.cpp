#include "platform/keychain/keychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/keychain/secret_service.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"

namespace platform::keychain {

namespace {

constexpr char kMagic[] = "VKCH1\n";
constexpr std::size_t kMagicLength = sizeof kMagic - 1;
constexpr const char* kFileName = "/items.keychain";

std::mutex& processLock() {
  static std::mutex m;
  return m;
}

// Exclusive lock over the store for one read-modify-write, shared between
// threads (mutex) and processes (flock on a lock file beside the store).
class StoreLock {
 public:
  explicit StoreLock(const std::string& path) : guard_(processLock()) {
    const std::string folder = files::parentFolder(path);
    if (!paths::createDirectories(folder, 0700)) return;
    fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~StoreLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the flock
  }
  bool ok() const { return fd_ >= 0; }

 private:
  std::lock_guard<std::mutex> guard_;
  int fd_ = -1;
};

void putU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void putU64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void putBytes(std::string& out, const void* p, std::size_t n) {
  putU32(out, static_cast<std::uint32_t>(n));
  out.append(static_cast<const char*>(p), n);
}
void putDate(std::string& out, Date d) {
  const double t = d.timeIntervalSince1970();
  std::uint64_t bits;
  std::memcpy(&bits, &t, 8);
  putU64(out, bits);
}

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}
  bool u32(std::uint32_t* v) {
    if (s_.size() - pos_ < 4) return false;
    *v = 0;
    for (int i = 0; i < 4; ++i)
      *v |= static_cast<std::uint32_t>(static_cast<unsigned char>(s_[pos_ + i])) << (8 * i);
    pos_ += 4;
    return true;
  }
  bool u64(std::uint64_t* v) {
    if (s_.size() - pos_ < 8) return false;
    *v = 0;
    for (int i = 0; i < 8; ++i)
      *v |= static_cast<std::uint64_t>(static_cast<unsigned char>(s_[pos_ + i])) << (8 * i);
    pos_ += 8;
    return true;
  }
  bool bytes(std::string* out) {
    std::uint32_t n;
    if (!u32(&n) || s_.size() - pos_ < n) return false;
    out->assign(s_.substr(pos_, n));
    pos_ += n;
    return true;
  }
  bool date(Date* d) {
    std::uint64_t bits;
    if (!u64(&bits)) return false;
    double t;
    std::memcpy(&t, &bits, 8);
    *d = Date(t);
    return true;
  }
  bool atEnd() const { return pos_ == s_.size(); }

 private:
  std::string_view s_;
  std::size_t pos_ = 0;
};

std::string encode(const std::vector<Item>& items) {
  std::string out(kMagic, kMagicLength);
  putU32(out, static_cast<std::uint32_t>(items.size()));
  for (const Item& item : items) {
    putBytes(out, item.service.data(), item.service.size());
    putBytes(out, item.account.data(), item.account.size());
    putBytes(out, item.data.data(), item.data.size());
    putDate(out, item.creationDate);
    putDate(out, item.modificationDate);
  }
  return out;
}

Status load(const std::string& path, std::vector<Item>* items) {
  items->clear();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? kSuccess : kIO;
  std::optional<std::string> contents = files::readFile(path);
  if (!contents) return kIO;
  std::string_view s(*contents);
  if (s.substr(0, kMagicLength) != std::string_view(kMagic, kMagicLength)) return kDecode;
  Reader r(s.substr(kMagicLength));
  std::uint32_t count;
  if (!r.u32(&count)) return kDecode;
  for (std::uint32_t i = 0; i < count; ++i) {
    Item item;
    std::string data;
    if (!r.bytes(&item.service) || !r.bytes(&item.account) || !r.bytes(&data) ||
        !r.date(&item.creationDate) || !r.date(&item.modificationDate)) {
      return kDecode;
    }
    item.data.assign(data.begin(), data.end());
    items->push_back(std::move(item));
  }
  return r.atEnd() ? kSuccess : kDecode;
}

Status save(const std::string& path, const std::vector<Item>& items) {
  return files::writeFileAtomically(path, encode(items), 0600) ? kSuccess : kIO;
}

bool matches(const Item& item, const std::optional<std::string>& service,
             const std::optional<std::string>& account) {
  return (!service || item.service == *service) && (!account || item.account == *account);
}

bool sameKey(const Item& a, const Item& b) {
  return a.service == b.service && a.account == b.account;
}

// Gives the item of (service, account) the secret `data`, or adds one.
void setItem(std::vector<Item>& items, const std::string& service, const std::string& account,
             const Bytes& data) {
  const Date now = Date::now();
  bool replaced = false;
  for (Item& item : items) {
    if (item.service == service && item.account == account) {
      item.data = data;
      item.modificationDate = now;
      replaced = true;
    }
  }
  if (!replaced) items.push_back(Item{service, account, data, now, now});
}

// Takes the items of (service, account) out; whether there were any.
bool removeItem(std::vector<Item>& items, const std::string& service, const std::string& account) {
  return std::erase_if(items, [&](const Item& item) {
           return item.service == service && item.account == account;
         }) != 0;
}

struct Notices {
  std::mutex mutex;
  std::function<void(const std::string&)> handler;
  bool fallbackLogged = false;
};

Notices& notices() {
  static Notices n;
  return n;
}

void log(const std::string& line) {
  std::function<void(const std::string&)> handler;
  {
    std::lock_guard<std::mutex> g(notices().mutex);
    handler = notices().handler;
  }
  if (handler) {
    handler(line);
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

// Logs the first fallback to the file of this process; later ones are quiet.
void noteFallback(const std::string& path, const std::string& reason) {
  {
    std::lock_guard<std::mutex> g(notices().mutex);
    if (notices().fallbackLogged) return;
    notices().fallbackLogged = true;
  }
  log("Keychain: the desktop keyring is not usable (" + reason +
      "); secrets are kept in the owner-only file " + path);
}

// Moves the file's items into the keyring. An item leaves the file only once
// the keyring holds it; the file is rewritten once, at the end. Returns the
// items still in the file.
std::vector<Item> migrateToKeyring(const std::string& path, std::vector<Item> fileItems) {
  std::vector<Item> kept;
  bool moved = false;
  for (Item& item : fileItems) {
    std::string reason;
    if (secret_service::store(item.service, item.account, item.data, &reason) == kSuccess) {
      moved = true;
    } else {
      noteFallback(path, reason);
      kept.push_back(std::move(item));
    }
  }
  if (!moved) return kept;
  if (save(path, kept) != kSuccess) {
    // Both stores hold the moved items; the file copies are equal and read first.
    return fileItems;
  }
  return kept;
}

}  // namespace

std::optional<std::string> statusMessage(Status status) {
  switch (status) {
    case kSuccess:
      return "No error.";
    case kIO:
      return "I/O error.";
    case kParam:
      return "One or more parameters passed to a function were not valid.";
    case kDuplicateItem:
      return "The specified item already exists in the keychain.";
    case kItemNotFound:
      return "The specified item could not be found in the keychain.";
    case kDecode:
      return "Unable to decode the provided data.";
    default:
      return std::nullopt;
  }
}

Store::Store(std::string path) : path_(std::move(path)) {}

Store::Store(std::string path, bool desktopKeyring)
    : path_(std::move(path)), desktopKeyring_(desktopKeyring) {}

Store Store::user() { return Store(paths::userKeychain() + kFileName, true); }

void Store::setLogHandler(std::function<void(const std::string&)> handler) {
  std::lock_guard<std::mutex> g(notices().mutex);
  notices().handler = std::move(handler);
}

void Store::resetFallbackNoticeForTesting() {
  std::lock_guard<std::mutex> g(notices().mutex);
  notices().fallbackLogged = false;
}

Status Store::desktopFind(const std::optional<std::string>& service,
                          const std::optional<std::string>& account,
                          std::vector<Item>* items) const {
  StoreLock lock(path_);
  std::vector<Item> fileItems;
  const Status fileStatus = lock.ok() ? load(path_, &fileItems) : kIO;
  std::string reason;
  const bool keyring = secret_service::reachable(&reason);
  if (!keyring) {
    noteFallback(path_, reason);
  } else if (fileStatus == kSuccess && !fileItems.empty()) {
    fileItems = migrateToKeyring(path_, std::move(fileItems));
  }
  std::vector<Item> found;
  for (Item& item : fileItems) {
    if (matches(item, service, account)) found.push_back(std::move(item));
  }
  if (keyring) {
    std::vector<Item> inKeyring;
    if (secret_service::find(service, account, &inKeyring, &reason) == kIO)
      noteFallback(path_, reason);
    for (Item& item : inKeyring) {
      if (std::none_of(found.begin(), found.end(), [&](const Item& f) { return sameKey(f, item); }))
        found.push_back(std::move(item));
    }
  }
  if (found.empty()) return fileStatus != kSuccess ? fileStatus : kItemNotFound;
  if (items) *items = std::move(found);
  return kSuccess;
}

Status Store::desktopSet(const std::string& service, const std::string& account, const Bytes& data,
                         bool mustBeNew) {
  if (mustBeNew && desktopFind(service, account, nullptr) == kSuccess) return kDuplicateItem;
  StoreLock lock(path_);
  std::string reason;
  if (secret_service::reachable(&reason) &&
      secret_service::store(service, account, data, &reason) == kSuccess) {
    // The keyring holds it: an older copy in the file must not shadow it.
    if (!lock.ok()) return kSuccess;
    std::vector<Item> items;
    if (load(path_, &items) != kSuccess) return kSuccess;
    if (removeItem(items, service, account) && save(path_, items) != kSuccess) {
      // The stale copy would shadow the new secret: take it out of the keyring's way.
      secret_service::remove(service, account);
      return kIO;
    }
    return kSuccess;
  }
  noteFallback(path_, reason);
  if (!lock.ok()) return kIO;
  std::vector<Item> items;
  if (Status s = load(path_, &items); s != kSuccess) return s;
  setItem(items, service, account, data);
  return save(path_, items);
}

Status Store::desktopRemove(const std::string& service, const std::string& account) {
  StoreLock lock(path_);
  if (!lock.ok()) return kIO;
  std::vector<Item> items;
  Status fileStatus = load(path_, &items);
  bool removed = false;
  if (fileStatus == kSuccess) {
    if (removeItem(items, service, account)) {
      fileStatus = save(path_, items);
      removed = fileStatus == kSuccess;
    }
  }
  std::string reason;
  if (secret_service::reachable(&reason)) {
    const Status s = secret_service::remove(service, account, &reason);
    if (s == kSuccess) removed = true;
    if (s == kIO) return kIO;
  } else {
    noteFallback(path_, reason);
  }
  if (fileStatus != kSuccess) return fileStatus;
  return removed ? kSuccess : kItemNotFound;
}

Store Store::system() { return Store(paths::systemKeychain() + kFileName); }

Status Store::find(const std::optional<std::string>& service,
                   const std::optional<std::string>& account, std::vector<Item>* items) const {
  if (desktopKeyring_) return desktopFind(service, account, items);
  std::lock_guard<std::mutex> guard(processLock());
  std::vector<Item> all;
  if (Status s = load(path_, &all); s != kSuccess) return s;
  std::vector<Item> found;
  for (Item& item : all) {
    if (matches(item, service, account)) found.push_back(std::move(item));
  }
  if (found.empty()) return kItemNotFound;
  if (items) *items = std::move(found);
  return kSuccess;
}

Status Store::add(const std::string& service, const std::string& account, const Bytes& data) {
  if (desktopKeyring_) return desktopSet(service, account, data, true);
  StoreLock lock(path_);
  if (!lock.ok()) return kIO;
  std::vector<Item> items;
  if (Status s = load(path_, &items); s != kSuccess) return s;
  for (const Item& item : items) {
    if (item.service == service && item.account == account) return kDuplicateItem;
  }
  const Date now = Date::now();
  items.push_back(Item{service, account, data, now, now});
  return save(path_, items);
}

Status Store::set(const std::string& service, const std::string& account, const Bytes& data) {
  if (desktopKeyring_) return desktopSet(service, account, data, false);
  StoreLock lock(path_);
  if (!lock.ok()) return kIO;
  std::vector<Item> items;
  if (Status s = load(path_, &items); s != kSuccess) return s;
  setItem(items, service, account, data);
  return save(path_, items);
}

Status Store::remove(const std::string& service, const std::string& account) {
  if (desktopKeyring_) return desktopRemove(service, account);
  StoreLock lock(path_);
  if (!lock.ok()) return kIO;
  std::vector<Item> items;
  if (Status s = load(path_, &items); s != kSuccess) return s;
  if (!removeItem(items, service, account)) return kItemNotFound;
  return save(path_, items);
}

}  // namespace platform::keychain
