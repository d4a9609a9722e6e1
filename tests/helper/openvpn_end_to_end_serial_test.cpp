// OpenVPN runs of the VarnelHelper program against a real OpenVPN server,
// inside a network namespace that each test makes (loopback only, its own
// mount namespace with a scratch resolv.conf). Needs root, /dev/net/tun,
// unshare, ip, openssl and openvpn; skipped where one is missing. Each run
// has its own pid namespace, so nothing it started outlives it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "platform/system/file_util.h"
#include "support/shell.h"

namespace {

using Outcome = varnel::testing::ShellOutcome;
using varnel::testing::contains;

Outcome run(const std::string& command) { return varnel::testing::runShell(command); }

constexpr const char* kCertificates = R"SH(
set -e
cd "$1"
openssl ecparam -name prime256v1 -genkey -noout -out ca.key
openssl req -x509 -new -key ca.key -subj /CN=Varnel-Test-CA -days 2 -out ca.crt
printf 'basicConstraints=CA:FALSE\nnsCertType=server\nextendedKeyUsage=serverAuth\nkeyUsage=digitalSignature,keyAgreement\n' > server.ext
printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\nkeyUsage=digitalSignature,keyAgreement\n' > client.ext
for n in server client; do
  openssl ecparam -name prime256v1 -genkey -noout -out $n.key
  openssl req -new -key $n.key -subj /CN=$n -out $n.csr
  openssl x509 -req -in $n.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile $n.ext -out $n.crt
done
chmod 0600 *.key
)SH";

// Runs inside the namespace: $1 work folder, $2 scenario, $3 helper, $4 client.
constexpr const char* kScenario = R"SH(
W="$1"; SCENARIO="$2"; HELPER="$3"; CLIENT="$4"
cd "$W" || exit 90
ip link set lo up || exit 90
printf 'nameserver 192.0.2.53\n' > "$W/resolv.conf"
mount --bind "$W/resolv.conf" /etc/resolv.conf || exit 91
cat > "$W/verify.sh" <<'EOF'
#!/bin/sh
[ "$(sed -n 1p "$1")" = alice ] && [ "$(sed -n 2p "$1")" = 'pa"ss\word' ]
EOF
chmod 0755 "$W/verify.sh"
proto=udp; port=1194; password='pa"ss\word'
case "$SCENARIO" in
  tcp) proto=tcp-server; port=1195 ;;
  proxy) proto=tcp-server; port=443 ;;
  wrongpw) password=wrong ;;
esac
openvpn --dev tun --proto $proto --port $port --local 127.0.0.1 \
  --server 10.99.0.0 255.255.255.0 --topology subnet \
  --ca "$W/ca.crt" --cert "$W/server.crt" --key "$W/server.key" --dh none \
  --comp-lzo adaptive --auth md5 --push "dhcp-option DNS 10.99.0.1" \
  --script-security 2 --auth-user-pass-verify "$W/verify.sh" via-file \
  --verb 3 --log "$W/server.log" --writepid "$W/server.pid" --daemon || exit 92
for i in $(seq 100); do
  grep -q 'Initialization Sequence Completed' "$W/server.log" 2>/dev/null && break
  sleep 0.1
done
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
  udp|wrongpw|porttaken) request="$request port=1194 udp=b:1" ;;
  tcp) request="$request port=1195 udp=b:0" ;;
  proxy) request="$request port=1194 udp=b:0 proxyEnabled=b:1 proxyIp=127.0.0.1 proxyPort=8080" ;;
esac
case "$SCENARIO" in
  udp|tcp|proxy|porttaken)
    "$CLIENT" $request "authUserPass=$password" until 5 40 cat /etc/resolv.conf log \
      request operation=DisconnectConnection until 1 30 log ;;
  wrongpw) "$CLIENT" $request "authUserPass=$password" until 1 60 log ;;
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
[ -f "$W/proxy.log" ] && cat "$W/proxy.log"
# Everything else in the namespace ends with this script (its pid 1).
exit 0
)SH";

class OpenVPNEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (::geteuid() != 0) {
      skipReason() = "needs root";
      return;
    }
    int tun = ::open("/dev/net/tun", O_RDWR);
    if (tun < 0) {
      skipReason() = "no /dev/net/tun";
      return;
    }
    ::close(tun);
    for (const char* tool : {"unshare", "ip", "openssl", "openvpn"}) {
      if (run(std::string("command -v ") + tool + " >/dev/null").status != 0) {
        skipReason() = std::string("no ") + tool;
        return;
      }
    }
    if (run("unshare --net --mount --pid --fork true").status != 0) {
      skipReason() = "unshare --net --mount --pid is not allowed";
      return;
    }
    char pattern[] = "/tmp/varnel-ovpn-e2e-XXXXXX";
    if (!::mkdtemp(pattern)) {
      skipReason() = "no temporary folder";
      return;
    }
    work() = pattern;
    platform::files::writeFileAtomically(work() + "/certs.sh", kCertificates, 0700);
    platform::files::writeFileAtomically(work() + "/scenario.sh", kScenario, 0700);
    Outcome certs = run("bash '" + work() + "/certs.sh' '" + work() + "' 2>&1");
    if (certs.status != 0) skipReason() = "certificates could not be made: " + certs.output;
  }
  static void TearDownTestSuite() {
    if (!work().empty()) run("rm -rf '" + work() + "'");
  }
  void SetUp() override {
    if (!skipReason().empty()) GTEST_SKIP() << skipReason();
  }

  // Runs a scenario in a fresh namespace and returns everything it printed,
  // with the server's log after it.
  Outcome scenario(const std::string& name) {
    run("rm -rf '" + work() + "/root' '" + work() + "/proxy.log' '" + work() + "/server.log'");
    Outcome r = run("timeout 150 unshare --net --mount --pid --fork bash '" + work() +
                    "/scenario.sh' '" + work() + "' " + name + " '" + VARNEL_HELPER_PATH + "' '" +
                    HELPER_TEST_CLIENT + "' 2>&1");
    serverLog = platform::files::readFile(work() + "/server.log").value_or("");
    return r;
  }
  void TearDown() override {
    if (HasFailure()) std::cout << "--- server log ---\n" << serverLog << std::endl;
  }

  static std::string& skipReason() {
    static std::string reason;
    return reason;
  }
  static std::string& work() {
    static std::string folder;
    return folder;
  }
  std::string serverLog;
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

// The management interface is a socket in the helper's private folder: a
// program that holds the old TCP management port changes nothing.
TEST_F(OpenVPNEndToEndTest, TakenTcpManagementPortDoesNotMatter) {
  expectConnectedRun(scenario("porttaken"));
}

}  // namespace
