#!/usr/bin/env bash
# Cross-builds nph-gw.exe and the unit tests for 32-bit Windows and runs, under
# Wine: the unit suite, the black-box suite against nph-gw.exe, and Apache on
# Linux serving a request through nph-gw.exe. Prints a summary; exits non-zero
# when anything failed. Needs what scripts/install-windows-deps.sh installs.
#
#   NPH_GW_WIN_BUILD     build folder (default build-win)
#   NPH_GW_BLACKBOX_DIR  black-box suite (default tests/blackbox)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
repo=$PWD
build=${NPH_GW_WIN_BUILD:-build-win}
case "$build" in /*) ;; *) build="$repo/$build" ;; esac
started=$(date +%s.%N)

elapsed() { python3 -c "import sys; print('%.1f' % (float(sys.argv[2]) - float(sys.argv[1])))" "$1" "$(date +%s.%N)"; }

echo "== Configure and build ($build)"
phase=$(date +%s.%N)
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DNPH_GW_TESTS=ON >/dev/null || exit 1
cmake --build "$build" -j"$(nproc)" --target nph-gw unit_tests || exit 1
build_seconds=$(elapsed "$phase")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

echo "== Imports of nph-gw.exe"
i686-w64-mingw32-objdump -p "$build/nph-gw.exe" | sed -n 's/^\s*DLL Name: /   /p'

work=$(mktemp -d /tmp/nph-gw-wine.XXXXXX)
chmod 755 "$work"
# The suites' full output stays in the build folder after the run.
logs="$build/windows-test-logs"
rm -rf "$logs" && mkdir -p "$logs"
www_session=""
# shellcheck disable=SC2317  # called by the EXIT trap
cleanup() {
  wine_session_stop
  if [ -n "$www_session" ]; then
    runuser -u www-data -- env HOME="$www_session" WINEPREFIX="$www_session/prefix" \
      "$WINE_SESSION_WINESERVER" -k >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# shellcheck source=tests/windows/wine_session.sh
source tests/windows/wine_session.sh
echo "== Wine session"
phase=$(date +%s.%N)
wine_session_start "$work/session" || exit 1
wine --version
session_seconds=$(elapsed "$phase")

names=()
results=()
details=()
seconds=()
record() {  # name, kind, result file, seconds
  local counts total passed failed skipped
  counts=$(python3 tests/windows/count_results.py "$2" "$3")
  read -r total passed failed skipped <<<"$(head -n 1 <<<"$counts")"
  names+=("$1")
  seconds+=("$4")
  local detail="$total tests, $passed passed"
  [ "$failed" -gt 0 ] && detail+=", $failed failed"
  [ "$skipped" -gt 0 ] && detail+=", $skipped skipped"
  details+=("$detail")
  if [ "$failed" -eq 0 ] && [ "$total" -gt 0 ]; then
    results+=("Passed")
  else
    results+=("Failed")
    tail -n +2 <<<"$counts" | sed 's/^/      failed: /'
  fi
}

echo "== Unit tests (unit_tests.exe)"
phase=$(date +%s.%N)
# The TLS cases' targets run here, on Linux, where the openssl command is; the
# test program gets their line with the CA file's path as Wine names it.
python3 tests/support/tls_targets.py >"$work/tls-targets" &
tls_targets_pid=$!
for _ in $(seq 100); do [ -s "$work/tls-targets" ] && break; sleep 0.1; done
NPH_GW_TLS_TARGETS=$(sed -E 's#ca=([^ ]*)#ca=Z:\1#; s#/#\\#g' "$work/tls-targets")
export NPH_GW_TLS_TARGETS
(cd "$work" && "$WINE_SESSION_RUNNER" "$build/tests/unit_tests.exe" --gtest_brief=1 \
  --gtest_output=xml:unit.xml) >"$logs/unit.log" 2>&1
cp "$work/unit.xml" "$logs/" 2>/dev/null
grep -E '^\[  (FAILED|PASSED) ' "$logs/unit.log" | sort -u | head -40
kill "$tls_targets_pid" 2>/dev/null
record unit_tests gtest "$logs/unit.xml" "$(elapsed "$phase")"

blackbox_dir=${NPH_GW_BLACKBOX_DIR:-tests/blackbox}
echo "== Black-box tests (nph-gw.exe)"
phase=$(date +%s.%N)
NPH_GW="$build/nph-gw.exe" NPH_GW_RUNNER="$WINE_SESSION_RUNNER" NPH_GW_PLATFORM=windows \
  python3 -m unittest discover -s "$blackbox_dir" -p '*_test.py' -v >"$logs/blackbox.log" 2>&1
grep -E '^(FAIL|ERROR):|^Ran |^OK|^FAILED' "$logs/blackbox.log"
record blackbox unittest "$logs/blackbox.log" "$(elapsed "$phase")"

echo "== Apache runs nph-gw.exe"
phase=$(date +%s.%N)
if [ -x "${APACHE_BIN:-/usr/sbin/apache2}" ]; then
  cgi_runner=$WINE_SESSION_RUNNER
  if [ "$(id -u)" -eq 0 ]; then
    # Apache started as root runs its CGI programs as www-data, whose Wine
    # needs a prefix and a wineserver of its own.
    www_session="$work/www"
    mkdir -p "$www_session" && chown www-data: "$www_session"
    # shellcheck disable=SC2016  # expanded by the inner shell
    runuser -u www-data -- env -i HOME="$www_session" PATH="$PATH" bash -c \
      'source "$2/tests/windows/wine_session.sh" && wine_session_start "$1/session"' _ "$www_session" "$repo" ||
      exit 1
    www_session="$www_session/session"
    cgi_runner="$www_session/wine-run"
  fi
  NPH_GW_EXE="$build/nph-gw.exe" NPH_GW_CGI_RUNNER="$cgi_runner" NPH_GW_VERSION="$version" \
    python3 tests/windows/apache_wine_test.py -v >"$logs/apache.log" 2>&1
  grep -E '^(FAIL|ERROR):|^Ran |^OK|^FAILED' "$logs/apache.log"
  record apache_wine unittest "$logs/apache.log" "$(elapsed "$phase")"
elif [ -n "${CI:-}" ]; then
  echo "apache2 is not installed" >&2
  names+=(apache_wine) results+=(Failed) details+=("apache2 missing") seconds+=(0)
else
  echo "   skipped: apache2 is not installed"
fi

failed_logs=()
echo
echo "Test project $build (Windows 32-bit, under Wine)"
count=${#names[@]}
passed=0
for index in "${!names[@]}"; do
  number=$((index + 1))
  label=$(printf '%s ' "${names[$index]}")
  dots=$(printf '%*s' $((28 - ${#label})) '' | tr ' ' '.')
  marker="   "
  if [ "${results[$index]}" = Passed ]; then
    passed=$((passed + 1))
  else
    marker="***"
    failed_logs+=("${names[$index]}")
  fi
  printf '%d/%d Test #%d: %s%s%s%-7s %6s sec  (%s)\n' "$number" "$count" "$number" "$label" \
    "$dots" "$marker" "${results[$index]}" "${seconds[$index]}" "${details[$index]}"
done
echo
percent=0
[ "$count" -gt 0 ] && percent=$((passed * 100 / count))
echo "$percent% tests passed, $((count - passed)) tests failed out of $count"
echo "Build ${build_seconds} sec, Wine session ${session_seconds} sec," \
  "total $(elapsed "$started") sec"

if [ ${#failed_logs[@]} -gt 0 ]; then
  for name in "${failed_logs[@]}"; do
    case $name in
      unit_tests) log=$logs/unit.log ;;
      blackbox) log=$logs/blackbox.log ;;
      *) log=$logs/apache.log ;;
    esac
    if [ -f "$log" ]; then
      echo
      echo "---- $name output (last 150 lines)"
      tail -n 150 "$log"
    fi
  done
  exit 1
fi
exit 0
