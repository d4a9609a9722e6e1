// The road back from a dead OpenVPN server over UDP, with the VarnelHelper
// program and a real OpenVPN on both ends (see openvpn_reconnect_scenario.h;
// the TCP and systemd-resolved roads have test binaries of their own).
// A UDP server that dies says nothing: OpenVPN notices it by its keep-alive.
#include <gtest/gtest.h>

#include "openvpn_reconnect_scenario.h"

namespace {

using helper_test::OpenVPNReconnectTest;

TEST_F(OpenVPNReconnectTest, UdpServerDiesAndReturns) {
  // The keep-alive's restart time, and a few seconds for its timer and the
  // helper's report.
  helper_test::expectRoadBack(scenario("udp"), helper_test::kUdpRestart + 5, false, true);
}

}  // namespace
