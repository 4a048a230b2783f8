#!/usr/bin/env bash
# Every build option the README names works: one scratch build configured with
# a non-default value of each option that changes what is installed, installed
# into a staging root, must install exactly the expected files where the
# options say, and the installed program must carry the named hosts file.
# Options that change how the build is checked (sanitizers, warnings as
# errors) are the test command's own builds. The README may name no option
# that this script does not know.
#
#   check_build_options.sh SOURCE-DIR SCRATCH-DIR [COMPILER-LAUNCHER]
set -euo pipefail
src=$1
scratch=$2
launcher=${3:-}
build="$scratch/build"
root="$scratch/root"
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

prefix=/opt/kestavane
unit_dir=/etc/systemd/system
hosts="$src/bench/loopback_hosts.txt"
site_dir=/etc/kestavane-site
textfile_dir=node-exporter-site
options=(-DCMAKE_INSTALL_PREFIX=$prefix -DKV_SYSTEMD_UNIT_DIR=$unit_dir -DKV_HOSTS_FILE="$hosts"
  -DKV_SITE_CONFIG_DIR=$site_dir -DKV_TEXTFILE_STATE_DIR=$textfile_dir -DKV_BUILD_GUI=OFF -DKV_BUILD_TESTS=OFF
  -DKV_BUILD_BENCH=OFF)
# Checked here, or by a build of scripts/test.sh.
known="CMAKE_INSTALL_PREFIX KV_SYSTEMD_UNIT_DIR KV_HOSTS_FILE KV_SITE_CONFIG_DIR KV_TEXTFILE_STATE_DIR KV_BUILD_GUI KV_BUILD_TESTS KV_BUILD_BENCH
  CMAKE_BUILD_TYPE KV_SANITIZE KV_SANITIZE_THREAD KV_WERROR"
for named in $(grep -oE -- '-D[A-Z_]+=' "$src/README.md" | sed 's/^-D//; s/=$//' | sort -u); do
  grep -qw "$named" <<<"$known" || fail "the README names -D$named, which no check tries"
done

rm -rf "$scratch"
mkdir -p "$scratch"
cmake -S "$src" -B "$build" -G Ninja ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} \
  ${launcher:+-DCMAKE_C_COMPILER_LAUNCHER=$launcher} "${options[@]}" >"$scratch/configure.log" 2>&1 ||
  { cat "$scratch/configure.log"; exit 1; }
cmake --build "$build" >"$scratch/build.log" 2>&1 || { tail -n 30 "$scratch/build.log"; exit 1; }
DESTDIR="$root" cmake --install "$build" >/dev/null

# Without the window: no window, desktop entry, icons or its page. The
# modules go in lib/ under a prefix other than /usr, the site file where the
# option says.
expected=$(sort <<EOF
$prefix/bin/kestavane-cli
$prefix/lib/kestavane/libcryptnet.so
$prefix/lib/kestavane/libiphlpapi.so
$prefix/lib/kestavane/libkv_platform.so
$prefix/lib/kestavane/libsecur32.so
$prefix/share/kestavane/prometheus/alertmanager-inhibit.example.yml
$prefix/share/kestavane/prometheus/kestavane.rules.yml
$prefix/share/man/man1/kestavane-cli.1.gz
$site_dir/hosts.conf
$unit_dir/kestavane-check.service
$unit_dir/kestavane-check.timer
EOF
)
actual=$(sort "$build/install_manifest.txt")
if [[ "$actual" != "$expected" ]]; then
  fail "install manifest (< expected, > installed):"
  diff <(echo "$expected") <(echo "$actual") || true
fi
grep -qx "ExecStart=$prefix/bin/kestavane-cli .*" "$root$unit_dir/kestavane-check.service" ||
  fail "the service does not start $prefix/bin/kestavane-cli"
grep -qx "StateDirectory=$textfile_dir" "$root$unit_dir/kestavane-check.service" &&
  grep -q -- "--output /var/lib/$textfile_dir/kestavane.prom" "$root$unit_dir/kestavane-check.service" ||
  fail "the service does not write into /var/lib/$textfile_dir"
# Every role of the loopback hosts file is 127.0.0.1.
hosts_listed=$("$root$prefix/bin/kestavane-cli" list | cut -f 7 | sort -u)
[[ "$hosts_listed" == 127.0.0.1 ]] || fail "the installed program lists hosts '$(echo $hosts_listed)'"
# The program reads the site's hosts from the folder its file installs into.
grep -aq "$site_dir/hosts.conf" "$root$prefix/bin/kestavane-cli" ||
  fail "the installed program does not read $site_dir/hosts.conf"
if ((status == 0)); then
  echo "options ${options[*]}: $(wc -l <<<"$actual") files where they say"
  rm -rf "$scratch"
fi
exit $status
