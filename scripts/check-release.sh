#!/usr/bin/env bash
# Proves the project on a fresh Debian release: a minimal root from Debian's
# mirror (debootstrap), a copy of this checkout inside, and there the
# bootstrap, the build and the whole test command (scripts/test.sh, which makes
# the release's packages too). Prints the figures at the end.
#
#   scripts/check-release.sh trixie|bookworm [--build-deps]
#
# --build-deps instead installs only what debian/control asks for
# (apt-get build-dep) and builds the packages with dpkg-buildpackage alone,
# tests included: Build-Depends are complete when that passes.
#
# Runs as root. The scratch folder KV_RELEASE_DIR (/var/tmp/kv-release-RELEASE)
# keeps the debootstrapped base as base.tar, so a second run only unpacks it;
# the root itself is made anew each time. Its mounts live in a mount namespace
# of their own and go with it. Run it under nice on a shared machine.
set -euo pipefail
cd "$(dirname "$0")/.."
release=${1:-}
mode=${2:-test}
case $release/$mode in
  bookworm/test | trixie/test | bookworm/--build-deps | trixie/--build-deps) ;;
  *) echo "usage: scripts/check-release.sh trixie|bookworm [--build-deps]" >&2; exit 2 ;;
esac
[[ $(id -u) == 0 ]] || { echo "check-release.sh: run as root" >&2; exit 2; }
mirror=${KV_MIRROR:-http://deb.debian.org/debian}
scratch=$(realpath -m "${KV_RELEASE_DIR:-/var/tmp/kv-release-$release}")
root="$scratch/root"
[[ $mode == test ]] || root="$scratch/root-build-deps"
log="$scratch/${mode#--}.log"
command -v debootstrap >/dev/null || bash scripts/bootstrap.sh --release-tools
mkdir -p "$scratch"

t0=$(date +%s)
if [[ ! -f "$scratch/base.tar" ]]; then
  rm -rf "$root"
  debootstrap --variant=minbase "$release" "$root" "$mirror" >"$scratch/debootstrap.log" 2>&1 ||
    { tail "$scratch/debootstrap.log"; exit 1; }
  tar -C "$root" -cf "$scratch/base.tar" .
fi
rm -rf "$root"
mkdir -p "$root"
tar -C "$root" -xf "$scratch/base.tar"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# What the installer writes and debootstrap does not: localhost by name.
[[ -f "$root/etc/hosts" ]] || printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
t1=$(date +%s)

# The checkout's files, as scripts/package.sh takes them.
mkdir -p "$root/src"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do if [[ -e "$f" || -L "$f" ]]; then printf '%s\0' "$f"; fi; done |
  tar --null -T - -cf - | tar -C "$root/src" -xf -

cat >"$root/run-check" <<'EOF'
#!/bin/bash
set -eo pipefail
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 HOME=/root
cd /src
apt-get update -qq
apt-get install -y -qq --no-install-recommends git >/dev/null
git init -q . && git add -A && git -c user.name=check -c user.email=check@invalid commit -qm check
if [[ "$1" == --build-deps ]]; then
  s=$(date +%s)
  apt-get build-dep -y -qq ./ >/dev/null
  echo "FIGURE build_deps_s $(($(date +%s) - s))"
  s=$(date +%s)
  dpkg-buildpackage --build=full -us -uc -j"$(nproc)"
  echo "FIGURE dpkg_buildpackage_s $(($(date +%s) - s))"
  exit
fi
s=$(date +%s)
bash scripts/bootstrap.sh >/dev/null
echo "FIGURE bootstrap_s $(($(date +%s) - s))"
s=$(date +%s)
bash scripts/test.sh
echo "FIGURE test_s $(($(date +%s) - s))"
EOF
chmod +x "$root/run-check"

status=0
unshare --mount --propagation private -- bash -c '
  set -e
  root=$1
  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/tmp"
  mount -t tmpfs tmpfs "$root/dev/shm"
  exec chroot "$root" /run-check "$2"
' check "$root" "$mode" >"$log" 2>&1 || status=$?
t2=$(date +%s)

echo "== $release: $(sed -n 's/^PRETTY_NAME="\(.*\)"/\1/p' "$root/etc/os-release")"
for tool in gcc clang cmake; do
  printf '   %-8s %s\n' "$tool" "$(chroot "$root" "$tool" --version 2>/dev/null | head -n 1)"
done
for package in qt6-base-dev libssl-dev systemd; do
  printf '   %-12s %s\n' "$package" "$(chroot "$root" dpkg-query -W -f='${Version}' "$package" 2>/dev/null)"
done
echo "   root from the mirror: $((t1 - t0)) s; bootstrap and test command: $((t2 - t1)) s"
sed -n 's/^FIGURE /   /p; s/^package.sh: /   /p' "$log"
grep -E 'tests passed|tests failed out of|^format check|lintian|^ok: hardening|^package checks|\.deb$' "$log" | sed 's/^/   /' || true
ls "$root/src/dist" 2>/dev/null | sed 's/^/   dist\//' || true
if ((status)); then
  echo "   FAILED (exit $status); the last lines of $log:"
  tail -n 30 "$log"
else
  echo "   PASSED (log: $log)"
fi
exit $status
