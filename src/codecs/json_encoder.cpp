#include "codecs/json_encoder.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <typeinfo>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codecs/json_collections.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/value_collections.h"

namespace codecs {

using platform::Error;
using platform::Exception;
using platform::Value;
using platform::ValueKind;

namespace {

const char* className(const Value& v) {
  switch (v.kind()) {
    case ValueKind::None:
      return "none";
    case ValueKind::Null:
      return "null";
    case ValueKind::Bool:
    case ValueKind::Int:
    case ValueKind::UInt:
    case ValueKind::Real:
      return "number";
    case ValueKind::String:
      return "string";
    case ValueKind::Data:
      return "data";
    case ValueKind::Date:
      return "date";
    case ValueKind::Array:
      return "array";
    case ValueKind::Dictionary:
      return "dictionary";
  }
  return "value";
}

constexpr const char* kNotUTF8 = "An error occurred converting the contents of a string to UTF8.";

// 0: copy the byte; otherwise the byte needs an escape.
struct EscapeTable {
  std::uint8_t v[256];
  constexpr EscapeTable() : v() {
    for (int i = 0; i < 0x20; ++i) v[i] = 1;
    v['"'] = 1;
    v['\\'] = 1;
    v['/'] = 2;  // only with JTSerializeOptionEscapeSlash
    for (int i = 0x80; i < 256; ++i) v[i] = 3;
  }
};
constexpr EscapeTable kEscape;

// The same with the bytes of 0x80 or more as plain bytes.
struct EscapeHighPlainTable {
  std::uint8_t v[256];
  constexpr EscapeHighPlainTable() : v() {
    for (int i = 0; i < 256; ++i) v[i] = i < 0x80 ? EscapeTable().v[i] : 0;
  }
};
constexpr EscapeHighPlainTable kEscapeHighPlain;

// Bit 7 of each byte of x (eight bytes of a string, loaded in little-endian
// order) that needs a look: '"', '\\', a control byte, '/' when `slash`,
// and a byte of 0x80 or more unless `highIsPlain` (borrows only run
// upwards, so the lowest flagged byte is exact).
inline std::uint64_t specialMask8(std::uint64_t x, bool slash, bool highIsPlain) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  auto equal = [&](char c) {
    const std::uint64_t y = x ^ (kOnes * static_cast<std::uint8_t>(c));
    return (y - kOnes) & ~y;
  };
  // Below 0x20: borrows from a byte that is not itself 0x80 or more.
  std::uint64_t found = equal('"') | equal('\\') | ((x - kOnes * 0x20) & ~x);
  if (!highIsPlain) found |= x;
  if (slash) found |= equal('/');
  return found & kHigh;
}

// Well-formed UTF-8 (noncharacters allowed, surrogates not). Returns the
// sequence length, or 0 when the bytes at p are not a sequence.
int utf8Sequence(const std::uint8_t* p, const std::uint8_t* end, std::uint32_t* cp) {
  const std::uint8_t lead = *p;
  int length;
  std::uint32_t c;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (end - p < length) return 0;
  for (int i = 1; i < length; ++i) {
    const std::uint8_t b = p[i];
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  *cp = c;
  return length;
}

constexpr std::size_t kCacheSize = 1024;

inline std::uint64_t byteSwap(std::uint64_t x) {
  x = ((x & 0x00FF00FF00FF00FFULL) << 8) | ((x >> 8) & 0x00FF00FF00FF00FFULL);
  x = ((x & 0x0000FFFF0000FFFFULL) << 16) | ((x >> 16) & 0x0000FFFF0000FFFFULL);
  return (x << 32) | (x >> 32);
}

// Copies n bytes with a few fixed-size moves for the short pieces the
// encoder writes most (numbers, keys, punctuation), not a library call.
inline void copyBytes(char* to, const char* from, std::size_t n) {
  if (n >= 8 && n <= 16) {
    std::uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else if (n >= 4 && n < 8) {
    std::uint32_t a, b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + n - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + n - 4, &b, 4);
  } else if (n < 4) {
    if (n > 0) to[0] = from[0];
    if (n > 1) to[1] = from[1];
    if (n > 2) to[2] = from[2];
  } else {
    std::memcpy(to, from, n);
  }
}

// The encoder's output: a growable byte buffer whose appends are inline (a
// string's append is a call and a length check per piece, a large share of
// the cost of writing many small values).
//
// Up to kSmallOutput bytes it is one block that doubles; beyond that it is
// a chain of blocks of at most kLargestBlock bytes that never move, and the
// result is assembled once at the end. So a large output is copied once,
// not once per doubling, its blocks are of sizes the allocator recycles
// (it hands the largest blocks back to the system as soon as they are
// freed, so that every serialisation would fault in fresh pages), and the
// result is exactly as large as the text.
class OutputBuffer {
 public:
  OutputBuffer() = default;
  ~OutputBuffer() { release(); }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  // Bytes written so far, over all blocks.
  std::size_t size() const { return earlier_ + size_; }
  std::size_t capacity() const { return earlier_ + capacity_; }
  // Whether the bytes from `offset` on all lie in the current block (a
  // piece that began before a block was closed was split between two).
  bool inCurrentBlock(std::size_t offset) const { return offset >= earlier_; }
  // Empties the buffer; a small block stays for the next serialisation.
  void clear() {
    for (const Block& b : closed_) std::free(b.bytes);
    closed_.clear();
    if (earlier_ != 0) {
      std::free(data_);
      data_ = nullptr;
      capacity_ = 0;
    }
    earlier_ = 0;
    size_ = 0;
  }
  // Gives the memory back.
  void release() {
    clear();
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
  }
  // Calls fn(bytes, length) for each block in order.
  template <class Fn>
  void forEachBlock(Fn&& fn) const {
    for (const Block& b : closed_) fn(b.bytes, b.size);
    if (size_ != 0) fn(data_, size_);
  }
  void reserve(std::size_t n) {
    if (n > capacity_ - size_) grow(n);
  }
  void push_back(char c) {
    if (size_ == capacity_) grow(1);
    data_[size_++] = c;
  }
  void append(const char* p, std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    copyBytes(data_ + size_, p, n);
    size_ += n;
  }
  void append(const char* text) { append(text, std::strlen(text)); }
  // Room for `n` more bytes at the end: write them there, then commit()
  // the end of what was written (at most `n` bytes on).
  char* tail(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  void commit(const char* end) { size_ = static_cast<std::size_t>(end - data_); }
  // Appends a copy of `n` bytes already written at `offset`, which lie in
  // one block. Returns the offset of the copy.
  std::size_t appendWritten(std::size_t offset, std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    const char* from;
    if (offset >= earlier_) {
      from = data_ + (offset - earlier_);
    } else {
      std::size_t blockStart = earlier_;
      auto b = closed_.end();
      do {
        --b;
        blockStart -= b->size;
      } while (offset < blockStart);
      from = b->bytes + (offset - blockStart);
    }
    const std::size_t at = size();
    copyBytes(data_ + size_, from, n);
    size_ += n;
    return at;
  }

 private:
  static constexpr std::size_t kSmallOutput = 64 * 1024;
  static constexpr std::size_t kLargestBlock = 1024 * 1024;
  struct Block {
    char* bytes;
    std::size_t size;
  };
  // Makes room for `n` more bytes.
  void grow(std::size_t n) {
    if (earlier_ == 0 && size_ + n <= kSmallOutput) {
      const std::size_t capacity = std::max({size_ + n, capacity_ * 2, std::size_t{256}});
      char* p = static_cast<char*>(std::realloc(data_, std::min(capacity, kSmallOutput)));
      if (p == nullptr) throw std::bad_alloc();
      data_ = p;
      capacity_ = std::min(capacity, kSmallOutput);
      return;
    }
    // Close the current block and start one that will not move.
    const std::size_t capacity =
        std::max(n, std::min(std::max(capacity_, kSmallOutput) * 2, kLargestBlock));
    char* p = static_cast<char*>(std::malloc(capacity));
    if (p == nullptr) throw std::bad_alloc();
    if (size_ != 0) {
      closed_.push_back({data_, size_});
    } else {
      std::free(data_);
    }
    earlier_ += size_;
    data_ = p;
    size_ = 0;
    capacity_ = capacity;
  }
  std::vector<Block> closed_;  // full blocks, in order
  std::size_t earlier_ = 0;    // bytes in closed_
  char* data_ = nullptr;       // the current block
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// 128-bit unsigned arithmetic, as much as formatReal17 needs.
struct Wide {
  std::uint64_t hi, lo;
};

Wide multiply(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t aLo = a & 0xFFFFFFFFU, aHi = a >> 32, bLo = b & 0xFFFFFFFFU, bHi = b >> 32;
  const std::uint64_t ll = aLo * bLo, lh = aLo * bHi, hl = aHi * bLo, hh = aHi * bHi;
  const std::uint64_t middle = (ll >> 32) + (lh & 0xFFFFFFFFU) + (hl & 0xFFFFFFFFU);
  return {hh + (lh >> 32) + (hl >> 32) + (middle >> 32), (middle << 32) | (ll & 0xFFFFFFFFU)};
}

// x / 2^right rounded half to even, for 0 <= right <= 127; `fits` is false
// when the quotient needs more than 64 bits.
std::uint64_t shiftRounded(Wide x, int right, bool* fits) {
  if (right == 0) {
    *fits = x.hi == 0;
    return x.lo;
  }
  Wide q, rest, half;
  if (right < 64) {
    q = {x.hi >> right, (x.lo >> right) | (x.hi << (64 - right))};
    rest = {0, x.lo & ((std::uint64_t{1} << right) - 1)};
    half = {0, std::uint64_t{1} << (right - 1)};
  } else {
    q = {0, x.hi >> (right - 64)};
    rest = {right == 64 ? 0 : x.hi & ((std::uint64_t{1} << (right - 64)) - 1), x.lo};
    half =
        right == 64 ? Wide{0, std::uint64_t{1} << 63} : Wide{std::uint64_t{1} << (right - 65), 0};
  }
  const bool above = rest.hi != half.hi ? rest.hi > half.hi : rest.lo > half.lo;
  const bool equal = rest.hi == half.hi && rest.lo == half.lo;
  if (above || (equal && (q.lo & 1) != 0)) {
    if (++q.lo == 0) ++q.hi;
  }
  *fits = q.hi == 0;
  return q.lo;
}

// "00" to "99", for writing two digits at a time.
struct DigitPairs {
  char v[200];
  constexpr DigitPairs() : v() {
    for (int i = 0; i < 100; ++i) {
      v[2 * i] = static_cast<char>('0' + i / 10);
      v[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr DigitPairs kDigitPairs;

// Writes `n` (below 10^17, at least 10^16) as exactly 17 digits.
void write17Digits(std::uint64_t n, char* out) {
  // 10^16 <= n < 10^17: one leading digit, then eight pairs.
  const std::uint64_t high = n / 100000000;                                      // 9 digits
  auto low = static_cast<std::uint32_t>(n - high * 100000000);                   // 8 digits
  auto top = static_cast<std::uint32_t>(high / 100000000);                       // 1 digit
  auto mid = static_cast<std::uint32_t>(high - std::uint64_t{top} * 100000000);  // 8 digits
  out[0] = static_cast<char>('0' + top);
  for (int i = 7; i >= 1; i -= 2) {
    const std::uint32_t pair = mid % 100;
    mid /= 100;
    std::memcpy(out + i, kDigitPairs.v + 2 * pair, 2);
  }
  for (int i = 15; i >= 9; i -= 2) {
    const std::uint32_t pair = low % 100;
    low /= 100;
    std::memcpy(out + i, kDigitPairs.v + 2 * pair, 2);
  }
}

// A real as 17 significant digits in printf's "%.17g" form, for magnitudes
// from 1e-3 up to 2^53 (always fixed notation there): the digits are the
// exact value scaled by a power of ten and rounded half to even. Returns
// the end of the text, or null when the real is outside that range (the
// caller then uses the general conversion).
char* formatReal17(double d, char* out) {
  const double magnitude = std::fabs(d);
  if (!(magnitude >= 1e-3 && magnitude < 9007199254740992.0)) return nullptr;
  int binaryExponent = 0;
  const double fraction = std::frexp(magnitude, &binaryExponent);  // in [0.5, 1)
  const auto significand = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  const int right = 53 - binaryExponent;  // magnitude = significand / 2^right, right >= 0
  static constexpr std::uint64_t kPowers[] = {1ULL,
                                              10ULL,
                                              100ULL,
                                              1000ULL,
                                              10000ULL,
                                              100000ULL,
                                              1000000ULL,
                                              10000000ULL,
                                              100000000ULL,
                                              1000000000ULL,
                                              10000000000ULL,
                                              100000000000ULL,
                                              1000000000000ULL,
                                              10000000000000ULL,
                                              100000000000000ULL,
                                              1000000000000000ULL,
                                              10000000000000000ULL,
                                              100000000000000000ULL,
                                              1000000000000000000ULL,
                                              10000000000000000000ULL};
  // The decimal exponent: a guess, corrected by the digit count it gives.
  // magnitude is in [2^(e-1), 2^e): its decimal exponent is floor((e-1) *
  // log10(2)) or one more.
  int exponent10 = ((binaryExponent - 1) * 78913) >> 18;
  std::uint64_t digits = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int scale = 16 - exponent10;
    if (scale < 0 || scale > 19 || right > 127) return nullptr;
    bool fits = false;
    const std::uint64_t n = shiftRounded(multiply(significand, kPowers[scale]), right, &fits);
    if (!fits || n >= kPowers[17]) {
      // One digit too many. A rounding up to the next power of ten gives
      // 10^17 exactly, and then only the exponent grows.
      if (fits && n == kPowers[17]) {
        digits = kPowers[16];
        ++exponent10;
        break;
      }
      ++exponent10;
      continue;
    }
    if (n < kPowers[16]) {
      --exponent10;
      continue;
    }
    digits = n;
    break;
  }
  if (digits == 0 || exponent10 < -4 || exponent10 >= 17) return nullptr;
  char text[17];
  write17Digits(digits, text);
  int last = 16;  // the last digit kept: trailing zeros of the fraction go
  const int integerDigits = exponent10 + 1;
  while (last >= integerDigits && last > 0 && text[last] == '0') --last;
  char* p = out;
  if (d < 0) *p++ = '-';
  if (exponent10 >= 0) {
    for (int i = 0; i < integerDigits; ++i) *p++ = text[i];
    if (last >= integerDigits) {
      *p++ = '.';
      for (int i = integerDigits; i <= last; ++i) *p++ = text[i];
    }
  } else {
    *p++ = '0';
    *p++ = '.';
    for (int i = 0; i < -exponent10 - 1; ++i) *p++ = '0';
    for (int i = 0; i <= last; ++i) *p++ = text[i];
  }
  return p;
}

}  // namespace

struct JTSerializer::State {
  // A slot counts only when its `run` is this serialisation's: a State is
  // reused by the thread's next serialisation without clearing the cache.
  struct CacheSlot {
    const platform::ValueNode* object = nullptr;
    std::uint64_t run = 0;
    std::size_t offset = 0;
    std::size_t length = 0;
  };

  OutputBuffer out;
  CacheSlot cache[kCacheSize];
  std::uint64_t run = 0;
  std::uint64_t options = 0;
  bool pretty = false;  // options has JTSerializeOptionPretty
  std::uint64_t encodeOption = 0;
  std::size_t depth = 0;    // pretty-printing depth
  std::size_t nesting = 0;  // arrays and objects open
  Error error;
  const JTUnsupportedFormatter* formatter = nullptr;
  std::vector<Value> keepAlive;  // formatter results, so their addresses stay unique
  // The entries of the decoded dictionaries being pretty-printed, in key
  // order: each open dictionary owns the range from where it started.
  struct SortedEntry {
    std::string_view key;
    const JTDictionary::Entry* entry;
    // The key's first eight bytes as a big-endian number, zero-padded: when
    // two keys' prefixes differ, they are ordered as the keys are (a key
    // that ends inside the prefix is a prefix of the other, or compares
    // below it at its first padding byte); when they are equal, the keys
    // are compared in full.
    std::uint64_t prefix;
    friend bool operator<(const SortedEntry& x, const SortedEntry& y) {
      if (x.prefix != y.prefix) return x.prefix < y.prefix;
      return x.key < y.key;
    }
  };
  std::vector<SortedEntry> sortedEntries;
  // Key orders of decoded dictionaries met in this serialisation (`run`):
  // for a table of `capacity` slots holding `count` keys, the slot of each
  // key in key order and the key object found there.
  static constexpr std::size_t kKeyOrderKeys = 16;
  struct KeyOrder {
    std::uint64_t run = 0;
    std::size_t capacity = 0;
    std::uint32_t count = 0;
    std::uint8_t slot[kKeyOrderKeys];
    const platform::ValueNode* key[kKeyOrderKeys];
  };
  KeyOrder keyOrders[16];
  static std::size_t keyOrderSlot(const platform::ValueNode* firstKey, std::size_t count) {
    const auto a = reinterpret_cast<std::uintptr_t>(firstKey);
    return ((a >> 4) ^ (a >> 12) ^ count) & 15;
  }

  void fail(std::string_view message, std::int64_t code = kJTErrorCodeInvalid) {
    if (!error.isNone()) return;
    error = Error(kJTErrorDomain, code,
                  Value::dictionary({{platform::kLocalizedDescriptionKey, Value(message)}}));
  }

  static std::size_t slotFor(const void* p) {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    return (((a >> 9) ^ (a >> 21)) + (a >> 4)) & (kCacheSize - 1);
  }

  // Writes `before` (unless 0), a line break, the indentation of `depth`
  // and `after` (unless 0) through one reservation; the blanks go sixteen
  // at a time (the reservation leaves room for the last run's overshoot).
  void lineBreak(char before, char after) {
    static constexpr char kBlanks[17] = "                ";
    const std::size_t n = depth * 2;
    char* at = out.tail(n + 3 + 16);
    if (before != 0) *at++ = before;
    *at++ = '\n';
    for (std::size_t i = 0; i < n; i += 16) std::memcpy(at + i, kBlanks, 16);
    at += n;
    if (after != 0) *at++ = after;
    out.commit(at);
  }

  // The structural characters, with the line breaks and indentation of
  // the pretty form around them.
  void open(char c) {
    if (!pretty) {
      out.push_back(c);
      return;
    }
    ++depth;
    lineBreak(c, 0);
  }
  void close(char c) {
    if (!pretty) {
      out.push_back(c);
      return;
    }
    --depth;
    lineBreak(0, c);
  }
  void comma() {
    if (!pretty) {
      out.push_back(',');
      return;
    }
    lineBreak(',', 0);
  }
  void colon() {
    if (!pretty) {
      out.push_back(':');
      return;
    }
    char* at = out.tail(2);
    at[0] = ':';
    at[1] = ' ';
    out.commit(at + 2);
  }

  // Writes `s` quoted (unless trimmed) and escaped. Plain bytes are copied
  // while they are scanned, sixteen (or eight) at a time: whole blocks are
  // stored before they are looked at, into room reserved for the text as it
  // stands and a block's overshoot; an escape, which makes more bytes than
  // it reads, first makes sure of room for the rest again.
  bool encodeString(std::string_view s) {
    const bool quotes = (encodeOption & JTEncodeOptionStringObjTrimQuotes) == 0;
    const bool escapeSlash = (options & JTSerializeOptionEscapeSlash) != 0;
    const bool escapeNonASCII = (options & JTSerializeOptionEscapeNonASCII) != 0;
    // Unless they are escaped, bytes of 0x80 or more are copied like plain
    // ASCII, and the text is checked to be well-formed UTF-8 once, at the
    // end, when any was met.
    const bool highIsPlain = !escapeNonASCII;
    std::uint64_t high = 0;  // bit 7 of a byte: a byte of 0x80 or more was met
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    const auto* end = p + s.size();
    constexpr std::size_t kSlack = 32;
    char* at = out.tail(s.size() + kSlack);
    char* limit = at + s.size() + kSlack;
    // Room for what is left of the input as it stands and `extra` bytes.
    auto room = [&](std::size_t extra) {
      const std::size_t need = static_cast<std::size_t>(end - p) + kSlack + extra;
      if (static_cast<std::size_t>(limit - at) < need) {
        out.commit(at);
        at = out.tail(need);
        limit = at + need;
      }
    };
    if (quotes) *at++ = '"';
    // A short string that needs no escape (most keys and values) in one
    // look: two overlapping words cover it.
    if (s.size() >= 4 && s.size() < 16) {
      const std::size_t n = s.size();
      std::uint64_t first, last;
      if (n >= 8) {
        std::memcpy(&first, p, 8);
        std::memcpy(&last, p + n - 8, 8);
      } else {
        // Four bytes each, padded with letters (which need no look).
        constexpr std::uint64_t kLetters = 0x6161616100000000ULL;
        std::uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        first = a | kLetters;
        last = b | kLetters;
      }
      if ((specialMask8(first, escapeSlash, highIsPlain) |
           specialMask8(last, escapeSlash, highIsPlain)) == 0) {
        if (((first | last) & 0x8080808080808080ULL) != 0 && !jtWellFormedUTF8(p, end)) {
          fail(kNotUTF8);
          return false;
        }
        copyBytes(at, s.data(), n);
        at += n;
        if (quotes) *at++ = '"';
        out.commit(at);
        return true;
      }
    }
    for (;;) {
#if defined(__SSE2__)
      {
        // Control characters (below 0x20 as signed bytes, which takes in
        // the bytes from 0x80 too, unless they are plain), '"', '\\', and
        // '/' when it is escaped.
        const __m128i space = _mm_set1_epi8(0x20);
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i slash = escapeSlash ? _mm_set1_epi8('/') : quote;
        const __m128i plainHigh = highIsPlain ? _mm_set1_epi8(-1) : _mm_setzero_si128();
        __m128i seen = _mm_setzero_si128();
        while (end - p >= 16) {
          const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
          _mm_storeu_si128(reinterpret_cast<__m128i*>(at), v);
          seen = _mm_or_si128(seen, v);
          const __m128i controls =
              _mm_andnot_si128(_mm_and_si128(plainHigh, _mm_cmplt_epi8(v, _mm_setzero_si128())),
                               _mm_cmplt_epi8(v, space));
          const __m128i hit =
              _mm_or_si128(_mm_or_si128(controls, _mm_cmpeq_epi8(v, quote)),
                           _mm_or_si128(_mm_cmpeq_epi8(v, backslash), _mm_cmpeq_epi8(v, slash)));
          const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
          if (mask == 0) {
            p += 16;
            at += 16;
            continue;
          }
          const int first = std::countr_zero(mask);
          p += first;
          at += first;
          high |= static_cast<std::uint64_t>(_mm_movemask_epi8(seen)) != 0 ? 0x80 : 0;
          goto special;
        }
        high |= static_cast<std::uint64_t>(_mm_movemask_epi8(seen)) != 0 ? 0x80 : 0;
      }
#endif
      if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
          std::uint64_t x;
          std::memcpy(&x, p, 8);
          std::memcpy(at, &x, 8);
          high |= x;
          const std::uint64_t found = specialMask8(x, escapeSlash, highIsPlain);
          if (found != 0) {
            const int n = std::countr_zero(found) >> 3;
            p += n;
            at += n;
            goto special;
          }
          p += 8;
          at += 8;
        }
      }
      {
        const std::uint8_t* table = highIsPlain ? kEscapeHighPlain.v : kEscape.v;
        while (p < end && table[*p] == 0) {
          high |= *p;
          *at++ = static_cast<char>(*p++);
        }
      }
      if (p >= end) break;
    special : {
      const std::uint8_t c = *p;
      const std::uint8_t escape = kEscape.v[c];
      if (escape == 2 && !escapeSlash) {
        *at++ = '/';
        ++p;
        continue;
      }
      room(12);
      switch (escape) {
        case 1: {
          // Two bytes for the usual ones, "\u%4.4x" for the other controls.
          static constexpr char kHex[] = "0123456789abcdef";
          char second = 0;
          switch (c) {
            case '\b':
              second = 'b';
              break;
            case '\t':
              second = 't';
              break;
            case '\n':
              second = 'n';
              break;
            case '\f':
              second = 'f';
              break;
            case '\r':
              second = 'r';
              break;
            case '"':
              second = '"';
              break;
            case '\\':
              second = '\\';
              break;
            default:
              break;
          }
          *at++ = '\\';
          if (second != 0) {
            *at++ = second;
          } else {
            std::memcpy(at, "u00", 3);
            at[3] = kHex[c >> 4];
            at[4] = kHex[c & 15];
            at += 5;
          }
          ++p;
          break;
        }
        case 2:
          *at++ = '\\';
          *at++ = '/';
          ++p;
          break;
        default: {
          std::uint32_t cp = 0;
          const int n = utf8Sequence(p, end, &cp);
          if (n == 0) {
            fail(escapeNonASCII ? "Error converting UTF8." : kNotUTF8);
            return false;
          }
          if (!escapeNonASCII) {
            std::memcpy(at, p, static_cast<std::size_t>(n));
            at += n;
          } else {
            char buf[16];
            int written;
            if (cp <= 0xFFFF) {
              written = std::snprintf(buf, sizeof buf, "\\u%4.4x", static_cast<unsigned>(cp));
            } else {
              written = std::snprintf(buf, sizeof buf, "\\u%4.4x\\u%4.4x",
                                      static_cast<unsigned>((cp >> 10) + 0xD7C0),
                                      static_cast<unsigned>((cp & 0x3FF) | 0xDC00));
            }
            std::memcpy(at, buf, static_cast<std::size_t>(written));
            at += written;
          }
          p += n;
        }
      }
    }
    }
    if ((high & 0x8080808080808080ULL) != 0 && highIsPlain &&
        !jtWellFormedUTF8(reinterpret_cast<const std::uint8_t*>(s.data()), end)) {
      fail(kNotUTF8);
      return false;
    }
    if (quotes) *at++ = '"';
    out.commit(at);
    return true;
  }

  // Strings of elements written again from the cache: from this length on.
  static constexpr std::size_t kCachedStringLength = 16;

  // Numbers are written straight into the output, not through a buffer of
  // their own.
  static constexpr std::size_t kNumberRoom = 40;

  bool encodeNumber(const Value& v, ValueKind kind) {
    std::to_chars_result r{};
    char* at;
    switch (kind) {
      case ValueKind::Bool:
        out.append(v.asBool() ? "true" : "false");
        return true;
      case ValueKind::Int:
        at = out.tail(kNumberRoom);
        r = std::to_chars(at, at + kNumberRoom, v.asInt64());
        break;
      case ValueKind::UInt:
        at = out.tail(kNumberRoom);
        r = std::to_chars(at, at + kNumberRoom, v.asUInt64());
        break;
      default: {
        const double d = v.asDouble();
        if (!std::isfinite(d)) {
          fail("Floating point values must be finite.  JSON does not support NaN or Infinity.");
          return false;
        }
        at = out.tail(kNumberRoom);
        if (char* end = formatReal17(d, at)) {
          out.commit(end);
          return true;
        }
        r = std::to_chars(at, at + kNumberRoom, d, std::chars_format::general, 17);
      }
    }
    if (r.ec != std::errc()) {
      fail("Unable to get scalar value from number object.");
      return false;
    }
    out.commit(r.ptr);
    return true;
  }

  bool enter() {
    if (++nesting > kJTMaximumNestingDepth) {
      fail(platform::format("Nesting deeper than %lu arrays and objects.", kJTMaximumNestingDepth),
           kJTErrorCodeNestingTooDeep);
      return false;
    }
    return true;
  }

  [[noreturn]] static void mutated(const char* cls) {
    throw Exception(
        platform::kGenericException,
        platform::format("*** Collection <%@> was mutated while being enumerated.", cls));
  }

  // Appends the filled entries of a decoded dictionary to sortedEntries
  // (from `base` on), in key order; false (with the failure recorded) for
  // a key that is not a string.
  bool sortKeys(const std::pmr::vector<JTDictionary::Entry>& entries, std::size_t base) {
    for (const JTDictionary::Entry& e : entries) {
      if (e.key.isNone()) continue;
      if (!e.key.isString()) {
        sortedEntries.resize(base);
        fail("Key must be a string object.");
        return false;
      }
      const std::string_view key = e.key.stringView();
      std::uint64_t prefix = 0;
      if (key.size() >= 8) {
        std::memcpy(&prefix, key.data(), 8);
        if constexpr (std::endian::native == std::endian::little) prefix = byteSwap(prefix);
      } else {
        for (std::size_t i = 0; i < key.size(); ++i) {
          prefix |= std::uint64_t{static_cast<std::uint8_t>(key[i])} << (56 - 8 * i);
        }
      }
      sortedEntries.push_back({key, &e, prefix});
    }
    if (sortedEntries.size() - base < 2) return true;  // nothing to order
    SortedEntry* from = sortedEntries.data() + base;
    SortedEntry* to = sortedEntries.data() + sortedEntries.size();
    if (to - from <= 16) {
      for (SortedEntry* i = from + 1; i < to; ++i) {
        if (!(*i < i[-1])) continue;
        const SortedEntry moving = *i;
        SortedEntry* j = i;
        do {
          *j = j[-1];
          --j;
        } while (j > from && moving < j[-1]);
        *j = moving;
      }
    } else {
      std::sort(from, to);
    }
    return true;
  }

  bool encodeArray(const Value& v) {
    if (!enter()) return false;
    const auto* a = static_cast<const platform::ArrayStorage*>(v.node());
    const std::uint64_t mutations = a->mutations();
    open('[');
    // Immutable arrays of the known kinds are walked in place.
    std::span<const Value> elements;
    bool inPlace = false;
    const JTArray* jt = nullptr;
    if (mutations == 0) {
      // The codec's collections are final: their type is one compare.
      if (typeid(*a) == typeid(JTArray)) {
        jt = static_cast<const JTArray*>(a);
        elements = jt->objects();
        inPlace = true;
      } else if (const auto* st = dynamic_cast<const platform::StandardArray*>(a)) {
        elements = st->elements();
        inPlace = true;
      }
    }
    if (inPlace) {
      bool firstElement = true;
      for (const Value& e : elements) {
        if (!firstElement) comma();
        firstElement = false;
        // Only a formatter may keep what it is shown: give it an owning handle.
        if (!encodeElement(e, jt, nullptr)) return false;
      }
    } else {
      const std::size_t n = a->count();
      for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) comma();
        if (!encode(a->at(i), nullptr)) return false;
        if (a->mutations() != mutations || a->count() != n) mutated("array");
      }
    }
    close(']');
    --nesting;
    return true;
  }

  bool encodeDictionary(const Value& v) {
    if (!enter()) return false;
    const auto* d = static_cast<const platform::DictionaryStorage*>(v.node());
    open('{');
    bool ok = true;
    bool first = true;
    auto pair = [&](const Value& key, const Value& value) {
      if (!key.isString()) {
        fail("Key must be a string object.");
        ok = false;
        return false;
      }
      if (!first) comma();
      first = false;
      if (!encode(key, nullptr)) {
        ok = false;
        return false;
      }
      colon();
      if (!encode(value, nullptr)) {
        ok = false;
        return false;
      }
      return true;
    };
    const JTDictionary* decoded =
        typeid(*d) == typeid(JTDictionary) ? static_cast<const JTDictionary*>(d) : nullptr;
    if (decoded != nullptr && decoded->isMutable()) decoded = nullptr;
    if ((options & JTSerializeOptionPretty) != 0 && decoded != nullptr) {
      // Sorted in place: no handles copied, no table of pairs per object.
      // Keys are unique, so any sort gives the one order; the few keys most
      // objects have are sorted by insertion, with no buffer of their own.
      // The objects of one document mostly repeat one set of keys (the
      // same key objects: the decoder shares equal leaves) in one layout,
      // whose order is then looked up rather than worked out again.
      const std::size_t base = sortedEntries.size();
      const auto& entries = decoded->entries();
      const std::size_t count = decoded->count();
      if (count > 0 && count <= kKeyOrderKeys) {
        std::size_t firstFilled = 0;
        while (entries[firstFilled].key.isNone()) ++firstFilled;
        const platform::ValueNode* firstKey = entries[firstFilled].key.node();
        KeyOrder& known = keyOrders[keyOrderSlot(firstKey, count)];
        bool same = known.run == run && known.count == count && known.capacity == entries.size();
        for (std::size_t k = 0; same && k < count; ++k) {
          same = entries[known.slot[k]].key.node() == known.key[k];
        }
        if (same) {
          for (std::size_t k = 0; k < count; ++k) {
            sortedEntries.push_back({std::string_view(), &entries[known.slot[k]], 0});
          }
        } else {
          if (!sortKeys(entries, base)) return false;
          known.run = run;
          known.count = static_cast<std::uint32_t>(count);
          known.capacity = entries.size();
          for (std::size_t k = 0; k < count; ++k) {
            const JTDictionary::Entry* e = sortedEntries[base + k].entry;
            known.slot[k] = static_cast<std::uint8_t>(e - entries.data());
            known.key[k] = e->key.node();
          }
        }
      } else if (!sortKeys(entries, base)) {
        return false;
      }
      const std::size_t end = sortedEntries.size();
      for (std::size_t i = base; i < end; ++i) {
        // By index: nested objects grow the vector.
        const JTDictionary::Entry& e = *sortedEntries[i].entry;
        if (i != base) comma();
        // Not encodeDecodedKey: with one caller it stays inlined in the
        // compact loop. The same text (the key's kind is known).
        if (!encode(e.key, nullptr, ValueKind::String)) {
          sortedEntries.resize(base);
          return false;
        }
        colon();
        if (!encodeElement(e.object, nullptr, decoded)) {
          sortedEntries.resize(base);
          return false;
        }
      }
      sortedEntries.resize(base);
    } else if ((options & JTSerializeOptionPretty) != 0) {
      std::vector<std::pair<Value, Value>> pairs;
      pairs.reserve(d->count());
      d->forEach([&](const Value& k, const Value& val) {
        pairs.emplace_back(k, val);
        return true;
      });
      for (const auto& [k, val] : pairs) {
        if (!k.isString()) {
          fail("Key must be a string object.");
          return false;
        }
      }
      std::stable_sort(pairs.begin(), pairs.end(), [](const auto& x, const auto& y) {
        return x.first.stringView() < y.first.stringView();
      });
      for (const auto& [k, val] : pairs) {
        if (!pair(k, val)) break;
      }
    } else if (decoded != nullptr) {
      for (const JTDictionary::Entry& e : decoded->entries()) {
        if (e.key.isNone()) continue;
        if (!first) comma();
        first = false;
        if (!encodeDecodedKey(e.key)) return false;
        colon();
        if (!encodeElement(e.object, nullptr, decoded)) return false;
      }
    } else {
      d->forEach(pair);
    }
    if (!ok) return false;
    close('}');
    --nesting;
    return true;
  }

  // `replaced`: the object a formatter replaced with `v`, if any.
  bool encode(const Value& v, const Value* replaced) { return encode(v, replaced, v.kind()); }

  // An element of a collection: its kind is asked once. A decoded
  // collection (`array` or `dictionary` set) hands out borrowed handles;
  // only a value the encoder cannot write itself (given to a formatter,
  // which may keep it) becomes an owning handle.
  bool encodeElement(const Value& e, const JTArray* array, const JTDictionary* dictionary) {
    const ValueKind kind = e.kind();
    if (kind == ValueKind::String) {
      // A short string is written in about the time a look in the cache
      // takes (and most values met once are not met again).
      const std::string_view text = e.stringView();
      if (text.size() < kCachedStringLength) return encodeString(text);
    }
    if (kind == ValueKind::Data || kind == ValueKind::Date || kind == ValueKind::None) {
      if (array != nullptr) return encode(array->owning(e), nullptr);
      if (dictionary != nullptr) return encode(dictionary->owning(e), nullptr);
    }
    return encode(e, nullptr, kind);
  }

  bool encode(const Value& v, const Value* replaced, const ValueKind kind) {
    const platform::ValueNode* node = v.node();
    // Only strings cost more to write than to look up (escapes, UTF-8
    // checks); numbers and literals are written again each time (the same
    // bytes).
    const bool cacheable = kind == ValueKind::String;
    std::size_t slot = 0;
    if (cacheable && node != nullptr) {
      slot = slotFor(node);
      if (appendCached(node, slot)) return true;
    }
    const std::size_t start = out.size();
    bool ok;
    switch (kind) {
      case ValueKind::String:
        ok = encodeString(v.stringView());
        break;
      case ValueKind::Bool:
      case ValueKind::Int:
      case ValueKind::UInt:
      case ValueKind::Real:
        ok = encodeNumber(v, kind);
        break;
      case ValueKind::Null:
        out.append("null");
        ok = true;
        break;
      case ValueKind::Array:
        return encodeArray(v);
      case ValueKind::Dictionary:
        return encodeDictionary(v);
      default: {
        if (replaced != nullptr) {
          fail(
              platform::format("Unable to serialize object class %@ that was returned by the "
                               "unsupported class formatter.  Original object class was %@.",
                               className(v), className(*replaced)));
          return false;
        }
        Value replacement;
        if (formatter != nullptr && *formatter) replacement = (*formatter)(v);
        if (replacement.isNone()) {
          fail(platform::format("Unable to serialize object class %@.", className(v)));
          return false;
        }
        keepAlive.push_back(replacement);
        return encode(replacement, &v);
      }
    }
    if (ok && cacheable && node != nullptr && out.inCurrentBlock(start)) {
      cache[slot] = CacheSlot{node, run, start, out.size() - start};
    }
    return ok;
  }

  // Appends the text already written for `node` in this serialisation;
  // false when there is none.
  bool appendCached(const platform::ValueNode* node, std::size_t slot) {
    CacheSlot& c = cache[slot];
    if (c.object != node || c.run != run) return false;
    // The copy is found from now on (in the current block, at hand).
    const std::size_t at = out.appendWritten(c.offset, c.length);
    if (out.inCurrentBlock(at)) c.offset = at;
    return true;
  }

  // A key of a dictionary the decoder made (always a string; keys repeat,
  // so most are found in the cache without asking the key its kind).
  bool encodeDecodedKey(const Value& key) {
    const platform::ValueNode* node = key.node();
    const std::size_t slot = slotFor(node);
    if (appendCached(node, slot)) return true;
    if (!key.isString()) {
      fail("Key must be a string object.");
      return false;
    }
    const std::size_t start = out.size();
    if (!encodeString(key.stringView())) return false;
    if (out.inCurrentBlock(start)) cache[slot] = CacheSlot{node, run, start, out.size() - start};
    return true;
  }
};

JTSerializer::JTSerializer() = default;
JTSerializer::~JTSerializer() { releaseState(); }

namespace {
// The State of the thread's last serialisation, for its next one: a State
// is some 32 KB, which the allocator would otherwise hand out and take back
// (and clear) on every call. A serialisation that starts while another runs
// on the thread (from a formatter) makes its own.
thread_local std::unique_ptr<JTSerializer::State> tSpareState;
// Output buffers beyond this are not kept for the next serialisation.
constexpr std::size_t kKeptOutputCapacity = 64 * 1024;
}  // namespace

std::unique_ptr<JTSerializer::State> JTSerializer::takeState() {
  std::unique_ptr<State> state = std::move(tSpareState);
  if (!state) state = std::make_unique<State>();
  ++state->run;
  return state;
}

void JTSerializer::releaseState() {
  if (!state_) return;
  State& s = *state_;
  s.error = Error();
  s.formatter = nullptr;
  s.keepAlive.clear();
  s.sortedEntries.clear();
  if (s.sortedEntries.capacity() > 4096) s.sortedEntries = {};
  s.depth = 0;
  s.nesting = 0;
  s.out.clear();
  if (s.out.capacity() > kKeptOutputCapacity) s.out.release();
  if (!tSpareState) {
    tSpareState = std::move(state_);
  } else {
    state_.reset();
  }
}

Value JTSerializer::serializeObject(const Value& object, std::uint64_t options,
                                    std::uint64_t encodeOption,
                                    const JTUnsupportedFormatter& formatter, Error* error) {
  JTSerializer serializer;
  return serializer.serialize(object, options, encodeOption, formatter, error);
}

Value JTSerializer::serialize(const Value& object, std::uint64_t options,
                              std::uint64_t encodeOption, const JTUnsupportedFormatter& formatter,
                              Error* error) {
  auto precondition = [](bool ok, const char* condition) {
    if (!ok) {
      throw Exception(platform::kInternalInconsistencyException,
                      platform::format("Invalid parameter not satisfying: %@", condition));
    }
  };
  precondition(!object.isNone(), "object != NULL");
  precondition(!((encodeOption & JTEncodeOptionCollectionObj) &&
                 (encodeOption & (JTEncodeOptionStringObj | JTEncodeOptionStringObjTrimQuotes))),
               "(encodeOption & JTEncodeOptionCollectionObj) excludes the string options");
  precondition(!((encodeOption & JTEncodeOptionStringObjTrimQuotes) &&
                 !(encodeOption & JTEncodeOptionStringObj)),
               "JTEncodeOptionStringObjTrimQuotes requires JTEncodeOptionStringObj");

  releaseState();
  state_ = takeState();
  State& s = *state_;
  s.options = options;
  s.pretty = (options & JTSerializeOptionPretty) != 0;
  s.encodeOption = encodeOption;
  s.formatter = &formatter;
  s.out.reserve(4096);

  Value result;
  bool ok = true;
  if ((encodeOption & JTEncodeOptionCollectionObj) && !object.isArray() && !object.isDictionary()) {
    s.fail(
        platform::format("Unable to serialize object class %@, expected an array or a dictionary.",
                         className(object)));
    ok = false;
  } else if ((encodeOption & JTEncodeOptionStringObj) && !object.isString()) {
    s.fail(platform::format("Unable to serialize object class %@, expected a string.",
                            className(object)));
    ok = false;
  }
  if (ok) ok = s.encode(object, nullptr);
  if (ok) {
    switch (encodeOption & JTEncodeOptionAsTypeMask) {
      case JTEncodeOptionReturnData: {
        platform::Bytes bytes;
        bytes.reserve(s.out.size());
        s.out.forEachBlock([&](const char* p, std::size_t n) {
          bytes.insert(bytes.end(), reinterpret_cast<const std::uint8_t*>(p),
                       reinterpret_cast<const std::uint8_t*>(p) + n);
        });
        result = Value::data(std::move(bytes));
        break;
      }
      case JTEncodeOptionReturnString: {
        std::string text;
        text.reserve(s.out.size());
        s.out.forEachBlock([&](const char* p, std::size_t n) { text.append(p, n); });
        result = Value(std::move(text));
        break;
      }
      default:
        s.fail("Unknown encode as type.");
    }
  }
  if (result.isNone() && error != nullptr) *error = s.error;
  releaseState();
  return result;
}

namespace {
Value run(const Value& object, std::uint64_t options, std::uint64_t encodeOption,
          const JTUnsupportedFormatter& formatter, Error* error) {
  return JTSerializer::serializeObject(object, options, encodeOption, formatter, error);
}
const JTUnsupportedFormatter& noFormatter() {
  static const JTUnsupportedFormatter f;
  return f;
}
}  // namespace

Value JSONData(const Value& collection, std::uint64_t options, Error* error) {
  return run(collection, options, JTEncodeOptionReturnData | JTEncodeOptionCollectionObj,
             noFormatter(), error);
}

Value JSONDataWithFormatter(const Value& collection, std::uint64_t options,
                            const JTUnsupportedFormatter& formatter, Error* error) {
  return run(collection, options, JTEncodeOptionReturnData | JTEncodeOptionCollectionObj, formatter,
             error);
}

Value JSONString(const Value& collection, std::uint64_t options, Error* error) {
  return run(collection, options, JTEncodeOptionReturnString | JTEncodeOptionCollectionObj,
             noFormatter(), error);
}

Value JSONStringWithFormatter(const Value& collection, std::uint64_t options,
                              const JTUnsupportedFormatter& formatter, Error* error) {
  return run(collection, options, JTEncodeOptionReturnString | JTEncodeOptionCollectionObj,
             formatter, error);
}

Value stringJSONData(const Value& string, std::uint64_t options, bool includeQuotes, Error* error) {
  return run(string, options,
             JTEncodeOptionReturnData | JTEncodeOptionStringObj |
                 (includeQuotes ? 0 : JTEncodeOptionStringObjTrimQuotes),
             noFormatter(), error);
}

Value stringJSONString(const Value& string, std::uint64_t options, bool includeQuotes,
                       Error* error) {
  return run(string, options,
             JTEncodeOptionReturnString | JTEncodeOptionStringObj |
                 (includeQuotes ? 0 : JTEncodeOptionStringObjTrimQuotes),
             noFormatter(), error);
}

}  // namespace codecs
