// JSON token scanner: reads UTF-8 JSON text one token at a time for the
// decoder. It skips white space, line breaks and (by option) comments, and
// delivers each token with its text, kind, decoded value bytes and a hash of
// the value that the decoder's leaf cache uses. It also holds the UTF-8
// sequence validator shared with the encoder, and the error slot of a parse:
// the first recorded error wins, later ones are dropped.
//
// Guarantees:
//  1. The scanner never reads outside [input, input + length).
//  2. Strings without escapes and with valid UTF-8 are not copied: their value
//     bytes point into the input. Other strings are decoded into a buffer the
//     state owns; the value bytes stay valid until the next token.
//  3. Numbers keep their kind: signed 64-bit for negative integers, unsigned
//     64-bit for other integers, double for fractions, exponents and "-0".
//     Conversions never depend on the user's locale.
//
// Thread safety: one JTParseState is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"

namespace codecs {

// Parse option flags.
inline constexpr std::uint64_t JTParseFlagNone = 0;
inline constexpr std::uint64_t JTParseFlagComments = 1;
inline constexpr std::uint64_t JTParseFlagUnicodeLineBreaks = 2;
inline constexpr std::uint64_t JTParseFlagLenientUnicode = 4;
inline constexpr std::uint64_t JTParseFlagTrailingText = 8;
inline constexpr std::uint64_t JTParseFlagValidFlags = 0x0F;

inline constexpr const char* kJTErrorDomain = "JTErrorDomain";
inline constexpr const char* kJTAtIndexKey = "JTAtIndexKey";
inline constexpr const char* kJTLineNumberKey = "JTLineNumberKey";
// Code of every syntax, encoding and number error of the codec.
inline constexpr std::int64_t kJTErrorCodeInvalid = -1;
// Code of the nesting-depth limit (input from the network must not be able to
// exhaust the stack).
inline constexpr std::int64_t kJTErrorCodeNestingTooDeep = -2;
inline constexpr std::size_t kJTMaximumNestingDepth = 512;

enum class JTTokenType : std::uint8_t {
  Invalid,
  Number,
  String,
  ObjectBegin,
  ObjectEnd,
  ArrayBegin,
  ArrayEnd,
  Separator,
  Comma,
  True,
  False,
  Null,
};

// Value kinds; the codes enter the value hash and the decoder's cache probe.
enum class JTValueType : std::uint8_t {
  None = 0,
  String = 5,
  LongLong = 7,
  UnsignedLongLong = 11,
  Double = 13,
};

struct JTTokenValue {
  const std::uint8_t* ptr = nullptr;  // value bytes (string bytes or the number's 8 bytes)
  std::size_t length = 0;
  JTValueType type = JTValueType::None;
  // A string's value hash of its bytes (jtHashBytes), left 0 for a string
  // longer than kJTHashedStringLength bytes; a number's mix of its value
  // bits and kind.
  std::uint64_t hash = 0;
  union {
    std::int64_t longLongValue;
    std::uint64_t unsignedLongLongValue;
    double doubleValue;
  } number{};
  int cacheSlot = -1;  // set by the decoder: the cache slot that produced the object
};

struct JTToken {
  const std::uint8_t* ptr = nullptr;  // the token's text in the input
  std::size_t length = 0;
  JTTokenType type = JTTokenType::Invalid;
  JTTokenValue value;
};

// Strings up to this length carry their hash in the token; longer ones
// (certificates, keys) rarely need it.
inline constexpr std::size_t kJTHashedStringLength = 256;

// The value hash: seed, then one step per byte.
inline constexpr std::uint64_t kJTHashSeed = 1402737925ULL;
inline constexpr std::uint64_t jtHashStep(std::uint64_t hash, std::uint8_t c) {
  return ((hash * 33U) + c - 29U) ^ (hash >> 19);
}
std::uint64_t jtHashBytes(const void* bytes, std::size_t length);

// One UTF-8 sequence starting at a byte of 0x80 or more.
enum class JTUTF8Result { OK, SourceExhausted, SourceIllegal };
struct JTUTF8Conversion {
  JTUTF8Result result;
  const std::uint8_t* next;  // position after the sequence (or where to resume)
  std::uint32_t codePoint;   // U+FFFD when illegal
};
JTUTF8Conversion ConvertSingleCodePointInUTF8(const std::uint8_t* start, const std::uint8_t* end);
// True for surrogates, U+FDD0..U+FDEF and code points ending in FFFE/FFFF.
bool jtIsIllegalCodePoint(std::uint32_t cp);
// Appends the UTF-8 form of `cp` (at most U+10FFFF) to `out`; returns the byte count.
int jtAppendUTF8(std::string& out, std::uint32_t cp);

class JTParseState {
 public:
  JTParseState();

  // Starts a parse of `length` bytes at `input` (not owned, must outlive the parse).
  void begin(const std::uint8_t* input, std::size_t length, std::uint64_t options);
  // Ends a parse: forgets the input, frees a large token buffer.
  void end();

  // Reads the next token. 0 on success (token set, atIndex past it);
  // non-zero on failure with an error recorded.
  int nextToken();
  // The same for a token known to be a string (atIndex at its '"') or a
  // number (at its '-' or first digit), with no white space before it: the
  // decoder's fast path has looked at the first byte already. A string read
  // this way carries no hash (0): the decoder hashes what it needs itself.
  int nextStringToken() {
    token_.ptr = input_ + atIndex_;
    token_.value.cacheSlot = -1;
    return parseString(false);
  }
  int nextNumberToken() {
    token_.ptr = input_ + atIndex_;
    token_.value = JTTokenValue();
    return parseNumber();
  }
  // Skips white space, line breaks and (by option) comments from atIndex.
  void skipWhitespace();

  // Records an error unless one is recorded already.
  void error(std::string_view message, std::int64_t code = kJTErrorCodeInvalid);
  bool hasError() const { return !error_.isNone(); }
  const platform::Error& recordedError() const { return error_; }

  std::uint64_t options() const { return options_; }
  std::size_t atIndex() const { return atIndex_; }
  // Moves the read position (the decoder's fast path scans structure itself).
  void setAtIndex(std::size_t index) { atIndex_ = index; }
  std::size_t length() const { return length_; }
  std::size_t lineNumber() const { return lineNumber_; }
  const std::uint8_t* input() const { return input_; }
  JTToken& token() { return token_; }

  // The text of the "Unexpected token" message.
  static constexpr std::string_view kUnexpectedToken =
      "Unexpected token, wanted '{', '}', '[', ']', ',', ':', 'true', 'false', 'null', "
      "'\"STRING\"', 'NUMBER'.";

 private:
  int parseString(bool hash = true);
  int parseStringSlow(const std::uint8_t* p, bool hash);
  // Records the error of a bad digit in a \u escape.
  void badHexDigit(std::uint8_t c);
  // Makes room for `n` more bytes behind `out` in tokenBuffer_.
  void growTokenBuffer(char*& out, char*& limit, std::size_t n);
  int parseNumber();
  // The full number reader, for whatever the fast one leaves: it names the fault.
  int parseNumberSlow();
  void finishNumber(const std::uint8_t* start, std::size_t length);
  bool isNewline(const std::uint8_t* p, std::size_t* width) const;

  const std::uint8_t* input_ = nullptr;
  std::size_t length_ = 0;
  std::size_t atIndex_ = 0;
  std::size_t lineNumber_ = 1;
  std::size_t lineStart_ = 0;
  std::uint64_t options_ = 0;
  JTToken token_;
  // Decoded strings that needed unescaping. Its size is only capacity: the
  // token says how many bytes are in use.
  std::string tokenBuffer_;
  platform::Error error_;
};

}  // namespace codecs
