// OpenVPN runs of the VarnelHelper program against a real OpenVPN server,
// inside a network namespace that each test makes (loopback only, its own
// mount namespace with a scratch resolv.conf). Needs root, /dev/net/tun,
// unshare, ip, openssl and openvpn; skipped where one is missing. Each run
// has its own pid namespace, so nothing it started outlives it.
#include <gtest/gtest.h>

#include <string>

#include "openvpn_namespace_fixture.h"
#include "support/shell.h"

namespace {

using Outcome = varnel::testing::ShellOutcome;
using varnel::testing::contains;

// Runs inside the namespace after the shared start: $SCENARIO picks the run.
constexpr const char* kScenario = R"SH(
proto=udp; port=1194; password='pa"ss\word'
case "$SCENARIO" in
  tcp) proto=tcp-server; port=1195 ;;
  proxy) proto=tcp-server; port=443 ;;
  wrongpw) password=wrong ;;
esac
case "$SCENARIO" in
  rogue*) start_server 'pa"ss\word' $proto $port --cert "$W/rogue.crt" --key "$W/rogue.key" ;;
  *) start_server 'pa"ss\word' $proto $port ;;
esac
if [ "$SCENARIO" = proxy ]; then "$CLIENT" proxy 8080 > "$W/proxy.log" & fi
if [ "$SCENARIO" = porttaken ]; then "$CLIENT" proxy 53213 > /dev/null & fi
sleep 0.2
export VARNEL_ROOT="$W/root"
"$HELPER" > "$W/helper.out" 2>&1 &
helper=$!
for i in $(seq 100); do [ -S "$W/root/run/varnel/VarnelHelper.sock" ] && break; sleep 0.1; done
request="request operation=OpenVPNConnectionRequest openVPNPath=/usr/sbin/openvpn
  remote=127.0.0.1 name=plan_de_alice ca=@$W/ca.crt cert=@$W/client.crt key=@$W/client.key"
case "$SCENARIO" in
  udp|wrongpw|porttaken|rogue*) request="$request port=1194 udp=b:1" ;;
  tcp) request="$request port=1195 udp=b:0" ;;
  proxy) request="$request port=1194 udp=b:0 proxyEnabled=b:1 proxyIp=127.0.0.1 proxyPort=8080" ;;
esac
case "$SCENARIO" in
  udp|tcp|proxy|porttaken)
    "$CLIENT" $request "authUserPass=$password" until 5 40 cat /etc/resolv.conf log \
      request operation=DisconnectConnection until 1 30 log ;;
  wrongpw) "$CLIENT" $request "authUserPass=$password" until 1 60 log ;;
  # A server of the same CA without the server role: the attempt fails.
  rogue) "$CLIENT" $request "authUserPass=$password" until 2 40 logwait ' ended: ' 5 \
    cat /etc/resolv.conf ;;
  rogue-nopw) "$CLIENT" $request until 2 40 logwait ' ended: ' 5 cat /etc/resolv.conf ;;
esac
status=$?
echo "client-status $status"
wait $helper
echo "helper-status $?"
# A client that gave up: the helper's output and log tell why.
if [ $status -ne 0 ]; then
  sed 's/^/helper.out: /' "$W/helper.out"
  find "$W/root" -name '*.log' -exec sed 's/^/helper log: /' {} +
fi
echo "after:$(cat /etc/resolv.conf)"
echo "auth-received:$(cat "$W/auth-received" 2>/dev/null | wc -l)"
[ -f "$W/proxy.log" ] && cat "$W/proxy.log"
# Everything else in the namespace ends with this script (its pid 1).
exit 0
)SH";

class OpenVPNEndToEndTest : public helper_test::OpenVPNNamespaceTest {
 protected:
  static void SetUpTestSuite() {
    prepareSuite({.folderPattern = "/tmp/varnel-ovpn-e2e-XXXXXX",
                  .tools = {"unshare", "ip", "openssl", "openvpn"},
                  .unshareOptions = "--net --mount --pid --fork",
                  .scenario = kScenario,
                  .leftovers = "root proxy.log server.log auth-received",
                  .timeoutSeconds = 150});
  }
};

void expectConnectedRun(const Outcome& r) {
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "reply 1\nstate 3\n")) << r.output;
  EXPECT_TRUE(contains(r.output,
                       "state 5\ncat:nameserver 10.99.0.1\nnameserver 8.8.8.8\n"
                       "search openvpn\n"))
      << r.output;
  // The dialogue reached the log, the password did not.
  EXPECT_TRUE(contains(r.output, "Writing: hold release")) << r.output;
  EXPECT_TRUE(contains(r.output, "Writing: username \"Auth\" \"alice\"")) << r.output;
  EXPECT_TRUE(contains(r.output, "Writing: password \"Auth\" <redacted>")) << r.output;
  // No default route in the namespace: OpenVPN reports CONNECTED,ROUTE_ERROR.
  EXPECT_TRUE(contains(r.output, "Read: >STATE:")) << r.output;
  EXPECT_TRUE(contains(r.output, ",CONNECTED,")) << r.output;
  EXPECT_FALSE(contains(r.output, "pa\"ss")) << r.output;
  EXPECT_FALSE(contains(r.output, "pa\\\"ss")) << r.output;
  EXPECT_TRUE(contains(r.output, "reply 1\nstate 4\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "state 1\nlog:")) << r.output;
  EXPECT_TRUE(contains(r.output, "client-status 0\nhelper-status 0\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "after:nameserver 192.0.2.53")) << r.output;
}

TEST_F(OpenVPNEndToEndTest, UdpConnectsAndDisconnects) { expectConnectedRun(scenario("udp")); }

TEST_F(OpenVPNEndToEndTest, TcpConnectsAndDisconnects) { expectConnectedRun(scenario("tcp")); }

TEST_F(OpenVPNEndToEndTest, ProxyConnectsThroughHttpConnect) {
  Outcome r = scenario("proxy");
  expectConnectedRun(r);
  EXPECT_TRUE(contains(r.output, "CONNECT 127.0.0.1:443")) << r.output;
}

TEST_F(OpenVPNEndToEndTest, WrongPasswordEndsDisconnectedNeverConnected) {
  Outcome r = scenario("wrongpw");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "reply 1\nstate 3\n")) << r.output;
  EXPECT_FALSE(contains(r.output, "state 5")) << r.output;
  EXPECT_FALSE(contains(r.output, "state 2")) << r.output;
  EXPECT_TRUE(contains(r.output, "state 1\nlog:")) << r.output;
  EXPECT_TRUE(contains(r.output, "client-status 0")) << r.output;
  // OpenVPN said it was exiting after the refusal (the poll may miss the
  // short state 4 itself).
  EXPECT_TRUE(contains(r.output, ",EXITING,auth-failure")) << r.output;
  // The refusal itself was not answered: the user name went once.
  const std::string sent = "Writing: username \"Auth\" \"alice\"";
  const std::size_t first = r.output.find(sent);
  EXPECT_NE(first, std::string::npos) << r.output;
  EXPECT_EQ(r.output.find(sent, first + 1), std::string::npos) << r.output;
}

// A server whose certificate the provider's CA issued without the TLS server
// role (no extended key usage): with and without a password, the attempt
// fails, the server gets no user name or password, and nothing it pushed
// (its DNS server) is used.
TEST_F(OpenVPNEndToEndTest, ServerCertificateWithoutTheServerRoleIsRefused) {
  for (const char* name : {"rogue", "rogue-nopw"}) {
    SCOPED_TRACE(name);
    Outcome r = scenario(name);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "reply 1\nstate 3\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "state 2\n")) << r.output;
    EXPECT_FALSE(contains(r.output, "state 5")) << r.output;
    EXPECT_TRUE(contains(r.output, "client-status 0")) << r.output;
    // What the client shows: the failure, with the reason.
    EXPECT_TRUE(contains(r.output, "VERIFY EKU ERROR")) << r.output;
    EXPECT_TRUE(contains(r.output, "ended: the server's certificate is not a VPN server's"))
        << r.output;
    EXPECT_TRUE(contains(r.output, "cat:nameserver 192.0.2.53\n")) << r.output;
    EXPECT_FALSE(contains(r.output, "10.99.0.1")) << r.output;
    EXPECT_TRUE(contains(r.output, "after:nameserver 192.0.2.53")) << r.output;
    EXPECT_TRUE(contains(r.output, "auth-received:0\n")) << r.output;
    EXPECT_FALSE(contains(serverLog, "Peer Connection Initiated")) << serverLog;
  }
}

// The management interface is a socket in the helper's private folder: a
// program that holds the old TCP management port changes nothing.
TEST_F(OpenVPNEndToEndTest, TakenTcpManagementPortDoesNotMatter) {
  expectConnectedRun(scenario("porttaken"));
}

}  // namespace
