// platform::keychain::secret_service: generic passwords in the desktop
// keyring, reached over the session bus through the Secret Service API
// (libsecret). Items carry the schema "com.varnelvpn.Keychain" with the two
// attributes "service" and "account"; the secret is stored as raw bytes.
//
// Guarantees:
//  1. Nothing here starts a session bus: without DBUS_SESSION_BUS_ADDRESS
//     and without $XDG_RUNTIME_DIR/bus every call answers "unreachable" at
//     once.
//  2. store() reads the item back and compares it before it answers success,
//     so a success means the keyring holds exactly the given bytes.
//  3. Calls block the caller until the Secret Service answers (or its D-Bus
//     time-out ends); they never prompt on their own beyond what the service
//     itself shows to unlock the keyring.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/keychain/keychain.h"

namespace platform::keychain::secret_service {

// True when a Secret Service answers on the session bus; `*reason` says why
// not otherwise.
bool reachable(std::string* reason = nullptr);

// The items matching `service` and `account` (nullopt matches any), oldest
// first. kItemNotFound when none matches, kIO when the service fails.
Status find(const std::optional<std::string>& service, const std::optional<std::string>& account,
            std::vector<Item>* items, std::string* reason = nullptr);
// Adds or replaces the item and verifies it; kIO with `*reason` on failure.
Status store(const std::string& service, const std::string& account, const Bytes& data,
             std::string* reason = nullptr);
// Removes the item; kItemNotFound when there was none.
Status remove(const std::string& service, const std::string& account,
              std::string* reason = nullptr);

}  // namespace platform::keychain::secret_service
