"""The gateway as a FastCGI application under Apache's mod_fcgid, installed as a
shared host allows it: a `.fcgi` file with its settings beside it and two
.htaccess lines. Apache runs in the foreground as a child of the test, from a
configuration in a temporary folder, on 127.0.0.1, under mpm_event and
mpm_prefork, and is stopped by its own PID. The target is a small HTTP/1.0
server inside the test.

Checks what only a real web server shows: how Apache reads the CGI header the
gateway writes (Location in a 200 and a 201, several Set-Cookie lines, a 304, a
HEAD), that one process serves request after request, and a 1 GiB download
streamed in bounded memory.
"""

import hashlib
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

APACHE = os.environ.get("APACHE_BIN", "/usr/sbin/apache2")
MODULES = os.environ.get("APACHE_MODULES", "/usr/lib/apache2/modules")
GATEWAY = os.environ.get("NPH_GW")
PIECE = bytes(range(256)) * 4096  # 1 MiB, repeated for the large download
LARGE = 1 << 30

CONF = """ServerRoot "{root}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile "{root}/httpd.pid"
DefaultRuntimeDir "{root}"
Mutex file:{root} default
ErrorLog "{root}/error.log"
LoadModule mpm_{mpm}_module {modules}/mod_mpm_{mpm}.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule mime_module {modules}/mod_mime.so
TypesConfig /dev/null
LoadModule fcgid_module {modules}/mod_fcgid.so
{user}
FcgidIPCDir "{root}/fcgid"
FcgidProcessTableFile "{root}/fcgid/shm"
# Large uploads and slow targets: mod_fcgid's own limits (128 KiB, 40 s).
FcgidMaxRequestLen 2147483647
FcgidIOTimeout 120
DocumentRoot "{root}/site"
<Directory "{root}/site">
    AllowOverride FileInfo Options
    Require all granted
</Directory>
"""

# What a shared host's customer writes: the only server configuration needed.
HTACCESS = "Options +ExecCGI\nAddHandler fcgid-script .fcgi\n"


class Target(BaseHTTPRequestHandler):
    """Replies chosen by path; the large one is written as it is generated."""
    REPLIES = {
        "/ok-location": (200, [("Location", "/elsewhere")], b"page"),
        "/created": (201, [("Location", "http://127.0.0.1/item/7")], b"made"),
        "/cookies": (200, [("Set-Cookie", "a=1; Path=/"), ("Set-Cookie", "b=2, c"),
                           ("Set-Cookie", "d=4")], b"ok"),
        "/not-modified": (304, [("ETag", '"v1"')], b""),
        "/head": (200, [("Content-Type", "text/plain")], b"0123456789"),
        "/": (200, [], b"home"),
        "/abs-location": (200, [("Location", "http://127.0.0.1/x")], b"page"),
    }

    def do_GET(self):
        path = self.path.split("?")[0]
        if path == "/large":
            self.send_response(200)
            self.send_header("Content-Length", str(LARGE))
            self.end_headers()
            for _ in range(LARGE // len(PIECE)):
                self.wfile.write(PIECE)
            return
        if path == "/vars":  # what reached the target, as the body
            body = ("%s\n%s" % (self.requestline, self.headers)).encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        status, headers, body = self.REPLIES[path]
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    do_HEAD = do_GET

    def log_message(self, *args):
        pass


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args):
        return None


OPENER = urllib.request.build_opener(NoRedirect)


def fetch(url, method="GET", data=None):
    """(status, header list, body) as a browser would get them, unfollowed."""
    try:
        with OPENER.open(urllib.request.Request(url, data, method=method), timeout=60) as reply:
            return reply.status, reply.headers.items(), reply.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers.items(), error.read()


@unittest.skipUnless(GATEWAY and os.path.exists(os.path.join(MODULES, "mod_fcgid.so")),
                     "E2E SKIPPED: NPH_GW or mod_fcgid missing")
class FastCgiUnderApache(unittest.TestCase):
    MPM = "event"

    @classmethod
    def setUpClass(cls):
        cls.target = ThreadingHTTPServer(("127.0.0.1", 0), Target)
        threading.Thread(target=cls.target.serve_forever, daemon=True).start()
        cls.root = tempfile.mkdtemp(prefix="fcgi-e2e-")
        site = os.path.join(cls.root, "site")
        os.makedirs(os.path.join(cls.root, "fcgid"))
        os.makedirs(site)
        shutil.copyfile(GATEWAY, os.path.join(site, "gw.fcgi"))
        os.chmod(os.path.join(site, "gw.fcgi"), 0o755)
        with open(os.path.join(site, "gw.ini"), "w") as ini:
            ini.write("[Forward]\nTargetPort=%d\nStreaming=1\n" % cls.target.server_port)
        with open(os.path.join(site, ".htaccess"), "w") as htaccess:
            htaccess.write(HTACCESS)
        user = ""
        if os.geteuid() == 0:  # workers and the gateway run as www-data
            entry = pwd.getpwnam("www-data")
            user = "User www-data\nGroup #%d" % entry.pw_gid
            os.chown(os.path.join(cls.root, "fcgid"), entry.pw_uid, entry.pw_gid)
            os.chmod(cls.root, 0o755)
        cls.port = free_port()
        conf = os.path.join(cls.root, "httpd.conf")
        with open(conf, "w") as out:
            out.write(CONF.format(root=cls.root, port=cls.port, mpm=cls.MPM, modules=MODULES,
                                  user=user))
        cls.apache = subprocess.Popen([APACHE, "-f", conf, "-DFOREGROUND"],
                                      stdin=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
                break
            except OSError:
                if cls.apache.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("Apache did not start; see %s/error.log" % cls.root)
                time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        cls.apache.send_signal(signal.SIGTERM)  # by its own PID; it ends its children
        cls.apache.wait(30)
        cls.target.shutdown()
        shutil.rmtree(cls.root, ignore_errors=True)

    def url(self, path):
        return "http://127.0.0.1:%d/gw.fcgi%s" % (self.port, path)

    def gateway_pids(self):
        found = subprocess.run(["pgrep", "-f", os.path.join(self.root, "site", "gw.fcgi")],
                               capture_output=True, text=True).stdout.split()
        return set(found)

    def test_replies_reach_the_browser_as_the_target_sent_them(self):
        cases = [  # path, method, status, headers that must be there, body
            # Apache makes a 200 with Location an internal redirect or a 302,
            # even with "Status: 200"; a browser ignores that Location.
            ("/ok-location", "GET", 200, [], b"page"),
            ("/abs-location", "GET", 200, [], b"page"),
            ("/created", "GET", 201, [("Location", "http://127.0.0.1/item/7")], b"made"),
            ("/cookies", "GET", 200, [("Set-Cookie", "a=1; Path=/"), ("Set-Cookie", "b=2, c"),
                                      ("Set-Cookie", "d=4")], b"ok"),
            ("/not-modified", "GET", 304, [("ETag", '"v1"')], b""),
            ("/head", "HEAD", 200, [("Content-Type", "text/plain")], b""),
            ("/~~target", "GET", 200, [("Content-Type", "text/html")],
             b"<HTML><HEAD><TITLE>Target (backend) test</TITLE><HEAD><BODY><B>Good:</B> "
             b"target server reached.</BODY></HTML>"),
        ]
        for path, method, status, headers, body in cases:
            with self.subTest(path=path):
                got_status, got_headers, got_body = fetch(self.url(path), method)
                self.assertEqual((status, body), (got_status, got_body))
                for header in headers:
                    self.assertIn(header, got_headers)
                names = [name.lower() for name, _ in got_headers]
                if path.endswith("-location"):
                    self.assertNotIn("location", names)
                self.assertNotIn("status", names)

    def test_one_process_serves_request_after_request(self):
        fetch(self.url("/vars"))
        before = self.gateway_pids()
        for i in range(50):
            status, _, body = fetch(self.url("/vars?n=%d" % i))
            self.assertEqual(200, status)
            self.assertIn(b"GET /vars?n=%d HTTP/1.0" % i, body)
        upload = os.urandom(300 * 1024)  # many STDIN records
        self.assertTrue(fetch(self.url("/~~echo"), "POST", upload)[2].endswith(upload))
        # An edited settings file counts from the next request on.
        ini = os.path.join(self.root, "site", "gw.ini")
        with open(ini) as settings:
            original = settings.read()
        with open(ini, "a") as settings:
            settings.write("Forbidden=/vars\n")
        self.assertEqual(403, fetch(self.url("/vars"))[0])
        with open(ini, "w") as settings:
            settings.write(original)
        self.assertEqual(200, fetch(self.url("/vars"))[0])
        self.assertTrue(before)
        self.assertEqual(before, self.gateway_pids())

    def test_large_download_is_streamed(self):
        digest = hashlib.sha256()
        expected = hashlib.sha256()
        started = time.monotonic()
        with urllib.request.urlopen(self.url("/large"), timeout=120) as reply:
            self.assertEqual(str(LARGE), reply.headers["Content-Length"])
            while True:
                piece = reply.read(1 << 20)
                if not piece:
                    break
                digest.update(piece)
        for _ in range(LARGE // len(PIECE)):
            expected.update(PIECE)
        self.assertEqual(expected.hexdigest(), digest.hexdigest())
        for pid in self.gateway_pids():
            with open("/proc/%s/status" % pid) as status:
                peak = [line for line in status if line.startswith("VmHWM")][0]
            self.assertLess(int(peak.split()[1]), 64 * 1024, peak)
        print("\n[fastcgi %s] 1 GiB in %.1f s" % (self.MPM, time.monotonic() - started))


class FastCgiUnderPrefork(FastCgiUnderApache):
    MPM = "prefork"


if __name__ == "__main__":
    unittest.main()
