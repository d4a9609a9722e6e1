#include "sdk/platform/bcn_host.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/system/bundle.h"
#include "platform/system/host_info.h"
#include "sdk/platform/bcn_application.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

// Host facts over a file root of the test's own, and a main bundle made of
// an information dictionary.
class BCNHostTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    fs_ = root().file("fs");
    host_ = platform::HostInfo(fs_);
  }
  void write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  void setOSVersion(const std::string& version) {
    write(fs_ + "/etc/os-release", "VERSION_ID=\"" + version + "\"\n");
  }
  void setInfo(platform::Value info) {
    resources_ = root().file("bundle");
    std::filesystem::create_directories(resources_);
    bundle_ = std::make_shared<platform::Bundle>(resources_ + "/app", resources_, std::move(info));
  }
  std::string fs_;
  platform::HostInfo host_;  // reads below fs_
  std::string resources_;
  platform::BundlePtr bundle_;  // the program whose facts are asked for
};

TEST(BCNHostVersionNumber, ByMinorVersionAlone) {
  auto number = [](long major, long minor) {
    return BCNHostGetOSVersionNumberFor({major, minor, 4});
  };
  EXPECT_EQ(number(10, 6), 1060u);
  EXPECT_EQ(number(10, 7), 1070u);
  EXPECT_EQ(number(10, 8), 1080u);
  EXPECT_EQ(number(10, 9), 1090u);
  EXPECT_EQ(number(10, 10), 101000u);
  EXPECT_EQ(number(10, 11), 101100u);
  EXPECT_EQ(number(10, 12), 101200u);
  EXPECT_EQ(number(10, 13), 0u);
  EXPECT_EQ(number(10, 5), 0u);
  EXPECT_EQ(number(12, 0), 0u);
  EXPECT_EQ(number(99, 9), 1090u);  // the major version plays no part
}

TEST_F(BCNHostTest, DisplayVersionAndNumberFollowTheSystemVersion) {
  setOSVersion("10.9.5");
  EXPECT_EQ(BCNHostGetOSDisplayVersion(host_), "10.9.5");
  EXPECT_EQ(BCNHostGetOSVersionNumber(host_), 1090u);
  setOSVersion("12");
  EXPECT_EQ(BCNHostGetOSDisplayVersion(host_), "12.0.0");
  EXPECT_EQ(BCNHostGetOSVersionNumber(host_), 0u);
}

TEST_F(BCNHostTest, SysctlValuesThatDoNotFitTheBufferAreNil) {
  write(fs_ + "/sys/class/dmi/id/product_name", std::string(127, 'm') + "\n");
  EXPECT_EQ(BCNHostGetModel(host_), std::string(127, 'm'));
  write(fs_ + "/sys/class/dmi/id/product_name", std::string(128, 'm') + "\n");
  EXPECT_FALSE(BCNHostGetModel(host_));
  EXPECT_FALSE(BCNHostGetSysctlString("no.such.name", host_));
  EXPECT_EQ(BCNHostGetOSBuildVersion(host_), platform::HostInfo().sysctlString("kern.osversion"));
  EXPECT_TRUE(BCNHostGetOSBuildVersion(host_));
}

TEST_F(BCNHostTest, BundleIdentifierReplacesSlashes) {
  setInfo(platform::Value::dictionary({{"CFBundleIdentifier", "com.example/a/b"}}));
  EXPECT_EQ(BCNApplicationGetBundleIdentifier(bundle_), "com.example_a_b");
  setInfo(platform::Value::dictionary());
  EXPECT_EQ(BCNApplicationGetBundleIdentifier(bundle_), "");
}

TEST_F(BCNHostTest, VersionsAndNameFallbacks) {
  setInfo(platform::Value::dictionary({{"CFBundleVersion", "200"},
                                       {"CFBundleShortVersionString", "1.2.0"},
                                       {"CFBundleName", "Short"},
                                       {"CFBundleDisplayName", "Display"}}));
  EXPECT_EQ(BCNApplicationGetBuildVersion(bundle_), "200");
  EXPECT_EQ(BCNApplicationGetDisplayVersion(bundle_), "1.2.0");
  EXPECT_EQ(BCNApplicationGetName(bundle_), "Display");
  setInfo(platform::Value::dictionary({{"CFBundleVersion", "200"}, {"CFBundleName", "Short"}}));
  EXPECT_EQ(BCNApplicationGetName(bundle_), "Short");
  setInfo(platform::Value::dictionary({{"CFBundleVersion", "200"}, {"CFBundleName", 7}}));
  EXPECT_EQ(BCNApplicationGetName(bundle_), "200");
  EXPECT_EQ(BCNApplicationGetDisplayVersion(bundle_), "");
}

TEST_F(BCNHostTest, ReceiptIsLookedForOnlyOnSystemsThatKnowIt) {
  setInfo(platform::Value::dictionary({{"CFBundleIdentifier", "a"}}));
  write(BCNApplicationGetAppStoreReceiptPath(bundle_), "receipt");
  setOSVersion("10.13.1");  // number 0: below 1070, the file is not looked at
  EXPECT_FALSE(BCNApplicationHasAppStoreReceipt(host_, bundle_));
  EXPECT_EQ(BCNApplicationGetInstallSource(host_, bundle_), kBCNInstallSourceDeveloper);
  setOSVersion("10.6.8");
  EXPECT_FALSE(BCNApplicationHasAppStoreReceipt(host_, bundle_));
  setOSVersion("10.9.1");
  EXPECT_TRUE(BCNApplicationHasAppStoreReceipt(host_, bundle_));
  EXPECT_EQ(BCNApplicationGetInstallSource(host_, bundle_), kBCNInstallSourceAppStore);
  std::filesystem::remove(BCNApplicationGetAppStoreReceiptPath(bundle_));
  EXPECT_FALSE(BCNApplicationHasAppStoreReceipt(host_, bundle_));
}

TEST_F(BCNHostTest, InstallSourceSignedForDistribution) {
  setOSVersion("12");
  setInfo(platform::Value::dictionary({{"CrashtrailSignedForDistribution", true}}));
  EXPECT_TRUE(BCNApplicationIsSignedForDistribution(bundle_));
  EXPECT_EQ(BCNApplicationGetInstallSource(host_, bundle_), kBCNInstallSourceSignedForDistribution);
  setInfo(platform::Value::dictionary({{"CrashtrailSignedForDistribution", "NO"}}));
  EXPECT_FALSE(BCNApplicationIsSignedForDistribution(bundle_));
  EXPECT_EQ(BCNApplicationGetInstallSource(host_, bundle_), kBCNInstallSourceDeveloper);
}

TEST_F(BCNHostTest, DeviceIdentifierSwitchPrecedence) {
  setInfo(platform::Value::dictionary());
  EXPECT_TRUE(BCNApplicationCollectsDeviceIdentifiers(bundle_));
  setInfo(platform::Value::dictionary({{"CrashtrailCollectDeviceIdentifiers", false}}));
  EXPECT_FALSE(BCNApplicationCollectsDeviceIdentifiers(bundle_));
  setInfo(platform::Value::dictionary(
      {{"CrashtrailCollectDeviceIdentifiers", false},
       {"Beacon", platform::Value::dictionary({{"ReportIdentifiers", true}})}}));
  EXPECT_TRUE(BCNApplicationCollectsDeviceIdentifiers(bundle_));
  setInfo(platform::Value::dictionary(
      {{"Beacon", platform::Value::dictionary({{"ReportIdentifiers", false}})}}));
  EXPECT_FALSE(BCNApplicationCollectsDeviceIdentifiers(bundle_));
}

}  // namespace
}  // namespace sdk
