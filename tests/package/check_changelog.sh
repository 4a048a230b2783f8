#!/usr/bin/env bash
# The Debian changelog's latest entry carries the version of the build (a
# site's local suffix, +... or ~..., aside), and every man page its date.
# Usage: check_changelog.sh CHANGELOG VERSION MAN-DIR
set -euo pipefail
changelog=$1 version=$2 man_dir=$3
status=0
entry=$(dpkg-parsechangelog -l "$changelog" -SVersion)
if [[ "${entry%%[+~]*}" != "$version" ]]; then
  echo "FAIL: the changelog's latest entry is $entry, the build's version $version"
  status=1
fi
date=$(date -u -d "$(dpkg-parsechangelog -l "$changelog" -SDate)" +%Y-%m-%d)
pages=0
for page in "$man_dir"/*.1; do
  pages=$((pages + 1))
  th_date=$(sed -n 's/^\.TH "[^"]*" "[^"]*" "\([^"]*\)".*/\1/p' "$page")
  if [[ "$th_date" != "$date" ]]; then
    echo "FAIL: $(basename "$page") is dated '$th_date', the changelog $date"
    status=1
  fi
done
((pages > 0)) || { echo "FAIL: no man page in $man_dir"; exit 1; }
((status)) || echo "changelog $entry of $date: version $version, $pages man pages"
exit $status
