#include "logging/plain_format.h"

#include "platform/foundation/format_parts.h"

namespace logging::detail {

namespace {

using platform::format_parts::appendNumber;

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
  namespace parts = platform::format_parts;
  std::size_t next = 0;
  std::size_t i = 0;
  while (parts::appendLiteralText(out, fmt, i)) {
    const int lengthBits = parts::readLengthModifiers(fmt, i);
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
    if (conversion == '@' || conversion == 's') {
      if (arg.kind() == LogArg::Kind::Text) {
        out.append(arg.text());
      } else {
        appendWhole(out, arg);
      }
      continue;
    }
    if (arg.kind() == LogArg::Kind::Text) return false;
    const bool isSigned = arg.kind() == LogArg::Kind::Signed;
    const std::int64_t s = isSigned ? arg.asSigned() : static_cast<std::int64_t>(arg.asUnsigned());
    const std::uint64_t u =
        isSigned ? static_cast<std::uint64_t>(arg.asSigned()) : arg.asUnsigned();
    if (conversion == 'd' || conversion == 'i') {
      parts::appendSignedConversion(out, !isSigned, s, u);
    } else {
      parts::appendUnsignedConversion(out, conversion,
                                      parts::unsignedAtLength(u, isSigned && s < 0, lengthBits));
    }
  }
  return true;
}

}  // namespace logging::detail
