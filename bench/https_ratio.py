#!/usr/bin/env python3
"""What an HTTPS target costs the gateway, against the same target over plain
HTTP, in one run on loopback: bench.py's servers (nginx as the target, Apache
with mpm_event + mod_cgid running the gateway as D), and beside them nginx
serving the same files over TLS (a test CA made with openssl), reached by the
gateway as D-tls (TargetTls=1); and the gateway in FastCGI mode under
mod_fcgid to the same two targets, F and F-tls, each request on a new
connection to the target (F-tls keeps its TLS context and session between
requests; with --before, F-tls-0 is another build of the gateway beside it,
one that kept neither). Prints a Markdown table: requests per second at c=1
and c=4 for 1 KiB replies (B, mod_proxy over plain HTTP, for scale), a 20 MiB
download, and for the CGI ways the gateway's peak memory for it and
callgrind's instructions per request. Needs what
scripts/install-bench-deps.sh installs. With --smoke it does every step once,
briefly: CI's check that it still runs.

    bench/https_ratio.py [--gateway build/nph-gw] [--before other/nph-gw] [--seconds 4] [--smoke]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "support"))
import bench  # noqa: E402
from scripted_target import make_certificates  # noqa: E402

TLS_SITE = """daemon off; pid {tls}/nginx.pid; error_log {tls}/error.log; {user}
worker_processes 1;
events {{ worker_connections 1024; }}
http {{
    access_log off; sendfile on; keepalive_requests 100000;
    client_body_temp_path {tls}/tmp; proxy_temp_path {tls}/tmp;
    fastcgi_temp_path {tls}/tmp; uwsgi_temp_path {tls}/tmp; scgi_temp_path {tls}/tmp;
    server {{
        listen 127.0.0.1:{port} ssl; server_name localhost; root {root}/www;
        ssl_certificate {tls}/good.pem; ssl_certificate_key {tls}/good.key;
    }}
}}
"""
bench.SCRIPTS["D-tls"], bench.LABELS["D-tls"] = "cgi-bin/nph-gw-tls", "nph-gw, HTTPS target"
bench.SCRIPTS.update({"F": "fcgi/gw.fcgi", "F-tls": "fcgi/gw-tls.fcgi",
                      "F-tls-0": "fcgi/gw-tls-0.fcgi"})
WAYS = ["B", "D", "D-tls", "F", "F-tls"]


def add_fastcgi(run, name, gateway, settings):
    """The gateway in FastCGI mode under mod_fcgid (bench.py's fcgi folder)."""
    shutil.copyfile(gateway, run.path("fcgi", name + ".fcgi"))
    os.chmod(run.path("fcgi", name + ".fcgi"), 0o755)
    bench.write(run.path("fcgi", name + ".ini"), settings.encode())


def add_tls_target(run):
    """nginx with TLS beside bench.py's, and D-tls reaching it."""
    tls = run.path("tls")
    os.makedirs(os.path.join(tls, "tmp"))
    os.chmod(tls, 0o755)
    make_certificates(tls)
    os.chmod(os.path.join(tls, "ca.pem"), 0o644)
    port = bench.free_port()
    bench.write(os.path.join(tls, "nginx.conf"), TLS_SITE.format(
        tls=tls, root=run.root, port=port,
        user="user %s;" % run.user if run.user else "").encode())
    run.servers.append(bench.start([bench.NGINX_BIN, "-p", tls, "-c", tls + "/nginx.conf"],
                                   port, "nginx with TLS"))
    settings = ("[Forward]\nTargetServer=localhost\nTargetPort=%d\nTargetTls=1\n"
                "TlsCaFile=%s/ca.pem\nTimeout=120\n" % (port, tls))
    run.add_gateway("nph-gw-tls", settings)
    add_fastcgi(run, "gw", run.gateway, "[Forward]\nTargetServer=127.0.0.1\nTargetPort=%d\n"
                "Timeout=120\n" % run.target)
    add_fastcgi(run, "gw-tls", run.gateway, settings)
    if run.args.before:
        add_fastcgi(run, "gw-tls-0", run.args.before, settings)


def measure(run, seconds, rounds, downloads):
    """{way: {figure: value}}. Short rounds in turn, medians kept: a change in
    the machine's load then hits every way alike."""
    figures = {way: {} for way in WAYS}
    rates = {(way, c): [] for way in WAYS for c in (1, 4)}
    for number in range(rounds):
        for way in WAYS[::1 if number % 2 == 0 else -1]:
            url = run.url(way, "small.bin")
            if not run.args.smoke:
                run.wrk(url, 4, 1)  # warms Apache's threads
            bench.log("round %d: %s, %d s per figure" % (number + 1, way, seconds))
            for c in (1, 4):
                rates[way, c].append(run.wrk(url, c, seconds))
    for (way, c), values in rates.items():
        figures[way]["c%d" % c] = statistics.median(values)
    out = run.path("out", "large")
    for way in WAYS:
        times = []
        for _ in range(downloads):
            timing = subprocess.run(["curl", "-s", "-o", out, "-w", "%{time_total}",
                                     run.url(way, "large.bin")], capture_output=True, text=True)
            if bench.sha256_file(out) != run.sha["download"]:
                raise bench.BenchError("%s did not relay the 20 MiB file whole" % way)
            times.append(float(timing.stdout))
        figures[way]["large"] = statistics.median(times)
        if way.startswith("D"):
            name = bench.SCRIPTS[way].split("/")[-1]
            figures[way]["peak"] = run.peak(name, run.url(way + "mem", "large.bin"), "download")
            figures[way]["instructions"] = run.instructions_of(way, [run.path("cgi-bin", name)])
    return figures


def report(f):
    print("| | D nph-gw | D-tls nph-gw, HTTPS target | ratio | B mod_proxy (plain) |")
    print("|---|---:|---:|---:|---:|")
    for key, label in (("c1", "1 KiB, c=1, req/s"), ("c4", "1 KiB, c=4, req/s")):
        print("| %s | %.0f | %.0f | %.2fx | %.0f |" % (label, f["D"][key], f["D-tls"][key],
                                                    f["D"][key] / f["D-tls"][key], f["B"][key]))
    for key, label in (("c1", "FastCGI, 1 KiB, c=1, req/s"), ("c4", "FastCGI, 1 KiB, c=4, req/s")):
        before = ""
        if "F-tls-0" in f:
            before = " (without keeping: %.0f, %.2fx)" % (f["F-tls-0"][key],
                                                          f["F"][key] / f["F-tls-0"][key])
        print("| %s | F %.0f | F-tls %.0f | %.2fx%s | |" % (
            label, f["F"][key], f["F-tls"][key], f["F"][key] / f["F-tls"][key], before))
    print("| 20 MiB download | %.3f s | %.3f s | %.2fx | %.3f s |" % (
        f["D"]["large"], f["D-tls"]["large"], f["D-tls"]["large"] / f["D"]["large"],
        f["B"]["large"]))
    print("| peak memory, 20 MiB | %.1f MiB | %.1f MiB | +%.1f MiB | |" % (
        f["D"]["peak"] / 1024, f["D-tls"]["peak"] / 1024,
        (f["D-tls"]["peak"] - f["D"]["peak"]) / 1024))
    print("| instructions per request (1 KiB) | {:,} | {:,} | {:.0f}x | |".format(
        f["D"]["instructions"], f["D-tls"]["instructions"],
        f["D-tls"]["instructions"] / f["D"]["instructions"]))
    print()
    print("Load average: %.2f. Ratios are D-tls's cost over D's (requests per second: D / D-tls)."
          % os.getloadavg()[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--gateway", default=os.environ.get(
        "NPH_GW", os.path.join(bench.REPO, "build", "nph-gw")))
    parser.add_argument("--before", help="another build, as F-tls-0 beside F-tls")
    parser.add_argument("--seconds", type=int, default=4, help="per round and way")
    parser.add_argument("--smoke", action="store_true", help="every step once, briefly")
    args = parser.parse_args()
    run = bench.Bench(argparse.Namespace(gateway=args.gateway, smoke=args.smoke, keep=False,
                                         before=args.before and os.path.abspath(args.before)))
    if args.before:
        WAYS.append("F-tls-0")
    try:
        run.prepare()
        add_tls_target(run)
        figures = measure(run, 1 if args.smoke else args.seconds, 1 if args.smoke else 3,
                          1 if args.smoke else 5)
    except bench.BenchError as error:
        bench.log("benchmark failed: %s" % error)
        return 1
    finally:
        run.cleanup()
    report(figures)
    return 0


if __name__ == "__main__":
    sys.exit(main())
