// Conversions without flags, width or precision take a shorter road than
// printf; they must print exactly what printf prints, in any locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "platform/foundation/format.h"

namespace platform {
namespace {

std::string c(const char* pattern, long long v) {
  char b[64];
  std::snprintf(b, sizeof b, pattern, v);
  return b;
}

std::string cu(const char* pattern, unsigned long long v) {
  char b[64];
  std::snprintf(b, sizeof b, pattern, v);
  return b;
}

TEST(FormatPlainConversionsTest, IntegersMatchPrintf) {
  const long long values[] = {0,
                              1,
                              -1,
                              9,
                              10,
                              -10,
                              123456789,
                              -987654321,
                              1LL << 40,
                              -(1LL << 40),
                              std::numeric_limits<long long>::max(),
                              std::numeric_limits<long long>::min()};
  for (long long v : values) {
    EXPECT_EQ(format("%d", v), c("%lld", v)) << v;
    EXPECT_EQ(format("%lli", v), c("%lld", v)) << v;
    EXPECT_EQ(format("%llx", v), cu("%llx", static_cast<unsigned long long>(v))) << v;
    EXPECT_EQ(format("%llX", v), cu("%llX", static_cast<unsigned long long>(v))) << v;
    EXPECT_EQ(format("%llo", v), cu("%llo", static_cast<unsigned long long>(v))) << v;
    EXPECT_EQ(format("%llu", v), cu("%llu", static_cast<unsigned long long>(v))) << v;
  }
  const std::uint64_t big = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(format("%d", big), "18446744073709551615");
  EXPECT_EQ(format("%u", big), "18446744073709551615");
  // Without a 64-bit length a negative number is read at C's width.
  EXPECT_EQ(format("%x", -1), "ffffffff");
  EXPECT_EQ(format("%hX", -2), "FFFE");
  EXPECT_EQ(format("%hhu", -1), "255");
  EXPECT_EQ(format("%o", 8), "10");
}

TEST(FormatPlainConversionsTest, FlagsWidthAndPrecisionStillApply) {
  EXPECT_EQ(format("%5d|%-5d|%05d|%+d", 42, 42, 42, 42), "   42|42   |00042|+42");
  EXPECT_EQ(format("%#x %.3d", 255, 7), "0xff 007");
  EXPECT_EQ(format("%'d", 1234567), "1234567");
  EXPECT_EQ(format("[%6@][%-4s][%.2@]", "ab", "cd", "xyz"), "[    ab][cd  ][xy]");
}

TEST(FormatPlainConversionsTest, StringsAndMixedRecords) {
  EXPECT_EQ(format("connection %d state %@ bytes %llu", 7, "CONNECTED", std::uint64_t{1234567}),
            "connection 7 state CONNECTED bytes 1234567");
  EXPECT_EQ(format("%s|%@", std::string("a"), std::string("")), "a|");
  EXPECT_EQ(format("%s", Value()), "(null)");
  EXPECT_EQ(format("%d %@", Value(12), Value(-3)), "12 -3");
  EXPECT_EQ(format("%2$@-%1$d", 5, "x"), "x-5");
}

TEST(FormatPlainConversionsTest, NumbersIgnoreTheProcessLocale) {
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = previous ? previous : "C";
  bool set = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr ||
             std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") != nullptr;
  EXPECT_EQ(format("%d %f %.1f %g", 1234567, 1.5, 2.25, 0.5), "1234567 1.500000 2.2 0.5");
  std::setlocale(LC_NUMERIC, saved.c_str());
  if (!set) GTEST_SKIP() << "no locale with a decimal comma installed";
}

}  // namespace
}  // namespace platform
