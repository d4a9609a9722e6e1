#include "sdk/analytics/tly_crash_metadata.h"

#include "codecs/json_decoder.h"
#include "codecs/json_encoder.h"
#include "platform/system/file_util.h"

namespace sdk {

TLYCrashMetadata::TLYCrashMetadata(platform::Value dictionary)
    : rawMetadataDictionary_(dictionary.isDictionary() ? std::move(dictionary)
                                                       : platform::Value()) {}

platform::Value TLYCrashMetadata::dictionaryRepresentationWithStartTime(std::uint64_t) const {
  return rawMetadataDictionary_;
}

platform::Value TLYCrashMetadata::readSerializedDictionaryFromURL(const platform::URL& url) {
  auto text = platform::files::readFile(url.decodedPath());
  if (!text) return platform::Value();
  platform::Value parsed = codecs::JSONDecoder().objectWithUTF8String(text->data(), text->size());
  if (!parsed.isDictionary()) return platform::Value();
  return parsed;
}

bool TLYCrashMetadata::writeSerializedDictionary(const platform::Value& dictionary,
                                                 const platform::URL& url) {
  if (!dictionary.isDictionary()) return false;
  platform::Value json = codecs::JSONString(dictionary, codecs::JTSerializeOptionNone);
  if (!json.isString()) return false;
  return platform::files::writeFileAtomically(url.decodedPath(), json.stringView(), 0600);
}

}  // namespace sdk
