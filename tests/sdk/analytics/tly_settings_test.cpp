#include "sdk/analytics/tly_settings.h"

#include <gtest/gtest.h>

#include "codecs/json_decoder.h"

namespace sdk {
namespace {

platform::Value json(std::string_view text) {
  platform::Error error;
  platform::Value v = codecs::objectFromJSONString(text, codecs::JTParseFlagNone, &error);
  EXPECT_FALSE(v.isNone()) << error.description();
  return v;
}

void expectDefaults(const TLYSettings& s) {
  EXPECT_EQ(s.tallyURL().absoluteString(), TLYDefaultEventsURL);
  EXPECT_EQ(s.tallyURL().path(), "/spi/v2/events");
  EXPECT_EQ(s.tallyURL().scheme(), "https");
  EXPECT_TRUE(s.shouldCollectAnalytics());
  EXPECT_TRUE(s.shouldCollectCustomEvents());
  EXPECT_TRUE(s.shouldCollectPredefinedEvents());
  EXPECT_EQ(s.maximumPayloadSize(), 8000);
  EXPECT_EQ(s.maxPendingSendFiles(), 100);
  EXPECT_EQ(s.flushInterval(), 0);
  EXPECT_EQ(s.samplingRate(), 1);
  EXPECT_EQ(s.defaultUploadTimeout(), 21600);
  EXPECT_EQ(s.lowPowerUploadTimeout(), 3600);
}

TEST(TLYSettingsTest, WithoutDictionaryIsInvalidAndAnswersDefaults) {
  const TLYSettings none;
  EXPECT_FALSE(none.valid());
  expectDefaults(none);
  // Something that is no dictionary (a settings file holding an array) is
  // no settings either.
  const TLYSettings array(json("[1,2]"));
  EXPECT_FALSE(array.valid());
  expectDefaults(array);
}

TEST(TLYSettingsTest, EmptyDictionaryIsValidWithDefaults) {
  const auto s = TLYSettings::initWithDictionary(json("{}"));
  EXPECT_TRUE(s->valid());
  expectDefaults(*s);
  expectDefaults(TLYSettings(json(R"({"analytics": {}, "features": {}})")));
}

TEST(TLYSettingsTest, ReadsEveryKeyFromItsSection) {
  const TLYSettings s(json(R"({
    "features": {"collect_analytics": false},
    "analytics": {
      "url": "https://127.0.0.1:8443/spi/v2/events",
      "track_custom_events": false,
      "track_predefined_events": false,
      "max_byte_size_per_file": 12345,
      "max_pending_send_file_count": 7,
      "flush_interval_secs": 60.5,
      "sampling_rate": 3,
      "upload_timeout_secs": 100,
      "low_power_upload_timeout_secs": 50.25
    }})"));
  EXPECT_TRUE(s.valid());
  EXPECT_EQ(s.tallyURL().absoluteString(), "https://127.0.0.1:8443/spi/v2/events");
  EXPECT_FALSE(s.shouldCollectAnalytics());
  EXPECT_FALSE(s.shouldCollectCustomEvents());
  EXPECT_FALSE(s.shouldCollectPredefinedEvents());
  EXPECT_EQ(s.maximumPayloadSize(), 12345);
  EXPECT_EQ(s.maxPendingSendFiles(), 7);
  EXPECT_DOUBLE_EQ(s.flushInterval(), 60.5);
  EXPECT_EQ(s.samplingRate(), 3);
  EXPECT_DOUBLE_EQ(s.defaultUploadTimeout(), 100);
  EXPECT_DOUBLE_EQ(s.lowPowerUploadTimeout(), 50.25);
}

TEST(TLYSettingsTest, SectionsAreIndependent) {
  // No "analytics" section: collection still comes from "features".
  const TLYSettings off(json(R"({"features": {"collect_analytics": false}})"));
  EXPECT_FALSE(off.shouldCollectAnalytics());
  EXPECT_EQ(off.maximumPayloadSize(), 8000);
  // "collect_analytics" false leaves the analytics values their meaning.
  const TLYSettings mixed(
      json(R"({"features": {"collect_analytics": false}, "analytics": {"sampling_rate": 5}})"));
  EXPECT_FALSE(mixed.shouldCollectAnalytics());
  EXPECT_EQ(mixed.samplingRate(), 5);
  // The keys are not looked up in the wrong section or at the top.
  const TLYSettings misplaced(
      json(R"({"collect_analytics": false, "analytics": {"collect_analytics": false},
               "sampling_rate": 9, "features": {"sampling_rate": 9}})"));
  EXPECT_TRUE(misplaced.shouldCollectAnalytics());
  EXPECT_EQ(misplaced.samplingRate(), 1);
}

TEST(TLYSettingsTest, ZeroIsAValueNotAMissingKey) {
  const TLYSettings s(json(
      R"({"analytics": {"max_byte_size_per_file": 0, "sampling_rate": 0, "upload_timeout_secs": 0}})"));
  EXPECT_EQ(s.maximumPayloadSize(), 0);
  EXPECT_EQ(s.samplingRate(), 0);
  EXPECT_EQ(s.defaultUploadTimeout(), 0);
}

TEST(TLYSettingsTest, ConvertsNumbersBooleansAndNumericText) {
  const TLYSettings s(json(R"({
    "features": {"collect_analytics": 0},
    "analytics": {
      "track_custom_events": "false",
      "track_predefined_events": "YES",
      "max_byte_size_per_file": "4096",
      "max_pending_send_file_count": 12.9,
      "flush_interval_secs": "2.5",
      "sampling_rate": true,
      "upload_timeout_secs": 30
    }})"));
  EXPECT_FALSE(s.shouldCollectAnalytics());
  EXPECT_FALSE(s.shouldCollectCustomEvents());
  EXPECT_TRUE(s.shouldCollectPredefinedEvents());
  EXPECT_EQ(s.maximumPayloadSize(), 4096);
  EXPECT_EQ(s.maxPendingSendFiles(), 12);  // a real is truncated
  EXPECT_DOUBLE_EQ(s.flushInterval(), 2.5);
  EXPECT_EQ(s.samplingRate(), 1);
  EXPECT_DOUBLE_EQ(s.defaultUploadTimeout(), 30.0);  // an integer read as real
  const TLYSettings on(json(R"({"features": {"collect_analytics": "1"}})"));
  EXPECT_TRUE(on.shouldCollectAnalytics());
}

TEST(TLYSettingsTest, ValuesThatDoNotConvertGiveTheDefault) {
  const TLYSettings s(json(R"({
    "features": {"collect_analytics": "maybe"},
    "analytics": {
      "url": "not a url",
      "track_custom_events": {"x": 1},
      "max_byte_size_per_file": "big",
      "max_pending_send_file_count": [3],
      "flush_interval_secs": null,
      "sampling_rate": "3x",
      "upload_timeout_secs": "",
      "low_power_upload_timeout_secs": {}
    }})"));
  expectDefaults(s);
  // A section that is no object counts as missing.
  expectDefaults(TLYSettings(json(R"({"analytics": "off", "features": [false]})")));
  // A URL without a host or of another scheme is no events endpoint.
  EXPECT_EQ(
      TLYSettings(json(R"({"analytics": {"url": "/spi/v2/events"}})")).tallyURL().absoluteString(),
      TLYDefaultEventsURL);
  EXPECT_EQ(TLYSettings(json(R"({"analytics": {"url": "file:///etc/passwd"}})"))
                .tallyURL()
                .absoluteString(),
            TLYDefaultEventsURL);
}

// The controller needs to tell a missing events URL from one of the wrong
// type, and both from a usable one.
TEST(TLYSettingsTest, GivenEventsURLTellsMissingFromMalformed) {
  const TLYSettings good(json(R"({"analytics": {"url": "https://127.0.0.1:8443/spi/v2/events"}})"));
  ASSERT_TRUE(good.givenTallyURL().has_value());
  EXPECT_EQ(good.givenTallyURL()->absoluteString(), "https://127.0.0.1:8443/spi/v2/events");
  EXPECT_FALSE(good.hasMalformedTallyURL());

  const TLYSettings missing(json(R"({"analytics": {}})"));
  EXPECT_FALSE(missing.givenTallyURL().has_value());
  EXPECT_FALSE(missing.hasMalformedTallyURL());

  for (const char* text : {R"({"analytics": {"url": 42}})", R"({"analytics": {"url": null}})",
                           R"({"analytics": {"url": ["https://a.example/"]}})",
                           R"({"analytics": {"url": "not a url"}})",
                           R"({"analytics": {"url": "ftp://127.0.0.1/x"}})"}) {
    const TLYSettings malformed{json(text)};
    EXPECT_FALSE(malformed.givenTallyURL().has_value()) << text;
    EXPECT_TRUE(malformed.hasMalformedTallyURL()) << text;
  }
}

}  // namespace
}  // namespace sdk
