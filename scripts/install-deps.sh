#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with.
# Safe to run again: packages already present are not fetched a second time.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev libcurl4-openssl-dev libexpat1-dev zlib1g-dev libjemalloc-dev
  qt6-base-dev
  clang-16 libclang-rt-16-dev
  rapidjson-dev nlohmann-json3-dev libspdlog-dev libasio-dev
  iso-codes node-mdn-data node-iconv-lite  # real JSON files of other producers: inputs of bench/json_corpus_bench.cpp only
  openssl openvpn iputils-ping iproute2 procps curl  # curl: the server speed test downloads with it
  xvfb xauth fonts-dejavu-core
  libtiff-dev  # sizes of TIFF images in the image request operation
  libsecret-1-dev gnome-keyring libsecret-tools dbus  # desktop keyring (Secret Service) and its tests
  polkitd pkexec  # administrator authorization of the helper installation, tests and demo
  libsystemd-dev  # sd-bus: the helper's and client's D-Bus client of NetworkManager
  network-manager network-manager-pptp network-manager-l2tp network-manager-strongswan  # the VPN services (tests run them in a private namespace)
  strongswan-starter strongswan-charon libcharon-extra-plugins  # the tests' IKEv1 XAuth responder (ESP in user space) for IPSec
  network-manager-vpnc  # IPSec (IKEv1, group pre-shared key and XAuth) through NetworkManager; pulls vpnc
  python3-dbusmock  # private buses and the scripted NetworkManager of the driver tests
  xdotool imagemagick  # the GUI end-to-end test types into the real client and saves screenshots
  openbox wmctrl x11-utils  # a window manager for that test: windows close as on a desktop
  tinyproxy-bin  # the demo's HTTP CONNECT proxy for the OpenVPN proxy type (no system service)
  sstp-client  # the SSTP client the helper starts; the authorized-user attack tests run it
  clang-format python3  # the test command's formatting and include-layer checks
  desktop-file-utils  # validates the desktop entry in packaging/
  shellcheck  # the test command's check of the shell scripts
  systemd-container debootstrap  # the install test boots a fresh Debian with systemd (systemd-nspawn)
  dpkg-dev file lintian  # the Debian package (cmake --target deb): dpkg-shlibdeps and file compute its dependencies, lintian checks it
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
