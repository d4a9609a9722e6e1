// The fixture of the connection-control tests: a temporary system root and
// home, fresh user defaults with the start-up's "OpenPorts", a fresh client
// log, and a record
// of the VPN notifications in the order they were posted.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/Singletons/varnel_log.h"
#include "client/control/fake_helper_process.h"
#include "client/core/connection_state.h"
#include "client/core/xpc_wrapper.h"
#include "platform/system/notification_center.h"
#include "platform/system/user_defaults.h"
#include "support/temp_root.h"

namespace control_test {

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::UserDefaults::resetStandardUserDefaults();
    client::VarnelLog::resetSharedInstanceForTesting();
    platform::UserDefaults::standardUserDefaults()->registerDefaults(platform::Value::dictionary(
        {{"OpenPorts", platform::Value::array({"443", "500", "550", "1289", "2207", "3155"})},
         {"ShowNotifications", true}}));
    for (const char* name : {client::kVPNWillConnectNotification, client::kVPNConnectNotification,
                             client::kVPNDisconnectNotification}) {
      tokens_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
          name, nullptr, nullptr,
          [this](const platform::Notification& n) { notifications_.push_back(n.name); }));
    }
  }
  void TearDown() override {
    for (auto& t : tokens_) platform::NotificationCenter::defaultCenter().removeObserver(t);
    client::VarnelLog::resetSharedInstanceForTesting();
    platform::UserDefaults::resetStandardUserDefaults();
  }
  int count(const char* name) const {
    int n = 0;
    for (const std::string& s : notifications_) n += s == name;
    return n;
  }
  std::string log() const { return client::VarnelLog::sharedInstance().GetLog(); }
  // The wrapper's options for the fake helper, which runs as an ordinary user.
  static client::XPCWrapper::Options fakeHelperOptions(double replyTimeout = 20.0) {
    client::XPCWrapper::Options options;
    options.replyTimeout = replyTimeout;
    options.allowUnprivilegedHelper = true;
    return options;
  }

  varnel::testing::TempRoot root_;
  std::vector<std::string> notifications_;
  std::vector<platform::NotificationCenter::ObserverToken> tokens_;
};

}  // namespace control_test
