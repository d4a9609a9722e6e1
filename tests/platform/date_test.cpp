#include "platform/foundation/date.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace platform {
namespace {

// 2026-12-08 19:32:44.123 UTC, a Tuesday.
constexpr double kSample = 1796758364.123;

class DateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    hadTZ_ = tz != nullptr;
    if (tz) savedTZ_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (hadTZ_) {
      setenv("TZ", savedTZ_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void useZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

 private:
  bool hadTZ_ = false;
  std::string savedTZ_;
};

TEST_F(DateTest, Arithmetic) {
  Date d(100);
  EXPECT_EQ(d.addingTimeInterval(5.5).timeIntervalSince1970(), 105.5);
  EXPECT_EQ(d.timeIntervalSince(Date(40)), 60);
  EXPECT_LT(Date::distantPast(), d);
  EXPECT_GT(Date::distantFuture(), Date::now());
  EXPECT_NEAR(Date::now().timeIntervalSinceNow(), 0, 5);
}

TEST_F(DateTest, FormatsThePatternsTheProgramUses) {
  const Date d(kSample);
  EXPECT_EQ(formatDate(d, "dd/MM/yy HH:mm:ss", true), "08/12/26 19:32:44");
  EXPECT_EQ(formatDate(d, "yyyy/MM/dd HH:mm:ss:SSS", true), "2026/12/08 19:32:44:123");
  EXPECT_EQ(formatDate(d, "yyyy-MM-dd HH:mm:ss:SSS", true), "2026-12-08 19:32:44:123");
  EXPECT_EQ(formatDate(d, "yyyy'-'MM'-'dd' 'HH'-'mm'", true), "2026-12-08 19-32");
  EXPECT_EQ(formatDate(d, "EEE, d MMM yyyy h:m:s a Z", true), "Tue, 8 Dec 2026 7:32:44 PM +0000");
  EXPECT_EQ(formatDate(d, "EEEE MMMM", true), "Tuesday December");
  EXPECT_EQ(formatDate(d, "'o''clock' ''", true), "o'clock '");
  EXPECT_EQ(formatDate(d, "S SS SSSS", true), "1 12 1230");
  EXPECT_EQ(formatDate(d, "ZZZZZ ZZZZ", true), "Z GMT+00:00");
}

TEST_F(DateTest, LocalZoneAndOffsets) {
  useZone("EST5");  // a fixed zone five hours west of UTC
  const Date d(kSample);
  EXPECT_EQ(formatDate(d, "yyyy-MM-dd HH:mm Z"), "2026-12-08 14:32 -0500");
  EXPECT_EQ(formatDate(d, "HH:mm ZZZZZ"), "14:32 -05:00");
  Date parsed;
  ASSERT_TRUE(parseDate("2026-12-08 14:32:44", "yyyy-MM-dd HH:mm:ss", &parsed));
  EXPECT_EQ(parsed.timeIntervalSince1970(), 1796758364);
  ASSERT_TRUE(parseDate("2026-12-08 19:32:44 +0000", "yyyy-MM-dd HH:mm:ss Z", &parsed));
  EXPECT_EQ(parsed.timeIntervalSince1970(), 1796758364);  // the given offset wins
  DateComponents c = dateComponents(d);
  EXPECT_EQ(c.hour, 14);
  EXPECT_EQ(dateComponents(d, true).hour, 19);
}

TEST_F(DateTest, MillisecondsDoNotLoseOneToRounding) {
  for (int ms : {0, 1, 7, 123, 500, 998, 999}) {
    const Date d(1700000000 + ms / 1000.0);
    EXPECT_EQ(formatDate(d, "SSS", true), std::to_string(1000 + ms).substr(1)) << ms;
    EXPECT_EQ(dateComponents(d, true).millisecond, ms);
  }
  EXPECT_EQ(formatDate(Date(-0.001), "yyyy-MM-dd HH:mm:ss.SSS", true), "1969-12-31 23:59:59.999");
}

TEST_F(DateTest, ParsesWhatItFormats) {
  const char* patterns[] = {
      "yyyy/MM/dd HH:mm:ss:SSS",    "dd/MM/yy HH:mm:ss", "yyyy'-'MM'-'dd' 'HH'-'mm'",
      "EEE, d MMM yyyy hh:mm:ss a", "yyyyMMddHHmmss",    "MMMM d yyyy HH:mm:ss.SSSZZZZZ"};
  for (const char* pattern : patterns) {
    const std::string text = formatDate(Date(kSample), pattern, true);
    Date parsed;
    ASSERT_TRUE(parseDate(text, pattern, &parsed, true)) << pattern << " " << text;
    EXPECT_EQ(formatDate(parsed, pattern, true), text) << pattern;
  }
  Date parsed;
  ASSERT_TRUE(parseDate("2026/12/08 19:32:44:123", "yyyy/MM/dd HH:mm:ss:SSS", &parsed, true));
  EXPECT_NEAR(parsed.timeIntervalSince1970(), kSample, 1e-6);
  ASSERT_TRUE(parseDate("2015-03-07 09-41", "yyyy'-'MM'-'dd' 'HH'-'mm'", &parsed, true));
  EXPECT_EQ(parsed.timeIntervalSince1970(), 1425721260);
  ASSERT_TRUE(parseDate("1/2/2024 12:00 am", "d/M/yyyy hh:mm a", &parsed, true));
  EXPECT_EQ(formatDate(parsed, "yyyy-MM-dd HH:mm", true), "2024-02-01 00:00");
  ASSERT_TRUE(parseDate("29/02/24", "dd/MM/yy", &parsed, true));
  EXPECT_EQ(formatDate(parsed, "yyyy-MM-dd", true), "2024-02-29");
  ASSERT_TRUE(parseDate("1900-03-01", "yyyy-MM-dd", &parsed, true));
  EXPECT_EQ(parsed.timeIntervalSince1970(), -2203891200);
}

TEST_F(DateTest, RejectsTextThatDoesNotMatch) {
  Date parsed(42);
  const char* p = "yyyy-MM-dd HH:mm:ss";
  EXPECT_FALSE(parseDate("", p, &parsed, true));
  EXPECT_FALSE(parseDate("2026-12-08 19:32", p, &parsed, true));
  EXPECT_FALSE(parseDate("2026-12-08 19:32:44 extra", p, &parsed, true));
  EXPECT_FALSE(parseDate("2026/12/08 19:32:44", p, &parsed, true));
  EXPECT_FALSE(parseDate("2026-13-08 19:32:44", p, &parsed, true));
  EXPECT_FALSE(parseDate("2025-02-29 19:32:44", p, &parsed, true));
  EXPECT_FALSE(parseDate("2026-12-08 24:00:00", p, &parsed, true));
  EXPECT_FALSE(parseDate("2026-12-08 19:60:00", p, &parsed, true));
  EXPECT_FALSE(parseDate("2026-12-0x 19:32:44", p, &parsed, true));
  EXPECT_FALSE(parseDate("13:00 PM", "hh:mm a", &parsed, true));
  EXPECT_FALSE(parseDate("Foo 2026", "MMM yyyy", &parsed, true));
  EXPECT_EQ(parsed.timeIntervalSince1970(), 42);  // untouched on failure
}

TEST_F(DateTest, Components) {
  DateComponents c = dateComponents(Date(kSample), true);
  EXPECT_EQ(c.year, 2026);
  EXPECT_EQ(c.month, 12);
  EXPECT_EQ(c.day, 8);
  EXPECT_EQ(c.hour, 19);
  EXPECT_EQ(c.minute, 32);
  EXPECT_EQ(c.second, 44);
  EXPECT_EQ(c.millisecond, 123);
  EXPECT_EQ(c.weekday, 3);                              // Tuesday
  EXPECT_EQ(dateComponents(Date(0), true).weekday, 5);  // Thursday
}

}  // namespace
}  // namespace platform
