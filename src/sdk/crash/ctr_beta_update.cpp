#include "sdk/crash/ctr_beta_update.h"

#include <utility>

#include "platform/foundation/format.h"
#include "sdk/crash/capture/ctr_application.h"
#include "sdk/crash/ctr_settings.h"

namespace sdk {

CTRBetaUpdate::Ptr CTRBetaUpdate::betaUpdateWithDictionary(const platform::Value& dictionary,
                                                           platform::Error* error) {
  Ptr update = initWithDictionary(dictionary);
  if (!update && error)
    *error = platform::Error(platform::kURLErrorDomain, kCTRBetaUpdateErrorCode);
  return update;
}

CTRBetaUpdate::Ptr CTRBetaUpdate::initWithDictionary(const platform::Value& dictionary) {
  if (!dictionary.isDictionary()) return nullptr;
  const platform::Value urlString = dictionary[kCTRBetaUpdateURLKey];
  if (!urlString.isString() || urlString.stringView().empty()) return nullptr;
  platform::URL url(urlString.stringView());
  if (!url.isValid()) return nullptr;
  const platform::Value version = dictionary[kCTRBetaUpdateVersionKey];
  std::optional<std::string> versionText;
  if (version.isString()) versionText = version.asString();
  return std::make_shared<const CTRBetaUpdate>(Passkey{}, std::move(url), std::move(versionText));
}

CTRBetaUpdate::CTRBetaUpdate(Passkey, platform::URL url, std::optional<std::string> version)
    : url_(std::move(url)), version_(std::move(version)) {}

std::string CTRBetaUpdate::promptTitle() const {
  return CTRLocalizedString(kCTRDistributionPromptTitleKey, kCTRStringsTableName,
                            "New Build Available");
}

std::string CTRBetaUpdate::promptMessage() const {
  const std::string format =
      CTRLocalizedString(kCTRDistributionPromptMessageKey, kCTRStringsTableName,
                         "A new version of %@ is available for testing.");
  return platform::format(format, CTRApplicationGetName());
}

std::string CTRBetaUpdate::cancelLabel() const {
  return CTRLocalizedString(kCTRDistributionPromptCancelTitleKey, kCTRStringsTableName, "Cancel");
}

std::string CTRBetaUpdate::installLabel() const {
  return CTRLocalizedString(kCTRDistributionPromptInstallTitleKey, kCTRStringsTableName, "Install");
}

}  // namespace sdk
