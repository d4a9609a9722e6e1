#include "sdk/analytics/tly_decimal.h"

#include <gtest/gtest.h>

#include <cmath>

namespace sdk {
namespace {

TEST(TLYDecimalTest, DoublesAreTakenByTheirShortestDecimalFormSoPricesScaleExactly) {
  TLYDecimal price(9.99);
  EXPECT_EQ(price.description(), "9.99");
  platform::Value micros = price.multiplyingByPowerOf10(6).toValue();
  ASSERT_TRUE(micros.isInt());
  EXPECT_EQ(micros.asInt64(), 9990000);
  // 0.1 + 0.2 as a double is 0.30000000000000004: kept exactly, as a real.
  EXPECT_EQ(TLYDecimal(0.1 + 0.2).description(), "0.30000000000000004");
  EXPECT_EQ(TLYDecimal(-0.5).description(), "-0.5");
  EXPECT_EQ(TLYDecimal(1234567).multiplyingByPowerOf10(6).toValue().asInt64(), 1234567000000);
}

TEST(TLYDecimalTest, TextParsesWithPointAndExponentAndRefusesAnythingElse) {
  EXPECT_EQ(TLYDecimal::fromString("12.50")->description(), "12.5");
  EXPECT_EQ(TLYDecimal::fromString("-1e3")->description(), "-1000");
  EXPECT_EQ(TLYDecimal::fromString("0.000120")->description(), "0.00012");
  EXPECT_EQ(TLYDecimal::fromString("+.5E+1")->description(), "5");
  EXPECT_FALSE(TLYDecimal::fromString(""));
  EXPECT_FALSE(TLYDecimal::fromString("1.2.3"));
  EXPECT_FALSE(TLYDecimal::fromString("12abc"));
  EXPECT_FALSE(TLYDecimal::fromString("1e"));
  EXPECT_FALSE(TLYDecimal::fromString("1e5000"));
}

TEST(TLYDecimalTest, OrderAndTheLimitOfThePlatformsDecimal) {
  TLYDecimal max = TLYDecimal::greatestFiniteMagnitude();
  TLYDecimal limit = max.dividingByPowerOf10(6);
  EXPECT_EQ(limit, *TLYDecimal::fromString("340282366920938463463374607431768211455e121"));
  EXPECT_FALSE(limit > limit);
  EXPECT_TRUE(*TLYDecimal::fromString("340282366920938463463374607431768211456e121") > limit);
  EXPECT_TRUE(*TLYDecimal::fromString("1e160") > limit);
  EXPECT_FALSE(*TLYDecimal::fromString("1e159") > limit);
  EXPECT_TRUE(TLYDecimal(-5) < TLYDecimal(-4.5));
  EXPECT_TRUE(TLYDecimal(0) < TLYDecimal(0.001));
  EXPECT_TRUE(TLYDecimal(2) < TLYDecimal(10));
  EXPECT_TRUE(TLYDecimal(0) == TLYDecimal(-0.0));
  TLYDecimal nan = TLYDecimal::notANumber();
  EXPECT_FALSE(nan > limit);
  EXPECT_FALSE(nan == nan);
  EXPECT_TRUE(std::isnan(nan.toValue().asDouble()));
  EXPECT_TRUE(TLYDecimal(1e300) > limit);
}

}  // namespace
}  // namespace sdk
