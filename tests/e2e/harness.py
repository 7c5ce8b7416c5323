"""What the end-to-end cases share. Servers listen on 127.0.0.1 or ::1 only,
run in the foreground as children of the test and are stopped by their own
PID. Apache(mode).start(program, gateways) runs each gateway (script name: its
settings text) as a copy of the program in .cgi_bin, a folder of .owner, the
(uid, gid) the scripts run as; more modules and configuration may follow, and
a hosts file of its own. Nginx(tls=True) serves .www as localhost and
.www/tls.test as tls.test on one port, chosen by SNI, with certificates from
scripted_target.make_certificates (CA in .ca); Nginx() serves .www over HTTP.
"""

import ctypes
import http.client
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import types
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ports import free_port  # noqa: E402,F401
from scripted_target import make_certificates  # noqa: E402

APACHE = os.environ.get("APACHE_BIN", "/usr/sbin/apache2")
MODULES = os.environ.get("APACHE_MODULES", "/usr/lib/apache2/modules")
NGINX = os.environ.get("NGINX_BIN", "/usr/sbin/nginx")
CHROMIUM = shutil.which(os.environ.get("CHROMIUM", "chromium")) or "/usr/bin/chromium"
TIME = "/usr/bin/time"
# mode: the MPM, the module that runs the scripts and its handler
MODES = {"prefork-cgi": ("mpm_prefork", "cgi", "cgi-script"),
         "event-cgid": ("mpm_event", "cgid", "cgi-script"),
         "prefork-fcgid": ("mpm_prefork", "fcgid", "fcgid-script"),
         "event-fcgid": ("mpm_event", "fcgid", "fcgid-script")}
KEEP = bool(os.environ.get("E2E_KEEP"))  # leave the servers' folders for a look


def require(*more):
    needed = (APACHE, NGINX, CHROMIUM, TIME, MODULES + "/mod_fcgid.so",
              shutil.which("openssl") or "openssl") + more
    missing = [path for path in needed if not os.path.exists(path)]
    if missing:
        message = "missing %s; scripts/install-e2e-deps.sh installs them" % ", ".join(missing)
        if os.environ.get("CI"):
            raise RuntimeError(message)  # CI must not pass without having run
        print("E2E SKIPPED: " + message, flush=True)
        raise unittest.SkipTest(message)
    program = os.path.abspath(os.environ.get("NPH_GW", "nph-gw"))
    if not os.access(program, os.X_OK):
        raise RuntimeError("no gateway at %s: set NPH_GW to the built program" % program)
    return program


def settings(port, *lines):
    port = ["TargetPort=%d" % port] if port else []
    return "\n".join(["[Forward]", "Timeout=20"] + port + list(lines)) + "\n"


def read(path):
    """The file's text; "" while there is none."""
    try:
        with open(path) as text:
            return text.read()
    except FileNotFoundError:
        return ""


def wait_until(condition, seconds=10):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def _die_with_parent():
    # A test killed outright (CTest's timeout) takes its servers with it.
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def child(*command, **options):
    """A process of the test's, ended with it; stop(process) ends it by its PID."""
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, start_new_session=True,
                            preexec_fn=_die_with_parent, **options)


def stop(process):
    if process and process.poll() is None:
        process.terminate()
        process.wait(20)
    if process and process.stdout:
        process.stdout.close()


def measure_peak(script):
    """Runs the gateway at `script` under time; returns the file where its
    peak resident memory (KiB) goes once it has exited."""
    os.rename(script, script + ".real")  # which still reads its settings file
    with open(script, "w") as out:
        out.write("#!/bin/sh\nexec %s -f %%M -o %s.peak-kib %s.real\n" % (TIME, script, script))
    os.chmod(script, 0o755)
    return script + ".peak-kib"


def peak_kib(record):
    if not wait_until(lambda: read(record).endswith("\n")):
        raise AssertionError("no peak memory in " + record)
    return int(read(record).split()[-1])


class _Server:
    def __init__(self, prefix):
        self.root = tempfile.mkdtemp(prefix=prefix)
        os.chmod(self.root, 0o755)  # workers started as root run as another user
        self.port, self.process = free_port(), None

    def spawn(self, name, conf, *command):
        """Runs command with the path of a file holding conf last."""
        with open(os.path.join(self.root, name + ".conf"), "w") as out:
            out.write(conf)
        log = os.path.join(self.root, name + ".stderr")
        with open(log, "w") as stderr:
            self.process = child(*command, out.name, stdout=subprocess.DEVNULL, stderr=stderr)
        up = wait_until(lambda: self.process.poll() is not None or listening(self.port), 20)
        if not up or self.process.poll() is not None:
            message = "%s did not start: %s" % (name, read(log))
            self.stop()
            raise RuntimeError(message)
        return self

    def stop(self):
        stop(self.process)
        if not KEEP:
            shutil.rmtree(self.root, ignore_errors=True)


APACHE_CONF = """ServerRoot "{root}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile {root}/httpd.pid
DefaultRuntimeDir {root}
Mutex file:{root} default
ErrorLog {root}/error.log
CustomLog {root}/access.log "%>s %b %r"
{modules}{user}<IfModule cgid_module>
    ScriptSock {root}/cgid.sock
</IfModule>
<IfModule fcgid_module>
    FcgidIPCDir {root}/fcgid
    FcgidProcessTableFile {root}/fcgid/shm
    FcgidMaxRequestLen 1000000
</IfModule>
DocumentRoot {root}/cgi-bin
Alias /cgi-bin/ {root}/cgi-bin/
<Directory {root}/cgi-bin>
    SetHandler {handler}
    Options +ExecCGI
    CGIPassAuth On
</Directory>
"""


class Apache(_Server):
    def __init__(self, mode):
        super().__init__("nph-e2e-%s-" % mode)
        self.mode = mode
        self.user, self.owner = None, (os.geteuid(), os.getegid())
        if os.geteuid() == 0:
            entry = pwd.getpwnam("www-data")
            self.user, self.owner = entry.pw_name, (entry.pw_uid, entry.pw_gid)
        self.cgi_bin = os.path.join(self.root, "cgi-bin")

    def start(self, program, gateways, modules=(), more="", hosts=""):
        """hosts: lines that Apache and the gateways see added to /etc/hosts
        (in a mount namespace of their own: as root only)."""
        for folder in (self.cgi_bin, os.path.join(self.root, "fcgid")):
            os.mkdir(folder, 0o755)
            os.chown(folder, *self.owner)  # the scripts write their logs and records here
        for script, text in gateways.items():
            shutil.copy(program, os.path.join(self.cgi_bin, script))
            with open(os.path.join(self.cgi_bin, script + ".ini"), "w") as ini:
                ini.write(text)
        mpm, runner, handler = MODES[self.mode]
        modules = "".join("LoadModule %s_module %s/mod_%s.so\n" % (name, MODULES, name)
                          for name in (mpm, runner, "alias", "authz_core") + tuple(modules))
        user = "User %s\nGroup #%d\n" % (self.user, self.owner[1]) if self.user else ""
        command = (APACHE, "-DFOREGROUND", "-f")
        if hosts and os.geteuid() == 0:
            with open(os.path.join(self.root, "hosts"), "w") as out:
                out.write(read("/etc/hosts") + "\n" + hosts)
            command = ("unshare", "--mount", "sh", "-c",
                       'mount --bind "$0" /etc/hosts && exec "$@"', out.name) + command
        return self.spawn("apache2", APACHE_CONF.format(
            root=self.root, port=self.port, modules=modules, user=user, handler=handler) + more,
            *command)

    def url(self, script, path=""):
        return "http://127.0.0.1:%d/cgi-bin/%s%s" % (self.port, script, path)


NGINX_CONF = """worker_processes 1;
pid {root}/nginx.pid;
error_log {root}/error.log;
events {{ }}
http {{
    access_log off;
    client_body_temp_path {root}; proxy_temp_path {root}; fastcgi_temp_path {root};
    uwsgi_temp_path {root}; scgi_temp_path {root};
    server {{
        listen 127.0.0.1:{port}{ssl}; server_name localhost; root {root}/www;{good}
        location /up/ {{ dav_methods PUT; client_max_body_size 64m; }}
    }}
    server {{
        listen 127.0.0.1:{port}{ssl}; server_name tls.test; root {root}/www/tls.test;{named}
    }}
}}
"""
CERTIFICATE = " ssl_certificate {0}.pem; ssl_certificate_key {0}.key;"


class Nginx(_Server):
    def __init__(self, tls=False):
        super().__init__("nph-e2e-nginx-")
        self.tls, self.www, self.ca = tls, os.path.join(self.root, "www"), self.root + "/ca.pem"
        for folder in ("", "/up", "/tls.test"):
            os.mkdir(self.www + folder, 0o777)
            os.chmod(self.www + folder, 0o777)  # the workers store uploads
        if tls:
            make_certificates(self.root)

    def start(self):
        certificates = [CERTIFICATE.format(self.root + "/" + name) for name in ("good", "named")]
        ssl, good, named = [" ssl"] + certificates if self.tls else ("", "", "")
        return self.spawn("nginx", NGINX_CONF.format(
            root=self.root, port=self.port, ssl=ssl, good=good, named=named),
            NGINX, "-e", self.root + "/error.log", "-g", "daemon off;", "-c")


def request(url, method="GET", body=None, headers=(), chunked=False, timeout=30,
            on_piece=None):
    """The URL's path and query go as written; a chunked body is an iterable of
    pieces; on_piece(bytes), when given, takes the reply's body, not .body."""
    parts = urllib.parse.urlsplit(url)
    headers = dict(headers, **({"Transfer-Encoding": "chunked"} if chunked else {}))
    started = time.monotonic()
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)
    try:
        connection.request(method, url[url.index("/", len(parts.scheme) + 3):], body, headers,
                           encode_chunked=chunked)
        reply = connection.getresponse()
        pieces = []
        for piece in iter(lambda: reply.read(1 << 20), b""):
            (on_piece or pieces.append)(piece)
        return types.SimpleNamespace(status=reply.status, headers=reply.headers,
                                     body=b"".join(pieces), seconds=time.monotonic() - started)
    finally:
        connection.close()


def chromium(url, *flags):
    profile = tempfile.mkdtemp(prefix="nph-e2e-chromium-")
    try:
        return subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--user-data-dir=" + profile,
             "--virtual-time-budget=15000", "--dump-dom"] + list(flags) + [url],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=dict(os.environ, HOME=profile),
            timeout=90).stdout.decode("utf-8", "replace")
    finally:
        shutil.rmtree(profile, ignore_errors=True)
