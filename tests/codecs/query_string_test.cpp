#include "codecs/query_string.h"

#include <gtest/gtest.h>

namespace codecs {
namespace {

using platform::StringEncoding;
using platform::Value;

std::string query(const Value& v) { return QueryStringForParameters(v, StringEncoding::UTF8); }

TEST(QueryString, OrderAndNesting) {
  EXPECT_EQ(query(Value::dictionary({{"b", 1}, {"A", "x y"}})), "A=x%20y&b=1");
  EXPECT_EQ(query(Value::dictionary({{"user", Value::dictionary({{"name", "n"}, {"id", 5}})}})),
            "user[id]=5&user[name]=n");
  EXPECT_EQ(query(Value::dictionary({{"ids", Value::array({1, 2})}})), "ids[]=1&ids[]=2");
  EXPECT_EQ(query(Value::dictionary(
                {{"a", Value::array({Value::dictionary({{"k", "v"}}), Value::array({3})})}})),
            "a[][k]=v&a[][]=3");
}

TEST(QueryString, NullAndEmptyCollections) {
  EXPECT_EQ(query(Value::dictionary({{"flag", Value::null()}})), "flag");
  EXPECT_EQ(query(Value::dictionary({{"e", Value::array()}})), "");
  EXPECT_EQ(query(Value::dictionary({{"e", Value::dictionary()}, {"f", 1}})), "f=1");
  EXPECT_EQ(query(Value::dictionary()), "");
}

TEST(QueryString, Escaping) {
  EXPECT_EQ(query(Value::dictionary({{"v", "a&b=c/d"}})), "v=a%26b%3Dc%2Fd");
  EXPECT_EQ(query(Value::dictionary({{"a b", "1"}})), "a%20b=1");
  EXPECT_EQ(EscapedQueryKey("user[name].x", StringEncoding::UTF8), "user[name].x");
  EXPECT_EQ(EscapedQueryValue("[x]", StringEncoding::UTF8), "%5Bx%5D");
  EXPECT_EQ(EscapedQueryValue(":/?&=;+!@#$()',*% ~-_.", StringEncoding::UTF8),
            "%3A%2F%3F%26%3D%3B%2B%21%40%23%24%28%29%27%2C%2A%25%20~-_.");
  EXPECT_EQ(EscapedQueryValue("\xC3\xA9", StringEncoding::UTF8), "%C3%A9");
  EXPECT_EQ(EscapedQueryValue("\xC3\xA9", StringEncoding::ISOLatin1), "%E9");
  EXPECT_EQ(EscapedQueryValue("\xE2\x82\xAC", StringEncoding::ASCII), "%E2%82%AC")
      << "unrepresentable text falls back to UTF-8";
}

TEST(QueryString, PairsKeepTheirObjects) {
  auto pairs = QueryPairsForDictionary(Value::dictionary({{"n", 5}}));
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].field(), Value("n"));
  EXPECT_EQ(pairs[0].value(), Value(5));
  EXPECT_EQ(NKQueryStringPair(Value("k"), Value())
                .URLEncodedStringValueWithEncoding(StringEncoding::UTF8),
            "k");
}

}  // namespace
}  // namespace codecs
