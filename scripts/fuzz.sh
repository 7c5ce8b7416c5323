#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs each for a while.
#
#   scripts/fuzz.sh [-j JOBS] [SECONDS] [NAME...]
#
# SECONDS per fuzzer, 30 by default; NAMEs from: reply_header settings path_list
# request exchange (all by default); JOBS fuzzers at a time, 1 by default.
# Each fuzzer starts from its seed corpus in fuzz/corpus/NAME and keeps what it
# learns in build-fuzz/corpus/NAME, so a later run goes on from there. A finding
# stops that fuzzer, leaves the input in build-fuzz/artifacts/NAME/ and makes the
# script fail; replay it with: build-fuzz/fuzz_NAME FILE
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=1
if [ "${1:-}" = "-j" ]; then
  jobs=$2
  shift 2
fi
seconds=${1:-30}
shift || true
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(reply_header settings path_list request exchange)

build=build-fuzz
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

run_one() {
  local name=$1
  local corpus="$build/corpus/$name" artifacts="$build/artifacts/$name" log="$build/fuzz_$name.log"
  mkdir -p "$corpus" "$artifacts"
  # Known inputs first: earlier findings must stay fixed.
  if [ -d "fuzz/regressions/$name" ] && [ -n "$(ls -A "fuzz/regressions/$name")" ]; then
    if ! "$build/fuzz_$name" "fuzz/regressions/$name"/* >"$build/regressions_$name.log" 2>&1; then
      echo "FAIL $name: a saved regression input fails again (see $build/regressions_$name.log)"
      return 1
    fi
  fi
  # halt_on_error etc.: the first report ends the run with the input saved.
  if UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
      "$build/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=8192 -print_final_stats=1 -artifact_prefix="$artifacts/" \
      "$corpus" "fuzz/corpus/$name" >"$log" 2>&1; then
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "ok   $name: ${runs:-?} runs in ${seconds}s"
  else
    echo "FAIL $name: see $log and $artifacts/"
    tail -n 30 "$log"
    return 1
  fi
}

failed=0
running=0
pids=()
for name in "${names[@]}"; do
  [ -x "$build/fuzz_$name" ] || { echo "no fuzzer named $name"; failed=1; continue; }
  run_one "$name" &
  pids+=($!)
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
    running=$((running - 1))
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid" || failed=1
done
exit $failed
