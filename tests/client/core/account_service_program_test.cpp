// The local account service run as a program, as the demo run starts it:
// it writes its certificate authority where the client trusts it, prints
// its base URL, serves a whole login and ends cleanly on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "account-service/account_service.h"
#include "account_service_fixture.h"
#include "client/Singletons/varnel_log.h"
#include "client/core/account_manager.h"
#include "platform/system/user_defaults.h"
#include "support/wait.h"

extern char** environ;

namespace client {
namespace {

using platform::Value;

class AccountServiceProgramTest : public testing::AccountServiceTest {};

TEST_F(AccountServiceProgramTest, DemoRunServesALogin) {
  VarnelLog::resetSharedInstanceForTesting();
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string program = VARNEL_ACCOUNT_SERVICE_PROGRAM;
  const std::string data = account_service::AccountService::demoDataFilePath();
  std::vector<std::string> args = {program, "--data", data};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);

  // The first line of its output is the base URL (a blocking read, no polling).
  std::string url;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') url += c;
  ::close(out[0]);
  ASSERT_TRUE(url.starts_with("https://127.0.0.1:")) << url;

  auto client = makeClient({url, url, url, url});
  auto defaults = platform::UserDefaults::create("h11.program", root().file("prefs"));
  auto manager = VRAccountManager::create(client, defaults);
  bool probed = false;
  client->updateReachableServers([&] { probed = true; });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return probed; }));
  EXPECT_EQ(client->baseURL().absoluteString(), url);
  Value reply;
  manager->loginWithUsername("demo@varnelvpn.test", "demo-password",
                             [&](const Value& r) { reply = r; });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !reply.isNone(); }));
  EXPECT_FALSE(reply.contains("error")) << reply.description();
  EXPECT_EQ(manager->accounts().size(), 3u);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return manager->currentServers() != nullptr; }));
  varnel::testing::waitUntilOnMainRunLoop(
      [&] { return client->operationQueue()->operationCount() == 0; });

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  VarnelLog::resetSharedInstanceForTesting();
}

TEST(AccountServiceDataTest, QueryParsingAndDataFile) {
  auto q = account_service::parseQuery("u=a%20b%26c%40x&p=&v=4&flag");
  EXPECT_EQ(q["u"], "a b&c@x");
  EXPECT_EQ(q["p"], "");
  EXPECT_EQ(q["v"], "4");
  EXPECT_TRUE(q.contains("flag"));
  platform::Error error;
  EXPECT_TRUE(account_service::AccountService::loadDataFile("/nonexistent.json", &error).isNone());
  EXPECT_TRUE(error);
  Value data = account_service::AccountService::loadDataFile(
      account_service::AccountService::demoDataFilePath());
  ASSERT_TRUE(data.isDictionary());
  EXPECT_GE(data["users"].count(), 1u);
}

}  // namespace
}  // namespace client
