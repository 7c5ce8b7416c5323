#!/usr/bin/env bash
# Builds the gateway and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DNPH_GW_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
