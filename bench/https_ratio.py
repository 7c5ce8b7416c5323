#!/usr/bin/env python3
"""What an HTTPS target costs the gateway, against the same target over plain
HTTP, in one run on loopback: nginx serves the same files on a plain port and
on a TLS port (a test CA made with openssl), Apache (mpm_event + mod_cgid)
runs the gateway as D (plain) and D-tls (TargetTls=1). Prints a Markdown
table: requests per second at c=1 and c=4 for 1 KiB replies, a 20 MiB
download, the gateway's peak memory for it, and callgrind's instructions per
request. Uses bench.py's servers; needs what scripts/install-bench-deps.sh
installs.

    bench/https_ratio.py [--gateway build/nph-gw] [--seconds 4]
"""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "support"))
import bench  # noqa: E402
from scripted_target import make_certificates  # noqa: E402

TLS_SITE = """daemon off; pid {root}/tls/nginx.pid; error_log {root}/tls/error.log;
worker_processes 1; {user_line}
events {{ worker_connections 1024; }}
http {{
    access_log off; sendfile on; keepalive_requests 100000;
    client_body_temp_path {root}/tls/tmp; proxy_temp_path {root}/tls/tmp;
    fastcgi_temp_path {root}/tls/tmp; uwsgi_temp_path {root}/tls/tmp; scgi_temp_path {root}/tls/tmp;
    server {{
        listen 127.0.0.1:{port} ssl; server_name localhost; root {root}/www;
        ssl_certificate {root}/tls/good.pem; ssl_certificate_key {root}/tls/good.key;
    }}
}}
"""


def callgrind(program, env, folder):
    out = os.path.join(folder, "callgrind.out")
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, program],
                   env=env, capture_output=True, stdin=subprocess.DEVNULL, timeout=120)
    with open(out) as profile:
        for line in profile:
            if line.startswith("summary:"):
                return int(line.split()[1])
    return None


def https_figures(root, servers, gateway, seconds):
    """Sets up D-tls beside D and measures both, and B (mod_proxy, plain) for
    scale; returns {way: {figure: value}}."""
    tls = os.path.join(root, "tls")
    os.makedirs(os.path.join(tls, "tmp"))
    os.chmod(tls, 0o755)
    make_certificates(tls)
    os.chmod(os.path.join(tls, "ca.pem"), 0o644)
    port = bench.free_port()
    with open(os.path.join(tls, "nginx.conf"), "w") as conf:
        conf.write(TLS_SITE.format(root=root, port=port,
                                   user_line="user %s;" % servers.user if servers.user else ""))
    nginx = subprocess.Popen([bench.NGINX_BIN, "-p", tls, "-c", os.path.join(tls, "nginx.conf")],
                             stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             preexec_fn=bench._die_with_parent)
    try:
        bench.wait_for_port(port, nginx, "nginx with TLS")
        ways = {"D": "TargetServer=127.0.0.1\nTargetPort=%d\n" % servers.nginx_port,
                "D-tls": "TargetServer=localhost\nTargetPort=%d\nTargetTls=1\nTlsCaFile=%s\n"
                         % (port, os.path.join(tls, "ca.pem"))}
        cgi = os.path.join(root, "cgi-bin")
        apache = "http://127.0.0.1:%d" % servers.apache_port
        urls = {"B": "%s/proxy/" % apache}
        for way, settings in ways.items():
            path = os.path.join(cgi, "nph-gw-" + way)
            shutil.copyfile(gateway, path)
            os.chmod(path, 0o755)
            bench.write_file(path + ".ini", ("[Forward]\nTimeout=120\n" + settings).encode())
            urls[way] = "%s/cgi-bin/nph-gw-%s/" % (apache, way)
        big_sha = bench.sha256_file(os.path.join(root, "www", "large.bin"))
        figures = {way: {} for way in urls}
        # Short rounds in turn, medians kept: a change in the machine's load
        # then hits every way alike.
        rates = {(way, c): [] for way in urls for c in (1, 4)}
        for number in range(3):
            for way in list(urls)[::1 if number % 2 == 0 else -1]:
                bench.Bench.wrk(None, urls[way] + "small.bin", 4, 1)  # warms Apache's threads
                for c in (1, 4):
                    bench.log("round %d: %s at c=%d, %d s" % (number + 1, way, c, seconds))
                    rates[way, c].append(bench.Bench.wrk(None, urls[way] + "small.bin", c,
                                                         seconds)["rps"])
        for (way, c), values in rates.items():
            figures[way]["c%d" % c] = statistics.median(values)
        for way, url in urls.items():
            times = []
            out = os.path.join(root, "large.out")
            for _ in range(5):
                command = ["curl", "-s", "-o", out, "-w", "%{time_total}", url + "large.bin"]
                times.append(float(subprocess.run(command, capture_output=True,
                                                  text=True).stdout or "nan"))
                if bench.sha256_file(out) != big_sha:
                    raise bench.BenchError("%s did not relay the 20 MiB file whole" % way)
            figures[way]["large"] = statistics.median(times)
            if way == "B":
                continue
            path = os.path.join(cgi, "nph-gw-" + way)
            env = bench.typical_cgi_environment(path, "/large.bin")
            peak = subprocess.run([bench.TIME_BIN, "-f", "%M", path], env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True).stderr.split()[-1]
            figures[way]["peak"] = int(peak)
            env = bench.typical_cgi_environment(path, "/small.bin")
            figures[way]["instructions"] = callgrind(path, env, root)
        return figures
    finally:
        bench.stop_process(nginx)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--gateway", default=os.path.join(bench.REPO, "build", "nph-gw"))
    parser.add_argument("--seconds", type=int, default=4, help="per round and way")
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="nph-gw-https-")
    os.chmod(root, 0o755)
    servers = bench.Servers(root)
    try:
        for sub in ("www", "cgi-bin"):
            os.makedirs(os.path.join(root, sub))
            os.chmod(os.path.join(root, sub), 0o755)
        bench.write_file(os.path.join(root, "www", "small.bin"), os.urandom(bench.SMALL_SIZE))
        bench.write_file(os.path.join(root, "www", "large.bin"), os.urandom(bench.LARGE_SIZE))
        servers.start_nginx()
        servers.start_apache()
        f = https_figures(root, servers, os.path.abspath(args.gateway), args.seconds)
    finally:
        servers.stop()
        shutil.rmtree(root, ignore_errors=True)
    print("| | D nph-gw | D-tls nph-gw, HTTPS target | ratio | B mod_proxy (plain) |")
    print("|---|---:|---:|---:|---:|")
    for key, label in (("c1", "1 KiB, c=1, req/s"), ("c4", "1 KiB, c=4, req/s")):
        print("| %s | %.0f | %.0f | %.2fx | %.0f |" % (label, f["D"][key], f["D-tls"][key],
                                                    f["D"][key] / f["D-tls"][key], f["B"][key]))
    print("| 20 MiB download | %.3f s | %.3f s | %.2fx | %.3f s |" % (
        f["D"]["large"], f["D-tls"]["large"], f["D-tls"]["large"] / f["D"]["large"], f["B"]["large"]))
    print("| peak memory, 20 MiB | %.1f MiB | %.1f MiB | +%.1f MiB | |" % (
        f["D"]["peak"] / 1024, f["D-tls"]["peak"] / 1024, (f["D-tls"]["peak"] - f["D"]["peak"]) / 1024))
    print("| instructions per request (1 KiB) | {:,} | {:,} | {:.0f}x | |".format(
        f["D"]["instructions"], f["D-tls"]["instructions"],
        f["D-tls"]["instructions"] / f["D"]["instructions"]))
    print()
    print("Load average: %s. Ratios are D-tls's cost over D's (requests per second: D / D-tls)."
          % bench.load_average())


if __name__ == "__main__":
    main()
