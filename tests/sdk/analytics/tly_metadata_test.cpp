#include "sdk/analytics/tly_metadata.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "codecs/json_decoder.h"
#include "platform/system/bundle.h"
#include "platform/system/file_util.h"
#include "platform/system/process_info.h"
#include "platform/system/user_defaults.h"
#include "sdk/analytics/tly_crash_metadata.h"
#include "sdk/analytics/tly_rotate_crash_metadata_operation.h"
#include "sdk/platform/beacon.h"
#include "sdk/platform/ctr_user_defaults.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

using platform::Value;

std::vector<std::string> keysOf(const Value& d) {
  std::vector<std::string> keys;
  for (const auto& k : d.keys()) keys.push_back(k.asString());
  return keys;
}

TLYMetadata::Fields fullFields() {
  TLYMetadata::Fields f;
  f.APIKey = "api";
  f.betaToken = "beta";
  f.buildVersion = "200";
  f.bundleIdentifier = "com.varnelvpn.client";
  f.displayVersion = "1.2.0";
  f.executionIdentifier = "exec";
  f.hostModel = "Standard PC";
  f.installationId = "install";
  f.instanceIdentifier = "instance";
  f.locale = "en_US";
  f.numberOfCores = 4;
  f.OSBuildVersion = "6.1.0";
  f.OSDisplayVersion = "12.0.0";
  return f;
}

TEST(TLYMetadataTest, TheDictionaryHoldsEveryFieldInItsOrder) {
  TLYMetadata metadata(fullFields());
  Value d = metadata.dictionaryRepresentationWithStartTime(1500000000);
  EXPECT_EQ(keysOf(d), (std::vector<std::string>{"generator",
                                                 "api_key",
                                                 "session_id",
                                                 "started_at",
                                                 "beta_tester_token",
                                                 "links_ad_support",
                                                 "advertising_tracking_enabled",
                                                 "install_id",
                                                 "model",
                                                 "machine",
                                                 "locale",
                                                 "os_build",
                                                 "os_version",
                                                 "platform",
                                                 "platform_code",
                                                 "cores",
                                                 "jailbroken",
                                                 "bundle_id",
                                                 "bundle_version",
                                                 "bundle_short_version",
                                                 "instance_id"}));
  EXPECT_EQ(d["generator"].asString(), "Tally Mac SDK/1.3.4");
  EXPECT_EQ(d["started_at"].asUInt64(), 1500000000u);
  EXPECT_TRUE(d["links_ad_support"].isBool());
  EXPECT_FALSE(d["links_ad_support"].asBool());
  EXPECT_TRUE(d["jailbroken"].isBool());
  EXPECT_EQ(d["model"], d["machine"]);
  EXPECT_EQ(d["platform"].asString(), "Mac");
  EXPECT_EQ(d["platform_code"].asInt64(), 0);
  EXPECT_EQ(d["cores"].asInt64(), 4);
  EXPECT_EQ(metadata.eventName(), "metadata");
}

TEST(TLYMetadataTest, AbsentFieldsAreLeftOut) {
  TLYMetadata::Fields f;
  f.APIKey = "api";
  Value d = TLYMetadata(f).dictionaryRepresentationWithStartTime(0);
  EXPECT_EQ(keysOf(d),
            (std::vector<std::string>{"generator", "api_key", "started_at", "links_ad_support",
                                      "advertising_tracking_enabled", "platform", "platform_code",
                                      "cores", "jailbroken"}));
}

TEST(TLYMetadataTest, BetaTokensUnwrapOnlyFromVersionTwo) {
  EXPECT_EQ(TLYMetadata::unwrapBetaToken("2:abc"), "abc");
  EXPECT_EQ(TLYMetadata::unwrapBetaToken("1:abc"), std::nullopt);
  EXPECT_EQ(TLYMetadata::unwrapBetaToken("abc"), std::nullopt);
  EXPECT_EQ(TLYMetadata::unwrapBetaToken("2:a:b"), std::nullopt);
  EXPECT_EQ(TLYMetadata::unwrapBetaToken(std::nullopt), std::nullopt);
  EXPECT_EQ(TLYMetadata::unwrapBetaToken("22:abc"), std::nullopt);
}

class TLYMetadataFromBeaconTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    reset(std::make_shared<platform::Bundle>(
        "/proc/self/exe", "",
        Value::dictionary({{"CFBundleIdentifier", "com/varnel/client"},
                           {"CFBundleVersion", "200"},
                           {"CFBundleShortVersionString", "1.2.0"},
                           {"Beacon", Value::dictionary({{"APIKey", "0123456789abcdef"}})}})));
  }
  void TearDown() override { reset(nullptr); }
  // The registry and its stores start afresh, describing `bundle` (nullptr:
  // the running program).
  static void reset(const platform::BundlePtr& bundle) {
    Beacon::resetSharedSDKForTesting({bundle});
    CTRUserDefaults::resetStandardUserDefaultsForTesting(bundle);
    platform::UserDefaults::resetStandardUserDefaults(bundle);
  }
};

TEST_F(TLYMetadataFromBeaconTest, FieldsComeFromTheRegistryTheHostAndTheMachine) {
  auto beacon = Beacon::sharedSDK();
  auto metadata = TLYMetadata::initWithBeacon(beacon, std::string("2:tester"));
  EXPECT_EQ(metadata->APIKey(), "0123456789abcdef");
  EXPECT_EQ(metadata->betaToken(), "tester");
  EXPECT_EQ(metadata->executionIdentifier(), beacon->executionIdentifier());
  EXPECT_EQ(metadata->installationId(), beacon->installID());
  EXPECT_EQ(metadata->bundleIdentifier(), "com_varnel_client");
  EXPECT_EQ(metadata->buildVersion(), "200");
  EXPECT_EQ(metadata->displayVersion(), "1.2.0");
  EXPECT_EQ(metadata->numberOfCores(), platform::ProcessInfo::processorCount());
  EXPECT_TRUE(metadata->OSDisplayVersion().has_value());
  EXPECT_TRUE(metadata->locale().has_value());
  EXPECT_FALSE(metadata->isJailbroken());
  EXPECT_EQ(metadata->platform(), "Mac");
}

class TLYCrashMetadataTest : public varnel::testing::TempRootTest {
 protected:
  platform::URL url() { return platform::URL::fileURLWithPath(root().file("crash_metadata")); }
  std::string path() { return root().file("crash_metadata"); }
  std::shared_ptr<TLYMetadata> current() { return std::make_shared<TLYMetadata>(fullFields()); }
};

TEST_F(TLYCrashMetadataTest, TheRawDictionaryIsThePayloadWhateverTheStartTime) {
  auto stored = Value::dictionary({{"session_id", "old"}, {"started_at", 17}});
  TLYCrashMetadata metadata(stored);
  EXPECT_EQ(metadata.dictionaryRepresentationWithStartTime(99), stored);
  EXPECT_EQ(metadata.eventName(), "metadata");
  EXPECT_TRUE(TLYCrashMetadata(Value()).dictionaryRepresentationWithStartTime(1).isNone());
}

TEST_F(TLYCrashMetadataTest, FilesRoundTripAndBadFilesReadAsNothing) {
  auto d = Value::dictionary({{"a", 1}, {"b", "two"}});
  ASSERT_TRUE(TLYCrashMetadata::writeSerializedDictionary(d, url()));
  EXPECT_EQ(platform::files::readFile(path()), R"({"a":1,"b":"two"})");
  struct stat st {};
  ASSERT_EQ(::stat(path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(TLYCrashMetadata::readSerializedDictionaryFromURL(url()), d);

  ASSERT_TRUE(platform::files::writeFileAtomically(path(), "{not json", 0600));
  EXPECT_TRUE(TLYCrashMetadata::readSerializedDictionaryFromURL(url()).isNone());
  ASSERT_TRUE(platform::files::writeFileAtomically(path(), "[1,2]", 0600));
  EXPECT_TRUE(TLYCrashMetadata::readSerializedDictionaryFromURL(url()).isNone());
  EXPECT_TRUE(TLYCrashMetadata::readSerializedDictionaryFromURL(
                  platform::URL::fileURLWithPath(root().file("missing")))
                  .isNone());
}

TEST_F(TLYCrashMetadataTest, RotationTakesThePreviousRunsMetadataAndStoresThisRuns) {
  auto previous = Value::dictionary({{"session_id", "previous"}});
  ASSERT_TRUE(TLYCrashMetadata::writeSerializedDictionary(previous, url()));
  double before = platform::Date::now().timeIntervalSince1970();
  auto rotation = TLYRotateCrashMetadataOperation::initWithCrashMetadataURL(url(), current());
  rotation->main();
  ASSERT_TRUE(rotation->crashMetadata());
  EXPECT_EQ(rotation->crashMetadata()->rawMetadataDictionary(), previous);

  Value stored = TLYCrashMetadata::readSerializedDictionaryFromURL(url());
  EXPECT_EQ(stored["session_id"].asString(), "exec");
  EXPECT_GE(stored["started_at"].asDouble(),
            static_cast<double>(static_cast<std::uint64_t>(before)));
  EXPECT_LE(stored["started_at"].asDouble(), platform::Date::now().timeIntervalSince1970());
}

TEST_F(TLYCrashMetadataTest, RotationWithoutAFileOrWithABadOne) {
  auto first = TLYRotateCrashMetadataOperation::initWithCrashMetadataURL(url(), current());
  first->main();
  EXPECT_EQ(first->crashMetadata()->rawMetadataDictionary(), Value::dictionary());
  EXPECT_TRUE(platform::files::readFile(path()).has_value());

  ASSERT_TRUE(platform::files::writeFileAtomically(path(), "garbage", 0600));
  auto second = TLYRotateCrashMetadataOperation::initWithCrashMetadataURL(url(), current());
  second->main();
  ASSERT_TRUE(second->crashMetadata());
  EXPECT_TRUE(second->crashMetadata()->rawMetadataDictionary().isNone());
  EXPECT_EQ(TLYCrashMetadata::readSerializedDictionaryFromURL(url())["api_key"].asString(), "api");
}

}  // namespace
}  // namespace sdk
