#!/usr/bin/env bash
# Installs what is missing (as root), builds the gateway and runs every test
# suite: unit, black-box, end-to-end under Apache.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
./scripts/install-e2e-deps.sh

cmake -S . -B build -DNPH_GW_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
