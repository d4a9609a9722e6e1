// Shared set-up of the window tests: a QApplication on the offscreen
// platform, a temporary root standing in for the file system (user defaults,
// logs, keychain land there), and the platform's main run loop driven from
// Qt's event loop, as in the program.
#pragma once

#include <QObject>
#include <QTest>
#include <functional>

namespace varnel::testing {

// Runs `makeTest()`'s slots with QTest inside the environment above.
int runUiTest(int argc, char** argv, const std::function<int(int, char**)>& run);

// Processes Qt events (and so the main run loop) until `done` holds or
// `timeoutMs` passed; returns done().
bool waitFor(const std::function<bool()>& done, int timeoutMs = 15000);

// Forgets the shared user defaults so that each case starts empty.
void resetDefaults();

}  // namespace varnel::testing

#define VARNEL_UI_TEST_MAIN(TestClass)                                  \
  int main(int argc, char** argv) {                                     \
    return varnel::testing::runUiTest(argc, argv, [](int c, char** v) { \
      TestClass test;                                                   \
      return QTest::qExec(&test, c, v);                                 \
    });                                                                 \
  }

#include <memory>
#include <string>

#include "client/core/server_model.h"
#include "platform/foundation/value.h"

namespace account_service {
class AccountService;
}
namespace client {
class VRAccountManager;
}

namespace varnel::testing {

// The local account service with its demo data on 127.0.0.1 (plain HTTP),
// with the client's base URLs pointed at it.
std::unique_ptr<account_service::AccountService> startDemoService();
// An account manager holding the demo user's login reply; start the demo
// service first (the manager then loads the current account's servers from it).
// Its server models run the speed-test tools of `serverTools`.
std::shared_ptr<client::VRAccountManager> demoAccountManager(
    client::ServerModel::ToolPaths serverTools = {});
// The demo user's login reply as the service sends it.
platform::Value demoLoginReply();

}  // namespace varnel::testing

#include "client/core/dialer_state.h"
#include "client/core/helper_request.h"

namespace varnel::testing {

// A helper request object that records what the dialer asks of it.
class FakeHelperRequest : public client::HelperRequest {
 public:
  void SetAccount(client::BaseAccount::Ptr account, std::int64_t type) override {
    account_ = std::move(account);
    type_ = type;
  }
  void Start() override {
    ++starts;
    connected_ = true;
  }
  void Disconnect() override { ++disconnects; }
  bool hasConnection() const override { return connected_; }
  int starts = 0;
  int disconnects = 0;
  client::BaseAccount::Ptr account_;
  std::int64_t type_ = -1;

 private:
  bool connected_ = false;
};

// A dialer state machine whose connects go to a FakeHelperRequest and whose
// account service answers at once, for the windows that follow the dialer's
// controls table. It is DialerState::current() while it lives.
struct ScriptedDialer {
  ScriptedDialer();
  // Disconnected -> Connecting, and waits until the request was started.
  bool connect();
  std::shared_ptr<FakeHelperRequest> request;
  std::shared_ptr<client::DialerState> state;
};

}  // namespace varnel::testing
