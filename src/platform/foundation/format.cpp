#include "platform/foundation/format.h"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "platform/foundation/format_parts.h"

namespace platform {

namespace {

// printf's number formatting follows LC_NUMERIC; a process that sets the
// user's locale (a GUI toolkit does) would otherwise get "1,5" for 1.5.
class CLocaleScope {
 public:
  CLocaleScope() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (c) previous_ = uselocale(c);
  }
  ~CLocaleScope() {
    if (previous_) uselocale(previous_);
  }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t previous_ = static_cast<locale_t>(nullptr);
};

struct Directive {
  std::string flags;
  int width = -1;  // -1: none
  int precision = -1;
  bool leftAlign = false;
  int lengthBits = 32;  // what the length modifier would read in C: 8, 16, 32 or 64
  char conversion = 0;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a decimal number at fmt[i], advancing i; -1 when there is none.
int readNumber(std::string_view fmt, std::size_t& i) {
  if (i >= fmt.size() || !isDigit(fmt[i])) return -1;
  long n = 0;
  while (i < fmt.size() && isDigit(fmt[i])) {
    if (n < 100000000) n = n * 10 + (fmt[i] - '0');
    ++i;
  }
  return static_cast<int>(n);
}

std::size_t codePoints(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// The first `count` code points of `s`.
std::string_view headCodePoints(std::string_view s, std::size_t count) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (seen == count) return s.substr(0, i);
      ++seen;
    }
  }
  return s;
}

void appendPadded(std::string& out, std::string_view text, const Directive& directive) {
  if (directive.precision >= 0)
    text = headCodePoints(text, static_cast<std::size_t>(directive.precision));
  const std::size_t length = codePoints(text);
  const std::size_t pad = directive.width > 0 && static_cast<std::size_t>(directive.width) > length
                              ? directive.width - length
                              : 0;
  if (!directive.leftAlign) out.append(pad, ' ');
  out.append(text);
  if (directive.leftAlign) out.append(pad, ' ');
}

std::string printfDirective(const Directive& directive, const char* lengthAndConversion) {
  std::string s = "%" + directive.flags;
  if (directive.leftAlign && directive.flags.find('-') == std::string::npos) s += '-';
  if (directive.width >= 0) s += std::to_string(directive.width);
  if (directive.precision >= 0) s += "." + std::to_string(directive.precision);
  s += lengthAndConversion;
  return s;
}

template <class T>
void appendPrintf(std::string& out, const std::string& directive, T value) {
  char buffer[128];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = std::snprintf(buffer, sizeof buffer, directive.c_str(), value);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof buffer) {
    out.append(buffer, static_cast<std::size_t>(n));
    return;
  }
  std::vector<char> big(static_cast<std::size_t>(n) + 1);
  std::snprintf(big.data(), big.size(), directive.c_str(), value);
#pragma GCC diagnostic pop
  out.append(big.data(), static_cast<std::size_t>(n));
}

std::string pointerText(const void* p) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
  return buffer;
}

// The text %@ (and %s) prints for an argument.
std::string objectText(const FormatArg& arg, bool forS) {
  switch (arg.kind()) {
    case FormatArg::Kind::Value:
      if (forS && arg.value().isNone()) return "(null)";
      return arg.value().description();
    case FormatArg::Kind::Signed:
      return std::to_string(arg.asSigned());
    case FormatArg::Kind::Unsigned:
      return std::to_string(arg.asUnsigned());
    case FormatArg::Kind::Real:
      return Value(arg.asReal()).description();
    case FormatArg::Kind::Pointer:
      return pointerText(arg.pointer());
  }
  return {};
}

void appendUTF8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x110000) {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// True for a conversion without flags, width or precision: its text is
// the plain number or string, written without going through printf.
bool isPlain(const Directive& directive) {
  return directive.flags.empty() && !directive.leftAlign && directive.width < 0 &&
         directive.precision < 0;
}

void appendConversion(std::string& out, const Directive& directive, const FormatArg& arg) {
  switch (directive.conversion) {
    case '@':
    case 's':
      if (arg.kind() == FormatArg::Kind::Value && arg.value().isString()) {
        const std::string& text = arg.value().asString();
        if (isPlain(directive)) {
          out.append(text);
        } else {
          appendPadded(out, text, directive);
        }
        return;
      }
      appendPadded(out, objectText(arg, directive.conversion == 's'), directive);
      return;
    case 'd':
    case 'i': {
      const bool big =
          arg.kind() == FormatArg::Kind::Unsigned &&
          arg.asUnsigned() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
      if (isPlain(directive)) {
        format_parts::appendSignedConversion(out, big, arg.asSigned(), arg.asUnsigned());
      } else if (big) {
        appendPrintf(out, printfDirective(directive, "llu"),
                     static_cast<unsigned long long>(arg.asUnsigned()));
      } else {
        appendPrintf(out, printfDirective(directive, "lld"),
                     static_cast<long long>(arg.asSigned()));
      }
      return;
    }
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      const std::uint64_t u = format_parts::unsignedAtLength(
          arg.asUnsigned(), arg.kind() == FormatArg::Kind::Signed && arg.asSigned() < 0,
          directive.lengthBits);
      if (isPlain(directive)) {
        format_parts::appendUnsignedConversion(out, directive.conversion, u);
        return;
      }
      const char conv[4] = {'l', 'l', directive.conversion, 0};
      appendPrintf(out, printfDirective(directive, conv), static_cast<unsigned long long>(u));
      return;
    }
    case 'c': {
      std::string text;
      if (arg.kind() == FormatArg::Kind::Value && arg.value().isString()) {
        text = std::string(headCodePoints(arg.value().asString(), 1));
      } else {
        const std::int64_t c = arg.asSigned();
        if (c >= 0 && c < 0x110000) {
          if (c < 0x100 && directive.lengthBits != 64 && c >= 0x80) {
            text = static_cast<char>(c);  // a raw byte, as C's %c writes it
          } else {
            appendUTF8(text, static_cast<std::uint32_t>(c));
          }
        }
      }
      Directive padding = directive;
      padding.precision = -1;
      appendPadded(out, text, padding);
      return;
    }
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A': {
      CLocaleScope cLocale;  // only floating-point output follows LC_NUMERIC
      const char conv[2] = {directive.conversion, 0};
      appendPrintf(out, printfDirective(directive, conv), arg.asReal());
      return;
    }
    case 'p': {
      const void* p = arg.pointer();
      if (arg.kind() == FormatArg::Kind::Value) p = arg.value().node();
      Directive padding = directive;
      padding.precision = -1;
      appendPadded(out, pointerText(p), padding);
      return;
    }
    default:
      return;
  }
}

}  // namespace

std::int64_t FormatArg::asSigned() const {
  switch (kind_) {
    case Kind::Signed:
      return i_;
    case Kind::Unsigned:
      return static_cast<std::int64_t>(u_);
    case Kind::Real:
      return Value(d_).asInt64();
    case Kind::Pointer:
      return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(p_));
    case Kind::Value:
      return value_.asInt64();
  }
  return 0;
}

std::uint64_t FormatArg::asUnsigned() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<std::uint64_t>(i_);
    case Kind::Unsigned:
      return u_;
    case Kind::Real:
      return Value(d_).asUInt64();
    case Kind::Pointer:
      return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p_));
    case Kind::Value:
      return value_.asUInt64();
  }
  return 0;
}

double FormatArg::asReal() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<double>(i_);
    case Kind::Unsigned:
      return static_cast<double>(u_);
    case Kind::Real:
      return d_;
    case Kind::Pointer:
      return 0;
    case Kind::Value:
      return value_.asDouble();
  }
  return 0;
}

std::string formatArgs(std::string_view fmt, std::initializer_list<FormatArg> args) {
  const FormatArg* const list = args.begin();
  const std::size_t argc = args.size();
  std::size_t next = 0;  // the next argument of a conversion without "n$"
  auto argument = [&](int position) -> const FormatArg* {
    if (position > 0) {
      return static_cast<std::size_t>(position) <= argc ? &list[position - 1] : nullptr;
    }
    return next < argc ? &list[next++] : nullptr;
  };

  std::string out;
  out.reserve(fmt.size() + 16 * argc);
  std::size_t i = 0;
  while (format_parts::appendLiteralText(out, fmt, i)) {
    const std::size_t percent = i - 1;
    Directive directive;
    int position = 0;
    {
      std::size_t j = i;
      const int n = readNumber(fmt, j);
      if (n > 0 && j < fmt.size() && fmt[j] == '$') {
        position = n;
        i = j + 1;
      }
    }
    for (; i < fmt.size(); ++i) {
      const char c = fmt[i];
      if (c == '-') {
        directive.leftAlign = true;
      } else if (c == '+' || c == ' ' || c == '#' || c == '0' || c == '\'') {
        if (c != '\'') directive.flags += c;
      } else {
        break;
      }
    }
    // A star takes the width (or precision) from an argument, "*n$" from a given one.
    auto starValue = [&]() -> int {
      ++i;
      int pos = 0;
      std::size_t j = i;
      const int n = readNumber(fmt, j);
      if (n > 0 && j < fmt.size() && fmt[j] == '$') {
        pos = n;
        i = j + 1;
      }
      const FormatArg* a = argument(pos);
      if (!a) return -1;
      const std::int64_t v = a->asSigned();
      return v > 100000 ? 100000 : (v < -100000 ? -100000 : static_cast<int>(v));
    };
    if (i < fmt.size() && fmt[i] == '*') {
      const int w = starValue();
      if (w < 0 && w != -1) {
        directive.leftAlign = true;
        directive.width = -w;
      } else {
        directive.width = w;
      }
    } else {
      directive.width = readNumber(fmt, i);
    }
    if (i < fmt.size() && fmt[i] == '.') {
      ++i;
      if (i < fmt.size() && fmt[i] == '*') {
        directive.precision = starValue();
      } else {
        directive.precision = readNumber(fmt, i);
        if (directive.precision < 0) directive.precision = 0;
      }
    }
    directive.lengthBits = format_parts::readLengthModifiers(fmt, i);
    if (i >= fmt.size()) {
      out.append(fmt.substr(percent));  // an unfinished conversion is kept as written
      break;
    }
    directive.conversion = fmt[i++];
    if (directive.conversion == 'n') continue;  // never writes through an argument
    static constexpr std::string_view kKnown = "@diuxXocsfFeEgGaAp";
    if (kKnown.find(directive.conversion) == std::string_view::npos) {
      out.append(fmt.substr(percent, i - percent));
      continue;
    }
    if (const FormatArg* arg = argument(position)) appendConversion(out, directive, *arg);
  }
  return out;
}

}  // namespace platform
