#include "codecs/json_scanner.h"

#include <locale.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/foundation/format.h"
#include "platform/foundation/keyed_hash.h"

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

locale_t cLocale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace

namespace {

// The same for the eight bytes at p, as the high bit of each flagged byte
// (borrows only run upwards, so the lowest flagged byte is exact).
inline std::uint64_t specialMask8(const std::uint8_t* p) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  const std::uint64_t quote = x ^ (kOnes * '"');
  const std::uint64_t backslash = x ^ (kOnes * '\\');
  return (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | (x - kOnes * 0x20) |
          x) &
         kHigh;
}

// The first byte at or after p (before end) that a string cannot copy as it
// is: '"', '\\', a control byte or a byte of 0x80 or more. Sixteen bytes at
// a time while they last.
inline const std::uint8_t* skipPlainStringBytes(const std::uint8_t* p, const std::uint8_t* end) {
#if defined(__SSE2__)
  while (end - p >= 16) {
    const unsigned found = jtSpecialMask16(p);
    if (found != 0) return p + std::countr_zero(found);
    p += 16;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      const std::uint64_t found = specialMask8(p);
      if (found != 0) return p + (std::countr_zero(found) >> 3);
      p += 8;
    }
  }
  while (p < end && kStringClass.v[*p] == 0) ++p;
  return p;
}

// The first byte at or after p (before end) that a string cannot hold as
// it is, bytes of 0x80 or more passed over: '"', '\\' or a control byte.
// Bit 7 of `high` is set when a byte of 0x80 or more was passed over (or
// met in the block that held the stop).
inline const std::uint8_t* skipToStringStop(const std::uint8_t* p, const std::uint8_t* end,
                                            unsigned& high) {
#if defined(__SSE2__)
  __m128i seen = _mm_setzero_si128();
  while (end - p >= 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    seen = _mm_or_si128(seen, x);
    // Controls: below 0x20 as signed bytes, less the bytes of 0x80 or more.
    const __m128i stop = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
        _mm_andnot_si128(_mm_cmplt_epi8(x, _mm_setzero_si128()),
                         _mm_cmplt_epi8(x, _mm_set1_epi8(0x20))));
    const auto found = static_cast<unsigned>(_mm_movemask_epi8(stop));
    if (found != 0) {
      high |= static_cast<unsigned>(_mm_movemask_epi8(seen)) != 0 ? 0x80U : 0U;
      return p + std::countr_zero(found);
    }
    p += 16;
  }
  high |= static_cast<unsigned>(_mm_movemask_epi8(seen)) != 0 ? 0x80U : 0U;
#endif
  while (p < end && (*p >= 0x80 || kStringClass.v[*p] == 0)) high |= *p++;
  return p;
}

// Copies plain bytes from p to out (both move along): one block of them,
// or up to the first byte skipPlainStringBytes would stop at. True when it
// stopped there (or at the end), false after a whole block of plain bytes.
// Whole blocks are stored before they are looked at, so the caller keeps at
// least kCopySlack bytes free behind `out`; at least 16 of them are still
// free on return. `ahead` receives what the block showed of the bytes from
// the new p on: bit k set when byte p + k needs a look (bit 0 then is p's);
// 0 when nothing is known.
constexpr std::size_t kCopySlack = 32;
inline bool copyPlainStringBytes(const std::uint8_t*& p, const std::uint8_t* end, char*& out,
                                 unsigned& ahead) {
  ahead = 0;
#if defined(__SSE2__)
  if (end - p >= 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), x);
    const unsigned found = jtSpecialMask16(p);
    const int n = found != 0 ? std::countr_zero(found) : 16;
    out += n;
    p += n;
    ahead = found >> n;
    return found != 0;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    if (end - p >= 8) {
      std::memcpy(out, p, 8);
      const std::uint64_t found = specialMask8(p);
      const int n = found != 0 ? std::countr_zero(found) >> 3 : 8;
      out += n;
      p += n;
      return found != 0;
    }
  }
  const std::uint8_t* stop = end - p > 16 ? p + 16 : end;
  while (p < stop && kStringClass.v[*p] == 0) *out++ = static_cast<char>(*p++);
  return p < stop || p == end;
}

// The byte a two-character escape stands for ('\\' + this byte), 0 for none;
// 'u' marks the four-digit form.
struct EscapeTable {
  std::uint8_t v[256];
  constexpr EscapeTable() : v() {
    v['b'] = '\b';
    v['f'] = '\f';
    v['n'] = '\n';
    v['r'] = '\r';
    v['t'] = '\t';
    v['\\'] = '\\';
    v['/'] = '/';
    v['"'] = '"';
    v['u'] = 'u';
  }
};
constexpr EscapeTable kEscape;

// Hexadecimal digit values, -1 for other bytes.
struct HexTable {
  std::int8_t v[256];
  constexpr HexTable() : v() {
    for (int i = 0; i < 256; ++i) v[i] = -1;
    for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<std::int8_t>(i);
    for (int i = 0; i < 6; ++i) {
      v['a' + i] = static_cast<std::int8_t>(10 + i);
      v['A' + i] = static_cast<std::int8_t>(10 + i);
    }
  }
};
constexpr HexTable kHex;

// The four hexadecimal digits at q as a number; -1 when one is bad (*bad
// then points at it), -2 when the input ends first.
inline long hex4(const std::uint8_t* q, const std::uint8_t* end, const std::uint8_t** bad) {
  if (end - q < 4) return -2;
  const int a = kHex.v[q[0]], b = kHex.v[q[1]], c = kHex.v[q[2]], d = kHex.v[q[3]];
  if ((a | b | c | d) < 0) {
    *bad = a < 0 ? q : b < 0 ? q + 1 : c < 0 ? q + 2 : q + 3;
    return -1;
  }
  return (static_cast<long>(a) << 12) | (b << 8) | (c << 4) | d;
}

// Writes the UTF-8 form of `cp` (at most U+10FFFF) at out, which has room.
inline char* putUTF8(char* out, std::uint32_t cp) {
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
  return out;
}

inline bool isDigit(std::uint8_t c) { return static_cast<unsigned>(c - '0') < 10; }

// A well-formed two-byte UTF-8 sequence at p (U+0080 to U+07FF, none of
// which is illegal): the common case of non-ASCII text, checked inline.
inline bool isTwoByteSequence(const std::uint8_t* p, const std::uint8_t* end) {
  return p[0] >= 0xC2 && p[0] <= 0xDF && end - p >= 2 && (p[1] & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence of three or four bytes at p
// (a byte of 0xE0 or more) when its code point is certainly legal; 0 for
// anything else, which ConvertSingleCodePointInUTF8 then judges.
inline int longSequenceLength(const std::uint8_t* p, const std::uint8_t* end) {
  const std::uint8_t lead = p[0];
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (end - p < 3) return 0;
    const std::uint8_t lo = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
    const std::uint8_t hi = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    if (p[1] < lo || p[1] > hi || (p[2] & 0xC0) != 0x80) return 0;
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (end - p < 4) return 0;
    const std::uint8_t lo = lead == 0xF0 ? 0x90 : 0x80;  // no overlong forms
    const std::uint8_t hi = lead == 0xF4 ? 0x8F : 0xBF;  // nothing beyond U+10FFFF
    if (p[1] < lo || p[1] > hi || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) return 0;
    return 4;
  }
  return 0;
}

// The high bit of each byte of x (read little-endian) that is not a digit.
// A high nibble other than 3 in either form marks a byte that is not
// '0'..'9' (adding 6 lifts 0x3A..0x3F to 0x40..0x45); digits never carry,
// so the lowest marked byte is exact (the ones above it may not be).
inline std::uint64_t nonDigitBytes(std::uint64_t x) {
  return ((x & 0xF0F0F0F0F0F0F0F0ULL) ^ 0x3030303030303030ULL) |
         (((x + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) ^ 0x3030303030303030ULL);
}

// The first byte at or after p (before end) that is not a digit, looking at
// eight bytes at a time while they last.
inline const std::uint8_t* skipDigits(const std::uint8_t* p, const std::uint8_t* end) {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      std::uint64_t x;
      std::memcpy(&x, p, 8);
      const std::uint64_t notDigit = nonDigitBytes(x);
      if (notDigit != 0) return p + (std::countr_zero(notDigit) >> 3);
      p += 8;
    }
  }
  while (p < end && isDigit(*p)) ++p;
  return p;
}

// The value of the eight digits in x (read little-endian: the first digit
// in the lowest byte).
inline std::uint64_t eightDigitValue(std::uint64_t x) {
  x -= 0x3030303030303030ULL;
  x = (x * 10) + (x >> 8);  // pairs of digits
  return (((x & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
          (((x >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
         32;
}

constexpr std::uint64_t kPowersOf10[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// Reads the digits at p (before end) into *n (n * 10 + digit each, modulo
// 2^64), eight bytes at a time while they last: whole words of digits, then
// the digits that open the word where they end, as one word padded with
// leading zeros. Returns the first byte after them.
inline const std::uint8_t* readDigits(const std::uint8_t* p, const std::uint8_t* end,
                                      std::uint64_t* n) {
  std::uint64_t value = *n;
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      std::uint64_t x;
      std::memcpy(&x, p, 8);
      const std::uint64_t notDigit = nonDigitBytes(x);
      if (notDigit == 0) {
        value = value * 100000000U + eightDigitValue(x);
        p += 8;
        continue;
      }
      const int k = std::countr_zero(notDigit) >> 3;  // 0 to 7 digits
      if (k > 0) {
        x = (x << (8 * (8 - k))) | (0x3030303030303030ULL >> (8 * k));
        value = value * kPowersOf10[k] + eightDigitValue(x);
        p += k;
      }
      *n = value;
      return p;
    }
  }
  for (; p < end && isDigit(*p); ++p) value = value * 10 + (*p - '0');
  *n = value;
  return p;
}

// Well-formed UTF-8, any kind of sequence, one sequence at a time, as the
// string scanner checks it.
bool wellFormedUTF8Slowly(const std::uint8_t* p, const std::uint8_t* end) {
  while (p < end) {
    if (*p < 0x80) {
      ++p;
    } else if (const int common = jtCommonUTF8Sequence(p, end)) {
      p += common;
    } else if (const int n = longSequenceLength(p, end)) {
      p += n;
    } else {
      const JTUTF8Conversion conv = ConvertSingleCodePointInUTF8(p, end);
      if (conv.result != JTUTF8Result::OK) return false;
      p = conv.next;
    }
  }
  return true;
}

#if defined(__SSE2__)
// Checks sixteen bytes of text whose first `carry` bits must be
// continuation bytes (of sequences begun before them): every continuation
// byte is one a lead asks for and the other way round, and there are only
// the common kinds of sequence (two bytes, three with a free second byte).
// `carry` becomes what the block asks of the next one. False for anything
// else, which the exact check then judges.
inline bool commonUTF8Block(__m128i x, unsigned& carry) {
  const auto nonASCII = static_cast<unsigned>(_mm_movemask_epi8(x));
  if (nonASCII == 0) return carry == 0;
  // As signed bytes: continuation 80-BF below -64; leads C2-DF from -62 to
  // -33; leads E1-EF from -31 to -17, less ED (-19).
  const auto cont = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(x, _mm_set1_epi8(-64))));
  const auto lead2 = static_cast<unsigned>(_mm_movemask_epi8(
      _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(-63)), _mm_cmplt_epi8(x, _mm_set1_epi8(-32)))));
  const auto lead3 = static_cast<unsigned>(
      _mm_movemask_epi8(_mm_andnot_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(-19)),
                                         _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(-32)),
                                                       _mm_cmplt_epi8(x, _mm_set1_epi8(-16))))));
  if ((nonASCII & ~(cont | lead2 | lead3)) != 0) return false;
  const unsigned required = carry | ((lead2 | lead3) << 1) | (lead3 << 2);
  if ((required & 0xFFFFU) != cont) return false;
  carry = required >> 16;
  return true;
}
#endif

}  // namespace

std::uint64_t jtHashBytes(const void* bytes, std::size_t length) {
  return platform::keyedHash(std::string_view(static_cast<const char*>(bytes), length));
}

bool jtIsIllegalCodePoint(std::uint32_t cp) {
  if (cp >= 0xD800 && cp <= 0xDFFF) return true;
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

bool jtWellFormedUTF8(const std::uint8_t* p, const std::uint8_t* end) {
#if defined(__SSE2__)
  const std::uint8_t* start = p;
  unsigned carry = 0;
  for (; end - p >= 16; p += 16) {
    if (!commonUTF8Block(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), carry)) {
      return wellFormedUTF8Slowly(start, end);
    }
  }
  if (p < end) {
    // The last bytes, padded with NULs (a sequence cut by the end then
    // meets a NUL where it asks for a continuation byte).
    alignas(16) std::uint8_t last[16] = {};
    std::memcpy(last, p, static_cast<std::size_t>(end - p));
    if (!commonUTF8Block(_mm_load_si128(reinterpret_cast<const __m128i*>(last)), carry)) {
      return wellFormedUTF8Slowly(start, end);
    }
  }
  return carry == 0 || wellFormedUTF8Slowly(start, end);
#else
  return wellFormedUTF8Slowly(p, end);
#endif
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
  {
    // Up to the first quote, backslash or control byte in one scan, text
    // in other scripts included, which is then checked once (sixteen bytes
    // at a time, with no branch per sequence). When it is not well-formed
    // UTF-8, the scan below goes through it again and names the fault (or,
    // by option, mends it).
    unsigned high = 0;
    const std::uint8_t* stop = skipToStringStop(p, end, high);
    if ((high & 0x80U) == 0 || jtWellFormedUTF8(p, stop)) p = stop;
  }
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
    // A byte of 0x80 or more. Text in other scripts is one sequence after
    // another: the run is checked here rather than going back to the block
    // scan, which would stop at the very next byte. (A check of sixteen
    // bytes at a time is slower here: each block waits on the one before,
    // where the sequences of one script are predicted one after the other.)
    do {
      if (const int common = jtCommonUTF8Sequence(p, end)) {
        p += common;
      } else if (const int n = longSequenceLength(p, end)) {
        p += n;
      } else {
        JTUTF8Conversion conv = ConvertSingleCodePointInUTF8(p, end);
        if (conv.result != JTUTF8Result::OK) {
          return parseStringSlow(p, hash);
        }
        p = conv.next;
      }
    } while (p < end && *p >= 0x80);
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
  constexpr std::string_view kIllegal = "Illegal \\u Unicode escape sequence.";
  constexpr std::string_view kSecond =
      "Required a second \\u Unicode escape sequence following a surrogate \\u Unicode escape "
      "sequence.";
  constexpr std::string_view kInvalid = "Invalid string.";
  // The decoded bytes go through a raw cursor into the buffer (whose size is
  // only a capacity here). At the top of each round at least kCopySlack
  // bytes are free behind the cursor: room for one block of plain bytes, and
  // after it (16 still free) for the at most four bytes one escape or UTF-8
  // sequence adds.
  char* out = tokenBuffer_.data();
  char* limit = out + tokenBuffer_.size();
  const std::size_t before = static_cast<std::size_t>(p - start - 1);
  if (static_cast<std::size_t>(limit - out) < before + kCopySlack) {
    growTokenBuffer(out, limit, before + kCopySlack);
  }
  std::memcpy(out, start + 1, before);
  out += before;
  std::string_view failure;
  // The bytes the last block showed beyond the one just handled (see
  // copyPlainStringBytes): bit k stands for byte aheadAt + k. While one is
  // known, the plain bytes before it are copied without looking at them
  // again, so that a run of escapes does not wait on a block scan each.
  unsigned ahead = 0;
  const std::uint8_t* aheadAt = p;
  for (;;) {
    if (static_cast<std::size_t>(limit - out) < kCopySlack) growTokenBuffer(out, limit, kCopySlack);
    if (ahead != 0) {
      const auto passed = static_cast<std::size_t>(p - aheadAt);
      ahead = passed < 16 ? ahead >> passed : 0;
    }
#if defined(__SSE2__)
    if (ahead != 0 && end - p >= 16) {
      const int n = std::countr_zero(ahead);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
      out += n;
      p += n;
      ahead >>= n;
    } else if (!copyPlainStringBytes(p, end, out, ahead)) {
      continue;  // a whole block of plain bytes
    }
#else
    if (!copyPlainStringBytes(p, end, out, ahead)) continue;  // a whole block of plain bytes
#endif
    aheadAt = p;
    if (p >= end) {
      failure = kInvalid;
      break;
    }
    const std::uint8_t c = *p;
    if (c == '\\') {
      if (end - p < 2) {
        failure = kInvalid;
        break;
      }
      const std::uint8_t simple = kEscape.v[p[1]];
      if (simple != 'u') {
        if (simple == 0) {
          failure = "Invalid escape sequence found in \"\" string.";
          break;
        }
        *out++ = static_cast<char>(simple);
        p += 2;
        continue;
      }
      const std::uint8_t* bad = nullptr;
      const long first = hex4(p + 2, end, &bad);
      if (first < 0) {
        if (first == -1) badHexDigit(*bad);
        failure = kInvalid;
        break;
      }
      std::uint32_t cp = static_cast<std::uint32_t>(first);
      p += 6;
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (p >= end || *p != '\\' || end - p < 2 || p[1] != 'u') {
          // Without a second escape: the following character (or the
          // backslash) is read normally.
          if (!lenient) {
            failure = kSecond;
            break;
          }
          out = putUTF8(out, 0xFFFD);
          continue;
        }
        const long second = hex4(p + 2, end, &bad);
        if (second < 0) {
          if (second == -1) badHexDigit(*bad);
          failure = kInvalid;
          break;
        }
        p += 6;
        if (second < 0xDC00 || second > 0xDFFF) {
          if (!lenient) {
            failure = kIllegal;
            break;
          }
          out = putUTF8(out, 0xFFFD);
          continue;
        }
        cp = ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(second) - 0xDC00) + 0x10000;
      } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
        if (!lenient) {
          failure = kIllegal;
          break;
        }
        out = putUTF8(out, 0xFFFD);
        continue;
      }
      if (jtIsIllegalCodePoint(cp)) {
        if (!lenient) {
          failure = kIllegal;
          break;
        }
        cp = 0xFFFD;
      }
      out = putUTF8(out, cp);
      continue;
    }
    if (c == '"') break;
    if (c < 0x20) {
      error(platform::format("Invalid character < 0x20 found in string: 0x%2.2x.", c));
      failure = kInvalid;
      break;
    }
    // A byte of 0x80 or more.
    if (isTwoByteSequence(p, end)) {
      std::memcpy(out, p, 2);
      out += 2;
      p += 2;
      continue;
    }
    if (const int n = longSequenceLength(p, end)) {
      std::memcpy(out, p, 2);  // two overlapping pairs make three or four bytes
      std::memcpy(out + n - 2, p + n - 2, 2);
      out += n;
      p += n;
      continue;
    }
    const JTUTF8Conversion conv = ConvertSingleCodePointInUTF8(p, end);
    if (conv.result == JTUTF8Result::OK) {
      const std::size_t n = static_cast<std::size_t>(conv.next - p);  // at most 4
      std::memcpy(out, p, n);
      out += n;
      p = conv.next;
      continue;
    }
    if (conv.result == JTUTF8Result::SourceExhausted) {
      failure = "End of buffer reached while parsing UTF8 in \"\" string.";
      break;
    }
    if (!lenient) {
      failure = "Illegal UTF8 sequence found in \"\" string.";
      break;
    }
    out = putUTF8(out, 0xFFFD);
    p = conv.next;
  }
  if (!failure.empty()) {
    error(failure);
    error(kInvalid);
    return 1;
  }
  const std::size_t length = static_cast<std::size_t>(out - tokenBuffer_.data());
  token_.type = JTTokenType::String;
  token_.ptr = start;
  token_.length = static_cast<std::size_t>(p + 1 - start);
  token_.value.ptr = reinterpret_cast<const std::uint8_t*>(tokenBuffer_.data());
  token_.value.length = length;
  token_.value.type = JTValueType::String;
  token_.value.hash =
      hash && length <= kJTHashedStringLength ? jtHashBytes(tokenBuffer_.data(), length) : 0;
  atIndex_ = static_cast<std::size_t>(p + 1 - input_);
  return 0;
}

void JTParseState::badHexDigit(std::uint8_t c) {
  error(platform::format(
      "Unexpected character found in \\u Unicode escape sequence.  Found '%c', expected "
      "[0-9a-fA-F].",
      static_cast<int>(c)));
}

// Sets the number token's hash (when asked), value bytes and extent.
void JTParseState::finishNumber(const std::uint8_t* start, std::size_t length, bool hash) {
  JTTokenValue& v = token_.value;
  v.hash = hash ? jtHashNumber(v) : 0;
  v.ptr = reinterpret_cast<const std::uint8_t*>(&v.number);
  v.length = 8;
  token_.type = JTTokenType::Number;
  token_.ptr = start;
  token_.length = length;
}

bool jtScanNumber(const std::uint8_t*& at, const std::uint8_t* end, JTTokenValue& v) {
  // A well-formed number followed by a byte that ends it, an integer of at
  // most 19 digits or a real that converts without range trouble. Anything
  // else is left to the full path, which names the fault.
  const std::uint8_t* start = at;
  const std::uint8_t* p = start;
  const bool negative = *p == '-';
  if (negative) ++p;
  const std::uint8_t* digits = p;
  if (p >= end || !isDigit(*p)) return false;
  // The integer part's value, exact while it has at most 19 digits.
  std::uint64_t n = 0;
  if (*p == '0') {
    ++p;
    // "-0" is a real, and "01" an error: full path.
    if (negative || (p < end && isDigit(*p))) return false;
  } else {
    // More than 19 digits may wrap n: such integers take the full path below.
    p = readDigits(p, end, &n);
  }
  const std::uint8_t* integerEnd = p;
  bool floating = false;
  // All the significant digits as one integer (exact while there are at
  // most 19) and the power of ten it is scaled by.
  std::uint64_t significand = n;
  std::int64_t fractionDigits = 0;
  if (p < end && *p == '.') {
    floating = true;
    ++p;
    const std::uint8_t* fraction = p;
    p = readDigits(p, end, &significand);
    if (p == fraction) return false;
    fractionDigits = p - fraction;
  }
  std::int64_t exponentValue = 0;
  bool exponentSmall = true;
  if (p < end && (*p == 'e' || *p == 'E')) {
    floating = true;
    ++p;
    const bool exponentNegative = p < end && *p == '-';
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const std::uint8_t* exponent = p;
    p = skipDigits(p, end);
    if (p == exponent) return false;
    exponentSmall = p - exponent <= 4;
    for (const std::uint8_t* e = exponent; exponentSmall && e < p; ++e) {
      exponentValue = exponentValue * 10 + (*e - '0');
    }
    if (exponentNegative) exponentValue = -exponentValue;
  }
  if (p >= end) return false;
  if (!floating) {
    if (integerEnd - digits > 19) return false;
    constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
    if (!negative) {
      v.type = JTValueType::UnsignedLongLong;
      v.number.unsignedLongLongValue = n;
    } else if (n <= kMinMagnitude) {
      v.type = JTValueType::LongLong;
      v.number.longLongValue = n == kMinMagnitude ? INT64_MIN : -static_cast<std::int64_t>(n);
    } else {
      return false;
    }
    at = p;
    return true;
  }
  // Exact: a significand of at most 53 bits times or over an exactly
  // representable power of ten is one correctly rounded operation.
  static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const std::int64_t scale = exponentValue - fractionDigits;
  if (exponentSmall && (integerEnd - digits) + fractionDigits <= 19 &&
      significand <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
    double d = static_cast<double>(significand);
    d = scale >= 0 ? d * kPowersOfTen[scale] : d / kPowersOfTen[-scale];
    v.type = JTValueType::Double;
    v.number.doubleValue = negative ? -d : d;
    at = p;
    return true;
  }
  double d = 0;
  const auto r =
      std::from_chars(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(p), d);
  if (r.ec != std::errc() || r.ptr != reinterpret_cast<const char*>(p)) return false;
  v.type = JTValueType::Double;
  v.number.doubleValue = d;
  at = p;
  return true;
}

int JTParseState::parseNumber(bool hash) {
  const std::uint8_t* start = input_ + atIndex_;
  const std::uint8_t* p = start;
  if (!jtScanNumber(p, input_ + length_, token_.value)) return parseNumberSlow(hash);
  atIndex_ = static_cast<std::size_t>(p - input_);
  finishNumber(start, static_cast<std::size_t>(p - start), hash);
  return 0;
}

int JTParseState::parseNumberSlow(bool hash) {
  token_.value = JTTokenValue();
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
  // An integer beyond 64 bits, unless the options refuse it: the nearest
  // double (false when even that is out of range).
  auto readAsDouble = [&] {
    if ((options_ & JTParseFlagIntegerOverflowFails) != 0) return false;
    double d = 0;
    auto r = std::from_chars(first, last, d);
    if (r.ec != std::errc() || r.ptr != last) return false;
    v.type = JTValueType::Double;
    v.number.doubleValue = d;
    finishNumber(start, len, hash);
    return true;
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
    if (r.ec == std::errc::result_out_of_range && readAsDouble()) return 0;
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
    if (r.ec == std::errc::result_out_of_range && readAsDouble()) return 0;
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
  finishNumber(start, len, hash);
  return 0;
}

}  // namespace codecs
