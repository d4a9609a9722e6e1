// CTRBetaUpdate: the server's answer to a beta update check: where the new
// test build is, its version, and the texts of the prompt offering it.
//
// Guarantees:
//  1. An update always has a valid, non-empty URL: the initialisers refuse
//     (nullptr) anything that is not a dictionary with a "url" text making
//     a valid URL.
//  2. betaUpdateWithDictionary sets `*error`, when given, to domain
//     "NSURLErrorDomain", code -1017, no details, when it refuses.
//  3. The prompt texts come from the bundle's "Crashtrail" string table
//     (CTRLocalizedString), with English fallbacks; the message names the
//     application (display name, else bundle name, else build version).
//
// Thread safety: immutable; any member may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/system/bundle.h"

namespace sdk {

inline constexpr const char* kCTRBetaUpdateURLKey = "url";
inline constexpr const char* kCTRBetaUpdateVersionKey = "version_string";
// The error of a refused answer (the platform's "cannot parse response").
inline constexpr std::int64_t kCTRBetaUpdateErrorCode = -1017;

inline constexpr const char* kCTRDistributionPromptTitleKey = "CrashtrailDistributionPromptTitle";
inline constexpr const char* kCTRDistributionPromptMessageKey =
    "CrashtrailDistributionPromptMessage";
inline constexpr const char* kCTRDistributionPromptCancelTitleKey =
    "CrashtrailDistributionPromptCancelTitle";
inline constexpr const char* kCTRDistributionPromptInstallTitleKey =
    "CrashtrailDistributionPromptInstallTitle";

class CTRBetaUpdate {
  struct Passkey {};

 public:
  using Ptr = std::shared_ptr<const CTRBetaUpdate>;

  // nullptr (and the error of guarantee 2) when the answer is refused. The
  // prompt texts are those of `bundle`'s program (its name, its string
  // tables).
  static Ptr betaUpdateWithDictionary(const platform::Value& dictionary,
                                      platform::Error* error = nullptr,
                                      platform::BundlePtr bundle = platform::Bundle::main());
  // nullptr when the answer is refused (guarantee 1).
  static Ptr initWithDictionary(const platform::Value& dictionary,
                                platform::BundlePtr bundle = platform::Bundle::main());

  CTRBetaUpdate(Passkey, platform::URL url, std::optional<std::string> version,
                platform::BundlePtr bundle);

  const platform::URL& url() const { return url_; }
  // "version_string" when it was a text.
  const std::optional<std::string>& version() const { return version_; }

  std::string promptTitle() const;
  std::string promptMessage() const;
  std::string cancelLabel() const;
  std::string installLabel() const;

 private:
  const platform::URL url_;
  const std::optional<std::string> version_;
  const platform::BundlePtr bundle_;
};

}  // namespace sdk
