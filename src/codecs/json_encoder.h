// JSON encoder: writes a tree of arrays, dictionaries, strings, numbers,
// booleans and nulls as UTF-8 JSON text, compact or pretty-printed, and
// returns it as a Data or a String value.
//
// Guarantees:
//  1. A serialization returns the whole text or None with the first recorded
//     error (domain "JTErrorDomain", the message under the
//     localized-description key); nothing partial is returned.
//  2. Values of other kinds (data, dates) go through the caller's formatter,
//     which may replace them once; otherwise the serialization fails.
//  3. Nesting deeper than kJTMaximumNestingDepth (or a collection that holds
//     itself) is an error with code kJTErrorCodeNestingTooDeep.
//  4. Numbers are written without regard to the user's locale: integers in
//     decimal keeping their signedness, reals with 17 significant digits.
//
// Thread safety: a serialization runs on the caller's thread with its own
// state; separate calls may run on separate threads. The formatter is called
// synchronously on the same thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "codecs/json_scanner.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace codecs {

// Serialize options.
inline constexpr std::uint64_t JTSerializeOptionNone = 0;
inline constexpr std::uint64_t JTSerializeOptionPretty = 1;
inline constexpr std::uint64_t JTSerializeOptionEscapeNonASCII = 2;
inline constexpr std::uint64_t JTSerializeOptionEscapeSlash = 16;

// Encode options, chosen by the entry points.
inline constexpr std::uint64_t JTEncodeOptionReturnData = 1;
inline constexpr std::uint64_t JTEncodeOptionReturnString = 2;
inline constexpr std::uint64_t JTEncodeOptionAsTypeMask = 0x07;
inline constexpr std::uint64_t JTEncodeOptionCollectionObj = 8;
inline constexpr std::uint64_t JTEncodeOptionStringObj = 16;
inline constexpr std::uint64_t JTEncodeOptionStringObjTrimQuotes = 32;

// Receives a value of an unsupported kind and returns a replacement, or None.
using JTUnsupportedFormatter = std::function<platform::Value(const platform::Value&)>;

class JTSerializer {
 public:
  JTSerializer();
  ~JTSerializer();
  JTSerializer(const JTSerializer&) = delete;
  JTSerializer& operator=(const JTSerializer&) = delete;

  // One serialization with a new serializer.
  static platform::Value serializeObject(const platform::Value& object, std::uint64_t options,
                                         std::uint64_t encodeOption,
                                         const JTUnsupportedFormatter& formatter,
                                         platform::Error* error);
  // Throws NSInternalInconsistencyException for a None object or an
  // inconsistent encode option.
  platform::Value serialize(const platform::Value& object, std::uint64_t options,
                            std::uint64_t encodeOption, const JTUnsupportedFormatter& formatter,
                            platform::Error* error);
  // Frees the encode state; harmless when there is none.
  void releaseState();

  struct State;  // the encode state (opaque)

 private:
  // The thread's spare State (see releaseState), or a new one.
  static std::unique_ptr<State> takeState();
  std::unique_ptr<State> state_;
};

// Entry points for an array or dictionary root.
platform::Value JSONData(const platform::Value& collection,
                         std::uint64_t options = JTSerializeOptionNone,
                         platform::Error* error = nullptr);
platform::Value JSONDataWithFormatter(const platform::Value& collection, std::uint64_t options,
                                      const JTUnsupportedFormatter& formatter,
                                      platform::Error* error = nullptr);
platform::Value JSONString(const platform::Value& collection,
                           std::uint64_t options = JTSerializeOptionNone,
                           platform::Error* error = nullptr);
platform::Value JSONStringWithFormatter(const platform::Value& collection, std::uint64_t options,
                                        const JTUnsupportedFormatter& formatter,
                                        platform::Error* error = nullptr);

// Entry points for a string root; `includeQuotes` false leaves out the
// enclosing quotes.
platform::Value stringJSONData(const platform::Value& string,
                               std::uint64_t options = JTSerializeOptionNone,
                               bool includeQuotes = true, platform::Error* error = nullptr);
platform::Value stringJSONString(const platform::Value& string,
                                 std::uint64_t options = JTSerializeOptionNone,
                                 bool includeQuotes = true, platform::Error* error = nullptr);

}  // namespace codecs
