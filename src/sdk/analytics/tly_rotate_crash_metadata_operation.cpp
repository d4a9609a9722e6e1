#include "sdk/analytics/tly_rotate_crash_metadata_operation.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/foundation/date.h"

namespace sdk {
namespace {

std::uint64_t wholeSecondsNow() {
  double t = platform::Date::now().timeIntervalSince1970();
  return t > 0 ? static_cast<std::uint64_t>(t) : 0;
}

}  // namespace

TLYRotateCrashMetadataOperation::TLYRotateCrashMetadataOperation(
    platform::URL crashMetadataURL, std::shared_ptr<TLYMetadata> currentMetadata)
    : crashMetadataURL_(std::move(crashMetadataURL)),
      currentMetadata_(std::move(currentMetadata)),
      currentMetadataDictionary_(
          currentMetadata_
              ? currentMetadata_->dictionaryRepresentationWithStartTime(wholeSecondsNow())
              : platform::Value()) {}

void TLYRotateCrashMetadataOperation::main() {
  std::string path = crashMetadataURL_.decodedPath();
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    crashMetadata_ = TLYCrashMetadata::initWithDictionary(
        TLYCrashMetadata::readSerializedDictionaryFromURL(crashMetadataURL_));
    ::unlink(path.c_str());
  } else {
    crashMetadata_ = TLYCrashMetadata::initWithDictionary(platform::Value::dictionary());
  }
  TLYCrashMetadata::writeSerializedDictionary(currentMetadataDictionary_, crashMetadataURL_);
}

}  // namespace sdk
