#!/usr/bin/env bash
# VarnelVPN installed, used, updated and removed as on a desktop machine:
# a fresh Debian 12 booted with systemd as its first process
# (systemd-nspawn, tests/e2e/container.sh) in a network of its own.
#
# Needs root, /dev/net/tun, systemd-nspawn, debootstrap and nsenter; exits
# 77 (skipped) only when this machine cannot boot such a container: not
# root, no tun device, or no root file system made yet and no mirror to make
# it from. Everything else that goes wrong fails the test.
#
# Environment: VARNEL_E2E_BUILD (the build folder), VARNEL_E2E_SHOTS (where
# the screenshots go); VARNEL_E2E_KEEP=1 keeps the machine's copy (to look
# into a failure).
set -uo pipefail

SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=${VARNEL_E2E_BUILD:?the build folder}
SHOTS=${VARNEL_E2E_SHOTS:-"$BUILD_DIR/e2e-desktop-screenshots"}
WORK="$BUILD_DIR/e2e-desktop"
E2E_ROOTFS="$BUILD_DIR/e2e-rootfs"
CT_LOG="$WORK"
# shellcheck source=tests/e2e/container.sh
source "$SOURCE/tests/e2e/container.sh"

skip() {
  echo "SKIPPED: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "not root"
[ -c /dev/net/tun ] || skip "no /dev/net/tun"
for tool in systemd-nspawn debootstrap nsenter curl; do
  command -v "$tool" >/dev/null || {
    echo "FAILED: $tool is missing (scripts/install-deps.sh installs it)"
    exit 1
  }
done

# What a desktop user's machine has beside the base system: a display and
# window manager (and the tools that drive and picture them), polkit with
# pkexec, OpenVPN and NetworkManager, a desktop keyring, and the libraries of
# the local services this test runs from the build folder. Not Qt: apt
# brings it with the package, as on a desktop without it.
# shellcheck disable=SC2034  # read by e2e_desktop_layer
E2E_DESKTOP_PACKAGES=(xvfb xauth openbox xdotool wmctrl x11-utils imagemagick fonts-dejavu-core
  polkitd pkexec openvpn network-manager sstp-client gnome-keyring openssl iproute2 procps curl
  iputils-ping libssl3 libcurl4 libsecret-1-0)

rm -rf "$WORK" "$SHOTS"
mkdir -p "$WORK" "$SHOTS"

# --- Steps, each with its duration ---------------------------------------------
STEP=
STEP_START=
SUMMARY=()
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
step() {
  step_done
  STEP=$1
  STEP_START=$(now)
  echo "== $STEP"
}
step_done() {
  [ -n "$STEP" ] || return 0
  local line
  line=$(printf '%6s s  %s' "$(elapsed "$STEP_START")" "$STEP")
  echo "   passed: $line"
  SUMMARY+=("$line")
  STEP=
}
summary() {
  echo "--- steps passed (duration):"
  printf '  %s\n' "${SUMMARY[@]}"
}

fail() {
  echo "FAILED in step \"$STEP\": $*" >&2
  if [ -n "${LOG:-}" ] && [ -f "$LOG" ]; then
    echo "--- the client's log (tail)" >&2
    tail -n 15 "$LOG" >&2
  fi
  if [ -n "$CT_INIT" ]; then
    shot "failure" >&2 2>/dev/null
    echo "--- the helper's units" >&2
    ct systemctl status --no-pager -n 5 varnel-helper.socket varnel-helper.service >&2 2>&1
  fi
  summary >&2
  exit 1
}

trap 'exit 130' INT
trap 'exit 143' TERM

# --- The GUI, driven inside the container ----------------------------------------
# The client answers window reports (client/ui/window_report.h) in a folder
# of $IO, which the container sees as /e2e; screenshots go to $SHOTS, seen
# as /e2e-shots. X programs (xdotool, import) run inside, on display :0.
IO="$WORK/io"
REPORTS="$IO/reports"
REPORT="$WORK/report.txt"
mkdir -p "$REPORTS" "$IO/vpn"
chmod 0777 "$REPORTS"
cx() { ct env DISPLAY=:0 "$@"; }

shots=0
shot() {
  shots=$((shots + 1))
  local name
  name=$(printf '%02d-%s.png' "$shots" "$1")
  cx import -window root "/e2e-shots/$name" && echo "   screenshot $SHOTS/$name"
}

# Waits (polling, 0.1 s) until a command succeeds; the timeout is a safety net.
await() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || fail "timed out after $seconds s waiting for $what"
    sleep 0.1
  done
}

tag=0
ask() {
  tag=$((tag + 1))
  printf '%s\n' "$tag" >"$REPORTS/request.tmp"
  mv -f "$REPORTS/request.tmp" "$REPORTS/request"
  local deadline=$((SECONDS + 20))
  until [ ! -e "$REPORTS/request" ] &&
    [ "$(head -n 1 "$REPORTS/report" 2>/dev/null)" = "request	$tag" ]; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
  cp "$REPORTS/report" "$REPORT"
}
window_id() { awk -F'\t' -v n="$1" '$1 == "window" && $9 == n { print $2; exit }' "$REPORT"; }
shown() { ask && [ -n "$(window_id "$1")" ]; }
gone() { ask && [ -z "$(window_id "$1")" ]; }
item_field() {
  awk -F'\t' -v w="$1" -v n="$2" -v f="$3" \
    '$1 == "item" && $2 == w && $3 == n { print $f; exit }' "$REPORT"
}
item_enabled() { ask && [ "$(item_field "$1" "$2" 8)" = 1 ]; }
item_text_is() { ask && [ "$(item_field "$1" "$2" 9)" = "$3" ]; }
item_text_has() { ask && [[ "$(item_field "$1" "$2" 9)" == *"$3"* ]]; }
click_item() {
  local at
  at=$(awk -F'\t' -v w="$1" -v n="$2" '$1 == "item" && $2 == w && $3 == n {
    print int($4 + $6 / 2), int($5 + $7 / 2); exit }' "$REPORT")
  [ -n "$at" ] || fail "no control $2 in window $1"
  # shellcheck disable=SC2086  # two numbers
  cx xdotool mousemove $at click 1
}
# The window looks the same twice, a quarter second apart.
settled() {
  ask || return 1
  grep -q "^animating	$1	" "$REPORT" && return 1
  cx import -window "$1" /e2e/settle-a.png && sleep 0.25 &&
    cx import -window "$1" /e2e/settle-b.png || return 1
  compare -metric AE "$IO/settle-a.png" "$IO/settle-b.png" null: >"$WORK/settle.log" 2>&1
  awk '{ exit !($1 + 0 <= 50) }' "$WORK/settle.log"
}
# Pictures the screen once the window (an object name) is shown and settled
# ("look --moving": shown only, for a running clock).
look() {
  local moving=0
  if [ "$1" = --moving ]; then
    moving=1
    shift
  fi
  await 30 "$1" shown "$1"
  [ "$moving" = 1 ] || await 10 "$1 to settle" settled "$(window_id "$1")"
  shot "$2"
}
keys() {
  local id=$1
  shift
  cx xdotool windowactivate --sync "$id" key "$@"
}

# --- The client, as a desktop user starts it ---------------------------------------
CLIENT_PID=
CLIENT_USER=
CLIENT_RUNS=0
LOG=
LOG_START=0
DIALER=
# The program the package's desktop entry starts (its Exec= line).
client_program() {
  local entry exec_line
  entry=$(grep -l '^Exec=' "$CT_DIR"/usr/share/applications/varnelvpn*.desktop 2>/dev/null | head -n 1)
  [ -n "$entry" ] || return 1
  exec_line=$(sed -n 's/^Exec=//p' "$entry" | head -n 1 | sed 's/ %[a-zA-Z]//g')
  local words
  eval "words=($exec_line)"
  printf '%s\n' "${words[0]}"
}
# Starts the client as USER on the display, with a session bus carrying an
# unlocked desktop keyring (as a desktop session has), pointed at the local
# account service, whose certificate authority it trusts.
client_start() {
  CLIENT_USER=$1
  CLIENT_RUNS=$((CLIENT_RUNS + 1))
  local uid program
  uid=$(ct id -u "$CLIENT_USER") || fail "no user $CLIENT_USER"
  program=$(client_program) || fail "the package installed no desktop entry with Exec="
  ct install -d -o "$CLIENT_USER" -g "$CLIENT_USER" -m 0700 "/run/user/$uid"
  LOG="$CT_DIR/home/$CLIENT_USER/.local/state/VarnelVPN/Logs/varnelvpn.log"
  LOG_START=$(log_mark)
  rm -f "$REPORTS/request" "$REPORTS/report"
  # shellcheck disable=SC2016  # expanded by the user's shell
  ct setpriv --reuid="$CLIENT_USER" --regid="$CLIENT_USER" --init-groups env -i \
    HOME="/home/$CLIENT_USER" USER="$CLIENT_USER" LOGNAME="$CLIENT_USER" \
    PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 DISPLAY=:0 XDG_RUNTIME_DIR="/run/user/$uid" \
    VARNEL_ACCOUNT_SERVICE_URLS="$ACCOUNT_URL" SSL_CERT_FILE=/e2e/account-ca.pem \
    VARNEL_UI_REPORT_DIR=/e2e/reports \
    dbus-run-session -- sh -c 'printf %s keyring-pw | gnome-keyring-daemon --unlock \
      --components=secrets >/dev/null; exec "$@"' client "$program" \
    >"$WORK/client-$CLIENT_RUNS-$CLIENT_USER.log" 2>&1 &
  CLIENT_PID=$!
}
client_gone() { ! kill -0 "$CLIENT_PID" 2>/dev/null; }
log_mark() { if [ -f "$LOG" ]; then wc -l <"$LOG"; else echo 0; fi; }
log_has_after() { tail -n +"$(($1 + 1))" "$LOG" 2>/dev/null | grep -F -- "$2" >/dev/null; }

open_menu() {
  ask || fail "no window report"
  cx xdotool windowactivate --sync "$DIALER"
  click_item "$DIALER" menuButton
  sleep 0.3
}
# The dialer's menu: 1 Connect/Disconnect, 2 Active Account, 3 Preferences,
# 4 About, 5 Quit.
menu_item() {
  open_menu
  local i
  for ((i = 0; i < $1; i++)); do cx xdotool key Down; done
  cx xdotool key Return
}

# The dialer, after a log-in when the client asks for one.
dialer_or_login() {
  await 60 "the login window or the dialer" login_or_dialer_shown
  if [ -n "$(window_id loginWindow)" ]; then
    log_in
  else
    DIALER=$(window_id DialerWindow)
  fi
}
login_or_dialer_shown() { ask && [ -n "$(window_id loginWindow)$(window_id DialerWindow)" ]; }

# Logs in with the demo's e-mail and password and waits for the dialer.
log_in() {
  await 60 "the login window" shown loginWindow
  look loginWindow "$CLIENT_USER-login-window"
  local login
  login=$(window_id loginWindow)
  cx xdotool windowactivate --sync "$login"
  await 10 "the e-mail field" item_enabled "$login" emailInput
  click_item "$login" emailInput
  cx xdotool type --delay 30 "demo@varnelvpn.test"
  click_item "$login" passwordInput
  cx xdotool type --delay 30 "demo-password"
  keys "$login" Return
  await 30 "the dialer after login" log_has_after "$LOG_START" "Changing status to: 1"
  await 10 "the dialer" shown DialerWindow
  DIALER=$(window_id DialerWindow)
}

# The Premium account (Active Account > the third) and, in Preferences >
# Advanced, OpenVPN with the type "OpenVPN UDP".
choose_openvpn_udp() {
  open_menu
  cx xdotool key Down Down Right Down Down Return
  sleep 0.3
  await 10 "the Premium account" item_text_is "$DIALER" selectedAccountLabel "Premium #W1001"
  menu_item 3
  await 10 "Preferences" shown PanedPreferencesWindow
  local prefs
  prefs=$(window_id PanedPreferencesWindow)
  click_item "$prefs" AdvancedPreferences
  await 10 "the Advanced pane" item_enabled "$prefs" openvpnRadio
  click_item "$prefs" openvpnRadio
  await 10 "the OpenVPN types" item_enabled "$prefs" openVPNProtocolPopUpButton
  click_item "$prefs" openVPNProtocolPopUpButton
  sleep 0.3
  cx xdotool key Home Return
  await 10 "OpenVPN UDP" item_text_is "$prefs" openVPNProtocolPopUpButton "OpenVPN UDP"
  look PanedPreferencesWindow "$CLIENT_USER-openvpn-udp"
  cx wmctrl -i -c "$prefs"
  await 10 "Preferences to close" gone PanedPreferencesWindow
}

# Connect: Connected, and "Your IP" shows the tunnel's address.
connect() {
  local mark
  mark=$(log_mark)
  menu_item 1
  await 60 "Connected" log_has_after "$mark" "Changing status to: 5"
  await 30 "the tunnel's visible IP" log_has_after "$mark" "Visible IP address: 10.8.0."
  await 10 "the tunnel's address under Your IP" item_text_has "$DIALER" ipLabel "10.8.0."
  echo "   Your IP: $(item_field "$DIALER" ipLabel 9)"
  look --moving DialerWindow "$CLIENT_USER-connected"
}

# The client's tunnel: an address of the demo server's UDP network other
# than the server's own.
tunnel_up() { ct ip -o -4 addr show | grep ' 10\.8\.0\.' | grep -v ' 10\.8\.0\.1/' >/dev/null; }
tunnel_down() { ! tunnel_up; }
helper_active() { [ "$(ct systemctl is-active varnel-helper.service)" = active ]; }
helper_ended() { ! helper_active; }
socket_active() { [ "$(ct systemctl is-active varnel-helper.socket)" = active ]; }

# Quit from the menu; the client ends, then the helper and the tunnel.
quit_client() {
  menu_item 5
  await 30 "the client to end after Quit" client_gone
  wait "$CLIENT_PID"
  local status=$?
  CLIENT_PID=
  [ "$status" = 0 ] || fail "the client ended with status $status after Quit"
  await 15 "the helper to end" helper_ended
  await 15 "the tunnel to go" tunnel_down
}

# apt as an administrator runs it, without questions.
ct_apt() { ct env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }

# pkexec's own journal lines: one per run of a program through it.
pkexec_runs() { ct journalctl -b -q -t pkexec --no-pager | grep -c "Executing command"; }

# Every path of the machine outside the home folders and the package
# manager's, journal's and logs' own state, the running system's /run
# included.
files_list() {
  {
    (cd "$CT_DIR" && find . -xdev \( -path ./home -o -path ./var/cache/apt -o -path ./var/lib/apt \
      -o -path ./var/lib/dpkg -o -path ./var/log -o -path ./var/tmp/openbox -o -path ./tmp \) -prune \
      -o -print | sed 's|^\.||')
    ct find /run /tmp -xdev \( -path /run/user -o -path /run/systemd -o -path /tmp/.X11-unix \
      -o -path '/tmp/.X*-lock' \) -prune -o -print
  } | LC_ALL=C sort
}
# What is left of the product: units (on disk or loaded), a listening
# socket, a helper that still answers, and its files outside /home that
# were not there before the installation (all new files are listed in
# $WORK/files-new-*.txt). Sets $problems (empty: nothing).
leftovers() {
  problems=
  local found
  found=$(ct systemctl list-unit-files --no-legend 'varnel*')
  [ -z "$found" ] || problems+=$'\n'"units left:"$'\n'"$found"
  found=$(ct systemctl list-units --all --no-legend 'varnel*')
  [ -z "$found" ] || problems+=$'\n'"units still loaded:"$'\n'"$found"
  found=$(ct ss -xlpn | grep -i varnel)
  [ -z "$found" ] || problems+=$'\n'"still listening:"$'\n'"$found"
  if [ -e "$CT_DIR/run/varnel/VarnelHelper.sock" ] || ct test -e /run/varnel/VarnelHelper.sock; then
    found=$(ct timeout 20 "$TEST_CLIENT" request operation=CurrentConnectionState 2>&1)
    grep -q '^reply ' <<<"$found" && problems+=$'\n'"the helper still answers on its socket"
  fi
  # New files of the packages the product pulled in (and of the services
  # those run) stay with them: the product's are those no package owns that
  # bear its name or lie where only it installs (/opt, /usr/local).
  local name=${1// /-}
  files_list >"$WORK/files-after-$name.txt"
  comm -13 "$WORK/files-before.txt" "$WORK/files-after-$name.txt" >"$WORK/files-new-$name.txt"
  cat "$CT_DIR"/var/lib/dpkg/info/*.list | LC_ALL=C sort -u >"$WORK/files-of-packages.txt"
  found=$(comm -23 "$WORK/files-new-$name.txt" "$WORK/files-of-packages.txt" |
    grep -i -e varnel -e '^/opt/' -e '^/usr/local/')
  [ -z "$found" ] || problems+=$'\n'"files of the product outside /home:"$'\n'"$found"
  return 0
}

# The version the installed helper tells ("--info-plist", CFBundleVersion),
# the program its service starts.
installed_helper_version() {
  local program
  program=$(ct systemctl show -p ExecStart --value varnel-helper.service |
    sed -n 's/.*path=\([^ ;]*\).*/\1/p')
  [ -n "$program" ] || return 1
  ct "$program" --info-plist 2>/dev/null |
    awk '/<key>CFBundleVersion<\/key>/ { getline; gsub(/.*<string>|<\/string>.*/, ""); print; exit }'
}
helper_version_is() { [ "$(installed_helper_version)" = "$1" ]; }

# --- The local services, from the build folder -----------------------------------
SERVICE="$BUILD_DIR/tools/account-service/varnel-account-service"
TEST_CLIENT="$BUILD_DIR/tests/helper/helper_test_client"
ACCOUNT_URL=
# What a desktop has and the demo servers need: a default route (over a link
# that leads nowhere); then the account service and the demo's OpenVPN
# servers as transient units, on the container's loopback.
servers_start() {
  ct ip link add varnel-uplink0 type veth peer name varnel-uplink1 &&
    ct ip addr add 192.0.2.1/24 dev varnel-uplink0 &&
    ct ip link set varnel-uplink0 up && ct ip link set varnel-uplink1 up &&
    ct ip route add default via 192.0.2.254 dev varnel-uplink0 ||
    fail "the container's uplink could not be made"
  [ -s "$IO/vpn/ca.crt" ] || ct bash "$SOURCE/scripts/demo-vpn.sh" credentials /e2e/vpn ||
    fail "no demo VPN credentials"
  rm -f "$IO/account-service.url"
  ct systemd-run -q --unit=e2e-account-service --collect \
    -p StandardOutput=append:/e2e/account-service.log -p StandardError=append:/e2e/account-service.log \
    "$SERVICE" --url-file /e2e/account-service.url --ca-file /e2e/account-ca.pem \
    --openvpn-credentials /e2e/vpn --openvpn-users /e2e/vpn/users --tunnel-status /e2e/vpn/tunnels ||
    fail "the account service did not start"
  await 20 "the account service" test -s "$IO/account-service.url"
  ACCOUNT_URL=$(cat "$IO/account-service.url")
  # The demo's OpenVPN servers stand for the provider's, far away; here they
  # share the machine's loopback, and one answers on UDP 500 of the port
  # list, which the IKE daemon that NetworkManager's recommended plugins
  # bring (strongSwan, started at boot) holds on every address.
  ct systemctl stop strongswan-starter.service 2>/dev/null || true
  ct systemd-run -q --unit=e2e-vpn-servers --collect -p Type=oneshot -p RemainAfterExit=yes \
    -p StandardOutput=append:/e2e/vpn-servers.log -p StandardError=append:/e2e/vpn-servers.log \
    bash "$SOURCE/scripts/demo-vpn.sh" start /e2e/vpn ||
    fail "the demo OpenVPN servers did not start: $(tail -n 5 "$IO/vpn-servers.log")"
}
# The display and its window manager, as transient units.
desktop_start() {
  ct systemd-run -q --unit=e2e-xvfb --collect Xvfb :0 -screen 0 1280x800x24 -nolisten tcp -noreset ||
    fail "Xvfb did not start"
  await 10 "the display" cx xdotool getdisplaygeometry
  ct systemd-run -q --unit=e2e-openbox --collect -E DISPLAY=:0 -E XDG_CACHE_HOME=/var/tmp/openbox \
    openbox || fail "openbox did not start"
  await 10 "the window manager" cx wmctrl -m
}

finish() {
  local status=$?
  if [ -n "$CT_PID" ] && [ -n "$CT_INIT" ]; then
    ct journalctl -b --no-pager -q >"$WORK/journal-last-boot.txt" 2>&1
  fi
  ct_stop
  ct_tidy_host
  [ -n "$CLIENT_PID" ] && wait "$CLIENT_PID" 2>/dev/null
  [ -z "$CT_DIR" ] || [ "${VARNEL_E2E_KEEP:-0}" = 1 ] || rm -rf "$CT_DIR"
  exit "$status"
}
trap finish EXIT

# --- The machine ------------------------------------------------------------------
step "root file system (made once per build folder)"
e2e_base_layer
status=$?
[ "$status" = 77 ] && skip "no root file system and no mirror to make one"
[ "$status" = 0 ] || fail "the base root file system could not be made"
e2e_desktop_layer || fail "the desktop root file system could not be made"

step "the package (cmake --build --target deb)"
cmake --build "$BUILD_DIR" --target deb >"$WORK/deb-build.log" 2>&1 ||
  fail "the package could not be built: $(tail -n 20 "$WORK/deb-build.log")"
debs=("$BUILD_DIR"/packages/varnelvpn_*_amd64.deb)
[ "${#debs[@]}" = 1 ] && [ -f "${debs[0]}" ] || fail "not exactly one package: ${debs[*]}"
DEB=${debs[0]}
mkdir -p "$IO/debs"
cp "$DEB" "$IO/debs/"
echo "   $(basename "$DEB"), $(stat -c %s "$DEB") bytes"

# The same release with a helper of another version, for the upgrade: the
# helper built again with VARNEL_HELPER_BUNDLE_VERSION one higher (in a build
# folder of its own under this one, kept for later runs; only the helper and
# the libraries under it) in the first package's place, under a higher
# package version.
step "a package with another helper version (VARNEL_HELPER_BUNDLE_VERSION)"
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$BUILD_DIR/CMakeCache.txt"; }
VERSION=$(basename "$DEB" | sed 's/^varnelvpn_\(.*\)_amd64\.deb$/\1/')
HELPER_VERSION1=$(cache_value VARNEL_HELPER_BUNDLE_VERSION)
HELPER_VERSION2=$((${HELPER_VERSION1:-200} + 1))
UPGRADE_BUILD="$BUILD_DIR/e2e-upgrade-build"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
if ! cmake -S "$SOURCE" -B "$UPGRADE_BUILD" "${launcher[@]}" \
  -DCMAKE_BUILD_TYPE="$(cache_value CMAKE_BUILD_TYPE)" -DVARNEL_SANITIZE= \
  -DVARNEL_DCHECKS="$(cache_value VARNEL_DCHECKS)" -DVARNEL_BUILD_BENCH=OFF \
  -DVARNEL_HELPER_BUNDLE_VERSION="$HELPER_VERSION2" >"$WORK/upgrade-build.log" 2>&1 ||
  ! cmake --build "$UPGRADE_BUILD" -j4 --target VarnelHelper >>"$WORK/upgrade-build.log" 2>&1; then
  fail "the upgrade's helper could not be built: $(tail -n 20 "$WORK/upgrade-build.log")"
fi
VERSION2="$VERSION+helper$HELPER_VERSION2"
DEB2="$IO/debs/varnelvpn_${VERSION2}_amd64.deb"
unpacked="$WORK/upgrade-package"
rm -rf "$unpacked"
dpkg-deb -R "$DEB" "$unpacked" || fail "the package could not be unpacked"
packaged_helper=$(find "$unpacked" -path "$unpacked/DEBIAN" -prune -o -type f -name VarnelHelper -print)
[ -n "$packaged_helper" ] || fail "the package holds no VarnelHelper"
cp "$UPGRADE_BUILD/src/apps/VarnelHelper" "$packaged_helper"
sed -i "s/^Version: .*/Version: $VERSION2/" "$unpacked/DEBIAN/control"
if [ -f "$unpacked/DEBIAN/md5sums" ]; then
  (cd "$unpacked" && find . -path ./DEBIAN -prune -o -type f -print | sed 's|^\./||' | LC_ALL=C sort |
    xargs -d '\n' md5sum >DEBIAN/md5sums)
fi
dpkg-deb --root-owner-group -b "$unpacked" "$DEB2" >/dev/null || fail "the upgrade package could not be made"
rm -rf "$unpacked"
[ "$("$UPGRADE_BUILD/src/apps/VarnelHelper" --info-plist | grep -A1 CFBundleVersion | grep -c ">$HELPER_VERSION2<")" = 1 ] ||
  fail "the upgrade's helper does not tell version $HELPER_VERSION2"
echo "   $(basename "$DEB2"): helper version $HELPER_VERSION2 (the first package's: ${HELPER_VERSION1:-200})"

step "copy of the desktop machine, with the package's dependencies downloaded"
ct_copy "$WORK/root"
# apt fetches what the package needs with this machine's network, not yet
# booted; the booted machine's network is private, and apt finds them there.
mkdir -p "$CT_DIR/var/tmp/e2e-debs"
cp "$IO/debs/"*.deb "$CT_DIR/var/tmp/e2e-debs/"
fetch() {
  # shellcheck disable=SC2016  # expanded in the container
  e2e_chroot "$CT_DIR" sh -c 'for deb in /var/tmp/e2e-debs/*.deb; do
    apt-get install -y --download-only "$deb" || exit 1; done' >>"$WORK/apt-fetch.log" 2>&1
}
fetch || { e2e_chroot "$CT_DIR" apt-get update >>"$WORK/apt-fetch.log" 2>&1 && fetch; } ||
  fail "apt could not fetch the package's dependencies: $(tail -n 20 "$WORK/apt-fetch.log")"
rm -rf "$CT_DIR/var/tmp/e2e-debs"
# The demo's uplink is no desktop connection for NetworkManager to take over.
mkdir -p "$CT_DIR/etc/NetworkManager/conf.d"
printf '[keyfile]\nunmanaged-devices=interface-name:varnel-uplink*\n' \
  >"$CT_DIR/etc/NetworkManager/conf.d/e2e-uplink.conf"
# The administrator's password prompt, answered for alice and bob, for the
# helper's installation only.
mkdir -p "$CT_DIR/etc/polkit-1/rules.d"
cat >"$CT_DIR/etc/polkit-1/rules.d/50-e2e-desktop.rules" <<'RULE'
// The test's users stand for an administrator typing the password, for the
// helper's installation only.
polkit.addRule(function(action, subject) {
  if (action.id == "com.varnelvpn.helper.install" &&
      (subject.user == "alice" || subject.user == "bob"))
    return polkit.Result.YES;
  return polkit.Result.NOT_HANDLED;
});
RULE
CT_BINDS=(--bind="$IO:/e2e" --bind="$SHOTS:/e2e-shots"
  --bind-ro="$BUILD_DIR/tools:$BUILD_DIR/tools" --bind-ro="$BUILD_DIR/tests/helper:$BUILD_DIR/tests/helper"
  --bind-ro="$SOURCE/tools:$SOURCE/tools" --bind-ro="$SOURCE/scripts:$SOURCE/scripts")

step "boot"
ct_boot "${CT_BINDS[@]}" || fail "the container did not boot"
[ "$(ct ip -o link | awk -F': ' '{ print $2 }' | tr '\n' ' ')" = "lo " ] ||
  fail "the container's network is not private: $(ct ip -o link)"
ct useradd -m -s /bin/bash alice || fail "no user alice"
ct useradd -m -s /bin/bash bob || fail "no user bob"

step "apt install ./$(basename "$DEB")"
files_list >"$WORK/files-before.txt"
ct_apt install -y "/e2e/debs/$(basename "$DEB")" >"$WORK/apt-install.log" 2>&1 ||
  fail "apt could not install the package: $(tail -n 20 "$WORK/apt-install.log")"

step "local services and desktop"
servers_start
desktop_start

step "alice's first login installs the helper through pkexec"
pkexec_before=$(pkexec_runs)
client_start alice
log_in
look DialerWindow "alice-dialer-after-login"
await 60 "the helper's socket" socket_active
[ "$(pkexec_runs)" = $((pkexec_before + 1)) ] ||
  fail "the installation ran pkexec $(($(pkexec_runs) - pkexec_before)) times, not once"

step "alice connects with OpenVPN UDP"
choose_openvpn_udp
connect
helper_active || fail "no helper service while connected"

step "Quit ends the helper and the tunnel"
quit_client
shot "alice-after-quit"

step "bob's first login installs the helper for him too"
client_start bob
log_in
await 60 "the helper's socket" socket_active
[ "$(pkexec_runs)" = $((pkexec_before + 2)) ] ||
  fail "bob's installation ran pkexec $(($(pkexec_runs) - pkexec_before - 1)) times, not once"
choose_openvpn_udp
connect
quit_client

for user in alice bob; do
  step "$user connects again, with no new authorization"
  client_start "$user"
  dialer_or_login
  choose_openvpn_udp
  connect
  quit_client
done
[ "$(pkexec_runs)" = $((pkexec_before + 2)) ] ||
  fail "the users' later sessions ran pkexec $(($(pkexec_runs) - pkexec_before - 2)) more times"

step "ten short sessions in a row are all answered"
for i in $(seq 10); do
  answer=$(ct timeout 20 "$TEST_CLIENT" request operation=CurrentConnectionState 2>&1)
  grep -q '^reply ' <<<"$answer" ||
    fail "session $i was not answered: $answer; socket: $(ct systemctl status --no-pager -n 5 varnel-helper.socket)"
done
await 15 "the helper to end" helper_ended
socket_active || fail "the socket is not listening after ten sessions:
$(ct systemctl status --no-pager -n 10 varnel-helper.socket varnel-helper.service)"

step "reboot: the socket is back"
ct_poweroff reboot || fail "the container did not reboot"
ct_boot "${CT_BINDS[@]}" || fail "the container did not boot again"
socket_active || fail "the helper's socket is not listening after the reboot:
$(ct systemctl status --no-pager varnel-helper.socket)"
answer=$(ct timeout 20 "$TEST_CLIENT" request operation=CurrentConnectionState 2>&1)
grep -q '^reply ' <<<"$answer" || fail "the helper did not answer after the reboot: $answer"

step "an upgrade to a package with another helper version replaces the helper"
helper_before=$(installed_helper_version)
[ -n "$helper_before" ] || fail "no installed helper to read the version of"
ct_apt install -y "/e2e/debs/$(basename "$DEB2")" >"$WORK/apt-upgrade.log" 2>&1 ||
  fail "apt could not install the upgrade: $(tail -n 20 "$WORK/apt-upgrade.log")"
socket_active || fail "the helper's socket is not listening after the upgrade"
servers_start
desktop_start
pkexec_before=$(pkexec_runs)
client_start alice
dialer_or_login
await 60 "the helper to be replaced (version $helper_before before)" helper_version_is "$HELPER_VERSION2"
[ "$(pkexec_runs)" = $((pkexec_before + 1)) ] ||
  fail "the replacement ran pkexec $(($(pkexec_runs) - pkexec_before)) times, not once"
echo "   helper version $helper_before, now $(installed_helper_version)"
choose_openvpn_udp
connect
quit_client

step "apt remove leaves nothing enabled, listening or installed"
ct_apt remove -y varnelvpn >"$WORK/apt-remove.log" 2>&1 ||
  fail "apt could not remove the package: $(tail -n 20 "$WORK/apt-remove.log")"
leftovers "apt remove"
[ -z "$problems" ] || fail "after apt remove:$problems"

step "apt purge leaves nothing either"
ct_apt purge -y varnelvpn >"$WORK/apt-purge.log" 2>&1 ||
  fail "apt could not purge the package: $(tail -n 20 "$WORK/apt-purge.log")"
leftovers "apt purge"
[ -z "$problems" ] || fail "after apt purge:$problems"

step "power off"
ct_poweroff || fail "the container did not power off"
step_done
summary
echo "PASSED"
