// libFuzzer target: the JSON decoder with every option combination, and the
// encoder on whatever the decoder accepts (the text must then decode again to
// an equal tree, and the mutable tree must pretty-print to the same text).
// Every decoded key must be found again by its text, and every string must
// read the same through both string accessors. A second parse by the same
// decoder (which meets its cache and key hints) must give the same tree, and
// text the fast path reads must give what the full path gives: the same
// tree, or the same error at the same place.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codecs/json_decoder.h"
#include "codecs/json_encoder.h"

namespace {
void checkTree(const platform::Value& v) {
  if (v.isString() && v.stringView() != v.asString()) std::abort();
  if (v.isArray()) {
    for (const platform::Value& e : v.elements()) checkTree(e);
  } else if (v.isDictionary()) {
    v.forEach([&](const platform::Value& key, const platform::Value& value) {
      if (!v[key.stringView()].isSameObject(value)) std::abort();
      checkTree(key);
      checkTree(value);
      return true;
    });
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint64_t options = data[0] & codecs::JTParseFlagValidFlags;
  const char* text = reinterpret_cast<const char*>(data + 1);
  const std::size_t length = size - 1;

  codecs::JSONDecoder decoder(options);
  platform::Error error;
  platform::Value v = decoder.objectWithUTF8String(text, length, &error);
  // Without '/' in the text, the comments option changes nothing but the
  // path: the fast one without it, the full one with it.
  const std::uint64_t fullPathOnly =
      codecs::JTParseFlagComments | codecs::JTParseFlagUnicodeLineBreaks;
  if ((options & fullPathOnly) == 0 && std::memchr(text, '/', length) == nullptr) {
    platform::Error fullError;
    platform::Value full = codecs::JSONDecoder(options | codecs::JTParseFlagComments)
                               .objectWithUTF8String(text, length, &fullError);
    if (v.isNone() != full.isNone()) std::abort();
    if (v.isNone()) {
      if (error.code() != fullError.code() ||
          error.localizedDescription() != fullError.localizedDescription() ||
          !(error.userInfo()[codecs::kJTAtIndexKey] ==
            fullError.userInfo()[codecs::kJTAtIndexKey])) {
        std::abort();
      }
    } else if (!(full == v) || full.description() != v.description()) {
      std::abort();
    }
  }
  if (v.isNone()) {
    if (error.isNone()) std::abort();  // a failure always carries an error
    return 0;
  }
  platform::Value again = decoder.objectWithUTF8String(text, length);
  if (!(again == v) || again.description() != v.description()) std::abort();
  platform::Value mutableV = decoder.mutableObjectWithUTF8String(text, length);
  if (!(mutableV == v)) std::abort();
  checkTree(v);
  checkTree(again);
  checkTree(mutableV);

  for (std::uint64_t serialize : {codecs::JTSerializeOptionNone, codecs::JTSerializeOptionPretty,
                                  codecs::JTSerializeOptionEscapeNonASCII}) {
    platform::Value json = codecs::JSONString(v, serialize, &error);
    if (json.isNone()) {
      // Only strings the decoder itself refuses (e.g. U+0000, noncharacters)
      // may fail to round-trip; the encoder must still report why.
      if (error.isNone()) std::abort();
      continue;
    }
    platform::Value back =
        codecs::objectFromJSONString(json.asString(), options & ~codecs::JTParseFlagTrailingText);
    if (!back.isNone() && !(back == v)) std::abort();
    // Pretty-printed (keys sorted), the decoded tree and the mutable one are
    // written by different paths (in place, and pair by pair): the text
    // must be the same.
    if (serialize == codecs::JTSerializeOptionPretty) {
      platform::Value mutableJson = codecs::JSONString(mutableV, serialize);
      if (mutableJson.isNone() || mutableJson.stringView() != json.stringView()) std::abort();
    }
  }
  return 0;
}
