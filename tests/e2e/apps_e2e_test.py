"""Applications nobody here wrote behind the gateway under Apache (event +
mod_cgid; mod_fcgid where FastCGI mode applies): Django's admin site signed
into by headless Chromium over HTTP and HTTPS, socket.io falling back to long
polling, an event stream in Chromium, a Node server on ::1 only, 1 GiB each
way, an application that refuses HTTP/1.0 and answers in chunks. The Node side is apps/, with the npm packages install-e2e-deps.sh puts
there."""

import hashlib
import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import unittest

import harness

APPS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "apps")
NODE = shutil.which("node") or "/usr/bin/node"
PYTHON = "/usr/bin/python3"  # Debian's, with its Django
PUBLIC = "public.test"  # the site, as the browser knows it
IPV6_ONLY = "ip6-only.test"  # in the hosts file Apache's processes see
BLOCK, BLOCKS = bytearray((at * 31 + 7) % 251 for at in range(1 << 20)), 1024
PEAK_LIMIT_KIB = 16 * 1024
# Gateways named fcgi-* run in FastCGI mode; every path outside /cgi-bin/ goes
# to Django (as README routes a whole site), on a second port over HTTPS.
SITE = """<Files "fcgi-*">
    SetHandler fcgid-script
</Files>
RewriteEngine On
RewriteCond %{{REQUEST_URI}} !^/cgi-bin/
RewriteRule ^/(.*)$ /cgi-bin/nph-django/$1 [PT]
Listen 127.0.0.1:{port}
<VirtualHost 127.0.0.1:{port}>
    SSLEngine on
    SSLCertificateFile {root}/good.pem
    SSLCertificateKeyFile {root}/good.key
    RewriteEngine On
    RewriteCond %{{REQUEST_URI}} !^/cgi-bin/
    RewriteRule ^/(.*)$ /cgi-bin/nph-django-tls/$1 [PT]
</VirtualHost>
"""


def large(count=BLOCKS):
    """1 GiB (or `count` MiB) as app.js sends it: one MiB block, each copy numbered."""
    for index in range(count):
        BLOCK[:8] = index.to_bytes(8, "big")
        yield bytes(BLOCK)


def node(*args):
    """app.js or client.js; app.js says its port once it listens."""
    return harness.child(NODE, *args, stdout=subprocess.PIPE, text=True)


class Applications(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        program = harness.require(NODE, PYTHON, "/usr/lib/python3/dist-packages/django",
                                  os.path.join(APPS, "node_modules", "socket.io-client"))
        cls.apache = apache = harness.Apache("event-cgid")
        cls.addClassCleanup(apache.stop)
        ports = {}
        for host in ("127.0.0.1", "::1"):
            process = node(os.path.join(APPS, "app.js"), host)
            cls.addClassCleanup(harness.stop, process)
            ports[host] = int(process.stdout.readline())
        cls.node, cls.ipv6_port = "http://127.0.0.1:%d" % ports["127.0.0.1"], ports["::1"]
        cls.kept_port = harness.free_port()  # restarted by a test, on the same port
        cls.kept = cls.start_kept()
        django = cls.django(os.path.join(apache.root, "django"))
        harness.make_certificates(apache.root)
        cls.https = harness.free_port()
        local = harness.settings(ports["127.0.0.1"])
        ipv6 = [("nph-ipv6-" + name, harness.settings(ports["::1"], "TargetServer=" + server))
                for name, server in (("literal", "::1"), ("name", IPV6_ONLY),
                                     ("localhost", "localhost"))]
        apache.start(program, dict(ipv6, **{
            "nph-node": local, "fcgi-node": local, "nph-large": local,
            "fcgi-kept": harness.settings(cls.kept_port),
            "nph-node11": local + "TargetHttp11=1\n",
            "nph-django": harness.settings(django["settings"], "PreserveHost=1"),
            "nph-django-tls": harness.settings(django["https"], "PreserveHost=1",
                                               "AddForwardedHeaders=1")}),
            modules=("fcgid", "rewrite", "ssl"), more=SITE.format(port=cls.https, root=apache.root),
            hosts="::1 %s\n" % IPV6_ONLY)
        cls.peak = harness.measure_peak(os.path.join(apache.cgi_bin, "nph-large"))

    @classmethod
    def start_kept(cls):
        process = node(os.path.join(APPS, "app.js"), "127.0.0.1", str(cls.kept_port))
        cls.addClassCleanup(harness.stop, process)
        process.stdout.readline()
        return process

    @classmethod
    def django(cls, folder):
        """A new project with Django's own defaults but for DEBUG off and the
        public host, an admin user, and its development server twice: as it is
        (settings) and with the setting README recommends behind HTTPS (https)."""
        def manage(*args, **env):
            subprocess.run([PYTHON, "manage.py", *args], cwd=folder, check=True,
                           stdout=subprocess.DEVNULL, env=dict(os.environ, **env))
        os.mkdir(folder)
        subprocess.run([PYTHON, "-m", "django", "startproject", "mysite", folder], check=True)
        with open(os.path.join(folder, "mysite", "settings.py"), "a") as settings:
            settings.write("DEBUG = False\nALLOWED_HOSTS = [%r]\n" % PUBLIC)
        with open(os.path.join(folder, "mysite", "https.py"), "w") as settings:
            settings.write("from .settings import *\n"
                           "SECURE_PROXY_SSL_HEADER = ('HTTP_X_FORWARDED_PROTO', 'https')\n")
        manage("migrate")
        manage("createsuperuser", "--noinput", "--username", "admin", "--email", "admin@" + PUBLIC,
               DJANGO_SUPERUSER_PASSWORD="wonderland")
        ports = {"settings": harness.free_port(), "https": harness.free_port()}
        for name, port in ports.items():
            cls.addClassCleanup(harness.stop, harness.child(
                PYTHON, "manage.py", "runserver", "--noreload", "--settings", "mysite." + name,
                "127.0.0.1:%d" % port, cwd=folder, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL))
        for port in ports.values():
            assert harness.wait_until(lambda: harness.listening(port), 30), "Django not up"
        return ports

    def fetch(self, script, path, *args, **kwargs):
        return harness.request(self.apache.url(script, path), *args, **kwargs)

    def test_django_admin_sign_in_in_a_browser(self):
        for site in ("http://%s:%d" % (PUBLIC, self.apache.port),
                     "https://%s:%d" % (PUBLIC, self.https)):
            with self.subTest(site=site):
                # The page posts the admin's login form with its CSRF token.
                dom = harness.chromium(site + "/cgi-bin/nph-node/django-login.html",
                                       "--host-resolver-rules=MAP %s 127.0.0.1" % PUBLIC,
                                       "--ignore-certificate-errors")
                self.assertIn("<title>Site administration | Django site admin</title>", dom, dom)
                self.assertIn("<strong>admin</strong>", dom)

    def test_socketio_falls_back_to_long_polling(self):
        # Under mod_fcgid the upgrade waits for a second process while the
        # first holds the poll: mod_fcgid looks for one once a second.
        for script, refused_within in (("nph-node", 1000), ("fcgi-node", 5000)):
            with self.subTest(script=script):
                client = node(os.path.join(APPS, "client.js"), "http://127.0.0.1:%d"
                              % self.apache.port, "/cgi-bin/%s/socket.io/" % script)
                result = json.loads(client.communicate(timeout=60)[0])
                self.assertEqual((result["transport"], result["replies"]),
                                 ("polling", list(range(100))))
                self.assertLess(result["refusedAfter"], refused_within)

    def test_event_stream_flows_at_once(self):
        dom = harness.chromium(self.apache.url("nph-node", "/events.html"))
        self.assertIn('<p id="state">event 1</p>', dom)
        times = json.loads(harness.request(self.node + "/log").body)
        self.assertLess(times["got"][-1] - times["sent"][-1], 1000)

    def test_node_listening_on_ipv6_loopback_only(self):
        # A literal goes in the Host line in brackets; localhost's is not fixed.
        for script, host in (("nph-ipv6-literal", "[::1]"), ("nph-ipv6-name", IPV6_ONLY),
                             ("nph-ipv6-localhost", None)):
            with self.subTest(script=script):
                if host == IPV6_ONLY and os.geteuid() != 0:
                    self.skipTest("a hosts file of Apache's own needs root")
                reply = self.fetch(script, "/who")
                self.assertEqual(reply.status, 200, reply.body)
                seen = json.loads(reply.body)
                self.assertEqual(seen["from"], "::1")
                if host:
                    self.assertEqual(seen["host"], "%s:%d" % (host, self.ipv6_port))

    def test_application_that_refuses_http10(self):
        # 426 to HTTP/1.0, the CGI default; with TargetHttp11 (FastCGI mode's
        # default) 20 MiB in chunks: the chunks as sent to an HTTP/1.1
        # browser, the data ended by the close to an HTTP/1.0 one, whole
        # either way; under mod_fcgid the web server frames the data.
        sha256 = hashlib.sha256(b"".join(large(20))).hexdigest()
        self.assertEqual(self.fetch("nph-node", "/http11").status, 426)
        for script, coding in (("nph-node11", "chunked"), ("fcgi-node", None)):
            with self.subTest(script=script):
                reply = self.fetch(script, "/http11")
                self.assertEqual((reply.status, hashlib.sha256(reply.body).hexdigest()),
                                 (200, sha256))
                if coding:
                    self.assertEqual(reply.headers["Transfer-Encoding"], coding)
        with socket.create_connection(("127.0.0.1", self.apache.port), timeout=30) as browser:
            browser.sendall(b"GET /cgi-bin/nph-node11/http11 HTTP/1.0\r\n\r\n")
            head, _, body = b"".join(iter(lambda: browser.recv(1 << 20), b"")).partition(b"\r\n\r\n")
        self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n"), head)
        self.assertNotIn(b"transfer-encoding", head.lower())
        self.assertEqual(hashlib.sha256(body).hexdigest(), sha256)

    def test_request_after_request_through_one_target_connection(self):
        # One browser connection, so one mod_fcgid process: the target sees one
        # connection for all of them; restarted, it sees one more.
        browser = http.client.HTTPConnection("127.0.0.1", self.apache.port, timeout=30)
        self.addCleanup(browser.close)

        def who():
            browser.request("GET", "/cgi-bin/fcgi-kept/who")
            reply = browser.getresponse()
            self.assertEqual(reply.status, 200)
            seen = json.loads(reply.read())
            return seen["connections"], seen["fromPort"]
        for restart in range(2):
            seen = {who() for _ in range(3 if restart else 1000)}
            self.assertEqual((len(seen), min(seen)[0]), (1, 1), seen)
            harness.stop(self.kept)
            type(self).kept = self.start_kept()

    def test_1gib_each_way_in_bounded_memory(self):
        whole, digest = hashlib.sha256(), hashlib.sha256()
        for block in large():
            whole.update(block)
        down = self.fetch("nph-large", "/large", on_piece=digest.update, timeout=120)
        self.assertEqual((down.status, digest.hexdigest()), (200, whole.hexdigest()))
        peaks = [harness.peak_kib(self.peak)]
        os.unlink(self.peak)
        up = self.fetch("nph-large", "/upload", "POST", large(), timeout=120,
                        headers={"Content-Length": str(BLOCKS * len(BLOCK))})
        self.assertEqual(json.loads(up.body), {"length": BLOCKS * len(BLOCK),
                                               "sha256": whole.hexdigest()})
        peaks.append(harness.peak_kib(self.peak))
        print("\n1 GiB down and up: gateway peaks %d and %d KiB" % tuple(peaks), file=sys.stderr)
        self.assertLessEqual(max(peaks), PEAK_LIMIT_KIB)
