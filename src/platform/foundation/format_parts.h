// The pieces of platform::format that other formatters share so that they
// write exactly the same text: scanning the literal text between
// conversions, reading length modifiers, and writing whole numbers under
// the integer conversions without flags, width or precision. The logging
// dispatcher's plain formatter (logging/plain_format.h) is built on them.
//
// Thread safety: pure functions.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace platform::format_parts {

// Appends `value` in `base` (lower-case digits unless `upper`).
template <class T>
void appendNumber(std::string& out, T value, int base = 10, bool upper = false) {
  char buffer[72];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, base);
  (void)ec;  // the buffer holds any 64-bit number in base 8 or more
  if (upper) {
    for (char* c = buffer; c != end; ++c) {
      if (*c >= 'a' && *c <= 'f') *c = static_cast<char>(*c - 'a' + 'A');
    }
  }
  out.append(buffer, end);
}

// Appends the literal text of `fmt` from `i` on ("%%" as "%") up to the
// next conversion. True with `i` just after that conversion's "%"; false
// at the end of the format.
inline bool appendLiteralText(std::string& out, std::string_view fmt, std::size_t& i) {
  while (i < fmt.size()) {
    const std::size_t percent = fmt.find('%', i);
    if (percent == std::string_view::npos) {
      out.append(fmt.substr(i));
      i = fmt.size();
      return false;
    }
    out.append(fmt.substr(i, percent - i));
    i = percent + 1;
    if (i < fmt.size() && fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    return true;
  }
  return false;
}

// Reads the length modifiers (h hh l ll q z t j L) at `i`, advancing past
// them; answers the bits C would read for the argument: 8, 16, 32 or 64.
inline int readLengthModifiers(std::string_view fmt, std::size_t& i) {
  int bits = 32;
  for (; i < fmt.size(); ++i) {
    const char c = fmt[i];
    if (c == 'h') {
      bits = bits == 16 ? 8 : 16;
    } else if (c == 'l' || c == 'q' || c == 'z' || c == 't' || c == 'j' || c == 'L') {
      bits = 64;
    } else {
      break;
    }
  }
  return bits;
}

// %d or %i of a number: `unsignedValue` when the argument is unsigned and
// beyond the signed range, else `signedValue`.
inline void appendSignedConversion(std::string& out, bool isUnsigned, std::int64_t signedValue,
                                   std::uint64_t unsignedValue) {
  if (isUnsigned &&
      unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    appendNumber(out, unsignedValue);
  } else {
    appendNumber(out, signedValue);
  }
}

// The value %u %x %X or %o prints of an argument: a negative signed
// argument without a 64-bit length modifier is read at the width C would
// read it ("%x" of -1 is "ffffffff").
inline std::uint64_t unsignedAtLength(std::uint64_t value, bool negativeSigned, int lengthBits) {
  if (negativeSigned && lengthBits < 64) value &= (std::uint64_t{1} << lengthBits) - 1;
  return value;
}

// %u %x %X or %o of `value` (see unsignedAtLength).
inline void appendUnsignedConversion(std::string& out, char conversion, std::uint64_t value) {
  const int base = conversion == 'o' ? 8 : conversion == 'u' ? 10 : 16;
  appendNumber(out, value, base, conversion == 'X');
}

}  // namespace platform::format_parts
