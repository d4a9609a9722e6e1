#include "client/core/xpc_wrapper.h"

#include <gtest/gtest.h>

#include <string>

#include "client/control/control_fixture.h"
#include "client/core/open_account.h"
#include "client/core/pptp_account.h"
#include "ipc/helper_protocol.h"
#include "platform/system/bundle.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "support/manual_clock.h"
#include "support/wait.h"

namespace {

using platform::Value;

client::BaseAccount::Ptr openAccount() {
  return client::OpenAccount::instanceFromDictionary(
      Value::dictionary({{"id", 7}, {"remote", "127.0.0.1"}, {"udp", true}, {"name", "a_b_c"}}));
}

class Delegate : public client::HelperRequestDelegate {
 public:
  void helperRequestDidFail(const std::string& message) override { failures.push_back(message); }
  std::vector<std::string> failures;
};

class XPCWrapperTest : public control_test::ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    delegate_ = std::make_shared<Delegate>();
    wrapper_ = client::XPCWrapper::initWithController(delegate_, fakeHelperOptions());
  }
  // A wrapper whose poll, watchdog and hang check follow `clock_`.
  void useManualClock(double replyTimeout = 20.0) {
    client::XPCWrapper::Options options = fakeHelperOptions(replyTimeout);
    options.clock = clock_;
    wrapper_ = client::XPCWrapper::initWithController(delegate_, options);
  }
  // Once the wrapper polls: advances the clock by one poll interval and
  // waits until that poll reached the helper.
  bool nextPoll(control_test::FakeHelper& helper) {
    if (!varnel::testing::waitUntilOnMainRunLoop([&] { return wrapper_->isPolling(); }))
      return false;
    const int before = helper.count("request CurrentConnectionState");
    clock_->advanceSeconds(kPollInterval);
    return helper.waitFor("request CurrentConnectionState", before + 1);
  }
  // Sends a message behind everything the wrapper has sent on its
  // connection and runs the loop (in `mode`) until it is answered or has
  // failed: whatever the wrapper sent before has then reached the helper,
  // and the replies or errors of its earlier requests have been handled.
  bool barrier(const char* mode = platform::runloop::kDefaultMode) {
    auto connection = wrapper_->currentXPCConnection();
    if (!connection) return false;
    auto done = std::make_shared<bool>(false);
    connection->sendMessage(
        ipc::XPCMessage::messageWithObject(ipc::Object("LogUpdate"), ipc::Object("operation")),
        [done](const ipc::XPCMessage&) { *done = true; },
        [done](const platform::Error&) { *done = true; });
    return varnel::testing::waitUntilOnMainRunLoop([&] { return *done; },
                                                   std::chrono::milliseconds(10000), mode);
  }

  // Lets one poll interval pass on the clock and waits until what that poll
  // brings makes `done` hold. (Not the barrier: its own log request would
  // take the log lines the poll is to bring.)
  bool pollUntil(control_test::FakeHelper& helper, const std::function<bool()>& done) {
    return nextPoll(helper) && varnel::testing::waitUntilOnMainRunLoop(done);
  }

  // Runs, without waiting, what the main loop has due now and what that
  // posts in turn.
  static void settle() {
    for (int i = 0; i < 3; ++i) {
      platform::runloop::RunLoop::main().runMode(platform::runloop::kDefaultMode,
                                                 platform::runloop::Clock::now());
    }
  }

  static constexpr double kPollInterval = 0.5;  // the wrapper's
  std::shared_ptr<varnel::testing::ManualClock> clock_ = varnel::testing::ManualClock::create();
  // Starts the fake helper and a connect with `type`; waits for the request.
  void connect(control_test::FakeHelper& helper, std::int64_t type, const std::string& op) {
    ASSERT_TRUE(helper.waitReady());
    wrapper_->SetAccount(openAccount(), type);
    wrapper_->Start();
    ASSERT_TRUE(helper.waitFor("request " + op));
  }
  std::shared_ptr<Delegate> delegate_;
  std::shared_ptr<client::XPCWrapper> wrapper_;
};

TEST_F(XPCWrapperTest, RequestKeysFollowTheConnectionType) {
  auto open = openAccount();
  for (std::int64_t type : {3, 4, 5}) {
    Value r = client::XPCWrapper::connectionRequest(*open, type);
    EXPECT_EQ(r["operation"].asString(), "OpenVPNConnectionRequest");
    EXPECT_EQ(r["remote"].asString(), "127.0.0.1");
    EXPECT_EQ(r["openVPNPath"].asString(), client::XPCWrapper::openVPNPath());
    EXPECT_EQ(r["portList"], Value::array({"443", "500", "550", "1289", "2207", "3155"}));
    EXPECT_EQ(r.contains("proxyEnabled"), type == 5);
    if (type == 5) {
      EXPECT_TRUE(r["proxyEnabled"].isBool() && r["proxyEnabled"].asBool());
    }
  }
  auto pptp = client::PPTPAccount::instanceFromDictionary(
      Value::dictionary({{"id", 9}, {"ip", "127.0.0.1"}, {"username", "u"}, {"password", "p"}}));
  const Value plain = pptp->dictionaryRepresentation();
  const char* ops[] = {
      "PPTPConnectionRequest", "L2TPConnectionRequest", nullptr, nullptr, nullptr, nullptr,
      "IPSecConnectionRequest"};
  for (std::int64_t type : {0, 1, 6}) {
    Value r = client::XPCWrapper::connectionRequest(*pptp, type);
    EXPECT_EQ(r["operation"].asString(), ops[type]);
    EXPECT_EQ(r.count(), plain.count() + 1) << "type " << type;
  }
  Value sstp = client::XPCWrapper::connectionRequest(*pptp, 2);
  EXPECT_EQ(sstp["operation"].asString(), "SSTPConnectionRequest");
  EXPECT_EQ(sstp["sstpLocation"].asString(), client::XPCWrapper::sstpLocation());
  EXPECT_TRUE(sstp["sstpOptions"].isString());
  for (std::int64_t type : {7, 8, -1})
    EXPECT_EQ(client::XPCWrapper::connectionRequest(*open, type)["operation"].asString(),
              "IntentionallyBroken");
  // Executables are the installation's own or the system's, never a guess.
  EXPECT_EQ(client::XPCWrapper::openVPNPath()[0], '/');
}

TEST_F(XPCWrapperTest, RequestsNameTheInstallationsOwnToolsWhereItHasThem) {
  const std::string app = root_.file("app");
  ASSERT_TRUE(platform::paths::createDirectories(app));
  const auto installation = std::make_shared<platform::Bundle>(app + "/VarnelVPN", app, Value());
  // Without copies of its own: the system's.
  EXPECT_EQ(client::XPCWrapper::openVPNPath(installation), "/usr/sbin/openvpn");
  EXPECT_EQ(client::XPCWrapper::sstpLocation(installation), "/usr/sbin/sstpc");
  // A file that is not executable is no tool either.
  ASSERT_TRUE(platform::files::writeFileAtomically(app + "/openvpn", "#!/bin/sh\n", 0644));
  EXPECT_EQ(client::XPCWrapper::openVPNPath(installation), "/usr/sbin/openvpn");
  ASSERT_TRUE(platform::files::writeFileAtomically(app + "/openvpn", "#!/bin/sh\n", 0755));
  ASSERT_TRUE(platform::files::writeFileAtomically(app + "/sstpc", "#!/bin/sh\n", 0755));
  auto open = openAccount();
  EXPECT_EQ(client::XPCWrapper::connectionRequest(*open, 3, installation)["openVPNPath"],
            Value(app + "/openvpn"));
  auto pptp = client::PPTPAccount::instanceFromDictionary(
      Value::dictionary({{"id", 9}, {"ip", "127.0.0.1"}, {"username", "u"}, {"password", "p"}}));
  const Value sstp = client::XPCWrapper::connectionRequest(*pptp, 2, installation);
  EXPECT_EQ(sstp["sstpLocation"], Value(app + "/sstpc"));
  EXPECT_EQ(sstp["sstpOptions"], Value(app + "/sstp-options"));
}

TEST_F(XPCWrapperTest, PollTurnsStateChangesIntoNotificationsOnceAndCopiesLogLines) {
  useManualClock();
  control_test::FakeHelper helper;
  connect(helper, 3, "OpenVPNConnectionRequest");
  ASSERT_TRUE(nextPoll(helper));
  EXPECT_TRUE(wrapper_->isPolling());
  helper.send("log a\\nbc\\n\\ndef");
  helper.send("state 3");
  ASSERT_TRUE(pollUntil(helper, [&] { return log().find("def") != std::string::npos; }));
  EXPECT_NE(log().find("] bc\n"), std::string::npos);
  EXPECT_EQ(log().find("] a\n"), std::string::npos);
  helper.send("state 5");
  ASSERT_TRUE(pollUntil(helper, [&] { return count(client::kVPNConnectNotification) == 1; }));
  // Two more polls with the same state: no second notification.
  ASSERT_TRUE(nextPoll(helper));
  ASSERT_TRUE(nextPoll(helper));
  ASSERT_TRUE(barrier());
  settle();
  EXPECT_EQ(count(client::kVPNConnectNotification), 1);

  wrapper_->Disconnect();
  ASSERT_TRUE(helper.waitFor("request DisconnectConnection"));
  helper.send("state 1");
  ASSERT_TRUE(pollUntil(helper, [&] { return count(client::kVPNDisconnectNotification) == 1; }));
  EXPECT_FALSE(wrapper_->isPolling());
  const int polls = helper.count("request CurrentConnectionState");
  // Well past several poll intervals, nothing polls.
  clock_->advanceSeconds(4 * kPollInterval);
  settle();
  ASSERT_TRUE(barrier());
  EXPECT_EQ(helper.count("request CurrentConnectionState"), polls);
  EXPECT_EQ(count(client::kVPNDisconnectNotification), 1);
  EXPECT_TRUE(delegate_->failures.empty());
}

TEST_F(XPCWrapperTest, FailedStateEndsTheAttemptLikeADisconnect) {
  useManualClock();
  control_test::FakeHelper helper;
  connect(helper, 3, "OpenVPNConnectionRequest");
  ASSERT_TRUE(nextPoll(helper));
  helper.send("state 2");
  ASSERT_TRUE(pollUntil(helper, [&] { return count(client::kVPNDisconnectNotification) == 1; }));
  EXPECT_FALSE(wrapper_->isPolling());
  EXPECT_EQ(wrapper_->previousConnectionState(), client::kHelperStateFailed);
  // The dialer's retry restarts the same wrapper; an attempt that fails the
  // same way before the first poll is a new ending, not a repeat.
  wrapper_->Start();
  ASSERT_TRUE(helper.waitFor("request OpenVPNConnectionRequest", 2));
  helper.send("state 2");
  ASSERT_TRUE(pollUntil(helper, [&] { return count(client::kVPNDisconnectNotification) == 2; }));
  EXPECT_FALSE(wrapper_->isPolling());
}

TEST_F(XPCWrapperTest, AFailureWithTheSystemsReasonIsShownWithItAndNotRetried) {
  useManualClock();
  control_test::FakeHelper helper;
  connect(helper, 0, "PPTPConnectionRequest");
  ASSERT_TRUE(nextPoll(helper));
  helper.send("state 3");
  helper.send(
      "log 2026-01-01 Connection X ended: the login was refused (wrong user name or password)");
  helper.send("state 2");
  ASSERT_TRUE(pollUntil(helper, [&] { return !delegate_->failures.empty(); }));
  EXPECT_EQ(delegate_->failures[0],
            "The VPN connection failed: the login was refused (wrong user name or password)");
  EXPECT_FALSE(wrapper_->isPolling());
  EXPECT_EQ(count(client::kVPNDisconnectNotification), 0);
}

TEST_F(XPCWrapperTest, PollPausesWhileTheLoopTracksAMenu) {
  useManualClock();
  control_test::FakeHelper helper;
  connect(helper, 4, "OpenVPNConnectionRequest");
  ASSERT_TRUE(nextPoll(helper));
  ASSERT_TRUE(barrier());
  const int polls = helper.count("request CurrentConnectionState");
  // Three intervals pass while a menu is tracked: no poll.
  clock_->advanceSeconds(3 * kPollInterval);
  ASSERT_TRUE(barrier(platform::runloop::kEventTrackingMode));
  EXPECT_EQ(helper.count("request CurrentConnectionState"), polls);
  // Back in the default mode the overdue poll runs once, then on the grid.
  ASSERT_TRUE(helper.waitFor("request CurrentConnectionState", polls + 1));
  ASSERT_TRUE(nextPoll(helper));
}

TEST_F(XPCWrapperTest, UnservedTypeEndsTheAttemptWithAMessage) {
  useManualClock();
  control_test::FakeHelper helper;
  connect(helper, 7, "IntentionallyBroken");
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return !delegate_->failures.empty(); }));
  EXPECT_NE(delegate_->failures[0].find("IKEv2"), std::string::npos) << delegate_->failures[0];
  EXPECT_FALSE(wrapper_->isPolling());
  // Well past several poll intervals, nothing polls.
  clock_->advanceSeconds(4 * kPollInterval);
  ASSERT_TRUE(barrier());
  EXPECT_FALSE(helper.seen("request CurrentConnectionState"));
}

TEST_F(XPCWrapperTest, UnreachableHelperFailsInsteadOfWaiting) {
  wrapper_->SetAccount(openAccount(), 3);
  wrapper_->Start();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !delegate_->failures.empty(); },
                                                      std::chrono::milliseconds(5000)));
  EXPECT_NE(delegate_->failures[0].find("could not be reached"), std::string::npos)
      << delegate_->failures[0];
  EXPECT_TRUE(notifications_.empty());
}

TEST_F(XPCWrapperTest, HelperThatStopsAnsweringFails) {
  useManualClock(1.0);
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  helper.send("hang");
  wrapper_->SetAccount(openAccount(), 3);
  wrapper_->Start();
  ASSERT_TRUE(helper.waitFor("request OpenVPNConnectionRequest"));
  clock_->advanceSeconds(0.9);
  settle();
  EXPECT_TRUE(delegate_->failures.empty());  // not before the time-out
  clock_->advanceSeconds(0.1);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !delegate_->failures.empty(); },
                                                      std::chrono::milliseconds(5000)));
  EXPECT_NE(delegate_->failures[0].find("does not answer"), std::string::npos)
      << delegate_->failures[0];

  // The same once polling runs.
  helper.stop();
  control_test::FakeHelper third;
  ASSERT_TRUE(third.waitReady());
  delegate_->failures.clear();
  wrapper_->Start();
  ASSERT_TRUE(nextPoll(third));
  ASSERT_TRUE(barrier());  // the first poll was answered
  third.send("hang");
  // Unanswered polls: the one that finds the last answer older than the
  // time-out ends the attempt.
  ASSERT_TRUE(nextPoll(third));
  ASSERT_TRUE(nextPoll(third));
  EXPECT_TRUE(delegate_->failures.empty());
  clock_->advanceSeconds(kPollInterval);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !delegate_->failures.empty(); },
                                                      std::chrono::milliseconds(5000)));
  EXPECT_NE(delegate_->failures[0].find("stopped answering"), std::string::npos)
      << delegate_->failures[0];
  EXPECT_FALSE(wrapper_->isPolling());
}

TEST_F(XPCWrapperTest, AHelperThatGoesAwayAfterNotAnsweringFailsOnce) {
  useManualClock(0.5);
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  helper.send("hang");
  wrapper_->SetAccount(openAccount(), 3);
  wrapper_->Start();
  ASSERT_TRUE(helper.waitFor("request OpenVPNConnectionRequest"));
  clock_->advanceSeconds(0.5);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !delegate_->failures.empty(); },
                                                      std::chrono::milliseconds(5000)));
  // The request still waits for its reply when the helper ends: that
  // error belongs to a request that has already failed. (The barrier's
  // own error comes after the request's.)
  helper.stop();
  ASSERT_TRUE(barrier());
  ASSERT_EQ(delegate_->failures.size(), 1u);
  EXPECT_NE(delegate_->failures[0].find("does not answer"), std::string::npos)
      << delegate_->failures[0];
  EXPECT_FALSE(wrapper_->isPolling());
}

TEST_F(XPCWrapperTest, HelperExitWhilePollingReportsADisconnect) {
  useManualClock();
  control_test::FakeHelper helper;
  connect(helper, 3, "OpenVPNConnectionRequest");
  helper.send("state 5");
  ASSERT_TRUE(pollUntil(helper, [&] { return count(client::kVPNConnectNotification) == 1; }));
  helper.stop();
  clock_->advanceSeconds(kPollInterval);  // the poll that finds the helper gone
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNDisconnectNotification) == 1; }));
  EXPECT_FALSE(wrapper_->isPolling());
}

TEST_F(XPCWrapperTest, DisconnectWithoutStartSendsNothing) {
  control_test::FakeHelper helper;
  ASSERT_TRUE(helper.waitReady());
  wrapper_->Disconnect();
  varnel::testing::waitUntilOnMainRunLoop([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_FALSE(helper.seen("peer"));
  EXPECT_FALSE(wrapper_->hasConnection());
}

// The operation of every request the client builds is one the helper's
// protocol table lists, except the deliberately unserved one of IKEv2.
TEST(XPCWrapperProtocol, EveryConnectionRequestNamesAServedOperation) {
  auto account = openAccount();
  for (std::int64_t type = client::kConnectionTypePPTP; type <= client::kConnectionTypeIKEv2;
       ++type) {
    const std::string op =
        client::XPCWrapper::connectionRequest(*account, type)["operation"].asString();
    bool served = false;
    for (const ipc::HelperOperationName& entry : ipc::kHelperOperations)
      served = served || op == entry.name;
    EXPECT_EQ(served, type != client::kConnectionTypeIKEv2) << type << " " << op;
    if (!served) {
      EXPECT_EQ(op, ipc::kUnservedOperation);
    }
  }
}

}  // namespace
