#!/usr/bin/env bash
# Makes the Debian package dist/kestavane_<version>_<arch>.deb with CPack.
# It reuses the build folder (build/, or KV_BUILD_DIR): configured for /usr if
# it is not yet, then brought up to date, so nothing is built twice. lintian
# must find no error and no warning.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KV_BUILD_DIR:-build}

bash scripts/bootstrap.sh

if [[ -f "$build/CMakeCache.txt" ]]; then
  if grep -qx 'KV_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
    echo "package.sh: $build carries the sanitizers; name a plain build with KV_BUILD_DIR" >&2
    exit 1
  fi
  cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DKV_BUILD_GUI=ON >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi
cmake --build "$build" -j "$(nproc)"

# CPack keeps its staging folder beside the package; dist/ gets the .deb only.
(cd "$build" && cpack -G DEB -B "$PWD/cpack")
mkdir -p dist
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb="kestavane_${version}_$(dpkg --print-architecture).deb"
cp "$build/cpack/$deb" "dist/$deb"

echo "lintian dist/$deb:"
lintian --fail-on error,warning --display-info --show-overrides "dist/$deb"
echo "dist/$deb"
