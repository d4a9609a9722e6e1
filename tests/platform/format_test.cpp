#include "platform/foundation/format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <limits>
#include <memory>

#include "platform/foundation/error.h"

namespace platform {
namespace {

struct Named {
  std::string description() const { return "<Named>"; }
};

TEST(FormatTest, PlainTextAndPercent) {
  EXPECT_EQ(format("plain"), "plain");
  EXPECT_EQ(format(""), "");
  EXPECT_EQ(format("100%%"), "100%");
  EXPECT_EQ(format("%%%d%%", 5), "%5%");
  EXPECT_EQ(format("trailing %"), "trailing %");
  EXPECT_EQ(format("odd %5"), "odd %5");
  EXPECT_EQ(format("%y is kept", 1), "%y is kept");
}

TEST(FormatTest, ObjectConversion) {
  EXPECT_EQ(format("[%@] %@\n", "tag", std::string("msg")), "[tag] msg\n");
  EXPECT_EQ(format("%@/ping/", Value("https://host")), "https://host/ping/");
  EXPECT_EQ(format("%@", Value::array({1, "a b"})), "(\n    1,\n    \"a b\"\n)");
  EXPECT_EQ(format("%@ %@ %@", 42, std::uint64_t{7}, 1.5), "42 7 1.5");
  EXPECT_EQ(format("%@", true), "1");
  EXPECT_EQ(format("%@", Value()), "(null)");
  EXPECT_EQ(format("%@", static_cast<const char*>(nullptr)), "(null)");
  EXPECT_EQ(format("%@", Named{}), "<Named>");
  EXPECT_EQ(format("%@", std::make_shared<Named>()), "<Named>");
  EXPECT_EQ(format("%@", std::shared_ptr<Named>()), "(null)");
  EXPECT_EQ(format("%@", Error("D", 3)),
            "Error Domain=D Code=3 \"The operation couldn\u2019t be completed. (D error 3.)\"");
  EXPECT_EQ(format("%@", std::string_view("view")), "view");
}

TEST(FormatTest, PositionalArguments) {
  EXPECT_EQ(format("%2$@ before %1$@", "one", "two"), "two before one");
  EXPECT_EQ(format("%1$@-%1$@", "x"), "x-x");
  EXPECT_EQ(format("%2$d/%1$04ld", 7, 3), "3/0007");
  EXPECT_EQ(format("%3$@", "a", "b"), "");  // missing positional argument
}

TEST(FormatTest, IntegerConversions) {
  EXPECT_EQ(format("%d %i", -5, 6), "-5 6");
  EXPECT_EQ(format("%04ld:%02ld", 7L, 5L), "0007:05");
  EXPECT_EQ(format("%03d", 9), "009");
  EXPECT_EQ(format("%5d|%-5d|", 42, 42), "   42|42   |");
  EXPECT_EQ(format("%+d", 3), "+3");
  EXPECT_EQ(format("%lu %llu %zu", 1UL, 2ULL, std::size_t{3}), "1 2 3");
  EXPECT_EQ(format("%qd", std::int64_t{-9}), "-9");
  EXPECT_EQ(format("%d", std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(format("%d", std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(format("%x %X %o", 255, 255, 8), "ff FF 10");
  EXPECT_EQ(format("%#x", 255), "0xff");
  EXPECT_EQ(format("%08x", 0xbeef), "0000beef");
  EXPECT_EQ(format("%x", -1), "ffffffff");
  EXPECT_EQ(format("%lx", -1L), "ffffffffffffffff");
  EXPECT_EQ(format("%hhx", -1), "ff");
  EXPECT_EQ(format("%u", -1), "4294967295");
  EXPECT_EQ(format("%ld", 3.99), "3");
  EXPECT_EQ(format("%d", Value("12")), "12");
  EXPECT_EQ(format("%d", true), "1");
  EXPECT_EQ(format("%c%c", 'o', 'k'), "ok");
  EXPECT_EQ(format("%c", 0x20AC), "\u20AC");
  EXPECT_EQ(format("%*d|%-*d|", 4, 1, 3, 2), "   1|2  |");
}

TEST(FormatTest, RealConversions) {
  EXPECT_EQ(format("%.2f", 3.14159), "3.14");
  EXPECT_EQ(format("%f", 1.5), "1.500000");
  EXPECT_EQ(format("%8.3f|", -2.0), "  -2.000|");
  EXPECT_EQ(format("%e", 12345.0), "1.234500e+04");
  EXPECT_EQ(format("%g %G", 0.0001, 1e-10), "0.0001 1E-10");
  EXPECT_EQ(format("%.1f", 2), "2.0");
  EXPECT_EQ(format("%.0f", Value(2.5)), "2");
  EXPECT_EQ(format("%.*f", 1, 0.25f), "0.2");
}

TEST(FormatTest, RealsIgnoreTheUserLocale) {
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = previous ? previous : "C";
  // Any locale with a decimal comma will do; skip when none is installed.
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
    GTEST_SKIP() << "no locale with a decimal comma installed";
  }
  EXPECT_EQ(format("%.1f", 1.5), "1.5");
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(FormatTest, StringConversions) {
  EXPECT_EQ(format("%s", "abc"), "abc");
  EXPECT_EQ(format("%-10s|", "abc"), "abc       |");
  EXPECT_EQ(format("%10s|", "abc"), "       abc|");
  EXPECT_EQ(format("%.2s", "abc"), "ab");
  EXPECT_EQ(format("%s", Value(7)), "7");
  EXPECT_EQ(format("%s", Value::dictionary({{"k", "v"}})), "{\n    k = v;\n}");
  EXPECT_EQ(format("%s", static_cast<const char*>(nullptr)), "(null)");
  // Width and precision count characters, not bytes, and never split one.
  EXPECT_EQ(format("%-4s|", "\u00e9t\u00e9"), "\u00e9t\u00e9 |");
  EXPECT_EQ(format("%.1s", "\u00e9t\u00e9"), "\u00e9");
  EXPECT_EQ(format("%5@|", "ab"), "   ab|");
}

TEST(FormatTest, PointersAndMissingOrExtraArguments) {
  int x = 0;
  const std::string p = format("%p", static_cast<const void*>(&x));
  EXPECT_EQ(p.rfind("0x", 0), 0u);
  EXPECT_EQ(format("%p", static_cast<const void*>(nullptr)), "0x0");
  EXPECT_EQ(format("%@ and %@", "one"), "one and ");
  EXPECT_EQ(format("%d", 1, 2, 3), "1");
  EXPECT_EQ(format("%n%d", 5), "5");  // %n never writes anywhere
  std::string big(5000, 'x');
  EXPECT_EQ(format("%s!", big), big + "!");
  EXPECT_EQ(format("%4000d", 1).size(), 4000u);
}

}  // namespace
}  // namespace platform
