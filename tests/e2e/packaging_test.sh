#!/usr/bin/env bash
# The desktop entry and the icon theme files a desktop needs to show the
# client: the entry is valid, names an icon the build rendered, and every
# rendered PNG has the size its folder says, drawn (not blank). Then, where
# the build has the deb target (VARNEL_E2E_DEB=1), the Debian package it
# makes: one file, the client's installation folder laid out as the client
# finds it, the polkit policy, the desktop entry and icons, dependencies
# from the binaries and on the programs the helper runs, a prerm that
# uninstalls the helper, and no lintian error.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${VARNEL_E2E_BUILD:?}
entry=$src/packaging/desktop/varnelvpn-client.desktop
icons=$build/packaging/icons/hicolor
fail=0

desktop-file-validate "$entry" || fail=1
icon=$(sed -n 's/^Icon=//p' "$entry")
[ "$icon" = varnelvpn-client ] || { echo "Icon= names '$icon'"; fail=1; }
python3 -c 'import sys, xml.etree.ElementTree as t; t.parse(sys.argv[1])' \
  "$icons/scalable/apps/$icon.svg" || fail=1

count=0
for png in "$icons"/*x*/apps/"$icon".png; do
  want=$(basename "$(dirname "$(dirname "$png")")")
  got=$(identify -format '%wx%h' "$png")
  [ "$got" = "$want" ] || { echo "$png is $got, not $want"; fail=1; }
  # The tile's centre is opaque; its corner is transparent.
  centre=$(convert "$png" -alpha extract -gravity center -crop 1x1+0+0 -format '%[fx:u]' info:)
  corner=$(convert "$png" -alpha extract -crop 1x1+0+0 -format '%[fx:u]' info:)
  [ "$centre" = 1 ] && [ "$corner" = 0 ] || { echo "$png: centre $centre, corner $corner"; fail=1; }
  count=$((count + 1))
done
[ "$count" -ge 8 ] || { echo "only $count icon sizes rendered"; fail=1; }
[ "$fail" = 0 ] && echo "packaging: entry valid, $count icon sizes"

if [ "${VARNEL_E2E_DEB:-}" = 1 ]; then
  log=$build/packaging/deb-build.log
  mkdir -p "$build/packaging"
  if ! cmake --build "$build" --target deb >"$log" 2>&1; then
    tail -30 "$log"
    echo "the deb target failed"
    exit 1
  fi
  mapfile -t made < <(find "$build/packages" -mindepth 1)
  arch=$(dpkg --print-architecture)
  version=$(sed -n 's/^VARNEL_PACKAGE_VERSION:STRING=//p' "$build/CMakeCache.txt")
  deb=$build/packages/varnelvpn_${version}_$arch.deb
  [ "${#made[@]}" = 1 ] && [ "${made[0]}" = "$deb" ] ||
    { echo "packages/ holds ${made[*]}, not $deb alone"; fail=1; }
  contents=$(dpkg-deb -c "$deb" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }')
  app="./opt/VarnelVPN Client"
  for path in "$app/VarnelVPN Client" "$app/VarnelVPN Client.plist" "$app/VarnelHelper" \
    "$app/varnel-install-helper" "$app/sstp-options" "$app/eula.txt" \
    "$app/acknowledgements.rtf" ./usr/share/polkit-1/actions/com.varnelvpn.policy \
    ./usr/share/applications/varnelvpn-client.desktop \
    ./usr/share/icons/hicolor/scalable/apps/varnelvpn-client.svg \
    ./usr/share/icons/hicolor/48x48/apps/varnelvpn-client.png \
    ./usr/share/doc/varnelvpn/copyright; do
    grep -qxF "$path" <<<"$contents" || { echo "the package lacks $path"; fail=1; }
  done
  # Nothing of the helper's installation: the client makes that at login.
  if grep -E '^\./(usr/local|etc|var)/' <<<"$contents"; then
    echo "the package installs the files above itself"
    fail=1
  fi
  depends=$(dpkg-deb -f "$deb" Depends)
  for need in libc6 libqt6widgets6 libsystemd0 openvpn sstp-client pkexec polkitd; do
    grep -qE "(^|, )$need( |,|$)" <<<"$depends" || { echo "Depends lacks $need: $depends"; fail=1; }
  done
  grep -q network-manager-pptp <<<"$(dpkg-deb -f "$deb" Recommends)" ||
    { echo "Recommends lacks NetworkManager's plugins"; fail=1; }
  control=$(mktemp -d)
  dpkg-deb -e "$deb" "$control"
  grep -q '^installer="/opt/VarnelVPN Client/varnel-install-helper"$' "$control/prerm" &&
    grep -q '"$installer" uninstall-helper VarnelHelper' "$control/prerm" ||
    { echo "prerm does not uninstall the helper"; fail=1; }
  rm -rf "$control"
  # lintian leaves files in its temporary folder: a private one, removed.
  scratch=$(mktemp -d)
  if ! TMPDIR=$scratch lintian --fail-on error "$deb" >"$build/packaging/lintian.log" 2>&1; then
    rm -rf "$scratch"
    cat "$build/packaging/lintian.log"
    echo "lintian reports errors"
    fail=1
  fi
  rm -rf "$scratch"
  [ "$fail" = 0 ] && echo "packaging: $deb, $(grep -c . <<<"$contents") entries, lintian clean"
fi
exit "$fail"
