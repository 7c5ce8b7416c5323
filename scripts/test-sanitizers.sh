#!/usr/bin/env bash
# Runs the test suites against checked builds of the gateway:
#  1. build-asan: everything compiled with AddressSanitizer and Undefined-
#     BehaviorSanitizer (clang); the unit and black-box suites run
#     against it, so any report (or leak at exit) fails a test.
#  2. build-fvalgrind: the program as released, with debug information, run
#     under valgrind memcheck by the black-box suite; every run
#     must end with zero errors and no definite leak.
# Needs clang, libclang-rt-14-dev and valgrind (scripts/install-hardening-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer (build-asan)"
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all"
# Both runs link the program dynamically: the sanitizers' runtime and
# valgrind's allocator replacement need the C library as a shared object.
cmake -S . -B build-asan -DCMAKE_CXX_COMPILER="${CXX_SANITIZE:-clang++}" -DCMAKE_BUILD_TYPE=Debug \
  -DNPH_GW_STATIC=OFF \
  -DCMAKE_CXX_FLAGS="-O1 -g -fno-omit-frame-pointer $sanitize" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitize" >/dev/null
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The end-to-end suite needs a real web server and is not about memory.
ctest --test-dir build-asan --output-on-failure -j"$jobs" -E '^e2e_'
unset ASAN_OPTIONS UBSAN_OPTIONS

echo "== valgrind memcheck (build-fvalgrind)"
vg=build-fvalgrind
cmake -S . -B "$vg" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNPH_GW_TESTS=OFF -DNPH_GW_STATIC=OFF >/dev/null
cmake --build "$vg" -j"$jobs" --target nph-gw
logs="$root/$vg/memcheck/logs"
rm -rf "$logs"
mkdir -p "$logs"

# The black-box harness starts each copy of the program through NPH_GW_RUNNER.
# A start of the application forks a child that only sets itself up and runs
# the command: it is not followed (it would leave a log without a summary).
NPH_GW="$root/$vg/nph-gw" \
  NPH_GW_RUNNER="valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite --child-silent-after-fork=yes --log-file='$logs/blackbox.%p.log'" \
  python3 -m unittest discover -s tests/blackbox -p "*_test.py"

runs=$(find "$logs" -name '*.log' | wc -l)
dirty=$(grep -L "ERROR SUMMARY: 0 errors" "$logs"/*.log || true)
leaks=$(grep -l "definitely lost: [1-9]" "$logs"/*.log || true)
echo "valgrind: $runs runs checked"
if [ -n "$dirty$leaks" ]; then
  echo "valgrind found errors or definite leaks in:" $dirty $leaks
  exit 1
fi
echo "valgrind: 0 errors, no definite leaks"
