#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job: the window when a
# display exists, otherwise every catalogue button from the command line.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" && -x build/bin/kestavane ]]; then
  exec build/bin/kestavane
fi
exec build/bin/kestavane-cli run --all
