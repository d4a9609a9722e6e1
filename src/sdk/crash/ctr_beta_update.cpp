#include "sdk/crash/ctr_beta_update.h"

#include <utility>

#include "platform/foundation/format.h"
#include "sdk/crash/capture/ctr_application.h"
#include "sdk/crash/ctr_settings.h"

namespace sdk {

CTRBetaUpdate::Ptr CTRBetaUpdate::betaUpdateWithDictionary(const platform::Value& dictionary,
                                                           platform::Error* error,
                                                           platform::BundlePtr bundle) {
  Ptr update = initWithDictionary(dictionary, std::move(bundle));
  if (!update && error)
    *error = platform::Error(platform::kURLErrorDomain, kCTRBetaUpdateErrorCode);
  return update;
}

CTRBetaUpdate::Ptr CTRBetaUpdate::initWithDictionary(const platform::Value& dictionary,
                                                     platform::BundlePtr bundle) {
  if (!dictionary.isDictionary()) return nullptr;
  const platform::Value urlString = dictionary[kCTRBetaUpdateURLKey];
  if (!urlString.isString() || urlString.stringView().empty()) return nullptr;
  platform::URL url(urlString.stringView());
  if (!url.isValid()) return nullptr;
  const platform::Value version = dictionary[kCTRBetaUpdateVersionKey];
  std::optional<std::string> versionText;
  if (version.isString()) versionText = version.asString();
  return std::make_shared<const CTRBetaUpdate>(Passkey{}, std::move(url), std::move(versionText),
                                               std::move(bundle));
}

CTRBetaUpdate::CTRBetaUpdate(Passkey, platform::URL url, std::optional<std::string> version,
                             platform::BundlePtr bundle)
    : url_(std::move(url)), version_(std::move(version)), bundle_(std::move(bundle)) {}

std::string CTRBetaUpdate::promptTitle() const {
  return CTRLocalizedString(kCTRDistributionPromptTitleKey, kCTRStringsTableName,
                            "New Build Available", bundle_);
}

std::string CTRBetaUpdate::promptMessage() const {
  const std::string format =
      CTRLocalizedString(kCTRDistributionPromptMessageKey, kCTRStringsTableName,
                         "A new version of %@ is available for testing.", bundle_);
  return platform::format(format, CTRApplicationGetName(bundle_));
}

std::string CTRBetaUpdate::cancelLabel() const {
  return CTRLocalizedString(kCTRDistributionPromptCancelTitleKey, kCTRStringsTableName, "Cancel",
                            bundle_);
}

std::string CTRBetaUpdate::installLabel() const {
  return CTRLocalizedString(kCTRDistributionPromptInstallTitleKey, kCTRStringsTableName, "Install",
                            bundle_);
}

}  // namespace sdk
