#include "helper/keychain_services.h"

#include <sys/stat.h>
#include <unistd.h>

#include "helper/helper_log.h"
#include "platform/keychain/keychain.h"
#include "platform/xpc/peer_credentials.h"

namespace helper {

using platform::sysconfig::KeychainItem;
using platform::sysconfig::KeychainQuery;

namespace {

std::string statusText(platform::keychain::Status status) {
  return platform::keychain::statusMessage(status).value_or(
      platform::format("OSStatus %d", status));
}

platform::Bytes bytesOf(const std::string& s) { return platform::Bytes(s.begin(), s.end()); }

}  // namespace

KeychainServices::KeychainServices(std::string path) : keychain_(std::move(path)) {}

std::optional<KeychainItem> KeychainServices::GetEntry(const std::string& name) {
  std::vector<KeychainItem> items;
  KeychainQuery query;
  query.service = name;
  platform::keychain::Status status = keychain_.find(query, &items);
  if (status != platform::keychain::kSuccess || items.empty()) {
    HelperLog("%s: %@", "-[KeychainServices GetEntry:]", statusText(status));
    return std::nullopt;
  }
  HelperLog("Found keychain entry!");
  return items.front();
}

bool KeychainServices::EntryExists(const std::string& name) { return GetEntry(name).has_value(); }

bool KeychainServices::DeleteEntry(const std::string& label) {
  std::vector<KeychainItem> items;
  platform::keychain::Status status = keychain_.find(KeychainQuery{}, &items);
  if (status != platform::keychain::kSuccess && status != platform::keychain::kItemNotFound)
    return false;
  std::vector<std::uint64_t> collected;
  for (const KeychainItem& item : items)
    if (item.label == label) collected.push_back(item.itemID);
  for (std::uint64_t id : collected) keychain_.remove(id);
  return true;
}

bool KeychainServices::UpdateEntry(const std::string& name, const std::string& username,
                                   const std::string& password) {
  std::optional<KeychainItem> item = GetEntry(name);
  if (!item) {
    HelperLog("Reference doesn't exist. %@", name);
    return false;
  }
  item->account = username;
  item->secret = bytesOf(password);
  return keychain_.update(*item) == platform::keychain::kSuccess;
}

bool KeychainServices::CreateEntry(const std::string& label, const std::string& username,
                                   const std::string& password, const std::string& serviceID,
                                   const std::vector<std::string>& trustedApplications) {
  keychain_.unlock();
  if (EntryExists(label)) {
    bool ok = UpdateEntry(label, username, password);
    keychain_.lock();
    HelperLog("Using existing entry.");
    return ok;
  }
  KeychainItem item;
  item.label = label;
  item.account = username;
  item.service = serviceID;
  item.description = label;
  item.secret = bytesOf(password);
  // The calling program first, then every given path that names a file.
  std::string self = platform::xpc::executableOfProcess(::getpid());
  if (!self.empty()) item.trustedApplications.push_back(self);
  for (const std::string& path : trustedApplications) {
    struct stat st;
    // A program that is not installed cannot read the item: left out.
    if (::stat(path.c_str(), &st) != 0) continue;
    item.trustedApplications.push_back(path);
  }
  platform::keychain::Status status = keychain_.add(&item);
  HelperLog("CREATE RESULT: %d", status);
  bool ok = status == platform::keychain::kSuccess;
  if (!ok)
    HelperLog("%s: %@",
              "-[KeychainServices CreateEntry:username:password:serviceID:trustedApplications:]",
              statusText(status));
  keychain_.lock();
  return ok;
}

}  // namespace helper
