#include "sdk/platform/bcn_url_builder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "sdk/platform/bcn_network_operation.h"

namespace {

using platform::Value;
using sdk::BCNNetworkOperation;
using sdk::BCNURLBuilder;

TEST(BCNURLBuilderTest, PiecesAreAppendedAsTheCallerGivesThem) {
  auto builder = BCNURLBuilder::URLWithBase("https://127.0.0.1:8443");
  builder.appendComponent("/spi/v2/platforms/");
  builder.escapeAndAppendComponent("mac");
  builder.appendComponent("/apps/");
  builder.escapeAndAppendComponent("com.example app");
  builder.appendComponent("/settings");
  EXPECT_EQ(builder.URLString(),
            "https://127.0.0.1:8443/spi/v2/platforms/mac/apps/com.example%20app/settings");
  auto url = builder.URL();
  ASSERT_TRUE(url);
  EXPECT_EQ(url->host(), "127.0.0.1");
  EXPECT_EQ(BCNURLBuilder().URLString(), "");
}

TEST(BCNURLBuilderTest, EscapingLeavesReservedCharactersAlone) {
  EXPECT_EQ(BCNURLBuilder::escapeString("a b"), "a%20b");
  EXPECT_EQ(BCNURLBuilder::escapeString("a&b"), "a&b");
  EXPECT_EQ(BCNURLBuilder::escapeString("/?&=+:;,@!$'()*#[]"), "/?&=+:;,@!$'()*#[]");
  EXPECT_EQ(BCNURLBuilder::escapeString("\"%<>{}|\\^`"), "%22%25%3C%3E%7B%7D%7C%5C%5E%60");
  EXPECT_EQ(BCNURLBuilder::escapeString("-._~AZaz09"), "-._~AZaz09");
  EXPECT_EQ(BCNURLBuilder::escapeString("\xC3\xA9"), "%C3%A9");  // é as UTF-8
  EXPECT_EQ(BCNURLBuilder::escapeString("\n"), "%0A");
}

TEST(BCNURLBuilderTest, QueryParametersStartWithQuestionMarkAndSkipNone) {
  auto builder = BCNURLBuilder::URLWithBase("https://127.0.0.1/x");
  builder.appendValue(Value(), "skipped");
  EXPECT_EQ(builder.URLString(), "https://127.0.0.1/x");
  EXPECT_EQ(builder.queryParams(), 0u);
  builder.appendValue(Value("a b"), "first");
  builder.appendValue(Value(1), "n");
  builder.appendValue(Value("a&b"), "raw");
  builder.appendValue(Value(2.5), "real");
  EXPECT_EQ(builder.URLString(), "https://127.0.0.1/x?first=a%20b&n=1&raw=a&b&real=2.5");
  EXPECT_EQ(builder.queryParams(), 4u);
}

TEST(BCNURLBuilderTest, InvalidTextGivesNoURL) {
  EXPECT_FALSE(BCNURLBuilder::URLWithBase("http://127.0.0.1/a b").URL());
  EXPECT_FALSE(BCNURLBuilder::URLWithBase("http://127.0.0.1:99999/").URL());
}

TEST(BCNNetworkOperationTest, NoKeyNoOperation) {
  EXPECT_EQ(BCNNetworkOperation::create(std::nullopt), nullptr);
  auto operation = BCNNetworkOperation::create(std::string("key-1"));
  ASSERT_NE(operation, nullptr);
  EXPECT_EQ(operation->APIKey(), "key-1");
  EXPECT_EQ(operation->className(), "BCNNetworkOperation");
}

TEST(BCNNetworkOperationTest, RequestsCarryTheCommonHeadersInOrder) {
  const char* saved = std::getenv("LC_ALL");
  const std::string previous = saved ? saved : "";
  ::setenv("LC_ALL", "de_DE.UTF-8", 1);
  BCNNetworkOperation operation("the-api-key");
  const platform::URL url("https://127.0.0.1/spi/v2/x");
  auto request = operation.mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(url);
  if (saved) {
    ::setenv("LC_ALL", previous.c_str(), 1);
  } else {
    ::unsetenv("LC_ALL");
  }
  EXPECT_EQ(request.url(), url);
  EXPECT_EQ(request.HTTPMethod(), "GET");
  EXPECT_EQ(request.timeoutInterval(), 10.0);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"User-Agent", "io.beacon.sdk.mac/1.6.11 (60)"},
      {"Accept-Charset", "utf-8"},
      {"Accept-Language", "de_DE"},
      {"Content-Language", "de_DE"},
      {"X-Crashtrail-Developer-Token", "3c9e1f0a7b2d48e6c5a1f09b3d7e2c4a6b8f0d19"},
      {"X-Crashtrail-API-Client-Id", "io.beacon.sdk.mac"},
      {"X-Crashtrail-API-Client-Display-Version", "1.6.11"},
      {"X-Crashtrail-API-Client-Build-Version", "60"},
      {"X-Crashtrail-API-Key", "the-api-key"},
  };
  EXPECT_EQ(request.allHTTPHeaderFields().fields(), expected);
  EXPECT_EQ(operation.mutableRequestWithDefaultHTTPHeadersForURL(url, 3).timeoutInterval(), 3.0);
  EXPECT_EQ(std::string(sdk::kBCNDeveloperToken).size(), 40u);
}

}  // namespace
