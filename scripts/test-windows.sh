#!/usr/bin/env bash
# Cross-builds nph-gw.exe and the unit tests for 32-bit Windows and runs, under
# Wine: the unit suite, and the black-box suite against nph-gw.exe, started as
# IIS starts it by the tests' own host (tests/support/iis_host.cpp). Prints a
# summary; exits non-zero when anything failed. Needs what
# scripts/install-windows-deps.sh installs.
#
#   NPH_GW_WIN_BUILD  build folder (default build-win); the suites' output is
#                     left in its windows-test-logs folder
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
repo=$PWD
build=${NPH_GW_WIN_BUILD:-build-win}
case "$build" in /*) ;; *) build="$repo/$build" ;; esac

echo "== Build ($build)"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DNPH_GW_TESTS=ON >/dev/null || exit 1
cmake --build "$build" -j2 --target nph-gw unit_tests iis_host || exit 1
i686-w64-mingw32-objdump -p "$build/nph-gw.exe" | sed -n 's/^\s*DLL Name: /   imports /p'

# One Wine session per user for the whole run (scripts/wine-session.sh).
# shellcheck source=scripts/wine-session.sh
source scripts/wine-session.sh

work=$(mktemp -d /tmp/nph-gw-wine.XXXXXX)
chmod 755 "$work"
logs="$build/windows-test-logs"
rm -rf "$logs" && mkdir -p "$logs"
cleanup() {
  stop_session "$work/session"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
command -v wine >/dev/null || { echo "wine is not installed (scripts/install-windows-deps.sh)"; exit 1; }
wine_session "$work/session" || exit 1
runner=$work/session/wine-run

summary=()
failed=0
suite() {  # NAME COMMAND...: runs it with its output in $logs/NAME.log
  local name=$1 started=$SECONDS
  shift
  if "$@" >"$logs/$name.log" 2>&1; then
    summary+=("passed  $name ($((SECONDS - started)) s)")
  else
    summary+=("FAILED  $name ($((SECONDS - started)) s), see $logs/$name.log")
    tail -n 60 "$logs/$name.log"
    failed=1
  fi
}

echo "== Unit tests, black-box tests"
# The unit tests' scripted targets run here, on Linux, where the openssl
# command is; the test program gets their line with the CA file's path as Wine
# names it.
python3 tests/support/scripted_target.py >"$work/targets" &
targets=$!
for _ in $(seq 100); do [ -s "$work/targets" ] && break; sleep 0.1; done
NPH_GW_TARGETS=$(sed -E 's#ca=([^ ]*)#ca=Z:\1#; s#/#\\#g' "$work/targets")
export NPH_GW_TARGETS
# The TLS tables under Wine now and then fail as a whole run (every case's
# certificate judged untrusted, chain status 0x800B0109) and pass when run
# again; until that is understood, their failed cases get one more run in a new
# process, and the output says so. Wine's SChannel keeps no sessions: the case
# that a kept TLS client resumes them does not run.
unit_tests_once_more() {
  local skip=-OneClient/TlsReuse.*/LaterConnectionsResume
  "$runner" "$build/tests/unit_tests.exe" --gtest_brief=1 --gtest_filter="$skip" && return 0
  local failed
  failed=$(grep -oE '^\[  FAILED  \] [A-Za-z0-9_/]+\.[^ ,]+' "$logs/unit_tests.log" | awk '{print $4}' | sort -u)
  grep -qvE '/Tls(Exchange|Reuse)\.' <<<"$failed" && return 1
  echo "== TLS cases failed under Wine; run once more:"
  "$runner" "$build/tests/unit_tests.exe" --gtest_brief=1 \
    --gtest_filter="$(tr '\n' ':' <<<"$failed")"
}
suite unit_tests unit_tests_once_more
kill "$targets" 2>/dev/null
suite blackbox env NPH_GW="$build/nph-gw.exe" NPH_GW_RUNNER="$runner" NPH_GW_PLATFORM=windows \
  NPH_GW_IIS_HOST="$build/tests/iis_host.exe" python3 -m unittest discover -s tests/blackbox -p '*_test.py'

grep -hE '^\[  (PASSED|FAILED) |^Ran |^OK|^FAILED' "$logs/unit_tests.log" "$logs/blackbox.log"
printf '%s\n' "${summary[@]}"
exit $failed
