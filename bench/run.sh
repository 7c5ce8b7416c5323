#!/usr/bin/env bash
# The side-by-side benchmark, in one command. On loopback it starts nginx (the
# target) and Apache httpd as child processes with their configurations in a
# temporary folder, and measures four ways to the target's files (Apache
# mod_proxy, a trivial C CGI, nph-gw, a Python CGI proxy): requests per second
# and their ratios, instructions per request, and peak memory (nph-gw with
# Streaming=1 beside them, up to a 1 GiB download and upload); nph-gw with its
# defaults beside mod_proxy for a 20 MiB and a 1 GiB download and a 5 MiB
# upload; an event's latency from the target, through nph-gw, and through it
# in FastCGI mode under mod_fcgid. Prints a Markdown report that it also
# writes to bench/results/latest.md.
#
#   bench/run.sh [--seconds 10] [--python-seconds 4] [--rounds 2] [--transfers 5]
#                [--no-gib] [--keep]
#
# The gateway is $NPH_GW, else build/nph-gw. Needs scripts/install-bench-deps.sh,
# and about 3 GiB free in $TMPDIR for the 1 GiB part. Takes about six
# minutes; the machine should be otherwise idle.
set -euo pipefail
exec python3 "$(cd "$(dirname "$0")" && pwd)/bench.py" "$@"
