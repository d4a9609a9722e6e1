// The dispatcher's own formatting of the common case: a format whose
// conversions carry no flags, width, precision or position, of text and
// whole-number arguments. It writes into a caller's buffer the very text
// platform::format writes, without making a Value of each argument; for
// anything else it declines and the caller goes through platform::format.
//
// Understood: literal text, "%%", and %@ %s %d %i %u %x %X %o with the
// length modifiers h hh l ll q z t j L, each followed by an argument or by
// none (a missing argument prints nothing; extra ones are ignored), exactly
// as platform::format treats them.
//
// Thread safety: pure functions.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace logging::detail {

template <class T>
concept LogText = std::same_as<std::decay_t<T>, std::string> ||
                  std::same_as<std::decay_t<T>, std::string_view> || std::same_as < std::decay_t<T>,
const char* > || std::same_as<std::decay_t<T>, char*>;

// True for argument types LogArg takes as text or as a number.
template <class T>
inline constexpr bool kPlainArgument = LogText<T> || std::integral<std::remove_cvref_t<T>>;

// An argument as the plain formatter sees it.
class LogArg {
 public:
  enum class Kind : unsigned char { Text, Signed, Unsigned, Other };

  LogArg() = default;  // Other
  LogArg(const char* s) {
    if (s) {
      kind_ = Kind::Text;
      text_ = s;
    }
  }
  LogArg(const std::string& s) : kind_(Kind::Text), text_(s) {}
  LogArg(std::string_view s) : kind_(Kind::Text), text_(s) {}
  LogArg(bool b) : kind_(Kind::Signed), i_(b ? 1 : 0) {}
  template <std::integral T>
  requires(!std::same_as<T, bool>) LogArg(T n) {
    if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::Signed;
      i_ = n;
    } else {
      kind_ = Kind::Unsigned;
      u_ = n;
    }
  }
  // Anything else is left to platform::format.
  template <class T>
  requires(!kPlainArgument<T>) LogArg(const T&) {}

  Kind kind() const { return kind_; }
  std::string_view text() const { return text_; }
  std::int64_t asSigned() const { return i_; }
  std::uint64_t asUnsigned() const { return u_; }

 private:
  Kind kind_ = Kind::Other;
  std::string_view text_;
  std::int64_t i_ = 0;
  std::uint64_t u_ = 0;
};

// Appends `format` with `args` to `out` and answers true, or answers false
// (leaving `out` partly written) when the format or an argument needs
// platform::format.
bool appendPlainFormat(std::string& out, std::string_view format, const LogArg* args,
                       std::size_t count);

}  // namespace logging::detail
