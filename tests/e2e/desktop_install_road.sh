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
# the screenshots go).
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
# pkexec, OpenVPN and NetworkManager, a desktop keyring, the libraries of
# the local services this test runs from the build folder, and the client's
# own libraries (apt would fetch those when installing the package; having
# them in the cached layer keeps each run short).
# shellcheck disable=SC2034  # read by e2e_desktop_layer
E2E_DESKTOP_PACKAGES=(xvfb xauth openbox xdotool wmctrl x11-utils imagemagick fonts-dejavu-core
  polkitd pkexec openvpn network-manager sstp-client gnome-keyring openssl iproute2 procps curl
  iputils-ping libssl3 libcurl4 libqt6widgets6 libqt6gui6 qt6-qpa-plugins libsecret-1-0)

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
  summary >&2
  exit 1
}

finish() {
  local status=$?
  ct_stop
  [ -z "$CT_DIR" ] || rm -rf "$CT_DIR"
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- The machine ------------------------------------------------------------------
step "root file system (made once per build folder)"
e2e_base_layer
status=$?
[ "$status" = 77 ] && skip "no root file system and no mirror to make one"
[ "$status" = 0 ] || fail "the base root file system could not be made"
e2e_desktop_layer || fail "the desktop root file system could not be made"

step "copy of the desktop machine"
ct_copy "$WORK/root"

step "boot"
ct_boot || fail "the container did not boot"
[ "$(ct ip -o link | awk -F': ' '{ print $2 }' | tr '\n' ' ')" = "lo " ] ||
  fail "the container's network is not private: $(ct ip -o link)"

step "reboot"
ct_poweroff reboot || fail "the container did not reboot"
ct_boot || fail "the container did not boot again"

step "power off"
ct_poweroff || fail "the container did not power off"
step_done
summary
echo "PASSED"
