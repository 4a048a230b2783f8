#!/usr/bin/env bash
# The built packages installed for real, each time in a throwaway root of the
# release made from Debian's mirror, never on this machine:
#  - piuparts: install, enable the timer as an administrator would, purge;
#    nothing may be left behind (no link in timers.target.wants);
#  - the autopkgtests of debian/tests (the installed kestavane-cli against a
#    loopback openssl s_server, --version, list; the window under xvfb-run).
#
#   check_installed.sh RELEASE CHANGES
#
# The release's minimal root is made once and kept as a tarball in
# KV_ROOTS_DIR (/var/tmp/kv-roots); every run unpacks a new copy of it.
set -euo pipefail
release=$1
changes=$(realpath "$2")
mirror=${KV_MIRROR:-http://deb.debian.org/debian}
roots=${KV_ROOTS_DIR:-/var/tmp/kv-roots}
base="$roots/$release.tar.gz"
dist=$(dirname "$changes")
deb=$(ls "$dist"/kestavane_*.deb)

mkdir -p "$roots"
if [[ ! -f "$base" ]]; then
  echo "check_installed: making the $release root from $mirror"
  tmp_root=$(mktemp -d "$roots/$release.XXXXXX")
  debootstrap --variant=minbase "$release" "$tmp_root" "$mirror" >"$tmp_root.log" 2>&1 ||
    { tail "$tmp_root.log"; exit 1; }
  # What the installer writes and debootstrap does not: localhost by name.
  [[ -f "$tmp_root/etc/hosts" ]] ||
    printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$tmp_root/etc/hosts"
  tar -C "$tmp_root" -czf "$base.part" . && mv "$base.part" "$base"
  rm -rf "$tmp_root" "$tmp_root.log"
fi

status=0
started=$(date +%s)
# piuparts' scripts: systemd in the root before anything is recorded, and the
# timer enabled right after the install.
scripts=$(mktemp -d)
trap 'rm -rf "$scripts"' EXIT
cat >"$scripts/post_setup_systemd" <<'EOF'
#!/bin/sh
set -e
apt-get install -y -q --no-install-recommends systemd >/dev/null
EOF
cat >"$scripts/post_install_enable_timer" <<'EOF'
#!/bin/sh
set -e
systemctl enable kestavane-check.timer
test -L /etc/systemd/system/timers.target.wants/kestavane-check.timer
echo "kestavane-check.timer enabled"
EOF
chmod +x "$scripts"/*
if piuparts --basetgz="$base" --distribution="$release" --mirror="$mirror" --scriptsdir="$scripts" \
  --warn-on-debsums-errors "$deb" >"$dist/piuparts.log" 2>&1; then
  echo "piuparts: PASS ($(($(date +%s) - started)) s; log: $dist/piuparts.log)"
else
  tail -n 40 "$dist/piuparts.log"
  echo "piuparts: FAIL (log: $dist/piuparts.log)"
  status=1
fi

started=$(date +%s)
# autopkgtest-virt-unshare maps root to a range of subordinate ids.
for ids in /etc/subuid /etc/subgid; do
  if ! grep -q '^root:' "$ids" 2>/dev/null; then
    echo "root:1000000:65536" >>"$ids"
    echo "check_installed: added root:1000000:65536 to $ids for the unshared testbed"
  fi
done
# autopkgtest-virt-unshare unpacks the tarball into a new folder for the
# run and removes it afterwards.
rm -rf "$dist/autopkgtest"
if autopkgtest --output-dir="$dist/autopkgtest" "$changes" -- \
  unshare --release "$release" --tarball "$base" >"$dist/autopkgtest.log" 2>&1; then
  echo "autopkgtest: PASS ($(($(date +%s) - started)) s)"
else
  tail -n 40 "$dist/autopkgtest.log"
  echo "autopkgtest: FAIL (log: $dist/autopkgtest.log)"
  status=1
fi
grep -E '^(cli|window) +(PASS|FAIL|SKIP)' "$dist/autopkgtest/summary" 2>/dev/null || true
exit $status
