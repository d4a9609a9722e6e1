// The road back from a dead OpenVPN server over TCP, with the VarnelHelper
// program and a real OpenVPN on both ends (see openvpn_reconnect_scenario.h).
// The server's end resets the connection: OpenVPN notices at once, and every
// restart is refused at once, so this is the road where a helper without a
// back-off would loop.
#include <gtest/gtest.h>

#include "openvpn_reconnect_scenario.h"

namespace {

using helper_test::OpenVPNReconnectTest;

TEST_F(OpenVPNReconnectTest, TcpServerDiesAndReturns) {
  helper_test::expectRoadBack(scenario("tcp"), 10, true, false);
}

}  // namespace
