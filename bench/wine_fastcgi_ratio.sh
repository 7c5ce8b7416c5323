#!/usr/bin/env bash
# Runs bench/wine_fastcgi_ratio.py against build-win (or $NPH_GW_WIN_BUILD) in
# a Wine session of its own (scripts/wine-session.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${NPH_GW_WIN_BUILD:-build-win}")
# shellcheck source=scripts/wine-session.sh
source scripts/wine-session.sh
work=$(mktemp -d /tmp/nph-gw-wine-bench.XXXXXX)
trap 'stop_session "$work/session"; rm -rf "$work"' EXIT
wine_session "$work/session"
NPH_GW="$build/nph-gw.exe" NPH_GW_RUNNER="$work/session/wine-run" NPH_GW_PLATFORM=windows \
  NPH_GW_IIS_HOST="$build/tests/iis_host.exe" python3 bench/wine_fastcgi_ratio.py "$@"
