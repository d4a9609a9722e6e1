#include "logging/plain_format.h"

#include <charconv>
#include <limits>

namespace logging::detail {

namespace {

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

// The text of a number printed with %@ or %s.
void appendWhole(std::string& out, const LogArg& arg) {
  if (arg.kind() == LogArg::Kind::Signed) {
    appendNumber(out, arg.asSigned());
  } else {
    appendNumber(out, arg.asUnsigned());
  }
}

}  // namespace

bool appendPlainFormat(std::string& out, std::string_view fmt, const LogArg* args,
                       std::size_t count) {
  std::size_t next = 0;
  std::size_t i = 0;
  while (i < fmt.size()) {
    const std::size_t percent = fmt.find('%', i);
    if (percent == std::string_view::npos) {
      out.append(fmt.substr(i));
      break;
    }
    out.append(fmt.substr(i, percent - i));
    i = percent + 1;
    if (i < fmt.size() && fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    int lengthBits = 32;  // what the length modifier would read in C
    while (i < fmt.size()) {
      const char c = fmt[i];
      if (c == 'h') {
        lengthBits = lengthBits == 16 ? 8 : 16;
      } else if (c == 'l' || c == 'q' || c == 'z' || c == 't' || c == 'j' || c == 'L') {
        lengthBits = 64;
      } else {
        break;
      }
      ++i;
    }
    if (i >= fmt.size()) return false;  // unfinished conversion
    const char conversion = fmt[i++];
    switch (conversion) {
      case '@':
      case 's':
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        break;
      default:
        return false;  // flags, width, precision, position, other conversions
    }
    if (next >= count) continue;  // a missing argument prints nothing
    const LogArg& arg = args[next++];
    if (arg.kind() == LogArg::Kind::Other) return false;
    switch (conversion) {
      case '@':
      case 's':
        if (arg.kind() == LogArg::Kind::Text) {
          out.append(arg.text());
        } else {
          appendWhole(out, arg);
        }
        break;
      case 'd':
      case 'i':
        if (arg.kind() == LogArg::Kind::Text) return false;
        if (arg.kind() == LogArg::Kind::Unsigned &&
            arg.asUnsigned() >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          appendNumber(out, arg.asUnsigned());
        } else if (arg.kind() == LogArg::Kind::Unsigned) {
          appendNumber(out, static_cast<std::int64_t>(arg.asUnsigned()));
        } else {
          appendNumber(out, arg.asSigned());
        }
        break;
      default: {  // u x X o
        if (arg.kind() == LogArg::Kind::Text) return false;
        std::uint64_t u = arg.kind() == LogArg::Kind::Signed
                              ? static_cast<std::uint64_t>(arg.asSigned())
                              : arg.asUnsigned();
        // A negative argument without a 64-bit length modifier is read at
        // the width C would read it ("%x" of -1 is "ffffffff").
        if (arg.kind() == LogArg::Kind::Signed && arg.asSigned() < 0 && lengthBits < 64) {
          u &= (std::uint64_t{1} << lengthBits) - 1;
        }
        const int base = conversion == 'o' ? 8 : conversion == 'u' ? 10 : 16;
        appendNumber(out, u, base, conversion == 'X');
        break;
      }
    }
  }
  return true;
}

}  // namespace logging::detail
