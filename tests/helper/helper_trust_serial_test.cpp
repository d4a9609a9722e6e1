// The VarnelHelper program against a second local user and against faults,
// with the real Debian OpenVPN on both ends. Each scenario runs in its own
// network, mount and pid namespace (loopback only, a scratch resolv.conf,
// its own /proc), so nothing it started outlives it. The other user is
// played with setpriv (uid/gid 65534). Needs root, /dev/net/tun, unshare,
// setpriv, ip, openssl and openvpn; skipped where one is missing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <iostream>
#include <string>

#include "helper/helper_service.h"
#include "openvpn_namespace_fixture.h"
#include "support/shell.h"

namespace {

using Outcome = varnel::testing::ShellOutcome;
using varnel::testing::contains;

// Runs inside the namespaces after the shared start: $SCENARIO picks the run.
constexpr const char* kScenario = R"SH(
start_server s3cret-pw udp 1194 --push "ping-restart 300"
export VARNEL_ROOT="$W/root"
# Another user may walk up to the helper's own folder, not into it.
mkdir -p "$W/root/run"
chmod 711 "$W"
chmod 755 "$W/root" "$W/root/run"
PRIVATE="$W/root/run/varnel-helper"
SOCK="$PRIVATE/openvpn-management.sock"
NOBODY="setpriv --reuid=65534 --regid=65534 --clear-groups"
start_helper() {
  rm -f "$W/root/run/varnel/VarnelHelper.sock"
  "$HELPER" >> "$W/helper.out" 2>&1 &
  helper=$!
  for i in $(seq 100); do [ -S "$W/root/run/varnel/VarnelHelper.sock" ] && break; sleep 0.1; done
}
REQ="request operation=OpenVPNConnectionRequest openVPNPath=/usr/sbin/openvpn
  remote=127.0.0.1 port=1194 udp=b:1 name=plan_de_alice authUserPass=s3cret-pw
  ca=@$W/ca.crt cert=@$W/client.crt key=@$W/client.key"
DISCONNECT="request operation=DisconnectConnection until 1 30"
# The process count: the first measure sets the baseline; a later one gives
# a process that is just ending (a reaped child's zombie, say) 5 s to go, so
# that only processes that stay count. The shell counts /proc by itself (a
# pipeline would count its own processes, as many as had started), and what
# runs is listed after the count.
cat > "$W/measure.sh" <<'MEASURE'
#!/bin/sh
count() { set -- /proc/[0-9]*; procs=$#; }
base=$(cat "$(dirname "$0")/procs.base" 2>/dev/null || echo)
count
if [ -n "$base" ]; then
  i=0
  while [ "$procs" -gt "$base" ] && [ $i -lt 50 ]; do
    sleep 0.1
    i=$((i + 1))
    count
  done
fi
[ -n "$base" ] || echo "$procs" > "$(dirname "$0")/procs.base"
echo "fds $(ls "/proc/$1/fd" | wc -l) rss $(awk '/VmRSS/ {print $2}' "/proc/$1/status") procs $procs"
echo "comms $(cat /proc/[0-9]*/comm 2>/dev/null | sort | tr '\n' ' ')"
MEASURE
chmod 755 "$W/measure.sh"

case "$SCENARIO" in
  linkrace)
    # The installation records an OpenVPN path inside a folder that another
    # user owns; that user swaps a link under it between the real program
    # and a script of theirs, while root asks for the path 200 times.
    mkdir -p "$W/root/etc/varnel" "$W/att" "$W/evil"
    printf 'Executable=%s\n' "$W/att/bin/openvpn" > "$W/root/etc/varnel/helper.conf"
    printf '#!/bin/sh\ntouch %s\nexec /usr/sbin/openvpn "$@"\n' "$W/pwned" > "$W/evil/openvpn"
    chmod 755 "$W/evil/openvpn"
    chown -R 65534:65534 "$W/att" "$W/evil"
    start_helper
    $NOBODY sh -c "while :; do ln -sfn /usr/sbin '$W/att/l1'; mv -T '$W/att/l1' '$W/att/bin';
      ln -sfn '$W/evil' '$W/att/l2'; mv -T '$W/att/l2' '$W/att/bin'; done" &
    swapper=$!
    args=()
    for i in $(seq 200); do
      args+=(request operation=OpenVPNConnectionRequest "openVPNPath=$W/att/bin/openvpn"
             remote=127.0.0.1 port=1194 udp=b:1 name=plan_de_alice authUserPass=s3cret-pw)
    done
    # A legitimate request is served afterwards.
    "$CLIENT" "${args[@]}" until 2 10 run "kill $swapper" $REQ until 5 40 $DISCONNECT \
      > "$W/race.out"
    echo "client-status $?"
    grep -v '^reply \(1\|(null)\)$' "$W/race.out" | grep -v '^message OpenVPN request refused: the'
    echo "replies $(grep -c '^reply ' "$W/race.out")"
    echo "refusals-told $(grep -c '^message OpenVPN request refused: the OpenVPN program' "$W/race.out")"
    [ -e "$W/pwned" ] && echo "ATTACKER-PROGRAM-RAN"
    ;;
  orphan)
    # A user tries the management interface from the start, then the helper
    # dies mid-connection; the user tries the orphaned OpenVPN; a new helper
    # ends it and tells the truth.
    start_helper
    $NOBODY "$CLIENT" mgmtprobe "$SOCK" 6 > "$W/probe1.out" &
    probe=$!
    "$CLIENT" $REQ until 5 40 run "kill -9 $helper"
    wait $helper 2>/dev/null
    wait $probe
    ovpn=$(cat "$PRIVATE/openvpn.pid")
    kill -0 "$ovpn" 2>/dev/null && echo "orphan alive"
    echo "orphan-dns:$(head -1 /etc/resolv.conf)"
    $NOBODY "$CLIENT" mgmtprobe "$SOCK" 2 > "$W/probe2.out"
    sed 's/^/probe1: /' "$W/probe1.out"
    sed 's/^/probe2: /' "$W/probe2.out"
    start_helper
    "$CLIENT" until 1 10 run "kill -0 $ovpn 2>/dev/null && echo alive || echo gone" \
      cat /etc/resolv.conf $REQ until 5 40 $DISCONNECT log
    echo "client-status $?"
    ;;
  precreated)
    # Another user made the helper's folder names first (in the old place
    # and the new one).
    mkdir -p "$PRIVATE" "$W/root/tmp/varnel-helper"
    echo theirs > "$PRIVATE/VarnelVPN.ca"
    chown -R 65534:65534 "$PRIVATE" "$W/root/tmp/varnel-helper"
    chmod 777 "$PRIVATE" "$W/root/tmp/varnel-helper"
    start_helper
    "$CLIENT" $REQ scramble=xormask until 2 10 $REQ scramble= until 5 40 \
      cat /etc/resolv.conf $DISCONNECT log
    echo "client-status $?"
    echo "folder $(stat -c '%u %a' "$PRIVATE")"
    echo "theirs $(cat "$W"/root/run/.varnel-helper.refused.*/VarnelVPN.ca)"
    echo "old-folder $(ls -A "$W/root/tmp/varnel-helper" | wc -l)"
    ;;
  ovpnkill)
    start_helper
    "$CLIENT" $REQ until 5 40 cat /etc/resolv.conf \
      run "kill -9 \$(cat '$PRIVATE/openvpn.pid')" until 1 20 cat /etc/resolv.conf log
    echo "client-status $?"
    ;;
  serverkill)
    export VARNEL_OPENVPN_KEEPALIVE=1,4
    start_helper
    "$CLIENT" $REQ until 5 40 run "kill \$(cat '$W/server.pid'); date +%s.%N" until 3 30 \
      run "date +%s.%N" logwait 'The connection to the server was lost' 10 $DISCONNECT
    echo "client-status $?"
    ;;
  sstp)
    # A stand-in SSTP client recorded by the installation; a user offers pppd
    # options from their own folder; the password must stay off every
    # command line (it reaches the client only through a file, here too).
    mkdir -p "$W/root/etc/varnel" "$W/inst" "$W/userdir"
    printf '#!/bin/sh\necho "Connection Established"\nexec sleep 60\n' > "$W/inst/sstpc"
    chmod 755 "$W/inst/sstpc"
    printf 'Executable=%s\nSSTPOptions=%s\n' "$W/inst/sstpc" "$W/inst/sstp-options" \
      > "$W/root/etc/varnel/helper.conf"
    printf 'noipdefault\n' > "$W/inst/sstp-options"
    printf 'plugin /nonexistent/evil.so\n' > "$W/userdir/options"
    chown -R 65534:65534 "$W/userdir"
    printf 'Sstp-Secret-4471' > "$W/password"
    SREQ="request operation=SSTPConnectionRequest sstpLocation=$W/inst/sstpc username=alice
      password=f:$W/password host=vpn.test"
    start_helper
    "$CLIENT" $SREQ "sstpOptions=$W/userdir/options" until 2 10 \
      $SREQ "sstpOptions=$W/inst/sstp-options" until 5 10 \
      run "cat /proc/[0-9]*/cmdline 2>/dev/null | tr '\\0' ' ' | grep -c -F -f '$W/password'" \
      run "ls '$PRIVATE' | grep -c sstp-secrets" \
      $DISCONNECT run "ls '$PRIVATE' | grep -c sstp-secrets" log
    echo "client-status $?"
    ;;
  cycles)
    start_helper
    args=($REQ until 5 40 $DISCONNECT run "$W/measure.sh $helper")
    for i in $(seq 99); do args+=($REQ until 5 40 $DISCONNECT); done
    args+=(run "$W/measure.sh $helper")
    "$CLIENT" "${args[@]}" > "$W/cycles.out"
    echo "client-status $?"
    grep -c '^state 5' "$W/cycles.out" | sed 's/^/connected /'
    grep '^run:fds\|^comms' "$W/cycles.out"
    ;;
esac
# The helper ends with its client; one that stays (a newer rule) is
# stopped here instead, which the tests accept as well.
for i in $(seq 30); do kill -0 $helper 2>/dev/null || break; sleep 0.1; done
if kill -0 $helper 2>/dev/null; then
  kill $helper
  wait $helper
  echo "helper-status stopped"
else
  wait $helper
  echo "helper-status $?"
fi
echo "after:$(cat /etc/resolv.conf)"
if [ "$SCENARIO" = linkrace ]; then
  # The helper's log counts a run of identical lines on one line
  # ("... repeated N times") after the first.
  echo "refusals $(cat "$PRIVATE"/*.log | awk -v line="Refused to start $W/att/bin/openvpn" '
    index($0, line) { n++; after = 1; next }
    after && match($0, /repeated [0-9]+ time/) { split(substr($0, RSTART), w, " "); n += w[2]; next }
    { after = 0 }
    END { print n + 0 }')"
  echo "started $(cat "$PRIVATE"/*.log | grep -c 'Writing: hold release')"
fi
sed 's/^/helper.out: /' "$W/helper.out"
exit 0
)SH";

class HelperTrustTest : public helper_test::OpenVPNNamespaceTest {
 protected:
  static void SetUpTestSuite() {
    prepareSuite({.folderPattern = "/tmp/varnel-trust-XXXXXX",
                  .tools = {"unshare", "setpriv", "ip", "openssl", "openvpn"},
                  .unshareOptions = "--net --mount --pid --fork --mount-proc",
                  .scenario = kScenario,
                  .leftovers = "root att evil inst userdir password pwned server.log server.pid "
                               "helper.out *.out procs.base",
                  .timeoutSeconds = 280});
  }
};

// The helper program ended by itself without a failure, or was still
// serving when its client had gone and was stopped by the scenario.
bool helperEndedCleanly(const std::string& output) {
  return contains(output, "helper-status 0\n") || contains(output, "helper-status stopped\n");
}

// The number after `label ` in the first line that holds it (-1 if none).
long numberAfter(const std::string& text, const std::string& label, std::size_t from = 0) {
  std::size_t at = text.find(label + " ", from);
  if (at == std::string::npos) return -1;
  return std::atol(text.c_str() + at + label.size() + 1);
}

TEST_F(HelperTrustTest, SymbolicLinkSwapRaceNeverRunsTheOtherUsersProgram) {
  Outcome r = scenario("linkrace");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(numberAfter(r.output, "replies"), 202) << r.output;
  EXPECT_EQ(numberAfter(r.output, "refusals"), 200) << r.output;
  // Each refusal is answered with its reason.
  EXPECT_EQ(numberAfter(r.output, "refusals-told"), 200) << r.output;
  EXPECT_GE(numberAfter(r.output, "started"), 1) << r.output;  // the legitimate one
  EXPECT_FALSE(contains(r.output, "ATTACKER-PROGRAM-RAN")) << r.output;
  EXPECT_TRUE(contains(r.output, "state 5\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "client-status 0\n")) << r.output;
  EXPECT_TRUE(helperEndedCleanly(r.output)) << r.output;
}

TEST_F(HelperTrustTest, ManagementIsOutOfReachAndARestartedHelperEndsTheOrphan) {
  Outcome r = scenario("orphan");
  EXPECT_EQ(r.status, 0) << r.output;
  // Nobody else got in, neither while OpenVPN started nor once orphaned.
  EXPECT_FALSE(contains(r.output, "reached")) << r.output;
  EXPECT_GT(numberAfter(r.output, "probe1: probe tries"), 10) << r.output;
  EXPECT_GT(numberAfter(r.output, "probe2: probe tries"), 10) << r.output;
  // The orphan really was left running with the VPN's DNS...
  EXPECT_TRUE(contains(r.output, "orphan alive\norphan-dns:nameserver 10.99.0.1\n")) << r.output;
  // ...and the next helper says disconnected first, has ended it and put
  // the DNS back, then serves a new connection.
  EXPECT_TRUE(contains(r.output, "state 1\nrun:gone\n\ncat:nameserver 192.0.2.53\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "left by an earlier run of the helper")) << r.output;
  EXPECT_TRUE(contains(r.output, "reply 1\nstate 3\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "state 5\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "client-status 0\n")) << r.output;
  EXPECT_TRUE(helperEndedCleanly(r.output)) << r.output;
  EXPECT_TRUE(contains(r.output, "after:nameserver 192.0.2.53")) << r.output;
}

TEST_F(HelperTrustTest, FoldersPreparedByAnotherUserAreNotUsedAndScrambleIsChecked) {
  Outcome r = scenario("precreated");
  EXPECT_EQ(r.status, 0) << r.output;
  // Debian's OpenVPN has no --scramble: refused at once, with the reason.
  EXPECT_TRUE(contains(r.output,
                       "reply (null)\nmessage This server needs an obfuscation (scramble) that "
                       "the installed OpenVPN does not support.\nstate 2\n"))
      << r.output;
  // An empty value adds nothing: connected.
  EXPECT_TRUE(contains(r.output, "state 5\ncat:nameserver 10.99.0.1\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "client-status 0\n")) << r.output;
  EXPECT_TRUE(helperEndedCleanly(r.output)) << r.output;
  // The helper's folder is its own again; the other user's files untouched.
  EXPECT_TRUE(contains(r.output, "folder 0 700\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "theirs theirs\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "old-folder 0\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "after:nameserver 192.0.2.53")) << r.output;
}

TEST_F(HelperTrustTest, KilledOpenVPNGivesTheDNSBack) {
  Outcome r = scenario("ovpnkill");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "state 5\ncat:nameserver 10.99.0.1\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "state 1\ncat:nameserver 192.0.2.53\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "The system's DNS settings were restored.")) << r.output;
  EXPECT_TRUE(contains(r.output, "client-status 0\n")) << r.output;
  EXPECT_TRUE(helperEndedCleanly(r.output)) << r.output;
}

TEST_F(HelperTrustTest, SilentServerLeavesConnectedWithTheReason) {
  Outcome r = scenario("serverkill");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "state 5\nrun:")) << r.output;
  EXPECT_TRUE(contains(r.output, "state 3\nrun:")) << r.output;
  EXPECT_TRUE(contains(r.output, "The connection to the server was lost (")) << r.output;
  EXPECT_TRUE(contains(r.output, "client-status 0\n")) << r.output;
  EXPECT_TRUE(helperEndedCleanly(r.output)) << r.output;
  // Within the keep-alive's restart time (4 s here, 30 s by default).
  const std::size_t connected = r.output.find("state 5\nrun:");
  const std::size_t left = r.output.find("state 3\nrun:", connected);
  ASSERT_NE(connected, std::string::npos) << r.output;
  ASSERT_NE(left, std::string::npos) << r.output;
  const double killedAt = std::atof(r.output.c_str() + connected + 12);
  const double leftAt = std::atof(r.output.c_str() + left + 12);
  EXPECT_GT(leftAt, killedAt) << r.output;
  EXPECT_LT(leftAt - killedAt, 20.0) << r.output;
}

TEST_F(HelperTrustTest, SSTPPasswordStaysOffCommandLinesAndUserOptionsAreRefused) {
  Outcome r = scenario("sstp");
  EXPECT_EQ(r.status, 0) << r.output;
  // The user's options file: refused, with the reason for the client.
  EXPECT_TRUE(contains(r.output, std::string("reply (null)\nmessage ") +
                                     helper::kSSTPOptionsRefusal + "\nstate 2\n"))
      << r.output;
  EXPECT_TRUE(contains(r.output, "is not the installation's own")) << r.output;
  // The installation's own: connected, the password on no command line but
  // in one owner-only file, gone once the client ended.
  EXPECT_TRUE(contains(r.output, "state 5\nrun:0\n\nrun:1\n\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "state 1\nrun:0\n\nlog:")) << r.output;
  EXPECT_FALSE(contains(r.output, "Sstp-Secret-4471")) << r.output;
  EXPECT_TRUE(contains(r.output, "client-status 0\n")) << r.output;
  EXPECT_TRUE(helperEndedCleanly(r.output)) << r.output;
}

TEST_F(HelperTrustTest, HundredCyclesKeepDescriptorsProcessesAndMemoryFlat) {
  Outcome r = scenario("cycles");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "client-status 0\n")) << r.output;
  EXPECT_EQ(numberAfter(r.output, "connected"), 100) << r.output;
  const std::size_t second = r.output.find("run:fds", r.output.find("run:fds") + 1);
  ASSERT_NE(second, std::string::npos) << r.output;
  const long fds1 = numberAfter(r.output, "fds"), fds100 = numberAfter(r.output, "fds", second);
  const long rss1 = numberAfter(r.output, "rss"), rss100 = numberAfter(r.output, "rss", second);
  const long procs1 = numberAfter(r.output, "procs");
  const long procs100 = numberAfter(r.output, "procs", second);
  std::cout << "after 1 and 100 cycles: descriptors " << fds1 << " -> " << fds100 << ", processes "
            << procs1 << " -> " << procs100 << ", RSS kB " << rss1 << " -> " << rss100 << std::endl;
  EXPECT_GT(fds1, 0) << r.output;
  EXPECT_LE(fds100, fds1 + 2) << r.output;
  EXPECT_LE(procs100, procs1) << r.output;
#if !defined(__SANITIZE_ADDRESS__)
  // (Under the address sanitizer freed memory waits in its quarantine, so
  // the resident size says nothing about leaks there.)
  EXPECT_LT(rss100 - rss1, 10 * 1024) << r.output;  // kB
#endif
  EXPECT_TRUE(helperEndedCleanly(r.output)) << r.output;
}

}  // namespace
