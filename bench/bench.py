#!/usr/bin/env python3
"""The side-by-side benchmark behind bench/run.sh (run that, not this).

On loopback, as child processes with their configurations in a temporary
folder, it starts nginx (the target) and Apache httpd (mpm_event + mod_cgid +
mod_proxy_http), then measures five ways to reach the target's files:

  A  the client straight to nginx
  B  Apache mod_proxy (ProxyPass) to nginx
  C  a trivial NPH CGI program in C writing a fixed reply of the same size
  D  nph-gw, forwarding to nginx
  E  a plain Python CGI reverse proxy (bench/python_proxy.py)

plus D-s, the same gateway with Streaming=1, for the large bodies and a 1 GiB
download and upload through B and D-s (skipped with --no-gib), and prints a
Markdown report, also written to bench/results/latest.md.
Servers are stopped by their own PID; nothing touches the system's services.
"""

import argparse
import ctypes
import datetime
import hashlib
import json
import os
import platform as host
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

APACHE_BIN = os.environ.get("APACHE_BIN", "/usr/sbin/apache2")
APACHE_MODULES = os.environ.get("APACHE_MODULES", "/usr/lib/apache2/modules")
NGINX_BIN = os.environ.get("NGINX_BIN", "/usr/sbin/nginx")
NGINX_ECHO_MODULE = os.environ.get("NGINX_ECHO_MODULE",
                                   "/usr/lib/nginx/modules/ngx_http_echo_module.so")
# CGI programs run with Apache's environment, not the caller's: the system's
# interpreter, named by its full path.
CGI_PYTHON = os.environ.get("CGI_PYTHON", "/usr/bin/python3")
TIME_BIN = "/usr/bin/time"

SMALL_SIZE = 1024
LARGE_SIZE = 20 * 1024 * 1024
UPLOAD_SIZE = 5 * 1024 * 1024
GIB_SIZE = 1024 * 1024 * 1024
# With streaming, the gateway's memory must not grow with the transfer.
STREAM_MEMORY_LIMIT_KIB = 8 * 1024

# The ways measured with large bodies.
LARGE_WAYS = ("B", "D", "Ds", "E")

LABELS = {
    "A": "nginx direct",
    "B": "Apache mod_proxy",
    "C": "trivial NPH CGI (C)",
    "D": "nph-gw",
    "E": "Python CGI proxy",
    "Ds": "nph-gw, Streaming=1",
}


def way_name(way):
    """The way's letter as the report prints it."""
    return "D-s" if way == "Ds" else way


def way_title(way):
    return "%s %s" % (way_name(way), LABELS[way])


def log(message):
    print(message, file=sys.stderr, flush=True)


class BenchError(Exception):
    pass


# Processes -------------------------------------------------------------------

_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    """In the child before exec: a server outlives no killed benchmark."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)
    except (OSError, AttributeError):
        pass


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, process, what, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise BenchError("%s exited with code %s" % (what, process.returncode))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise BenchError("%s did not listen on port %d" % (what, port))


def stop_process(process):
    """SIGTERM to the server's own PID; its group only if it hangs."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(15)
    except subprocess.TimeoutExpired:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait(5)


def server_user():
    """Servers started as root hand their workers to an ordinary user."""
    if os.geteuid() != 0:
        return None
    for name in ("www-data", "nobody"):
        try:
            pwd.getpwnam(name)
            return name
        except KeyError:
            continue
    raise BenchError("running as root, but neither www-data nor nobody exists")


NGINX_CONF = """# Written by bench/run.sh; nothing here touches the system's nginx.
{user_line}
worker_processes 1;
pid {root}/nginx.pid;
error_log {root}/nginx/error.log warn;
load_module {echo_module};
events {{ worker_connections 1024; }}
http {{
    access_log off;
    default_type application/octet-stream;
    sendfile on;
    keepalive_requests 100000;
    client_body_temp_path {root}/nginx/body;
    proxy_temp_path {root}/nginx/proxy;
    fastcgi_temp_path {root}/nginx/fastcgi;
    uwsgi_temp_path {root}/nginx/uwsgi;
    scgi_temp_path {root}/nginx/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {root}/www;
        # The upload sink: the body is written to a file as it is read (so a
        # 1 GiB body is never held in memory), the file stays behind, and the
        # reply names it, so the benchmark checks the bytes that really
        # arrived.
        location = /upload {{
            client_max_body_size 2g;
            client_body_in_file_only on;
            echo_read_request_body;
            echo $request_body_file;
        }}
    }}
}}
"""

APACHE_CONF = """# Written by bench/run.sh; nothing here touches the system's Apache.
ServerRoot "{root}/apache"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile "{root}/apache/run/httpd.pid"
DefaultRuntimeDir "{root}/apache/run"
Mutex file:{root}/apache/run default
ErrorLog "{root}/apache/error.log"
LogLevel warn
{user_lines}
LoadModule mpm_event_module {modules}/mod_mpm_event.so
LoadModule cgid_module {modules}/mod_cgid.so
LoadModule alias_module {modules}/mod_alias.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule proxy_module {modules}/mod_proxy.so
LoadModule proxy_http_module {modules}/mod_proxy_http.so
ScriptSock "{root}/apache/run/cgid.sock"

# Debian's defaults (apache2.conf, mods-available/mpm_event.conf).
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
# Since 2.4.54 a body is limited to 1 GiB by default; the largest upload is
# exactly that, and the limit is not what is measured.
LimitRequestBody 0

DocumentRoot "{root}/apache/htdocs"
<Directory />
    Require all denied
</Directory>

ScriptAlias /cgi-bin/ "{root}/cgi-bin/"
<Directory "{root}/cgi-bin">
    Options +ExecCGI
    Require all granted
</Directory>

ProxyPass /proxy/ http://127.0.0.1:{nginx_port}/
ProxyPassReverse /proxy/ http://127.0.0.1:{nginx_port}/
<Location /proxy/>
    Require all granted
</Location>
"""


class Servers:
    def __init__(self, root):
        self.root = root
        self.nginx = None
        self.apache = None
        self.nginx_port = free_port()
        self.apache_port = free_port()
        self.user = server_user()

    def start_nginx(self):
        os.makedirs(os.path.join(self.root, "nginx"), exist_ok=True)
        conf = os.path.join(self.root, "nginx", "nginx.conf")
        with open(conf, "w") as out:
            out.write(NGINX_CONF.format(
                root=self.root, port=self.nginx_port, echo_module=NGINX_ECHO_MODULE,
                user_line="user %s;" % self.user if self.user else ""))
        error_log = os.path.join(self.root, "nginx", "error.log")
        with open(os.path.join(self.root, "nginx", "stderr.log"), "w") as stderr:
            self.nginx = subprocess.Popen(
                [NGINX_BIN, "-e", error_log, "-p", os.path.join(self.root, "nginx"),
                 "-c", conf, "-g", "daemon off;"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr,
                start_new_session=True, preexec_fn=_die_with_parent)
        wait_for_port(self.nginx_port, self.nginx, "nginx")

    def start_apache(self):
        for sub in ("run", "htdocs"):
            os.makedirs(os.path.join(self.root, "apache", sub), exist_ok=True)
        conf = os.path.join(self.root, "apache", "httpd.conf")
        user_lines = ""
        if self.user:
            user_lines = "User %s\nGroup %s\n" % (self.user, self.user)
        with open(conf, "w") as out:
            out.write(APACHE_CONF.format(
                root=self.root, port=self.apache_port, modules=APACHE_MODULES,
                nginx_port=self.nginx_port, user_lines=user_lines))
        check = subprocess.run([APACHE_BIN, "-t", "-f", conf], capture_output=True, text=True)
        if check.returncode != 0:
            raise BenchError("apache2 -t failed:\n%s%s" % (check.stdout, check.stderr))
        with open(os.path.join(self.root, "apache", "stderr.log"), "w") as stderr:
            self.apache = subprocess.Popen(
                [APACHE_BIN, "-f", conf, "-DFOREGROUND"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr,
                start_new_session=True, preexec_fn=_die_with_parent)
        wait_for_port(self.apache_port, self.apache, "apache2")

    def stop(self):
        stop_process(self.apache)
        stop_process(self.nginx)


# Set-up ----------------------------------------------------------------------

def write_file(path, data, mode=0o644):
    with open(path, "wb") as out:
        out.write(data)
    os.chmod(path, mode)


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def raw_get(port, path):
    """A GET as wrk sends it; the reply up to the server's close."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as connection:
        connection.sendall(b"GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n"
                           % (path.encode(), port))
        reply = b""
        while True:
            piece = connection.recv(65536)
            if not piece:
                return reply
            reply += piece


def typical_cgi_environment(script, path_info, query="lang=en&page=2"):
    """About fifteen variables, as Apache sets them for a browser's GET."""
    return {
        "PATH": "/usr/local/bin:/usr/bin:/bin",
        "GATEWAY_INTERFACE": "CGI/1.1",
        "SERVER_SOFTWARE": "Apache/2.4",
        "SERVER_NAME": "127.0.0.1",
        "SERVER_ADDR": "127.0.0.1",
        "SERVER_PORT": "80",
        "SERVER_PROTOCOL": "HTTP/1.1",
        "REQUEST_METHOD": "GET",
        "REQUEST_URI": "/cgi-bin/%s%s?%s" % (os.path.basename(script), path_info, query),
        "SCRIPT_NAME": "/cgi-bin/" + os.path.basename(script),
        "SCRIPT_FILENAME": script,
        "PATH_INFO": path_info,
        "QUERY_STRING": query,
        "REMOTE_ADDR": "127.0.0.1",
        "REMOTE_PORT": "51234",
        "HTTP_HOST": "127.0.0.1",
        "HTTP_USER_AGENT": "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0",
        "HTTP_ACCEPT": "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",
        "HTTP_ACCEPT_LANGUAGE": "en-US,en;q=0.5",
        "HTTP_ACCEPT_ENCODING": "gzip, deflate",
        "HTTP_CONNECTION": "keep-alive",
        "HTTP_COOKIE": "session=4f2a9c81d0e3b7a6; theme=dark",
    }


class Bench:
    def __init__(self, args):
        self.args = args
        self.gateway = os.path.abspath(args.gateway)
        self.root = tempfile.mkdtemp(prefix="nph-gw-bench-")
        # Workers running as another user must reach every file below.
        os.chmod(self.root, 0o755)
        self.servers = Servers(self.root)
        self.results = {}
        self.notes = []
        self.variant = os.path.abspath(args.variant) if args.variant else None
        if self.variant:
            LABELS["F"] = "nph-gw, " + args.variant_label
        # The ways measured with small replies, in the first round's order.
        self.small_ways = "ABCDFE" if self.variant else "ABCDE"

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    @property
    def apache(self):
        return "http://127.0.0.1:%d" % self.servers.apache_port

    @property
    def nginx(self):
        return "http://127.0.0.1:%d" % self.servers.nginx_port

    def urls(self, name):
        """The URL of target file `name` (small.bin, large.bin, upload) per way."""
        return {
            "A": "%s/%s" % (self.nginx, name),
            "B": "%s/proxy/%s" % (self.apache, name),
            "C": "%s/cgi-bin/nph-trivial" % self.apache,
            "D": "%s/cgi-bin/nph-gw/%s" % (self.apache, name),
            "Ds": "%s/cgi-bin/nph-gw-stream/%s" % (self.apache, name),
            "E": "%s/cgi-bin/python-proxy/%s" % (self.apache, name),
            "F": "%s/cgi-bin/nph-gw-variant/%s" % (self.apache, name),
            "Dmem": "%s/cgi-bin/nph-gw-mem/%s" % (self.apache, name),
            "Dsmem": "%s/cgi-bin/nph-gw-stream-mem/%s" % (self.apache, name),
            "Emem": "%s/cgi-bin/python-proxy-mem/%s" % (self.apache, name),
        }

    # -- preparation ----------------------------------------------------------

    def prepare(self):
        for sub in ("www", "cgi-bin", "gw-mem", "mem", "out", "callgrind"):
            os.makedirs(self.path(sub), exist_ok=True)
            os.chmod(self.path(sub), 0o755)
        os.chmod(self.path("mem"), 0o777)  # the CGI user writes the peak figures
        write_file(self.path("www", "small.bin"), os.urandom(SMALL_SIZE))
        write_file(self.path("www", "large.bin"), os.urandom(LARGE_SIZE))
        write_file(self.path("upload.bin"), os.urandom(UPLOAD_SIZE))
        self.small_sha = sha256_file(self.path("www", "small.bin"))
        self.large_sha = sha256_file(self.path("www", "large.bin"))
        self.upload_sha = sha256_file(self.path("upload.bin"))

        log("starting nginx (target) on port %d" % self.servers.nginx_port)
        self.servers.start_nginx()

        ini = "[Forward]\nTargetServer=127.0.0.1\nTargetPort=%d\nTimeout=120\n" % (
            self.servers.nginx_port)
        cgi = self.path("cgi-bin")
        # D: the gateway as a user installs it, a copy with its settings beside it.
        shutil.copyfile(self.gateway, os.path.join(cgi, "nph-gw"))
        os.chmod(os.path.join(cgi, "nph-gw"), 0o755)
        write_file(os.path.join(cgi, "nph-gw.ini"), ini.encode())
        # D-s: a second copy under its own name, whose settings turn on
        # streaming.
        stream_ini = ini + "Streaming=1\n"
        shutil.copyfile(self.gateway, os.path.join(cgi, "nph-gw-stream"))
        os.chmod(os.path.join(cgi, "nph-gw-stream"), 0o755)
        write_file(os.path.join(cgi, "nph-gw-stream.ini"), stream_ini.encode())
        if self.variant:
            shutil.copyfile(self.variant, os.path.join(cgi, "nph-gw-variant"))
            os.chmod(os.path.join(cgi, "nph-gw-variant"), 0o755)
            write_file(os.path.join(cgi, "nph-gw-variant.ini"), ini.encode())
        # The same gateways under /usr/bin/time for their peak memory. The
        # settings file is found from the program's path, and that is argv[0]
        # when it is absolute: the wrapper starts it under its full path.
        for name, settings in (("nph-gw", ini), ("nph-gw-stream", stream_ini)):
            real = self.path("gw-mem", name)
            shutil.copyfile(self.gateway, real)
            os.chmod(real, 0o755)
            write_file(self.path("gw-mem", name + ".ini"), settings.encode())
            write_file(os.path.join(cgi, name + "-mem"),
                       ("#!/bin/sh\nexec %s -a -o %s -f %%M %s\n"
                        % (TIME_BIN, self.path("mem", name + ".txt"), real)).encode(), 0o755)

        # E: the Python proxy, pointed at nginx.
        with open(os.path.join(HERE, "python_proxy.py")) as source:
            text = source.read()
        text = text.replace("#!/usr/bin/python3", "#!" + CGI_PYTHON, 1)
        text = re.sub(r"^TARGET_PORT = \d+$", "TARGET_PORT = %d" % self.servers.nginx_port,
                      text, count=1, flags=re.M)
        write_file(os.path.join(cgi, "python-proxy"), text.encode(), 0o755)
        write_file(os.path.join(cgi, "python-proxy-mem"),
                   ("#!/bin/sh\nexec %s -a -o %s -f %%M %s %s\n"
                    % (TIME_BIN, self.path("mem", "python-proxy.txt"), CGI_PYTHON,
                       os.path.join(cgi, "python-proxy"))).encode(), 0o755)

        log("starting Apache httpd (mpm_event, mod_cgid, mod_proxy) on port %d"
            % self.servers.apache_port)
        self.servers.start_apache()

        # C: the trivial program writes as many bytes as the gateway relays
        # for the small file, asked the way wrk asks.
        reply = raw_get(self.servers.apache_port, "/cgi-bin/nph-gw/small.bin")
        head, _, body = reply.partition(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 200") or hashlib.sha256(body).hexdigest() != self.small_sha:
            raise BenchError("the gateway did not relay nginx's small file: %r" % reply[:300])
        self.small_reply_size = len(reply)
        subprocess.run(["cc", "-O2", "-DREPLY_SIZE=%d" % len(reply), "-o",
                        os.path.join(cgi, "nph-trivial"), os.path.join(HERE, "trivial_nph.c")],
                       check=True)
        self.check_small_replies()

    def curl(self, url, output, upload=None, streamed=False):
        """One transfer; returns (http code, bytes received, seconds).

        `streamed` sends the upload from the file as it is read (-T) rather
        than loaded whole into curl's memory first (--data-binary)."""
        command = ["curl", "-s", "-o", output, "--max-time", "300",
                   "-w", "%{http_code} %{size_download} %{time_total}"]
        if upload:
            command += ["-X", "POST"]
            command += ["-T", upload] if streamed else ["--data-binary", "@" + upload]
            command += ["-H", "Content-Type: application/octet-stream", "-H", "Expect:"]
        done = subprocess.run(command + [url], capture_output=True, text=True)
        parts = done.stdout.split()
        if done.returncode != 0 or len(parts) != 3:
            return 0, 0, float("nan")
        return int(parts[0]), int(parts[1]), float(parts[2])

    def check_small_replies(self):
        """Every way must serve the right bytes before anything is timed."""
        urls = self.urls("small.bin")
        for way in self.small_ways:
            out = self.path("out", "small-%s" % way)
            code, size, _ = self.curl(urls[way], out)
            expected = hashlib.sha256(b"b" * SMALL_SIZE).hexdigest() if way == "C" else self.small_sha
            if code != 200 or sha256_file(out) != expected:
                raise BenchError("%s (%s) answered %s with %d bytes; see %s"
                                 % (way, urls[way], code, size, self.root))
        log("every way serves the 1 KiB file correctly (reply of %d bytes through the gateway)"
            % self.small_reply_size)

    # -- small replies -----------------------------------------------------------

    def wrk(self, url, connections, seconds):
        threads = 1 if connections == 1 else 2
        command = ["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % seconds,
                   "--latency", "--timeout", "10s", url]
        text = subprocess.run(command, capture_output=True, text=True).stdout
        result = {"rps": float("nan"), "p50": float("nan"), "p99": float("nan"),
                  "requests": 0, "errors": 0, "non2xx": 0}
        found = re.search(r"Requests/sec:\s+([\d.]+)", text)
        if found:
            result["rps"] = float(found.group(1))
        for percent in ("50", "99"):
            found = re.search(r"^\s+%s%%\s+([\d.]+)(us|ms|s)\s*$" % percent, text, re.M)
            if found:
                scale = {"us": 0.001, "ms": 1.0, "s": 1000.0}[found.group(2)]
                result["p" + percent] = float(found.group(1)) * scale
        found = re.search(r"(\d+) requests in", text)
        if found:
            result["requests"] = int(found.group(1))
        found = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
        if found:
            # A read error is wrk seeing the server close a finished
            # HTTP/1.0 reply's connection; only the others are failures.
            result["errors"] = int(found.group(1)) + int(found.group(3)) + int(found.group(4))
        found = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
        if found:
            result["non2xx"] = int(found.group(1))
        return result

    def small_replies(self):
        urls = self.urls("small.bin")
        rounds = []
        for number in range(1, self.args.rounds + 1):
            order = self.small_ways if number % 2 == 1 else self.small_ways[::-1]
            figures = {}
            for way in order:
                seconds = self.args.python_seconds if way == "E" else self.args.seconds
                # Warm Apache's threads and the page cache before the figure.
                self.wrk(urls[way], 4, 1)
                figures[way] = {}
                for connections in (1, 4):
                    log("round %d: %s (%s), concurrency %d, %d s"
                        % (number, way, LABELS[way], connections, seconds))
                    figure = self.wrk(urls[way], connections, seconds)
                    figures[way][connections] = figure
                    if figure["errors"] or figure["non2xx"]:
                        self.notes.append("round %d, %s at c=%d: %d socket errors, %d non-2xx replies"
                                          % (number, way, connections, figure["errors"],
                                             figure["non2xx"]))
            rounds.append((order, figures))
        self.results["small"] = rounds

    # -- large bodies -------------------------------------------------------------

    def upload_check(self, reply_path, expected=None):
        """nginx's reply names the file its body went to; hash that file."""
        try:
            with open(reply_path) as reply:
                stored = reply.read().strip()
        except OSError:
            return False
        if not stored.startswith(self.path("nginx")) or not os.path.isfile(stored):
            return False
        good = sha256_file(stored) == (expected or self.upload_sha)
        os.unlink(stored)
        return good

    def peak_memory(self, record):
        """The last figure /usr/bin/time wrote to mem/<record>, in KiB."""
        try:
            with open(self.path("mem", record)) as record_file:
                numbers = re.findall(r"^(\d+)$", record_file.read(), re.M)
                return int(numbers[-1]) if numbers else None
        except OSError:
            return None

    def forget_peak(self, record):
        if os.path.exists(self.path("mem", record)):
            os.unlink(self.path("mem", record))

    def large_bodies(self):
        large = self.urls("large.bin")
        upload = self.urls("upload")
        ways = LARGE_WAYS
        figures = {way: {"download": [], "upload": []} for way in ways}
        for attempt in range(self.args.repeats):
            for way in ways:
                out = self.path("out", "large-%s" % way)
                code, size, seconds = self.curl(large[way], out)
                good = code == 200 and size == LARGE_SIZE and sha256_file(out) == self.large_sha
                figures[way]["download"].append((seconds, good))
                os.unlink(out)
            for way in ways:
                out = self.path("out", "upload-%s" % way)
                code, size, seconds = self.curl(upload[way], out, upload=self.path("upload.bin"))
                figures[way]["upload"].append((seconds, code == 200 and self.upload_check(out)))
        for way in ways:
            log("%s: 20 MiB down %s; 5 MiB up %s" % (way_name(way), ", ".join(
                "%.3fs%s" % (s, "" if g else " FAILED") for s, g in figures[way]["download"]),
                ", ".join("%.3fs%s" % (s, "" if g else " FAILED")
                          for s, g in figures[way]["upload"])))
        self.results["large"] = figures

        # Peak memory (maximum resident set) of one run of the gateways and of
        # the Python proxy, each fetching each size once.
        memory = {}
        for way, record in (("Dmem", "nph-gw.txt"), ("Dsmem", "nph-gw-stream.txt"),
                            ("Emem", "python-proxy.txt")):
            figures = {}
            for kind in ("small", "download", "upload"):
                self.forget_peak(record)
                out = self.path("out", "mem-%s-%s" % (way, kind))
                if kind == "small":
                    code, size, _ = self.curl(self.urls("small.bin")[way], out)
                    good = code == 200 and sha256_file(out) == self.small_sha
                elif kind == "download":
                    code, size, _ = self.curl(large[way], out)
                    good = code == 200 and sha256_file(out) == self.large_sha
                else:
                    code, size, _ = self.curl(upload[way], out, upload=self.path("upload.bin"))
                    good = code == 200 and self.upload_check(out)
                figures[kind] = (self.peak_memory(record), good)
            memory[way[:-len("mem")]] = figures
        self.results["memory"] = memory

    # -- 1 GiB, streamed ----------------------------------------------------------

    def make_gib_file(self, path):
        """1 GiB of one random 1 MiB block, each copy numbered so that a block
        lost, repeated or out of order changes the digest. Returns the digest."""
        block = bytearray(os.urandom(1 << 20))
        digest = hashlib.sha256()
        with open(path, "wb") as out:
            for number in range(GIB_SIZE >> 20):
                block[:8] = number.to_bytes(8, "big")
                out.write(block)
                digest.update(block)
        os.chmod(path, 0o644)
        return digest.hexdigest()

    def gib_transfers(self):
        """A 1 GiB download and upload through B and D-s. D-s runs under
        /usr/bin/time, so each transfer also gives the gateway's peak memory."""
        if self.args.no_gib:
            self.results["gib"] = None
            return
        # At most the file and one copy of it (downloaded or stored) at a time.
        if shutil.disk_usage(self.root).free < 3 * GIB_SIZE:
            raise BenchError("less than 3 GiB free in %s for the 1 GiB transfers "
                             "(--no-gib skips them)" % os.path.dirname(self.root))
        source = self.path("www", "gib.bin")
        started = time.monotonic()
        try:
            gib_sha = self.make_gib_file(source)
            log("1 GiB file written in %.1f s" % (time.monotonic() - started))
            downloads = {"B": self.urls("gib.bin")["B"], "Ds": self.urls("gib.bin")["Dsmem"]}
            uploads = {"B": self.urls("upload")["B"], "Ds": self.urls("upload")["Dsmem"]}
            record = "nph-gw-stream.txt"
            figures = {way: {"download": [], "upload": []} for way in downloads}
            for attempt in range(self.args.gib_repeats):
                order = ("B", "Ds") if attempt % 2 == 0 else ("Ds", "B")
                for kind in ("download", "upload"):
                    for way in order:
                        self.forget_peak(record)
                        out = self.path("out", "gib-%s-%s" % (kind, way))
                        if kind == "download":
                            code, size, seconds = self.curl(downloads[way], out)
                            good = (code == 200 and size == GIB_SIZE
                                    and sha256_file(out) == gib_sha)
                        else:
                            code, size, seconds = self.curl(uploads[way], out, upload=source,
                                                            streamed=True)
                            good = code == 200 and self.upload_check(out, gib_sha)
                        if os.path.exists(out):
                            os.unlink(out)
                        peak = self.peak_memory(record) if way == "Ds" else None
                        figures[way][kind].append((seconds, good, peak))
                        log("1 GiB %s, %s: %.2f s%s%s" % (
                            kind, way_name(way), seconds,
                            ", peak %d KiB" % peak if peak else "", "" if good else " FAILED"))
        finally:
            # Neither the file nor what a failed upload left in the sink is
            # kept, whatever --keep says.
            if os.path.exists(source):
                os.unlink(source)
            for folder, _, names in os.walk(self.path("nginx", "body")):
                for name in names:
                    os.unlink(os.path.join(folder, name))
        self.results["gib"] = figures

    # -- instructions and system calls ----------------------------------------

    def run_counted(self, program, args, env, tool):
        if tool == "callgrind":
            out = self.path("callgrind", "callgrind.out.%s" % os.path.basename(program))
            command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + args
        else:
            out = self.path("callgrind", "strace.%s" % os.path.basename(program))
            command = ["strace", "-f", "-c", "-o", out] + args
        done = subprocess.run(command, env=env, capture_output=True, stdin=subprocess.DEVNULL,
                              timeout=300)
        reply = done.stdout
        if tool == "callgrind":
            total = None
            with open(out) as profile:
                for line in profile:
                    if line.startswith("summary:") or line.startswith("totals:"):
                        total = int(line.split()[1])
            return total, reply, out
        calls = None
        with open(out) as summary:
            for line in summary:
                fields = line.split()
                if fields and fields[-1] == "total":
                    # "% time, seconds, usecs/call, calls[, errors] total"
                    calls = int(fields[3])
        return calls, reply, out

    def counts(self):
        cgi = self.path("cgi-bin")
        gateway = os.path.join(cgi, "nph-gw")
        trivial = os.path.join(cgi, "nph-trivial")
        python_proxy = os.path.join(cgi, "python-proxy")
        figures = {}
        env = typical_cgi_environment(gateway, "/small.bin")
        instr, reply, profile = self.run_counted(gateway, [gateway], env, "callgrind")
        if hashlib.sha256(reply.partition(b"\r\n\r\n")[2]).hexdigest() != self.small_sha:
            raise BenchError("the gateway's reply under callgrind was wrong")
        figures["D"] = instr
        self.gateway_parts = inclusive_costs(profile)
        env = typical_cgi_environment(trivial, "/small.bin")
        figures["C"], reply, _ = self.run_counted(trivial, [trivial], env, "callgrind")
        env = typical_cgi_environment(python_proxy, "/small.bin")
        figures["E"], reply, _ = self.run_counted(python_proxy, [CGI_PYTHON, python_proxy], env,
                                                  "callgrind")
        if hashlib.sha256(reply.partition(b"\r\n\r\n")[2]).hexdigest() != self.small_sha:
            raise BenchError("the Python proxy's reply under callgrind was wrong")
        if self.variant:
            variant = os.path.join(cgi, "nph-gw-variant")
            env = typical_cgi_environment(variant, "/small.bin")
            figures["F"], reply, _ = self.run_counted(variant, [variant], env, "callgrind")
            if hashlib.sha256(reply.partition(b"\r\n\r\n")[2]).hexdigest() != self.small_sha:
                raise BenchError("the second gateway's reply under callgrind was wrong")
        self.results["instructions"] = figures

        syscalls = {}
        if shutil.which("strace"):
            for label, path_info, program, args in (
                    ("C", "/small.bin", trivial, [trivial]),
                    ("D", "/small.bin", gateway, [gateway]),
                    ("D 20 MiB", "/large.bin", gateway, [gateway])):
                env = typical_cgi_environment(program, path_info)
                syscalls[label], _, _ = self.run_counted(program, args, env, "strace")
        self.results["syscalls"] = syscalls

    def micro(self):
        binary = self.args.micro_bench
        if not binary or not os.path.isfile(binary):
            self.results["micro"] = None
            return
        log("running %s" % binary)
        done = subprocess.run([binary, "--benchmark_format=json",
                               "--benchmark_min_time=%s" % self.args.micro_min_time],
                              capture_output=True, text=True, timeout=600)
        try:
            data = json.loads(done.stdout)
        except ValueError:
            self.notes.append("micro_bench produced no JSON (exit %d)" % done.returncode)
            self.results["micro"] = None
            return
        self.results["micro"] = data.get("benchmarks", [])

    # -- report ---------------------------------------------------------------

    def run(self):
        started = time.time()
        self.load_before = load_average()
        self.prepare()
        self.counts()
        self.small_replies()
        self.large_bodies()
        self.gib_transfers()
        self.micro()
        self.load_after = load_average()
        self.elapsed = time.time() - started
        return self.report()

    def report(self):
        lines = []
        add = lines.append
        add("## Benchmark results")
        add("")
        add("Run %s, %.0f s, by `bench/run.sh`." % (
            datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), self.elapsed))
        add("")
        add("Machine: %s; %d CPUs (nproc); Linux %s; load average %s at the start, %s at the end."
            % (cpu_model(), os.cpu_count() or 0, host.release(), self.load_before,
               self.load_after))
        add("Software: %s; %s; %s; %s." % (tool_version([APACHE_BIN, "-v"], r"Apache/[\d.]+"),
                                          tool_version([NGINX_BIN, "-v"], r"nginx/[\d.]+"),
                                          tool_version(["wrk", "-v"], r"wrk [^ ]+"),
                                          tool_version(["curl", "--version"], r"curl [\d.]+")))
        add("Gateway: `%s` (%s)." % (os.path.relpath(self.gateway, REPO)
                                     if self.gateway.startswith(REPO) else self.gateway,
                                     linkage(self.gateway)))
        add("")
        add("Ways to the target: A nginx direct; B Apache mod_proxy (ProxyPass); "
            "C a trivial NPH CGI program in C with a fixed reply of the same size; "
            "D nph-gw; E a plain Python CGI proxy (bench/python_proxy.py); "
            "D-s nph-gw with Streaming=1 (large bodies only). "
            "Apache %s runs mpm_event with mod_cgid; nginx one worker." % "2.4")
        add("")

        add("### Small replies (1 KiB file, %d-byte reply), wrk" % self.small_reply_size)
        add("")
        add("%d s per figure (E: %d s); `wrk -t1 -c1` and `wrk -t2 -c4`; latency in ms."
            % (self.args.seconds, self.args.python_seconds))
        add("")
        add("| Round | Way | c=1 req/s | c=1 p50 | c=1 p99 | c=4 req/s | c=4 p50 | c=4 p99 |")
        add("|---|---|---:|---:|---:|---:|---:|---:|")
        for number, (order, figures) in enumerate(self.results["small"], 1):
            for way in order:
                one, four = figures[way][1], figures[way][4]
                add("| %d | %s %s | %s | %s | %s | %s | %s | %s |" % (
                    number, way, LABELS[way], rate(one["rps"]), ms(one["p50"]), ms(one["p99"]),
                    rate(four["rps"]), ms(four["p50"]), ms(four["p99"])))
        add("")
        add("Cost ratios per request (the inverse of the throughput ratio: D/C = C req/s "
            "/ D req/s; below 1 means D is cheaper):")
        add("")
        extra = " F/C |" if self.variant else ""
        add("| Round | c | D/C | D/B | D/E |" + extra)
        add("|---|---:|---:|---:|---:|" + ("---:|" if self.variant else ""))
        self.ratios = []
        for number, (order, figures) in enumerate(self.results["small"], 1):
            for connections in (1, 4):
                d = figures["D"][connections]["rps"]
                ratio = {w: figures[w][connections]["rps"] / d if d else float("nan")
                         for w in "BCE"}
                self.ratios.append((number, connections, ratio))
                cells = "| %d | %d | %.2f | %.2f | %.3f |" % (number, connections, ratio["C"],
                                                             ratio["B"], ratio["E"])
                if self.variant:
                    f = figures["F"][connections]["rps"]
                    cells += " %.2f |" % (figures["C"][connections]["rps"] / f if f else float("nan"))
                add(cells)
        add("")

        add("### Large bodies, curl (median and best of %d, the ways taking turns; every "
            "transfer checked by SHA-256)" % self.args.repeats)
        add("")
        add("| Way | 20 MiB download | 5 MiB upload | checks |")
        add("|---|---:|---:|---|")
        large = self.results["large"]
        for way in LARGE_WAYS:
            down = [s for s, _ in large[way]["download"]]
            up = [s for s, _ in large[way]["upload"]]
            bad = sum(1 for _, g in large[way]["download"] + large[way]["upload"] if not g)
            add("| %s | %s | %s | %s |" % (way_title(way), secs(down), secs(up),
                                          "all good" if not bad else "%d FAILED" % bad))
        add("")
        memory = self.results["memory"]
        add("Peak memory (maximum resident set, `/usr/bin/time -f %M`) of one run:")
        add("")
        add("| Program | 1 KiB reply | 20 MiB download | 5 MiB upload |")
        add("|---|---:|---:|---:|")
        for way in ("D", "Ds", "E"):
            cells = []
            for kind in ("small", "download", "upload"):
                peak, good = memory[way][kind]
                cells.append(mib(peak) + ("" if good else " (transfer FAILED)"))
            add("| %s | %s |" % (way_title(way), " | ".join(cells)))
        add("")

        gib = self.results.get("gib")
        if gib:
            add("### 1 GiB transfers with streaming, curl (median and best of %d, the ways "
                "taking turns; every transfer checked by SHA-256)" % self.args.gib_repeats)
            add("")
            add("Upload: `curl -T` (read from the file as sent) to nginx, which writes the body "
                "to a file as it reads it. D-s runs under `/usr/bin/time -f %M` in every "
                "transfer; its peak is the largest of the runs.")
            add("")
            add("| Way | 1 GiB download | MiB/s | 1 GiB upload | MiB/s | "
                "Gateway peak memory, download / upload | checks |")
            add("|---|---:|---:|---:|---:|---:|---|")
            for way in ("B", "Ds"):
                down = [t for t, _, _ in gib[way]["download"]]
                up = [t for t, _, _ in gib[way]["upload"]]
                bad = sum(1 for _, g, _ in gib[way]["download"] + gib[way]["upload"] if not g)
                peaks = "n/a (inside Apache)" if way == "B" else "%s / %s" % (
                    mib(gib_peak(gib, way, "download")), mib(gib_peak(gib, way, "upload")))
                add("| %s | %s | %s | %s | %s | %s | %s |" % (
                    way_title(way), secs(down), throughput(GIB_SIZE, median(down)), secs(up),
                    throughput(GIB_SIZE, median(up)), peaks,
                    "all good" if not bad else "%d FAILED" % bad))
            add("")

        instr = self.results["instructions"]
        add("### Instructions per request (valgrind callgrind, one run with ~20 CGI variables)")
        add("")
        add("| Program | Instructions | vs C |")
        add("|---|---:|---:|")
        for way in "CDFE" if self.variant else "CDE":
            add("| %s %s | %s | %.2f |" % (way, LABELS[way], "{:,}".format(instr[way]),
                                           instr[way] / instr["C"]))
        add("")
        parts = self.gateway_parts
        inside = cost_of(parts, "main")
        if inside:
            add("Where the gateway's instructions go (inclusive): before and after `main` "
                "(loading, relocation, C library start-up and exit) %s; `main` %s, of which "
                "BuildRequest %s (environment lookups `getenv` %s), LoadForwardSettings %s, "
                "ExchangeWithTarget %s." % tuple("{:,}".format(v) for v in (
                    instr["D"] - inside, inside, cost_of(parts, "CgiForwarder::BuildRequest"),
                    cost_of(parts, "getenv"), cost_of(parts, "LoadForwardSettings"),
                    cost_of(parts, "CgiForwarder::ExchangeWithTarget"))))
            add("")
        if self.results["syscalls"]:
            add("System calls per run (`strace -c`): " + "; ".join(
                "%s %s" % (label, count) for label, count in self.results["syscalls"].items()) + ".")
            add("")

        if self.results.get("micro"):
            add("### In-process parts (Google Benchmark, bench/micro)")
            add("")
            add("| Benchmark | Time | CPU | Throughput |")
            add("|---|---:|---:|---:|")
            for entry in self.results["micro"]:
                if entry.get("run_type") == "aggregate":
                    continue
                unit = entry.get("time_unit", "ns")
                speed = entry.get("bytes_per_second")
                add("| %s | %s | %s | %s |" % (
                    entry["name"], duration(entry["real_time"], unit),
                    duration(entry["cpu_time"], unit),
                    "%.0f MiB/s" % (speed / 1048576.0) if speed else ""))
            add("")

        add("### Targets")
        add("")
        add("| Target | Figure | Met |")
        add("|---|---|---|")
        for connections in (1, 4):
            values = [r["C"] for n, c, r in self.ratios if c == connections]
            add("| D/C <= 1.10 at c=%d | %s | %s |" % (
                connections, ", ".join("%.2f" % v for v in values),
                yes(all(v <= 1.10 for v in values))))
        add("| Instructions <= trivial C CGI | %s vs %s | %s |" % (
            "{:,}".format(instr["D"]), "{:,}".format(instr["C"]), yes(instr["D"] <= instr["C"])))
        values = [r["E"] for n, c, r in self.ratios]
        add("| D/E <= 0.05 | %s | %s |" % (", ".join("%.3f" % v for v in values),
                                           yes(all(v <= 0.05 for v in values))))
        down_b = median([s for s, _ in large["B"]["download"]])
        up_b = median([s for s, _ in large["B"]["upload"]])
        for way in ("D", "Ds"):
            down = median([s for s, _ in large[way]["download"]])
            good = all(g for _, g in large[way]["download"])
            add("| 20 MiB download: %s no slower than B | %.3f s vs %.3f s | %s |"
                % (way_name(way), down, down_b, yes(good and down <= down_b)))
        for way in ("D", "Ds"):
            up = median([s for s, _ in large[way]["upload"]])
            good = all(g for _, g in large[way]["upload"])
            add("| 5 MiB upload: %s at most 1.5x B | %.3f s vs %.3f s (%.2fx) | %s |"
                % (way_name(way), up, up_b, up / up_b if up_b else float("nan"),
                   yes(good and up <= 1.5 * up_b)))
        for way in ("D", "Ds"):
            peak, good = memory[way]["download"]
            limit = (LARGE_SIZE + 4 * 1024 * 1024) / 1024.0
            add("| Peak memory of %s <= reply + 4 MiB | %s for a 20 MiB reply | %s |"
                % (way_name(way), mib(peak), yes(peak and good and peak <= limit)))
        if gib:
            for kind in ("download", "upload"):
                peak = gib_peak(gib, "Ds", kind)
                good = all(g for _, g, _ in gib["Ds"][kind])
                add("| 1 GiB %s, Streaming=1: peak memory of D-s <= 8 MiB | %s | %s |"
                    % (kind, mib(peak), yes(peak and good and peak <= STREAM_MEMORY_LIMIT_KIB)))
            speed = {way: GIB_SIZE / 1048576.0 / median([t for t, _, _ in gib[way]["download"]])
                     for way in ("B", "Ds")}
            good = all(g for way in ("B", "Ds") for _, g, _ in gib[way]["download"])
            add("| 1 GiB download: D-s throughput at least B's | %.0f MiB/s vs %.0f MiB/s "
                "(%.2fx) | %s |" % (speed["Ds"], speed["B"], speed["Ds"] / speed["B"],
                                    yes(good and speed["Ds"] >= speed["B"])))
        else:
            add("| 1 GiB download and upload, Streaming=1 | not run (--no-gib) | |")
        add("")
        if self.notes:
            add("Notes: " + "; ".join(self.notes) + ".")
            add("")
        return "\n".join(lines)

    def cleanup(self):
        self.servers.stop()
        if self.args.keep:
            log("kept %s" % self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


# Formatting ------------------------------------------------------------------

def rate(value):
    return "n/a" if value != value else ("%.0f" % value if value >= 100 else "%.1f" % value)


def ms(value):
    return "n/a" if value != value else ("%.2f" % value if value < 100 else "%.0f" % value)


def duration(value, unit):
    nanoseconds = value * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}.get(unit, 1)
    if nanoseconds >= 1e6:
        return "%.2f ms" % (nanoseconds / 1e6)
    if nanoseconds >= 1e4:
        return "%.1f µs" % (nanoseconds / 1e3)
    return "%.0f ns" % nanoseconds


def median(values):
    values = [v for v in values if v == v]
    return statistics.median(values) if values else float("nan")


def secs(values):
    values = [v for v in values if v == v]
    if not values:
        return "n/a"
    return "%.3f s (best %.3f)" % (median(values), min(values))


def mib(kib):
    return "%.1f MiB" % (kib / 1024.0) if kib else "n/a"


def throughput(size, seconds):
    return "n/a" if seconds != seconds or not seconds else "%.0f" % (size / 1048576.0 / seconds)


def gib_peak(gib, way, kind):
    """The largest peak memory of a way's 1 GiB transfers, in KiB."""
    peaks = [p for _, _, p in gib[way][kind] if p]
    return max(peaks) if peaks else None


def yes(flag):
    return "yes" if flag else "**no**"


def inclusive_costs(profile):
    """Inclusive instruction counts by function name, from callgrind_annotate."""
    done = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", profile],
                          capture_output=True, text=True)
    costs = {}
    for line in done.stdout.splitlines():
        found = re.match(r"^\s*([\d,]+) \([^)]*\)\s+(.*?)(?: \[[^\]]*\])?$", line)
        if not found:
            continue
        where = found.group(2)
        # "file:function"; file names hold no ":", C++ names do.
        function = where.split(":", 1)[1] if ":" in where.split("(", 1)[0] else where
        costs.setdefault(function, int(found.group(1).replace(",", "")))
    return costs


def cost_of(costs, prefix):
    return max([v for k, v in costs.items() if k == prefix or k.startswith(prefix + "(")] or [0])


def load_average():
    try:
        with open("/proc/loadavg") as source:
            return " ".join(source.read().split()[:3])
    except OSError:
        return "n/a"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as source:
            for line in source:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return host.processor() or "unknown CPU"


def tool_version(command, pattern):
    try:
        done = subprocess.run(command, capture_output=True, text=True)
    except OSError:
        return command[0] + " ?"
    found = re.search(pattern, done.stdout + done.stderr)
    return found.group(0) if found else command[0] + " ?"


def linkage(program):
    done = subprocess.run(["ldd", program], capture_output=True, text=True)
    libraries = [line.split()[0] for line in done.stdout.splitlines()
                 if "=>" in line or line.strip().startswith("/")]
    if "not a dynamic executable" in done.stdout + done.stderr or not libraries:
        return "static"
    names = [os.path.basename(name).split(".so")[0] for name in libraries
             if "ld-linux" not in name and "vdso" not in name]
    return "dynamic: " + ", ".join(names)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--gateway", default=os.environ.get("NPH_GW",
                                                            os.path.join(REPO, "build", "nph-gw")))
    parser.add_argument("--micro-bench", default=os.environ.get(
        "MICRO_BENCH", os.path.join(REPO, "build", "bench", "micro", "micro_bench")))
    parser.add_argument("--seconds", type=int, default=10, help="wrk seconds per figure")
    parser.add_argument("--python-seconds", type=int, default=4,
                        help="wrk seconds per figure for the Python proxy")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3, help="transfers per large figure")
    parser.add_argument("--no-gib", action="store_true",
                        help="skip the 1 GiB download and upload (B and D-s)")
    parser.add_argument("--gib-repeats", type=int, default=3,
                        help="transfers per 1 GiB figure")
    parser.add_argument("--micro-min-time", default="0.2")
    parser.add_argument("--variant", help="a second gateway build, measured as F beside D "
                        "(small replies and instructions)")
    parser.add_argument("--variant-label", default="variant")
    parser.add_argument("--output", default=os.path.join(HERE, "results", "latest.md"))
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    if not os.access(args.gateway, os.X_OK):
        log("no gateway at %s: build it first, or set NPH_GW" % args.gateway)
        return 2
    for tool in (APACHE_BIN, NGINX_BIN, NGINX_ECHO_MODULE, CGI_PYTHON, TIME_BIN, "wrk", "curl",
                 "valgrind", "cc"):
        if not (os.path.exists(tool) or shutil.which(tool)):
            log("missing %s: run scripts/install-bench-deps.sh" % tool)
            return 2

    bench = Bench(args)

    def interrupted(number, _frame):
        raise KeyboardInterrupt()
    signal.signal(signal.SIGTERM, interrupted)
    try:
        text = bench.run()
    except BenchError as error:
        log("benchmark failed: %s" % error)
        args.keep = True
        return 1
    except KeyboardInterrupt:
        log("interrupted")
        return 130
    finally:
        bench.cleanup()
    print(text)
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    with open(args.output, "w") as out:
        out.write(text + "\n")
    log("written to %s" % args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
