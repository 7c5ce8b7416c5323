#!/usr/bin/env bash
# Runs every test. As root it first installs what is missing (as another user
# it says what to install). In order:
#   the Windows build under Wine (unit, black-box);
#   everything under AddressSanitizer + UndefinedBehaviorSanitizer, and valgrind;
#   each fuzzer for 30 seconds;
#   the release files built and checked (black-box suite on each archive's
#   program, ARM under qemu-user, Windows under Wine);
#   every benchmark once, briefly (bench/smoke.sh);
#   last, through CTest: unit, black-box, Apache end-to-end.
# With --quick, only the CTest suites run.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1

./scripts/install-deps.sh
./scripts/install-e2e-deps.sh
if [ "$quick" = 0 ]; then
  ./scripts/install-windows-deps.sh
  ./scripts/install-hardening-deps.sh
  ./scripts/install-bench-deps.sh
  ./scripts/test-windows.sh
  ./scripts/test-sanitizers.sh
  ./scripts/fuzz.sh 30
  ./scripts/release.sh --test
fi

cmake -S . -B build -DNPH_GW_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)"
if [ "$quick" = 0 ]; then ./bench/smoke.sh; fi
ctest --test-dir build --output-on-failure -j"$(nproc)"
