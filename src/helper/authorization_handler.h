// AuthorizationHandler: obtains the administrator right that changing the
// system's network services needs.
//
// Thread safety: one object, used from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/sysconfig/authorization.h"

namespace helper {

class AuthorizationHandler {
 public:
  // `options` make every reference Activate creates (tests give a policy).
  explicit AuthorizationHandler(platform::sysconfig::Authorization::Options options = {})
      : options_(std::move(options)) {}

  // Frees a reference already held, makes a new one and asks for
  // "system.privilege.admin"; false (logged with the status) on failure.
  bool Activate();
  bool Validate() { return true; }

  const std::shared_ptr<platform::sysconfig::Authorization>& authorizationRef() const {
    return authorizationRef_;
  }
  std::uint32_t authorizationFlags() const { return authorizationFlags_; }
  void setAuthorizationFlags(std::uint32_t flags) { authorizationFlags_ = flags; }

 private:
  platform::sysconfig::Authorization::Options options_;
  std::shared_ptr<platform::sysconfig::Authorization> authorizationRef_;
  std::uint32_t authorizationFlags_ = 0;
};

}  // namespace helper
