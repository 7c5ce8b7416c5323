"""Real servers for the end-to-end tests: Apache httpd with the gateway in its
ScriptAlias folder, and nginx serving static files. Each runs in the
foreground as a child of the test, from a configuration written into a
temporary folder, on a free loopback port, and is stopped by its own PID.
"""

import ctypes
import os
import pwd
import shutil
import signal
import socket
import subprocess
import time

APACHE_BIN = os.environ.get("APACHE_BIN", "/usr/sbin/apache2")
APACHE_MODULES = os.environ.get("APACHE_MODULES", "/usr/lib/apache2/modules")
NGINX_BIN = os.environ.get("NGINX_BIN", shutil.which("nginx") or "/usr/sbin/nginx")

# The two ways Apache runs CGI programs.
APACHE_MODES = {
    "prefork-cgi": ("mpm_prefork_module", "mod_mpm_prefork.so", "cgi_module", "mod_cgi.so"),
    "event-cgid": ("mpm_event_module", "mod_mpm_event.so", "cgid_module", "mod_cgid.so"),
}


_PR_SET_PDEATHSIG = 1


def die_with_parent():
    """Runs in the child before exec: if the test process dies (a CTest
    timeout kills it outright), the server gets SIGTERM instead of living on."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)
    except (OSError, AttributeError):
        pass


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, process, seconds, describe):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("%s exited with code %s\n%s"
                               % (describe, process.returncode, _tail_logs(process)))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("%s did not listen on port %d\n%s" % (describe, port, _tail_logs(process)))


def _tail_logs(process):
    texts = []
    for path in getattr(process, "e2e_logs", ()):
        try:
            with open(path, errors="replace") as log:
                texts.append("--- %s\n%s" % (path, log.read()[-4000:]))
        except OSError:
            pass
    return "\n".join(texts)


def stop_process(process, seconds=15):
    """SIGTERM to the server's own PID; its process group (it leads one) is
    killed only if it does not stop in time."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(seconds)
    except subprocess.TimeoutExpired:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait(5)


def run_user():
    """Who the servers' workers run as. A server started as root must drop to
    an ordinary user; otherwise they stay the current user."""
    if os.geteuid() != 0:
        return None
    for name in ("www-data", "nobody"):
        try:
            entry = pwd.getpwnam(name)
            return name, entry.pw_uid, entry.pw_gid
        except KeyError:
            continue
    raise RuntimeError("running as root, but neither www-data nor nobody exists")


APACHE_CONF = """# Written by the end-to-end tests; nothing here touches the system's Apache.
ServerRoot "{root}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile "{root}/run/httpd.pid"
DefaultRuntimeDir "{root}/run"
Mutex file:{root}/run default
ErrorLog "{root}/logs/error.log"
LogLevel {log_level}

LoadModule {mpm_name} {modules}/{mpm_file}
LoadModule {cgi_name} {modules}/{cgi_file}
LoadModule alias_module {modules}/mod_alias.so
LoadModule authz_core_module {modules}/mod_authz_core.so
{module_lines}{user_lines}
# Apache's own limit on a CGI program's silence; the gateway's Timeout stays below it.
Timeout {apache_timeout}
KeepAlive On
StartServers {start_servers}
MaxRequestWorkers 32
{mpm_lines}

LogFormat "%h \\"%r\\" %>s %b %D" e2e
CustomLog "{root}/logs/access.log" e2e

DocumentRoot "{root}/htdocs"
<Directory />
    Require all denied
</Directory>
<Directory "{root}/htdocs">
    Require all granted
</Directory>

ScriptAlias /cgi-bin/ "{root}/cgi-bin/"
<Directory "{root}/cgi-bin">
    Options +ExecCGI +FollowSymLinks
    Require all granted
</Directory>
{cgid_lines}
"""


TIME_BIN = "/usr/bin/time"

# Not exec'd on purpose: Apache may signal the CGI process it started once the
# request is over (mod_cgi does so after a client abort). That reaches this
# shell, so the figures show how the gateway itself ends.
MEASURED_WRAPPER = """#!/bin/sh
{time} -o "{folder}/run-$$.txt" -f "%M %x %e" "{real}"
"""


class Apache:
    """Apache httpd 2.4 with a ScriptAlias folder holding gateway copies."""

    def __init__(self, mode, root, gateways, apache_timeout=60, extra_conf="",
                 extra_modules=()):
        """`gateways` maps a script name (e.g. "nph-gw") to its .ini text, to
        ("link", other, ini text) for a symbolic link to another script, or to
        ("measured", folder, ini text) for the gateway run under /usr/bin/time
        (see install_measured). `extra_modules` names further modules to load
        (e.g. "rewrite") and `extra_conf` adds configuration lines."""
        self.mode = mode
        self.root = root
        self.port = free_port()
        self.gateways = gateways
        self.apache_timeout = apache_timeout
        self.extra_conf = extra_conf
        self.extra_modules = extra_modules
        self.process = None
        self.user = run_user()

    @property
    def base(self):
        return "http://127.0.0.1:%d" % self.port

    @property
    def cgi_bin(self):
        return os.path.join(self.root, "cgi-bin")

    @property
    def error_log(self):
        return os.path.join(self.root, "logs", "error.log")

    def url(self, script, path=""):
        return "%s/cgi-bin/%s%s" % (self.base, script, path)

    def start(self, gateway_binary):
        for sub in ("run", "logs", "htdocs", "cgi-bin"):
            os.makedirs(os.path.join(self.root, sub), exist_ok=True)
        # Workers run as another user when started as root: they must reach
        # the gateway and its settings.
        os.chmod(self.root, 0o755)
        os.chmod(self.cgi_bin, 0o755)
        for name, setting in self.gateways.items():
            path = os.path.join(self.cgi_bin, name)
            if isinstance(setting, tuple) and setting[0] == "measured":
                _, folder, setting = setting
                self.install_measured(gateway_binary, path, folder)
            elif isinstance(setting, tuple):
                _, linked_to, setting = setting
                os.symlink(linked_to, path)
            else:
                shutil.copyfile(gateway_binary, path)
                os.chmod(path, 0o755)
            with open(path + ".ini", "w") as ini:
                ini.write(setting)
            os.chmod(path + ".ini", 0o644)
        mpm_name, mpm_file, cgi_name, cgi_file = APACHE_MODES[self.mode]
        user_lines = ""
        if self.user:
            user_lines = "User %s\nGroup #%d\n" % (self.user[0], self.user[2])
        if self.mode == "event-cgid":
            mpm_lines = ("ServerLimit 2\nThreadsPerChild 16\n"
                         "MinSpareThreads 8\nMaxSpareThreads 32\n")
        else:
            # Enough idle children for the concurrency cases from the start:
            # prefork only ramps up over seconds.
            mpm_lines = "ServerLimit 32\nMinSpareServers 8\nMaxSpareServers 16\n"
        cgid_lines = ""
        if self.mode == "event-cgid":
            cgid_lines = 'ScriptSock "%s/run/cgid.sock"\n' % self.root
        module_lines = "".join("LoadModule %s_module %s/mod_%s.so\n" % (name, APACHE_MODULES, name)
                               for name in self.extra_modules)
        conf = APACHE_CONF.format(
            root=self.root, port=self.port, modules=APACHE_MODULES, module_lines=module_lines,
            mpm_name=mpm_name, mpm_file=mpm_file, cgi_name=cgi_name, cgi_file=cgi_file,
            user_lines=user_lines, mpm_lines=mpm_lines, cgid_lines=cgid_lines,
            apache_timeout=self.apache_timeout,
            start_servers=2 if self.mode == "event-cgid" else 10,
            log_level=os.environ.get("E2E_APACHE_LOGLEVEL", "warn"))
        conf_path = os.path.join(self.root, "httpd.conf")
        with open(conf_path, "w") as out:
            out.write(conf + self.extra_conf)
        # Apache checks the syntax itself; a failure here names the line.
        check = subprocess.run([APACHE_BIN, "-t", "-f", conf_path],
                               capture_output=True, text=True)
        if check.returncode != 0:
            raise RuntimeError("apache2 -t failed:\n%s%s" % (check.stdout, check.stderr))
        with open(os.path.join(self.root, "logs", "stderr.log"), "w") as stderr:
            self.process = subprocess.Popen(
                [APACHE_BIN, "-f", conf_path, "-DFOREGROUND"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr,
                start_new_session=True, preexec_fn=die_with_parent)
        self.process.e2e_logs = [self.error_log, os.path.join(self.root, "logs", "stderr.log")]
        wait_for_port(self.port, self.process, 20, "apache2 (%s)" % self.mode)
        return self

    def stop(self):
        stop_process(self.process)

    def install_measured(self, gateway_binary, path, folder):
        """Installs the gateway as `path`.real behind a wrapper script named
        `path`: each request leaves `folder`/run-<pid>.txt with the gateway's
        peak resident memory in KiB, its exit status and its seconds, written
        by /usr/bin/time once the gateway has exited. The real program reads
        `path`.ini: only the file name's last "." counts."""
        real = path + ".real"
        shutil.copyfile(gateway_binary, real)
        os.chmod(real, 0o755)
        os.makedirs(folder, exist_ok=True)
        os.chmod(folder, 0o777)
        with open(path, "w") as script:
            script.write(MEASURED_WRAPPER.format(time=TIME_BIN, folder=folder, real=real))
        os.chmod(path, 0o755)

    def allow_log_writes(self, script):
        """The gateway's log lies beside it and is written by the user the
        CGI program runs as: create it and hand it to that user."""
        path = os.path.join(self.cgi_bin, script + ".txt")
        open(path, "a").close()
        if self.user:
            os.chown(path, self.user[1], self.user[2])
        return path

    def error_log_text(self):
        try:
            with open(self.error_log, errors="replace") as log:
                return log.read()
        except OSError:
            return ""


NGINX_CONF = """# Written by the end-to-end tests; nothing here touches the system's nginx.
worker_processes 1;
pid {root}/nginx.pid;
error_log {root}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log {root}/access.log;
    client_body_temp_path {root}/tmp/body;
    proxy_temp_path {root}/tmp/proxy;
    fastcgi_temp_path {root}/tmp/fastcgi;
    uwsgi_temp_path {root}/tmp/uwsgi;
    scgi_temp_path {root}/tmp/scgi;
    types {{ text/html html; text/plain txt; application/octet-stream bin; }}
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{port};
        root {root}/www;
        etag on;
    }}
}}
"""


class Nginx:
    """nginx serving files from `root`/www."""

    def __init__(self, root):
        self.root = root
        self.port = free_port()
        self.process = None

    @property
    def www(self):
        return os.path.join(self.root, "www")

    def start(self):
        os.makedirs(os.path.join(self.root, "tmp"), exist_ok=True)
        os.makedirs(self.www, exist_ok=True)
        os.chmod(self.root, 0o755)
        os.chmod(self.www, 0o755)
        conf_path = os.path.join(self.root, "nginx.conf")
        with open(conf_path, "w") as out:
            out.write(NGINX_CONF.format(root=self.root, port=self.port))
        error_log = os.path.join(self.root, "error.log")
        # -e: the log for start-up errors, before the configuration is read.
        with open(os.path.join(self.root, "stderr.log"), "w") as stderr:
            self.process = subprocess.Popen(
                [NGINX_BIN, "-e", error_log, "-p", self.root, "-c", conf_path,
                 "-g", "daemon off;"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr,
                start_new_session=True, preexec_fn=die_with_parent)
        self.process.e2e_logs = [error_log, os.path.join(self.root, "stderr.log")]
        wait_for_port(self.port, self.process, 20, "nginx")
        return self

    def stop(self):
        stop_process(self.process)
