// The installation records the user who authorized it ("User=<uid>" beside
// "Client=" in the helper configuration) and gives that user the channel
// socket; the helper serves that user and root only.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "platform/servicemanagement/service_management.h"
#include "platform/sysconfig/authorization.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"
#include "support/temp_root.h"

namespace {

namespace sm = platform::servicemanagement;
using platform::sysconfig::Authorization;

// Sets (or, for nullptr, unsets) an environment variable for the scope.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedVariable() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(AuthorizingUser, PolkitThenSudoThenTheRealUser) {
  {
    ScopedVariable pkexec("PKEXEC_UID", "1234"), sudo("SUDO_UID", "99");
    EXPECT_EQ(sm::authorizingUserFromEnvironment(), 1234u);
  }
  {
    ScopedVariable pkexec("PKEXEC_UID", nullptr), sudo("SUDO_UID", "99");
    EXPECT_EQ(sm::authorizingUserFromEnvironment(), 99u);
  }
  for (const char* junk : {"", "12x", "-1", "4294967295", "99999999999", " 7"}) {
    ScopedVariable pkexec("PKEXEC_UID", junk), sudo("SUDO_UID", nullptr);
    EXPECT_EQ(sm::authorizingUserFromEnvironment(), ::getuid()) << '"' << junk << '"';
  }
  ScopedVariable pkexec("PKEXEC_UID", nullptr), sudo("SUDO_UID", nullptr);
  EXPECT_EQ(sm::authorizingUserFromEnvironment(), ::getuid());
}

class UserRecordTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    app_ = root().file("app");
    platform::paths::createDirectories(app_);
    ASSERT_TRUE(platform::files::writeFileAtomically(app_ + "/VarnelVPN", "#!/bin/sh\n", 0755));
    ASSERT_TRUE(platform::files::writeFileAtomically(app_ + "/VarnelHelper", "#!/bin/sh\n", 0755));
    ASSERT_TRUE(platform::plist::writeFile(
        app_ + "/VarnelHelper.plist",
        platform::Value::dictionary(
            {{"CFBundleIdentifier", "VarnelHelper"}, {"CFBundleVersion", "200"}})));
    bundle_ = platform::Bundle::forExecutable(app_ + "/VarnelVPN");
    ASSERT_TRUE(bundle_);
    Authorization::Options granting;
    granting.policy = [](const std::string&) { return platform::sysconfig::kAuthorizationSuccess; };
    platform::sysconfig::AuthorizationStatus status;
    authorization_ = Authorization::create(&status, granting);
    ASSERT_EQ(authorization_->copyRights(sm::kSMRightBlessPrivilegedHelper, 0),
              platform::sysconfig::kAuthorizationSuccess);
  }

  std::string configuration() {
    return platform::files::readFile(platform::paths::system("/etc/varnel/helper.conf"))
        .value_or("");
  }
  std::string socketUnit() {
    return platform::files::readFile(platform::paths::systemdUnits() + "/varnel-helper.socket")
        .value_or("");
  }

  std::string app_;
  std::shared_ptr<const platform::Bundle> bundle_;
  std::shared_ptr<Authorization> authorization_;
};

TEST_F(UserRecordTest, TheAuthorizingUserIsRecordedBesideTheClientAndOwnsTheSocket) {
  platform::Error error;
  ASSERT_TRUE(sm::blessJob(sm::kSMDomainSystemLaunchd, "VarnelHelper", *bundle_,
                           authorization_.get(), 4321, &error))
      << error.description();
  const std::string conf = configuration();
  EXPECT_NE(conf.find("Client=" + app_ + "/VarnelVPN\nUser=4321\n"), std::string::npos) << conf;
  EXPECT_EQ(sm::authorizedUsers(), std::vector<uid_t>{4321});
  const std::string unit = socketUnit();
  EXPECT_NE(unit.find("\nSocketUser=4321\nSocketMode=0600\n"), std::string::npos) << unit;
  EXPECT_EQ(unit.find("0666"), std::string::npos) << unit;

  // A new installation for another user replaces the record: one user only.
  ScopedVariable pkexec("PKEXEC_UID", "777");
  ASSERT_TRUE(sm::blessJob(sm::kSMDomainSystemLaunchd, "VarnelHelper", *bundle_,
                           authorization_.get(), &error));
  EXPECT_EQ(sm::authorizedUsers(), std::vector<uid_t>{777});
}

TEST_F(UserRecordTest, NoUserNoInstallation) {
  platform::Error error;
  EXPECT_FALSE(sm::blessJob(sm::kSMDomainSystemLaunchd, "VarnelHelper", *bundle_,
                            authorization_.get(), static_cast<uid_t>(-1), &error));
  EXPECT_TRUE(configuration().empty());
}

TEST_F(UserRecordTest, UnreadableUserLinesAreIgnored) {
  const std::string path = platform::paths::system("/etc/varnel/helper.conf");
  ASSERT_TRUE(platform::paths::createDirectories(platform::files::parentFolder(path), 0755));
  ASSERT_TRUE(platform::files::writeFileAtomically(
      path, "User=\nUser=abc\nUser=-5\nUser=4294967295\n# User=8\nUser=12\nUser=0\n", 0644));
  EXPECT_EQ(sm::authorizedUsers(), (std::vector<uid_t>{12, 0}));
}

}  // namespace
