#include "client/core/dialer_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "client/control/control_fixture.h"
#include "client/core/account_manager.h"
#include "client/core/connection_failure.h"
#include "client/core/open_account.h"
#include "support/manual_clock.h"
#include "support/wait.h"

namespace {

using client::DialerStatus;
using platform::Value;

class FakeServices : public client::DialerServices {
 public:
  void waitForOperations(std::function<void()> completion) override {
    if (holdOperations) {
      held = std::move(completion);
    } else {
      platform::dispatch::Queue::main()->async(std::move(completion));
    }
  }
  client::BaseAccount::Ptr currentAccount() override { return account; }
  std::int64_t connectionType() override { return type; }
  void pollWithCompletionHandler(std::function<void(const Value&)> completion) override {
    ++ipPolls;
    platform::dispatch::Queue::main()->async([completion] {
      completion(Value::dictionary({{"ip", "127.0.0.9"}}));
    });
  }
  void clearKeepaliveToken() override { ++keepaliveClears; }

  client::BaseAccount::Ptr account = client::OpenAccount::instanceFromDictionary(Value::dictionary(
      {{"id", 7}, {"remote", "127.0.0.1"}, {"city", "Paris"}, {"country", "France"}}));
  std::int64_t type = 3;
  bool holdOperations = false;
  std::function<void()> held;
  int ipPolls = 0;
  int keepaliveClears = 0;
};

class RecordingView : public client::DialerView {
 public:
  void setStatusText(const std::string& text, double) override { statusTexts.push_back(text); }
  void showDisconnectControl(const std::string& label) override { controlLabel = label; }
  void showConnectControl() override { controlLabel = "Connect"; }
  void setConnectedTimeText(const std::string& text) override { timeText = text; }
  void setIPAddressText(const std::string& address, double) override { ip = address; }
  void showMessage(const std::string& text) override { message = text; }
  void showWarning(const std::string& text) override { warning = text; }
  void applyControls(const client::DialerControls& row) override {
    controls = row;
    ++controlUpdates;
  }
  void presentUserNotification(const std::string& title, const std::string& text) override {
    EXPECT_EQ(title, "VarnelVPN");
    userNotifications.push_back(text);
  }
  bool notified(const std::string& part) const {
    for (const std::string& n : userNotifications)
      if (n.find(part) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> statusTexts, userNotifications;
  std::string controlLabel, timeText, ip, message, warning;
  client::DialerControls controls;
  int controlUpdates = 0;
};

// A request object that only counts, for the cases that need no helper.
class CountingRequest : public client::HelperRequest {
 public:
  void SetAccount(client::BaseAccount::Ptr, std::int64_t) override {}
  void Start() override { ++starts; }
  void Disconnect() override { ++disconnects; }
  bool hasConnection() const override { return starts > 0; }
  int starts = 0, disconnects = 0;
};

class DialerStateTest : public control_test::ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    services_ = std::make_shared<FakeServices>();
    view_ = std::make_shared<RecordingView>();
  }
  // The dialer's clock tick and retry delay, and the poll of the helper
  // requests it makes (unless `factory` makes others), run on `clock_`.
  void make(client::HelperRequestFactory factory = nullptr) {
    if (!factory) {
      factory = [clock = clock_](std::weak_ptr<client::HelperRequestDelegate> delegate) {
        client::XPCWrapper::Options options = fakeHelperOptions();
        options.clock = clock;
        return std::shared_ptr<client::HelperRequest>(
            client::XPCWrapper::initWithController(std::move(delegate), options));
      };
    }
    dialer_ = client::DialerState::create(services_, view_, std::move(factory), clock_);
  }
  // Once the dialer's helper request polls: lets one poll interval pass on
  // the clock and waits until the helper has seen one more poll.
  bool nextPoll(control_test::FakeHelper& helper) {
    if (!varnel::testing::waitUntilOnMainRunLoop([&] {
          auto wrapper = std::dynamic_pointer_cast<client::XPCWrapper>(dialer_->xpcWrapper());
          return wrapper && wrapper->isPolling();
        }))
      return false;
    const int before = helper.count("request CurrentConnectionState");
    clock_->advance(std::chrono::milliseconds(500));
    return helper.waitFor("request CurrentConnectionState", before + 1);
  }
  // Polls until what a poll brought makes `done` hold (at once when it holds
  // already). A poll already on its way when the helper was told the news
  // brings the old state: then the next one brings the news.
  bool pollUntil(control_test::FakeHelper& helper, const std::function<bool()>& done) {
    settle();
    if (done()) return true;  // an earlier poll brought it
    for (int i = 0; i < 10; ++i) {
      if (!nextPoll(helper)) return false;
      if (varnel::testing::waitUntilOnMainRunLoop(done, std::chrono::milliseconds(200)))
        return true;
    }
    return false;
  }
  bool pollUntilStatus(control_test::FakeHelper& helper, DialerStatus s) {
    return pollUntil(helper, [&] { return dialer_->status() == s; });
  }
  // Runs, without waiting, what the main loop has due now and what that
  // posts in turn.
  static void settle() {
    for (int i = 0; i < 3; ++i) platform::runloop::RunLoop::main().processPending();
  }
  // Lets the retry delay pass on the clock and runs what that set off.
  void passRetryDelay() {
    clock_->advance(std::chrono::seconds(2));
    settle();
  }
  bool waitStatus(DialerStatus s, int ms = 10000) {
    return varnel::testing::waitUntilOnMainRunLoop([&] { return dialer_->status() == s; },
                                                   std::chrono::milliseconds(ms));
  }
  std::vector<std::string> vpnNotifications() const { return notifications_; }

  std::shared_ptr<FakeServices> services_;
  std::shared_ptr<RecordingView> view_;
  std::shared_ptr<client::DialerState> dialer_;
  std::shared_ptr<varnel::testing::ManualClock> clock_ = varnel::testing::ManualClock::create();
};

const std::string kOpenRequest = "request OpenVPNConnectionRequest";

TEST_F(DialerStateTest, ConnectRunsTheClockAndDisconnectEndsIt) {
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  make();
  dialer_->clickControlButton();
  EXPECT_EQ(dialer_->status(), DialerStatus::Connecting);
  EXPECT_EQ(view_->controlLabel, "Cancel");
  EXPECT_EQ(view_->timeText, "Connecting");
  ASSERT_TRUE(helper.waitFor(kOpenRequest));
  ASSERT_TRUE(nextPoll(helper));
  helper.send("state 5");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Connected));
  EXPECT_EQ(view_->controlLabel, "Disconnect");
  EXPECT_TRUE(view_->notified("You have been connected to Paris, France."));
  EXPECT_EQ(services_->keepaliveClears, 1);
  const int ipPolls = services_->ipPolls;
  EXPECT_GE(ipPolls, 1);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return view_->ip == "127.0.0.9"; }));
  clock_->advance(std::chrono::milliseconds(999));
  settle();
  EXPECT_NE(view_->timeText, "0:01");
  clock_->advance(std::chrono::milliseconds(1));
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return view_->timeText == "0:01"; }));

  dialer_->clickControlButton();
  EXPECT_EQ(dialer_->status(), DialerStatus::Disconnecting);
  ASSERT_TRUE(helper.waitFor("request DisconnectConnection"));
  // The control does nothing while disconnecting.
  dialer_->clickControlButton();
  EXPECT_EQ(helper.count("request DisconnectConnection"), 1);
  // The next tick finds the connection gone.
  clock_->advance(std::chrono::seconds(1));
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return view_->timeText == "Not Connected"; }));
  helper.send("state 1");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Disconnected));
  EXPECT_EQ(services_->ipPolls, ipPolls + 1);
  EXPECT_EQ(view_->statusTexts.back(), "Disconnected");
  EXPECT_EQ(vpnNotifications(),
            (std::vector<std::string>{"VPNWillConnectNotification", "VPNConnectNotification",
                                      "VPNDisconnectNotification"}));
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return log().find("Changing status to: 1") != std::string::npos; }));
  EXPECT_NE(log().find("Changing status to: 5"), std::string::npos);
  EXPECT_TRUE(dialer_->lastErrorMessage().empty());
}

TEST_F(DialerStateTest, FailureRetriesAfterTwoSecondsThenAtOnceWhileReconnecting) {
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  make();
  dialer_->clickControlButton();
  ASSERT_TRUE(nextPoll(helper));
  helper.send("state 1");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Reconnecting));
  EXPECT_TRUE(view_->notified("Trying again."));
  clock_->advance(std::chrono::milliseconds(1999));
  settle();
  EXPECT_EQ(count(client::kVPNWillConnectNotification), 1) << "not before two seconds";
  clock_->advance(std::chrono::milliseconds(1));
  ASSERT_TRUE(helper.waitFor(kOpenRequest, 2, 5000));
  EXPECT_EQ(count(client::kVPNWillConnectNotification), 2);

  // A failure while reconnecting starts again without the pause.
  ASSERT_TRUE(nextPoll(helper));
  helper.send("state 1");
  ASSERT_TRUE(pollUntil(helper, [&] { return count(client::kVPNDisconnectNotification) == 2; }));
  // Without the clock moving.
  ASSERT_TRUE(helper.waitFor(kOpenRequest, 3, 5000));
  helper.send("state 5");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Connected));
}

TEST_F(DialerStateTest, DropReconnectsAtOnceWithNotificationsInOrder) {
  platform::UserDefaults::standardUserDefaults()->setObject(false, "ShowNotifications");
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  make();
  dialer_->clickControlButton();
  ASSERT_TRUE(nextPoll(helper));
  helper.send("state 5");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Connected));
  helper.send("state 1");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Reconnecting));
  ASSERT_TRUE(helper.waitFor(kOpenRequest, 2, 1500));
  clock_->advance(std::chrono::seconds(1));  // the next tick
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return view_->timeText == "Not Connected"; }));
  helper.send("state 5");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Connected));
  EXPECT_EQ(vpnNotifications(),
            (std::vector<std::string>{"VPNWillConnectNotification", "VPNConnectNotification",
                                      "VPNDisconnectNotification", "VPNWillConnectNotification",
                                      "VPNConnectNotification"}));
  EXPECT_TRUE(view_->userNotifications.empty());
}

TEST_F(DialerStateTest, CancelWithdrawsTheWaitingRetry) {
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  make();
  dialer_->clickControlButton();
  ASSERT_TRUE(nextPoll(helper));
  helper.send("log Read: TCP: connect to [AF_INET]127.0.0.1:443 failed: Connection refused");
  ASSERT_TRUE(
      pollUntil(helper, [&] { return view_->message == client::kServerUnreachableMessage; }));
  helper.send("state 1");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Reconnecting));
  dialer_->clickControlButton();
  ASSERT_TRUE(waitStatus(DialerStatus::Disconnected));
  // "Trying again" is over: the message goes with the cancel.
  EXPECT_EQ(view_->message, "");
  passRetryDelay();
  EXPECT_EQ(helper.count(kOpenRequest), 1);
  EXPECT_EQ(dialer_->status(), DialerStatus::Disconnected);
  EXPECT_EQ(count(client::kVPNWillConnectNotification), 1);
}

TEST_F(DialerStateTest, CancelBeforeTheFirstRequestSendsNothing) {
  auto request = std::make_shared<CountingRequest>();
  make([request](std::weak_ptr<client::HelperRequestDelegate>) { return request; });
  services_->holdOperations = true;
  dialer_->clickControlButton();
  EXPECT_EQ(dialer_->status(), DialerStatus::Connecting);
  dialer_->clickControlButton();
  EXPECT_EQ(dialer_->status(), DialerStatus::Disconnected);
  ASSERT_TRUE(services_->held);
  services_->held();
  EXPECT_EQ(request->starts, 0);
  EXPECT_EQ(dialer_->status(), DialerStatus::Disconnected);
  EXPECT_EQ(count(client::kVPNWillConnectNotification), 0);
}

TEST_F(DialerStateTest, ConnectReportAfterCancelDoesNotResurrectTheConnection) {
  auto request = std::make_shared<CountingRequest>();
  make([request](std::weak_ptr<client::HelperRequestDelegate>) { return request; });
  dialer_->clickControlButton();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return request->starts == 1; }));
  dialer_->clickControlButton();
  EXPECT_EQ(request->disconnects, 1);
  platform::NotificationCenter::defaultCenter().post(client::kVPNConnectNotification);
  EXPECT_EQ(dialer_->status(), DialerStatus::Disconnecting);
  platform::NotificationCenter::defaultCenter().post(client::kVPNDisconnectNotification);
  EXPECT_EQ(dialer_->status(), DialerStatus::Disconnected);
  EXPECT_EQ(request->starts, 1);
}

TEST_F(DialerStateTest, UnreachableHelperEndsConnectingWithAMessage) {
  make();
  dialer_->clickControlButton();
  ASSERT_TRUE(waitStatus(DialerStatus::Disconnected, 5000));
  EXPECT_NE(dialer_->lastErrorMessage().find("could not be reached"), std::string::npos);
  EXPECT_TRUE(view_->notified("could not be reached"));
  passRetryDelay();
  EXPECT_EQ(dialer_->status(), DialerStatus::Disconnected);
  EXPECT_EQ(count(client::kVPNWillConnectNotification), 1);
}

TEST_F(DialerStateTest, UnservedConnectionTypeEndsWithAMessage) {
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  services_->type = 7;
  make();
  dialer_->clickControlButton();
  ASSERT_TRUE(helper.waitFor("request IntentionallyBroken"));
  ASSERT_TRUE(waitStatus(DialerStatus::Disconnected));
  EXPECT_NE(dialer_->lastErrorMessage().find("IKEv2"), std::string::npos);
}

// What the helper logs for each failure that retrying cannot mend, and what
// the user reads about it.
struct PermanentFailure {
  const char* helperLog;
  const char* message;
};

TEST_F(DialerStateTest, PermanentFailuresEndTheRetryLoopWithTheirMessage) {
  const PermanentFailure failures[] = {
      {"OpenVPN request refused: This server needs an obfuscation (scramble) that the installed "
       "OpenVPN does not support.",
       client::kScrambleUnsupportedMessage},
      {"OpenVPN request refused: unusable value for \"port\".", client::kRequestRefusedMessage},
      {"Read: >LOG:1700000000,,AUTH: Received control message: AUTH_FAILED",
       client::kAuthenticationFailedMessage},
      {"Refused to start /opt/x/openvpn: not an executable that this installation ships.",
       client::kOpenVPNMissingMessage},
  };
  for (const PermanentFailure& failure : failures) {
    SCOPED_TRACE(failure.helperLog);
    control_test::FakeHelper helper;
    ASSERT_TRUE(helper.waitReady());
    view_ = std::make_shared<RecordingView>();
    make();
    dialer_->clickControlButton();
    ASSERT_TRUE(nextPoll(helper));
    // The helper logs the reason, then reports the failed state.
    helper.send(std::string("log 2026-01-01 00:00:00:000 ") + failure.helperLog);
    helper.send("state 2");
    ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Disconnected));
    EXPECT_EQ(dialer_->lastErrorMessage(), failure.message);
    EXPECT_EQ(view_->message, failure.message);
    EXPECT_TRUE(view_->notified(failure.message));
    EXPECT_FALSE(view_->notified("Trying again."));
    EXPECT_EQ(view_->timeText, "Not Connected");
    // The helper is told to stop, and nothing starts again (the retry would
    // come 2 s later).
    ASSERT_TRUE(helper.waitFor("request DisconnectConnection"));
    const int willConnect = count(client::kVPNWillConnectNotification);
    passRetryDelay();
    EXPECT_EQ(count(client::kVPNWillConnectNotification), willConnect);
    EXPECT_EQ(helper.count(kOpenRequest), 1);
    EXPECT_EQ(dialer_->status(), DialerStatus::Disconnected);
    // The technical text stays in the log.
    EXPECT_NE(log().find(failure.helperLog), std::string::npos);
    dialer_.reset();
  }
}

TEST_F(DialerStateTest, TransientProblemIsShownWhileTheRetryingGoesOn) {
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  make();
  dialer_->clickControlButton();
  ASSERT_TRUE(nextPoll(helper));
  helper.send("state 3");
  const std::string refused =
      "Read: >LOG:1700000000,W,TCP: connect to [AF_INET]127.0.0.1:443 failed: Connection refused";
  helper.send("log " + refused + "\\n" + refused);
  ASSERT_TRUE(
      pollUntil(helper, [&] { return view_->message == client::kServerUnreachableMessage; }));
  EXPECT_EQ(dialer_->status(), DialerStatus::Connecting);
  EXPECT_TRUE(dialer_->lastErrorMessage().empty());
  // Shown once, not once per line.
  EXPECT_EQ(std::count(view_->userNotifications.begin(), view_->userNotifications.end(),
                       client::kServerUnreachableMessage),
            1);
  // The attempt fails for now: it is tried again, and the connection that
  // then comes up clears the message (as a cancel would).
  helper.send("state 1");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Reconnecting));
  clock_->advance(std::chrono::seconds(2));
  ASSERT_TRUE(helper.waitFor(kOpenRequest, 2, 5000));
  helper.send("state 5");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Connected));
  EXPECT_EQ(view_->message, "");
  EXPECT_TRUE(dialer_->lastErrorMessage().empty());
}

TEST_F(DialerStateTest, ABurstOfProblemsIsOneUserNotification) {
  make([](std::weak_ptr<client::HelperRequestDelegate>) {
    return std::shared_ptr<client::HelperRequest>(std::make_shared<CountingRequest>());
  });
  dialer_->clickControlButton();
  ASSERT_TRUE(waitStatus(DialerStatus::Connecting));
  const std::vector<std::string> problems = {client::kServerUnreachableMessage,
                                             client::kServerSilentMessage,
                                             client::kServerNotFoundMessage};
  const auto noticesOfProblems = [&] {
    return std::count_if(view_->userNotifications.begin(), view_->userNotifications.end(),
                         [&](const std::string& n) {
                           return std::find(problems.begin(), problems.end(), n) != problems.end();
                         });
  };
  // As after a resume: several problems within a second.
  for (const std::string& problem : problems) dialer_->helperRequestDidReportProblem(problem);
  dialer_->helperRequestDidReportProblem(client::kServerUnreachableMessage);
  EXPECT_EQ(view_->message, client::kServerUnreachableMessage) << "the line shows the latest";
  EXPECT_EQ(noticesOfProblems(), 1);
  // A problem well after the burst is told again.
  clock_->advance(std::chrono::seconds(11));
  dialer_->helperRequestDidReportProblem(client::kServerSilentMessage);
  EXPECT_EQ(noticesOfProblems(), 2);
}

TEST_F(DialerStateTest, RefusedRequestTellsTheReasonTheHelperLogged) {
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  // A type the helper does not serve: its reply has no "result", and the
  // helper logged why.
  services_->type = 8;
  ASSERT_TRUE(helper.send("log SSTP request refused: a value is missing or unusable."));
  make();
  dialer_->clickControlButton();
  ASSERT_TRUE(waitStatus(DialerStatus::Disconnected));
  EXPECT_EQ(dialer_->lastErrorMessage(), client::kRequestRefusedMessage);
  EXPECT_EQ(view_->message, client::kRequestRefusedMessage);
}

TEST_F(DialerStateTest, RefusalWithItsReasonEndsWithThatReason) {
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  ASSERT_TRUE(helper.send(
      "refuse This server needs an obfuscation (scramble) that the installed OpenVPN does not "
      "support."));
  make();
  dialer_->clickControlButton();
  ASSERT_TRUE(waitStatus(DialerStatus::Disconnected));
  EXPECT_EQ(dialer_->lastErrorMessage(), client::kScrambleUnsupportedMessage);
  EXPECT_TRUE(view_->notified(client::kScrambleUnsupportedMessage));
  passRetryDelay();
  EXPECT_EQ(count(client::kVPNWillConnectNotification), 1);
  EXPECT_EQ(helper.count(kOpenRequest), 1);
}

TEST_F(DialerStateTest, StatusChangesArePosted) {
  auto request = std::make_shared<CountingRequest>();
  make([request](std::weak_ptr<client::HelperRequestDelegate>) { return request; });
  std::vector<DialerStatus> seen;
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      client::kDialerStatusDidChangeNotification, nullptr, nullptr,
      [&](const platform::Notification& n) {
        seen.push_back(n.objectAs<client::DialerState>()->status());
      });
  dialer_->clickControlButton();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return request->starts == 1; }));
  platform::NotificationCenter::defaultCenter().post(client::kVPNConnectNotification);
  platform::NotificationCenter::defaultCenter().post("VRAccountManager.switchDidStopNotification");
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(seen, (std::vector<DialerStatus>{DialerStatus::Connecting, DialerStatus::Connected,
                                             DialerStatus::Reconnecting}));
  EXPECT_EQ(request->starts, 2);  // the switch counts as a drop: reconnect at once
}

// The controls table, row by row, as the header states it.
TEST(DialerControlsTest, EveryRowOfTheTable) {
  using client::DialerControls;
  using client::DialerState;
  struct Row {
    DialerStatus status;
    bool switching;
    const char* title;
    bool control, location, settings, accounts, shield;
  };
  const Row rows[] = {
      {DialerStatus::Disconnected, false, "Connect", true, true, true, true, false},
      {DialerStatus::Disconnected, true, "Connect", false, false, false, false, false},
      {DialerStatus::Connecting, false, "Cancel", true, false, false, true, false},
      {DialerStatus::Connected, false, "Disconnect", true, false, false, true, true},
      {DialerStatus::Reconnecting, false, "Cancel", true, false, false, true, false},
      {DialerStatus::Disconnecting, false, "Connect", false, false, false, true, false},
      // A switch never takes away the way to stop a running connection.
      {DialerStatus::Connected, true, "Disconnect", true, false, false, false, true},
      {DialerStatus::Reconnecting, true, "Cancel", true, false, false, false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.status) * 10 + r.switching);
    const DialerControls c = DialerState::controlsFor(r.status, r.switching);
    EXPECT_EQ(c.controlTitle, r.title);
    EXPECT_EQ(c.controlEnabled, r.control);
    EXPECT_EQ(c.changeLocationEnabled, r.location);
    EXPECT_EQ(c.settingsEnabled, r.settings);
    EXPECT_EQ(c.accountMenuEnabled, r.accounts);
    EXPECT_EQ(c.shieldConnected, r.shield);
  }
  // Before any login there is no dialer: everything is free.
  EXPECT_EQ(DialerState::currentControls(),
            DialerState::controlsFor(DialerStatus::Disconnected, false));
}

// After every way an attempt can end, the view holds the row of the status
// the dialer is in: nothing keeps the lock of an attempt that is over.
TEST_F(DialerStateTest, EveryEndingOfAnAttemptLeavesTheControlsOfItsState) {
  const auto free = client::DialerState::controlsFor(DialerStatus::Disconnected, false);
  auto expectRow = [&](DialerStatus s) {
    EXPECT_EQ(dialer_->status(), s);
    EXPECT_EQ(view_->controls, client::DialerState::controlsFor(s, false));
    EXPECT_EQ(client::DialerState::currentControls(), view_->controls);
  };
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  make();
  EXPECT_EQ(client::DialerState::current(), dialer_);

  // A permanent failure.
  dialer_->clickControlButton();
  expectRow(DialerStatus::Connecting);
  ASSERT_TRUE(nextPoll(helper));
  helper.send("log Read: >LOG:1700000000,,AUTH: Received control message: AUTH_FAILED");
  helper.send("state 2");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Disconnected));
  expectRow(DialerStatus::Disconnected);
  EXPECT_TRUE(view_->controls.settingsEnabled);

  // Connected, then cancelled by the user.
  helper.send("state 3");
  dialer_->clickControlButton();
  ASSERT_TRUE(helper.waitFor(kOpenRequest, 2));
  ASSERT_TRUE(nextPoll(helper));
  helper.send("state 5");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Connected));
  expectRow(DialerStatus::Connected);
  dialer_->clickControlButton();
  expectRow(DialerStatus::Disconnecting);
  ASSERT_TRUE(helper.waitFor("request DisconnectConnection", 2));
  helper.send("state 1");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Disconnected));
  expectRow(DialerStatus::Disconnected);

  // A transient failure that the user gives up on while it retries.
  dialer_->clickControlButton();
  ASSERT_TRUE(helper.waitFor(kOpenRequest, 3));
  ASSERT_TRUE(nextPoll(helper));
  helper.send("state 1");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Reconnecting));
  expectRow(DialerStatus::Reconnecting);
  dialer_->clickControlButton();
  ASSERT_TRUE(waitStatus(DialerStatus::Disconnected));
  expectRow(DialerStatus::Disconnected);

  // The helper goes away in the middle of an attempt.
  helper.send("state 3");
  dialer_->clickControlButton();
  ASSERT_TRUE(helper.waitFor(kOpenRequest, 4));
  ASSERT_TRUE(nextPoll(helper));
  helper.send("exit");
  ASSERT_TRUE(pollUntil(helper, [&] { return dialer_->status() != DialerStatus::Connecting; }) ||
              dialer_->status() != DialerStatus::Connecting);
  passRetryDelay();
  ASSERT_TRUE(waitStatus(DialerStatus::Disconnected));
  expectRow(DialerStatus::Disconnected);
  EXPECT_EQ(view_->controls, free);
}

TEST_F(DialerStateTest, ServerSwitchLocksTheSettingsAndTheConnect) {
  auto request = std::make_shared<CountingRequest>();
  make([request](std::weak_ptr<client::HelperRequestDelegate>) { return request; });
  auto& center = platform::NotificationCenter::defaultCenter();
  center.post(client::kSwitchWillStartNotification);
  EXPECT_TRUE(dialer_->isSwitching());
  EXPECT_EQ(view_->controls, client::DialerState::controlsFor(DialerStatus::Disconnected, true));
  // Nothing starts while the account's settings are being replaced.
  dialer_->clickControlButton();
  EXPECT_EQ(dialer_->status(), DialerStatus::Disconnected);
  center.post(client::kSwitchDidStopNotification);
  EXPECT_EQ(view_->controls, client::DialerState::controlsFor(DialerStatus::Disconnected, false));
  dialer_->clickControlButton();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return request->starts == 1; }));
}

const std::string kLostLine =
    "log 2026-01-01 00:00:00:000 The connection to the server was lost (ping-restart); "
    "reconnecting.";

TEST_F(DialerStateTest, HelperReconnectIsShownAndItsReturnOrGivingUpFollowed) {
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  make();
  dialer_->clickControlButton();
  ASSERT_TRUE(nextPoll(helper));
  helper.send("state 5");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Connected));
  EXPECT_TRUE(view_->controls.shieldConnected);

  // The server goes away: the helper says why, then reports 3.
  helper.send(kLostLine);
  helper.send("state 3");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Reconnecting));
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return view_->message.find("ping-restart") != std::string::npos; }));
  EXPECT_EQ(view_->message,
            "The connection to the VPN server was lost (ping-restart). Reconnecting.");
  EXPECT_EQ(view_->statusTexts.back(), "Reconnecting");
  EXPECT_FALSE(view_->controls.shieldConnected);
  EXPECT_EQ(view_->ip, "") << "the tunnel's address is not the visible one any more";
  clock_->advance(std::chrono::seconds(1));
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return view_->timeText == "Not Connected"; }));
  // The helper restores it by itself: the client starts nothing.
  EXPECT_EQ(helper.count(kOpenRequest), 1);

  // It comes back.
  helper.send("state 5");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Connected));
  EXPECT_EQ(view_->message, "");
  EXPECT_TRUE(view_->controls.shieldConnected);

  // It goes away again, now without a reason, and the helper gives up.
  helper.send("state 3");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Reconnecting));
  EXPECT_EQ(view_->message, client::kConnectionLostDefaultMessage);
  helper.send("state 1");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Disconnected));
  EXPECT_EQ(dialer_->lastErrorMessage(), client::kConnectionGivenUpMessage);
  EXPECT_EQ(view_->message, client::kConnectionGivenUpMessage);
  EXPECT_TRUE(view_->notified(client::kConnectionGivenUpMessage));
  passRetryDelay();
  EXPECT_EQ(helper.count(kOpenRequest), 1);
  EXPECT_EQ(dialer_->status(), DialerStatus::Disconnected);
  EXPECT_EQ(view_->controls, client::DialerState::controlsFor(DialerStatus::Disconnected, false));
}

TEST_F(DialerStateTest, RouteErrorIsAWarningBesideConnected) {
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  make();
  dialer_->clickControlButton();
  ASSERT_TRUE(nextPoll(helper));
  // What the helper logs of OpenVPN's state line, and its state, in one poll.
  helper.send(
      "log 2026-01-01 00:00:00:000 Read: >STATE:1700000000,CONNECTED,ROUTE_ERROR,10.8.0.2,"
      "127.0.0.1,1194,,");
  helper.send("state 5");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Connected));
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return view_->warning == client::kRouteErrorMessage; }));
  EXPECT_EQ(dialer_->warningMessage(), client::kRouteErrorMessage);
  EXPECT_EQ(view_->statusTexts.back(), "Connected");
  EXPECT_EQ(view_->message, "") << "not a failure";
  // Gone with the connection it was about.
  dialer_->clickControlButton();
  EXPECT_EQ(view_->warning, "");
  ASSERT_TRUE(helper.waitFor("request DisconnectConnection"));
  helper.send("state 1");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Disconnected));
  // A clean connection shows none.
  dialer_->clickControlButton();
  ASSERT_TRUE(helper.waitFor(kOpenRequest, 2));
  ASSERT_TRUE(nextPoll(helper));
  helper.send("log Read: >STATE:1700000001,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,,");
  helper.send("state 5");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Connected));
  settle();
  EXPECT_EQ(view_->warning, "");
}

// OpenVPN's "CONNECTED,ERROR" (set up with errors) is a warning beside
// Connected as well, with its own words; it goes with the connection.
TEST_F(DialerStateTest, SetupErrorIsAWarningBesideConnected) {
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  make();
  dialer_->clickControlButton();
  ASSERT_TRUE(nextPoll(helper));
  helper.send(
      "log 2026-01-01 00:00:00:000 Read: >STATE:1796912198,CONNECTED,ERROR,10.8.0.2,"
      "127.0.0.1,1194,,");
  helper.send("state 5");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Connected));
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return view_->warning == client::kSetupErrorMessage; }));
  EXPECT_EQ(dialer_->warningMessage(), client::kSetupErrorMessage);
  EXPECT_EQ(view_->statusTexts.back(), "Connected");
  EXPECT_EQ(view_->message, "") << "not a failure";
  EXPECT_TRUE(view_->controls.shieldConnected);
  // The connection goes away: the warning with it.
  helper.send("state 3");
  ASSERT_TRUE(pollUntilStatus(helper, DialerStatus::Reconnecting));
  EXPECT_EQ(view_->warning, "");
  EXPECT_FALSE(view_->controls.shieldConnected);
}

TEST_F(DialerStateTest, FailureTextGoesWhenTheAccountOrTypeChanges) {
  auto request = std::make_shared<CountingRequest>();
  make([request](std::weak_ptr<client::HelperRequestDelegate>) { return request; });
  auto& center = platform::NotificationCenter::defaultCenter();
  for (const char* change : {client::kConnectionTypeDidChangeNotification,
                             client::kCurrentAccountDidChangeNotification}) {
    SCOPED_TRACE(change);
    dialer_->clickControlButton();
    ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
        [&] { return dialer_->status() == DialerStatus::Connecting && request->starts > 0; }));
    dialer_->helperRequestDidFail("The IKEv2 connection type is not supported.");
    ASSERT_EQ(view_->message, "The IKEv2 connection type is not supported.");
    center.post(change);
    EXPECT_EQ(view_->message, "");
    EXPECT_EQ(dialer_->lastErrorMessage(), "");
  }
  // While an attempt goes on, its problem stays: it is about that attempt.
  const int starts = request->starts;
  dialer_->clickControlButton();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return request->starts > starts; }));
  dialer_->helperRequestDidReportProblem(client::kServerUnreachableMessage);
  center.post(client::kCurrentAccountDidChangeNotification);
  EXPECT_EQ(view_->message, client::kServerUnreachableMessage);
}

TEST_F(DialerStateTest, RunningConnectionKeepsTheAccountItWasStartedWith) {
  auto request = std::make_shared<CountingRequest>();
  make([request](std::weak_ptr<client::HelperRequestDelegate>) { return request; });
  auto first = services_->account;
  dialer_->clickControlButton();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return request->starts == 1; }));
  platform::NotificationCenter::defaultCenter().post(client::kVPNConnectNotification);
  services_->account = client::OpenAccount::instanceFromDictionary(
      Value::dictionary({{"id", 8}, {"remote", "127.0.0.2"}}));
  services_->type = 4;
  EXPECT_EQ(dialer_->runningAccount(), first);
  EXPECT_EQ(dialer_->runningConnectionType(), 3);
  dialer_->clickControlButton();
  EXPECT_EQ(dialer_->runningAccount(), first) << "until it has ended";
  platform::NotificationCenter::defaultCenter().post(client::kVPNDisconnectNotification);
  EXPECT_EQ(dialer_->runningAccount(), nullptr);
  EXPECT_EQ(dialer_->runningConnectionType(), -1);
}

TEST(DialerConnectTimeTest, TextOfTheConnectedTime) {
  using client::DialerState;
  EXPECT_EQ(DialerState::connectTimeString(0), "0:00");
  EXPECT_EQ(DialerState::connectTimeString(59), "0:59");
  EXPECT_EQ(DialerState::connectTimeString(3661), "1:01:01");
  EXPECT_EQ(DialerState::connectTimeString(86399), "23:59:59");
  EXPECT_EQ(DialerState::connectTimeString(86400 + 3600 + 61), "1 Days 1:01:01");
  EXPECT_EQ(DialerState::connectTimeString(86400 + 125), "1 Days 2:05");
  EXPECT_EQ(DialerState::connectTimeString(2 * 86400 + 7), "2 Days 0:07");
  auto german = [](const std::string&) { return std::string("Tage"); };
  EXPECT_EQ(DialerState::connectTimeString(86400, german), "1 Tage 0:00");
}

}  // namespace
