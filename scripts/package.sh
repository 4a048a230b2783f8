#!/usr/bin/env bash
# Makes the Debian source and binary packages with dpkg-buildpackage, for the
# Debian release this machine runs, into dist/; lints exactly what it made
# (lintian --pedantic on the new .changes) and tries the binary package
# unpacked (tests/package/check_package.sh). The build runs the test suite
# unless DEB_BUILD_OPTIONS holds nocheck.
#
#   scripts/package.sh [--check]
#
# --check also installs the package in throwaway roots of this release made
# from Debian's mirror: piuparts (install, enable the timer, purge: nothing
# may stay) and the autopkgtests in debian/tests. Base roots are kept in
# KV_ROOTS_DIR (/var/tmp/kv-roots).
#
# The package is built from a copy of the checkout's files (build folders and
# anything git ignores left out) in KV_PACKAGE_DIR (build-deb). Its version is
# the changelog's latest entry plus a release suffix (~deb12u1 on Debian 12,
# ~deb13u1 on Debian 13) from an entry written into the copy, dated one second
# after the entry beneath, so two builds of one checkout are the same bytes.
# A site's own revision goes into the changelog first: dch --local +site.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
check=0
for arg in "$@"; do
  case $arg in
    --check) check=1 ;;
    *) echo "usage: scripts/package.sh [--check]" >&2; exit 2 ;;
  esac
done

bash scripts/bootstrap.sh
if ((check)); then bash scripts/bootstrap.sh --release-tools; fi

. /etc/os-release
release=${VERSION_CODENAME:?}
release_number=${VERSION_ID%%.*}
[[ -n "$release_number" ]] || { echo "package.sh: no Debian release number in /etc/os-release" >&2; exit 1; }

work=$(realpath -m "${KV_PACKAGE_DIR:-build-deb}")
base_version=$(dpkg-parsechangelog -SVersion)
version="${base_version}~deb${release_number}u1"
src="$work/kestavane-$version"
rm -rf "$work"
mkdir -p "$src"

# The checkout's files: tracked and new ones, never what git ignores.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do if [[ -e "$f" || -L "$f" ]]; then printf '%s\0' "$f"; fi; done |
    tar --null -T - -cf - | tar -C "$src" -xf -
else
  tar --exclude='./build*' --exclude=./dist --exclude=./obj-* -cf - . | tar -C "$src" -xf -
fi

# The release's entry.
date=$(date -u -R -d "@$(($(dpkg-parsechangelog -l "$src/debian/changelog" -STimestamp) + 1))")
maintainer=$(dpkg-parsechangelog -l "$src/debian/changelog" -SMaintainer)
{
  printf 'kestavane (%s) %s; urgency=medium\n\n' "$version" "$release"
  printf '  * Built for Debian %s (%s).\n\n' "$release_number" "$release"
  printf ' -- %s  %s\n\n' "$maintainer" "$date"
  cat "$top/debian/changelog"
} >"$src/debian/changelog"

# Build outputs land beside the source folder; nothing of an earlier build is
# there to be mistaken for this one.
# ccache, where installed, only saves time: its objects are the compiler's.
if [[ "${KV_CCACHE:-1}" != 0 ]] && command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
started=$(date +%s)
(cd "$src" && dpkg-buildpackage --build=full -us -uc -j"$(nproc)")
echo "package.sh: dpkg-buildpackage took $(($(date +%s) - started)) s"

arch=$(dpkg --print-architecture)
changes="$work/kestavane_${version}_${arch}.changes"
[[ -f "$changes" ]] || { echo "package.sh: no $changes" >&2; exit 1; }
mkdir -p dist
rm -f dist/kestavane_* dist/kestavane-dbgsym_*
dcmd cp "$changes" dist/
changes="dist/$(basename "$changes")"
deb="dist/kestavane_${version}_${arch}.deb"

echo "lintian --pedantic $changes:"
lintian --pedantic --display-info --fail-on error,warning,pedantic "$changes"
bash tests/package/check_package.sh "$deb" "$src"

if ((check)); then
  bash tests/package/check_installed.sh "$release" "$changes"
fi
ls -l $(dcmd "$changes")
