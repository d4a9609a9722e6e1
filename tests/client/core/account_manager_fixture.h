// Fixture for tests of the account manager against the local account
// service: the service started with its demo data, a client whose base URLs
// all point at it, owner-only user defaults in the temporary root and a
// manager over both. Tear-down waits for the client's operations to end, so
// no reply reaches a test that has gone.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "account_service_fixture.h"
#include "client/Singletons/varnel_log.h"
#include "client/core/account_manager.h"
#include "platform/foundation/value.h"
#include "platform/system/user_defaults.h"
#include "support/wait.h"

namespace client::testing {

class AccountManagerServiceTest : public AccountServiceTest {
 protected:
  // `defaultsName` names the user defaults' domain.
  explicit AccountManagerServiceTest(std::string defaultsName)
      : defaultsName_(std::move(defaultsName)) {}

  void SetUp() override {
    AccountServiceTest::SetUp();
    VarnelLog::resetSharedInstanceForTesting();
    service_ = startService();
    const std::string url = service_->baseURL();
    client_ = makeClient({url, url, url, url});
    defaults_ = platform::UserDefaults::create(defaultsName_, root().file("prefs"));
    manager_ = VRAccountManager::create(client_, defaults_);
  }
  void TearDown() override {
    varnel::testing::waitUntilOnMainRunLoop(
        [this] { return client_->operationQueue()->operationCount() == 0; });
    varnel::testing::waitUntilOnMainRunLoop([] { return false; }, std::chrono::milliseconds(50));
    VarnelLog::resetSharedInstanceForTesting();
    AccountServiceTest::TearDown();
  }

  // Logs in through the manager and returns what its callback got.
  platform::Value login(const std::string& user, const std::string& password) {
    platform::Value reply;
    manager_->loginWithUsername(user, password, [&](const platform::Value& r) { reply = r; });
    EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !reply.isNone(); }));
    return reply;
  }
  // The requests the service received for `path`, oldest first.
  std::vector<test_support::HTTPRecordedRequest> requestsTo(const std::string& path) {
    std::vector<test_support::HTTPRecordedRequest> out;
    for (const auto& r : service_->server().requests())
      if (r.path == path) out.push_back(r);
    return out;
  }

  std::unique_ptr<account_service::AccountService> service_;
  VRPUDIPClient::Ptr client_;
  std::shared_ptr<platform::UserDefaults> defaults_;
  VRAccountManager::Ptr manager_;

 private:
  std::string defaultsName_;
};

}  // namespace client::testing
