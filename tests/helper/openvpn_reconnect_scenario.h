// The road back from a dead server, with the VarnelHelper program and a real
// OpenVPN on both ends, inside namespaces each run makes (loopback only, a
// scratch resolv.conf, its own pids). Shared by the tests of each road (UDP,
// TCP, systemd-resolved), one road a test binary, so that each stays well
// under a minute.
//
// The server is named by host name, answered by a small name server on
// 127.0.0.1 that the system's resolv.conf names; the VPN pushes the name
// server 10.99.0.1, which only the tunnel reaches. A run connects, kills the
// server, follows the helper until it reports 3 (reconnecting), measures
// the CPU time that the helper and OpenVPN use over ten seconds while the
// server is gone and keeps the log lines the helper gave its client over
// that time, looks at resolv.conf, starts the server again and waits for 5.
//
// Over UDP the helper runs with the keep-alive kUdpPing/kUdpRestart
// (VARNEL_OPENVPN_KEEPALIVE, the setting the helper takes from its own
// environment), so a silent server is noticed in seconds rather than the
// default's half minute; the road is the same.
//
// Header only, for the test binaries of this folder (see
// openvpn_namespace_fixture.h).
#pragma once

#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "helper/helper_log.h"
#include "openvpn_namespace_fixture.h"
#include "support/shell.h"

namespace helper_test {

// The keep-alive of the UDP road (seconds).
inline constexpr int kUdpPing = 2;
inline constexpr int kUdpRestart = 8;

inline constexpr const char* kReconnectScenario = R"SH(
proto=udp; port=1194; udp=b:1
case "$SCENARIO" in
  tcp|resolved) proto=tcp-server; port=1195; udp=b:0 ;;
esac
[ "$SCENARIO" = udp ] && export VARNEL_OPENVPN_KEEPALIVE="$UDP_KEEPALIVE"
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
# The client's copy of the log is taken once connected ("log", which also
# empties the helper's buffer), then again after the ten seconds of the
# CPU measurement: the second holds what the helper logged while the
# server was gone, as the client gets it.
"$CLIENT" $request \
  until 5 40 cat /etc/resolv.conf log \
  run "kill -9 \$(cat '$W/server.pid'); . '$W/now.sh'; now > '$W/killed'; bash '$W/loglines.sh' > '$W/lines'; wc -l < '$W/dns.log' > '$W/dnsmark'" \
  until 3 120 \
  run ". '$W/now.sh'; echo seconds-to-3 \$(( (\$(now) - \$(cat '$W/killed')) / 1000 ))" \
  run "set -- \$(HELPER_PID=$helper bash '$W/ticks.sh'); a=\$1; sleep 10; set -- \$(HELPER_PID=$helper bash '$W/ticks.sh'); echo ticks \$((\$1 - a)) hz \$(getconf CLK_TCK) processes \$2" \
  log run "echo end-of-log-while-gone" \
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

class OpenVPNReconnectTest : public OpenVPNNamespaceTest {
 protected:
  static void SetUpTestSuite() {
    ::setenv("UDP_KEEPALIVE",
             (std::to_string(kUdpPing) + "," + std::to_string(kUdpRestart)).c_str(), 1);
    prepareSuite(
        {.folderPattern = "/tmp/varnel-ovpn-back-XXXXXX",
         .tools = {"unshare", "ip", "openssl", "openvpn", "getconf", "mount"},
         .unshareOptions = "--net --mount --pid --fork",
         .scenario = kReconnectScenario,
         .leftovers =
             "root server.log dns.log dnsmark lines killed bin passwd group bus.conf resolved.log "
             "links.sh",
         .timeoutSeconds = 100});
  }
};

// The number after `label` in the output (-1 when missing).
inline long numberAfter(const std::string& output, const std::string& label) {
  const std::size_t at = output.find(label);
  if (at == std::string::npos) return -1;
  return std::stol(output.substr(at + label.size()));
}

// One line of the client's copy of the helper's log.
struct HelperLogLine {
  double seconds;    // of the day, from the helper's time stamp
  std::string text;  // after the time stamp
};

// Whether `line` starts with the helper's stamp "2024-03-01 10:04:05:007 ",
// and the time of day it names, in seconds.
inline bool stampedSeconds(const std::string& line, double& seconds) {
  static const char kShape[] = "dddd-dd-dd dd:dd:dd:ddd ";
  if (line.size() < sizeof kShape - 1) return false;
  for (std::size_t i = 0; i + 1 < sizeof kShape; ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (kShape[i] == 'd' ? !digit : line[i] != kShape[i]) return false;
  }
  seconds = std::stod(line.substr(11, 2)) * 3600 + std::stod(line.substr(14, 2)) * 60 +
            std::stod(line.substr(17, 2)) + std::stod(line.substr(20, 3)) / 1000;
  return true;
}

// `text` with the time OpenVPN stamps its management lines with left out:
// ">LOG:1700000000,..." and ">STATE:1700000000,..." become ">LOG:,..." and
// ">STATE:,...".
inline std::string withoutOpenVPNTimes(const std::string& text) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t tag = std::string::npos;
    std::size_t tagLength = 0;
    for (const char* name : {">LOG:", ">STATE:"}) {
      const std::size_t found = text.find(name, at);
      if (found < tag) {
        tag = found;
        tagLength = std::char_traits<char>::length(name);
      }
    }
    if (tag == std::string::npos) break;
    std::size_t digits = tag + tagLength;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    out.append(text, at, tag + tagLength - at);
    if (digits > tag + tagLength && digits < text.size() && text[digits] == ',') {
      at = digits;  // the time is dropped, the comma kept
    } else {
      at = tag + tagLength;
    }
  }
  out.append(text, at, std::string::npos);
  return out;
}

// The lines of the client's copy of the log between "log:" (after `from`)
// and the line `end`.
inline std::vector<HelperLogLine> logLines(const std::string& output, std::size_t from,
                                           const std::string& end) {
  std::vector<HelperLogLine> lines;
  const std::size_t start = output.find("log:", from);
  const std::size_t stop = output.find(end, start);
  if (start == std::string::npos || stop == std::string::npos) return lines;
  // "2024-03-01 10:04:05:007 " before each line's text.
  std::size_t at = start + 4;
  while (at < stop) {
    std::size_t eol = output.find('\n', at);
    if (eol == std::string::npos || eol > stop) eol = stop;
    std::string line = output.substr(at, eol - at);
    // OpenVPN ends its management lines with "\r\n"; the helper keeps the "\r".
    if (!line.empty() && line.back() == '\r') line.pop_back();
    double seconds = 0;
    if (stampedSeconds(line, seconds)) {
      lines.push_back({seconds, line.substr(24)});
    } else if (!line.empty() && !lines.empty()) {
      lines.back().text += "\n" + line;  // a line that holds a line break
    }
    at = eol + 1;
  }
  return lines;
}

// How many of `lines` hold `text`.
inline long countHolding(const std::vector<HelperLogLine>& lines, const std::string& text) {
  long n = 0;
  for (const HelperLogLine& line : lines) n += line.text.find(text) != std::string::npos;
  return n;
}

// `asksTheNameAgain`: OpenVPN looks the server's name up again on this
// restart (over TCP; over UDP it keeps the address it had).
// `expectRepeats`: OpenVPN logs the same line again and again while the
// server is gone (over UDP, a refusal for each packet it sends).
inline void expectRoadBack(const varnel::testing::ShellOutcome& r, long maxSecondsToReconnecting,
                           bool asksTheNameAgain, bool expectRepeats) {
  using varnel::testing::contains;
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

  // What the client got of the helper's log while the server was gone (at
  // least the ten seconds of the CPU measurement).
  const std::vector<HelperLogLine> gone = logLines(r.output, down, "run:end-of-log-while-gone");
  ASSERT_FALSE(gone.empty()) << r.output;
  // OpenVPN was restarted a few times, each after its back-off (1, 2, 4,
  // 8 s, ...): over ten seconds and what came before them, at most five
  // pauses, never a loop.
  const long restarts = countHolding(gone, "Trying the server again in ");
  EXPECT_LE(restarts, 5) << r.output;
  std::cout << "restarts of OpenVPN while the server was gone: " << restarts << std::endl;
  // Each restart is a few dozen lines of OpenVPN's at most (its settings,
  // the attempt, the failure, the state): the log grows with the restarts,
  // and a line that repeats itself is counted, not copied.
  EXPECT_LE(static_cast<long>(gone.size()), 40 * (restarts + 1)) << r.output;
  std::cout << "lines the client got while the server was gone: " << gone.size() << std::endl;
  // A line that repeats the one before it (also one that differs only in
  // the second OpenVPN stamped it with) is counted, not copied: the same
  // text comes again only after the helper's summary time, and over UDP,
  // where OpenVPN reads the refusal of each packet it sends, the count
  // shows.
  std::string previous;
  double previousAt = -1;
  for (const HelperLogLine& line : gone) {
    const std::string text = withoutOpenVPNTimes(line.text);
    if (text == previous) {
      EXPECT_GE(line.seconds - previousAt, helper::kRepeatSummarySeconds - 0.1)
          << "repeated: " << line.text << "\n"
          << r.output;
    }
    previous = text;
    previousAt = line.seconds;
  }
  if (expectRepeats) {
    EXPECT_GE(countHolding(gone, "\xe2\x80\xa6 repeated "), 1) << r.output;
  }
  // The helper's log files grew by the same few lines, not by a loop's.
  const long files = numberAfter(r.output, "log-lines-while-gone ");
  EXPECT_GE(files, 0) << r.output;
  EXPECT_LE(files, static_cast<long>(gone.size()) + 40) << r.output;
}

}  // namespace helper_test
