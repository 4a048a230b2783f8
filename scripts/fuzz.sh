#!/usr/bin/env bash
# Builds the fuzz targets (libFuzzer, clang, ASan + UBSan) once and runs each
# from its committed seed corpus, one after another:
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     default: 300 seconds, every target
#
# KV_FUZZ_RUNS=N also stops a target after N executions; KV_FUZZ_BUILD names
# the build folder (build-fuzz). New inputs a run finds are kept in
# BUILD/corpus/TARGET, crashes in BUILD/artifacts. The exit status is 1 when
# any target found a fault.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-300}
shift || true
build=${KV_FUZZ_BUILD:-build-fuzz}
all=(fuzz_rtf fuzz_hosts fuzz_greeting fuzz_handshake fuzz_certs fuzz_issuer_answer fuzz_adapter_parsers
  fuzz_adapter_files)
targets=("$@")
if ((${#targets[@]} == 0)); then targets=("${all[@]}"); fi

declare -A seeds=([fuzz_rtf]=rtf [fuzz_hosts]=hosts [fuzz_greeting]=greeting [fuzz_handshake]=handshake
  [fuzz_certs]=certs [fuzz_issuer_answer]=issuer_answer [fuzz_adapter_parsers]=adapter_files
  [fuzz_adapter_files]=adapter_files)
# Long enough for the longest seed and then some.
declare -A max_len=([fuzz_rtf]=65536 [fuzz_hosts]=8192 [fuzz_greeting]=131072 [fuzz_handshake]=24576
  [fuzz_certs]=16384 [fuzz_issuer_answer]=36864 [fuzz_adapter_parsers]=16384 [fuzz_adapter_files]=16384)

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
cmake -S tests/fuzz -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" >/dev/null
cmake --build "$build" --target fuzz_targets

mkdir -p "$build/artifacts" "$build/logs"
failed=()
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  log=$build/logs/$target.log
  mkdir -p "$corpus"
  runs=()
  if [ -n "${KV_FUZZ_RUNS:-}" ]; then runs=(-runs="$KV_FUZZ_RUNS"); fi
  status=0
  "$build/bin/$target" -max_total_time="$seconds" "${runs[@]}" -max_len="${max_len[$target]}" -timeout=20 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$corpus" "tests/fuzz/seeds/${seeds[$target]}" >"$log" 2>&1 || status=$?
  done_line=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  seconds_used=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
  if [ "$status" -eq 0 ]; then
    printf '%-20s %10s executions in %4ss  %s\n' "$target" "${executions:-?}" "${seconds_used:-?}" \
      "$(echo "$done_line" | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*')"
  else
    echo "$target: FAULT (exit $status); log $log, input in $build/artifacts/"
    grep -E -e 'ERROR|SUMMARY|broken promise|: [a-z].* at read|runtime error|certificate services:|issuer answer:|IP helper:' \
      -e 'hosts list:' "$log" | head -n 8 || true
    failed+=("$target")
  fi
done

if ((${#failed[@]})); then
  echo "fuzz targets with faults: ${failed[*]}"
  exit 1
fi
