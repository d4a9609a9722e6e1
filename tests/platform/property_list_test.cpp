#include "platform/system/property_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <limits>

#include "platform/system/file_util.h"
#include "support/temp_root.h"

namespace platform {
namespace {

using varnel::testing::TempRootTest;

std::string document(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body +
         "\n</plist>\n";
}

Value roundTrip(const Value& v) {
  Error error;
  auto text = plist::serialize(v, &error);
  EXPECT_TRUE(text.has_value()) << error.description();
  if (!text) return Value();
  Value back = plist::parse(*text, &error);
  EXPECT_FALSE(back.isNone()) << error.description() << "\n" << *text;
  return back;
}

TEST(PropertyListTest, ReadsEveryKind) {
  Error error;
  Value v = plist::parse(document(R"(<dict>
    <key>s</key><string> two  words </string>
    <key>empty</key><string/>
    <key>i</key><integer>-42</integer>
    <key>big</key><integer>18446744073709551615</integer>
    <key>r</key><real>2.5</real>
    <key>t</key><true/>
    <key>f</key><false/>
    <key>d</key><date>2026-12-08T19:32:44Z</date>
    <key>b</key><data>
      AAEC
      /w==
    </data>
    <key>a</key><array><string>x</string><array/><dict/></array>
  </dict>)"),
                         &error);
  ASSERT_TRUE(v.isDictionary()) << error.description();
  EXPECT_EQ(v["s"].asString(), " two  words ");
  EXPECT_TRUE(v["empty"].isString());
  EXPECT_EQ(v["empty"].asString(), "");
  EXPECT_TRUE(v["i"].isInt());
  EXPECT_EQ(v["i"].asInt64(), -42);
  EXPECT_TRUE(v["big"].isUInt());
  EXPECT_EQ(v["big"].asUInt64(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_DOUBLE_EQ(v["r"].asDouble(), 2.5);
  EXPECT_TRUE(v["t"].isBool());
  EXPECT_TRUE(v["t"].asBool());
  EXPECT_FALSE(v["f"].asBool());
  EXPECT_EQ(v["d"].asDate().timeIntervalSince1970(), 1796758364.0);
  EXPECT_EQ(v["b"].asData(), (Bytes{0, 1, 2, 0xff}));
  ASSERT_EQ(v["a"].count(), 3u);
  EXPECT_TRUE(v["a"][1].isArray());
  EXPECT_TRUE(v["a"][2].isDictionary());
  EXPECT_FALSE(v.isMutable());
  EXPECT_FALSE(v["a"].isMutable());
  // Keys keep document order.
  EXPECT_EQ(v.keys().front().asString(), "s");
  EXPECT_EQ(v.keys().back().asString(), "a");
}

TEST(PropertyListTest, RoundTripsValuesExactly) {
  Value original = Value::dictionary({
      {"text", Value("a < b & c > d \"q\" 'x' \xC3\xA9 \xF0\x9F\x94\x92")},
      {"lines", Value("one\r\ntwo\rthree\n\tfour")},
      {"spaces", Value("  padded  ")},
      {"min", Value(std::numeric_limits<std::int64_t>::min())},
      {"max", Value(std::numeric_limits<std::uint64_t>::max())},
      {"tenth", Value(0.1)},
      {"third", Value(1.0 / 3.0)},
      {"huge", Value(1e300)},
      {"inf", Value(-std::numeric_limits<double>::infinity())},
      {"when", Value(Date(1796758364.0))},
      {"bytes", Value::data(Bytes(200, 0x5a))},
      {"nested", Value::array({Value::array({Value(1), Value(true)}), Value::dictionary()})},
  });
  Value back = roundTrip(original);
  EXPECT_EQ(back, original);
  EXPECT_EQ(back["lines"].asString(), "one\r\ntwo\rthree\n\tfour");
  EXPECT_TRUE(back["min"].isInt());
  EXPECT_TRUE(back["max"].isUInt());
  EXPECT_EQ(back["tenth"].asDouble(), 0.1);
  EXPECT_EQ(back["third"].asDouble(), 1.0 / 3.0);
  EXPECT_TRUE(std::isinf(back["inf"].asDouble()));
  EXPECT_TRUE(std::isnan(roundTrip(Value(std::nan(""))).asDouble()));
  // A scalar root works too.
  EXPECT_EQ(roundTrip(Value("alone")).asString(), "alone");
  // Dates keep whole seconds.
  EXPECT_EQ(roundTrip(Value(Date(100.75))).asDate().timeIntervalSince1970(), 100.0);
  EXPECT_EQ(roundTrip(Value(Date(-0.5))).asDate().timeIntervalSince1970(), -1.0);
}

TEST(PropertyListTest, SerializedFormIsTheUsualOne) {
  auto text = plist::serialize(
      Value::dictionary({{"k", Value("v")}, {"n", Value(1)}, {"e", Value::array()}}));
  ASSERT_TRUE(text);
  EXPECT_EQ(*text,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<plist version=\"1.0\">\n"
            "<dict>\n"
            "\t<key>k</key>\n"
            "\t<string>v</string>\n"
            "\t<key>n</key>\n"
            "\t<integer>1</integer>\n"
            "\t<key>e</key>\n"
            "\t<array/>\n"
            "</dict>\n"
            "</plist>\n");
  EXPECT_EQ(plist::parse(*text)["n"].asInt64(), 1);
  // A document type line is read past without fetching anything.
  EXPECT_EQ(plist::parse("<?xml version=\"1.0\"?>\n<!DOCTYPE plist SYSTEM \"plist.dtd\">\n"
                         "<plist version=\"1.0\"><integer>7</integer></plist>")
                .asInt64(),
            7);
}

TEST(PropertyListTest, RefusesWhatItCannotWriteBack) {
  const Value bad[] = {
      Value(),
      Value::null(),
      Value::array({Value::null()}),
      Value::dictionary({{Value(1), Value("number key")}}),
      Value("bell \x07"),
      Value("broken \xC3"),
      Value("overlong \xC0\xAF"),
      Value::dictionary({{Value("k\x01"), Value(1)}}),
      Value(Date(1e300)),
      Value(Date(std::nan(""))),
  };
  for (const Value& v : bad) {
    Error error;
    EXPECT_FALSE(plist::serialize(v, &error)) << v.description();
    EXPECT_EQ(error.domain(), kCocoaErrorDomain);
    EXPECT_EQ(error.code(), plist::kWriteInvalidError);
    EXPECT_FALSE(plist::isPropertyList(v));
    EXPECT_TRUE(plist::immutableCopy(v).isNone());
  }
}

TEST(PropertyListTest, DatesReadAreDatesThatCanBeWritten) {
  // Every four-digit year reads and writes back; a date outside them is
  // refused when read, not only when written.
  for (const char* date :
       {"0001-01-01T00:00:00Z", "4040-01-01T00:00:00Z", "9999-12-31T23:59:59Z"}) {
    const std::string doc = std::string("<plist><date>") + date + "</date></plist>";
    Value v = plist::parse(doc);
    ASSERT_TRUE(v.isDate()) << date;
    std::optional<std::string> text = plist::serialize(v);
    ASSERT_TRUE(text) << date;
    EXPECT_NE(text->find(date), std::string::npos) << *text;
  }
  for (const char* date :
       {"0000-12-31T23:59:59Z", "10000-01-01T00:00:00Z", "9999-12-31T23:59:60Z"}) {
    Error error;
    EXPECT_TRUE(
        plist::parse(std::string("<plist><date>") + date + "</date></plist>", &error).isNone())
        << date;
    EXPECT_FALSE(error.isNone()) << date;
  }
}

TEST(PropertyListTest, RejectsMalformedDocumentsWithALine) {
  const char* bad[] = {
      "",
      "<plist version=\"1.0\"><dict><key>a</key></dict></plist>",     // key without value
      "<plist><dict><string>x</string></dict></plist>",               // value without key
      "<plist><dict><key>a</key><key>b</key><true/></dict></plist>",  // two keys
      "<plist><integer>12x</integer></plist>",
      "<plist><integer>99999999999999999999999</integer></plist>",
      "<plist><integer>-9223372036854775809</integer></plist>",
      "<plist><real>abc</real></plist>",
      "<plist><date>2026-13-01T00:00:00Z</date></plist>",
      "<plist><date>2026-12-01 00:00:00</date></plist>",
      "<plist><data>AB$C</data></plist>",
      "<plist><data>A</data></plist>",
      "<plist><string>a<b/></string></plist>",
      "<plist><foo/></plist>",
      "<plist><true/><false/></plist>",  // two roots
      "<plist>stray text</plist>",
      "<plist><array><string>unclosed</array></plist>",
      "<plist><dict><key>a</key><string>truncated",  // cut off
      "<plist><key>k</key></plist>",
  };
  for (const char* text : bad) {
    Error error;
    EXPECT_TRUE(plist::parse(text, &error).isNone()) << text;
    EXPECT_EQ(error.code(), plist::kReadCorruptError) << text;
    EXPECT_NE(error.localizedDescription().find("line "), std::string::npos) << text;
  }
}

TEST(PropertyListTest, RefusesEntitiesAndDeepNesting) {
  Error error;
  const std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\">"
      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><plist><string>&b;</string></plist>";
  EXPECT_TRUE(plist::parse(laughs, &error).isNone());
  EXPECT_NE(error.localizedDescription().find("entity"), std::string::npos)
      << error.localizedDescription();

  const std::string external =
      "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
      "<plist><string>&x;</string></plist>";
  EXPECT_TRUE(plist::parse(external).isNone());

  std::string deep;
  for (int i = 0; i < plist::kMaxDepth + 5; ++i) deep += "<array>";
  for (int i = 0; i < plist::kMaxDepth + 5; ++i) deep += "</array>";
  EXPECT_TRUE(plist::parse("<plist>" + deep + "</plist>", &error).isNone());
  EXPECT_NE(error.localizedDescription().find("deeply"), std::string::npos);

  Value nested = Value::array();
  for (int i = 0; i < plist::kMaxDepth + 5; ++i) nested = Value::array({nested});
  EXPECT_FALSE(plist::serialize(nested));
}

TEST(PropertyListTest, ImmutableCopyDetachesFromTheCallersCollections) {
  Value inner = Value::mutableArray({Value(1)});
  Value outer = Value::mutableDictionary({{Value("list"), inner}});
  Value copy = plist::immutableCopy(outer);
  inner.append(Value(2));
  outer.set("other", Value(3));
  EXPECT_FALSE(copy.isMutable());
  EXPECT_FALSE(copy["list"].isMutable());
  EXPECT_EQ(copy["list"].count(), 1u);
  EXPECT_FALSE(copy.contains("other"));
}

class PropertyListFileTest : public TempRootTest {};

TEST_F(PropertyListFileTest, WritesAtomicallyWithTheMode) {
  const std::string path = root().file("prefs.plist");
  ASSERT_TRUE(plist::writeFile(path, Value::dictionary({{"a", Value(1)}}), 0600));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(plist::readFile(path)["a"].asInt64(), 1);

  // A value that cannot be written leaves the old file untouched.
  Error error;
  EXPECT_FALSE(plist::writeFile(path, Value::null(), 0600, &error));
  EXPECT_EQ(plist::readFile(path)["a"].asInt64(), 1);

  // Replacing keeps the mode asked for, whatever the old file had.
  ASSERT_TRUE(files::writeFileAtomically(path, "new", 0640));
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(files::readFile(path).value_or(""), "new");
}

TEST_F(PropertyListFileTest, FileErrorsAreReportedAndLeaveNoLitter) {
  Error error;
  EXPECT_FALSE(files::readFile(root().file("missing"), &error));
  EXPECT_EQ(error.domain(), kPOSIXErrorDomain);
  EXPECT_EQ(error.code(), ENOENT);
  EXPECT_EQ(error.userInfo()[kFilePathErrorKey].asString(), root().file("missing"));

  EXPECT_FALSE(files::readFile(root().path(), &error));
  EXPECT_EQ(error.code(), EISDIR);

  EXPECT_FALSE(files::writeFileAtomically(root().file("no/such/folder/f"), "x", 0600, &error));
  EXPECT_EQ(error.code(), ENOENT);

  // Renaming over a folder fails; the temporary file is cleaned up.
  const std::string folder = root().file("sub");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((folder + "/target").c_str(), 0700), 0);
  EXPECT_FALSE(files::writeFileAtomically(folder + "/target", "x", 0600, &error));
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);

  EXPECT_EQ(files::parentFolder("/a/b/c"), "/a/b");
  EXPECT_EQ(files::parentFolder("/a/b/c/"), "/a/b");
  EXPECT_EQ(files::parentFolder("/a"), "/");
  EXPECT_EQ(files::parentFolder("a"), ".");
  EXPECT_EQ(files::lastComponent("/a/b/c/"), "c");
  EXPECT_EQ(files::lastComponent("c"), "c");
}

}  // namespace
}  // namespace platform
