#!/usr/bin/env bash
# Installs every Debian package the project builds, tests and runs with, on
# Debian 12 and Debian 13 alike. Idempotent: packages already present are left
# alone. With --release-tools, what scripts/package.sh --check and
# scripts/check-release.sh need as well (roots from Debian's mirror, piuparts,
# autopkgtest).
set -euo pipefail

PACKAGES=(
  build-essential g++ cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl gnutls-bin
  libcurl4-openssl-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  fonts-liberation2
  clang clang-format libclang-rt-dev llvm
  iproute2
  libsystemd-dev dbus systemd
  nlohmann-json3-dev
  locales
  dpkg-dev file lintian scdoc man-db desktop-file-utils
  debhelper devscripts fakeroot
  ca-certificates valgrind
  systemd prometheus prometheus-node-exporter time
  libproxy-dev tinyproxy python3
)

# Debian 13 moved systemd's pkg-config file (where the units go) to systemd-dev.
. /etc/os-release
if ((${VERSION_ID:-99} >= 13)); then
  PACKAGES+=(systemd-dev)
fi
if [[ "${1:-}" == --release-tools ]]; then
  PACKAGES=(debootstrap piuparts autopkgtest uidmap diffoscope-minimal)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
