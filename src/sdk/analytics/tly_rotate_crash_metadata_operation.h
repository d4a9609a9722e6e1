// TLYRotateCrashMetadataOperation: at the analytics kit's start, takes the
// previous run's metadata out of the crash metadata file and puts this
// run's there.
//
// main(): when the file exists, its dictionary becomes crashMetadata() (a
// TLYCrashMetadata without a dictionary when it could not be read) and the
// file is removed; otherwise crashMetadata() holds an empty dictionary.
// Then this run's metadata dictionary, made at construction with the
// construction time as "started_at", is written to the file, whatever
// happened before. The controller runs main() directly, once.
//
// Thread safety: one caller at a time; crashMetadata() after main().
#pragma once

#include <memory>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/system/operation.h"
#include "sdk/analytics/tly_crash_metadata.h"
#include "sdk/analytics/tly_metadata.h"

namespace sdk {

class TLYRotateCrashMetadataOperation : public platform::Operation {
 public:
  TLYRotateCrashMetadataOperation(platform::URL crashMetadataURL,
                                  std::shared_ptr<TLYMetadata> currentMetadata);
  static std::shared_ptr<TLYRotateCrashMetadataOperation> initWithCrashMetadataURL(
      platform::URL crashMetadataURL, std::shared_ptr<TLYMetadata> currentMetadata) {
    return std::make_shared<TLYRotateCrashMetadataOperation>(std::move(crashMetadataURL),
                                                             std::move(currentMetadata));
  }

  void main() override;

  const platform::URL& crashMetadataURL() const { return crashMetadataURL_; }
  const std::shared_ptr<TLYMetadata>& currentMetadata() const { return currentMetadata_; }
  const platform::Value& currentMetadataDictionary() const { return currentMetadataDictionary_; }
  // The previous run's metadata (nullptr before main()).
  const std::shared_ptr<TLYCrashMetadata>& crashMetadata() const { return crashMetadata_; }

 private:
  const platform::URL crashMetadataURL_;
  const std::shared_ptr<TLYMetadata> currentMetadata_;
  const platform::Value currentMetadataDictionary_;
  std::shared_ptr<TLYCrashMetadata> crashMetadata_;
};

}  // namespace sdk
