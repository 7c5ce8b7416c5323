#!/usr/bin/env bash
# The side-by-side benchmark, in one command. On loopback it starts nginx (the
# target) and Apache httpd as child processes with their configurations in a
# temporary folder, measures five ways to the target's files (nginx direct,
# Apache mod_proxy, a trivial C CGI, nph-gw, a Python CGI proxy; nph-gw with
# Streaming=1 beside them for large bodies, and a 1 GiB download and upload
# through mod_proxy and the streaming gateway), and prints a Markdown report
# that it also writes to bench/results/latest.md.
#
#   bench/run.sh [--seconds 10] [--python-seconds 4] [--rounds 2] [--no-gib]
#                [--gib-repeats 3] [--keep]
#
# The gateway is $NPH_GW, else build/nph-gw; the in-process figures come from
# $MICRO_BENCH, else build/bench/micro/micro_bench when it has been built
# (cmake -DNPH_GW_BENCH=ON). Needs: scripts/install-bench-deps.sh, and about
# 3 GiB free in $TMPDIR for the 1 GiB part. Takes about five minutes (--no-gib
# saves one); the machine should be otherwise idle.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exec python3 "$here/bench.py" "$@"
