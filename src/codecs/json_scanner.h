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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
// An integer beyond the 64-bit range fails the parse; without this flag it
// reads as the nearest double, as other JSON readers do.
inline constexpr std::uint64_t JTParseFlagIntegerOverflowFails = 32;
inline constexpr std::uint64_t JTParseFlagValidFlags = 0x2F;

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
  // longer than kJTHashedStringLength bytes; a number's jtHashNumber.
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

// The seed of the number hash and of the decoder's leaf cache (a bounded
// cache: keys that collide in it only push each other out).
inline constexpr std::uint64_t kJTHashSeed = 1402737925ULL;
// The hash dictionary keys are stored under: keyed with the process's
// secret (platform::keyedHash), as every other index of outside keys is, so
// that a reply cannot bring keys chosen to collide and make building its
// dictionaries walk all of them. Differs from process to process.
std::uint64_t jtHashBytes(const void* bytes, std::size_t length);
// A number's hash: one multiply-and-fold mix of its value bits and kind.
// Numbers are never dictionary keys, so it only has to spread them over the
// decoder's cache; every input bit reaches the low bits (the cache's slot).
// Reads the number at `p` (its '-' or first digit) into `v`'s type and
// number when it is well formed, followed by a byte that ends it, and of a
// common kind (an integer of at most 19 digits, or a real that converts
// without range trouble), and moves `p` past it; otherwise leaves `p` and
// returns false (the scanner's full path then reads it, or names its fault).
// Touches nothing else of `v`.
bool jtScanNumber(const std::uint8_t*& p, const std::uint8_t* end, JTTokenValue& v);

inline std::uint64_t jtHashNumber(const JTTokenValue& v) {
  std::uint64_t bits;
  static_assert(sizeof bits == sizeof v.number);
  std::memcpy(&bits, &v.number, sizeof bits);
  std::uint64_t hash = bits ^ (kJTHashSeed + static_cast<std::uint64_t>(v.type));
  hash = (hash ^ (hash >> 33)) * 0xFF51AFD7ED558CCDULL;
  hash = (hash ^ (hash >> 33)) * 0xC4CEB9FE1A85EC53ULL;
  return hash ^ (hash >> 33);
}

#if defined(__SSE2__)
// Bit i set when byte i of the 16 at p cannot stand in a string as it is:
// '"', '\\', a control byte or a byte of 0x80 or more.
inline unsigned jtSpecialMask16(const std::uint8_t* p) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // A signed compare with 0x20 flags the controls and every byte of 0x80 or
  // more at once.
  const __m128i special = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
      _mm_cmplt_epi8(x, _mm_set1_epi8(0x20)));
  return static_cast<unsigned>(_mm_movemask_epi8(special));
}
#endif

// The length of the string whose opening quote is at `p` when it is short
// and plain: closed within the 32 bytes after the quote (16 when fewer lie
// before `end`), with no control byte, backslash or byte of 0x80 or more
// before the closing quote. -1 for any other string (which the scanner
// reads in full).
inline int jtShortPlainStringLength(const std::uint8_t* p, const std::uint8_t* end) {
#if defined(__SSE2__)
  unsigned found;
  if (end - p >= 33) {
    found = jtSpecialMask16(p + 1) | (jtSpecialMask16(p + 17) << 16);
  } else if (end - p >= 17) {
    found = jtSpecialMask16(p + 1);
  } else {
    return -1;
  }
  if (found == 0) return -1;
  const int n = std::countr_zero(found);
  return p[1 + n] == '"' ? n : -1;
#else
  (void)p;
  (void)end;
  return -1;
#endif
}

// 2 for the lead byte of a two-byte UTF-8 sequence, 3 for that of a
// three-byte sequence whose second byte may be any continuation byte (E1-EC,
// EE, EF); 0 for every other byte.
struct JTUTF8LeadTable {
  std::uint8_t v[256];
  constexpr JTUTF8LeadTable() : v() {
    for (int i = 0xC2; i <= 0xDF; ++i) v[i] = 2;
    for (int i = 0xE1; i <= 0xEF; ++i) v[i] = i == 0xED ? 0 : 3;
  }
};
inline constexpr JTUTF8LeadTable kJTUTF8Lead;

// The length (2 or 3) of the well-formed sequence at p when it is of one of
// the two common kinds above, most text in other scripts; 0 for any other
// bytes (which need the full check). A byte b is a continuation byte when
// (b ^ 0x80) < 0x40.
inline int jtCommonUTF8Sequence(const std::uint8_t* p, const std::uint8_t* end) {
  const unsigned lead = kJTUTF8Lead.v[*p];
  if (lead == 2) return end - p >= 2 && (p[1] ^ 0x80U) < 0x40 ? 2 : 0;
  if (lead == 3) return end - p >= 3 && ((p[1] ^ 0x80U) | (p[2] ^ 0x80U)) < 0x40 ? 3 : 0;
  return 0;
}

// Whether [p, end) is well-formed UTF-8 as the string scanner reads it
// (noncharacters included, surrogates not). Sixteen bytes at a time in
// fixed steps, each independent of the one before, while the text holds
// only the common kinds of sequence; one sequence at a time otherwise.
bool jtWellFormedUTF8(const std::uint8_t* p, const std::uint8_t* end);

// One UTF-8 sequence starting at a byte of 0x80 or more.
enum class JTUTF8Result { OK, SourceExhausted, SourceIllegal };
struct JTUTF8Conversion {
  JTUTF8Result result;
  const std::uint8_t* next;  // position after the sequence (or where to resume)
  std::uint32_t codePoint;   // U+FFFD when illegal
};
JTUTF8Conversion ConvertSingleCodePointInUTF8(const std::uint8_t* start, const std::uint8_t* end);
// True for what no string can hold: surrogates and values beyond U+10FFFF.
// Noncharacters (U+FDD0..U+FDEF, code points ending in FFFE/FFFF) and
// U+0000 are characters like any other: the encoder writes them, so the
// decoder reads them back.
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
  // decoder's fast path has looked at the first byte already. A string or
  // number read this way carries no hash (0): the decoder hashes what it
  // needs itself.
  int nextStringToken() {
    const std::uint8_t* start = input_ + atIndex_;
    token_.ptr = start;
    token_.value.cacheSlot = -1;
    const int n = jtShortPlainStringLength(start, input_ + length_);
    if (n < 0) return parseString(false);
    // What parseString(false) makes of it, without the call.
    token_.type = JTTokenType::String;
    token_.length = static_cast<std::size_t>(n) + 2;
    token_.value.ptr = start + 1;
    token_.value.length = static_cast<std::size_t>(n);
    token_.value.type = JTValueType::String;
    token_.value.hash = 0;
    atIndex_ += static_cast<std::size_t>(n) + 2;
    return 0;
  }
  // The same for a string jtShortPlainStringLength has turned down.
  int nextLongStringToken() {
    token_.ptr = input_ + atIndex_;
    token_.value.cacheSlot = -1;
    return parseString(false);
  }
  int nextNumberToken() {
    token_.ptr = input_ + atIndex_;
    token_.value = JTTokenValue();
    return parseNumber(false);
  }
  // Makes the number jtScanNumber read into `v` from `start` to `end` the
  // token, as nextNumberToken would have read it (atIndex after it).
  void takeScannedNumber(const std::uint8_t* start, const std::uint8_t* end,
                         const JTTokenValue& v) {
    token_.value = JTTokenValue();
    token_.value.type = v.type;
    token_.value.number = v.number;
    atIndex_ = static_cast<std::size_t>(end - input_);
    finishNumber(start, static_cast<std::size_t>(end - start), false);
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
  int parseNumber(bool hash = true);
  // The full number reader, for whatever the fast one leaves: it names the fault.
  int parseNumberSlow(bool hash);
  void finishNumber(const std::uint8_t* start, std::size_t length, bool hash);
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
