// platform::Date: a point in time as seconds since 1 January 1970 UTC
// (a double, like the platform's date), plus the small date-pattern
// formatter the program needs ("dd/MM/yy HH:mm:ss", "yyyy/MM/dd HH:mm:ss:SSS").
//
// Thread safety: values; the free functions may be called from any thread.
#pragma once

#include <compare>
#include <string>
#include <string_view>

namespace platform {

class Date {
 public:
  constexpr Date() = default;
  constexpr explicit Date(double secondsSince1970) : t_(secondsSince1970) {}
  static Date now();
  static constexpr Date distantFuture() { return Date(64092211200.0); }
  static constexpr Date distantPast() { return Date(-62135769600.0); }
  constexpr double timeIntervalSince1970() const { return t_; }
  constexpr double timeIntervalSince(Date other) const { return t_ - other.t_; }
  double timeIntervalSinceNow() const;
  constexpr Date addingTimeInterval(double seconds) const { return Date(t_ + seconds); }
  friend constexpr auto operator<=>(Date a, Date b) = default;

 private:
  double t_ = 0;
};

// Formats a date with a Unicode date pattern. Supported fields: yyyy, yy,
// MM, M, dd, d, HH, H, hh, h, mm, m, ss, s, SSS (and S...), a, EEE, MMM,
// Z; text in single quotes is copied; other characters are copied as they
// are. `utc` false uses the local time zone.
std::string formatDate(Date date, std::string_view pattern, bool utc = false);

// Parses text written with the same pattern subset; false when it does not
// match the whole text or names an impossible date (31 February, hour 24).
// Fields the pattern lacks default to 1970-01-01 00:00:00. A "Z" field in the
// text ("+0100", "-05:00", "Z") wins over `utc`. "yy" takes the century that
// puts the year within 80 years before and 20 after the current one.
// `out` is left untouched on failure.
bool parseDate(std::string_view text, std::string_view pattern, Date* out, bool utc = false);

// Broken-down local (or UTC) time with milliseconds.
struct DateComponents {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
  int weekday = 5;  // 1 = Sunday ... 7 = Saturday
};
DateComponents dateComponents(Date date, bool utc = false);

}  // namespace platform
