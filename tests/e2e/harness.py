"""What the end-to-end cases share. Servers listen on 127.0.0.1 only, run in
the foreground as children of the test and are stopped by their own PID.

  require() -> the program to test (NPH_GW); outside CI, where a tool is
      missing, prints "E2E SKIPPED" and skips the module
  Apache(mode, gateways, conf="", modules=()).start(program): mode is one of
      MODES; gateways maps a script name to its settings text (each script a
      copy of the program in .cgi_bin with its .ini); conf adds lines, modules
      names further modules ("rewrite"). Also .url(script, path), .port,
      .root (error.log), .user ((name, uid, gid) the CGI runs as, or None), .stop()
  settings(port, *lines) -> settings text for a target on 127.0.0.1:port
  request(url, method, body, headers, chunked, timeout, on_piece)
      -> .status, .headers, .body, .seconds
  Nginx().start() serves the files put in .www; chromium(url, *flags) -> DOM
  target_app.TargetApp().start(): the test application
"""

import ctypes
import http.client
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import types
import unittest
import urllib.parse

APACHE = os.environ.get("APACHE_BIN", "/usr/sbin/apache2")
MODULES = os.environ.get("APACHE_MODULES", "/usr/lib/apache2/modules")
NGINX = os.environ.get("NGINX_BIN", "/usr/sbin/nginx")
CHROMIUM = shutil.which(os.environ.get("CHROMIUM", "chromium")) or "/usr/bin/chromium"
TIME = "/usr/bin/time"
MODES = {"prefork-cgi": ("mpm_prefork", "cgi"), "event-cgid": ("mpm_event", "cgid")}
KEEP = bool(os.environ.get("E2E_KEEP"))  # leave the servers' folders for a look


def require():
    missing = [path for path in (APACHE, NGINX, CHROMIUM, TIME) if not os.access(path, os.X_OK)]
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
    return "\n".join(["[Forward]", "TargetServer=127.0.0.1", "TargetPort=%d" % port,
                      "Timeout=20"] + list(lines)) + "\n"


def _die_with_parent():
    # A test killed outright (CTest's timeout) takes its servers with it.
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _spawn(command, root, port, name):
    with open(os.path.join(root, name + ".stderr"), "w") as stderr:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=stderr, start_new_session=True,
                                   preexec_fn=_die_with_parent)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and process.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return process
        except OSError:
            time.sleep(0.05)
    _stop(process)
    with open(stderr.name) as text:
        raise RuntimeError("%s did not start: %s" % (name, text.read()))


def _stop(process):
    if process and process.poll() is None:
        process.terminate()
        process.wait(20)


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class _Server:
    def __init__(self, prefix):
        self.root = tempfile.mkdtemp(prefix=prefix)
        os.chmod(self.root, 0o755)  # workers started as root run as another user
        self.port = _free_port()
        self.process = None

    def stop(self):
        _stop(self.process)
        if not KEEP:
            shutil.rmtree(self.root, ignore_errors=True)


APACHE_CONF = """ServerRoot "{root}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile {root}/httpd.pid
DefaultRuntimeDir {root}
Mutex file:{root} default
ErrorLog {root}/error.log
{modules}{user}<IfModule cgid_module>
    ScriptSock {root}/cgid.sock
</IfModule>
Timeout 60
DocumentRoot {root}/cgi-bin
ScriptAlias /cgi-bin/ {root}/cgi-bin/
"""


class Apache(_Server):
    def __init__(self, mode, gateways, conf="", modules=()):
        super().__init__("nph-e2e-%s-" % mode)
        self.mode, self.gateways, self.conf = mode, gateways, conf
        self.modules = MODES[mode] + ("alias", "authz_core") + tuple(modules)
        self.user = None
        if os.geteuid() == 0:
            entry = pwd.getpwnam("www-data")
            self.user = (entry.pw_name, entry.pw_uid, entry.pw_gid)
        self.cgi_bin = os.path.join(self.root, "cgi-bin")

    def start(self, program):
        os.makedirs(self.cgi_bin, 0o755, exist_ok=True)
        for script, text in self.gateways.items():
            shutil.copy(program, os.path.join(self.cgi_bin, script))
            with open(os.path.join(self.cgi_bin, script + ".ini"), "w") as ini:
                ini.write(text)
        modules = "".join("LoadModule %s_module %s/mod_%s.so\n" % (name, MODULES, name)
                          for name in self.modules)
        user = "User %s\nGroup #%d\n" % (self.user[0], self.user[2]) if self.user else ""
        conf = os.path.join(self.root, "httpd.conf")
        with open(conf, "w") as out:
            out.write(APACHE_CONF.format(root=self.root, port=self.port, modules=modules,
                                         user=user) + self.conf)
        self.process = _spawn([APACHE, "-f", conf, "-DFOREGROUND"], self.root, self.port,
                              "apache2")
        return self

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
    server {{ listen 127.0.0.1:{port}; root {www}; }}
}}
"""


class Nginx(_Server):
    def __init__(self):
        super().__init__("nph-e2e-nginx-")
        self.www = os.path.join(self.root, "www")
        os.mkdir(self.www, 0o755)

    def start(self):
        conf = os.path.join(self.root, "nginx.conf")
        with open(conf, "w") as out:
            out.write(NGINX_CONF.format(root=self.root, port=self.port, www=self.www))
        self.process = _spawn([NGINX, "-e", os.path.join(self.root, "error.log"), "-c", conf,
                               "-g", "daemon off;"], self.root, self.port, "nginx")
        return self


def request(url, method="GET", body=None, headers=(), chunked=False, timeout=30,
            on_piece=None):
    """Sends the URL's path and query exactly as written. A chunked body is an
    iterable of pieces; on_piece(bytes), when given, takes the reply's body
    instead of .body."""
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
