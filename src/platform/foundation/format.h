// platform::format: printf-style formatting that also understands "%@"
// (an object's description) and positional arguments ("%1$@", "%2$d").
//
// Conversions: %@ %d %i %u %x %X %o %c %s %f %F %e %E %g %G %p %%, with
// flags, width, precision and the length modifiers h hh l ll q z t j L
// (accepted and ignored: every integer argument is 64-bit here; only a
// negative argument of %u %x %X %o without l/ll/q/z/t/j is read at 32 bits,
// or 16/8 with h/hh, as C would print it). %ld of a
// double argument prints the truncated value; %@ of a number prints its
// description; %s of a Value prints its description. Missing arguments
// print nothing; extra arguments are ignored; %n writes nothing; an unknown
// conversion is copied as it stands. Width and precision of %@, %s and %c
// count characters (UTF-8 code points). Numbers always use '.' as the
// decimal point, whatever the process locale.
//
// Thread safety: pure function.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/foundation/value.h"

namespace platform {

class Error;

// Anything with a `std::string description() const` member prints with %@.
template <class T>
concept Describable = requires(const T& t) {
  { t.description() } -> std::convertible_to<std::string>;
};

class FormatArg {
 public:
  enum class Kind { Value, Signed, Unsigned, Real, Pointer };

  FormatArg(const Value& v) : kind_(Kind::Value), value_(v) {}
  FormatArg(std::string_view s) : kind_(Kind::Value), value_(s) {}
  FormatArg(const std::string& s) : kind_(Kind::Value), value_(std::string_view(s)) {}
  FormatArg(const char* s) : kind_(Kind::Value), value_(s ? Value(s) : Value()) {}
  FormatArg(bool b) : kind_(Kind::Signed), i_(b ? 1 : 0) {}
  template <std::integral T>
  requires(!std::same_as<T, bool>) FormatArg(T n) {
    if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::Signed;
      i_ = n;
    } else {
      kind_ = Kind::Unsigned;
      u_ = n;
    }
  }
  FormatArg(double d) : kind_(Kind::Real), d_(d) {}
  FormatArg(float d) : kind_(Kind::Real), d_(d) {}
  FormatArg(const void* p) : kind_(Kind::Pointer), p_(p) {}
  template <Describable T>
  FormatArg(const T& t) : kind_(Kind::Value), value_(std::string(t.description())) {}
  template <Describable T>
  FormatArg(const std::shared_ptr<T>& t)
      : kind_(Kind::Value), value_(t ? Value(std::string(t->description())) : Value()) {}

  Kind kind() const { return kind_; }
  const Value& value() const { return value_; }
  std::int64_t asSigned() const;
  std::uint64_t asUnsigned() const;
  double asReal() const;
  const void* pointer() const { return p_; }

 private:
  Kind kind_ = Kind::Value;
  Value value_;
  std::int64_t i_ = 0;
  std::uint64_t u_ = 0;
  double d_ = 0;
  const void* p_ = nullptr;
};

std::string formatArgs(std::string_view fmt, std::initializer_list<FormatArg> args);

template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
  return formatArgs(fmt, {FormatArg(args)...});
}

}  // namespace platform
