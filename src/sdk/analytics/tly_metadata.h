// TLYMetadata: the facts of this run that open every event log it begins:
// the SDK's identifiers and API key, the host application's identity and
// versions, and the machine's model, system, locale and processor count.
//
// Every field is read once, at construction (initWithBeacon); the metadata
// never changes afterwards. Fields whose source has nothing (an empty or
// missing value) are absent and left out of the dictionary.
//
// Thread safety: immutable after construction; any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "sdk/analytics/tly_metadata_serializable.h"

namespace sdk {

class Beacon;

inline constexpr const char* kTLYMetadataGenerator = "Tally Mac SDK/1.3.4";
inline constexpr const char* kTLYMetadataPlatform = "Mac";

class TLYMetadata : public TLYMetadataSerializable {
 public:
  using Text = std::optional<std::string>;

  // The fields, as read from their sources.
  struct Fields {
    Text APIKey;
    Text betaToken;  // already unwrapped
    Text buildVersion;
    Text bundleIdentifier;
    Text displayVersion;
    Text executionIdentifier;
    Text hostModel;
    Text installationId;
    Text instanceIdentifier;
    bool isJailbroken = false;
    Text locale;
    std::uint32_t numberOfCores = 0;
    Text OSBuildVersion;
    Text OSDisplayVersion;
    Text platform = std::string(kTLYMetadataPlatform);
  };

  // Reads every field from the registry instance, the host application and
  // the machine; `betaToken` is unwrapped (unwrapBetaToken).
  static std::shared_ptr<TLYMetadata> initWithBeacon(const std::shared_ptr<Beacon>& beacon,
                                                     const Text& betaToken);
  // Metadata with the given fields (tests and callers that have them).
  explicit TLYMetadata(Fields fields);

  const Text& APIKey() const { return f_.APIKey; }
  const Text& betaToken() const { return f_.betaToken; }
  const Text& buildVersion() const { return f_.buildVersion; }
  const Text& bundleIdentifier() const { return f_.bundleIdentifier; }
  const Text& displayVersion() const { return f_.displayVersion; }
  const Text& executionIdentifier() const { return f_.executionIdentifier; }
  const Text& hostModel() const { return f_.hostModel; }
  const Text& installationId() const { return f_.installationId; }
  const Text& instanceIdentifier() const { return f_.instanceIdentifier; }
  bool isJailbroken() const { return f_.isJailbroken; }
  const Text& locale() const { return f_.locale; }
  std::uint32_t numberOfCores() const { return f_.numberOfCores; }
  const Text& OSBuildVersion() const { return f_.OSBuildVersion; }
  const Text& OSDisplayVersion() const { return f_.OSDisplayVersion; }
  const Text& platform() const { return f_.platform; }
  // Always 0 on this platform.
  std::uint32_t platformCode() const { return 0; }
  const Fields& fields() const { return f_; }

  // The given token split at ":": exactly two pieces with "2" first give the
  // second piece; anything else (or nothing) gives no beta token.
  static Text unwrapBetaToken(const Text& token);
  static bool computeIsJailbroken() { return false; }

  // Advertising facts: nothing to report on this platform.
  static Text identifierForAdvertising() { return std::nullopt; }
  static bool trackingForAdvertisingEnabled() { return false; }
  static std::shared_ptr<void> ASManager() { return nullptr; }
  static bool advertisingSupportFrameworkLinked() { return ASManager() != nullptr; }

  // Sets `key` of the mutable `dictionary` only when `object` is present.
  static void setValueInDictionary(platform::Value& dictionary, const char* key,
                                   const platform::Value& object);

  // "generator", "api_key", "session_id", "started_at", ... in the order of
  // the design; absent fields are left out.
  platform::Value dictionaryRepresentationWithStartTime(std::uint64_t startTime) const override;

 private:
  const Fields f_;
};

}  // namespace sdk
