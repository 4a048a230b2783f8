#!/usr/bin/env bash
# Fails when HACKING.md names something the tree does not have: a path, a
# program of the build, a command or option of the command line, or a name of
# the code. What it names is read from its backticks and its indented command
# lines (comments after '#' left out).
#
#   check_hacking.sh SOURCE_DIR KESTAVANE_CLI
set -euo pipefail
cd "$1"
help=$("$2" --help)
# Where a name of the code, the build or the scripts must be found.
sources=(app bench catalogue cli diag history net platform providers report termapi tls tests scripts CMakeLists.txt)
found() {
  grep -rqw --include='*.cpp' --include='*.h' --include='CMakeLists.txt' --include='*.sh' --include='*.py' \
    -e "$1" "${sources[@]}"
}
bad=0
wrong() { echo "HACKING.md: '$1' $2" >&2 && bad=1; }

check() { # one backticked text or command line
  local cli=0 word part words
  read -ra words <<<"$1"
  for word in "${words[@]}"; do
    word=${word%[,;]}
    if ((cli == 1)) && [[ $word != -* ]]; then # the command after kestavane-cli
      cli=2
      grep -qE "^  $word( |$)" <<<"$help" || wrong "$word" "is no command of kestavane-cli"
    elif ((cli)) && [[ $word == --* ]]; then
      grep -qE -e "(^|[^a-z-])${word%%=*}([^a-z-]|$)" <<<"$help" || wrong "$word" "is no option of kestavane-cli"
    elif [[ $word =~ ^([A-Z][A-Z0-9_]*)= ]]; then
      found "${BASH_REMATCH[1]}" || wrong "$word" "names a variable nothing reads"
    elif [[ $word =~ (^|/)bin/([A-Za-z0-9_-]+)$ ]]; then
      grep -rqE "(add_executable|kv_test)\(${BASH_REMATCH[2]}( |$)" --include=CMakeLists.txt "${sources[@]}" ||
        wrong "$word" "is no program of the build"
    elif [[ $word == */* && $word != [-/\$]* && $word != *[=:]* ]]; then
      compgen -G "$word" >/dev/null || wrong "$word" "is no file or folder"
    elif [[ $word =~ ^[A-Za-z_][A-Za-z0-9_]*(::[A-Za-z_~][A-Za-z0-9_]*)*(\(\))?$ &&
      $word =~ (::|\(\)|_|^.+[A-Z]) && ! $word =~ ^[A-Z][a-z]+$ ]]; then
      for part in ${word//::/ }; do
        found "${part%()}" || wrong "$word" "is not in the code"
      done
    fi
    [[ ${word##*/} != kestavane-cli ]] || cli=1
  done
}

while IFS= read -r line; do
  if [[ $line == "    "* ]]; then
    check "${line%%#*}"
  else
    while [[ $line =~ \`([^\`]*)\`(.*) ]]; do
      line=${BASH_REMATCH[2]}
      check "${BASH_REMATCH[1]}"
    done
  fi
done <HACKING.md
exit "$bad"
