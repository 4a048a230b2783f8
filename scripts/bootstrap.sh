#!/usr/bin/env bash
# Installs every Debian package the project builds, tests and runs with.
# Idempotent: packages already present are left alone.
set -euo pipefail

PACKAGES=(
  build-essential g++ cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl gnutls-bin
  qt6-base-dev qt6-base-dev-tools libgl-dev
  fonts-liberation2
  clang libclang-rt-14-dev
  iproute2
  libsystemd-dev dbus
  nlohmann-json3-dev
  locales
  dpkg-dev file lintian scdoc man-db desktop-file-utils
  ca-certificates valgrind
  systemd prometheus prometheus-node-exporter time
)

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
