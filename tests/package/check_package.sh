#!/usr/bin/env bash
# Tries the binary package that scripts/package.sh just made: its fields, its
# file list, conffiles and maintainer scripts, the hardening of every program
# and module, then unpacks it into a scratch root (never installs it) and runs
# the unpacked kestavane-cli from there: the catalogue, the terminal API test
# without a vendor library, and the manual TLS test of a loopback openssl
# s_server whose certificate comes from a root made here. The unpacked program
# must load its modules from the packaged module folder.
#
#   check_package.sh DEB [SOURCE-TREE]
#
# SOURCE-TREE is the folder the package was built in: no path of it may be
# left in the packaged files.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
deb=$(realpath "$1")
src=$(realpath "${2:-$here/../..}")

arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null)
unit_dir=$(pkg-config --variable=systemdsystemunitdir systemd)
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

tmp=$(mktemp -d)
holder=""
server=""
cleanup() {
  local status=$?
  if [[ -n "$server" ]]; then kill "$server" 2>/dev/null || true; fi
  if [[ -n "$holder" ]]; then kill "$holder" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$tmp"
  exit "$status"
}
trap cleanup EXIT

# --- control fields ------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[[ "$(field Package)" == kestavane ]] || fail "Package is '$(field Package)'"
version=$(field Version)
[[ "$version" == *~deb[0-9]*u[0-9]* ]] || fail "Version $version names no Debian release"
[[ "$(field Architecture)" == "$arch" ]] || fail "Architecture is '$(field Architecture)', the build's is $arch"
[[ "$(field Section)" == net ]] || fail "Section is '$(field Section)'"
depends=$(field Depends)
depends_names=$(sed 's/, /\n/g' <<<"$depends" | awk '{print $1}')
# shlibdeps found what the programs link (Debian 13 renamed libssl3 for its
# 64-bit time); the dialog font is named by hand.
for dep in libc6 'libssl3(t64)?' 'libstdc\+\+6' libqt6widgets6 fonts-liberation2; do
  grep -qxE "$dep" <<<"$depends_names" || fail "Depends lacks $dep: $depends"
done
grep -qx qt6-qpa-plugins <<<"$depends_names" && fail "Depends names qt6-qpa-plugins: the X11 platform comes with libqt6gui6"
[[ "$(field Suggests)" == *prometheus-node-exporter* ]] || fail "Suggests is '$(field Suggests)'"
[[ -n "$(field Description | sed -n 2p)" ]] || fail "no long description"
((failures)) || pass "control fields: kestavane $version $arch, section net, Depends: $depends"

# --- conffiles and maintainer scripts -------------------------------------------------
dpkg-deb -e "$deb" "$tmp/control"
[[ "$(cat "$tmp/control/conffiles" 2>/dev/null)" == /etc/kestavane/hosts.conf ]] ||
  fail "conffiles: '$(cat "$tmp/control/conffiles" 2>/dev/null)'"
# The timer is shipped disabled and stopped; removal stops it, purge forgets it.
# (A unit is enabled again only where the administrator had it enabled.)
grep -q "deb-systemd-helper debian-installed 'kestavane-check.timer'" "$tmp/control/postinst" ||
  fail "postinst enables the timer on a new installation"
grep -q "deb-systemd-invoke stop 'kestavane-check.service' 'kestavane-check.timer'" "$tmp/control/prerm" ||
  fail "prerm does not stop the units on removal"
grep -q "deb-systemd-helper purge 'kestavane-check.timer'" "$tmp/control/postrm" ||
  fail "postrm does not forget the timer on purge"
pass "conffiles and maintainer scripts"

# --- file list -------------------------------------------------------------------
expected=$(sed -e '/^#/d' -e '/^$/d' -e "s/@MULTIARCH@/$multiarch/" -e "s|@UNITDIR@|$unit_dir|" \
  "$here/expected-files.txt")
dpkg-deb -c "$deb" >"$tmp/contents"
actual=$(awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' "$tmp/contents" | sort)
if diff <(sort <<<"$expected") <(echo "$actual") >"$tmp/list.diff"; then
  pass "file list matches tests/package/expected-files.txt ($(wc -l <<<"$actual") files)"
else
  fail "file list differs from tests/package/expected-files.txt (< expected, > packaged):"
  cat "$tmp/list.diff"
fi
awk '{ print $6 }' "$tmp/contents" | grep -vE "^\./((usr|etc/kestavane|${unit_dir#/})(/.*)?)?\$" |
  grep -vxE '\./(etc|lib|lib/systemd)/' | sed 's/^/  elsewhere: /' >"$tmp/outside" || true
[[ ! -s "$tmp/outside" ]] || { fail "paths outside /usr, /etc/kestavane and the unit folder:"; cat "$tmp/outside"; }
awk '$2 != "root/root"' "$tmp/contents" | sed 's/^/  /' >"$tmp/owners"
[[ ! -s "$tmp/owners" ]] || { fail "entries not owned by root:"; cat "$tmp/owners"; }
awk '$1 ~ /^-/ && !(($6 ~ /^\.\/usr\/bin\// && $1 == "-rwxr-xr-x") || ($6 !~ /^\.\/usr\/bin\// && $1 == "-rw-r--r--"))' \
  "$tmp/contents" | sed 's/^/  /' >"$tmp/modes"
[[ ! -s "$tmp/modes" ]] || { fail "unexpected modes (programs 755, everything else 644):"; cat "$tmp/modes"; }

# --- the unpacked tree ---------------------------------------------------------------
root="$tmp/root"
dpkg-deb -x "$deb" "$root"
modules="$root/usr/lib/$multiarch/kestavane"
if grep -rlF -e "$src" "$root" >"$tmp/paths"; then
  fail "build or source paths inside packaged files:"
  cat "$tmp/paths"
else
  pass "no build or source path inside the packaged files"
fi
for elf in "$root"/usr/bin/* "$modules"/*.so; do
  runpath=$(readelf -d "$elf" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')
  [[ -z "$runpath" || "$runpath" == '$ORIGIN'* ]] || fail "$(basename "$elf") searches $runpath"
done
for program in kestavane kestavane-cli; do
  if ldd "$root/usr/bin/$program" | grep -q 'not found'; then
    fail "$program lacks libraries:"
    ldd "$root/usr/bin/$program" | grep 'not found'
  elif readelf -d "$root/usr/bin/$program" | grep -q 'NEEDED.*\[libkv_platform\.so\]'; then
    platform=$(ldd "$root/usr/bin/$program" | sed -n 's/.*libkv_platform\.so => \([^ ]*\) .*/\1/p')
    [[ -n "$platform" && "$(realpath "$platform")" == "$modules/libkv_platform.so" ]] ||
      fail "$program takes libkv_platform.so from '$platform', not the packaged module folder"
  else
    pass "$program carries the platform layer inside"
  fi
done
desktop="$root/usr/share/applications/kestavane.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate on kestavane.desktop"
exec_path=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[[ -x "$root$exec_path" ]] || fail "the desktop entry starts $exec_path, which the package lacks"
pass "desktop entry starts $exec_path"
# Every program and module built with the distribution's hardening. x86
# control-flow protection marks a program only where every object linked in
# carries it, and the C library's start files of Debian 12 and 13 do not;
# branch protection is arm64's, which hardening-check 2.25 asks of every
# architecture.
hardening=()
if [[ "$arch" == amd64 ]] && ! readelf -n "/usr/lib/$multiarch/crti.o" | grep -q 'x86 feature: IBT'; then
  hardening+=(--nocfprotection)
fi
if [[ "$arch" != arm64 ]] && grep -q -- --nobranchprotection <<<"$(hardening-check --help 2>&1)"; then
  hardening+=(--nobranchprotection)
fi
for elf in "$root"/usr/bin/* "$modules"/*.so; do
  exempt=()
  # The IP helper's buffer calls have sizes the compiler proves in bounds or
  # write through pointers whose object it cannot see, so none gets a checked
  # variant though built with _FORTIFY_SOURCE (lintian: info only).
  [[ "$elf" != */libiphlpapi.so ]] || exempt=(--nofortify)
  hardening-check --quiet "${hardening[@]}" "${exempt[@]}" "$elf" >"$tmp/hardening" 2>&1 ||
    { fail "hardening-check $(basename "$elf"):"; cat "$tmp/hardening"; }
done
pass "hardening-check ${hardening[*]}: $(ls "$root"/usr/bin/* "$modules"/*.so | wc -l) programs and modules"
bash "$here/check_man_page.sh" "$root/usr/bin/kestavane-cli" "$root/usr/share/man/man1/kestavane-cli.1.gz" ||
  fail "kestavane-cli(1) and --help"
man_warnings=$(LC_ALL=C.UTF-8 man --warnings -l "$root/usr/share/man/man1/kestavane.1.gz" 2>&1 >/dev/null || true)
[[ -z "$man_warnings" ]] || fail "kestavane(1): $man_warnings"

# --- run the unpacked program ---------------------------------------------------------
cli="$root/usr/bin/kestavane-cli"
run_cli() { env -i PATH=/usr/bin:/bin LC_ALL=C.UTF-8 "$@"; }
# The module must have been opened by its path in the packaged module folder
# (the loader's own candidate), not by the system search, and nothing may come
# from the build tree.
loaded_from_module_folder() {
  local module=$1 log=$2 loaded
  loaded=$(cat "$log".* 2>/dev/null | sed -n "s/.*file=\([^ ]*$1\) .*/\1/p" | sort -u)
  if [[ "$loaded" == /* && "$loaded" != *$'\n'* && "$(realpath "$loaded")" == "$modules/$module" ]]; then
    pass "$module opened from the packaged module folder"
  else
    fail "$module opened as: ${loaded:-nothing}" $'\n'"  (expected only by its path in $modules)"
  fi
  if cat "$log".* 2>/dev/null | grep -qF "$src"; then
    fail "the unpacked program opened files from the source tree"
  fi
}

got=$(run_cli "$cli" --version) || true
[[ "$got" == "kestavane-cli ${version%%[+~]*}" ]] && pass "--version: $got" || fail "--version printed '$got'"

if run_cli "$cli" list >"$tmp/list" && [[ "$(wc -l <"$tmp/list")" -ge 33 ]]; then
  pass "list: $(wc -l <"$tmp/list") targets"
else
  fail "list from the unpacked root failed or is short"
fi

# No vendor library is packaged, and the test substitute must not be found.
status=0
run_cli "$cli" nova >"$tmp/nova" 2>&1 || status=$?
if [[ $status == 1 ]] && grep -q 'NOVA API DLL Not Loaded!' "$tmp/nova"; then
  pass "nova without a vendor library: NOVA API DLL Not Loaded!"
else
  fail "nova exited $status:"
  cat "$tmp/nova"
fi

# A root and a server certificate for localhost made here, trusted only
# through SSL_CERT_FILE.
pki="$tmp/pki"
mkdir "$pki"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
  -subj "/CN=Kestavane package test root" -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign,cRLSign -keyout "$pki/root.key" -out "$pki/root.pem" 2>/dev/null
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost \
  -keyout "$pki/leaf.key" -out "$pki/leaf.csr" 2>/dev/null
printf 'subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >"$pki/leaf.ext"
openssl x509 -req -in "$pki/leaf.csr" -CA "$pki/root.pem" -CAkey "$pki/root.key" -CAcreateserial -days 2 \
  -extfile "$pki/leaf.ext" -out "$pki/leaf.pem" 2>/dev/null

# One connection, 60 seconds at most; its standard input stays open (an
# s_server whose input ends closes the connection).
mkfifo "$tmp/server.in"
sleep 60 >"$tmp/server.in" 2>/dev/null </dev/null &
holder=$!
timeout 60 openssl s_server -accept 127.0.0.1:0 -naccept 1 -cert "$pki/leaf.pem" -key "$pki/leaf.key" \
  <"$tmp/server.in" >"$tmp/server.log" 2>&1 &
server=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^ACCEPT 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/server.log")
  [[ -n "$port" ]] && break
  sleep 0.1
done
if [[ -z "$port" ]]; then
  fail "openssl s_server did not start:"
  cat "$tmp/server.log"
else
  status=0
  run_cli SSL_CERT_FILE="$pki/root.pem" LD_DEBUG=files LD_DEBUG_OUTPUT="$tmp/ld" \
    "$cli" manual localhost "$port" >"$tmp/manual" 2>&1 || status=$?
  verdict=$(grep -v -e '^\*\*\*' -e '^$' "$tmp/manual" | tail -n 1)
  if [[ $status == 0 && "$verdict" == "Connection Closed -- TEST SUCCESSFUL. " ]]; then
    pass "manual TLS test of localhost:$port ended: $verdict"
  else
    fail "manual TLS test exited $status, last line '$verdict':"
    cat "$tmp/manual"
  fi
  loaded_from_module_folder libsecur32.so "$tmp/ld"
fi

# The IP helper, through the adapter report (it only reads this PC's set-up).
run_cli LD_DEBUG=files LD_DEBUG_OUTPUT="$tmp/ld-iphlpapi" "$cli" this-pc >"$tmp/this-pc" 2>&1 ||
  fail "this-pc exited $?"
loaded_from_module_folder libiphlpapi.so "$tmp/ld-iphlpapi"

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "package checks passed"
