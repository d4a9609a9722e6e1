#include "client/core/login_flow.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/Singletons/varnel_log.h"
#include "platform/foundation/format.h"
#include "support/temp_root.h"

namespace {

using platform::Value;

// Holds every completion until the test answers it.
class FakeServices : public client::LoginServices {
 public:
  std::optional<std::string> storedAPIKey() override { return stored; }
  void storeAPIKey(const std::string& key) override {
    stored = key;
    events.push_back("store " + key);
  }
  void probeBaseURL(std::function<void()> completion) override {
    events.push_back("probe");
    probe = std::move(completion);
  }
  void login(const std::string& email, const std::string& password,
             std::function<void(const Value&)> completion) override {
    events.push_back("login " + email + "/" + password);
    loginReply = std::move(completion);
  }
  std::string accountAPIKey() override { return accountKey; }
  HelperInstallation installHelper() override {
    events.push_back("install");
    return installation;
  }

  std::optional<std::string> stored;
  std::string accountKey;
  HelperInstallation installation{true, ""};
  std::function<void()> probe;
  std::function<void(const Value&)> loginReply;
  std::vector<std::string> events;
};

class FakeView : public client::LoginView {
 public:
  std::string emailText() override { return email; }
  std::string passwordText() override { return password; }
  void setPasswordText(const std::string& text) override { password = text; }
  void focusEmailField() override { focus = "email"; }
  void focusPasswordField() override { focus = "password"; }
  void setProgressText(const std::string& text) override { progress.push_back(text); }
  void setEntriesEnabled(bool enabled) override { entriesEnabled = enabled; }
  void setIndicatorVisible(bool visible) override { indicator = visible; }
  void showLoginError(const std::string& message) override { errors.push_back(message); }
  void showHelperFailure(const std::string& message, const std::string& reason) override {
    helperFailure = {message, reason};
  }
  void loginDidSucceed() override { events.push_back("menus"); }
  void hideLoginWindow() override { events.push_back("hide"); }
  void openDialer() override { events.push_back("dialer"); }
  void terminateApplication() override { events.push_back("terminate"); }

  std::string email, password, focus;
  std::vector<std::string> progress, errors, events;
  std::vector<std::string> helperFailure;
  bool entriesEnabled = true;
  bool indicator = false;
};

// The flow logs its failures to the client's log: it goes to the test's own root.
class LoginFlowTest : public varnel::testing::TempRootTest {
 protected:
  void TearDown() override { client::VarnelLog::resetSharedInstanceForTesting(); }
  void SetUp() override {
    services = std::make_shared<FakeServices>();
    view = std::make_shared<FakeView>();
    flow = client::LoginFlow::create(services, view);
  }
  // Runs the probe and the login up to the service's reply.
  void answer(const Value& reply) {
    ASSERT_TRUE(services->probe);
    auto probe = std::move(services->probe);
    probe();
    ASSERT_TRUE(services->loginReply);
    auto loginReply = std::move(services->loginReply);
    loginReply(reply);
  }

  std::shared_ptr<FakeServices> services;
  std::shared_ptr<FakeView> view;
  std::shared_ptr<client::LoginFlow> flow;
};

TEST_F(LoginFlowTest, EntriesAreCheckedBeforeAnythingIsSent) {
  // An empty e-mail needs a 20-character key; a 19 or 21 one focuses the e-mail.
  for (const char* password : {"1234567890123456789", "123456789012345678901", ""}) {
    view->password = password;
    view->focus.clear();
    flow->startLoginAction();
    EXPECT_EQ(view->focus, "email") << password;
  }
  // Twenty characters counted as the window counts them: "é" is one unit.
  view->password =
      "\xC3\xA9"
      "234567890123456789";
  flow->startLoginAction();
  EXPECT_EQ(view->focus, "email");
  view->email = "demo@varnelvpn.test";
  view->password.clear();
  flow->startLoginAction();
  EXPECT_EQ(view->focus, "password");
  EXPECT_TRUE(services->events.empty());
  EXPECT_TRUE(view->entriesEnabled);
  EXPECT_TRUE(view->progress.empty());

  view->email.clear();
  view->password =
      "\xC3\xA9"
      "2345678901234567890";  // 20 units, 21 bytes
  flow->startLoginAction();
  EXPECT_EQ(services->events, std::vector<std::string>{"probe"});
}

TEST_F(LoginFlowTest, FailedLoginShowsTheServerTextUnlocksOnDismissAndKeepsTheKey) {
  services->stored = "OLDKEY";
  view->email = "demo@varnelvpn.test";
  view->password = "wrong";
  flow->startLoginAction();
  EXPECT_FALSE(view->entriesEnabled);
  EXPECT_TRUE(view->indicator);
  EXPECT_TRUE(flow->isRunning());
  answer(Value::dictionary({{"error", "Invalid username or password."}}));
  EXPECT_EQ(view->progress, (std::vector<std::string>{client::kCheckingMirrorsText,
                                                      client::kAuthenticatingText, ""}));
  ASSERT_EQ(view->errors.size(), 1u);
  EXPECT_EQ(view->errors[0], platform::format(client::kLoginErrorFormat,
                                              std::string("Invalid username or password.")));
  EXPECT_FALSE(view->indicator);
  EXPECT_FALSE(view->entriesEnabled);  // locked until the alert is dismissed
  flow->loginErrorDismissed();
  EXPECT_TRUE(view->entriesEnabled);
  EXPECT_FALSE(flow->isRunning());
  EXPECT_EQ(services->stored, "OLDKEY");
  EXPECT_TRUE(view->events.empty());  // no menus, no dialer

  // A reply that is no dictionary, and an error that is no text.
  flow->startLoginAction();
  answer(Value());
  EXPECT_EQ(view->errors.back(), platform::format(client::kLocalLoginErrorFormat,
                                                  std::string(client::kLoginNoAnswerText)));
  flow->startLoginAction();
  answer(Value::dictionary({{"error", 42}}));
  EXPECT_EQ(view->errors.back(), platform::format(client::kLoginErrorFormat, std::string("42")));
}

TEST_F(LoginFlowTest, StoredKeyLogsInByItselfStoresTheKeyAndOpensTheDialer) {
  services->stored = "DEMOKEY7Q2W9E4R6T1Y3";
  services->accountKey = "DEMOKEY7Q2W9E4R6T1Y3";
  flow->startAutomaticLogin();
  EXPECT_EQ(view->password, "DEMOKEY7Q2W9E4R6T1Y3");
  answer(Value::dictionary({{"accounts", Value::array()}}));
  EXPECT_EQ(services->events, (std::vector<std::string>{"probe", "login /DEMOKEY7Q2W9E4R6T1Y3",
                                                        "store DEMOKEY7Q2W9E4R6T1Y3", "install"}));
  EXPECT_EQ(view->events, (std::vector<std::string>{"menus", "hide", "dialer"}));
  EXPECT_FALSE(flow->isRunning());

  // Without a stored key the window waits for the user.
  auto quiet = std::make_shared<FakeServices>();
  auto quietView = std::make_shared<FakeView>();
  client::LoginFlow::create(quiet, quietView)->startAutomaticLogin();
  EXPECT_TRUE(quiet->events.empty());
  EXPECT_TRUE(quietView->password.empty());
}

TEST_F(LoginFlowTest, FailedHelperInstallationSaysWhyAndEndsTheApplicationOnceDismissed) {
  for (const std::string& reason : {std::string("Authorization was refused."), std::string()}) {
    SetUp();
    services->installation = {false, reason};
    services->accountKey = "NEWKEY";
    view->email = "demo@varnelvpn.test";
    view->password = "demo-password";
    flow->startLoginAction();
    answer(Value::dictionary({{"accounts", Value::array()}}));
    // The key is stored before the installation, as after any good login.
    EXPECT_EQ(services->stored, "NEWKEY");
    ASSERT_EQ(view->helperFailure.size(), 2u);
    EXPECT_EQ(view->helperFailure[0], client::kHelperFailureMessage);
    EXPECT_EQ(view->helperFailure[1],
              reason.empty() ? std::string(client::kHelperFailureDefaultReason) : reason);
    EXPECT_EQ(view->events, (std::vector<std::string>{"menus", "hide"}));  // no dialer
    flow->helperFailureDismissed();
    EXPECT_EQ(view->events, (std::vector<std::string>{"menus", "hide", "terminate"}));
  }
}

TEST_F(LoginFlowTest, RepliesAfterTheWindowHasGoneDoNothing) {
  view->email = "demo@varnelvpn.test";
  view->password = "demo-password";
  flow->startLoginAction();
  auto probe = std::move(services->probe);
  flow.reset();
  probe();
  EXPECT_EQ(services->events, std::vector<std::string>{"probe"});

  flow = client::LoginFlow::create(services, view);
  flow->startLoginAction();
  services->probe();
  auto reply = std::move(services->loginReply);
  view.reset();
  flow.reset();
  reply(Value::dictionary({{"accounts", Value::array()}}));
  EXPECT_EQ(services->events.back(), "login demo@varnelvpn.test/demo-password");
}

TEST_F(LoginFlowTest, WithoutServicesEntriesAreCheckedButNothingIsSent) {
  auto bare = client::LoginFlow::create(nullptr, view);
  bare->startLoginAction();
  EXPECT_EQ(view->focus, "email");
  view->email = "demo@varnelvpn.test";
  view->password = "demo-password";
  bare->startLoginAction();
  bare->startAutomaticLogin();
  EXPECT_TRUE(view->entriesEnabled);
  EXPECT_TRUE(view->progress.empty());
}

}  // namespace
