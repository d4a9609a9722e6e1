#include "platform/sysconfig/authorization.h"

#include <unistd.h>

#include <algorithm>
#include <mutex>

namespace platform::sysconfig {

namespace {

struct Hooks {
  std::mutex mutex;
  std::function<AuthorizationStatus(const std::string&)> policy;
  AuthorizationStatus createStatus = kAuthorizationSuccess;
};

Hooks& hooks() {
  static Hooks h;
  return h;
}

}  // namespace

std::shared_ptr<Authorization> Authorization::create(AuthorizationStatus* status) {
  AuthorizationStatus s;
  {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    s = hooks().createStatus;
  }
  if (status) *status = s;
  if (s != kAuthorizationSuccess) return nullptr;
  return std::shared_ptr<Authorization>(new Authorization());
}

AuthorizationStatus Authorization::copyRights(const std::string& right, std::uint32_t /*flags*/) {
  if (right.empty()) return kAuthorizationInvalidSet;
  std::function<AuthorizationStatus(const std::string&)> policy;
  {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    policy = hooks().policy;
  }
  AuthorizationStatus s =
      policy ? policy(right) : (::geteuid() == 0 ? kAuthorizationSuccess : kAuthorizationDenied);
  if (s == kAuthorizationSuccess && !hasRight(right)) rights_.push_back(right);
  return s;
}

bool Authorization::hasRight(const std::string& right) const {
  return std::find(rights_.begin(), rights_.end(), right) != rights_.end();
}

void Authorization::free(std::uint32_t /*flags*/) { rights_.clear(); }

void Authorization::setPolicyForTesting(
    std::function<AuthorizationStatus(const std::string&)> policy) {
  std::lock_guard<std::mutex> lock(hooks().mutex);
  hooks().policy = std::move(policy);
}

void Authorization::setCreateStatusForTesting(AuthorizationStatus status) {
  std::lock_guard<std::mutex> lock(hooks().mutex);
  hooks().createStatus = status;
}

}  // namespace platform::sysconfig
