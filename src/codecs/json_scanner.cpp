#include "codecs/json_scanner.h"

#include <locale.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/foundation/format.h"

namespace codecs {

namespace {

constexpr std::size_t kTokenBufferInitial = 2048;
constexpr std::size_t kTokenBufferKeep = 64 * 1024;

// Bytes that end the fast path of a string: controls, quote, backslash and
// every byte of 0x80 or more (validated separately).
struct StringClassTable {
  std::uint8_t v[256];
  constexpr StringClassTable() : v() {
    for (int i = 0; i < 256; ++i) v[i] = (i < 0x20 || i == '"' || i == '\\' || i >= 0x80) ? 1 : 0;
  }
};
constexpr StringClassTable kStringClass;

inline int hexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

locale_t cLocale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace

namespace {

// The first byte at or after p (before end) that a string cannot copy as it
// is: '"', '\\', a control byte or a byte of 0x80 or more. Eight bytes at a
// time while they last.
inline const std::uint8_t* skipPlainStringBytes(const std::uint8_t* p, const std::uint8_t* end) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  while (end - p >= 8) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    const std::uint64_t quote = x ^ (kOnes * '"');
    const std::uint64_t backslash = x ^ (kOnes * '\\');
    const std::uint64_t special =
        ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | (x - kOnes * 0x20) | x;
    const std::uint64_t found = special & kHigh;
    if (found != 0) {
      // Borrows only run upwards, so the lowest flagged byte is exact.
      if constexpr (std::endian::native == std::endian::little) {
        return p + (std::countr_zero(found) >> 3);
      } else {
        break;
      }
    }
    p += 8;
  }
  while (p < end && kStringClass.v[*p] == 0) ++p;
  return p;
}

inline bool isDigit(std::uint8_t c) { return static_cast<unsigned>(c - '0') < 10; }

// A well-formed two-byte UTF-8 sequence at p (U+0080 to U+07FF, none of
// which is illegal): the common case of non-ASCII text, checked inline.
inline bool isTwoByteSequence(const std::uint8_t* p, const std::uint8_t* end) {
  return p[0] >= 0xC2 && p[0] <= 0xDF && end - p >= 2 && (p[1] & 0xC0) == 0x80;
}

// When the eight bytes at p are all digits, their value (into *value).
inline bool eightDigits(const std::uint8_t* p, std::uint64_t* value) {
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  if constexpr (std::endian::native != std::endian::little) return false;
  if (((x & 0xF0F0F0F0F0F0F0F0ULL) |
       (((x + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) >> 4)) != 0x3333333333333333ULL) {
    return false;
  }
  x -= 0x3030303030303030ULL;
  x = (x * 10) + (x >> 8);  // pairs of digits
  x = (((x & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
       (((x >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
      32;
  *value = x;
  return true;
}

}  // namespace

std::uint64_t jtHashBytes(const void* bytes, std::size_t length) {
  auto p = static_cast<const std::uint8_t*>(bytes);
  std::uint64_t h = kJTHashSeed;
  for (std::size_t i = 0; i < length; ++i) h = jtHashStep(h, p[i]);
  return h;
}

bool jtIsIllegalCodePoint(std::uint32_t cp) {
  if (cp >= 0xD800 && cp <= 0xDFFF) return true;
  if (cp >= 0xFDD0 && cp <= 0xFDEF) return true;
  if ((cp & 0xFFFE) == 0xFFFE && cp <= 0x10FFFF) return true;
  return cp > 0x10FFFF;
}

int jtAppendUTF8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
    return 1;
  }
  if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    return 2;
  }
  if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    return 3;
  }
  out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
  out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
  out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
  out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  return 4;
}

JTUTF8Conversion ConvertSingleCodePointInUTF8(const std::uint8_t* start, const std::uint8_t* end) {
  const std::uint8_t lead = *start;
  int length;
  std::uint32_t cp;
  std::uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    // A continuation byte or an impossible lead: skip it and any continuation bytes.
    const std::uint8_t* next = start + 1;
    return {JTUTF8Result::SourceIllegal, next, 0xFFFD};
  }
  const std::uint8_t* p = start + 1;
  for (int i = 1; i < length; ++i, ++p) {
    // The bytes that are present must be well-formed for "exhausted".
    if (p >= end) return {JTUTF8Result::SourceExhausted, end, 0xFFFD};
    const std::uint8_t c = *p;
    const std::uint8_t l = (i == 1) ? lo : 0x80;
    const std::uint8_t h = (i == 1) ? hi : 0xBF;
    if (c < l || c > h) {
      // Resume at the first byte after the lead that is not a continuation
      // byte, no further than the sequence's expected length.
      const std::uint8_t* next = start + 1;
      while (next < start + length && next < end && (*next & 0xC0) == 0x80) ++next;
      return {JTUTF8Result::SourceIllegal, next, 0xFFFD};
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  if (jtIsIllegalCodePoint(cp)) return {JTUTF8Result::SourceIllegal, p, 0xFFFD};
  return {JTUTF8Result::OK, p, cp};
}

JTParseState::JTParseState() { tokenBuffer_.resize(kTokenBufferInitial); }

void JTParseState::begin(const std::uint8_t* input, std::size_t length, std::uint64_t options) {
  input_ = input;
  length_ = length;
  atIndex_ = 0;
  lineNumber_ = 1;
  lineStart_ = 0;
  options_ = options;
  token_ = JTToken();
  error_ = platform::Error();
}

void JTParseState::end() {
  input_ = nullptr;
  length_ = 0;
  atIndex_ = 0;
  token_ = JTToken();
  if (tokenBuffer_.capacity() > kTokenBufferKeep) {
    std::string().swap(tokenBuffer_);
    tokenBuffer_.resize(kTokenBufferInitial);
  }
}

void JTParseState::error(std::string_view message, std::int64_t code) {
  if (!error_.isNone()) return;
  error_ = platform::Error(
      kJTErrorDomain, code,
      platform::Value::dictionary(
          {{platform::kLocalizedDescriptionKey, platform::Value(message)},
           {kJTAtIndexKey, platform::Value(static_cast<std::uint64_t>(atIndex_))},
           {kJTLineNumberKey, platform::Value(static_cast<std::uint64_t>(lineNumber_))}}));
}

bool JTParseState::isNewline(const std::uint8_t* p, std::size_t* width) const {
  const std::uint8_t* end = input_ + length_;
  if (*p == '\n') {
    *width = 1;
    return true;
  }
  if (*p == '\r') {
    *width = (p + 1 < end && p[1] == '\n') ? 2 : 1;
    return true;
  }
  if ((options_ & JTParseFlagUnicodeLineBreaks) != 0) {
    if (*p == 0xC2 && p + 1 < end && p[1] == 0x85) {
      *width = 2;
      return true;
    }
    if (*p == 0xE2 && p + 2 < end && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) {
      *width = 3;
      return true;
    }
  }
  return false;
}

void JTParseState::skipWhitespace() {
  const std::uint8_t* end = input_ + length_;
  const std::uint8_t* p = input_ + atIndex_;
  // Most tokens follow their predecessor directly.
  if (p<end&& * p> ' ' && *p != '/' && *p < 0x80) return;
  const bool comments = (options_ & JTParseFlagComments) != 0;
  while (p < end) {
    const std::uint8_t c = *p;
    if (c == ' ' || c == '\t') {
      ++p;
      continue;
    }
    std::size_t width;
    if (isNewline(p, &width)) {
      p += width;
      ++lineNumber_;
      lineStart_ = static_cast<std::size_t>(p - input_);
      continue;
    }
    if (comments && c == '/' && p + 1 < end) {
      if (p[1] == '/') {
        p += 2;
        while (p < end && !isNewline(p, &width)) ++p;
        continue;  // the line break itself is counted by the loop
      }
      if (p[1] == '*') {
        p += 2;
        while (p < end) {
          if (*p == '*' && p + 1 < end && p[1] == '/') {
            p += 2;
            break;
          }
          if (isNewline(p, &width)) {
            p += width;
            ++lineNumber_;
            lineStart_ = static_cast<std::size_t>(p - input_);
          } else {
            ++p;
          }
        }
        if (p >= end) break;
        continue;
      }
    }
    break;
  }
  atIndex_ = static_cast<std::size_t>(p - input_);
}

int JTParseState::nextToken() {
  skipWhitespace();
  if (atIndex_ >= length_) {
    error(kUnexpectedToken);
    return 1;
  }
  const std::uint8_t* p = input_ + atIndex_;
  token_.ptr = p;
  token_.length = 1;
  token_.value = JTTokenValue();
  auto literal = [&](const char* text, std::size_t n, JTTokenType type) {
    // The literal is recognised only when at least one byte follows it.
    if (atIndex_ + n < length_ && std::memcmp(p, text, n) == 0) {
      token_.type = type;
      token_.length = n;
      atIndex_ += n;
      return 0;
    }
    error(kUnexpectedToken);
    return 1;
  };
  switch (*p) {
    case '{':
      token_.type = JTTokenType::ObjectBegin;
      ++atIndex_;
      return 0;
    case '}':
      token_.type = JTTokenType::ObjectEnd;
      ++atIndex_;
      return 0;
    case '[':
      token_.type = JTTokenType::ArrayBegin;
      ++atIndex_;
      return 0;
    case ']':
      token_.type = JTTokenType::ArrayEnd;
      ++atIndex_;
      return 0;
    case ':':
      token_.type = JTTokenType::Separator;
      ++atIndex_;
      return 0;
    case ',':
      token_.type = JTTokenType::Comma;
      ++atIndex_;
      return 0;
    case '"':
      return parseString();
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return parseNumber();
    case 't':
      return literal("true", 4, JTTokenType::True);
    case 'f':
      return literal("false", 5, JTTokenType::False);
    case 'n':
      return literal("null", 4, JTTokenType::Null);
    default:
      error(kUnexpectedToken);
      return 1;
  }
}

int JTParseState::parseString(bool hash) {
  const std::uint8_t* start = input_ + atIndex_;
  const std::uint8_t* end = input_ + length_;
  const std::uint8_t* p = start + 1;
  for (;;) {
    p = skipPlainStringBytes(p, end);
    if (p >= end) {
      error("Invalid string.");
      return 1;
    }
    const std::uint8_t c = *p;
    if (c == '"') break;
    if (c < 0x20) {
      error(platform::format("Invalid character < 0x20 found in string: 0x%2.2x.", c));
      error("Invalid string.");
      return 1;
    }
    if (c == '\\') {
      return parseStringSlow(p, hash);
    }
    if (isTwoByteSequence(p, end)) {
      p += 2;
      continue;
    }
    JTUTF8Conversion conv = ConvertSingleCodePointInUTF8(p, end);
    if (conv.result != JTUTF8Result::OK) {
      return parseStringSlow(p, hash);
    }
    p = conv.next;
  }
  const std::size_t length = static_cast<std::size_t>(p - start - 1);
  // Hashed in a second pass over bytes still in cache; long strings only
  // when asked (see kJTHashedStringLength).
  const std::uint64_t valueHash =
      hash && length <= kJTHashedStringLength ? jtHashBytes(start + 1, length) : 0;
  token_.type = JTTokenType::String;
  token_.ptr = start;
  token_.length = static_cast<std::size_t>(p + 1 - start);
  token_.value.ptr = start + 1;
  token_.value.length = static_cast<std::size_t>(p - start - 1);
  token_.value.type = JTValueType::String;
  token_.value.hash = valueHash;
  atIndex_ = static_cast<std::size_t>(p + 1 - input_);
  return 0;
}

void JTParseState::growTokenBuffer(char*& out, char*& limit, std::size_t n) {
  const std::size_t used = static_cast<std::size_t>(out - tokenBuffer_.data());
  tokenBuffer_.resize(std::max(tokenBuffer_.size() * 2, used + n + 64));
  out = tokenBuffer_.data() + used;
  limit = tokenBuffer_.data() + tokenBuffer_.size();
}

int JTParseState::parseStringSlow(const std::uint8_t* p, bool hash) {
  const std::uint8_t* start = input_ + atIndex_;
  const std::uint8_t* end = input_ + length_;
  const bool lenient = (options_ & JTParseFlagLenientUnicode) != 0;
  // The decoded bytes go through a raw cursor into the buffer, which is kept
  // at least `room` bytes ahead of it; its size is only a capacity here.
  std::string& buf = tokenBuffer_;
  char* out = buf.data();
  char* limit = out + buf.size();
  auto room = [&](std::size_t n) {
    if (static_cast<std::size_t>(limit - out) < n) growTokenBuffer(out, limit, n);
  };
  auto copy = [&](const std::uint8_t* from, std::size_t n) {
    room(n);
    std::memcpy(out, from, n);
    out += n;
  };
  auto fail = [&](std::string_view message) {
    error(message);
    error("Invalid string.");
    return 1;
  };
  auto emit = [&](std::uint32_t cp) {
    room(4);
    if (cp < 0x80) {
      *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out++ = static_cast<char>(0xC0 | (cp >> 6));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out++ = static_cast<char>(0xE0 | (cp >> 12));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | (cp >> 18));
      *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
  };
  // Reads four hexadecimal digits at q; -1 (with an error) when one is bad,
  // -2 when the input ends first.
  auto hex4 = [&](const std::uint8_t* q) -> long {
    if (end - q < 4) return -2;
    long v = 0;
    for (int i = 0; i < 4; ++i) {
      const int h = hexValue(q[i]);
      if (h < 0) {
        error(platform::format(
            "Unexpected character found in \\u Unicode escape sequence.  Found '%c', expected "
            "[0-9a-fA-F].",
            static_cast<int>(q[i])));
        return -1;
      }
      v = (v << 4) | h;
    }
    return v;
  };
  constexpr std::string_view kIllegal = "Illegal \\u Unicode escape sequence.";
  constexpr std::string_view kSecond =
      "Required a second \\u Unicode escape sequence following a surrogate \\u Unicode escape "
      "sequence.";

  copy(start + 1, static_cast<std::size_t>(p - start - 1));
  while (true) {
    // Copy the run of plain bytes at once.
    const std::uint8_t* run = p;
    p = skipPlainStringBytes(p, end);
    if (p > run) copy(run, static_cast<std::size_t>(p - run));
    if (p >= end) return fail("Invalid string.");
    const std::uint8_t c = *p;
    if (c == '"') break;
    if (c < 0x20) {
      return fail(platform::format("Invalid character < 0x20 found in string: 0x%2.2x.", c));
    }
    if (isTwoByteSequence(p, end)) {
      copy(p, 2);
      p += 2;
      continue;
    }
    if (c >= 0x80) {
      JTUTF8Conversion conv = ConvertSingleCodePointInUTF8(p, end);
      if (conv.result == JTUTF8Result::OK) {
        copy(p, static_cast<std::size_t>(conv.next - p));
        p = conv.next;
        continue;
      }
      if (conv.result == JTUTF8Result::SourceExhausted) {
        return fail("End of buffer reached while parsing UTF8 in \"\" string.");
      }
      if (!lenient) return fail("Illegal UTF8 sequence found in \"\" string.");
      emit(0xFFFD);
      p = conv.next;
      continue;
    }
    // Escape sequence.
    if (p + 1 >= end) return fail("Invalid string.");
    const std::uint8_t e = p[1];
    std::uint8_t simple = 0;
    switch (e) {
      case 'b':
        simple = '\b';
        break;
      case 'f':
        simple = '\f';
        break;
      case 'n':
        simple = '\n';
        break;
      case 'r':
        simple = '\r';
        break;
      case 't':
        simple = '\t';
        break;
      case '\\':
      case '/':
      case '"':
        simple = e;
        break;
      case 'u':
        break;
      default:
        return fail("Invalid escape sequence found in \"\" string.");
    }
    if (e != 'u') {
      room(1);
      *out++ = static_cast<char>(simple);
      p += 2;
      continue;
    }
    const long first = hex4(p + 2);
    if (first == -2) return fail("Invalid string.");
    if (first < 0) return fail("Invalid string.");
    std::uint32_t cp = static_cast<std::uint32_t>(first);
    p += 6;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (p >= end || *p != '\\') {
        if (!lenient) return fail(kSecond);
        emit(0xFFFD);  // the following character is parsed normally
        continue;
      }
      if (p + 1 >= end || p[1] != 'u') {
        if (!lenient) return fail(kSecond);
        emit(0xFFFD);  // resume at the backslash
        continue;
      }
      const long second = hex4(p + 2);
      if (second == -2) return fail("Invalid string.");
      if (second < 0) return fail("Invalid string.");
      p += 6;
      if (second < 0xDC00 || second > 0xDFFF) {
        if (!lenient) return fail(kIllegal);
        emit(0xFFFD);
        continue;
      }
      cp = ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(second) - 0xDC00) + 0x10000;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      if (!lenient) return fail(kIllegal);
      emit(0xFFFD);
      continue;
    }
    if (cp == 0 || jtIsIllegalCodePoint(cp)) {
      if (!lenient) return fail(kIllegal);
      cp = 0xFFFD;
    }
    emit(cp);
  }
  const std::size_t length = static_cast<std::size_t>(out - buf.data());
  token_.type = JTTokenType::String;
  token_.ptr = start;
  token_.length = static_cast<std::size_t>(p + 1 - start);
  token_.value.ptr = reinterpret_cast<const std::uint8_t*>(buf.data());
  token_.value.length = length;
  token_.value.type = JTValueType::String;
  token_.value.hash = hash && length <= kJTHashedStringLength ? jtHashBytes(buf.data(), length) : 0;
  atIndex_ = static_cast<std::size_t>(p + 1 - input_);
  return 0;
}

// Sets the number token's hash, value bytes and extent.
void JTParseState::finishNumber(const std::uint8_t* start, std::size_t length) {
  JTTokenValue& v = token_.value;
  // One multiply-and-fold mix of the value bits and the kind: numbers are
  // never dictionary keys, so their hash only has to spread them over the
  // decoder's cache.
  std::uint64_t bits;
  std::memcpy(&bits, &v.number, 8);
  // Every input bit reaches the low bits (the cache's slot).
  std::uint64_t hash = bits ^ (kJTHashSeed + static_cast<std::uint64_t>(v.type));
  hash = (hash ^ (hash >> 33)) * 0xFF51AFD7ED558CCDULL;
  hash = (hash ^ (hash >> 33)) * 0xC4CEB9FE1A85EC53ULL;
  v.hash = hash ^ (hash >> 33);
  v.ptr = reinterpret_cast<const std::uint8_t*>(&v.number);
  v.length = 8;
  token_.type = JTTokenType::Number;
  token_.ptr = start;
  token_.length = length;
}

int JTParseState::parseNumber() {
  {
    // Fast path: a well-formed number followed by a byte that ends it, an
    // integer of at most 19 digits or a real that converts without range
    // trouble. Anything else takes the full path, which names the fault.
    const std::uint8_t* start = input_ + atIndex_;
    const std::uint8_t* end = input_ + length_;
    const std::uint8_t* p = start;
    const bool negative = *p == '-';
    if (negative) ++p;
    const std::uint8_t* digits = p;
    bool wellFormed = p < end;
    // The integer part's value, exact while it has at most 19 digits.
    std::uint64_t n = 0;
    if (wellFormed && *p == '0') {
      ++p;
      wellFormed = !(p < end && isDigit(*p)) && !negative;  // "-0" is a real: full path
    } else if (wellFormed && *p >= '1' && *p <= '9') {
      std::uint64_t eight;
      while (end - p >= 8 && p - digits <= 19 && eightDigits(p, &eight)) {
        n = n * 100000000U + eight;
        p += 8;
      }
      for (; p < end && isDigit(*p); ++p) n = n * 10 + (*p - '0');
    } else {
      wellFormed = false;
    }
    const std::uint8_t* integerEnd = p;
    bool floating = false;
    if (wellFormed && p < end && *p == '.') {
      floating = true;
      ++p;
      wellFormed = p < end && isDigit(*p);
      while (p < end && isDigit(*p)) ++p;
    }
    if (wellFormed && p < end && (*p == 'e' || *p == 'E')) {
      floating = true;
      ++p;
      if (p < end && (*p == '+' || *p == '-')) ++p;
      wellFormed = p < end && isDigit(*p);
      while (p < end && isDigit(*p)) ++p;
    }
    wellFormed = wellFormed && p < end;
    JTTokenValue& v = token_.value;
    if (wellFormed && !floating && integerEnd - digits <= 19) {
      constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
      if (!negative) {
        v.type = JTValueType::UnsignedLongLong;
        v.number.unsignedLongLongValue = n;
      } else if (n <= kMinMagnitude) {
        v.type = JTValueType::LongLong;
        v.number.longLongValue = n == kMinMagnitude ? INT64_MIN : -static_cast<std::int64_t>(n);
      } else {
        wellFormed = false;
      }
    } else if (wellFormed && floating) {
      double d = 0;
      const auto r = std::from_chars(reinterpret_cast<const char*>(start),
                                     reinterpret_cast<const char*>(p), d);
      if (r.ec == std::errc() && r.ptr == reinterpret_cast<const char*>(p)) {
        v.type = JTValueType::Double;
        v.number.doubleValue = d;
      } else {
        wellFormed = false;
      }
    } else {
      wellFormed = false;
    }
    if (wellFormed) {
      atIndex_ = static_cast<std::size_t>(p - input_);
      finishNumber(start, static_cast<std::size_t>(p - start));
      return 0;
    }
    v = JTTokenValue();
  }
  enum State {
    Start,
    AfterMinus,
    LeadingZero,
    IntDigits,
    FracStart,
    FracDigits,
    ExpStart,
    ExpSign,
    ExpDigits
  };
  const std::uint8_t* start = input_ + atIndex_;
  const std::uint8_t* end = input_ + length_;
  const std::uint8_t* p = start;
  State state = Start;
  bool negative = false, floating = false, finished = false, failed = false;
  while (p < end && !finished && !failed) {
    const std::uint8_t c = *p;
    const bool digit = c >= '0' && c <= '9';
    switch (state) {
      case Start:
        if (c == '-') {
          negative = true;
          state = AfterMinus;
          break;
        }
        [[fallthrough]];
      case AfterMinus:
        if (c == '0') {
          state = LeadingZero;
        } else if (c >= '1' && c <= '9') {
          state = IntDigits;
        } else {
          failed = true;
          continue;
        }
        break;
      case LeadingZero:
      case IntDigits:
        if (c == '.') {
          floating = true;
          state = FracStart;
        } else if (c == 'e' || c == 'E') {
          floating = true;
          state = ExpStart;
        } else if (digit && state == IntDigits) {
          // same state
        } else {
          finished = true;
          continue;
        }
        break;
      case FracStart:
        if (digit) {
          state = FracDigits;
        } else {
          failed = true;
          continue;
        }
        break;
      case FracDigits:
        if (c == 'e' || c == 'E') {
          state = ExpStart;
        } else if (!digit) {
          finished = true;
          continue;
        }
        break;
      case ExpStart:
        if (c == '+' || c == '-') {
          state = ExpSign;
        } else if (digit) {
          state = ExpDigits;
        } else {
          failed = true;
          continue;
        }
        break;
      case ExpSign:
        if (digit) {
          state = ExpDigits;
        } else {
          failed = true;
          continue;
        }
        break;
      case ExpDigits:
        if (!digit) {
          finished = true;
          continue;
        }
        break;
    }
    ++p;
  }
  atIndex_ = static_cast<std::size_t>(p - input_);
  if (!finished) {
    error("Invalid number.");
    return 1;
  }
  const char* first = reinterpret_cast<const char*>(start);
  const char* last = reinterpret_cast<const char*>(p);
  const std::size_t len = static_cast<std::size_t>(last - first);
  JTTokenValue& v = token_.value;
  auto text = [&] { return std::string(first, len); };
  auto fail = [&](std::string_view message) {
    error(message);
    error("Invalid number.");
    return 1;
  };
  if (floating || (len == 2 && first[0] == '-' && first[1] == '0')) {
    double d = 0;
    auto r = std::from_chars(first, last, d);
    if (r.ec == std::errc::result_out_of_range) {
      // Tell overflow from underflow the way the C library reports them.
      const double clamped = strtod_l(text().c_str(), nullptr, cLocale());
      return fail(
          platform::format("The value '%s' could not be represented as a 'double' due to %s.",
                           text(), clamped == 0.0 ? "underflow" : "overflow"));
    }
    if (r.ec != std::errc()) return fail("Invalid number.");
    if (r.ptr != last) {
      return fail("The conversion function did not consume all of the number tokens characters.");
    }
    v.type = JTValueType::Double;
    v.number.doubleValue = d;
  } else if (negative) {
    std::int64_t n = 0;
    auto r = std::from_chars(first, last, n);
    if (r.ec == std::errc::result_out_of_range) {
      return fail(platform::format(
          "The value '%s' exceeded the minimum value that could be represented: %lld.", text(),
          static_cast<std::int64_t>(INT64_MIN)));
    }
    if (r.ec != std::errc()) return fail("Invalid number.");
    if (r.ptr != last) {
      return fail("The conversion function did not consume all of the number tokens characters.");
    }
    v.type = JTValueType::LongLong;
    v.number.longLongValue = n;
  } else {
    std::uint64_t n = 0;
    auto r = std::from_chars(first, last, n);
    if (r.ec == std::errc::result_out_of_range) {
      return fail(platform::format(
          "The value '%s' exceeded the maximum value that could be represented: %llu.", text(),
          static_cast<std::uint64_t>(UINT64_MAX)));
    }
    if (r.ec != std::errc()) return fail("Invalid number.");
    if (r.ptr != last) {
      return fail("The conversion function did not consume all of the number tokens characters.");
    }
    v.type = JTValueType::UnsignedLongLong;
    v.number.unsignedLongLongValue = n;
  }
  finishNumber(start, len);
  return 0;
}

}  // namespace codecs
