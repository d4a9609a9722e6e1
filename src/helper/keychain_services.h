// KeychainServices: the System keychain items that hold the secrets of the
// helper's network services (passwords and shared secrets), readable by the
// system's VPN programs that the item trusts.
//
// Every failure is logged and reported by the boolean result only. No
// secret is ever logged.
//
// Thread safety: one object, used from the queue of the request that uses
// it; the keychain itself serialises changes across threads and processes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/sysconfig/system_keychain.h"

namespace helper {

class KeychainServices {
 public:
  // The System keychain (`path` empty: the default System keychain file).
  explicit KeychainServices(std::string path = {});

  // The first item whose service attribute equals `name`; nullopt (logged)
  // when none.
  std::optional<platform::sysconfig::KeychainItem> GetEntry(const std::string& name);
  bool EntryExists(const std::string& name);
  // Deletes every item labelled `label`; true also when none matched.
  bool DeleteEntry(const std::string& label);
  bool UpdateEntry(const std::string& name, const std::string& username,
                   const std::string& password);
  bool CreateEntry(const std::string& label, const std::string& username,
                   const std::string& password, const std::string& serviceID,
                   const std::vector<std::string>& trustedApplications);

  platform::sysconfig::SystemKeychain& keychain() { return keychain_; }

 private:
  platform::sysconfig::SystemKeychain keychain_;
};

}  // namespace helper
