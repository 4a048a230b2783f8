#!/usr/bin/env bash
# The scheduled check's units: systemd reads them without a complaint, the
# service's sandbox scores at most 3.0 in systemd's own exposure analysis,
# it runs as an unprivileged user at low priority under a memory ceiling,
# writes into the folder systemd hands it, the timer spreads a fleet, and
# the command it runs is one the program accepts.
# Usage: check_systemd_units.sh SERVICE TIMER KESTAVANE-CLI
set -euo pipefail
service=$1 timer=$2 cli=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
setting() { sed -n "s/^$1=//p" "$2" | tail -n 1; }

command -v systemd-analyze >/dev/null || fail "systemd-analyze missing: scripts/bootstrap.sh installs systemd"
exec_line=$(setting ExecStart "$service")
program=${exec_line%% *}
args=${exec_line#* }
[ "$(basename "$program")" = kestavane-cli ] || fail "ExecStart runs $program"
user=$(setting User "$service")
[ -n "$user" ] && [ "$user" != root ] || fail "the service must name an unprivileged User, not '$user'"
[ "$(setting Nice "$service")" = 19 ] && [ "$(setting IOSchedulingClass "$service")" = idle ] ||
  fail "the check must run at the lowest CPU and I/O priority"
[ -n "$(setting MemoryMax "$service")" ] || fail "no MemoryMax"
grep -qx 'WantedBy=timers.target' "$timer" || fail "the timer cannot be enabled"
grep -qx 'FixedRandomDelay=yes' "$timer" || fail "no fixed per-machine offset"
[ "$(setting RandomizedDelaySec "$timer")" = 14min ] && [ "$(setting OnCalendar "$timer")" = '*:0/15' ] ||
  fail "the timer must spread runs over 14 of every 15 minutes"

# verify wants the program where ExecStart says; point it at the built one.
sed "s|^ExecStart=[^ ]*|ExecStart=$cli|" "$service" > "$work/kestavane-check.service"
cp "$timer" "$work/kestavane-check.timer"
(cd "$work" && systemd-analyze verify --man=no kestavane-check.service kestavane-check.timer) ||
  fail "systemd-analyze verify"
report=$(cd "$work" && systemd-analyze security --offline=yes --no-pager kestavane-check.service)
score=$(sed -n 's/.*Overall exposure level for kestavane-check.service: \([0-9.]*\).*/\1/p' <<<"$report")
[ -n "$score" ] || fail "no exposure level in: $report"
awk -v s="$score" 'BEGIN { exit !(s <= 3.0) }' || { echo "$report"; fail "exposure $score is above 3.0"; }

# The file goes into the folder systemd makes and hands to the service.
output=$(sed -n 's/.*--output \([^ ]*\).*/\1/p' <<<"$args")
[ -n "$output" ] || fail "no --output in '$args'"
[ "$(dirname "$output")" = "/var/lib/$(setting StateDirectory "$service")" ] ||
  fail "$output is not in the service's StateDirectory"
if grep -q '^ExecStartPre=+\|^ExecStartPost=+\|^ExecStart=+' "$service"; then fail "a step runs as root"; fi

# The service's arguments, with the output's folder one that is not there:
# every option is accepted, and the run stops at the folder before any test.
read -r -a argv <<<"${args/$output/$work/missing/kestavane.prom}"
set +e
message=$("$cli" "${argv[@]}" 2>&1 >/dev/null)
status=$?
set -e
expected="kestavane-cli: --output '$work/missing/kestavane.prom': no folder '$work/missing'"
if [ "$status" -ne 3 ] || [ "$message" != "$expected" ]; then
  fail "the service's arguments '$args' give exit $status: $message"
fi
echo "units sound, exposure $score: $exec_line"
