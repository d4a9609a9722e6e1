#include "platform/sysconfig/authorization.h"

#include <unistd.h>

#include <algorithm>

namespace platform::sysconfig {

std::shared_ptr<Authorization> Authorization::create(AuthorizationStatus* status) {
  return create(status, Options());
}

std::shared_ptr<Authorization> Authorization::create(AuthorizationStatus* status, Options options) {
  if (status) *status = options.createStatus;
  if (options.createStatus != kAuthorizationSuccess) return nullptr;
  std::shared_ptr<Authorization> authorization(new Authorization());
  authorization->policy_ = std::move(options.policy);
  return authorization;
}

AuthorizationStatus Authorization::copyRights(const std::string& right, std::uint32_t /*flags*/) {
  if (right.empty()) return kAuthorizationInvalidSet;
  AuthorizationStatus s =
      policy_ ? policy_(right) : (::geteuid() == 0 ? kAuthorizationSuccess : kAuthorizationDenied);
  if (s == kAuthorizationSuccess && !hasRight(right)) rights_.push_back(right);
  return s;
}

bool Authorization::hasRight(const std::string& right) const {
  return std::find(rights_.begin(), rights_.end(), right) != rights_.end();
}

void Authorization::free(std::uint32_t /*flags*/) { rights_.clear(); }

}  // namespace platform::sysconfig
