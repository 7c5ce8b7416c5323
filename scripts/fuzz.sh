#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs each in turn.
#
#   scripts/fuzz.sh [SECONDS] [NAME...]
#
# SECONDS per fuzzer, 30 by default; NAMEs from: request reply settings fastcgi (all by
# default). Each starts from its seeds in fuzz/corpus/NAME and the inputs that
# once failed, fuzz/regressions/NAME, and keeps what it learns in
# $NPH_GW_FUZZ_BUILD/corpus/NAME (build-fuzz by default) for the next run. A
# finding fails the script and is left in $NPH_GW_FUZZ_BUILD/artifacts/NAME/;
# replay it with: build-fuzz/fuzz_NAME FILE.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(request reply settings fastcgi)

build=${NPH_GW_FUZZ_BUILD:-build-fuzz}
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" >/dev/null
cmake --build "$build" -j2 >/dev/null

failed=0
for name in "${names[@]}"; do
  corpus=$build/corpus/$name artifacts=$build/artifacts/$name log=$build/fuzz_$name.log
  mkdir -p "$corpus" "$artifacts"
  known=("fuzz/corpus/$name")
  [ ! -d "fuzz/regressions/$name" ] || known+=("fuzz/regressions/$name")
  # The first report ends the run with its input saved.
  if UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
      "$build/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=8192 -print_final_stats=1 -artifact_prefix="$artifacts/" \
      "$corpus" "${known[@]}" >"$log" 2>&1; then
    echo "ok   $name: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log") runs in ${seconds}s"
  else
    echo "FAIL $name: see $log and $artifacts/"
    tail -n 30 "$log"
    failed=1
  fi
done
exit $failed
