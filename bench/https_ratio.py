#!/usr/bin/env python3
"""What an HTTPS target costs the gateway, against the same target over plain
HTTP, in one run on loopback: bench.py's servers (nginx as the target, Apache
with mpm_event + mod_cgid running the gateway as D), and beside them nginx
serving the same files over TLS (a test CA made with openssl), reached by the
gateway as D-tls (TargetTls=1); and the gateway in FastCGI mode under
mod_fcgid to the same two targets, F and F-tls, each request on a new
connection to the target (TargetHttp11=0; F-tls keeps its TLS context and
session between requests; with --before, F-tls-0 is another build of the
gateway beside it, one that kept neither); and K and K-tls, FastCGI mode as
it comes (its target connection kept from request to request). Prints a Markdown table: requests per second at c=1
and c=4 for 1 KiB replies (B, mod_proxy over plain HTTP, for scale), a 20 MiB
download, and for the CGI ways the gateway's peak memory for it and
callgrind's instructions per request. Then whether a TLS session kept in a
file would pay in CGI mode: bench/session_probe.c makes the gateway's request
in a process of its own, with a full handshake and resuming a session read
from a file, in turns; its instructions, its processor time and nginx's, set
against D-tls's time per request. Needs what scripts/install-bench-deps.sh
installs. With --smoke it does every step once, briefly: CI's check that it
still runs.

    bench/https_ratio.py [--gateway build/nph-gw] [--before other/nph-gw] [--seconds 4] [--smoke]
"""
import argparse
import os
import re
import resource
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
                      "F-tls-0": "fcgi/gw-tls-0.fcgi", "K": "fcgi/gw-kept.fcgi",
                      "K-tls": "fcgi/gw-kept-tls.fcgi"})
WAYS = ["B", "D", "D-tls", "F", "F-tls", "K", "K-tls"]


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
    # A new connection for each request (TargetHttp11=0 keeps none): what the
    # TLS context and session kept between requests give, the handshake left.
    fresh = "TargetHttp11=0\n"
    add_fastcgi(run, "gw", run.gateway, "[Forward]\nTargetServer=127.0.0.1\nTargetPort=%d\n"
                "Timeout=120\n%s" % (run.target, fresh))
    add_fastcgi(run, "gw-tls", run.gateway, settings + fresh)
    add_fastcgi(run, "gw-kept", run.gateway, "[Forward]\nTargetServer=127.0.0.1\nTargetPort=%d\n"
                "Timeout=120\n" % run.target)
    add_fastcgi(run, "gw-kept-tls", run.gateway, settings)
    if run.args.before:
        add_fastcgi(run, "gw-tls-0", run.args.before, settings + fresh)
    return tls, port, run.servers[-1].pid


def session_file(run, tls, port, nginx, blocks, per_block):
    """{"full"|"resume": {figure: value}}: session_probe.c's process in turns,
    medians of the blocks."""
    probe = run.path("out", "session_probe")
    subprocess.run(["cc", "-O2", "-static", "-o", probe, os.path.join(HERE, "session_probe.c"),
                    "-lssl", "-lcrypto", "-lpthread"], check=True, capture_output=True)
    ca, session = os.path.join(tls, "ca.pem"), run.path("out", "session.pem")
    workers = [int(pid) for pid in open("/proc/%d/task/%d/children" % (nginx, nginx)).read().split()]

    def nginx_ms():
        ticks = 0
        for worker in workers:
            fields = open("/proc/%d/stat" % worker).read().rpartition(")")[2].split()
            ticks += int(fields[11]) + int(fields[12])
        return ticks * 1000 / os.sysconf("SC_CLK_TCK")

    def once(mode):
        if subprocess.run([probe, mode, str(port), ca, session]).returncode != 0:
            raise bench.BenchError("session_probe %s failed" % mode)

    once("save")
    samples = {"full": [], "resume": []}
    for number in range(blocks):
        for mode in ("full", "resume")[::1 if number % 2 == 0 else -1]:
            before, served = resource.getrusage(resource.RUSAGE_CHILDREN), nginx_ms()
            for _ in range(per_block):
                once(mode)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            samples[mode].append((
                (after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) * 1000,
                nginx_ms() - served))
    figures = {}
    for mode, values in samples.items():
        done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                               probe, mode, str(port), ca, session], capture_output=True, text=True)
        figures[mode] = {
            "instructions": int(re.search(r"Collected : (\d+)", done.stderr).group(1)),
            "cpu": statistics.median(v[0] for v in values) / per_block,
            "nginx": statistics.median(v[1] for v in values) / per_block}
    return figures


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
    for key, label in (("c1", "FastCGI, kept, 1 KiB, c=1, req/s"),
                       ("c4", "FastCGI, kept, 1 KiB, c=4, req/s")):
        print("| %s | K %.0f | K-tls %.0f | %.2fx | |" % (
            label, f["K"][key], f["K-tls"][key], f["K"][key] / f["K-tls"][key]))
    print("| 20 MiB download | %.3f s | %.3f s | %.2fx | %.3f s |" % (
        f["D"]["large"], f["D-tls"]["large"], f["D-tls"]["large"] / f["D"]["large"],
        f["B"]["large"]))
    print("| peak memory, 20 MiB | %.1f MiB | %.1f MiB | +%.1f MiB | |" % (
        f["D"]["peak"] / 1024, f["D-tls"]["peak"] / 1024,
        (f["D-tls"]["peak"] - f["D"]["peak"]) / 1024))
    print("| instructions per request (1 KiB) | {:,} | {:,} | {:.0f}x | |".format(
        f["D"]["instructions"], f["D-tls"]["instructions"],
        f["D-tls"]["instructions"] / f["D"]["instructions"]))
    s = f["session file"]
    full, resumed = s["full"], s["resume"]
    saved = full["cpu"] + full["nginx"] - resumed["cpu"] - resumed["nginx"]
    print()
    print("| CGI: one process's HTTPS request (session_probe.c) | full handshake "
          "| session resumed from a file | saved |")
    print("|---|---:|---:|---:|")
    print("| instructions | {:,} | {:,} | {:.0%} |".format(
        full["instructions"], resumed["instructions"],
        1 - resumed["instructions"] / full["instructions"]))
    for key, label in (("cpu", "processor time, the process"), ("nginx", "processor time, nginx")):
        print("| %s | %.2f ms | %.2f ms | %.2f ms |" % (label, full[key], resumed[key],
                                                         full[key] - resumed[key]))
    print("| against D-tls's %.1f ms per request (c=1) | | | %.0f%% |" % (
        1000 / f["D-tls"]["c1"], saved * f["D-tls"]["c1"] / 10))
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
        tls, port, nginx = add_tls_target(run)
        figures = measure(run, 1 if args.smoke else args.seconds, 1 if args.smoke else 3,
                          1 if args.smoke else 5)
        figures["session file"] = session_file(run, tls, port, nginx, 2 if args.smoke else 6,
                                               2 if args.smoke else 200)
    except bench.BenchError as error:
        bench.log("benchmark failed: %s" % error)
        return 1
    finally:
        run.cleanup()
    report(figures)
    return 0


if __name__ == "__main__":
    sys.exit(main())
