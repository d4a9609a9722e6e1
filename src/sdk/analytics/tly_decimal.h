// TLYDecimal: the decimal number type of analytics prices.
//
// A value is sign x mantissa x 10^exponent with a mantissa of at most 40
// decimal digits (more digits are cut off, the exponent adjusted; the
// platform's decimal holds 39), or "not a number". Made from text ("9.99", "-1e3") or from a
// double, which is taken by its shortest round-trip decimal form, so 9.99 is exactly 9.99.
// Multiplying by a power of ten is exact (only the exponent moves).
//
// greatestFiniteMagnitude() is the largest value of the platform's decimal
// type: (2^128 - 1) x 10^127.
//
// Thread safety: a value.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace sdk {

class TLYDecimal {
 public:
  TLYDecimal() = default;  // zero
  // Implicit so that a price can be written as 9.99.
  TLYDecimal(double value);     // NOLINT(google-explicit-constructor)
  TLYDecimal(long long value);  // NOLINT(google-explicit-constructor)
  TLYDecimal(int value) : TLYDecimal(static_cast<long long>(value)) {}  // NOLINT
  // Decimal text: optional sign, digits with an optional point, optional
  // exponent ("e" or "E"). nullopt for anything else, and for exponents
  // beyond +-1000.
  static std::optional<TLYDecimal> fromString(std::string_view text);
  static TLYDecimal notANumber();
  static TLYDecimal greatestFiniteMagnitude();

  bool isNaN() const { return nan_; }
  bool isZero() const { return !nan_ && digits_.empty(); }
  bool isNegative() const { return negative_ && !isZero(); }

  // The value times 10^power (exact).
  TLYDecimal multiplyingByPowerOf10(int power) const;
  // The value divided by 10^power (exact).
  TLYDecimal dividingByPowerOf10(int power) const { return multiplyingByPowerOf10(-power); }

  // Numeric order; NaN compares unequal and unordered with everything.
  friend bool operator==(const TLYDecimal& a, const TLYDecimal& b);
  friend bool operator<(const TLYDecimal& a, const TLYDecimal& b);
  friend bool operator>(const TLYDecimal& a, const TLYDecimal& b) { return b < a; }

  // A number Value: a signed integer when the value is whole and fits in 64
  // bits, else the nearest double (NaN for not a number).
  platform::Value toValue() const;
  double doubleValue() const;
  // Plain decimal notation ("9990000", "-0.5", "NaN").
  std::string description() const;

 private:
  static TLYDecimal fromParts(bool negative, std::string digits, long exponent);
  bool negative_ = false;
  bool nan_ = false;
  std::string digits_;  // no leading or trailing zeros; empty for zero
  long exponent_ = 0;
};

}  // namespace sdk
