#!/usr/bin/env python3
"""nph-gw.exe under Wine, one request after another to a small local target,
two ways in one run: as a CGI program (a process per request, started with a
UTF-16 environment as IIS starts it) and in FastCGI mode on a named pipe as
IIS hands it over (one process), both through the tests' IIS stand-in
(tests/support/iis_host.cpp). Prints requests per second and their ratio;
Wine's absolute figures say little about Windows.

  bench/wine_fastcgi_ratio.sh [--requests 200]   (builds nothing: run
  scripts/test-windows.sh first, which builds build-win)
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "blackbox"))
from harness import ENVIRONMENT, PROGRAM, Target, iis_started  # noqa: E402
from fastcgi_test import request  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--requests", type=int, default=200)
    count = parser.parse_args().requests
    target = Target()
    folder = tempfile.mkdtemp(prefix="nph-wine-bench-")
    program = os.path.join(folder, "nph-gw.exe")
    shutil.copy2(PROGRAM, program)
    with open(os.path.join(folder, "nph-gw.ini"), "w") as ini:
        ini.write("[Forward]\nTargetServer=127.0.0.1\nTargetPort=%d\nTimeout=10\n" % target.port)
    variables = dict(ENVIRONMENT, REQUEST_METHOD="GET", PATH_INFO="/", QUERY_STRING="")
    rates = {}
    # CGI: the host starts the program `count` times, one after the other.
    subprocess.run(iis_started("cgi", program, variables), stdout=subprocess.DEVNULL, check=True)
    started = time.monotonic()
    subprocess.run(iis_started("cgi*%d" % count, program, variables), stdout=subprocess.DEVNULL,
                   check=True)
    rates["CGI"] = count / (time.monotonic() - started)
    # FastCGI: one process, a connection to its pipe per request.
    host = subprocess.Popen(iis_started("fastcgi", program, {}), stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    line = request(variables).hex().encode() + b"?\n"
    for index in range(count + 1):  # the first one warms up
        if index == 1:
            started = time.monotonic()
        host.stdin.write(line)
        host.stdin.flush()
        assert host.stdout.readline().strip(), "no reply"
    rates["FastCGI"] = count / (time.monotonic() - started)
    host.stdin.close()
    host.wait(20)
    shutil.rmtree(folder, ignore_errors=True)
    assert len(target.stop()) == 2 * count + 2
    for way, rate in rates.items():
        print("%-8s %7.1f requests/s" % (way, rate))
    print("FastCGI / CGI: %.1f" % (rates["FastCGI"] / rates["CGI"]))


if __name__ == "__main__":
    main()
