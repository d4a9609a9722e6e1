// The local account service answers refusals only in the forms the client
// is built for: a 4xx status with an "ERROR -" body, or (for a login) a
// reply that carries "error"; and the client handles both.
#include <gtest/gtest.h>

#include "account-service/account_service.h"
#include "account_manager_fixture.h"
#include "client/core/account_manager.h"
#include "support/wait.h"

namespace client {
namespace {

using account_service::Fault;
using platform::Value;

class AccountServiceErrorFormsTest : public testing::AccountManagerServiceTest {
 protected:
  AccountServiceErrorFormsTest() : AccountManagerServiceTest("errorforms.test") {}

  // How many requests went to `path`.
  std::size_t requestsTo(const std::string& path) {
    return AccountManagerServiceTest::requestsTo(path).size();
  }
};

TEST_F(AccountServiceErrorFormsTest, FailedSwitchIsA4xxWithAnErrorText) {
  struct Case {
    const char* query;
    const char* text;
  };
  const Case cases[] = {
      {"key=DEMOKEY7Q2W9E4R6T1Y3&pack=1002&prefix=nowhere&v=4", "ERROR - Unknown server."},
      {"key=DEMOKEY7Q2W9E4R6T1Y3&pack=999&prefix=us2&v=4", "ERROR - Unknown account."},
      {"key=WRONG&pack=1002&prefix=us2&v=4", "ERROR - Invalid key."},
  };
  for (const Case& c : cases) {
    bool succeeded = false, failed = false;
    long status = 0;
    platform::Error error;
    client_->getPath(
        std::string("switch/?") + c.query, Value(),
        [&](const net::http::NKHTTPRequestOperation::Ptr&, const Value&) { succeeded = true; },
        [&](const net::http::NKHTTPRequestOperation::Ptr& op, const platform::Error& e) {
          status = op->response() ? op->response()->statusCode() : 0;
          error = e;
          failed = true;
        });
    ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return succeeded || failed; }))
        << c.query;
    EXPECT_FALSE(succeeded) << c.query << ": a refusal never comes as a 200";
    EXPECT_GE(status, 400) << c.query;
    EXPECT_LT(status, 500) << c.query;
    EXPECT_EQ(error.localizedRecoverySuggestion(), c.text) << c.query;
  }

  // The client's switch sees a failure: callback nil, the model stays.
  ASSERT_FALSE(login("demo@varnelvpn.test", "demo-password").contains("error"));
  auto before = manager_->currentAccount();
  auto unknown = ServerModel::create();
  unknown->setServerName("nowhere");
  bool called = false;
  Value reply = Value("unset");
  manager_->switchServer(unknown, [&](const Value& r) {
    reply = r;
    called = true;
  });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return called; }));
  EXPECT_TRUE(reply.isNone());
  EXPECT_EQ(manager_->currentAccount(), before);
}

TEST_F(AccountServiceErrorFormsTest, LoginReplyCarryingAnErrorIsPassedOnAndKeepsTheModel) {
  service_->setFault("/login/", Fault::errorReply("Your subscription has ended.", 1));
  Value reply = login("demo@varnelvpn.test", "demo-password");
  EXPECT_EQ(reply["error"].asString(), "Your subscription has ended.");
  EXPECT_EQ(reply.count(), 1u) << "passed on unchanged";
  EXPECT_EQ(requestsTo("/login/"), 1u) << "a reply is not retried";
  EXPECT_TRUE(manager_->accounts().empty());
  EXPECT_FALSE(manager_->currentAccount());

  // The next login goes through as usual.
  reply = login("demo@varnelvpn.test", "demo-password");
  EXPECT_FALSE(reply.contains("error")) << reply.description();
  EXPECT_EQ(manager_->accounts().size(), 3u);
}

TEST_F(AccountServiceErrorFormsTest, ScriptedErrorTextIsA4xx) {
  service_->setFault("/poll/", Fault::errorText("Try again later.", 1));
  bool failed = false;
  long status = 0;
  platform::Error error;
  client_->postPath(
      "poll/", Value::dictionary({{"key", Value("k")}}), nullptr,
      [&](const net::http::NKHTTPRequestOperation::Ptr& op, const platform::Error& e) {
        status = op->response() ? op->response()->statusCode() : 0;
        error = e;
        failed = true;
      });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return failed; }));
  EXPECT_EQ(status, 400);
  EXPECT_EQ(error.localizedRecoverySuggestion(), "ERROR - Try again later.");
}

}  // namespace
}  // namespace client
