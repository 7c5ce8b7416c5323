#!/usr/bin/env bash
# Installs what the fuzzers and the sanitizer and valgrind runs need
# (scripts/fuzz.sh, scripts/test-sanitizers.sh) and the machine lacks.
set -euo pipefail
exec "$(dirname "$0")/install-deps.sh" clang libclang-rt-14-dev valgrind cmake make libgtest-dev python3
