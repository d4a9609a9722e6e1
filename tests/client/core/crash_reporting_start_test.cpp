#include "client/core/crash_reporting_start.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/system/bundle.h"
#include "sdk/crash/crashtrail.h"
#include "sdk/platform/beacon.h"
#include "sdk/platform/ctr_user_defaults.h"
#include "support/temp_root.h"

namespace {

class CrashReportingStartTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    client::resetCrashReportingStartForTesting();
    sdk::Crashtrail::resetSharedInstanceForTesting();
    sdk::Beacon::resetSharedSDKForTesting();
    sdk::CTRUserDefaults::resetStandardUserDefaultsForTesting();
  }
  // The SDK made after this describes a client with this information.
  static void installInfo(platform::Value info) {
    const auto bundle = std::make_shared<platform::Bundle>("/proc/self/exe", "", std::move(info));
    sdk::Beacon::resetSharedSDKForTesting({bundle});
    sdk::CTRUserDefaults::resetStandardUserDefaultsForTesting(bundle);
  }
};

// The client goes on without crash reporting when the SDK is not configured,
// logs why once, and never tries again.
TEST_F(CrashReportingStartTest, AMisconfiguredSDKDoesNotStopTheClient) {
  const std::vector<platform::Value> infos = {
      platform::Value::dictionary({{"CFBundleIdentifier", "com.varnelvpn.client"}}),
      platform::Value::dictionary({{"CFBundleIdentifier", "com.varnelvpn.client"},
                                   {"Beacon", platform::Value::dictionary({{"Kits", 1}})}})};
  for (const auto& info : infos) {
    reset();
    installInfo(info);
    std::vector<std::string> lines;
    auto log = [&](const std::string& line) { lines.push_back(line); };
    EXPECT_FALSE(client::startCrashReporting(log));
    EXPECT_FALSE(client::startCrashReporting(log));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Crash reporting is not available: [Beacon]"), std::string::npos)
        << lines[0];
    EXPECT_FALSE(sdk::Crashtrail::sharedInstance()->isCrashtrailStarted());
  }
  // The kit is registered under the name the registry looks for.
  EXPECT_NE(sdk::Beacon::kitClassNamed("Crashtrail"), nullptr);
}

}  // namespace
