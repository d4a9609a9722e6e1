// The VarnelHelper program against its own authorized user: any program
// that user runs (a browser exploit, a downloaded script) may talk to the
// helper, so it must get nothing from it but VPN connections. The real
// helper runs as root in private network, mount and pid namespaces; the
// user (uid 4242, recorded as the installation's user, running the recorded
// client program) is played with setpriv. The SSTP requests go to Debian's
// sstpc, which talks to a loopback SSTP stand-in and starts pppd (which
// stops at the missing /dev/ppp here, after it has read its options). The
// attacker's pppd plugin leaves a mark when it is loaded: a control run
// proves that root handing pppd the user's options would load it as uid 0;
// no request of the user may. PPTP, L2TP and IPSec requests go to the real
// NetworkManager in namespaces of its own (tests/support/nm_namespace.sh),
// which would write their values into its profile. Needs root,
// /dev/net/tun, unshare, setpriv, sstpc, pppd, python3 and openvpn (and
// NetworkManager with its plugins for its test); skipped where one is
// missing.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "helper/helper_service.h"
#include "openvpn_namespace_fixture.h"
#include "platform/sysconfig/nm_connection_driver.h"
#include "support/nm_mock.h"
#include "support/shell.h"
#include "support/temp_dir.h"

namespace {

using Outcome = varnel::testing::ShellOutcome;
using varnel::testing::contains;

constexpr const char* kScenario = R"SH(
# sstpc keeps its socket in /run/sstpc: a private /run keeps the host's clean.
mount -t tmpfs tmpfs /run || exit 93
export VARNEL_ROOT="$W/root"
U=4242
AS_USER="setpriv --reuid=$U --regid=$U --clear-groups"
mkdir -p "$W/root/run" "$W/root/etc/varnel" "$W/inst" "$W/userdir"
chmod 711 "$W"
chmod 755 "$W/root" "$W/root/run" "$W/inst"
PRIVATE="$W/root/run/varnel-helper"
# The installation: root's options file, the user, the client program.
printf 'noipdefault\n' > "$W/inst/sstp-options"
chmod 644 "$W/inst/sstp-options"
printf 'Client=%s\nUser=%s\nSSTPOptions=%s\n' "$CLIENT" $U "$W/inst/sstp-options" \
  > "$W/root/etc/varnel/helper.conf"
# The user's files: a plugin and options that load it, an SSTP client.
cp "$ATTACKER_PLUGIN" "$W/userdir/evil.so"
printf 'plugin %s\n' "$W/userdir/evil.so" > "$W/userdir/options"
printf '#!/bin/sh\nid > %s\n' "$W/userdir/sstpc.ran" > "$W/userdir/sstpc"
printf '#!/bin/sh\nid > %s\n' "$W/userdir/up.ran" > "$W/userdir/up.sh"
chmod 755 "$W/userdir/sstpc" "$W/userdir/up.sh"
chown -R $U:$U "$W/userdir"
MARK="$W/userdir/evil.so.ran"

cat > "$W/sstp.py" <<'PY'
# A loopback SSTP stand-in: TLS; SSTP_DUPLEX_POST gets 200, a
# CALL_CONNECT_REQUEST gets a CALL_CONNECT_ACK; then it reads to the end.
import os, socket, ssl, struct, sys, threading
cert, key, portfile, logfile = sys.argv[1:5]
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(cert, key)
srv = socket.socket()
srv.bind(("127.0.0.1", 0))
srv.listen(8)
with open(portfile + ".tmp", "w") as f:
    f.write(str(srv.getsockname()[1]))
os.rename(portfile + ".tmp", portfile)
log = open(logfile, "a", buffering=1)
def exact(c, n):
    data = b""
    while len(data) < n:
        chunk = c.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data
def serve(conn):
    try:
        c = ctx.wrap_socket(conn, server_side=True)
        head = b""
        while b"\r\n\r\n" not in head:
            head += exact(c, 1)
        log.write("http " + head.split(b"\r\n")[0].decode(errors="replace") + "\n")
        c.sendall(b"HTTP/1.1 200\r\nContent-Length: 18446744073709551615\r\n\r\n")
        # Debian's sstpc now and then stops watching its socket once it has
        # sent this request (its event set then holds only its plugin's
        # socket) and never reads the answer: said as a stall, which the
        # test tells from a failure of the helper and runs again.
        c.settimeout(5)
        try:
            hdr = exact(c, 4)
        except socket.timeout:
            log.write("stall: sstpc read nothing of the answer\n")
            raise EOFError
        c.settimeout(None)
        while True:
            body = exact(c, (struct.unpack("!H", hdr[2:4])[0] & 0x0FFF) - 4)
            if hdr[1] & 1:
                kind = struct.unpack("!H", body[0:2])[0]
                log.write("control %d\n" % kind)
                if kind == 1:
                    attr = struct.pack("!BBH", 0, 4, 40) + b"\0\0\0\x03" + os.urandom(32)
                    c.sendall(struct.pack("!BBHHH", 0x10, 1, 8 + len(attr), 2, 1) + attr)
            hdr = exact(c, 4)
    except (EOFError, OSError, ssl.SSLError) as e:
        log.write("end %s\n" % type(e).__name__)
    finally:
        conn.close()
# Each connection on its own thread: one that stalls holds up no other.
while True:
    conn, _ = srv.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
PY
/usr/bin/python3 "$W/sstp.py" "$W/server.crt" "$W/server.key" "$W/sstp.port" "$W/sstp.log" &
standin=$!
for i in $(seq 100); do [ -s "$W/sstp.port" ] && break; sleep 0.1; done
HOST="127.0.0.1:$(cat "$W/sstp.port")"
# Waits (as the user, who may read the stand-in's log) until the stand-in
# has seen $1 SSTP sessions end (sstpc has then been through pppd) and
# sstpc has gone (the next one needs its fixed socket name).
cat > "$W/ended.sh" <<EOF
#!/bin/sh
for i in \$(seq 300); do
  [ "\$(grep -c '^end' '$W/sstp.log')" -ge "\$1" ] && ! pgrep -x sstpc >/dev/null && exit 0
  sleep 0.1
done
echo "ended.sh: timed out"
exit 1
EOF
chmod 755 "$W/ended.sh"

# The helper ends with its client; waits for that (and ends it if not).
stop_helper() {
  for i in $(seq 50); do kill -0 $helper 2>/dev/null || break; sleep 0.1; done
  kill $helper 2>/dev/null
  wait $helper
}
start_helper() {
  "$HELPER" >> "$W/helper.out" 2>&1 &
  helper=$!
  for i in $(seq 100); do [ -S "$W/root/run/varnel/VarnelHelper.sock" ] && break; sleep 0.1; done
}

case "$SCENARIO" in
  control)
    # What the attack would do if root handed pppd the user's options.
    timeout 20 /usr/sbin/sstpc --log-level 2 --log-stdout --cert-warn --user alice "$HOST" \
      file "$W/userdir/options" noauth > "$W/control.out" 2>&1
    echo "control-mark $(cat "$MARK" 2>/dev/null)"
    echo "control-pppd $(grep -c '^control 1' "$W/sstp.log")"
    sed 's/^/control.out: /' "$W/control.out"
    sed 's/^/stand-in: /' "$W/sstp.log"
    ;;
  sstp)
    start_helper
    CA=$(printf 'plugin %s\n' "$W/userdir/evil.so" | base64 -w0)
    NL='
'
    S=(operation=SSTPConnectionRequest sstpLocation=/usr/sbin/sstpc password=pw)
    OK=(sstpOptions="$W/inst/sstp-options" host="$HOST")
    O=(operation=OpenVPNConnectionRequest openVPNPath=/usr/sbin/openvpn udp=b:0)
    $AS_USER "$CLIENT" \
      run "echo ovpn-1" request "${O[@]}" "remote=127.0.0.1${NL}up $W/userdir/up.sh" port=9 \
      run "echo ovpn-2" request "${O[@]}" remote=127.0.0.1 "port=9${NL}script-security 3" \
      run "echo ovpn-3" request "${O[@]}" remote=127.0.0.1 port=9 "cipher=--up=$W/userdir/up.sh" \
      run "echo ovpn-4" request "${O[@]}" remote=127.0.0.1 port=9 "portList=a:9,--up" \
      run "echo ovpn-5" request "${O[@]}" "remote=--config=$W/userdir/options" port=9 \
      run "echo ovpn-6" request operation=OpenVPNConnectionRequest "openVPNPath=$W/userdir/up.sh" \
        remote=127.0.0.1 port=9 \
      request operation=OpenVPNConnectionRequest openVPNPath=/usr/sbin/openvpn \
        remote=127.0.0.1 port=9 udp=b:0 "ca=$CA" \
      run "echo opt-1" request "${S[@]}" username=alice host="$HOST" \
        "sstpOptions=$PRIVATE/VarnelVPN.ca" \
      run "echo opt-2" request "${S[@]}" username=alice host="$HOST" \
        "sstpOptions=$W/userdir/options" \
      run "echo opt-3" request "${S[@]}" username=alice host="$HOST" \
        "sstpOptions=$W/inst/../userdir/options" \
      run "echo opt-5" request "${S[@]}" username=alice host="$HOST" \
        "sstpOptions=$PRIVATE/vvpn-sstp.log" \
      run "echo opt-6" request "${S[@]}" username=alice host="$HOST" \
        "sstpOptions=$W/root/etc/varnel/helper.conf" \
      run "echo field-0" request "${S[@]}" username=alice host="$HOST" \
        "sstpOptions=$W/inst/sstp-options${NL}plugin $W/userdir/evil.so" \
      run "echo field-1" request "${S[@]}" "${OK[@]}" "username=alice${NL}plugin $W/userdir/evil.so" \
      run "echo field-2" request "${S[@]}" "${OK[@]}" "username=-plugin" \
      run "echo field-3" request operation=SSTPConnectionRequest sstpLocation=/usr/sbin/sstpc \
        username=alice "password=pw\"${NL}plugin $W/userdir/evil.so" "${OK[@]}" \
      run "echo field-4" request "${S[@]}" username=alice "sstpOptions=$W/inst/sstp-options" \
        "host=${HOST}${NL}plugin $W/userdir/evil.so" \
      run "echo field-5" request "${S[@]}" username=alice "sstpOptions=$W/inst/sstp-options" \
        "host=-plugin" \
      run "echo field-6" request "${S[@]}" username=alice "sstpOptions=$W/inst/sstp-options" \
        "host=$HOST plugin $W/userdir/evil.so" \
      run "echo exe-1" request operation=SSTPConnectionRequest "sstpLocation=$W/userdir/sstpc" \
        username=alice password=pw "${OK[@]}" \
      run "echo exe-2" request operation=SSTPConnectionRequest \
        "sstpLocation=/usr/sbin/../sbin/sstpc" username=alice password=pw "${OK[@]}" \
      run "echo exe-3" request operation=SSTPConnectionRequest \
        "sstpLocation=$PRIVATE/varnel-up.sh" username=alice password=pw "${OK[@]}" \
      run "echo words" request "${S[@]}" "${OK[@]}" "username=alice plugin $W/userdir/evil.so" \
        run "$W/ended.sh 1" \
      run "echo legit" request "${S[@]}" "${OK[@]}" username=alice run "$W/ended.sh 2" \
      log > "$W/user.out" 2>&1
    echo "client-status $?"
    cat "$W/user.out"
    # The helper ends with its client.
    for i in $(seq 50); do kill -0 $helper 2>/dev/null || break; sleep 0.1; done
    kill $helper 2>/dev/null
    wait $helper
    echo "mark $(cat "$MARK" 2>/dev/null)"
    [ -e "$W/userdir/sstpc.ran" ] && echo "USER-SSTPC-RAN"
    [ -e "$W/userdir/up.ran" ] && echo "USER-SCRIPT-RAN"
    echo "pppd-reached $(grep -c '^control 1' "$W/sstp.log")"
    echo "pppd-log $(grep -c -i 'ppp' "$PRIVATE/vvpn-sstp.log" 2>/dev/null)"
    echo "left $(ls -A "$PRIVATE" | grep -c -E 'VarnelVPN|varnel-|sstp-secrets')"
    sed 's/^/stand-in: /' "$W/sstp.log"
    ;;
  nm)
    # PPTP, L2TP and IPSec through the system's NetworkManager (the real one,
    # in namespaces of its own, reached on its bus): values that carry line
    # breaks, pppd option words, "..", paths, or read as options.
    export DBUS_SYSTEM_BUS_ADDRESS="$NM_BUS"
    start_helper
    NL='
'
    CR=$(printf '\r')
    TAB=$(printf '\t')
    EVIL="plugin $W/userdir/evil.so"
    P=(operation=PPTPConnectionRequest)
    L=(operation=L2TPConnectionRequest)
    I=(operation=IPSecConnectionRequest)
    printf '#!/bin/sh\necho "profiles $1: $(nmcli -t -f NAME connection show | sort | tr "\\n" " ")"\n' \
      > "$W/profiles.sh"
    chmod 755 "$W/profiles.sh"
    $AS_USER "$CLIENT" \
      run "echo pptp-ip-1" request "${P[@]}" "ip=10.200.0.2${NL}${EVIL}" username=alice password=pw \
      run "echo pptp-ip-2" request "${P[@]}" "ip=10.200.0.2 ${EVIL}" username=alice password=pw \
      run "echo pptp-ip-3" request "${P[@]}" "ip=../..$W/userdir/evil.so" username=alice password=pw \
      run "echo pptp-ip-4" request "${P[@]}" ip=-plugin username=alice password=pw \
      run "echo pptp-user-1" request "${P[@]}" ip=10.200.0.2 "username=alice${NL}${EVIL}" \
        password=pw \
      run "echo pptp-user-2" request "${P[@]}" ip=10.200.0.2 "username=alice${CR}${EVIL}" \
        password=pw \
      run "echo pptp-password-1" request "${P[@]}" ip=10.200.0.2 username=alice \
        "password=pw${NL}${EVIL}" \
      run "echo l2tp-ip-1" request "${L[@]}" ip=/etc/ppp/options username=alice password=pw \
        ipsec=psk \
      run "echo l2tp-user-1" request "${L[@]}" ip=10.200.0.2 "username=alice${NL}${EVIL}" \
        password=pw ipsec=psk \
      run "echo l2tp-password-1" request "${L[@]}" ip=10.200.0.2 username=alice \
        "password=pw${NL}${EVIL}" ipsec=psk \
      run "echo l2tp-psk-1" request "${L[@]}" ip=10.200.0.2 username=alice password=pw \
        "ipsec=psk${NL}${EVIL}" \
      run "echo l2tp-psk-2" request "${L[@]}" ip=10.200.0.2 username=alice password=pw \
        "ipsec=psk${TAB}x" \
      run "echo ipsec-gw-1" request "${I[@]}" "assigned=10.200.0.2${NL}IPSec gateway 10.9.9.9" \
        sharedKey=Sh4red-psk-16chr \
      run "echo ipsec-gw-2" request "${I[@]}" assigned=.. sharedKey=Sh4red-psk-16chr \
      run "echo ipsec-gw-3" request "${I[@]}" "assigned=$W/userdir/evil.so" \
        sharedKey=Sh4red-psk-16chr \
      run "echo ipsec-psk-1" request "${I[@]}" assigned=10.200.0.2 \
        "sharedKey=Sh4red-psk-16chr${NL}IKE DH Group dh1" \
      run "echo ipsec-psk-2" request "${I[@]}" assigned=10.200.0.2 sharedKey= \
      log > "$W/user.out" 2>&1
    echo "client-status $?"
    cat "$W/user.out"
    stop_helper
    "$W/profiles.sh" before
    # The control, with a helper of its own.
    rm -f "$W/root/run/varnel/VarnelHelper.sock"
    start_helper
    $AS_USER "$CLIENT" \
      run "echo control" request "${P[@]}" ip=10.200.0.2 "username=alice ${EVIL}" password=pw \
        until 2 20 log > "$W/user.out" 2>&1
    echo "client-status $?"
    cat "$W/user.out"
    stop_helper
    "$W/profiles.sh" after
    echo "mark $(cat "$MARK" 2>/dev/null)"
    ;;
  installed)
    # The installation as a package lays it out (the client program, the
    # helper, the installer and the pppd options file the build ships beside
    # the client, all root's), installed by the real installer for the user.
    I="$W/installed"
    mkdir -p "$I"
    chmod 755 "$I"
    cp "$CLIENT" "$I/VarnelVPN Client"
    cp "$HELPER" "$I/VarnelHelper"
    cp "$INSTALLER" "$I/varnel-install-helper"
    cp "$SHIPPED_SSTP_OPTIONS" "$I/sstp-options"
    chmod 755 "$I/VarnelVPN Client" "$I/VarnelHelper" "$I/varnel-install-helper"
    chmod 644 "$I/sstp-options"
    PKEXEC_UID=$U "$I/varnel-install-helper" install-helper VarnelHelper \
      --client "VarnelVPN Client" --root "$W/root" 2>&1
    echo "install-status $?"
    sed 's/^/helper.conf: /' "$W/root/etc/varnel/helper.conf"
    HELPER="$W/root/usr/local/libexec/varnel/VarnelHelper"
    start_helper
    # The client's SSTP request for an SSTP account (what the client's
    # request builder sends): the account's values, the system's sstpc (this
    # installation ships none) and "<installation>/sstp-options".
    $AS_USER "$I/VarnelVPN Client" request operation=SSTPConnectionRequest host="$HOST" \
      ip=127.0.0.1 ipsec= username=alice password=pw sstpLocation=/usr/sbin/sstpc \
      sstpOptions="$I/sstp-options" run "$W/ended.sh 1" log > "$W/user.out" 2>&1
    echo "client-status $?"
    cat "$W/user.out"
    for i in $(seq 50); do kill -0 $helper 2>/dev/null || break; sleep 0.1; done
    kill $helper 2>/dev/null
    wait $helper
    echo "pppd-reached $(grep -c '^control 1' "$W/sstp.log")"
    sed 's/^/pppd.log: /' "$PRIVATE/vvpn-sstp.log"
    sed 's/^/stand-in: /' "$W/sstp.log"
    ;;
esac
kill $standin 2>/dev/null
sed 's/^/helper.out: /' "$W/helper.out" 2>/dev/null
exit 0
)SH";

class AuthorizedUserTest : public helper_test::OpenVPNNamespaceTest {
 protected:
  static void SetUpTestSuite() {
    ::setenv("ATTACKER_PLUGIN", ATTACKER_PLUGIN, 1);
    ::setenv("INSTALLER", VARNEL_INSTALLER_PATH, 1);
    ::setenv("SHIPPED_SSTP_OPTIONS", SHIPPED_SSTP_OPTIONS, 1);
    prepareSuite({.folderPattern = "/tmp/varnel-own-user-XXXXXX",
                  .tools = {"unshare", "setpriv", "ip", "openssl", "openvpn", "/usr/sbin/sstpc",
                            "/usr/sbin/pppd", "/usr/bin/python3"},
                  .unshareOptions = "--net --mount --pid --fork --mount-proc",
                  .scenario = kScenario,
                  .leftovers = "root inst installed userdir helper.out sstp.* user.out control.out "
                               "ended.sh profiles.sh",
                  .timeoutSeconds = 200});
  }

  // A scenario that runs sstpc, run again (up to three times in all) while
  // the stand-in saw sstpc stall before it read the server's answer: that
  // fault is sstpc's own and says nothing of the helper.
  Outcome scenarioPastSSTPStalls(const std::string& name) {
    Outcome r = scenario(name);
    for (int attempt = 2; attempt <= 3 && contains(r.output, "stand-in: stall:"); ++attempt) {
      std::printf("scenario %s: sstpc stalled, attempt %d\n", name.c_str(), attempt);
      r = scenario(name);
    }
    return r;
  }
};

// The section of the client's output after "run:<label>".
std::string after(const std::string& output, const std::string& label) {
  const std::size_t at = output.find("run:" + label + "\n");
  if (at == std::string::npos) return {};
  const std::size_t end = output.find("run:", at + 4);
  return output.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

TEST_F(AuthorizedUserTest, RootHandingPppdTheUsersOptionsWouldRunThePlugin) {
  // The control: the stand-in brings sstpc to pppd, and pppd loads the
  // plugin named in the options as root. So a missing mark below means the
  // plugin did not run, not that the set-up could not have noticed.
  Outcome r = scenarioPastSSTPStalls("control");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "control-mark uid=0 euid=0")) << r.output;
  EXPECT_TRUE(contains(r.output, "control-pppd 1")) << r.output;
}

TEST_F(AuthorizedUserTest, NoRequestOfTheUserRunsCodeAsRoot) {
  Outcome r = scenarioPastSSTPStalls("sstp");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "client-status 0\n")) << r.output;
  // The file an OpenVPN attempt wrote, the user's own, a ".." path, the
  // helper's log and its configuration:
  // none is an options file, and the client is told why.
  const std::string refusal =
      std::string("reply (null)\nmessage ") + helper::kSSTPOptionsRefusal + "\n";
  for (const char* label : {"opt-1", "opt-2", "opt-3", "opt-5", "opt-6"})
    EXPECT_TRUE(contains(after(r.output, label), refusal)) << label << "\n" << r.output;
  // Values with newlines or that look like options: refused before sstpc,
  // and the client is told why.
  for (const char* label : {"field-0", "field-1", "field-2", "field-4", "field-5", "field-6"}) {
    EXPECT_TRUE(contains(after(r.output, label),
                         std::string("reply (null)\nmessage ") + helper::kSSTPValuesRefusal + "\n"))
        << label << "\n"
        << r.output;
  }
  EXPECT_TRUE(contains(after(r.output, "field-3"),
                       std::string("reply (null)\nmessage ") + helper::kSSTPPasswordRefusal + "\n"))
      << r.output;
  // Executables that are not the installation's: never started.
  for (const char* label : {"exe-1", "exe-2", "exe-3"}) {
    EXPECT_TRUE(contains(after(r.output, label),
                         std::string("reply (null)\nmessage ") + helper::kSSTPClientRefusal + "\n"))
        << label << "\n"
        << r.output;
  }
  EXPECT_TRUE(contains(r.output, "Refused to start " + std::string("/usr/sbin/../sbin/sstpc")))
      << r.output;
  EXPECT_FALSE(contains(r.output, "USER-SSTPC-RAN")) << r.output;
  // OpenVPN's values: option words after newlines, values that read as
  // options, a script of the user's as the program. Refused, never run, and
  // the client is told why.
  const std::string openVPNRefusal = "reply (null)\nmessage OpenVPN request refused: unusable";
  std::size_t refused = 0;
  for (std::size_t at = r.output.find(openVPNRefusal); at != std::string::npos;
       at = r.output.find(openVPNRefusal, at + 1))
    ++refused;
  EXPECT_EQ(refused, 5u) << r.output;
  EXPECT_TRUE(contains(r.output, "Refused to start " + std::string("/tmp/"))) << r.output;
  EXPECT_FALSE(contains(r.output, "USER-SCRIPT-RAN")) << r.output;
  // Option words inside a value stay one value; the legitimate request runs
  // sstpc up to pppd (the stand-in saw both connect requests).
  EXPECT_TRUE(contains(after(r.output, "legit"), "reply 1\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "pppd-reached 2\n")) << r.output;
  // The plugin never ran, and nothing of any attempt stayed behind.
  EXPECT_TRUE(contains(r.output, "mark \n")) << r.output;
  EXPECT_TRUE(contains(r.output, "left 0\n")) << r.output;
}

// The real NetworkManager for one test, in namespaces of its own
// (tests/support/nm_namespace.sh); stopped when the object goes.
class NetworkManagerFixture {
 public:
  NetworkManagerFixture() {
    for (const char* p : {"/usr/sbin/NetworkManager", "/usr/bin/nmcli", "/usr/bin/dbus-daemon",
                          "/usr/lib/NetworkManager/VPN/nm-pptp-service.name",
                          "/usr/lib/NetworkManager/VPN/nm-l2tp-service.name",
                          "/usr/lib/NetworkManager/VPN/nm-vpnc-service.name"}) {
      if (skip.empty() && ::access(p, F_OK) != 0) skip = std::string(p) + " is not installed";
    }
    if (!skip.empty()) return;
    dir = temp.file("nm");
    ::mkdir(dir.c_str(), 0700);
    const Outcome r = varnel::testing::runShell("'" + script() + "' start '" + dir + "' " +
                                                std::to_string(::getpid()) + " 2>&1");
    started = true;
    if (r.status != 0 || r.output.rfind("address ", 0) != 0) {
      failure = r.output;
      return;
    }
    address = r.output.substr(8);
    address.erase(address.find_last_not_of('\n') + 1);
    // Every profile NetworkManager takes is read back as soon as it has it
    // (the helper's own go with their attempt).
    const Outcome watch =
        varnel::testing::runShell("'" + script() + "' profile-watch '" + dir + "' 2>&1");
    if (watch.status != 0) failure = watch.output;
  }
  ~NetworkManagerFixture() {
    if (started) varnel::testing::runShell("'" + script() + "' stop '" + dir + "'");
  }
  std::string inside(const std::string& command) const {
    return varnel::testing::runShell("'" + script() + "' run '" + dir + "' " + command).output;
  }
  static std::string script() { return varnel::testing::supportFile("nm_namespace.sh"); }

  std::string skip, failure, address, dir;

 private:
  varnel::testing::TempDir temp{"nm"};
  bool started = false;
};

// PPTP, L2TP and IPSec requests whose values would reach NetworkManager's
// profile and its plugins' pppd or vpnc: each is refused with its reason
// before any profile is written, and nothing of the user's runs as root. A
// control request with the same option words inside a user name (one
// value, harmless) is taken, so the set-up would have seen a profile.
TEST_F(AuthorizedUserTest, NetworkServiceValuesAreRefusedBeforeAnyProfileIsWritten) {
  NetworkManagerFixture nm;
  if (!nm.skip.empty()) GTEST_SKIP() << nm.skip;
  ASSERT_TRUE(nm.failure.empty()) << nm.failure;
  ::setenv("NM_BUS", nm.address.c_str(), 1);
  Outcome r = scenario("nm");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "client-status 0\n")) << r.output;
  namespace sc = platform::sysconfig;
  const std::string gateway = sc::nmGatewayProblem("a b");
  const std::string user = sc::nmTextProblem("user name", "\n");
  const std::string password = sc::nmTextProblem("password", "\n");
  const std::string key = sc::nmKeyProblem("shared secret", "\n");
  const std::string emptyKey = sc::nmKeyProblem("shared secret", "");
  const std::vector<std::pair<const char*, std::string>> refused = {
      {"pptp-ip-1", gateway},        {"pptp-ip-2", gateway},   {"pptp-ip-3", gateway},
      {"pptp-ip-4", gateway},        {"pptp-user-1", user},    {"pptp-user-2", user},
      {"pptp-password-1", password}, {"l2tp-ip-1", gateway},   {"l2tp-user-1", user},
      {"l2tp-password-1", password}, {"l2tp-psk-1", key},      {"l2tp-psk-2", key},
      {"ipsec-gw-1", gateway},       {"ipsec-gw-2", gateway},  {"ipsec-gw-3", gateway},
      {"ipsec-psk-1", key},          {"ipsec-psk-2", emptyKey}};
  for (const auto& [label, reason] : refused) {
    EXPECT_TRUE(contains(after(r.output, label), "reply (null)\nmessage " + reason + "\n"))
        << label << "\n"
        << r.output;
  }
  // No profile before the control (NetworkManager's own "base" and "lo"
  // only); the control's afterwards.
  auto profiles = [&](const std::string& when) {
    const std::size_t at = r.output.find("profiles " + when + ": ");
    return at == std::string::npos ? std::string("missing")
                                   : r.output.substr(at, r.output.find('\n', at) - at);
  };
  EXPECT_TRUE(contains(profiles("before"), " base ")) << r.output;
  EXPECT_FALSE(contains(profiles("before"), "VarnelVPN")) << r.output;
  EXPECT_TRUE(contains(after(r.output, "control"), "reply 1\n")) << r.output;
  // The control's profile, as NetworkManager took it; it went with its
  // attempt.
  const std::string watched = varnel::testing::runShell("cat '" + nm.dir + "/profiles.log'").output;
  EXPECT_TRUE(contains(watched, " VarnelVPN permissions=")) << watched << r.output;
  EXPECT_TRUE(contains(watched, "user=alice plugin " + work() + "/userdir/evil.so"))
      << watched << r.output;
  EXPECT_FALSE(contains(profiles("after"), "VarnelVPN")) << r.output;
  // Nothing of the user's ran as root.
  EXPECT_TRUE(contains(r.output, "mark \n")) << r.output;
}

// The installation's own options file, as the build ships it and the
// installer records it, takes the client's SSTP request through sstpc to
// pppd (which stops at the missing /dev/ppp here, after it read its options).
TEST_F(AuthorizedUserTest, TheShippedOptionsFileTakesTheClientsSSTPRequestToPppd) {
  Outcome r = scenarioPastSSTPStalls("installed");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "install-status 0\n")) << r.output;
  EXPECT_TRUE(
      contains(r.output, "helper.conf: SSTPOptions=" + work() + "/installed/sstp-options\n"))
      << r.output;
  EXPECT_TRUE(contains(r.output, "client-status 0\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "reply 1\n")) << r.output;
  EXPECT_FALSE(contains(r.output, "message ")) << r.output;
  EXPECT_TRUE(contains(r.output, "pppd-reached 1\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "/dev/ppp")) << r.output;
  EXPECT_FALSE(contains(r.output, "unrecognized option")) << r.output;
}

}  // namespace
