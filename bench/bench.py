#!/usr/bin/env python3
"""The side-by-side benchmark behind bench/run.sh (run that, not this).

On loopback, as child processes with their configurations in a temporary
folder, it starts nginx (the target) and Apache httpd (mpm_event + mod_cgid +
mod_proxy_http), then measures four ways to the target's files:

  B  Apache mod_proxy (ProxyPass) to nginx
  C  a trivial NPH CGI program in C writing a fixed reply of the same size
  D  nph-gw, forwarding to nginx
  E  a plain Python CGI reverse proxy (bench/python_proxy.py)

and D-s, the same gateway with Streaming=1: requests per second for 1 KiB
replies and their ratios, instructions per request, and peak memory for a
small reply, a 20 MiB download, a 5 MiB upload and (unless --no-gib) a 1 GiB
download and upload. D runs with the default settings. Side by side with B:
the time of a 20 MiB download, a 5 MiB upload and a 1 GiB download (median of
--transfers runs, the ways taking turns, every byte checked). And the latency
of an event (bench/event_target.py sends one every 50 ms): from the target
itself, through D, and through the gateway in FastCGI mode under mod_fcgid,
as Debian sets it up (F) and with FcgidOutputBufferSize 0 (F0). Prints a
Markdown report, also written to bench/results/latest.md. Servers are stopped
by their own PID. With --smoke it does every step once, briefly (CI's check
that it still runs), and writes nothing.
"""

import argparse
import ctypes
import datetime
import hashlib
import os
import platform
import pwd
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "support"))
from ports import free_port  # noqa: E402,F401
APACHE_BIN = os.environ.get("APACHE_BIN", "/usr/sbin/apache2")
APACHE_MODULES = os.environ.get("APACHE_MODULES", "/usr/lib/apache2/modules")
NGINX_BIN = os.environ.get("NGINX_BIN", "/usr/sbin/nginx")
NGINX_ECHO_MODULE = os.environ.get("NGINX_ECHO_MODULE",
                                   "/usr/lib/nginx/modules/ngx_http_echo_module.so")
# CGI programs run with Apache's environment: the interpreter by its full path.
CGI_PYTHON = os.environ.get("CGI_PYTHON", "/usr/bin/python3")
TIME_BIN = "/usr/bin/time"
KiB, MiB = 1024, 1024 * 1024
SIZES = {"small": KiB, "download": 20 * MiB, "upload": 5 * MiB, "gib": 1024 * MiB}
LABELS = {"B": "Apache mod_proxy", "C": "trivial NPH CGI (C)", "D": "nph-gw (defaults)",
          "E": "Python CGI proxy", "D-s": "nph-gw, Streaming=1"}
SMALL_WAYS = "BCDE"
# Where each way is, under Apache (https_ratio.py adds its own).
SCRIPTS = {"B": "proxy", "C": "cgi-bin/nph-trivial", "D": "cgi-bin/nph-gw",
           "D-s": "cgi-bin/nph-gw-stream", "E": "cgi-bin/python-proxy"}

NGINX_CONF = """{user}
worker_processes 1;
pid {root}/nginx/nginx.pid;
error_log {root}/nginx/error.log warn;
load_module {echo};
events {{ worker_connections 1024; }}
http {{
    access_log off;
    default_type application/octet-stream;
    sendfile on;
    client_body_temp_path {root}/nginx/body;
    proxy_temp_path {root}/nginx/proxy;
    fastcgi_temp_path {root}/nginx/fastcgi;
    uwsgi_temp_path {root}/nginx/uwsgi;
    scgi_temp_path {root}/nginx/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {root}/www;
        # The upload sink writes the body to a file as it reads it and answers
        # with the file's name, so the bytes that arrived can be checked.
        location = /upload {{
            client_max_body_size 2g;
            client_body_in_file_only on;
            echo_read_request_body;
            echo $request_body_file;
        }}
    }}
}}
"""

APACHE_CONF = """ServerRoot "{root}/apache"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile "{root}/apache/httpd.pid"
DefaultRuntimeDir "{root}/apache"
Mutex file:{root}/apache default
ErrorLog "{root}/apache/error.log"
{user}
LoadModule mpm_event_module {modules}/mod_mpm_event.so
LoadModule cgid_module {modules}/mod_cgid.so
LoadModule alias_module {modules}/mod_alias.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule proxy_module {modules}/mod_proxy.so
LoadModule proxy_http_module {modules}/mod_proxy_http.so
LoadModule fcgid_module {modules}/mod_fcgid.so
ScriptSock "{root}/apache/cgid.sock"
FcgidIPCDir "{root}/fcgid"
FcgidProcessTableFile "{root}/fcgid/shm"
# Debian's defaults (apache2.conf, mods-available/mpm_event.conf), and no
# body limit: the largest upload is 1 GiB.
Timeout 300
KeepAlive On
MaxKeepAliveRequests 100
KeepAliveTimeout 5
StartServers 2
MinSpareThreads 25
MaxSpareThreads 75
ThreadLimit 64
ThreadsPerChild 25
MaxRequestWorkers 150
MaxConnectionsPerChild 0
LimitRequestBody 0
ScriptAlias /cgi-bin/ "{root}/cgi-bin/"
<Directory "{root}/cgi-bin">
    Require all granted
</Directory>
ProxyPass /proxy/ http://127.0.0.1:{target}/
<Location /proxy/>
    Require all granted
</Location>
# The gateway in FastCGI mode, for the event latency: here as Debian sets
# mod_fcgid up, and on a second port without its output buffer.
Alias /fcgi/ "{root}/fcgi/"
<Directory "{root}/fcgi">
    SetHandler fcgid-script
    Options +ExecCGI
    Require all granted
</Directory>
Listen 127.0.0.1:{unbuffered}
<VirtualHost 127.0.0.1:{unbuffered}>
    FcgidOutputBufferSize 0
</VirtualHost>
"""


class BenchError(Exception):
    pass


def log(message):
    print(message, file=sys.stderr, flush=True)


def start(command, port, what):
    def die_with_parent():  # a server outlives no killed benchmark
        ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True,
                               preexec_fn=die_with_parent)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and process.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return process
        except OSError:
            time.sleep(0.05)
    stop(process)
    raise BenchError("%s did not start" % what)


def stop(process):
    """SIGTERM to the server's own PID; its group only if it hangs."""
    if process and process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(15)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(5)


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(MiB), b""):
            digest.update(block)
    return digest.hexdigest()


def write(path, data, mode=0o644):
    with open(path, "wb") as out:
        out.write(data)
    os.chmod(path, mode)


def read_peak(record):
    """The figure /usr/bin/time writes once the program has exited, which may
    be a moment after the client has its reply; None if none comes."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if os.path.exists(record):
            with open(record) as figures:
                text = figures.read()
            if text.endswith("\n"):
                return int(text.split()[-1])
        time.sleep(0.05)
    return None


def timed(script, record, *command):
    """A CGI script that runs `command` under /usr/bin/time, its peak memory in `record`."""
    write(script, ("#!/bin/sh\nexec %s -a -o %s -f %%M %s\n" % (
        TIME_BIN, record, " ".join(command))).encode(), 0o755)


class Bench:
    def __init__(self, args):
        self.args = args
        self.gateway = os.path.abspath(args.gateway)
        self.root = tempfile.mkdtemp(prefix="nph-gw-bench-")
        os.chmod(self.root, 0o755)  # workers running as another user reach every file
        self.servers = []
        self.target, self.apache, self.unbuffered = free_port(), free_port(), free_port()
        self.user = None
        if os.geteuid() == 0:  # servers started as root hand their workers to www-data
            self.user = "www-data"
            pwd.getpwnam(self.user)
        self.sha, self.notes = {}, []

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def url(self, way, name):
        """way + "mem": the same program under /usr/bin/time."""
        script = SCRIPTS[way[:-3]] + "-mem" if way.endswith("mem") else SCRIPTS[way]
        return "http://127.0.0.1:%d/%s/%s" % (self.apache, script, name)

    def add_gateway(self, name, settings):
        """A copy of the gateway in cgi-bin with its settings, and the same
        under /usr/bin/time for its peak memory (started under its full path,
        which names its settings file)."""
        for folder in (self.path("cgi-bin"), self.path("gw-mem")):
            shutil.copyfile(self.gateway, os.path.join(folder, name))
            os.chmod(os.path.join(folder, name), 0o755)
            write(os.path.join(folder, name + ".ini"), settings.encode())
        timed(self.path("cgi-bin", name + "-mem"), self.path("mem", name),
              self.path("gw-mem", name))

    def prepare(self):
        for sub in ("www", "cgi-bin", "gw-mem", "mem", "out", "nginx", "apache", "fcgi", "fcgid"):
            os.makedirs(self.path(sub), 0o755, exist_ok=True)
            os.chmod(self.path(sub), 0o755)
        for sub in ("mem", "fcgid"):  # the CGI user writes the peak figures, mod_fcgid its sockets
            os.chmod(self.path(sub), 0o777)
        for name, kind in (("small.bin", "small"), ("large.bin", "download"),
                           ("upload.bin", "upload")):
            write(self.path("www", name), os.urandom(SIZES[kind]))
            self.sha[kind] = sha256_file(self.path("www", name))
        user = "user %s;" % self.user if self.user else ""
        write(self.path("nginx", "nginx.conf"), NGINX_CONF.format(
            root=self.root, port=self.target, echo=NGINX_ECHO_MODULE, user=user).encode())
        self.servers.append(start([NGINX_BIN, "-e", self.path("nginx", "error.log"), "-p",
                                   self.path("nginx"), "-c", self.path("nginx", "nginx.conf"),
                                   "-g", "daemon off;"], self.target, "nginx"))

        ini = "[Forward]\nTargetServer=127.0.0.1\nTargetPort=%d\nTimeout=120\n" % self.target
        cgi = self.path("cgi-bin")
        self.add_gateway("nph-gw", ini)
        self.add_gateway("nph-gw-stream", ini + "Streaming=1\n")
        self.start_event_target()
        # E: the Python proxy, pointed at nginx.
        with open(os.path.join(HERE, "python_proxy.py")) as source:
            text = source.read().replace("#!/usr/bin/python3", "#!" + CGI_PYTHON, 1)
        text = re.sub(r"^TARGET_PORT = \d+$", "TARGET_PORT = %d" % self.target, text, 1, re.M)
        write(os.path.join(cgi, "python-proxy"), text.encode(), 0o755)
        timed(os.path.join(cgi, "python-proxy-mem"), self.path("mem", "python-proxy"), CGI_PYTHON,
              os.path.join(cgi, "python-proxy"))

        user = "User %s\nGroup %s" % (self.user, self.user) if self.user else ""
        write(self.path("apache", "httpd.conf"), APACHE_CONF.format(
            root=self.root, port=self.apache, modules=APACHE_MODULES, target=self.target,
            unbuffered=self.unbuffered, user=user).encode())
        self.servers.append(start([APACHE_BIN, "-f", self.path("apache", "httpd.conf"),
                                   "-DFOREGROUND"], self.apache, "apache2"))

        # C writes as many bytes as the gateway relays for the small file.
        code, size, _ = self.curl(self.url("D", "small.bin"), "small-D")
        if code != 200:
            raise BenchError("the gateway did not relay nginx's small file (%s)" % code)
        self.reply_size = size
        subprocess.run(["cc", "-O2", "-DREPLY_SIZE=%d" % size, "-o",
                        os.path.join(cgi, "nph-trivial"), os.path.join(HERE, "trivial_nph.c")],
                       check=True)
        for way in SMALL_WAYS:
            code, _, _ = self.curl(self.url(way, "small.bin"), "small-" + way)
            expected = hashlib.sha256(b"b" * KiB).hexdigest() if way == "C" else self.sha["small"]
            if code != 200 or sha256_file(self.path("out", "small-" + way)) != expected:
                raise BenchError("%s did not serve the 1 KiB file (%s); see %s"
                                 % (way, code, self.root))

    def start_event_target(self):
        """bench/event_target.py, and the gateway in front of it: as CGI
        (nph-gw-events, default settings) and in FastCGI mode (fcgi/events.fcgi)."""
        def die_with_parent():
            ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
        count = 3 if self.args.smoke else 40
        process = subprocess.Popen([sys.executable, os.path.join(HERE, "event_target.py"),
                                    str(count), "0.05"], stdout=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL, start_new_session=True,
                                   preexec_fn=die_with_parent)
        self.servers.append(process)
        self.events = int(process.stdout.readline())
        ini = "[Forward]\nTargetPort=%d\n" % self.events
        self.add_gateway("nph-gw-events", ini)
        shutil.copyfile(self.gateway, self.path("fcgi", "events.fcgi"))
        os.chmod(self.path("fcgi", "events.fcgi"), 0o755)
        write(self.path("fcgi", "events.ini"), ini.encode())

    def curl(self, url, out, upload=None):
        """One transfer into out/`out`: (HTTP status, the reply's size, header
        included, seconds)."""
        command = ["curl", "-s", "-o", self.path("out", out), "--max-time", "300",
                   "-w", "%{http_code} %{size_download} %{size_header} %{time_total}"]
        if upload:
            command += ["-T", upload, "-X", "POST", "-H", "Expect:"]
        done = subprocess.run(command + [url], capture_output=True, text=True)
        parts = [float(p) for p in done.stdout.split()] if done.returncode == 0 else [0, 0, 0, 0]
        return int(parts[0]), int(parts[1] + parts[2]), parts[3]

    def checked(self, url, kind, upload=None):
        """Seconds of one transfer whose bytes arrived whole, else None."""
        code, _, seconds = self.curl(url, "checked", upload)
        out = self.path("out", "checked")
        if upload:  # nginx names the file the body went to
            with open(out) as reply:
                out = reply.read().strip()
        good = code == 200 and os.path.isfile(out) and sha256_file(out) == self.sha[kind]
        if os.path.isfile(out):
            os.unlink(out)
        return seconds if good else None

    def transfer_times(self, kinds):
        """Median seconds per way for each (kind, B's url, D's url, upload),
        the ways taking turns; None when a transfer went wrong."""
        for kind, urls, upload in kinds:
            runs = {way: [] for way in urls}
            for number in range(self.args.transfers):
                for way in (sorted(urls) if number % 2 == 0 else sorted(urls, reverse=True)):
                    log("%s through %s" % (kind, LABELS[way]))
                    runs[way].append(self.checked(urls[way], kind, upload))
            self.times[kind] = {way: None if None in r else statistics.median(r)
                                for way, r in runs.items()}

    def event_delays(self, url):
        """Milliseconds from each event leaving the target to its arrival
        here, over HTTP/1.0 (no chunks to take apart)."""
        host, port, path = re.match(r"http://([^:/]+):(\d+)(/.*)", url).groups()
        delays, rest = [], b""
        with socket.create_connection((host, int(port)), timeout=30) as conn:
            conn.sendall(b"GET %s HTTP/1.0\r\nHost: %s\r\n\r\n" % (path.encode(), host.encode()))
            while True:
                piece = conn.recv(65536)
                now = time.monotonic()
                if not piece:
                    break
                rest += piece
                for sent in re.findall(rb"data: ([\d.]+)\n\n", rest):
                    delays.append((now - float(sent)) * 1000)
                rest = rest[rest.rfind(b"\n\n") + 2:] if b"\n\n" in rest else rest
        return delays

    def event_latency(self):
        self.latency = {}
        for way, url in (
                ("target", "http://127.0.0.1:%d/" % self.events),
                ("D", self.url("D", "").replace("nph-gw/", "nph-gw-events/")),
                ("F", "http://127.0.0.1:%d/fcgi/events.fcgi/" % self.apache),
                ("F0", "http://127.0.0.1:%d/fcgi/events.fcgi/" % self.unbuffered)):
            log("event latency: %s" % way)
            self.event_delays(url)  # mod_fcgid starts its process on the first request
            self.latency[way] = self.event_delays(url)

    def wrk(self, url, connections, seconds):
        done = subprocess.run(["wrk", "-t%d" % min(connections, 2), "-c%d" % connections,
                               "-d%ds" % seconds, "--timeout", "10s", url],
                              capture_output=True, text=True)
        found = re.search(r"Requests/sec:\s+([\d.]+)", done.stdout)
        if re.search(r"Non-2xx|connect [1-9]|timeout [1-9]", done.stdout):
            self.notes.append("%s at c=%d: failed requests" % (url, connections))
        return float(found.group(1)) if found else float("nan")

    def small_replies(self):
        """Requests per second at 1 and 4 connections, the second round in reverse order."""
        self.rounds = []
        for number in range(self.args.rounds):
            order = SMALL_WAYS if number % 2 == 0 else SMALL_WAYS[::-1]
            figures = {}
            for way in order:
                seconds = self.args.python_seconds if way == "E" else self.args.seconds
                if not self.args.smoke:
                    self.wrk(self.url(way, "small.bin"), 4, 1)  # warms Apache's threads
                log("round %d: %s, %d s per figure" % (number + 1, LABELS[way], seconds))
                figures[way] = {c: self.wrk(self.url(way, "small.bin"), c, seconds)
                                for c in (1, 4)}
            self.rounds.append((order, figures))

    def peak(self, name, url, kind, upload=None):
        """The peak resident memory (KiB) of one transfer, or None when it went wrong."""
        record = self.path("mem", name)
        if os.path.exists(record):
            os.unlink(record)
        return None if self.checked(url, kind, upload) is None else read_peak(record)

    def measure_memory(self):
        self.memory = {}
        for way, name in (("D", "nph-gw"), ("D-s", "nph-gw-stream"), ("E", "python-proxy")):
            log("peak memory: %s" % LABELS[way])
            self.memory[way] = {
                "small": self.peak(name, self.url(way + "mem", "small.bin"), "small"),
                "download": self.peak(name, self.url(way + "mem", "large.bin"), "download"),
                "upload": self.peak(name, self.url(way + "mem", "upload"), "upload",
                                    self.path("www", "upload.bin"))}
        if self.args.no_gib:
            return
        if shutil.disk_usage(self.root).free < 3 * SIZES["gib"]:
            raise BenchError("less than 3 GiB free for the 1 GiB transfers (--no-gib skips them)")
        source = self.path("www", "gib.bin")
        # 1 GiB of one random MiB, each copy numbered, so that a block lost,
        # repeated or out of order changes the digest.
        block, digest = bytearray(os.urandom(MiB)), hashlib.sha256()
        with open(source, "wb") as out:
            for number in range(SIZES["gib"] // MiB):
                block[:8] = number.to_bytes(8, "big")
                out.write(block)
                digest.update(block)
        os.chmod(source, 0o644)
        self.sha["gib"] = digest.hexdigest()
        log("peak memory: 1 GiB through %s" % LABELS["D"])
        try:
            self.memory["gib"] = (
                self.peak("nph-gw", self.url("Dmem", "gib.bin"), "gib"),
                self.peak("nph-gw", self.url("Dmem", "upload"), "gib", source))
            self.transfer_times([("gib", {"B": self.url("B", "gib.bin"),
                                          "D": self.url("D", "gib.bin")}, None)])
        finally:
            os.unlink(source)

    def count_instructions(self):
        self.instructions = {}
        for way, command in (("C", [self.path("cgi-bin", "nph-trivial")]),
                             ("D", [self.path("cgi-bin", "nph-gw")]),
                             ("E", [CGI_PYTHON, self.path("cgi-bin", "python-proxy")])):
            if not (self.args.smoke and way == "E"):  # Python takes 9 s under callgrind
                self.instructions[way] = self.instructions_of(way, command)

    def instructions_of(self, way, command):
        """Instructions of one whole run (valgrind callgrind) with a browser's
        CGI variables; its reply must be the small file (C: any)."""
        environment = {
            "PATH": "/usr/bin:/bin", "GATEWAY_INTERFACE": "CGI/1.1",
            "SERVER_SOFTWARE": "Apache/2.4", "SERVER_NAME": "127.0.0.1", "SERVER_PORT": "80",
            "SERVER_PROTOCOL": "HTTP/1.1", "REQUEST_METHOD": "GET",
            "SCRIPT_NAME": "/cgi-bin/" + os.path.basename(command[-1]),
            "SCRIPT_FILENAME": command[-1], "PATH_INFO": "/small.bin",
            "QUERY_STRING": "lang=en&page=2", "REMOTE_ADDR": "127.0.0.1",
            "HTTP_HOST": "127.0.0.1", "HTTP_USER_AGENT": "Mozilla/5.0 (X11; Linux x86_64)",
            "HTTP_ACCEPT": "text/html,application/xhtml+xml,*/*;q=0.8",
            "HTTP_ACCEPT_LANGUAGE": "en-US,en;q=0.5", "HTTP_ACCEPT_ENCODING": "gzip",
            "HTTP_COOKIE": "session=4f2a9c81d0e3b7a6; theme=dark"}
        profile = self.path("out", "callgrind." + way)
        done = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + profile] + command,
            env=environment, capture_output=True, cwd=self.path("cgi-bin"),
            stdin=subprocess.DEVNULL, timeout=300)
        body = done.stdout.partition(b"\r\n\r\n")[2]
        if way != "C" and hashlib.sha256(body).hexdigest() != self.sha["small"]:
            raise BenchError("%s answered wrongly under callgrind" % LABELS[way])
        with open(profile) as text:
            return int(re.search(r"^(?:summary|totals): (\d+)", text.read(), re.M).group(1))

    def run(self):
        started = time.time()
        self.notes, load_before = [], os.getloadavg()
        self.prepare()
        self.count_instructions()
        self.small_replies()
        self.times = {}
        self.transfer_times([
            ("download", {w: self.url(w, "large.bin") for w in "BD"}, None),
            ("upload", {w: self.url(w, "upload") for w in "BD"}, self.path("www", "upload.bin"))])
        self.event_latency()
        self.measure_memory()
        self.elapsed, self.load = time.time() - started, (load_before, os.getloadavg())
        return self.report()

    def report(self):
        def mib(kib):
            return "%.1f MiB" % (kib / 1024.0) if kib else "failed"
        lines = ["## Benchmark results", "",
                 "Run %s, %.0f s, by `bench/run.sh`; %d CPUs, Linux %s, load average %.2f at the "
                 "start, %.2f at the end. Gateway: `%s`." % (
                     datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), self.elapsed,
                     os.cpu_count() or 0, platform.release(), self.load[0][0], self.load[1][0],
                     os.path.relpath(self.gateway, REPO)), "",
                 "Ways to the target (nginx): B Apache mod_proxy; C a trivial NPH CGI program in C "
                 "with a fixed reply of the same size; D nph-gw; E a plain Python CGI proxy "
                 "(bench/python_proxy.py); D-s nph-gw with Streaming=1. Apache 2.4 runs mpm_event "
                 "with mod_cgid.", "",
                 "### 1 KiB file (%d-byte reply), requests per second, wrk" % self.reply_size, "",
                 "%d s per figure (E: %d s), `wrk -c1` and `wrk -c4`." % (
                     self.args.seconds, self.args.python_seconds), "",
                 "| Round | Way | c=1 | c=4 |", "|---|---|---:|---:|"]
        for number, (order, figures) in enumerate(self.rounds, 1):
            lines += ["| %d | %s %s | %.0f | %.0f |" % (number, way, LABELS[way], figures[way][1],
                                                        figures[way][4]) for way in order]
        lines += ["", "Cost per request relative to D (C req/s / D req/s, and so on; below 1 "
                  "means D is cheaper):", "", "| Round | c | D/C | D/B | D/E |",
                  "|---|---:|---:|---:|---:|"]
        for number, (_, figures) in enumerate(self.rounds, 1):
            for c in (1, 4):
                d = figures["D"][c]
                lines.append("| %d | %d | %.2f | %.2f | %.3f |" % (
                    number, c, figures["C"][c] / d, figures["B"][c] / d, figures["E"][c] / d))
        lines += ["", "### Instructions per request (valgrind callgrind, whole process)", "",
                  "| Program | Instructions | vs C |", "|---|---:|---:|"]
        count = self.instructions
        lines += ["| %s %s | %s | %.2f |" % (way, LABELS[way], "{:,}".format(count[way]),
                                             count[way] / count["C"]) for way in count]
        lines += ["", "### Peak memory (maximum resident set, `/usr/bin/time -f %M`), one run", "",
                  "| Program | 1 KiB reply | 20 MiB download | 5 MiB upload |",
                  "|---|---:|---:|---:|"]
        lines += ["| %s %s | %s | %s | %s |" % (way, LABELS[way], mib(figures["small"]),
                                                mib(figures["download"]), mib(figures["upload"]))
                  for way, figures in self.memory.items() if way != "gib"]
        if "gib" in self.memory:
            lines += ["", "1 GiB through D, every byte checked: %s downloading, %s uploading."
                      % tuple(mib(kib) for kib in self.memory["gib"])]
        lines += ["", "### Transfers side by side, median of %d (the ways taking turns, every "
                  "byte checked)" % self.args.transfers, "",
                  "| Transfer | B mod_proxy | D nph-gw (defaults) | D / B |", "|---|---:|---:|---:|"]
        names = {"download": "20 MiB download", "upload": "5 MiB upload", "gib": "1 GiB download"}
        for kind, figures in self.times.items():
            b, d = figures["B"], figures["D"]
            rate = " (%.0f / %.0f MiB/s)" % (1024 / b, 1024 / d) if kind == "gib" and b and d else ""
            lines.append("| %s%s | %s | %s | %s |" % (
                names[kind], rate, "%.3f s" % b if b else "failed", "%.3f s" % d if d else "failed",
                "%.2f" % (d / b) if b and d else ""))
        lines += ["", "### Event latency: an event every 50 ms from bench/event_target.py, "
                  "milliseconds from its send to its arrival at the client", "",
                  "| From | Events | Median | Largest |", "|---|---:|---:|---:|"]
        names = {"target": "the target itself", "D": "D nph-gw (defaults), mod_cgid",
                 "F": "nph-gw in FastCGI mode, mod_fcgid as Debian sets it up",
                 "F0": "the same with FcgidOutputBufferSize 0"}
        for way, delays in self.latency.items():
            lines.append("| %s | %d | %s | %s |" % (
                names[way], len(delays), "%.1f" % statistics.median(delays) if delays else "-",
                "%.1f" % max(delays) if delays else "-"))
        lines += [""] + (["Notes: " + "; ".join(self.notes) + ".", ""] if self.notes else [])
        return "\n".join(lines)

    def cleanup(self):
        for server in reversed(self.servers):
            stop(server)
        if self.args.keep:
            log("kept %s" % self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--gateway",
                        default=os.environ.get("NPH_GW", os.path.join(REPO, "build", "nph-gw")))
    parser.add_argument("--seconds", type=int, default=10, help="wrk seconds per figure")
    parser.add_argument("--python-seconds", type=int, default=4, help="the same for E")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--transfers", type=int, default=5, help="runs per timed transfer")
    parser.add_argument("--no-gib", action="store_true", help="skip the 1 GiB transfers")
    parser.add_argument("--output", default=os.path.join(HERE, "results", "latest.md"))
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    parser.add_argument("--smoke", action="store_true",
                        help="every step once, briefly, writing nothing: that it still runs")
    args = parser.parse_args()
    if args.smoke:
        args.seconds = args.python_seconds = args.rounds = args.transfers = 1
        args.no_gib, args.output = True, None
    if not os.access(args.gateway, os.X_OK):
        log("no gateway at %s: build it first, or set NPH_GW" % args.gateway)
        return 2
    for tool in (APACHE_BIN, NGINX_BIN, NGINX_ECHO_MODULE, CGI_PYTHON, TIME_BIN, "wrk", "curl",
                 "valgrind", "cc"):
        if not (os.path.exists(tool) or shutil.which(tool)):
            log("missing %s: run scripts/install-bench-deps.sh" % tool)
            return 2
    bench = Bench(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    try:
        text = bench.run()
    except BenchError as error:
        log("benchmark failed: %s" % error)
        args.keep = True
        return 1
    finally:
        bench.cleanup()
    print(text)
    if args.output:
        with open(args.output, "w") as out:
            out.write(text + "\n")
        log("written to %s" % args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
