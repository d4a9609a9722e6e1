#include "codecs/json_property_mapper.h"

#include <gtest/gtest.h>

#include <clocale>

namespace codecs {
namespace {

using platform::Value;

class Base : public PropertyObject {
 public:
  static const PropertyTable& table() {
    static const PropertyTable t = PropertyTableBuilder<Base>("Base", nullptr)
                                       .property("name", &Base::name)
                                       .property("shared", &Base::baseShared)
                                       .build();
    return t;
  }
  const PropertyTable& propertyTable() const override { return table(); }
  std::string name;
  int baseShared = 0;
};

class Model : public Base {
 public:
  static const PropertyTable& table() {
    static const PropertyTable t =
        PropertyTableBuilder<Model>("Model", &Base::table())
            .property("count", &Model::count)
            .property("ratio", &Model::ratio)
            .property("letter", &Model::letter)
            .property("enabled", &Model::enabled)
            .property("title", &Model::title)
            .property("big", &Model::big)
            .property("shared", &Model::shared)
            .number("amount", &Model::amount)
            .dateObject("when", &Model::when)
            .property("anything", &Model::anything)
            .property("stamp", &Model::stamp)
            .custom({"readOnly", "", "i", [](const PropertyObject&) { return Value(7); }, {}})
            .build();
    return t;
  }
  const PropertyTable& propertyTable() const override { return table(); }

  int count = -1;
  double ratio = -1;
  char letter = 0;
  bool enabled = false;
  std::string title;
  std::uint64_t big = 0;
  int shared = 0;
  Value amount;
  Value when;
  Value anything;
  platform::Date stamp;
};

Model mapped(const Value& dict, const JSONDateFormatter* fmt = nullptr) {
  Model m;
  setValuesForKeysWithJSONDictionary(m, dict, fmt);
  return m;
}

TEST(JsonPropertyMapper, NumbersFromStrings) {
  EXPECT_EQ(mapped(Value::dictionary({{"count", "42"}})).count, 42);
  EXPECT_EQ(mapped(Value::dictionary({{"count", "4x"}})).count, -1);
  EXPECT_EQ(mapped(Value::dictionary({{"count", 9}})).count, 9);
  EXPECT_EQ(mapped(Value::dictionary({{"ratio", "12.5"}})).ratio, 12.5);
  EXPECT_EQ(mapped(Value::dictionary({{"amount", "12.5"}})).amount, Value(12.5));
  EXPECT_TRUE(mapped(Value::dictionary({{"amount", "nope"}})).amount.isNone());
  EXPECT_EQ(mapped(Value::dictionary({{"big", "18446744073709551615"}})).big, UINT64_MAX);
  EXPECT_EQ(mapped(Value::dictionary({{"count", "-7"}})).count, -7);
}

TEST(JsonPropertyMapper, NumbersIgnoreTheUsersLocale) {
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");  // where available, "," is the decimal mark
  EXPECT_EQ(mapped(Value::dictionary({{"ratio", "12.5"}})).ratio, 12.5);
  EXPECT_EQ(mapped(Value::dictionary({{"ratio", "12,5"}})).ratio, -1);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(JsonPropertyMapper, StringsFromNumbers) {
  EXPECT_EQ(mapped(Value::dictionary({{"title", 7}})).title, "7");
  EXPECT_EQ(mapped(Value::dictionary({{"title", "t"}})).title, "t");
  EXPECT_EQ(mapped(Value::dictionary({{"title", Value::array()}})).title, "")
      << "a value the property cannot hold leaves it unchanged";
}

TEST(JsonPropertyMapper, CharactersAndBooleans) {
  EXPECT_EQ(mapped(Value::dictionary({{"letter", "1"}})).letter, 49);
  EXPECT_EQ(mapped(Value::dictionary({{"letter", "true"}})).letter, 116);
  EXPECT_EQ(mapped(Value::dictionary({{"letter", "\xC3\xA9"}})).letter, static_cast<char>(0xC3));
  for (const char* t : {"1", "true", "YES", "yes", "T"}) {
    EXPECT_TRUE(mapped(Value::dictionary({{"enabled", t}})).enabled) << t;
  }
  for (const char* f : {"0", "false", "NO", "no", "nonsense"}) {
    Model m;
    m.enabled = true;
    setValuesForKeysWithJSONDictionary(m, Value::dictionary({{"enabled", f}}));
    EXPECT_FALSE(m.enabled) << f;
  }
  EXPECT_TRUE(mapped(Value::dictionary({{"enabled", true}})).enabled);
  EXPECT_TRUE(mapped(Value::dictionary({{"enabled", 1}})).enabled);
}

TEST(JsonPropertyMapper, NullAndEmptyLeaveScalarsUnchanged) {
  Model m = mapped(Value::dictionary(
      {{"count", Value::null()}, {"ratio", ""}, {"letter", ""}, {"enabled", Value::null()}}));
  EXPECT_EQ(m.count, -1);
  EXPECT_EQ(m.ratio, -1);
  EXPECT_EQ(m.letter, 0);
  EXPECT_FALSE(m.enabled);
  EXPECT_TRUE(mapped(Value::dictionary({{"anything", Value::null()}})).anything.isNull())
      << "null is stored unconverted in an object property";
}

TEST(JsonPropertyMapper, BackingFieldNameIsTheFallback) {
  EXPECT_EQ(mapped(Value::dictionary({{"_name", "ivar"}})).name, "ivar");
  EXPECT_EQ(mapped(Value::dictionary({{"_name", "ivar"}, {"name", "prop"}})).name, "prop");
}

TEST(JsonPropertyMapper, DatesNeedAFormatter) {
  Value dict =
      Value::dictionary({{"when", "2026-12-08 10:00:00"}, {"stamp", "2026-12-08 10:00:00"}});
  EXPECT_EQ(mapped(dict).when, Value("2026-12-08 10:00:00"));
  JSONDateFormatter fmt{"yyyy-MM-dd HH:mm:ss", true};
  Model m = mapped(dict, &fmt);
  ASSERT_TRUE(m.when.isDate());
  EXPECT_EQ(m.when.asDate().timeIntervalSince1970(), 1796724000.0);
  EXPECT_EQ(m.stamp.timeIntervalSince1970(), 1796724000.0);
  EXPECT_TRUE(mapped(Value::dictionary({{"when", "garbage"}}), &fmt).when.isNone());
}

TEST(JsonPropertyMapper, SuperclassesAndUnknownKeys) {
  Model m =
      mapped(Value::dictionary({{"name", "n"}, {"shared", "5"}, {"unknown", 1}, {"readOnly", 3}}));
  EXPECT_EQ(m.name, "n");
  EXPECT_EQ(m.shared, 5) << "set once per declaration";
  EXPECT_EQ(m.baseShared, 5);
  EXPECT_EQ(m.valueForKey("readOnly"), Value(7));
}

TEST(PropertyTable, KeyValueAccessAndRepresentation) {
  Model m;
  EXPECT_TRUE(m.setValueForKey("count", Value(3)));
  EXPECT_FALSE(m.setValueForKey("missing", Value(3)));
  EXPECT_FALSE(m.setValueForKey("readOnly", Value(3)));
  EXPECT_EQ(m.valueForKey("count"), Value(3));
  EXPECT_EQ(m.valueForKey("name"), Value(""));
  Value rep = m.dictionaryRepresentation();
  EXPECT_EQ(rep["count"], Value(3));
  EXPECT_TRUE(rep.contains("name"));
  EXPECT_FALSE(rep.contains("amount")) << "None values are left out";
  EXPECT_TRUE(Model::table().inheritsFrom(Base::table()));
  EXPECT_EQ(Model::table().find("name")->typeEncoding, "@\"NSString\"");
  EXPECT_EQ(Model::table().find("big")->typeEncoding, "Q");
  EXPECT_EQ(Model::table().find("name")->ivarName, "_name");
}

TEST(ParseDecimalNumber, Forms) {
  EXPECT_EQ(parseDecimalNumber("42"), Value(42));
  EXPECT_TRUE(parseDecimalNumber("42").isInt());
  EXPECT_EQ(parseDecimalNumber("+3"), Value(3));
  EXPECT_EQ(parseDecimalNumber("-9223372036854775808"), Value(INT64_MIN));
  EXPECT_EQ(parseDecimalNumber(".5"), Value(0.5));
  EXPECT_EQ(parseDecimalNumber("2e3"), Value(2000.0));
  for (const char* bad : {"", "-", "inf", "nan", "1,5", " 1", "1 ", "0x10", "4x"}) {
    EXPECT_TRUE(parseDecimalNumber(bad).isNone()) << bad;
  }
}

}  // namespace
}  // namespace codecs
