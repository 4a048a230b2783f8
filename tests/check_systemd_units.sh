#!/usr/bin/env bash
# The scheduled check's units: systemd can read them, the service runs as
# an unprivileged user, and the command it runs is one the program accepts.
# Usage: check_systemd_units.sh SERVICE TIMER KESTAVANE-CLI
set -euo pipefail
service=$1 timer=$2 cli=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

exec_line=$(sed -n 's/^ExecStart=//p' "$service")
program=${exec_line%% *}
args=${exec_line#* }
[ "$(basename "$program")" = kestavane-cli ] || { echo "ExecStart runs $program"; exit 1; }
user=$(sed -n 's/^User=//p' "$service")
[ -n "$user" ] && [ "$user" != root ] || { echo "the service must name an unprivileged User, not '$user'"; exit 1; }
grep -qx 'WantedBy=timers.target' "$timer" || { echo "the timer cannot be enabled"; exit 1; }

if command -v systemd-analyze >/dev/null; then
  # verify wants the program where ExecStart says; point it at the built one.
  sed "s|^ExecStart=[^ ]*|ExecStart=$cli|" "$service" > "$work/kestavane-check.service"
  cp "$timer" "$work/kestavane-check.timer"
  (cd "$work" && systemd-analyze verify --man=no kestavane-check.service kestavane-check.timer)
fi

# The service's arguments, with the output's folder one that is not there:
# every option is accepted, and the run stops at the folder before any test.
output=$(sed -n 's/.*--output \([^ ]*\).*/\1/p' <<<"$args")
[ -n "$output" ] || { echo "no --output in '$args'"; exit 1; }
read -r -a argv <<<"${args/$output/$work/missing/kestavane.prom}"
set +e
message=$("$cli" "${argv[@]}" 2>&1 >/dev/null)
status=$?
set -e
expected="kestavane-cli: --output '$work/missing/kestavane.prom': no folder '$work/missing'"
if [ "$status" -ne 2 ] || [ "$(head -n 1 <<<"$message")" != "$expected" ]; then
  echo "the service's arguments '$args' give exit $status: $message"
  exit 1
fi
echo "units sound: $exec_line"
