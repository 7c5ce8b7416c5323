#!/usr/bin/env bash
# Every benchmark once, briefly, against build/nph-gw (or $NPH_GW): that each
# still runs; no figure is judged. Needs scripts/install-bench-deps.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
gateway=$(realpath "${NPH_GW:-$here/../build/nph-gw}")
"$here/run.sh" --smoke --gateway "$gateway" >/dev/null
"$here/https_ratio.py" --smoke --gateway "$gateway" >/dev/null
"$here/fastcgi_bench.py" --smoke --gateway "$gateway" >/dev/null
"$here/fastcgi_soak.py" "$gateway" --requests 200 >/dev/null
echo "bench smoke: every benchmark ran"
