#include "sdk/analytics/tly_decimal.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace sdk {
namespace {

constexpr std::size_t kMaxDigits = 40;  // more than a 128-bit mantissa (39 digits) needs

}  // namespace

TLYDecimal TLYDecimal::fromParts(bool negative, std::string digits, long exponent) {
  TLYDecimal d;
  std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return d;  // zero
  digits.erase(0, first);
  if (digits.size() > kMaxDigits) {
    exponent += static_cast<long>(digits.size() - kMaxDigits);
    digits.resize(kMaxDigits);
  }
  std::size_t last = digits.find_last_not_of('0');
  exponent += static_cast<long>(digits.size() - last - 1);
  digits.resize(last + 1);
  d.negative_ = negative;
  d.digits_ = std::move(digits);
  d.exponent_ = exponent;
  return d;
}

std::optional<TLYDecimal> TLYDecimal::fromString(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::string digits;
  long exponent = 0;
  bool sawDigit = false, sawPoint = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      digits += c;
      sawDigit = true;
      if (sawPoint) --exponent;
    } else if (c == '.' && !sawPoint) {
      sawPoint = true;
    } else {
      break;
    }
  }
  if (!sawDigit) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    long e = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      if (e < 100000) e = e * 10 + (text[i] - '0');
    }
    exponent += expNegative ? -e : e;
  }
  if (i != text.size()) return std::nullopt;
  // Far beyond what the platform's decimal type holds (exponents -128..127).
  if (exponent > 1000 || exponent < -1000) return std::nullopt;
  return fromParts(negative, std::move(digits), exponent);
}

TLYDecimal::TLYDecimal(double value) {
  if (std::isnan(value)) {
    nan_ = true;
    return;
  }
  if (std::isinf(value)) {
    // Beyond every decimal: the greatest magnitude with the sign.
    *this = greatestFiniteMagnitude();
    negative_ = value < 0;
    return;
  }
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  *this = *fromString(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

TLYDecimal::TLYDecimal(long long value) {
  bool negative = value < 0;
  unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                          : static_cast<unsigned long long>(value);
  *this = fromParts(negative, std::to_string(magnitude), 0);
}

TLYDecimal TLYDecimal::notANumber() {
  TLYDecimal d;
  d.nan_ = true;
  return d;
}

TLYDecimal TLYDecimal::greatestFiniteMagnitude() {
  return fromParts(false, "340282366920938463463374607431768211455", 127);
}

TLYDecimal TLYDecimal::multiplyingByPowerOf10(int power) const {
  TLYDecimal d = *this;
  if (!d.nan_ && !d.digits_.empty()) d.exponent_ += power;
  return d;
}

bool operator==(const TLYDecimal& a, const TLYDecimal& b) {
  if (a.nan_ || b.nan_) return false;
  if (a.isZero() && b.isZero()) return true;
  return a.negative_ == b.negative_ && a.digits_ == b.digits_ && a.exponent_ == b.exponent_;
}

bool operator<(const TLYDecimal& a, const TLYDecimal& b) {
  if (a.nan_ || b.nan_) return false;
  int signA = a.isZero() ? 0 : (a.negative_ ? -1 : 1);
  int signB = b.isZero() ? 0 : (b.negative_ ? -1 : 1);
  if (signA != signB) return signA < signB;
  if (signA == 0) return false;
  // Same sign: compare magnitudes (the position of the leading digit first).
  long topA = static_cast<long>(a.digits_.size()) + a.exponent_;
  long topB = static_cast<long>(b.digits_.size()) + b.exponent_;
  int magnitude;  // -1: |a| < |b|, 0 equal, 1 greater
  if (topA != topB) {
    magnitude = topA < topB ? -1 : 1;
  } else {
    int c = a.digits_.compare(b.digits_);  // same leading position: digit order
    magnitude = c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return signA > 0 ? magnitude < 0 : magnitude > 0;
}

double TLYDecimal::doubleValue() const {
  if (nan_) return std::numeric_limits<double>::quiet_NaN();
  if (digits_.empty()) return 0;
  std::string text = (negative_ ? "-" : "") + digits_ + "e" + std::to_string(exponent_);
  return std::strtod(text.c_str(), nullptr);
}

platform::Value TLYDecimal::toValue() const {
  if (nan_) return platform::Value(std::numeric_limits<double>::quiet_NaN());
  if (digits_.empty()) return platform::Value(static_cast<std::int64_t>(0));
  if (exponent_ >= 0 && static_cast<long>(digits_.size()) + exponent_ <= 18) {
    std::int64_t n = 0;
    for (char c : digits_) n = n * 10 + (c - '0');
    for (long i = 0; i < exponent_; ++i) n *= 10;
    return platform::Value(negative_ ? -n : n);
  }
  return platform::Value(doubleValue());
}

std::string TLYDecimal::description() const {
  if (nan_) return "NaN";
  if (digits_.empty()) return "0";
  std::string out = negative_ ? "-" : "";
  long size = static_cast<long>(digits_.size());
  if (exponent_ >= 0) {
    out += digits_ + std::string(static_cast<std::size_t>(exponent_), '0');
  } else if (-exponent_ < size) {
    out += digits_.substr(0, static_cast<std::size_t>(size + exponent_)) + "." +
           digits_.substr(static_cast<std::size_t>(size + exponent_));
  } else {
    out += "0." + std::string(static_cast<std::size_t>(-exponent_ - size), '0') + digits_;
  }
  return out;
}

}  // namespace sdk
