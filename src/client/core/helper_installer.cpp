#include "client/core/helper_installer.h"

#include <algorithm>

#include "platform/servicemanagement/service_management.h"

namespace client {

namespace sm = platform::servicemanagement;
using platform::sysconfig::Authorization;

namespace {

// Interaction allowed, extend rights, pre-authorize.
constexpr std::uint32_t kRightsFlags = platform::sysconfig::kAuthorizationFlagInteractionAllowed |
                                       platform::sysconfig::kAuthorizationFlagExtendRights |
                                       platform::sysconfig::kAuthorizationFlagPreAuthorize;

}  // namespace

CodesigningUtilities::CodesigningUtilities(std::shared_ptr<const platform::Bundle> clientBundle)
    : bundle_(clientBundle ? std::move(clientBundle) : platform::Bundle::main()) {
  platform::sysconfig::AuthorizationStatus status = 0;
  authorization_ = Authorization::create(&status);
}

std::string CodesigningUtilities::installedHelperPath(const std::string& label) const {
  return sm::installedHelperPath(label);
}

std::string CodesigningUtilities::bundledHelperPath(const std::string& label) const {
  return sm::bundledHelperPath(*bundle_, label);
}

std::optional<std::string> CodesigningUtilities::bundleVersionForCodeSignedItemAtURL(
    const std::optional<std::string>& path) {
  if (!path || path->empty()) return std::nullopt;
  platform::Value info = sm::copyCodeInformation(*path);
  platform::Value version = info[platform::kCFBundleVersionKey];
  if (!version.isString() || version.asString().empty()) return std::nullopt;
  return version.asString();
}

bool CodesigningUtilities::installHelperWithLabel(const std::string& label) {
  std::optional<std::string> installed =
      bundleVersionForCodeSignedItemAtURL(installedHelperPath(label));
  std::optional<std::string> shipped =
      bundleVersionForCodeSignedItemAtURL(bundledHelperPath(label));
  // The installed helper serves the user recorded at its installation: a
  // helper of the same version installed for another user (or before users
  // were recorded) is installed again for this one.
  const std::vector<uid_t> users = sm::authorizedUsers();
  const bool forThisUser =
      std::find(users.begin(), users.end(), sm::authorizingUserFromEnvironment()) != users.end();
  if (installed && shipped && *installed == *shipped && forThisUser) return true;
  // Keep a working helper when there is nothing readable to replace it with.
  if (installed && !shipped) return true;
  if (installed) removeHelpers();
  platform::Error ignored;
  return blessHelperWithLabel(label, &ignored);
}

bool CodesigningUtilities::blessHelperWithLabel(const std::string& label, platform::Error* error) {
  platform::sysconfig::AuthorizationStatus status =
      authorization_ ? authorization_->copyRights(sm::kSMRightBlessPrivilegedHelper, kRightsFlags)
                     : platform::sysconfig::kAuthorizationInvalidSet;
  if (status != platform::sysconfig::kAuthorizationSuccess) {
    if (error) *error = platform::Error(sm::kOSStatusErrorDomain, status);
    return false;
  }
  return sm::blessJob(sm::kSMDomainSystemLaunchd, label, *bundle_, authorization_.get(), error);
}

bool CodesigningUtilities::removeHelpers() {
  if (!authorization_ ||
      authorization_->copyRights(platform::sysconfig::kAuthorizationRightAdmin, kRightsFlags) !=
          platform::sysconfig::kAuthorizationSuccess)
    return false;
  sm::removeJob(kHelperLabel, authorization_.get());
  return true;
}

}  // namespace client
