// The helper over NetworkManager for the tests of its PPTP, L2TP and IPSec
// requests: a helper service whose network services run through the
// NetworkManager on a given bus, and what it reported meanwhile.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "helper/helper_service.h"
#include "helper_test_util.h"
#include "platform/sysconfig/nm_connection_driver.h"
#include "support/nm_mock.h"
#include "support/shell.h"
#include "support/temp_root.h"
#include "support/wait.h"

namespace nm_test {

namespace sc = platform::sysconfig;
using helper::HelperService;
using ipc::XPCMessage;
using platform::Value;
using varnel::testing::contains;

inline XPCMessage request(std::initializer_list<std::pair<const char*, Value>> entries) {
  XPCMessage m;
  for (const auto& [key, value] : entries) m.setObject(value, key);
  return m;
}

inline std::string fixtureScript() { return varnel::testing::supportFile("nm_namespace.sh"); }

// A helper service whose network services run through NetworkManager on
// the bus at `address`.
class HelperOverNM : public varnel::testing::TempRootTest {
 protected:
  // `sessionRecord`: the helper's own profiles, as the helper program makes
  // them (in memory, recorded in that file, deleted when their attempt ends).
  void startHelper(const std::string& address, std::vector<std::string> pluginDirectories,
                   const std::string& sessionRecord = {}) {
    helper_test::sharedLogger();
    helper_test::drainLog();
    sc::NMConnectionDriver::Options o;
    o.busAddress = address;
    o.pluginDirectories = std::move(pluginDirectories);
    o.sessionProfiles = !sessionRecord.empty();
    o.sessionRecord = sessionRecord;
    HelperService::Options options;
    options.preferences =
        helper::SystemPreferencesHandler::create(sc::NMConnectionDriver::create(o));
    options.logger = helper_test::sharedLogger();
    options.exitProcess = [](int) {};
    options.settleDelay = 0.2;
    service = HelperService::create(options);
  }
  void TearDown() override { service.reset(); }
  std::int64_t state() { return service->connectionState(); }
  // Waits until the state is `s`, gathering the log meanwhile; states seen
  // on the way are recorded.
  bool waitForState(std::int64_t s, int ms = 15000) {
    return varnel::testing::waitUntilOnMainRunLoop(
        [&] {
          seen.push_back(state());
          log += helper_test::drainLog();
          return state() == s;
        },
        std::chrono::milliseconds(ms));
  }
  void pptp() {
    service->handleMessage(request({{"operation", "PPTPConnectionRequest"},
                                    {"ip", "10.200.0.2"},
                                    {"username", "alice"},
                                    {"password", "S3cret-pw"}}));
  }

  std::shared_ptr<HelperService> service;
  std::vector<std::int64_t> seen;
  std::string log;
};

}  // namespace nm_test
