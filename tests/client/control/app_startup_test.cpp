#include "client/core/app_startup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "client/control/fake_helper_process.h"
#include "client/core/updater.h"
#include "codecs/keychain_store.h"
#include "platform/system/user_defaults.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"
#include "support/wait.h"

namespace {

using platform::Value;
using test_support::HTTPReply;
using test_support::HTTPTestServer;

const char* kFeed =
    "<?xml version=\"1.0\"?>\n<rss version=\"2.0\"><channel>\n"
    "<item><enclosure url=\"https://127.0.0.1/a.zip\" x:version=\"119\" length=\"0\"/></item>\n"
    "<item><enclosure url=\"https://127.0.0.1/b.zip\" x:version=\"120\" length=\"0\"/></item>\n"
    "</channel></rss>\n";

class AppStartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::UserDefaults::resetStandardUserDefaults();
    client::VRUpdater::resetSharedUpdaterForTesting();
    server_ = HTTPTestServer::start();
    server_->setReply("/api/ping/", HTTPReply::json("{\"success\":true}"));
    server_->setReply("/api/mac_v2.xml", HTTPReply::text(200, kFeed, "application/xml"));
    ::setenv(client::kAccountServiceURLsEnvironmentVariable, server_->url("/api").c_str(), 1);
    apiClient_ = client::VRPUDIPClient::make();
  }
  void TearDown() override {
    ::unsetenv(client::kAccountServiceURLsEnvironmentVariable);
    client::VRUpdater::resetSharedUpdaterForTesting();
    platform::UserDefaults::resetStandardUserDefaults();
  }
  std::size_t pings() {
    std::size_t n = 0;
    for (const auto& r : server_->requests()) n += r.path == "/api/ping/";
    return n;
  }

  varnel::testing::TempRoot root_;
  std::unique_ptr<HTTPTestServer> server_;
  client::VRPUDIPClient::Ptr apiClient_;
};

TEST_F(AppStartupTest, StartUpRunsInOrderAndSetsTheFeedWhenTheProbeEnds) {
  auto defaults = platform::UserDefaults::standardUserDefaults();
  defaults->setObject(true, "LogToConsole");  // a stored value survives registration
  std::vector<std::string> steps;
  client::AppStartup::Hooks hooks;
  hooks.disableMenuItemsOnLogout = [&] { steps.push_back("menus"); };
  hooks.startCrashReporting = [&] {
    EXPECT_TRUE(defaults->boolForKey("NSApplicationCrashOnExceptions"));
    EXPECT_TRUE(defaults->objectForKey("OpenPorts").isNone());
    steps.push_back("crash");
  };
  hooks.offerMoveToApplicationsFolder = [&] { steps.push_back("move"); };
  hooks.centerWindow = [&] {
    EXPECT_TRUE(defaults->boolForKey("ShowNotifications"));
    steps.push_back("center");
  };
  hooks.becomeUserNotificationDelegate = [&] { steps.push_back("notifications"); };
  client::AppStartup startup(hooks, apiClient_);
  startup.applicationDidFinishLaunching();
  EXPECT_EQ(steps, (std::vector<std::string>{"menus", "crash", "move", "center", "notifications"}));
  EXPECT_TRUE(defaults->boolForKey("LogToConsole"));
  EXPECT_EQ(defaults->arrayForKey("OpenPorts"),
            Value::array({"443", "500", "550", "1289", "2207", "3155"}));

  // The login joins the running probe instead of starting a second one.
  bool joined = false;
  ASSERT_TRUE(client::BaseURLProbe::isRunning(apiClient_));
  client::BaseURLProbe::run(apiClient_, [&] { joined = true; });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return joined; }));
  EXPECT_EQ(pings(), 1u);
  auto updater = client::VRUpdater::sharedUpdater();
  ASSERT_TRUE(updater->feedURL());
  EXPECT_EQ(updater->feedURL()->absoluteString(), server_->url("/api/mac_v2.xml"));

  client::UpdateCheckResult result;
  bool checked = false;
  updater->checkForUpdates([&](const client::UpdateCheckResult& r) {
    result = r;
    checked = true;
  });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return checked; }));
  EXPECT_FALSE(result.error) << result.error.description();
  EXPECT_EQ(result.latestVersion, "120");
}

TEST_F(AppStartupTest, UpdateChecksFailVisibly) {
  auto updater = client::VRUpdater::sharedUpdater();
  std::vector<client::UpdateCheckResult> results;
  updater->checkForUpdates([&](const client::UpdateCheckResult& r) { results.push_back(r); });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return results.size() == 1; }));
  EXPECT_TRUE(results[0].error);

  server_->setReply("/missing.xml", HTTPReply::text(404, "no"));
  updater->setFeedURL(platform::URL(server_->url("/missing.xml")));
  updater->checkForUpdates([&](const client::UpdateCheckResult& r) { results.push_back(r); });
  updater->checkForUpdates([&](const client::UpdateCheckResult& r) { results.push_back(r); });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return results.size() == 3; }));
  EXPECT_TRUE(results[1].error);
  EXPECT_TRUE(results[2].error);
  EXPECT_EQ(server_->requestCount(), 1u);  // the second check joined the first
}

TEST_F(AppStartupTest, LogoutRemovesTheStoredKeyAndTerminates) {
  ASSERT_TRUE(codecs::KeychainStore::setPassword(
      std::string("secret-key"), std::string("VarnelVPN Client"), std::string("API")));
  int menus = 0, terminated = 0;
  client::AppStartup::Hooks hooks;
  hooks.disableMenuItemsOnLogout = [&] { ++menus; };
  hooks.terminate = [&] { ++terminated; };
  client::AppStartup(hooks, apiClient_).logoutAction();
  EXPECT_EQ(menus, 1);
  EXPECT_EQ(terminated, 1);
  EXPECT_FALSE(codecs::KeychainStore::passwordForService(std::string("VarnelVPN Client"),
                                                         std::string("API")));
}

TEST(AppStartupRulesTest, SmallRules) {
  EXPECT_TRUE(client::contains("pppd: Connection Established now", "Connection Established"));
  EXPECT_FALSE(client::contains("connection established", "Connection Established"));
  EXPECT_TRUE(client::AppStartup::canOpenPreferences(true, client::DialerStatus::Disconnected));
  EXPECT_FALSE(client::AppStartup::canOpenPreferences(false, client::DialerStatus::Disconnected));
  EXPECT_FALSE(client::AppStartup::canOpenPreferences(true, client::DialerStatus::Connected));
  EXPECT_EQ(client::AppStartup::updateFeedURL("https://a.example/api/"),
            "https://a.example/api/mac_v2.xml");
  EXPECT_EQ(client::AppStartup::updateFeedURL("https://a.example/api"),
            "https://a.example/api/mac_v2.xml");
  EXPECT_EQ(client::VRUpdater::compareVersions("1.10", "1.9"), 1);
  EXPECT_EQ(client::VRUpdater::compareVersions("200", "200"), 0);
  EXPECT_EQ(client::VRUpdater::compareVersions("1.2", "1.2.1"), -1);
  EXPECT_EQ(client::VRUpdater::latestVersionInFeed(kFeed), "120");
  EXPECT_EQ(client::VRUpdater::latestVersionInFeed("<rss version=\"2.0\"/>"), "");
  // The readable version travels with the build number of the newest offer.
  const auto latest = client::VRUpdater::latestInFeed(
      "<enclosure url='a' version='119' shortVersionString='1.1.9'/>"
      "<enclosure url='b' feed:version=\"120\" x:shortVersionString=\"1.2.0\"/>"
      "<enclosure url='c' version='99' shortVersionString='0.9.9'/>");
  EXPECT_EQ(latest.version, "120");
  EXPECT_EQ(latest.shortVersion, "1.2.0");
}

}  // namespace
