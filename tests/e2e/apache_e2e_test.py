"""The gateway as a real Apache httpd runs it, under prefork + mod_cgi and
under event + mod_cgid (input and output one socket from the cgid daemon), in
front of the test application and nginx, with headless Chromium as a client:
only what a real web server or browser shows."""

import concurrent.futures
import hashlib
import html
import json
import os
import random
import re
import sys
import tempfile
import time
import unittest

import harness
from target_app import TargetApp

PROGRAM = APP = NGINX = LARGE_SHA256 = None
LARGE_SIZE = 1 << 30
PEAK_LIMIT_KIB = 8 * 1024

# Runs the gateway; once it has exited, its peak resident memory is written.
MEASURED = "#!/bin/sh\nexec %s -f %%M -o %s %s\n"


def setUpModule():
    global PROGRAM, APP, NGINX, LARGE_SHA256
    PROGRAM = harness.require()
    try:
        NGINX = harness.Nginx()
        # One random block repeated, each copy stamped with its index, so a
        # lost, repeated or misplaced block changes the SHA-256.
        block, digest = bytearray(random.Random(1).randbytes(1 << 20)), hashlib.sha256()
        with open(os.path.join(NGINX.www, "large.bin"), "wb") as out:
            for index in range(LARGE_SIZE >> 20):
                block[:8] = index.to_bytes(8, "big")
                digest.update(block)
                out.write(block)
        os.chmod(out.name, 0o644)
        LARGE_SHA256 = digest.hexdigest()
        NGINX.start()
        APP = TargetApp().start()
    except BaseException:
        tearDownModule()
        raise


def tearDownModule():
    for server in (NGINX, APP):
        if server:
            server.stop()


def header(record, name):
    return [v for n, v in record["headers"] if n.lower() == name.lower()]


class GatewayUnderApache:
    MODE = None

    @classmethod
    def setUpClass(cls):
        cls.apache = harness.Apache(cls.MODE, {
            # ForwardOtherHeaders: Upgrade would pass as another header if it
            # were not dropped as hop-by-hop.
            "nph-gw": harness.settings(APP.port, "Forbidden=/admin", "ForwardOtherHeaders=1"),
            "nph-public": harness.settings(APP.port, "Allowed=/public"),
            "nph-stream": harness.settings(APP.port, "Streaming=1"),
            "nph-site": harness.settings(APP.port, "RewriteRedirects=1"),
            "nph-nginx": harness.settings(NGINX.port, "Streaming=1"),
        }).start(PROGRAM)

    @classmethod
    def tearDownClass(cls):
        cls.apache.stop()

    def fetch(self, script, path, *args, **kwargs):
        return harness.request(self.apache.url(script, path), *args, **kwargs)

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
                mark = APP.mark()
                chunked = row % 2 == 1
                reply = self.fetch(script, path, "POST", body if chunked else b"".join(body),
                                   chunked=chunked)
                self.assertEqual((reply.status, reply.body), (403, b"<H2>Forbidden</H2>"))
                self.assertEqual(APP.since(mark), [])
        mark = APP.mark()
        self.assertEqual(self.fetch("nph-public", "/x/../public/a;v=1").status, 200)
        self.assertEqual([r["target"] for r in APP.since(mark)], ["/public/a;v=1"])

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
        mark = APP.mark()
        reply = self.fetch("nph-gw", "/ws", headers={
            "Upgrade": "websocket", "Connection": "Upgrade", "Sec-WebSocket-Version": "13",
            "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ=="})
        self.assertEqual((reply.status, reply.body), (500, b"<H2>CGI Error</H2>"))
        self.assertLess(reply.seconds, 1.0)
        (seen,) = APP.since(mark)
        self.assertEqual(header(seen, "Upgrade") + header(seen, "Connection"), [])

    def test_browser_signs_in_through_rewritten_redirects(self):
        # The browser knows Apache as public.test; the application answers
        # with its own address and a cookie for 127.0.0.1, which the gateway
        # rewrites for the browser.
        mark = APP.mark()
        public = "http://public.test:%d/cgi-bin/nph-site/app/" % self.apache.port
        dom = harness.chromium(public + "login?auto=1",
                               "--host-resolver-rules=MAP public.test 127.0.0.1")
        shown = dict(re.findall(r'<(?:h1|p) id="(\w+)">([^<]*)<', dom))
        self.assertEqual({k: html.unescape(v) for k, v in shown.items()},
                         {"greeting": "Welcome, alice", "address": public + "welcome",
                          "colour": "rgb(1, 2, 3)", "api": '{"user": "alice"}'}, dom)
        seen = APP.since(mark)
        self.assertEqual({(r["method"], r["target"]) for r in seen},
                         {("GET", "/app/login?auto=1"), ("GET", "/app/style.css"),
                          ("POST", "/app/login"), ("GET", "/app/welcome"),
                          ("GET", "/app/api/me")})
        for record in seen:
            if record["target"] in ("/app/welcome", "/app/api/me"):
                self.assertRegex(" ".join(header(record, "Cookie")), r"session=[0-9a-f]{16}")

    def test_1gib_download_from_nginx_in_bounded_memory(self):
        records = tempfile.mkdtemp(dir=self.apache.root)
        os.chmod(records, 0o777)  # written by the user the CGI runs as
        record = os.path.join(records, "peak-kib")
        script = os.path.join(self.apache.cgi_bin, "nph-nginx")
        os.rename(script, script + ".real")  # which still reads nph-nginx.ini
        with open(script, "w") as out:
            out.write(MEASURED % (harness.TIME, record, script + ".real"))
        os.chmod(script, 0o755)
        digest = hashlib.sha256()
        started = time.monotonic()
        reply = self.fetch("nph-nginx", "/large.bin", on_piece=digest.update, timeout=120)
        self.assertEqual((reply.status, reply.headers["Content-Length"]), (200, str(LARGE_SIZE)))
        self.assertEqual(digest.hexdigest(), LARGE_SHA256)
        text, deadline = "", time.monotonic() + 10
        while not text.endswith("\n") and time.monotonic() < deadline:
            time.sleep(0.05)  # time writes its record once the gateway has exited
            with open(record) as written:
                text = written.read()
        peak = int(text)
        print("\n[%s] 1 GiB in %.1f s, gateway peak %d KiB"
              % (self.MODE, time.monotonic() - started, peak), file=sys.stderr)
        self.assertLessEqual(peak, PEAK_LIMIT_KIB)


class PreforkCgi(GatewayUnderApache, unittest.TestCase):
    MODE = "prefork-cgi"


class EventCgid(GatewayUnderApache, unittest.TestCase):
    MODE = "event-cgid"
