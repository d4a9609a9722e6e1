# shellcheck shell=bash
# A booted Debian 12 with systemd as its first process, for the tests that
# install the product as a desktop user would (sourced, not run).
#
# The root file system is made once per build folder and kept there in two
# layers, each made in a temporary folder and renamed when complete:
#   $E2E_ROOTFS/base     debootstrap's minimal Debian 12 with systemd and D-Bus
#   $E2E_ROOTFS/desktop  base plus what a desktop user's machine has (the
#                        packages of E2E_DESKTOP_PACKAGES), installed with the
#                        host's network; rebuilt when that list changes
# A test copies the desktop layer (ct_copy), boots the copy in a private
# network (ct_boot), runs commands in it (ct, ct_user) and powers it off
# (ct_poweroff). ct_stop ends whatever is still running and is safe to call
# from a trap on every exit path.
#
# The mirror is the one this machine's apt already uses (read at run time
# from its sources); no mirror is named here.
#
# Needs: E2E_ROOTFS (the cache folder), CT_LOG (a folder for the console
# logs). Sets: CT_DIR (the booted copy), CT_PID (systemd-nspawn), CT_INIT
# (the container's systemd, as seen from the host).

E2E_SUITE=bookworm
E2E_CT_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
CT_DIR=
CT_PID=
CT_INIT=
CT_BOOTS=0
# The folders systemd-nspawn makes on the host for its lock and mount
# propagation files (it removes the files, not the folders); those that
# were not there before are removed again by ct_tidy_host when empty.
CT_HOST_DIRS=(/run/systemd/nspawn/locks /run/systemd/nspawn/propagate /run/systemd/nspawn)
CT_HOST_DIRS_NEW=()
for _dir in "${CT_HOST_DIRS[@]}"; do
  [ -e "$_dir" ] || CT_HOST_DIRS_NEW+=("$_dir")
done
unset _dir

# The first Debian mirror of this machine's apt sources (deb822 or the
# one-line form).
e2e_mirror() {
  local uri=
  if [ -r /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$uri" ] && [ -r /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++)
      if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
  fi
  printf '%s\n' "$uri"
}

# Runs a command in a root file system that is not booted, with the host's
# network (apt's downloads): systemd-nspawn as a chroot that also mounts
# /proc, /sys and /dev.
e2e_chroot() {
  local dir=$1
  shift
  systemd-nspawn -q -D "$dir" --register=no --keep-unit --pipe --as-pid2 \
    -E DEBIAN_FRONTEND=noninteractive -E LANG=C.UTF-8 -E PATH="$E2E_CT_PATH" "$@" </dev/null
}

# Makes $E2E_ROOTFS/base when it is missing. Returns 77 when it cannot,
# because this machine reaches no mirror, 1 when debootstrap itself fails.
e2e_base_layer() {
  local base=$E2E_ROOTFS/base
  [ -d "$base" ] && return 0
  local mirror
  mirror=$(e2e_mirror)
  if [ -z "$mirror" ]; then
    echo "no Debian mirror in this machine's apt sources"
    return 77
  fi
  if ! curl -fsS -o /dev/null --max-time 20 "$mirror/dists/$E2E_SUITE/Release"; then
    echo "the mirror $mirror cannot be reached: no root file system can be made"
    return 77
  fi
  mkdir -p "$E2E_ROOTFS"
  local tmp="$E2E_ROOTFS/base.tmp.$$"
  rm -rf "$tmp"
  echo "making the base root file system (debootstrap $E2E_SUITE from $mirror)"
  if ! debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus "$E2E_SUITE" "$tmp" \
    "$mirror" >"$E2E_ROOTFS/debootstrap.log" 2>&1; then
    echo "debootstrap failed (see $E2E_ROOTFS/debootstrap.log):"
    tail -n 20 "$E2E_ROOTFS/debootstrap.log"
    rm -rf "$tmp"
    return 1
  fi
  # The same sources as this machine (updates and security included), so the
  # container gets the library versions the product was built against.
  if [ -r /etc/apt/sources.list.d/debian.sources ]; then
    cp /etc/apt/sources.list.d/debian.sources "$tmp/etc/apt/sources.list.d/debian.sources"
    rm -f "$tmp/etc/apt/sources.list"
  fi
  # No root password, a machine name and id of its own per copy (ct_copy).
  echo e2e-desktop >"$tmp/etc/hostname"
  mv "$tmp" "$base"
}

# Makes $E2E_ROOTFS/desktop (base plus E2E_DESKTOP_PACKAGES) when it is
# missing or was made with another package list.
e2e_desktop_layer() {
  local layer=$E2E_ROOTFS/desktop
  local want
  want=$(printf '%s\n' "${E2E_DESKTOP_PACKAGES[@]}" | sort -u)
  if [ -d "$layer" ] && [ "$(cat "$layer/.e2e-packages" 2>/dev/null)" = "$want" ]; then
    return 0
  fi
  local tmp="$E2E_ROOTFS/desktop.tmp.$$"
  rm -rf "$tmp"
  echo "making the desktop root file system (${#E2E_DESKTOP_PACKAGES[@]} packages)"
  cp -a "$E2E_ROOTFS/base" "$tmp"
  # shellcheck disable=SC2016  # expanded in the container
  if ! e2e_chroot "$tmp" sh -c 'apt-get update && apt-get install -y --no-install-recommends "$@" &&
      apt-get clean' sh "${E2E_DESKTOP_PACKAGES[@]}" >"$E2E_ROOTFS/desktop.log" 2>&1; then
    echo "the desktop packages could not be installed (see $E2E_ROOTFS/desktop.log):"
    tail -n 20 "$E2E_ROOTFS/desktop.log"
    rm -rf "$tmp"
    return 1
  fi
  printf '%s\n' "$want" >"$tmp/.e2e-packages"
  rm -rf "$layer"
  mv "$tmp" "$layer"
}

# A fresh copy of the desktop layer at $1, with a machine id of its own.
ct_copy() {
  CT_DIR=$1
  rm -rf "$CT_DIR"
  cp -a "$E2E_ROOTFS/desktop" "$CT_DIR"
  rm -f "$CT_DIR/etc/machine-id"
  : >"$CT_DIR/etc/machine-id"
}

# Boots CT_DIR in a private network with the host's tun device; extra
# arguments go to systemd-nspawn (--bind=...). Waits until systemd says the
# system is up (running or degraded).
ct_boot() {
  CT_BOOTS=$((CT_BOOTS + 1))
  local console="$CT_LOG/console-$CT_BOOTS.log"
  systemd-nspawn -q -D "$CT_DIR" --register=no --keep-unit -b --console=pipe \
    --private-network --bind=/dev/net/tun "$@" </dev/null >"$console" 2>&1 &
  CT_PID=$!
  CT_INIT=
  local deadline=$((SECONDS + 60)) child
  while [ -z "$CT_INIT" ]; do
    if ! kill -0 "$CT_PID" 2>/dev/null; then
      echo "systemd-nspawn ended while booting:"
      tail -n 30 "$console"
      CT_PID=
      return 1
    fi
    for child in $(pgrep -P "$CT_PID"); do
      [ "$(cat "/proc/$child/comm" 2>/dev/null)" = systemd ] && CT_INIT=$child
    done
    [ "$SECONDS" -lt "$deadline" ] || {
      echo "no systemd in the container after 60 s"
      return 1
    }
    [ -n "$CT_INIT" ] || sleep 0.05
  done
  # systemctl answers once the container's bus socket is there.
  local state
  while :; do
    state=$(ct timeout 30 systemctl is-system-running --wait 2>/dev/null)
    case "$state" in
      running | degraded) return 0 ;;
      "" | offline | initializing | starting) ;;
      *)
        echo "the container's systemd says: $state"
        return 1
        ;;
    esac
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "the container did not come up (systemd says: ${state:-nothing})"
      return 1
    fi
    sleep 0.1
  done
}

# Runs a command as root in the booted container, with a clean environment.
ct() {
  nsenter -t "$CT_INIT" -a -- env -i PATH="$E2E_CT_PATH" HOME=/root LANG=C.UTF-8 TERM=dumb "$@"
}

# Powers the container off from inside (reboot: systemctl reboot, which ends
# systemd-nspawn with status 133) and waits up to 60 s for systemd-nspawn.
# shellcheck disable=SC2120  # the tests pass "reboot"
ct_poweroff() {
  local verb=${1:-poweroff}
  [ -n "$CT_PID" ] || return 0
  ct systemctl --no-block "$verb" >/dev/null 2>&1
  local deadline=$((SECONDS + 60))
  while kill -0 "$CT_PID" 2>/dev/null; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "the container did not $verb within 60 s"
      return 1
    fi
    sleep 0.1
  done
  local status=0
  wait "$CT_PID" || status=$?
  CT_PID=
  CT_INIT=
  if [ "$verb" = reboot ] && [ "$status" != 133 ]; then
    echo "systemd-nspawn ended with status $status on reboot (133 expected)"
    return 1
  fi
  if [ "$verb" = poweroff ] && [ "$status" != 0 ]; then
    echo "systemd-nspawn ended with status $status on poweroff"
    return 1
  fi
}

# Ends the container whatever its state: a poweroff from inside first, then
# systemd-nspawn's own TERM (which asks its init to halt), then KILL.
ct_stop() {
  [ -n "$CT_PID" ] || return 0
  if kill -0 "$CT_PID" 2>/dev/null && [ -n "$CT_INIT" ]; then
    ct_poweroff >/dev/null 2>&1 && return 0
  fi
  local signal
  for signal in TERM KILL; do
    kill -"$signal" "$CT_PID" 2>/dev/null || break
    local deadline=$((SECONDS + 20))
    while kill -0 "$CT_PID" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.1; done
  done
  wait "$CT_PID" 2>/dev/null
  CT_PID=
  CT_INIT=
}

# Removes the host folders systemd-nspawn made for this test, when empty (a
# container of someone else's may use them meanwhile).
ct_tidy_host() {
  local dir
  for dir in "${CT_HOST_DIRS_NEW[@]}"; do
    rmdir "$dir" 2>/dev/null
  done
  return 0
}
