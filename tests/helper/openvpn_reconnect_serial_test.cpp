// The road back from a dead server, with the VarnelHelper program and a real
// OpenVPN on both ends, inside namespaces each run makes (loopback only, a
// scratch resolv.conf, its own pids). The server is named by host name,
// answered by a small name server on 127.0.0.1 that the system's resolv.conf
// names; the VPN pushes the name server 10.99.0.1, which only the tunnel
// reaches. Each run connects, kills the server, follows the helper until it
// reports 3 (reconnecting), measures the CPU time that the helper and
// OpenVPN use over ten seconds while the server is gone, looks at
// resolv.conf, starts the server again and waits for 5.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "openvpn_namespace_fixture.h"
#include "support/shell.h"

namespace {

using Outcome = varnel::testing::ShellOutcome;
using varnel::testing::contains;

constexpr const char* kScenario = R"SH(
proto=udp; port=1194; udp=b:1
case "$SCENARIO" in
  tcp|resolved) proto=tcp-server; port=1195; udp=b:0 ;;
esac
printf 'nameserver 127.0.0.1\n' > /etc/resolv.conf
"$CLIENT" dns 53 vpn.example.test 127.0.0.1 > "$W/dns.log" 2>&1 &
for i in $(seq 50); do grep -q 'dns ready' "$W/dns.log" && break; sleep 0.1; done
# The system's name service as on most desktops: a real systemd-resolved
# (unpacked in $RESOLVED, never installed) on a private system bus, asking
# 127.0.0.1, with resolv.conf its stub. Everything here is in this run's
# mount namespace: its own passwd with the resolver's user, tmpfs on
# /run/dbus and /run/systemd, resolvectl laid over /usr/bin.
if [ "$SCENARIO" = resolved ]; then
  cp /etc/passwd "$W/passwd"; cp /etc/group "$W/group"
  echo 'systemd-resolve:x:991:991:resolver:/:/usr/sbin/nologin' >> "$W/passwd"
  echo 'systemd-resolve:x:991:' >> "$W/group"
  mount --bind "$W/passwd" /etc/passwd && mount --bind "$W/group" /etc/group || exit 93
  mount -t tmpfs tmpfs /run/dbus && mount -t tmpfs tmpfs /run/systemd || exit 93
  mkdir -p "$W/bin" /run/systemd/resolved.conf.d
  cp "$RESOLVED/usr/bin/resolvectl" "$W/bin/"
  mount -t overlay overlay -o "lowerdir=$W/bin:/usr/bin" /usr/bin || exit 93
  printf '[Resolve]\nDNS=127.0.0.1\nLLMNR=no\nMulticastDNS=no\n' > /run/systemd/resolved.conf.d/test.conf
  cat > "$W/bus.conf" <<'EOF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path=/run/dbus/system_bus_socket</listen>
<auth>EXTERNAL</auth><policy context="default"><allow user="*"/><allow own="*"/>
<allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>
EOF
  dbus-daemon --config-file="$W/bus.conf" --fork --nopidfile || exit 93
  "$RESOLVED/lib/systemd/systemd-resolved" > "$W/resolved.log" 2>&1 &
  for i in $(seq 100); do
    resolvectl status >/dev/null 2>&1 && [ -e /run/systemd/resolve/stub-resolv.conf ] && break
    sleep 0.1
  done
  mount --bind /run/systemd/resolve/stub-resolv.conf /etc/resolv.conf || exit 93
  # The links' DNS as resolvectl reports it, for the client's "run".
  echo 'for w in dns domain default-route; do resolvectl $w | sed "s/^/$w /"; done' > "$W/links.sh"
fi
start_server secret $proto $port
# The server again, later, from the client's "run".
{ declare -f start_server; echo "W='$W'"; echo "start_server secret $proto $port"; } > "$W/restart.sh"
# Milliseconds since the epoch.
now() { date +%s%3N; }
declare -f now > "$W/now.sh"
# CPU ticks (user + system) of the helper (HELPER_PID, a pid of this
# namespace) and of its children (its OpenVPN), and how many processes that
# was. /proc is the host's: the helper is the process of this pid namespace
# whose innermost pid is HELPER_PID.
cat > "$W/ticks.sh" <<'EOF'
ours=$(readlink /proc/self/ns/pid); host=""
for d in /proc/[0-9]*; do
  [ "$(readlink $d/ns/pid 2>/dev/null)" = "$ours" ] || continue
  set -- $(grep '^NSpid:' $d/status 2>/dev/null)
  eval "inner=\${$#}"
  [ "$inner" = "$HELPER_PID" ] && { host=${d#/proc/}; break; }
done
total=0; procs=0
for d in /proc/[0-9]*; do
  p=${d#/proc/}
  stat=$(cat $d/stat 2>/dev/null) || continue
  set -- ${stat##*) }
  [ -n "$host" ] && { [ "$p" = "$host" ] || [ "$2" = "$host" ]; } || continue
  total=$((total + ${12} + ${13})); procs=$((procs + 1))
done
echo $total $procs
EOF
# Lines in the helper's log files.
echo "find '$W/root' -name '*.log' -exec cat {} + | wc -l" > "$W/loglines.sh"
export VARNEL_ROOT="$W/root"
"$HELPER" > "$W/helper.out" 2>&1 &
helper=$!
for i in $(seq 100); do [ -S "$W/root/run/varnel/VarnelHelper.sock" ] && break; sleep 0.1; done
request="request operation=OpenVPNConnectionRequest openVPNPath=/usr/sbin/openvpn
    remote=vpn.example.test name=plan_de_alice ca=@$W/ca.crt cert=@$W/client.crt
    key=@$W/client.key port=$port udp=$udp authUserPass=secret"
if [ "$SCENARIO" = resolved ]; then
  "$CLIENT" $request until 5 40 run "bash '$W/links.sh'; echo links-up" \
    run "kill -9 \$(cat '$W/server.pid'); wc -l < '$W/dns.log' > '$W/dnsmark'" until 3 30 \
    run "bash '$W/links.sh'; echo links-down" \
    run "bash '$W/restart.sh' >/dev/null; echo server-back" \
    until 5 120 run "bash '$W/links.sh'; echo links-back" \
    request operation=DisconnectConnection until 1 30 \
    run "bash '$W/links.sh'; echo links-after"
  status=$?
  echo "client-status $status"
  wait $helper
  echo "helper-status $?"
  if [ $status -ne 0 ]; then
    sed 's/^/helper.out: /' "$W/helper.out"
    find "$W/root" -name '*.log' -exec sed 's/^/helper log: /' {} +
    sed 's/^/resolved: /' "$W/resolved.log"
  fi
  echo "lookups $(tail -n +$(($(cat "$W/dnsmark") + 1)) "$W/dns.log" | grep -c 'dns vpn.example.test')"
  exit 0
fi
"$CLIENT" $request \
  until 5 40 cat /etc/resolv.conf \
  run "kill -9 \$(cat '$W/server.pid'); . '$W/now.sh'; now > '$W/killed'; bash '$W/loglines.sh' > '$W/lines'; wc -l < '$W/dns.log' > '$W/dnsmark'" \
  until 3 120 \
  run ". '$W/now.sh'; echo seconds-to-3 \$(( (\$(now) - \$(cat '$W/killed')) / 1000 ))" \
  run "set -- \$(HELPER_PID=$helper bash '$W/ticks.sh'); a=\$1; sleep 10; set -- \$(HELPER_PID=$helper bash '$W/ticks.sh'); echo ticks \$((\$1 - a)) hz \$(getconf CLK_TCK) processes \$2" \
  cat /etc/resolv.conf \
  run "echo log-lines-while-gone \$((\$(bash '$W/loglines.sh') - \$(cat '$W/lines')))" \
  run "bash '$W/restart.sh' >/dev/null; echo server-back" \
  until 5 120 cat /etc/resolv.conf log \
  request operation=DisconnectConnection until 1 30
status=$?
echo "client-status $status"
wait $helper
echo "helper-status $?"
if [ $status -ne 0 ]; then
  sed 's/^/helper.out: /' "$W/helper.out"
  find "$W/root" -name '*.log' -exec sed 's/^/helper log: /' {} +
fi
echo "after:$(cat /etc/resolv.conf)"
echo "lookups $(tail -n +$(($(cat "$W/dnsmark") + 1)) "$W/dns.log" | grep -c 'dns vpn.example.test')"
exit 0
)SH";

class OpenVPNReconnectTest : public helper_test::OpenVPNNamespaceTest {
 protected:
  static void SetUpTestSuite() {
    prepareSuite(
        {.folderPattern = "/tmp/varnel-ovpn-back-XXXXXX",
         .tools = {"unshare", "ip", "openssl", "openvpn", "getconf", "mount"},
         .unshareOptions = "--net --mount --pid --fork",
         .scenario = kScenario,
         .leftovers =
             "root server.log dns.log dnsmark lines killed bin passwd group bus.conf resolved.log "
             "links.sh",
         .timeoutSeconds = 400});
  }
};

// The number after `label` in the output (-1 when missing).
long numberAfter(const std::string& output, const std::string& label) {
  const std::size_t at = output.find(label);
  if (at == std::string::npos) return -1;
  return std::stol(output.substr(at + label.size()));
}

// `asksTheNameAgain`: OpenVPN looks the server's name up again on this
// restart (over TCP; over UDP it keeps the address it had).
void expectRoadBack(const Outcome& r, long maxSecondsToReconnecting, bool asksTheNameAgain) {
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "client-status 0\nhelper-status 0\n")) << r.output;
  // Connected with the VPN's name server.
  EXPECT_TRUE(contains(r.output, "state 5\ncat:nameserver 10.99.0.1\n")) << r.output;
  // The dead server was noticed and reported as reconnecting.
  const long seconds = numberAfter(r.output, "seconds-to-3 ");
  EXPECT_GE(seconds, 0) << r.output;
  EXPECT_LE(seconds, maxSecondsToReconnecting) << r.output;
  std::cout << "seconds from the server's death to state 3: " << seconds << std::endl;
  // Waiting for the server costs (almost) nothing: under 5 % of one core.
  const long ticks = numberAfter(r.output, "ticks ");
  const long hz = numberAfter(r.output, " hz ");
  ASSERT_GT(hz, 0) << r.output;
  EXPECT_GE(numberAfter(r.output, " processes "), 2) << r.output;  // the helper and OpenVPN
  EXPECT_GE(ticks, 0) << r.output;
  EXPECT_LT(ticks * 100, 5 * 10 * hz) << r.output;
  std::cout << "CPU of helper and OpenVPN while the server is gone: " << ticks << " ticks of "
            << 10 * hz << std::endl;
  // While the tunnel is down the system's name server is back, so the
  // server's name can be found again.
  const std::size_t down = r.output.find("ticks ");
  ASSERT_NE(down, std::string::npos);
  EXPECT_EQ(r.output.find("cat:nameserver 127.0.0.1\n", down), r.output.find("cat:", down))
      << r.output;
  // Back: connected again, with the VPN's name server again.
  EXPECT_TRUE(contains(r.output, "run:server-back\n")) << r.output;
  const std::size_t back = r.output.find("run:server-back");
  EXPECT_NE(r.output.find("state 5\ncat:nameserver 10.99.0.1\n", back), std::string::npos)
      << r.output;
  EXPECT_TRUE(contains(r.output, "after:nameserver 127.0.0.1")) << r.output;
  // The name was asked again (after the server's death), and answered, for
  // the way back.
  if (asksTheNameAgain) {
    EXPECT_GE(numberAfter(r.output, "lookups "), 1) << r.output;
  }
  // While the server was gone (over ten seconds) the helper's log grew by a
  // few restarts' worth of lines, not by a loop's.
  const long gone = numberAfter(r.output, "log-lines-while-gone ");
  EXPECT_GE(gone, 0) << r.output;
  EXPECT_LT(gone, 400) << r.output;
  std::cout << "helper log lines while the server was gone: " << gone << std::endl;
  // The client's copy (LogUpdate since the start) never holds the same
  // line twice in a row: repeats are counted.
  const std::size_t log = r.output.find("log:", back);
  ASSERT_NE(log, std::string::npos) << r.output;
  std::string previous;
  std::size_t at = log + 4;
  const std::size_t stamp = std::string("2024-03-01 10:04:05:007 ").size();
  while (at < r.output.size()) {
    const std::size_t end = r.output.find('\n', at);
    if (end == std::string::npos) break;
    const std::string line = r.output.substr(at, end - at);
    if (line.rfind("state ", 0) == 0 || line.rfind("reply ", 0) == 0) break;
    const std::string text = line.size() > stamp ? line.substr(stamp) : line;
    EXPECT_NE(text, previous) << r.output;
    previous = text;
    at = end + 1;
  }
}

TEST_F(OpenVPNReconnectTest, UdpServerDiesAndReturns) {
  expectRoadBack(scenario("udp"), 60, false);
}

TEST_F(OpenVPNReconnectTest, TcpServerDiesAndReturns) { expectRoadBack(scenario("tcp"), 10, true); }

// systemd-resolved, unpacked from its Debian package into the build folder
// (downloaded once; never installed, as that would replace the machine's
// resolv.conf). "" and `*why` when it cannot be had.
std::string unpackedResolved(std::string* why) {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "";
  std::string folder(exe, static_cast<std::size_t>(n));
  folder = folder.substr(0, folder.rfind('/')) + "/systemd-resolved-unpacked";
  const std::string daemon = folder + "/x/lib/systemd/systemd-resolved";
  if (::access(daemon.c_str(), X_OK) != 0) {
    Outcome got = varnel::testing::runShell(
        "mkdir -p '" + folder + "' && cd '" + folder + "' && rm -rf x *.deb && " +
        "apt-get -o APT::Sandbox::User=root download systemd-resolved 2>&1 && " +
        "dpkg-deb -x systemd-resolved_*.deb x 2>&1");
    if (got.status != 0 || ::access(daemon.c_str(), X_OK) != 0) {
      *why = "systemd-resolved could not be downloaded and unpacked: " + got.output;
      return "";
    }
  }
  // It needs the machine's own systemd library of the same version.
  Outcome runs = varnel::testing::runShell("'" + folder + "/x/usr/bin/resolvectl' --version 2>&1");
  if (runs.status != 0) {
    *why = "the unpacked resolvectl does not run here: " + runs.output;
    return "";
  }
  return folder + "/x";
}

// The lines of the section that ends with `marker` (after the "run:" that
// starts it).
std::string section(const std::string& output, const std::string& marker) {
  const std::size_t end = output.find(marker);
  if (end == std::string::npos) return "";
  const std::size_t start = output.rfind("run:", end);
  return output.substr(start, end - start);
}

// With systemd-resolved the tunnel's link takes every name (routing domain
// "~." and the default route), with the VPN's servers; while the server is
// gone the link is handed back, so the server's name is found again through
// the system's servers; after the end nothing is left on any link.
TEST_F(OpenVPNReconnectTest, SystemdResolvedRoutesEveryNameToTheTunnelOnlyWhileItIsUp) {
  if (::access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
  std::string why;
  const std::string resolved = unpackedResolved(&why);
  if (resolved.empty()) GTEST_SKIP() << why;
  ::setenv("RESOLVED", resolved.c_str(), 1);
  const Outcome r = scenario("resolved");
  ::unsetenv("RESOLVED");
  EXPECT_TRUE(contains(r.output, "client-status 0\nhelper-status 0\n")) << r.output;
  for (const char* when : {"links-up", "links-back"}) {
    const std::string links = section(r.output, when);
    EXPECT_NE(links.find("): 10.99.0.1 8.8.8.8\n"), std::string::npos) << when << "\n" << r.output;
    EXPECT_NE(links.find("): openvpn ~.\n"), std::string::npos) << when << "\n" << r.output;
    EXPECT_NE(links.find("default-route Link"), std::string::npos) << when << "\n" << r.output;
    // The tunnel's link is the one default route among the links.
    EXPECT_NE(links.find("): yes\n"), std::string::npos) << when << "\n" << r.output;
  }
  for (const char* when : {"links-down", "links-after"}) {
    const std::string links = section(r.output, when);
    EXPECT_FALSE(links.empty()) << when << "\n" << r.output;
    EXPECT_EQ(links.find("10.99.0.1"), std::string::npos) << when << "\n" << r.output;
    EXPECT_EQ(links.find("~."), std::string::npos) << when << "\n" << r.output;
  }
  EXPECT_TRUE(contains(r.output, "run:server-back\n")) << r.output;
  // Connected again after the server came back. (Whether the name is asked
  // anew is not checked here: with only loopback and tunnels this resolver
  // counts the network as down and answers from what it has.)
  const std::size_t back = r.output.find("run:server-back");
  EXPECT_NE(r.output.find("state 5\n", back), std::string::npos) << r.output;
}

}  // namespace
