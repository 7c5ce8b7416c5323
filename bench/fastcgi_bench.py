#!/usr/bin/env python3
"""Small replies (1 KiB from nginx) through Apache 2.4 (mpm_event) four ways,
in one run, with wrk at c=1 and c=4:

  A  nginx itself, no Apache in the way: what one more hop to it costs
  B  mod_proxy (ProxyPass) to nginx
  D  nph-gw as a CGI program (mod_cgid) to nginx
  F  nph-gw in FastCGI mode (mod_fcgid, `.fcgi` handler in .htaccess) to nginx
  E  the same with TargetHttp11=0: HTTP/1.0, a new target connection per request
  G  a trivial FastCGI responder in C (libfcgi) writing a fixed 1 KiB reply

mod_fcgid runs with Debian's defaults, as a site gets it; it starts its
processes gradually, so each way is warmed up at c=4 before it is measured.
Servers run in the foreground as children, on 127.0.0.1, stopped by PID.

  bench/fastcgi_bench.py [--gateway build/nph-gw] [--seconds 10] [--rounds 2] [--smoke]

--smoke: every step once, briefly (CI's check that it still runs).
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import bench  # beside this script

HERE = os.path.dirname(os.path.abspath(__file__))
MODULES = "/usr/lib/apache2/modules"

NGINX = """{user}
worker_processes 1;
pid {root}/nginx.pid;
error_log {root}/nginx-error.log warn;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    keepalive_requests 100000;
    client_body_temp_path {root}/tmp;
    proxy_temp_path {root}/tmp;
    fastcgi_temp_path {root}/tmp;
    uwsgi_temp_path {root}/tmp;
    scgi_temp_path {root}/tmp;
    server {{ listen 127.0.0.1:{port}; root {root}/www; }}
}}
"""

APACHE = """ServerRoot "{root}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile "{root}/httpd.pid"
DefaultRuntimeDir "{root}"
Mutex file:{root} default
ErrorLog "{root}/apache-error.log"
{user}
LoadModule mpm_event_module {modules}/mod_mpm_event.so
LoadModule cgid_module {modules}/mod_cgid.so
LoadModule fcgid_module {modules}/mod_fcgid.so
LoadModule alias_module {modules}/mod_alias.so
LoadModule mime_module {modules}/mod_mime.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule proxy_module {modules}/mod_proxy.so
LoadModule proxy_http_module {modules}/mod_proxy_http.so
TypesConfig /dev/null
ScriptSock "{root}/cgid.sock"
FcgidIPCDir "{root}/fcgid"
FcgidProcessTableFile "{root}/fcgid/shm"
KeepAlive On
MaxKeepAliveRequests 0
DocumentRoot "{root}/site"
<Directory "{root}/site">
    AllowOverride FileInfo Options
    Require all granted
</Directory>
ScriptAlias /cgi-bin/ "{root}/cgi-bin/"
<Directory "{root}/cgi-bin">
    Options +ExecCGI
    Require all granted
</Directory>
ProxyPass /proxy/ http://127.0.0.1:{nginx_port}/
<Location /proxy/>
    Require all granted
</Location>
"""


def start(command, port):
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + 20
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return process
        except OSError:
            if process.poll() is not None or time.monotonic() > deadline:
                sys.exit("%s did not start" % command[0])
            time.sleep(0.05)


def wrk(url, connections, seconds):
    out = subprocess.run(["wrk", "-t%d" % min(connections, 2), "-c%d" % connections,
                          "-d%ds" % seconds, url], capture_output=True, text=True).stdout
    if "Non-2xx" in out:
        sys.exit("errors from %s:\n%s" % (url, out))
    return float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--gateway", default=os.path.join(HERE, "..", "build", "nph-gw"))
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--smoke", action="store_true")
    args = parser.parse_args()
    if args.smoke:
        args.seconds = args.rounds = 1
    root = tempfile.mkdtemp(prefix="fcgi-bench-")
    os.chmod(root, 0o755)
    for sub in ("www", "site/e", "site/f", "site/g", "cgi-bin", "fcgid", "tmp"):
        os.makedirs(os.path.join(root, sub))
    with open(os.path.join(root, "www", "small.txt"), "wb") as out:
        out.write(b"x" * 1024)
    user = ""
    if os.geteuid() == 0:
        shutil.chown(os.path.join(root, "fcgid"), "www-data", "www-data")
        user = "www-data"
    nginx_port, apache_port = bench.free_port(), bench.free_port()
    ini = "[Forward]\nTargetPort=%d\n" % nginx_port
    for path, more in ((os.path.join(root, "cgi-bin", "nph-gw"), ""),
                       (os.path.join(root, "site/e/gw.fcgi"), "TargetHttp11=0\n"),
                       (os.path.join(root, "site/f/gw.fcgi"), "")):
        shutil.copyfile(args.gateway, path)
        os.chmod(path, 0o755)
        with open(os.path.splitext(path)[0] + ".ini", "w") as out:
            out.write(ini + more)
    subprocess.run(["cc", "-O2", "-static", "-o", os.path.join(root, "site/g/trivial.fcgi"),
                    os.path.join(HERE, "trivial_fcgi.c"), "-lfcgi"], check=True)
    for folder in ("e", "f", "g"):
        with open(os.path.join(root, "site", folder, ".htaccess"), "w") as out:
            out.write("Options +ExecCGI\nAddHandler fcgid-script .fcgi\n")
    with open(os.path.join(root, "nginx.conf"), "w") as out:
        out.write(NGINX.format(root=root, port=nginx_port,
                               user="user www-data;" if user else ""))
    with open(os.path.join(root, "httpd.conf"), "w") as out:
        out.write(APACHE.format(root=root, port=apache_port, modules=MODULES,
                                nginx_port=nginx_port,
                                user="User www-data\nGroup www-data" if user else ""))
    nginx = start(["nginx", "-p", root, "-c", os.path.join(root, "nginx.conf"),
                   "-e", os.path.join(root, "nginx-error.log"), "-g", "daemon off;"], nginx_port)
    apache = start(["apache2", "-f", os.path.join(root, "httpd.conf"), "-DFOREGROUND"],
                   apache_port)
    base = "http://127.0.0.1:%d" % apache_port
    urls = {"A": "http://127.0.0.1:%d/small.txt" % nginx_port, "B": base + "/proxy/small.txt",
            "D": base + "/cgi-bin/nph-gw/small.txt",
            "E": base + "/e/gw.fcgi/small.txt", "F": base + "/f/gw.fcgi/small.txt",
            "G": base + "/g/trivial.fcgi"}
    figures = {}
    try:
        for way, url in urls.items():
            wrk(url, 4, 1 if args.smoke else 3)  # warm-up: mod_fcgid's processes, Apache's workers
        for _ in range(args.rounds):
            for way, url in urls.items():
                for connections in (1, 4):
                    figures.setdefault((way, connections), []).append(
                        wrk(url, connections, args.seconds))
    finally:
        apache.send_signal(signal.SIGTERM)
        apache.wait(30)
        nginx.send_signal(signal.SIGTERM)
        nginx.wait(30)
        shutil.rmtree(root, ignore_errors=True)
    best = {key: max(values) for key, values in figures.items()}
    print("| 1 KiB replies, req/s (best of %d x %d s) | c=1 | c=4 |" % (args.rounds, args.seconds))
    print("|---|---:|---:|")
    for way in urls:
        print("| %s | %.0f | %.0f |" % (way, best[(way, 1)], best[(way, 4)]))
    for name, (a, b) in (("F/B cost", ("B", "F")), ("F/G cost", ("G", "F")),
                         ("E/F cost", ("F", "E")), ("D/F cost", ("F", "D"))):
        print("%s: c=1 %.2f, c=4 %.2f" % (name, best[(a, 1)] / best[(b, 1)],
                                         best[(a, 4)] / best[(b, 4)]))


if __name__ == "__main__":
    main()
