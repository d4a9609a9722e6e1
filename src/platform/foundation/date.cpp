#include "platform/foundation/date.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <vector>

namespace platform {

namespace {

constexpr const char* kMonthShort[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kMonthLong[] = {"January",   "February", "March",    "April",
                                      "May",       "June",     "July",     "August",
                                      "September", "October",  "November", "December"};
constexpr const char* kDayShort[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kDayLong[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                    "Thursday", "Friday", "Saturday"};

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = floorDiv(y, 400);
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool isLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(std::int64_t y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// The broken-down time of a date, with microseconds and the offset from UTC.
struct Broken {
  std::tm tm{};
  int micros = 0;
  long offset = 0;  // seconds east of UTC
};

Broken breakDown(Date date, bool utc) {
  Broken b;
  const double t = date.timeIntervalSince1970();
  // Whole microseconds first, so that 0.123 gives 123 ms and not 122.
  const double clamped = std::isfinite(t) ? std::fmax(std::fmin(t, 9.0e12), -9.0e12) : 0.0;
  const std::int64_t us = std::llround(clamped * 1e6);
  const std::int64_t secs = floorDiv(us, 1000000);
  b.micros = static_cast<int>(us - secs * 1000000);
  std::time_t tt = static_cast<std::time_t>(secs);
  if (utc) {
    gmtime_r(&tt, &b.tm);
  } else {
    localtime_r(&tt, &b.tm);
    b.offset = b.tm.tm_gmtoff;
  }
  return b;
}

void appendNumber(std::string& out, std::int64_t n, int width) {
  std::string digits = std::to_string(n < 0 ? -n : n);
  if (n < 0) out += '-';
  if (static_cast<int>(digits.size()) < width) out.append(width - digits.size(), '0');
  out += digits;
}

void appendOffset(std::string& out, long offset, bool colon) {
  out += offset < 0 ? '-' : '+';
  const long a = offset < 0 ? -offset : offset;
  appendNumber(out, a / 3600, 2);
  if (colon) out += ':';
  appendNumber(out, (a / 60) % 60, 2);
}

// One piece of a pattern: a run of one field letter, or literal text.
struct Token {
  char field = 0;  // 0 for literal text
  int count = 0;
  std::string literal;
};

bool isPatternLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::vector<Token> tokenize(std::string_view pattern) {
  std::vector<Token> tokens;
  auto literal = [&](std::string_view text) {
    if (tokens.empty() || tokens.back().field != 0) tokens.push_back(Token{});
    tokens.back().literal.append(text);
  };
  std::size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '\'') {
      if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
        literal("'");
        i += 2;
        continue;
      }
      // Quoted text up to the closing quote; '' inside stands for one quote.
      ++i;
      while (i < pattern.size()) {
        if (pattern[i] == '\'') {
          if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
            literal("'");
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        literal(pattern.substr(i, 1));
        ++i;
      }
      continue;
    }
    if (isPatternLetter(c)) {
      std::size_t j = i;
      while (j < pattern.size() && pattern[j] == c) ++j;
      tokens.push_back(Token{c, static_cast<int>(j - i), {}});
      i = j;
      continue;
    }
    literal(pattern.substr(i, 1));
    ++i;
  }
  return tokens;
}

bool isNumericField(const Token& t) {
  switch (t.field) {
    case 'y':
    case 'd':
    case 'H':
    case 'h':
    case 'K':
    case 'k':
    case 'm':
    case 's':
    case 'S':
      return true;
    case 'M':
      return t.count <= 2;
    default:
      return false;
  }
}

}  // namespace

Date Date::now() {
  using namespace std::chrono;
  return Date(duration<double>(system_clock::now().time_since_epoch()).count());
}

double Date::timeIntervalSinceNow() const { return t_ - now().t_; }

std::string formatDate(Date date, std::string_view pattern, bool utc) {
  const Broken b = breakDown(date, utc);
  const std::tm& tm = b.tm;
  std::string out;
  for (const Token& t : tokenize(pattern)) {
    const int n = t.count;
    switch (t.field) {
      case 0:
        out += t.literal;
        break;
      case 'y':
        if (n == 2) {
          appendNumber(out, (tm.tm_year + 1900) % 100, 2);
        } else {
          appendNumber(out, tm.tm_year + 1900, n);
        }
        break;
      case 'M':
        if (n >= 4) {
          out += kMonthLong[tm.tm_mon];
        } else if (n == 3) {
          out += kMonthShort[tm.tm_mon];
        } else {
          appendNumber(out, tm.tm_mon + 1, n);
        }
        break;
      case 'd':
        appendNumber(out, tm.tm_mday, n);
        break;
      case 'H':
        appendNumber(out, tm.tm_hour, n);
        break;
      case 'k':
        appendNumber(out, tm.tm_hour == 0 ? 24 : tm.tm_hour, n);
        break;
      case 'h':
        appendNumber(out, tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12, n);
        break;
      case 'K':
        appendNumber(out, tm.tm_hour % 12, n);
        break;
      case 'm':
        appendNumber(out, tm.tm_min, n);
        break;
      case 's':
        appendNumber(out, tm.tm_sec, n);
        break;
      case 'S': {
        // Fractional seconds, truncated to n digits.
        std::string digits;
        appendNumber(digits, b.micros, 6);
        if (n <= 6) {
          out += digits.substr(0, static_cast<std::size_t>(n));
        } else {
          out += digits;
          out.append(static_cast<std::size_t>(n - 6), '0');
        }
        break;
      }
      case 'a':
        out += tm.tm_hour < 12 ? "AM" : "PM";
        break;
      case 'E':
        out += n >= 4 ? kDayLong[tm.tm_wday] : kDayShort[tm.tm_wday];
        break;
      case 'Z':
        if (n == 5) {
          if (b.offset == 0) {
            out += 'Z';
          } else {
            appendOffset(out, b.offset, true);
          }
        } else if (n == 4) {
          out += "GMT";
          appendOffset(out, b.offset, true);
        } else {
          appendOffset(out, b.offset, false);
        }
        break;
      default:
        out.append(static_cast<std::size_t>(n), t.field);
    }
  }
  return out;
}

bool parseDate(std::string_view text, std::string_view pattern, Date* out, bool utc) {
  const std::vector<Token> tokens = tokenize(pattern);
  std::int64_t year = 1970;
  int month = 1, day = 1, hour = 0, minute = 0, second = 0;
  int hour12 = -1;  // from h or K, combined with "a"
  int pm = -1;      // -1 unknown, 0 AM, 1 PM
  std::int64_t micros = 0;
  bool haveOffset = false;
  long offset = 0;

  std::size_t pos = 0;
  // Reads between minDigits and maxDigits digits.
  auto readDigits = [&](int minDigits, int maxDigits, std::int64_t* value, int* used) {
    std::int64_t v = 0;
    int k = 0;
    while (k < maxDigits && pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      v = v * 10 + (text[pos] - '0');
      ++pos;
      ++k;
    }
    if (k < minDigits) return false;
    *value = v;
    if (used) *used = k;
    return true;
  };
  auto matchWord = [&](const char* const* words, int count, int* index) {
    for (int w = 0; w < count; ++w) {
      const std::string_view word(words[w]);
      if (text.size() - pos < word.size()) continue;
      bool equal = true;
      for (std::size_t c = 0; c < word.size() && equal; ++c) {
        const char a = text[pos + c], b = word[c];
        equal = (a | 0x20) == (b | 0x20);
      }
      if (equal) {
        pos += word.size();
        *index = w;
        return true;
      }
    }
    return false;
  };

  for (std::size_t ti = 0; ti < tokens.size(); ++ti) {
    const Token& t = tokens[ti];
    const bool fixedWidth = ti + 1 < tokens.size() && isNumericField(tokens[ti + 1]);
    const int n = t.count;
    std::int64_t v = 0;
    int used = 0;
    auto number = [&](int defaultMax) {
      if (fixedWidth) return readDigits(n, n, &v, &used);
      return readDigits(1, n > defaultMax ? n : defaultMax, &v, &used);
    };
    switch (t.field) {
      case 0:
        if (text.substr(pos, t.literal.size()) != t.literal) return false;
        pos += t.literal.size();
        break;
      case 'y':
        if (!number(n == 2 ? 2 : 9)) return false;
        if (n == 2 && used == 2) {
          // Two-digit years fall within 80 years before and 20 after this year.
          std::time_t now = std::time(nullptr);
          std::tm nowTm{};
          gmtime_r(&now, &nowTm);
          const int thisYear = nowTm.tm_year + 1900;
          year = (thisYear / 100) * 100 + v;
          if (year > thisYear + 20) year -= 100;
          if (year <= thisYear - 80) year += 100;
        } else {
          year = v;
        }
        break;
      case 'M':
        if (n >= 3) {
          int index = 0;
          if (!matchWord(n >= 4 ? kMonthLong : kMonthShort, 12, &index)) return false;
          month = index + 1;
        } else {
          if (!number(2)) return false;
          month = static_cast<int>(v);
        }
        break;
      case 'd':
        if (!number(2)) return false;
        day = static_cast<int>(v);
        break;
      case 'H':
      case 'k':
        if (!number(2)) return false;
        if (t.field == 'k' && v == 24) v = 0;
        if (v > 23) return false;
        hour = static_cast<int>(v);
        break;
      case 'h':
      case 'K':
        if (!number(2)) return false;
        if (t.field == 'h' && (v < 1 || v > 12)) return false;
        if (t.field == 'K' && v > 11) return false;
        hour12 = static_cast<int>(v % 12);
        break;
      case 'm':
        if (!number(2) || v > 59) return false;
        minute = static_cast<int>(v);
        break;
      case 's':
        if (!number(2) || v > 59) return false;
        second = static_cast<int>(v);
        break;
      case 'S': {
        if (!number(9)) return false;
        std::int64_t scaled = v;
        for (int k = used; k < 6; ++k) scaled *= 10;
        for (int k = used; k > 6; --k) scaled /= 10;
        micros = scaled;
        break;
      }
      case 'a': {
        static constexpr const char* kAmPm[] = {"AM", "PM"};
        int index = 0;
        if (!matchWord(kAmPm, 2, &index)) return false;
        pm = index;
        break;
      }
      case 'E': {
        int index = 0;
        if (!matchWord(n >= 4 ? kDayLong : kDayShort, 7, &index)) return false;
        break;  // the weekday is checked by nothing; the date decides
      }
      case 'Z': {
        if (pos < text.size() && text[pos] == 'Z') {
          ++pos;
          haveOffset = true;
          offset = 0;
          break;
        }
        if (text.substr(pos, 3) == "GMT" || text.substr(pos, 3) == "UTC") pos += 3;
        if (pos >= text.size() || (text[pos] != '+' && text[pos] != '-')) return false;
        const bool negative = text[pos++] == '-';
        std::int64_t hh = 0, mm = 0;
        if (!readDigits(2, 2, &hh, nullptr)) return false;
        if (pos < text.size() && text[pos] == ':') ++pos;
        if (!readDigits(2, 2, &mm, nullptr)) return false;
        if (hh > 23 || mm > 59) return false;
        offset = static_cast<long>((hh * 3600 + mm * 60) * (negative ? -1 : 1));
        haveOffset = true;
        break;
      }
      default:
        // A letter this parser does not know must appear as it stands.
        for (int k = 0; k < n; ++k) {
          if (pos >= text.size() || text[pos] != t.field) return false;
          ++pos;
        }
    }
  }
  if (pos != text.size()) return false;
  if (hour12 >= 0)
    hour = hour12 + (pm == 1 ? 12 : 0);
  else if (pm == 1 && hour < 12)
    hour += 12;
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return false;
  if (year < -1000000 || year > 1000000) return false;

  double seconds;
  if (utc || haveOffset) {
    const std::int64_t days = daysFromCivil(year, month, day);
    seconds = static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second - offset);
  } else {
    std::tm tm{};
    tm.tm_year = static_cast<int>(year - 1900);
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    seconds = static_cast<double>(t);
  }
  if (out) *out = Date(seconds + static_cast<double>(micros) / 1e6);
  return true;
}

DateComponents dateComponents(Date date, bool utc) {
  const Broken b = breakDown(date, utc);
  DateComponents c;
  c.year = b.tm.tm_year + 1900;
  c.month = b.tm.tm_mon + 1;
  c.day = b.tm.tm_mday;
  c.hour = b.tm.tm_hour;
  c.minute = b.tm.tm_min;
  c.second = b.tm.tm_sec;
  c.millisecond = b.micros / 1000;
  c.weekday = b.tm.tm_wday + 1;
  return c;
}

}  // namespace platform
