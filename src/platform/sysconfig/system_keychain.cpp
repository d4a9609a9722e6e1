#include "platform/sysconfig/system_keychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"

namespace platform::sysconfig {

using keychain::Status;

namespace {

std::mutex& processLock() {
  static std::mutex m;
  return m;
}

class FileLock {
 public:
  explicit FileLock(const std::string& path) : guard_(processLock()) {
    if (!paths::createDirectories(files::parentFolder(path), 0700)) return;
    fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

 private:
  std::lock_guard<std::mutex> guard_;
  int fd_ = -1;
};

struct Contents {
  std::uint64_t nextID = 1;
  std::vector<KeychainItem> items;
};

Status load(const std::string& path, Contents* out) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? keychain::kSuccess : keychain::kIO;
  if (!S_ISREG(st.st_mode)) return keychain::kIO;
  Value root = plist::readFile(path);
  if (!root.isDictionary()) return keychain::kDecode;
  out->nextID = root["NextID"].asUInt64();
  if (out->nextID == 0) out->nextID = 1;
  for (const Value& v : root["Items"].elements()) {
    KeychainItem item;
    item.itemID = v["ID"].asUInt64();
    item.label = v["labl"].asString();
    item.account = v["acct"].asString();
    item.service = v["svce"].asString();
    item.description = v["desc"].asString();
    item.secret = v["v_Data"].asData();
    for (const Value& app : v["TrustedApplications"].elements())
      item.trustedApplications.push_back(app.asString());
    out->items.push_back(std::move(item));
  }
  return keychain::kSuccess;
}

Status save(const std::string& path, const Contents& c) {
  std::vector<Value> items;
  for (const KeychainItem& item : c.items) {
    std::vector<Value> apps;
    for (const auto& a : item.trustedApplications) apps.emplace_back(a);
    items.push_back(Value::dictionary({{"ID", item.itemID},
                                       {"class", "genp"},
                                       {"labl", item.label},
                                       {"acct", item.account},
                                       {"svce", item.service},
                                       {"desc", item.description},
                                       {"v_Data", Value::data(item.secret)},
                                       {"TrustedApplications", Value::array(std::move(apps))}}));
  }
  Value root = Value::dictionary({{"NextID", c.nextID}, {"Items", Value::array(std::move(items))}});
  return plist::writeFile(path, root, 0600) ? keychain::kSuccess : keychain::kIO;
}

bool matches(const KeychainItem& item, const KeychainQuery& q) {
  return (!q.label || *q.label == item.label) && (!q.account || *q.account == item.account) &&
         (!q.service || *q.service == item.service);
}

}  // namespace

SystemKeychain::SystemKeychain(std::string path)
    : path_(path.empty() ? paths::systemKeychain() + "/System.keychain" : std::move(path)) {}

Status SystemKeychain::unlock() {
  locked_ = false;
  return keychain::kSuccess;
}

Status SystemKeychain::lock() {
  locked_ = true;
  return keychain::kSuccess;
}

Status SystemKeychain::find(const KeychainQuery& query, std::vector<KeychainItem>* items) const {
  FileLock lock(path_);
  if (!lock.ok()) return keychain::kIO;
  Contents c;
  if (Status s = load(path_, &c); s != keychain::kSuccess) return s;
  std::vector<KeychainItem> found;
  for (const auto& item : c.items)
    if (matches(item, query)) found.push_back(item);
  if (items) *items = found;
  return found.empty() ? keychain::kItemNotFound : keychain::kSuccess;
}

Status SystemKeychain::add(KeychainItem* item) {
  FileLock lock(path_);
  if (!lock.ok()) return keychain::kIO;
  Contents c;
  if (Status s = load(path_, &c); s != keychain::kSuccess) return s;
  for (const auto& existing : c.items)
    if (existing.service == item->service && existing.account == item->account)
      return keychain::kDuplicateItem;
  item->itemID = c.nextID++;
  c.items.push_back(*item);
  return save(path_, c);
}

Status SystemKeychain::update(const KeychainItem& item) {
  FileLock lock(path_);
  if (!lock.ok()) return keychain::kIO;
  Contents c;
  if (Status s = load(path_, &c); s != keychain::kSuccess) return s;
  for (auto& existing : c.items) {
    if (existing.itemID == item.itemID) {
      existing = item;
      return save(path_, c);
    }
  }
  return keychain::kItemNotFound;
}

Status SystemKeychain::remove(std::uint64_t itemID) {
  FileLock lock(path_);
  if (!lock.ok()) return keychain::kIO;
  Contents c;
  if (Status s = load(path_, &c); s != keychain::kSuccess) return s;
  for (auto it = c.items.begin(); it != c.items.end(); ++it) {
    if (it->itemID == itemID) {
      c.items.erase(it);
      return save(path_, c);
    }
  }
  return keychain::kItemNotFound;
}

}  // namespace platform::sysconfig
