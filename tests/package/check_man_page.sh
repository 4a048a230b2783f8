#!/usr/bin/env bash
# Keeps kestavane-cli's --help and its man page from drifting apart: both must
# list the same commands, and the page every option the help names. Once the
# help lists --version (the front end's options have landed), the page may
# name no option the help lacks either. The page must also render without
# warnings from man.
#
#   check_man_page.sh KESTAVANE-CLI PAGE   (PAGE: roff, plain or .gz)
set -euo pipefail
cli=$1
page=$2
export LC_ALL=C.UTF-8 MANWIDTH=100

help=$("$cli" --help)
# Commands: lines of the help indented by two blanks that start with a word.
help_commands=$(grep -E '^  [a-z][a-z-]*( |$)' <<<"$help" | awk '{print $1}' | sort -u)
help_options=$(grep -oE '(^|[][ (,|])--?[a-z][a-z-]*' <<<"$help" | sed 's/^[][ (,|]//' | sort -u)

warnings=$(man --warnings -l "$page" 2>&1 >/dev/null || true)
if [[ -n "$warnings" ]]; then
  echo "FAIL: man reports on $page:"
  echo "$warnings"
  exit 1
fi
text=$(man -l "$page" 2>/dev/null | col -b)

# A section's text: from its heading (column 0) to the next heading.
section() { awk -v name="$1" '/^[A-Z]/ { on = ($0 == name); next } on' <<<"$text"; }
# Terms of a section: the lines indented by exactly seven blanks.
terms() { section "$1" | grep -E '^       [^ ]'; }

page_commands=$(terms COMMANDS | awk '{print $1}' | sort -u)
page_options=$( { terms OPTIONS; section SYNOPSIS; } | grep -oE '(^|[][ (,|])--?[a-z][a-z-]*' \
  | sed 's/^[][ (,|]//' | sort -u)

status=0
if [[ -z "$help_commands" || -z "$page_commands" ]]; then
  echo "FAIL: no commands found (help: '$help_commands', page: '$page_commands')"
  exit 1
fi
if ! diff <(echo "$help_commands") <(echo "$page_commands") >/dev/null; then
  echo "FAIL: commands differ between --help (<) and the man page (>):"
  diff <(echo "$help_commands") <(echo "$page_commands") || true
  status=1
fi
missing=$(comm -23 <(echo "$help_options") <(echo "$page_options"))
if [[ -n "$missing" ]]; then
  echo "FAIL: options in --help that the man page does not list:" $missing
  status=1
fi
extra=$(comm -13 <(echo "$help_options") <(echo "$page_options"))
if [[ -n "$extra" ]]; then
  if grep -qx -- '--version' <<<"$help_options"; then
    echo "FAIL: options in the man page that --help does not list:" $extra
    status=1
  else
    echo "NOTE: the man page lists options this kestavane-cli does not have yet:" $extra
  fi
fi
if ((status == 0)); then
  echo "man page and --help agree on $(wc -l <<<"$help_commands") commands and $(wc -l <<<"$help_options") options"
fi
exit $status
