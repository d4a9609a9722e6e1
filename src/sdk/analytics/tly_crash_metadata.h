// TLYCrashMetadata: the metadata of the previous run, as it stored it in the
// crash metadata file, for the crash event that reports that run's crash.
// Its metadata line carries the stored dictionary unchanged (the start time
// argument is ignored); with no dictionary the line cannot be formed.
//
// The crash metadata file holds one JSON object: the run's metadata
// dictionary with "started_at" set to the time the run rotated it.
//
// Thread safety: immutable; any thread. The file functions may be called
// from any thread (writes are atomic).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "sdk/analytics/tly_metadata_serializable.h"

namespace sdk {

class TLYCrashMetadata : public TLYMetadataSerializable {
 public:
  // `dictionary`: a dictionary, or None when none could be read.
  explicit TLYCrashMetadata(platform::Value dictionary);
  static std::shared_ptr<TLYCrashMetadata> initWithDictionary(platform::Value dictionary) {
    return std::make_shared<TLYCrashMetadata>(std::move(dictionary));
  }

  const platform::Value& rawMetadataDictionary() const { return rawMetadataDictionary_; }
  platform::Value dictionaryRepresentationWithStartTime(std::uint64_t startTime) const override;

  // The file's contents parsed as JSON: a dictionary, or None when the file
  // cannot be read, does not parse or holds something else.
  static platform::Value readSerializedDictionaryFromURL(const platform::URL& url);
  // The dictionary as compact JSON, written atomically (owner-only: it holds
  // the API key); whether the write succeeded.
  static bool writeSerializedDictionary(const platform::Value& dictionary,
                                        const platform::URL& url);

 private:
  const platform::Value rawMetadataDictionary_;
};

}  // namespace sdk
