#include "client/core/helper_installer.h"

#include <unistd.h>

#include <algorithm>

#include "platform/security/polkit_authorization.h"
#include "platform/servicemanagement/service_management.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"

namespace client {

namespace sm = platform::servicemanagement;
using platform::sysconfig::Authorization;

namespace {

constexpr const char* kInstallTask = "install the VarnelVPN helper";

platform::Error installError(std::int64_t code, const std::string& message) {
  return platform::Error(sm::kSMErrorDomain, code,
                         platform::Value::dictionary(
                             {{platform::kLocalizedDescriptionKey, platform::Value(message)}}));
}

// Interaction allowed, extend rights, pre-authorize.
constexpr std::uint32_t kRightsFlags = platform::sysconfig::kAuthorizationFlagInteractionAllowed |
                                       platform::sysconfig::kAuthorizationFlagExtendRights |
                                       platform::sysconfig::kAuthorizationFlagPreAuthorize;

}  // namespace

CodesigningUtilities::CodesigningUtilities(
    std::shared_ptr<const platform::Bundle> clientBundle,
    platform::sysconfig::Authorization::Options authorization)
    : bundle_(clientBundle ? std::move(clientBundle) : platform::Bundle::main()) {
  platform::sysconfig::AuthorizationStatus status = 0;
  authorization_ = Authorization::create(&status, std::move(authorization));
}

std::string CodesigningUtilities::installedHelperPath(const std::string& label) const {
  return sm::installedHelperPath(label);
}

std::string CodesigningUtilities::bundledHelperPath(const std::string& label) const {
  return sm::bundledHelperPath(*bundle_, label);
}

std::string CodesigningUtilities::installerPath() const {
  return bundle_->bundlePath() + "/" + platform::security::kInstallerProgramName;
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
  failureMessage_.clear();
  // The installed helper serves the user recorded at its installation: a
  // helper of the same version installed for another user (or before users
  // were recorded) is installed again for this one.
  const std::vector<uid_t> users = sm::authorizedUsers();
  const bool forThisUser =
      std::find(users.begin(), users.end(), sm::authorizingUserFromEnvironment()) != users.end();
  if (installed && shipped && *installed == *shipped && forThisUser) return true;
  // Keep a working helper when there is nothing readable to replace it with.
  if (installed && !shipped) return true;
  // Root removes the old helper first; others update it in place through
  // the installer (one authorization, and a failure keeps the old helper).
  if (installed && ::geteuid() == 0) removeHelpers();
  platform::Error ignored;
  return blessHelperWithLabel(label, &ignored);
}

bool CodesigningUtilities::installThroughPolkit(const std::string& label, platform::Error* error) {
  std::vector<std::string> arguments = {"install-helper", label, "--client",
                                        platform::files::lastComponent(bundle_->executablePath())};
  const std::string root = platform::paths::systemRoot();
  if (!root.empty()) {
    arguments.push_back("--root");
    arguments.push_back(root);
  }
  platform::security::AuthorizedRun run =
      platform::security::runAuthorized(installerPath(), arguments, kInstallTask);
  if (run.outcome == platform::security::AuthorizedRun::Outcome::kSucceeded) return true;
  failureMessage_ = run.message;
  const bool authorization =
      run.outcome != platform::security::AuthorizedRun::Outcome::kProgramFailed;
  if (error)
    *error =
        installError(authorization ? sm::kSMErrorAuthorizationFailure : sm::kSMErrorInternalFailure,
                     run.message);
  return false;
}

bool CodesigningUtilities::blessHelperWithLabel(const std::string& label, platform::Error* error) {
  failureMessage_.clear();
  if (::geteuid() != 0) return installThroughPolkit(label, error);
  platform::sysconfig::AuthorizationStatus status =
      authorization_ ? authorization_->copyRights(sm::kSMRightBlessPrivilegedHelper, kRightsFlags)
                     : platform::sysconfig::kAuthorizationInvalidSet;
  if (status != platform::sysconfig::kAuthorizationSuccess) {
    failureMessage_ = "The authorization to " + std::string(kInstallTask) + " was refused.";
    if (error) *error = platform::Error(sm::kOSStatusErrorDomain, status);
    return false;
  }
  platform::Error blessError;
  if (sm::blessJob(sm::kSMDomainSystemLaunchd, label, *bundle_, authorization_.get(), &blessError))
    return true;
  failureMessage_ =
      "Could not " + std::string(kInstallTask) + ": " + blessError.localizedDescription();
  if (error) *error = blessError;
  return false;
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
