"""The gateway in FastCGI mode under Apache's mod_fcgid (mpm_event and
mpm_prefork), installed as a shared host allows: `gw.fcgi` and `gw.ini` in the
site, two .htaccess lines. Apache runs in the foreground as a child of the test
from a configuration in a temporary folder, on 127.0.0.1, and is stopped by
its PID; the target is a small HTTP/1.0 server inside the test."""

import hashlib
import http.client
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
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MODULES = os.environ.get("APACHE_MODULES", "/usr/lib/apache2/modules")
GATEWAY = os.environ.get("NPH_GW")
PIECE = bytes(range(256)) * 4096  # 1 MiB, 1024 times for the large download

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
LoadModule fcgid_module {modules}/mod_fcgid.so
TypesConfig /dev/null
{user}
FcgidIPCDir "{root}/fcgid"
FcgidProcessTableFile "{root}/fcgid/shm"
FcgidMaxRequestLen 1000000
DocumentRoot "{root}/site"
<Directory "{root}/site">
    AllowOverride FileInfo Options
    Require all granted
</Directory>
"""


class Target(BaseHTTPRequestHandler):
    REPLIES = {  # path: status, header lines, body
        "/": (200, [], b"home"),
        "/ok-location": (200, [("Location", "/elsewhere")], b"page"),
        "/abs-location": (200, [("Location", "http://127.0.0.1/x")], b"page"),
        "/created": (201, [("Location", "http://127.0.0.1/item/7")], b"made"),
        "/cookies": (200, [("Set-Cookie", "a=1; Path=/"), ("Set-Cookie", "b=2, c"),
                           ("Set-Cookie", "d=4")], b"ok"),
        "/not-modified": (304, [("ETag", '"v1"')], b""),
        "/head": (200, [("Content-Type", "text/plain")], b"0123456789"),
        "/large": (200, [], PIECE),
    }

    def do_GET(self):
        status, headers, body = self.REPLIES[self.path]
        count = 1024 if self.path == "/large" else 1
        self.send_response(status)
        for name, value in headers + [("Content-Length", str(len(body) * count))]:
            self.send_header(name, value)
        self.end_headers()
        for _ in range(count if self.command == "GET" else 0):
            self.wfile.write(body)

    do_HEAD = do_GET

    def log_message(self, *args):
        pass


def fetch(port, path, method="GET", body=None):
    """(status, header list, body) as the browser gets them, redirects unfollowed."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    connection.request(method, "/gw.fcgi" + path, body)
    reply = connection.getresponse()
    return reply.status, reply.getheaders(), reply.read()


@unittest.skipUnless(GATEWAY and os.path.exists(os.path.join(MODULES, "mod_fcgid.so")),
                     "E2E SKIPPED: NPH_GW or mod_fcgid missing")
class FastCgiUnderApache(unittest.TestCase):
    MPM = "event"

    @classmethod
    def setUpClass(cls):
        cls.target = ThreadingHTTPServer(("127.0.0.1", 0), Target)
        threading.Thread(target=cls.target.serve_forever, daemon=True).start()
        cls.root = tempfile.mkdtemp(prefix="fcgi-e2e-")
        cls.site = os.path.join(cls.root, "site")
        os.makedirs(os.path.join(cls.root, "fcgid"))
        os.makedirs(cls.site)
        shutil.copy(GATEWAY, os.path.join(cls.site, "gw.fcgi"))
        with open(os.path.join(cls.site, "gw.ini"), "w") as ini:
            ini.write("[Forward]\nTargetPort=%d\nStreaming=1\n" % cls.target.server_port)
        with open(os.path.join(cls.site, ".htaccess"), "w") as htaccess:
            htaccess.write("Options +ExecCGI\nAddHandler fcgid-script .fcgi\n")
        user = ""
        if os.geteuid() == 0:  # Apache's workers and the gateway run as www-data
            entry = pwd.getpwnam("www-data")
            user = "User www-data\nGroup #%d" % entry.pw_gid
            os.chown(os.path.join(cls.root, "fcgid"), entry.pw_uid, entry.pw_gid)
            os.chmod(cls.root, 0o755)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            cls.port = probe.getsockname()[1]
        conf = os.path.join(cls.root, "httpd.conf")
        with open(conf, "w") as out:
            out.write(CONF.format(root=cls.root, port=cls.port, mpm=cls.MPM, modules=MODULES,
                                  user=user))
        cls.apache = subprocess.Popen(["apache2", "-f", conf, "-DFOREGROUND"],
                                      stdin=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 20
        while subprocess.run(["curl", "-so/dev/null", "http://127.0.0.1:%d/" % cls.port]).returncode:
            if cls.apache.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("Apache did not start; see %s/error.log" % cls.root)
            time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        cls.apache.send_signal(signal.SIGTERM)  # its own PID; it stops its children
        cls.apache.wait(30)
        cls.target.shutdown()
        cls.target.server_close()
        shutil.rmtree(cls.root, ignore_errors=True)

    def gateway_pids(self):
        return subprocess.run(["pgrep", "-f", os.path.join(self.site, "gw.fcgi")],
                              capture_output=True, text=True).stdout.split()

    def test_replies_reach_the_browser_as_the_target_sent_them(self):
        for path, method, status, headers, body in [
                # Apache makes a 200 with Location an internal redirect or a
                # 302, even with "Status: 200"; browsers ignore that Location.
                ("/ok-location", "GET", 200, [], b"page"),
                ("/abs-location", "GET", 200, [], b"page"),
                ("/created", "GET", 201, [("Location", "http://127.0.0.1/item/7")], b"made"),
                ("/cookies", "GET", 200, Target.REPLIES["/cookies"][1], b"ok"),
                ("/not-modified", "GET", 304, [("ETag", '"v1"')], b""),
                ("/head", "HEAD", 200, [("Content-Type", "text/plain"),
                                        ("Content-Length", "10")], b""),
                ("/~~target", "GET", 200, [], b"<HTML><HEAD><TITLE>Target (backend) test</TITLE>"
                 b"<HEAD><BODY><B>Good:</B> target server reached.</BODY></HTML>")]:
            with self.subTest(path=path):
                got_status, got_headers, got_body = fetch(self.port, path, method)
                self.assertEqual((status, body), (got_status, got_body))
                for header in headers:
                    self.assertIn(header, got_headers)
                names = [name.lower() for name, _ in got_headers]
                self.assertNotIn("status", names)
                if path.endswith("-location"):
                    self.assertNotIn("location", names)

    def test_one_process_serves_request_after_request(self):
        fetch(self.port, "/~~echo")
        before = self.gateway_pids()
        for i in range(50):
            self.assertIn(b"GET /~~echo?n=%d HTTP/1.0" % i, fetch(self.port, "/~~echo?n=%d" % i)[2])
        upload = os.urandom(300 * 1024)  # many STDIN records
        self.assertTrue(fetch(self.port, "/~~echo", "POST", upload)[2].endswith(upload))
        # An edited settings file counts from the next request on.
        ini = os.path.join(self.site, "gw.ini")
        with open(ini) as settings:
            original = settings.read()
        for text, status in ((original + "Forbidden=/\n", 403), (original, 200)):
            with open(ini, "w") as settings:
                settings.write(text)
            self.assertEqual(status, fetch(self.port, "/")[0])
        self.assertTrue(before)
        self.assertEqual(before, self.gateway_pids())

    def test_large_download_is_streamed_in_bounded_memory(self):
        digest, expected, started = hashlib.sha256(), hashlib.sha256(), time.monotonic()
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=120)
        connection.request("GET", "/gw.fcgi/large")
        reply = connection.getresponse()
        for piece in iter(lambda: reply.read(1 << 20), b""):
            digest.update(piece)
        for _ in range(1024):
            expected.update(PIECE)
        self.assertEqual(expected.hexdigest(), digest.hexdigest())
        for pid in self.gateway_pids():
            with open("/proc/%s/status" % pid) as status:
                peak = [line for line in status if line.startswith("VmHWM")][0]
            self.assertLess(int(peak.split()[1]), 16 * 1024, peak)
        print("\n[fastcgi %s] 1 GiB in %.1f s" % (self.MPM, time.monotonic() - started))


    def test_browser_signs_in_through_rewritten_redirects(self):
        import harness
        from target_app import TargetApp
        app = TargetApp().start()
        try:
            with open(os.path.join(self.site, "site.ini"), "w") as ini:
                ini.write("[Forward]\nTargetPort=%d\nRewriteRedirects=1\n" % app.port)
            shutil.copy(GATEWAY, os.path.join(self.site, "site.fcgi"))
            public = "http://public.test:%d/site.fcgi/app/" % self.port
            dom = harness.chromium(public + "login?auto=1",
                                   "--host-resolver-rules=MAP public.test 127.0.0.1")
            self.assertIn('id="greeting">Welcome, alice<', dom)
            self.assertIn('id="colour">rgb(1, 2, 3)<', dom)
        finally:
            app.stop()


class FastCgiUnderPrefork(FastCgiUnderApache):
    MPM = "prefork"


if __name__ == "__main__":
    unittest.main()
