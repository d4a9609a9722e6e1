#include "platform/system/binary_property_list.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/system/property_list.h"

namespace platform::plist {
namespace {

// Seconds from 1970-01-01 to 2001-01-01, the epoch of binary dates.
constexpr double kEpoch2001 = 978307200.0;
constexpr std::size_t kTrailerSize = 32;

Error corrupt(const std::string& what) {
  return Error(kCocoaErrorDomain, kReadCorruptError,
               Value::dictionary({{kLocalizedDescriptionKey,
                                   Value("The binary property list is damaged: " + what + ".")}}));
}

class BinaryReader {
 public:
  explicit BinaryReader(std::string_view bytes)
      : data_(reinterpret_cast<const std::uint8_t*>(bytes.data())), size_(bytes.size()) {}

  Value run(Error* error) {
    Value result = readAll();
    if (result.isNone() && error) *error = corrupt(message_);
    return result;
  }

 private:
  enum class State : std::uint8_t { Unread, Reading, Done };

  Value fail(const char* what) {
    if (message_.empty()) message_ = what;
    return Value();
  }

  // Big-endian unsigned number of `width` (1..8) bytes at `at`; the caller
  // has checked the bounds.
  std::uint64_t number(std::size_t at, std::size_t width) const {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < width; ++i) n = (n << 8) | data_[at + i];
    return n;
  }

  // True when [at, at + length) lies inside the object area.
  bool inObjects(std::uint64_t at, std::uint64_t length) const {
    return at >= kBinaryHeader.size() && at <= tableOffset_ && length <= tableOffset_ - at;
  }

  Value readAll() {
    if (size_ < kBinaryHeader.size() + kTrailerSize ||
        std::memcmp(data_, kBinaryHeader.data(), kBinaryHeader.size()) != 0) {
      return fail("no binary header or trailer");
    }
    const std::size_t trailer = size_ - kTrailerSize;
    offsetSize_ = data_[trailer + 6];
    refSize_ = data_[trailer + 7];
    const std::uint64_t count = number(trailer + 8, 8);
    const std::uint64_t top = number(trailer + 16, 8);
    tableOffset_ = number(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) {
      return fail("bad offset or reference size");
    }
    if (count == 0 || top >= count) return fail("no top object");
    if (tableOffset_ < kBinaryHeader.size() || tableOffset_ > trailer ||
        count > (trailer - tableOffset_) / offsetSize_) {
      return fail("offset table out of bounds");
    }
    count_ = count;
    states_.assign(count, State::Unread);
    values_.assign(count, Value());
    return object(top, 0);
  }

  // The count that follows a marker whose low nibble is `nibble`: the
  // nibble itself, or (0xF) an integer object right after the marker.
  // Advances `at` past it; false when it is malformed.
  bool length(std::uint8_t nibble, std::uint64_t* at, std::uint64_t* out) {
    if (nibble != 0xF) {
      *out = nibble;
      return true;
    }
    if (!inObjects(*at, 1)) return false;
    const std::uint8_t marker = data_[*at];
    if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3) return false;
    const std::size_t width = std::size_t{1} << (marker & 0x0F);
    if (!inObjects(*at + 1, width)) return false;
    *out = number(*at + 1, width);
    *at += 1 + width;
    return true;
  }

  // The object reference at `at` (already bounds-checked).
  std::uint64_t reference(std::uint64_t at) const { return number(at, refSize_); }

  Value object(std::uint64_t index, int depth) {
    if (index >= count_) return fail("object reference out of range");
    if (states_[index] == State::Done) return values_[index];
    if (states_[index] == State::Reading) return fail("an object contains itself");
    if (depth > kMaxDepth) return fail("nesting too deep");
    states_[index] = State::Reading;
    const std::uint64_t at = number(tableOffset_ + index * offsetSize_, offsetSize_);
    Value value = inObjects(at, 1) ? decode(at, depth) : fail("object offset out of bounds");
    if (value.isNone()) return value;
    states_[index] = State::Done;
    values_[index] = value;
    return value;
  }

  Value decode(std::uint64_t at, int depth) {
    const std::uint8_t marker = data_[at];
    const std::uint8_t nibble = marker & 0x0F;
    std::uint64_t body = at + 1;
    switch (marker >> 4) {
      case 0x0:
        if (marker == 0x08) return Value(false);
        if (marker == 0x09) return Value(true);
        return fail("null or fill object");
      case 0x1:
        return integer(body, nibble);
      case 0x2: {
        if (nibble == 2 && inObjects(body, 4)) {
          const std::uint32_t bits = static_cast<std::uint32_t>(number(body, 4));
          float f;
          std::memcpy(&f, &bits, sizeof f);
          return Value(static_cast<double>(f));
        }
        if (nibble == 3 && inObjects(body, 8)) return Value(real(body));
        return fail("bad real");
      }
      case 0x3: {
        // Dates from year 1 to year 4001 (distantPast to distantFuture).
        const double t = marker == 0x33 && inObjects(body, 8) ? real(body) + kEpoch2001 : NAN;
        if (t >= Date::distantPast().timeIntervalSince1970() &&
            t <= Date::distantFuture().timeIntervalSince1970()) {
          return Value(Date(t));
        }
        return fail("bad date");
      }
      case 0x4: {
        std::uint64_t n;
        if (!length(nibble, &body, &n) || !inObjects(body, n)) return fail("bad data length");
        return Value::data(data_ + body, static_cast<std::size_t>(n));
      }
      case 0x5: {
        std::uint64_t n;
        if (!length(nibble, &body, &n) || !inObjects(body, n)) return fail("bad string length");
        return Value(latin1(body, n));
      }
      case 0x6: {
        std::uint64_t n;
        if (!length(nibble, &body, &n) || n > tableOffset_ / 2 || !inObjects(body, n * 2)) {
          return fail("bad string length");
        }
        std::string text;
        if (!utf16(body, n, &text)) return fail("bad UTF-16 string");
        return Value(std::move(text));
      }
      case 0x8: {
        if (!inObjects(body, nibble + 1u)) return fail("bad UID");
        return Value::dictionary({{Value("CF$UID"), Value(number(body, nibble + 1u))}});
      }
      case 0xA:
      case 0xC:
        return array(body, nibble, depth);
      case 0xD:
        return dictionary(body, nibble, depth);
      default:
        return fail("unknown object type");
    }
  }

  double real(std::uint64_t at) const {
    const std::uint64_t bits = number(at, 8);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

  Value integer(std::uint64_t at, std::uint8_t nibble) {
    if (nibble > 4) return fail("bad integer size");
    const std::size_t width = std::size_t{1} << nibble;
    if (!inObjects(at, width)) return fail("integer out of bounds");
    if (width < 8) return Value(static_cast<std::int64_t>(number(at, width)));
    if (width == 8) return Value(static_cast<std::int64_t>(number(at, 8)));
    // 16 bytes: a 128-bit two's-complement number that must fit 64 bits.
    const std::uint64_t high = number(at, 8);
    const std::uint64_t low = number(at + 8, 8);
    if (high == 0) {
      if (low > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return Value(low);
      }
      return Value(static_cast<std::int64_t>(low));
    }
    if (high == ~std::uint64_t{0} &&
        low > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return Value(static_cast<std::int64_t>(low));
    }
    return fail("integer beyond 64 bits");
  }

  // ASCII strings: bytes above 0x7F are taken as Latin-1, so the result is
  // always valid UTF-8.
  std::string latin1(std::uint64_t at, std::uint64_t n) const {
    std::string text;
    text.reserve(static_cast<std::size_t>(n));
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint8_t c = data_[at + i];
      if (c < 0x80) {
        text += static_cast<char>(c);
      } else {
        text += static_cast<char>(0xC0 | (c >> 6));
        text += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    return text;
  }

  bool utf16(std::uint64_t at, std::uint64_t units, std::string* out) const {
    out->reserve(static_cast<std::size_t>(units));
    for (std::uint64_t i = 0; i < units; ++i) {
      std::uint32_t c = static_cast<std::uint32_t>(number(at + 2 * i, 2));
      if (c >= 0xDC00 && c <= 0xDFFF) return false;
      if (c >= 0xD800 && c <= 0xDBFF) {
        if (i + 1 >= units) return false;
        const std::uint32_t low = static_cast<std::uint32_t>(number(at + 2 * (i + 1), 2));
        if (low < 0xDC00 || low > 0xDFFF) return false;
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
      if (c < 0x80) {
        *out += static_cast<char>(c);
      } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
      } else {
        *out += static_cast<char>(0xF0 | (c >> 18));
        *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    return true;
  }

  // Reads `n` references starting at `body` (after the length).
  bool references(std::uint64_t body, std::uint64_t n, std::vector<std::uint64_t>* out) {
    if (n > tableOffset_ / refSize_ || !inObjects(body, n * refSize_)) return false;
    out->reserve(static_cast<std::size_t>(n));
    for (std::uint64_t i = 0; i < n; ++i) out->push_back(reference(body + i * refSize_));
    return true;
  }

  Value array(std::uint64_t body, std::uint8_t nibble, int depth) {
    std::uint64_t n;
    std::vector<std::uint64_t> refs;
    if (!length(nibble, &body, &n) || !references(body, n, &refs)) {
      return fail("bad array length");
    }
    std::vector<Value> elements;
    elements.reserve(refs.size());
    for (std::uint64_t ref : refs) {
      Value element = object(ref, depth + 1);
      if (element.isNone()) return element;
      elements.push_back(std::move(element));
    }
    return Value::array(std::move(elements));
  }

  Value dictionary(std::uint64_t body, std::uint8_t nibble, int depth) {
    std::uint64_t n;
    std::vector<std::uint64_t> refs;
    if (!length(nibble, &body, &n) || n > std::numeric_limits<std::uint64_t>::max() / 2 ||
        !references(body, n * 2, &refs)) {
      return fail("bad dictionary length");
    }
    std::vector<std::pair<Value, Value>> pairs;
    pairs.reserve(static_cast<std::size_t>(n));
    for (std::uint64_t i = 0; i < n; ++i) {
      Value key = object(refs[i], depth + 1);
      if (key.isNone()) return key;
      if (!key.isString()) return fail("dictionary key that is not a string");
      Value value = object(refs[n + i], depth + 1);
      if (value.isNone()) return value;
      pairs.emplace_back(std::move(key), std::move(value));
    }
    return Value::dictionary(std::move(pairs));
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offsetSize_ = 0, refSize_ = 0;
  std::uint64_t count_ = 0, tableOffset_ = 0;
  std::vector<State> states_;
  std::vector<Value> values_;
  std::string message_;
};

}  // namespace

Value readBinary(std::string_view bytes, Error* error) {
  BinaryReader reader(bytes);
  return reader.run(error);
}

}  // namespace platform::plist
