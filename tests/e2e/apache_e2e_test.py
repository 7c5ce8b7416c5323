"""The gateway as a real Apache httpd runs it: a CGI program under prefork +
mod_cgi and under event + mod_cgid (input and output one socket from the cgid
daemon), a FastCGI program under mod_fcgid with either MPM; in front of the
test application (also as an application it starts on a socket file) and of
nginx over TLS, with headless Chromium as a client: only what a real web
server or browser shows."""

import base64
import concurrent.futures
import hashlib
import html
import json
import os
import random
import shutil
import re
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
import unittest
import urllib.parse

import harness
from target_app import TargetApp

PROGRAM = APP = NGINX = LARGE_SHA256 = SILENT = None
PYTHON = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable
APPLICATION = os.path.join(os.path.dirname(os.path.abspath(__file__)), "target_app.py")
LARGE_SIZE, PEAK_LIMIT_KIB = 1 << 30, 8 * 1024
DOWN = "<h1>Back soon</h1>\n"  # a site's own error page
BIG = random.Random(2).randbytes(20 << 20)


def setUpModule():
    global PROGRAM, APP, NGINX, LARGE_SHA256, SILENT
    PROGRAM = harness.require()
    SILENT = socket.create_server(("127.0.0.1", 0))  # connects, never answers
    unittest.addModuleCleanup(SILENT.close)
    NGINX = harness.Nginx(tls=True)
    unittest.addModuleCleanup(NGINX.stop)
    # One random block repeated, each copy stamped with its index, so a lost,
    # repeated or misplaced block changes the SHA-256.
    block, digest = bytearray(random.Random(1).randbytes(1 << 20)), hashlib.sha256()
    with open(os.path.join(NGINX.www, "large.bin"), "wb") as out:
        for index in range(LARGE_SIZE >> 20):
            block[:8] = index.to_bytes(8, "big")
            digest.update(block)
            out.write(block)
    LARGE_SHA256 = digest.hexdigest()
    for page, text in (("big.bin", BIG), ("name.txt", b"localhost"),
                       ("tls.test/name.txt", b"tls.test")):
        with open(os.path.join(NGINX.www, page), "wb") as out:
            out.write(text)
    NGINX.start()
    APP = TargetApp().start()
    unittest.addModuleCleanup(APP.stop)


def header(record, name):
    return [v for n, v in record["headers"] if n.lower() == name.lower()]


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as info:
            return info.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class GatewayUnderApache:
    MODE = None
    MODULES, MORE = (), ""  # more of Apache's configuration ({root}: its folder)

    @classmethod
    def setUpClass(cls):
        tls = ("TargetTls=1", "TargetServer=localhost", "TlsCaFile=" + NGINX.ca)
        cls.apache = harness.Apache(cls.MODE)
        cls.addClassCleanup(cls.apache.stop)
        cls.socket = os.path.join(cls.apache.cgi_bin, "app.sock")
        # Applications started on demand; only their own user may connect.
        hosted = {"app": ("PassAuthorization=1", "StartCommand=umask 077; exec %s %s --socket %s"
                          % (PYTHON, APPLICATION, cls.socket), "RestartFile=app.restart",
                          "EnvFile=app.env"),
                  "broken": ("StartCommand=echo cannot start >&2; exit 3",),
                  "crash": ("StartCommand=echo started >> crash.starts; exit 3", "GatewayStatus=1"),
                  "slow": ("StartTimeout=1", "StartCommand=exec sleep 60")}
        own = ("GatewayStatus=1", "AccessLog=1")
        cls.apache.start(PROGRAM, {**{"nph-" + name: harness.settings(
            None, "Log=1", "TargetSocket=%s/%s.sock" % (cls.apache.cgi_bin, name), *lines)
            for name, lines in hosted.items()},
            # ForwardOtherHeaders: Upgrade would pass as another header if it
            # were not dropped as hop-by-hop.
            "nph-gw": harness.settings(APP.port, "Forbidden=/admin", "ForwardOtherHeaders=1"),
            "nph-public": harness.settings(APP.port, "Allowed=/public"),
            "nph-stream": harness.settings(APP.port, "Streaming=1"),
            "nph-site": harness.settings(APP.port, "RewriteRedirects=1"),
            "nph-large": harness.settings(NGINX.port, "Streaming=1", *tls),
            "nph-tls": harness.settings(NGINX.port, *tls),
            "nph-sni": "",  # each case writes its own
            "nph-down": harness.settings(harness.free_port(), "ErrorPage=down.html", *own),
            "nph-silent": "[Forward]\nTimeout=1\nTargetPort=%d\n%s\n" % (SILENT.getsockname()[1],
                                                                        "\n".join(own)),
        }, modules=cls.MODULES, more=cls.MORE.format(root=cls.apache.root))
        for name, text in (("app.env", "APP_SECRET=s3cr=t\n"), ("down.html", DOWN)):
            path = os.path.join(cls.apache.cgi_bin, name)
            with open(path, "w") as out:
                out.write(text)
            os.chown(path, *cls.apache.owner)
            os.chmod(path, 0o600)
        cls.addClassCleanup(cls.stop_application, signal.SIGTERM)

    @classmethod
    def starts(cls):
        return [json.loads(line) for line in harness.read(cls.socket + ".starts").splitlines()]

    @classmethod
    def stop_application(cls, how):
        """By its own process id: it runs on after each request. As a host ends
        one that has run a while: its start is not held against it."""
        for pid in [start["pid"] for start in cls.starts() if alive(start["pid"])]:
            os.kill(pid, how)
            harness.wait_until(lambda: not alive(pid), 5)
        record = os.path.join(cls.apache.cgi_bin, "nph-app.backoff")
        if os.path.exists(record):
            os.remove(record)

    def fetch(self, script, path, *args, **kwargs):
        return harness.request(self.apache.url(script, path), *args, **kwargs)

    def pids(self, script):
        path = os.path.join(self.apache.cgi_bin, script)
        return subprocess.run(["pgrep", "-f", "^%s$" % re.escape(path)], capture_output=True,
                              text=True).stdout.split()

    def test_browser_signs_in_through_rewritten_redirects(self):
        # The browser knows Apache as public.test; the application answers
        # with its own address and a cookie for 127.0.0.1, which the gateway
        # rewrites for the browser.
        public = "http://public.test:%d/cgi-bin/nph-site/app/" % self.apache.port
        dom = harness.chromium(public + "login?auto=1",
                               "--host-resolver-rules=MAP public.test 127.0.0.1")
        shown = dict(re.findall(r'<(?:h1|p) id="(\w+)">([^<]*)<', dom))
        # The page's script shows where the browser ended, that the stylesheet
        # applied and what the API answered to the session cookie.
        self.assertEqual({k: html.unescape(v) for k, v in shown.items()},
                         {"greeting": "Welcome, alice", "address": public + "welcome",
                          "colour": "rgb(1, 2, 3)", "api": '{"user": "alice"}'}, dom)

    def test_1gib_download_over_tls_in_bounded_memory(self):
        record = harness.measure_peak(os.path.join(self.apache.cgi_bin, "nph-large"))
        digest, started = hashlib.sha256(), time.monotonic()
        reply = self.fetch("nph-large", "/large.bin", on_piece=digest.update, timeout=120)
        self.assertEqual((reply.status, reply.headers["Content-Length"], digest.hexdigest()),
                         (200, str(LARGE_SIZE), LARGE_SHA256))
        for pid in self.pids("nph-large.real"):  # a FastCGI process ends only when told
            os.kill(int(pid), signal.SIGTERM)
        peak = harness.peak_kib(record)
        print("\n[%s] 1 GiB in %.1f s, gateway peak %d KiB"
              % (self.MODE, time.monotonic() - started, peak), file=sys.stderr)
        self.assertLessEqual(peak, PEAK_LIMIT_KIB)


    def test_gateway_statuses_reach_the_browser_and_the_logs(self):
        # Apache logs the status only of a response it frames (FastCGI); an
        # NPH reply passes it by, and is logged as 200 without a size.
        fastcgi = self.MODE.endswith("fcgid")
        for script, status, body, outcome in (("nph-down", 502, DOWN, "refused-connection"),
                                              ("nph-silent", 504, "<H2>CGI Error</H2>", "timeout")):
            with self.subTest(script=script):
                reply = self.fetch(script, "/x?y=1")
                self.assertEqual((reply.status, reply.body.decode()), (status, body))
                # Both logs are written once the browser has its reply.
                own, logged = (self.last_line(path, script) for path in (
                    os.path.join(self.apache.cgi_bin, script + ".access.log"),
                    self.apache.root + "/access.log"))
                self.assertRegex(own, r'^127\.0\.0\.1 - - \[[^]]+\] "GET /cgi-bin/%s/x\?y=1 HTTP/1\.1" '
                                 r'%d %d "-" "-" \d+ %s$' % (script, status, len(body), outcome))
                self.assertTrue(logged.startswith("%d %d " % (status, len(body)) if fastcgi
                                                  else "200 - "), logged)

    def cgi_file(self, name):
        return harness.read(os.path.join(self.apache.cgi_bin, name))

    def last_line(self, path, script):
        lines = lambda: [line for line in harness.read(path).splitlines() if script in line]
        harness.wait_until(lines, 5)
        return (lines() or [""])[-1]


class CgiUnderApache(GatewayUnderApache):
    def test_refused_paths_in_every_spelling(self):
        # Apache's own normalisation (case, //, ., .., %61) and what it leaves
        # for the gateway: \, ; parameters, no PATH_INFO at all. Each request
        # carries a body the gateway does not forward, every other one chunked:
        # exiting with it unread would reset mod_cgid's socket and lose the page.
        refused = [("nph-gw", path) for path in (
            "/ADMIN/users", "//admin", "/./admin", "/x/../admin", "/%61dmin", "/admin;x",
            "/%5cadmin", "/\\admin", "/.;/admin", "/x/..;/admin", "/;x=1/admin")]
        body = [b"x" * 65536] * 32
        for row, (script, path) in enumerate(refused + [("nph-public", "/public/..;/admin"),
                                                        ("nph-public", "?page=admin")]):
            with self.subTest(script=script, path=path):
                mark = len(APP.seen)
                chunked = row % 2 == 1
                reply = self.fetch(script, path, "POST", body if chunked else b"".join(body),
                                   chunked=chunked)
                self.assertEqual((reply.status, reply.body), (403, b"<H2>Forbidden</H2>"))
                self.assertEqual(APP.seen[mark:], [])
        mark = len(APP.seen)
        self.assertEqual(self.fetch("nph-public", "/x/../public/a;v=1").status, 200)
        self.assertEqual([r["target"] for r in APP.seen[mark:]], ["/public/a;v=1"])

    def test_chunked_uploads_reach_target_with_their_length(self):
        # Apache hands a chunked body over dechunked and without
        # CONTENT_LENGTH; four at once, held and streamed (spooled).
        def upload(script, seed):
            body = random.Random(seed).randbytes((4 << 20) + seed)
            reply = self.fetch(script, "/files", "POST",
                               (body[at:at + 100000] for at in range(0, len(body), 100000)),
                               chunked=True)
            return reply.status, json.loads(reply.body), body

        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            runs = [(script, pool.submit(upload, script, seed))
                    for script in ("nph-gw", "nph-stream") for seed in range(4)]
            for script, run in runs:
                status, seen, body = run.result()
                with self.subTest(script=script, size=len(body)):
                    self.assertEqual(status, 200)
                    self.assertEqual((seen["body_length"], seen["body_sha256"]),
                                     (len(body), hashlib.sha256(body).hexdigest()))
                    self.assertEqual(header(seen, "Content-Length"), [str(len(body))])
                    self.assertEqual(header(seen, "Transfer-Encoding"), [])

    def test_websocket_attempt_ends_at_once(self):
        mark = len(APP.seen)
        reply = self.fetch("nph-gw", "/ws", headers={
            "Upgrade": "websocket", "Connection": "Upgrade", "Sec-WebSocket-Version": "13",
            "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ=="})
        self.assertEqual((reply.status, reply.body), (500, b"<H2>CGI Error</H2>"))
        self.assertLess(reply.seconds, 1.0)
        (seen,) = APP.seen[mark:]
        self.assertEqual(header(seen, "Upgrade") + header(seen, "Connection"), [])

    def test_https_target_whole_both_ways_in_both_modes(self):
        for script in ("nph-tls", "nph-large"):
            with self.subTest(script=script):
                reply = self.fetch(script, "/big.bin")
                self.assertEqual((reply.status, hashlib.sha256(reply.body).hexdigest()),
                                 (200, hashlib.sha256(BIG).hexdigest()))
                upload = "/up/%s-%s.bin" % (self.MODE, script)
                self.assertEqual(self.fetch(script, upload, "PUT", BIG).status, 201)
                with open(NGINX.www + upload, "rb") as stored:
                    self.assertTrue(stored.read() == BIG, "the stored upload differs")

    def test_https_target_chosen_by_sni_and_trusted_by_its_ca(self):
        ca, by_address = "TlsCaFile=" + NGINX.ca, "TargetServer=127.0.0.1"
        for path, lines, expected in [
                ("/name.txt", ("TargetServer=localhost", ca), b"localhost"),
                ("/name.txt", (by_address, "TlsServerName=tls.test", ca), b"tls.test"),
                ("/name.txt", (by_address, "TlsServerName=other.test", ca), b"<H2>CGI Error</H2>"),
                ("/~~target", ("TargetServer=localhost", ca), b"<B>Good:</B>"),
                ("/~~target", ("TargetServer=localhost",), b"<B>Bad:</B>")]:
            with open(os.path.join(self.apache.cgi_bin, "nph-sni.ini"), "w") as ini:
                ini.write(harness.settings(NGINX.port, "TargetTls=1", *lines))
            with self.subTest(path=path, settings=lines):
                self.assertIn(expected, self.fetch("nph-sni", path).body)

    # An application on a shared host, on a socket file only its user can
    # open, started by the first request that finds it down: the test
    # application, run with --socket.
    def test_first_request_starts_it_on_a_private_socket(self):
        self.stop_application(signal.SIGTERM)
        self.assertEqual(self.fetch("nph-app", "/echo/first").status, 200)
        start = self.starts()[-1]
        self.assertIn("\tTarget started, process %d\n\tConnected\n" % start["pid"],
                      self.cgi_file("nph-app.txt"))
        info = os.stat(self.socket)
        self.assertEqual((info.st_mode, info.st_uid),
                         (stat.S_IFSOCK | 0o600, self.apache.owner[0]))
        if self.apache.user:
            direct = subprocess.run(["runuser", "-u", "nobody", "--", PYTHON, "-c",
                                     "import socket, sys; socket.socket(socket.AF_UNIX)"
                                     ".connect(sys.argv[1])", self.socket], capture_output=True)
            self.assertIn(b"PermissionError", direct.stderr)
        # The CGI has ended while the application lives on, in a session of its
        # own, with none of the web server's files.
        self.assertTrue(alive(start["pid"]))
        self.assertEqual(start["sid"], start["pid"])
        log = os.path.join(self.apache.cgi_bin, "nph-app.start.log")
        self.assertEqual(start["fds"], {"0": "/dev/null", "1": log, "2": log})

    def test_twenty_first_requests_at_once_start_one_copy(self):
        self.stop_application(signal.SIGTERM)
        before = len(self.starts())
        with concurrent.futures.ThreadPoolExecutor(20) as pool:
            replies = pool.map(lambda i: self.fetch("nph-app", "/echo/%d" % i), range(20))
            self.assertEqual({reply.status for reply in replies}, {200})
        self.assertEqual(len(self.starts()) - before, 1)

    def test_killed_application_is_started_again(self):
        self.fetch("nph-app", "/echo/running")
        self.stop_application(signal.SIGKILL)  # its socket file stays behind
        self.assertEqual(self.fetch("nph-app", "/echo/after-kill").status, 200)
        self.assertTrue(alive(self.starts()[-1]["pid"]))

    def test_application_that_does_not_come_up(self):
        for script, seconds in (("nph-broken", 10), ("nph-slow", 5)):
            reply = self.fetch(script, "/x")
            self.assertEqual((reply.status, reply.seconds < seconds), (500, True))
        self.assertIn("\tTarget exited with code 3\n", self.cgi_file("nph-broken.txt"))
        self.assertIn("cannot start", self.cgi_file("nph-broken.start.log"))
        log = self.cgi_file("nph-slow.txt")
        self.assertIn("\tTarget not accepting after 1 s, stopped\n", log)
        pid = int(log.split("process ")[1].split("\n")[0])
        self.assertTrue(harness.wait_until(lambda: not alive(pid), 5))

    def test_deploy_by_touching_the_restart_file(self):
        # A client asks every 50 ms while the restart file is touched: no
        # request is lost, and one new copy replaces the old.
        self.assertEqual(self.fetch("nph-app", "/echo/before").status, 200)
        before = self.starts()
        statuses, done = [], threading.Event()

        def client():
            while not done.is_set():
                statuses.append(self.fetch("nph-app", "/echo/deploy").status)
                time.sleep(0.05)

        thread = threading.Thread(target=client)
        thread.start()
        harness.wait_until(lambda: len(statuses) >= 5)  # asking before the deploy
        with open(os.path.join(self.apache.cgi_bin, "app.restart"), "w"):
            pass
        restarted = harness.wait_until(lambda: len(self.starts()) > len(before))
        asked = len(statuses)
        harness.wait_until(lambda: len(statuses) >= asked + 5)  # and after it
        done.set()
        thread.join()
        new = self.starts()[len(before):]
        self.assertTrue(restarted)
        self.assertEqual((set(statuses), len(new)), ({200}, 1))
        self.assertFalse(alive(before[-1]["pid"]))
        self.assertTrue(alive(new[0]["pid"]))
        self.assertEqual(new[0]["secret"], "s3cr=t")  # from EnvFile

    def test_application_failing_at_start_is_paused(self):
        # Started at once and after a pause of 1 s; the next would come 2 s
        # later. Meanwhile requests answer at once, saying when to come back.
        replies, started = [], time.monotonic()
        while time.monotonic() - started < 2.5:
            replies.append(self.fetch("nph-crash", "/x"))
            time.sleep(0.05)
        self.assertEqual({(reply.status, bool(reply.headers["Retry-After"])) for reply in replies},
                         {(503, True)})
        self.assertIn(self.cgi_file("crash.starts").count("started"), (1, 2))  # 2 unless slowed

    def test_basic_and_bearer_credentials_reach_the_application(self):
        for credentials in ("Basic " + base64.b64encode(b"alice:wonderland").decode(),
                            "Bearer t0k3n"):
            seen = json.loads(self.fetch("nph-app", "/echo", headers={
                "Authorization": credentials}).body)
            self.assertEqual(header(seen, "Authorization"), [credentials])


class FastCgiUnderApache(GatewayUnderApache):
    # README's recipe: a folder of a site under the document root.
    MODULES, MORE = ("mime",), """TypesConfig /dev/null
Alias /site/ {root}/site/
<Directory {root}/site>
    AllowOverride FileInfo Options AuthConfig
</Directory>
"""

    def test_readmes_recipe_refuses_the_gateways_files(self):
        readme = harness.read(os.path.join(os.path.dirname(__file__), "..", "..", "README.md"))
        htaccess = re.search(r"\.htaccess <<'EOF'\n(.*?\n)EOF\n", readme, re.S).group(1)
        folder = os.path.join(self.apache.root, "site", "gw")
        os.makedirs(folder)
        os.chown(folder, *self.apache.owner)
        shutil.copy(PROGRAM, os.path.join(folder, "gw.fcgi"))
        own = ("gw.start.log", "gw.start.log.1", "gw.lock", "gw.access.log", "gw.ini", "gw.txt")
        files = dict.fromkeys(own, "secret")
        files.update({".htaccess": htaccess, "gw.ini": harness.settings(APP.port, "Log=1")})
        for name, text in files.items():
            with open(os.path.join(folder, name), "w") as out:
                out.write(text)
        url = "http://127.0.0.1:%d/site/gw/" % self.apache.port
        self.assertEqual(harness.request(url + "gw.fcgi/say/200").body, b"said")
        for name in own:
            self.assertEqual(harness.request(url + name).status, 403, name)

    def test_replies_reach_the_browser_as_the_target_sent_them(self):
        for method, status, sent, kept in [
                # Apache makes a 200 with Location an internal redirect or a
                # 302, even with "Status: 200"; browsers ignore that Location.
                ("GET", 200, [("Location", "/elsewhere")], False),
                ("GET", 200, [("Location", "http://127.0.0.1/x")], False),
                ("GET", 201, [("Location", "http://127.0.0.1/item/7")], True),
                ("GET", 200, [("Set-Cookie", "a=1; Path=/"), ("Set-Cookie", "b=2, c"),
                              ("Set-Cookie", "d=4")], True),
                ("GET", 304, [("ETag", '"v1"')], True),
                ("HEAD", 200, [("Content-Type", "text/plain"), ("Content-Length", "4")], True)]:
            with self.subTest(method=method, status=status, sent=sent):
                said = "/say/%d?%s" % (status, urllib.parse.urlencode(sent))
                reply = self.fetch("nph-stream", said, method)
                body = b"said" if method == "GET" and status != 304 else b""
                self.assertEqual((reply.status, reply.body), (status, body))
                for name in {name for name, _ in sent} | {"Status"}:
                    self.assertEqual(reply.headers.get_all(name),
                                     [v for n, v in sent if n == name and kept] or None)
        self.assertEqual(self.fetch("nph-stream", "/~~target").body,
                         b"<HTML><HEAD><TITLE>Target (backend) test</TITLE><HEAD><BODY>"
                         b"<B>Good:</B> target server reached.</BODY></HTML>")

    def test_a_reply_never_passes_for_more_or_less_than_it_is(self):
        # Cut short once flowing: the browser's connection ends at once, short
        # (not at Apache's keep-alive timeout).
        reply = self.fetch("nph-stream", "/raw/cut-short", timeout=10)
        self.assertLess(len(reply.body), 200000)
        self.assertLess(reply.seconds, 3)
        # Two lengths: the 500 page, which ends the connection; nothing of the
        # reply read as a second response.
        path = urllib.parse.urlsplit(self.apache.url("nph-stream")).path
        with socket.create_connection(("127.0.0.1", self.apache.port), timeout=10) as browser:
            browser.sendall(b"".join(b"GET %s/%s HTTP/1.1\r\nHost: x\r\n%s\r\n" % (
                path.encode(), page, last) for page, last in (
                    (b"raw/two-lengths", b""), (b"say/200", b"Connection: close\r\n"))))
            replies = b"".join(iter(lambda: browser.recv(65536), b""))
        self.assertEqual(re.findall(rb"HTTP/1\.1 (\d+)", replies), [b"500"])
        self.assertNotIn(b"X-Forged", replies)

    def test_one_process_serves_request_after_request(self):
        self.fetch("nph-stream", "/~~echo")
        before = self.pids("nph-stream")
        for i in range(50):
            self.assertIn(b"GET /~~echo?n=%d HTTP/1.1" % i,  # FastCGI mode's default
                          self.fetch("nph-stream", "/~~echo?n=%d" % i).body)
        upload = os.urandom(300 * 1024)  # many STDIN records
        self.assertTrue(self.fetch("nph-stream", "/~~echo", "POST", upload).body.endswith(upload))
        # An edited settings file counts from the next request on.
        ini = os.path.join(self.apache.cgi_bin, "nph-stream.ini")
        original = harness.read(ini)
        for text, status in ((original + "Forbidden=/\n", 403), (original, 200)):
            with open(ini, "w") as settings:
                settings.write(text)
            self.assertEqual(self.fetch("nph-stream", "/say/200").status, status)
        self.assertTrue(before)
        self.assertEqual(before, self.pids("nph-stream"))


class PreforkCgi(CgiUnderApache, unittest.TestCase):
    MODE = "prefork-cgi"


class EventCgid(CgiUnderApache, unittest.TestCase):
    MODE = "event-cgid"


class PreforkFcgid(FastCgiUnderApache, unittest.TestCase):
    MODE = "prefork-fcgid"


class EventFcgid(FastCgiUnderApache, unittest.TestCase):
    MODE = "event-fcgid"
