# shellcheck shell=bash
# The demo's private desktop pieces, sourced by scripts/run.sh (and by the
# test that checks them on their own):
#   demo_bus_config <listen address>
#       prints the configuration of the demo's private system bus: any local
#       user may connect and talk, only root owns names (polkit's own system
#       user its name too, as it drops to that user before taking it), so no
#       user program can pose as NetworkManager or polkit to the root helper,
#       and nobody eavesdrops.
#   demo_start_xvfb <cookie file> <uid> <gid> <log file>
#       starts Xvfb on the first free display number with an authorization
#       cookie: only holders of the cookie (the file is <uid>'s, mode 0600;
#       root's tools read it too) may connect. Sets DEMO_XVFB_PID and
#       DEMO_DISPLAY (":<n>"); returns 1 when the display does not come up.
#       Its log is made as demo_private_log makes one.
#   demo_private_log <file>...
#       makes each log file empty and its owner's alone (mode 0600) from the
#       first byte on, an old one included, for a service's output to be
#       written into with ">>" or ">": what the demo's services log (their
#       requests, the helper's lines) is no other local user's to read,
#       whoever may enter the folder it lies in.
# The first two need root.

demo_bus_config() {
  local listen=$1
  cat <<BUS
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>$listen</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <!-- Calls and replies between any two connections, but never a name of
         one's own. No rule here lets anyone eavesdrop: nobody receives
         messages addressed to somebody else, and monitoring is refused. -->
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
    <deny own="*"/>
    <deny send_destination="org.freedesktop.DBus"
          send_interface="org.freedesktop.DBus.Monitoring"/>
  </policy>
  <policy user="root">
    <allow own="*"/>
  </policy>
  <policy user="polkitd">
    <allow own="org.freedesktop.PolicyKit1"/>
  </policy>
</busconfig>
BUS
}

demo_private_log() {
  local file
  for file in "$@"; do
    (umask 077 && : >"$file") && chmod 0600 "$file" || return 1
  done
}

demo_start_xvfb() {
  local cookie_file=$1 uid=$2 gid=$3 log=$4
  local number=99
  while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
    number=$((number + 1))
  done
  # The cookie is made and written with a umask that keeps it from anyone
  # else from the first byte on; then it is the client's user's.
  local cookie
  cookie=$(mcookie) || return 1
  [ ${#cookie} -eq 32 ] || return 1
  (
    umask 077
    rm -f "$cookie_file"
    : >"$cookie_file"
    xauth -q -f "$cookie_file" add ":$number" MIT-MAGIC-COOKIE-1 "$cookie"
  ) || return 1
  [ -s "$cookie_file" ] || return 1
  chown "$uid:$gid" "$cookie_file" && chmod 0600 "$cookie_file" || return 1
  demo_private_log "$log" || return 1
  Xvfb ":$number" -auth "$cookie_file" -screen 0 1280x800x24 -nolisten tcp -noreset \
    >"$log" 2>&1 &
  DEMO_XVFB_PID=$!
  # shellcheck disable=SC2034  # read by the scripts that source this file
  DEMO_DISPLAY=":$number"
  local _
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$number" ] && return 0
    kill -0 "$DEMO_XVFB_PID" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
