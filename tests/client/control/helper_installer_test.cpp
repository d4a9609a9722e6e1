#include "client/core/helper_installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/servicemanagement/service_management.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"
#include "platform/xpc/service_names.h"
#include "support/temp_root.h"

namespace {

using platform::sysconfig::Authorization;
using platform::sysconfig::AuthorizationStatus;

class HelperInstallerTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    appFolder_ = root().file("app");
    platform::paths::createDirectories(appFolder_);
    writeProgram(appFolder_ + "/VarnelVPN", "client");
    bundle_ = platform::Bundle::forExecutable(appFolder_ + "/VarnelVPN");
    authorization_.policy = [this](const std::string&) {
      ++authorizationRequests_;
      return refuse_ ? platform::sysconfig::kAuthorizationDenied
                     : platform::sysconfig::kAuthorizationSuccess;
    };
  }

  static void writeProgram(const std::string& path, const std::string& marker) {
    ASSERT_TRUE(platform::files::writeFileAtomically(path, "#!/bin/sh\n# " + marker + "\n", 0755));
  }
  static void writeInfo(const std::string& programPath, const std::string& version) {
    platform::Value info =
        platform::Value::dictionary({{"CFBundleIdentifier", "VarnelHelper"},
                                     {"CFBundleVersion", platform::Value(version)},
                                     {"CFBundleShortVersionString", "1.2.0"}});
    ASSERT_TRUE(platform::plist::writeFile(programPath + ".plist", info));
  }
  // The helper shipped inside the client's installation.
  void ship(const std::string& version) {
    writeProgram(appFolder_ + "/VarnelHelper", "helper " + version);
    if (!version.empty()) writeInfo(appFolder_ + "/VarnelHelper", version);
  }
  std::string installedProgram() {
    return platform::servicemanagement::installedHelperPath("VarnelHelper");
  }
  std::optional<std::string> installedVersion() {
    return client::CodesigningUtilities::bundleVersionForCodeSignedItemAtURL(installedProgram());
  }
  std::string installedText() { return platform::files::readFile(installedProgram()).value_or(""); }

  std::string appFolder_;
  std::shared_ptr<const platform::Bundle> bundle_;
  Authorization::Options authorization_;  // counts requests, refuses on refuse_
  int authorizationRequests_ = 0;
  bool refuse_ = false;
};

TEST_F(HelperInstallerTest, FreshInstallPutsProgramRecordUnitsAndConfigurationInPlace) {
  ship("200");
  client::CodesigningUtilities utilities(bundle_, authorization_);
  ASSERT_TRUE(utilities.installHelperWithLabel("VarnelHelper"));
  EXPECT_EQ(installedVersion(), "200");
  EXPECT_NE(installedText().find("helper 200"), std::string::npos);
  struct stat st;
  ASSERT_EQ(::stat(installedProgram().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);

  auto record = platform::xpc::readLaunchRecord(platform::xpc::launchRecordPath("VarnelHelper"));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->program, installedProgram());
  ASSERT_EQ(record->machServices.size(), 1u);
  EXPECT_EQ(record->machServices[0], "VarnelHelper");

  std::string units = platform::paths::systemdUnits();
  auto socket = platform::files::readFile(units + "/varnel-helper.socket");
  auto service = platform::files::readFile(units + "/varnel-helper.service");
  ASSERT_TRUE(socket && service);
  EXPECT_NE(socket->find("ListenStream=" + platform::xpc::socketPathForService("VarnelHelper")),
            std::string::npos);
  EXPECT_NE(service->find("ExecStart=" + installedProgram()), std::string::npos);
  auto config = platform::files::readFile(platform::paths::system("/etc/varnel/helper.conf"));
  ASSERT_TRUE(config);
  EXPECT_NE(config->find("Client=" + appFolder_ + "/VarnelVPN"), std::string::npos);
}

TEST_F(HelperInstallerTest, SameVersionIsKeptWithoutAskingForAuthorization) {
  ship("200");
  client::CodesigningUtilities first(bundle_, authorization_);
  ASSERT_TRUE(first.installHelperWithLabel("VarnelHelper"));
  // Mark the installed copy so that a reinstall would show.
  writeProgram(installedProgram(), "installed marker");
  authorizationRequests_ = 0;
  client::CodesigningUtilities second(bundle_, authorization_);
  EXPECT_TRUE(second.installHelperWithLabel("VarnelHelper"));
  EXPECT_EQ(authorizationRequests_, 0);
  EXPECT_NE(installedText().find("installed marker"), std::string::npos);
}

TEST_F(HelperInstallerTest, DifferentShippedVersionReplacesTheInstalledHelper) {
  ship("199");
  ASSERT_TRUE(
      client::CodesigningUtilities(bundle_, authorization_).installHelperWithLabel("VarnelHelper"));
  ship("200");
  ASSERT_TRUE(
      client::CodesigningUtilities(bundle_, authorization_).installHelperWithLabel("VarnelHelper"));
  EXPECT_EQ(installedVersion(), "200");
  EXPECT_NE(installedText().find("helper 200"), std::string::npos);
}

TEST_F(HelperInstallerTest, UnreadableShippedVersionKeepsTheWorkingHelper) {
  ship("200");
  ASSERT_TRUE(
      client::CodesigningUtilities(bundle_, authorization_).installHelperWithLabel("VarnelHelper"));
  // The shipped copy loses its information file, then the program itself.
  ::unlink((appFolder_ + "/VarnelHelper.plist").c_str());
  authorizationRequests_ = 0;
  EXPECT_TRUE(
      client::CodesigningUtilities(bundle_, authorization_).installHelperWithLabel("VarnelHelper"));
  ::unlink((appFolder_ + "/VarnelHelper").c_str());
  EXPECT_TRUE(
      client::CodesigningUtilities(bundle_, authorization_).installHelperWithLabel("VarnelHelper"));
  EXPECT_EQ(authorizationRequests_, 0);
  EXPECT_EQ(installedVersion(), "200");
}

TEST_F(HelperInstallerTest, RefusedAuthorizationFailsAndChangesNothing) {
  ship("200");
  refuse_ = true;
  platform::Error error;
  client::CodesigningUtilities utilities(bundle_, authorization_);
  EXPECT_FALSE(utilities.blessHelperWithLabel("VarnelHelper", &error));
  EXPECT_EQ(error.domain(), platform::servicemanagement::kOSStatusErrorDomain);
  EXPECT_EQ(error.code(), platform::sysconfig::kAuthorizationDenied);
  EXPECT_FALSE(utilities.installHelperWithLabel("VarnelHelper"));
  EXPECT_FALSE(installedVersion());

  // An update refused by the user leaves the old helper working.
  refuse_ = false;
  ship("199");
  ASSERT_TRUE(
      client::CodesigningUtilities(bundle_, authorization_).installHelperWithLabel("VarnelHelper"));
  refuse_ = true;
  ship("200");
  EXPECT_FALSE(
      client::CodesigningUtilities(bundle_, authorization_).installHelperWithLabel("VarnelHelper"));
  EXPECT_EQ(installedVersion(), "199");
}

TEST_F(HelperInstallerTest, MissingOrForeignShippedHelperIsNotInstalled) {
  client::CodesigningUtilities utilities(bundle_, authorization_);
  platform::Error error;
  EXPECT_FALSE(utilities.blessHelperWithLabel("VarnelHelper", &error));
  EXPECT_EQ(error.code(), platform::servicemanagement::kSMErrorToolNotValid);
  writeProgram(appFolder_ + "/VarnelHelper", "other");
  platform::Value info = platform::Value::dictionary(
      {{"CFBundleIdentifier", "SomethingElse"}, {"CFBundleVersion", "200"}});
  ASSERT_TRUE(platform::plist::writeFile(appFolder_ + "/VarnelHelper.plist", info));
  EXPECT_FALSE(utilities.blessHelperWithLabel("VarnelHelper", &error));
  EXPECT_EQ(error.code(), platform::servicemanagement::kSMErrorInvalidSignature);
  EXPECT_FALSE(installedVersion());
}

TEST_F(HelperInstallerTest, InformationEmbeddedInTheProgramIsRead) {
  // A helper without an information file prints its list when asked.
  const std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>CFBundleIdentifier</key><string>VarnelHelper</string>"
      "<key>CFBundleVersion</key><string>201</string></dict></plist>";
  ASSERT_TRUE(platform::files::writeFileAtomically(
      appFolder_ + "/VarnelHelper",
      "#!/bin/sh\n[ \"$1\" = --info-plist ] && printf '%s\\n' '" + plist + "'\n", 0755));
  EXPECT_EQ(client::CodesigningUtilities::bundleVersionForCodeSignedItemAtURL(appFolder_ +
                                                                              "/VarnelHelper"),
            "201");
  ASSERT_TRUE(
      client::CodesigningUtilities(bundle_, authorization_).installHelperWithLabel("VarnelHelper"));
  EXPECT_EQ(installedVersion(), "201");
}

TEST(ServiceManagementTest, UnitNamesAndVersionsOfOddPaths) {
  EXPECT_EQ(platform::servicemanagement::unitNameForLabel("VarnelHelper"), "varnel-helper");
  EXPECT_EQ(platform::servicemanagement::unitNameForLabel("helper"), "helper");
  EXPECT_FALSE(client::CodesigningUtilities::bundleVersionForCodeSignedItemAtURL(std::nullopt));
  EXPECT_FALSE(client::CodesigningUtilities::bundleVersionForCodeSignedItemAtURL(""));
  EXPECT_FALSE(client::CodesigningUtilities::bundleVersionForCodeSignedItemAtURL("/nonexistent/x"));
}

}  // namespace
