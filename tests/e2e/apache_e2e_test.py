"""The gateway under a real Apache httpd, with real clients and targets.

Every case runs twice: under mpm_prefork with mod_cgi, and under mpm_event
with mod_cgid (Debian's default). Apache, nginx and the target application
listen on 127.0.0.1 only and are children of this process.
"""

import hashlib
import html
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.parse

import e2e_env
import servers
from e2e_env import curl
from target_app import stream_sha256

ENV = None


def setUpModule():
    global ENV
    e2e_env.check_tools()
    ENV = e2e_env.Environment()


def tearDownModule():
    if ENV:
        ENV.close()


FORBIDDEN_PAGE = (b"HTTP/1.0 403 Forbidden\r\nContent-Type: text/html\r\n"
                  b"Content-length: 18\r\n\r\n")
ERROR_PAGE = (b"HTTP/1.0 500 Internal Error\r\nContent-Type: text/html\r\n"
              b"Content-length: 18\r\n\r\n")
LOG_BANNER = "------------------------ LOG ------------------------"
LOG_STAMP = re.compile(r"^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                       r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                       r"\d\d \d\d:\d\d:\d\d \d{4}$")


class ApacheFixture:
    """One Apache per configuration, with every gateway copy the cases use."""

    MODE = None

    @classmethod
    def setUpClass(cls):
        cls.env = ENV
        cls.root = tempfile.mkdtemp(prefix="apache-%s-" % cls.MODE, dir=ENV.root)
        cls.apache = servers.Apache(cls.MODE, cls.root, ENV.gateway_settings())
        try:
            cls.apache.start(ENV.gateway)
            cls.log_path = cls.apache.allow_log_writes("nph-log")
        except BaseException:
            cls.apache.stop()
            raise
        cls.started = time.monotonic()

    @classmethod
    def tearDownClass(cls):
        cls.apache.stop()
        print("\n[%s] cases took %.1f s" % (cls.MODE, time.monotonic() - cls.started),
              flush=True)

    # Helpers -----------------------------------------------------------------

    def url(self, script, path=""):
        return self.apache.url(script, path)

    def fetch(self, script, path="", *args, **kw):
        return curl(self.env, self.url(script, path), *args, **kw)

    def assertOk(self, reply, status=200):
        self.assertEqual(reply.returncode, 0, reply.stderr)
        self.assertEqual(reply.status, status, reply.raw_head)

    def echoed(self, reply):
        """What the echo route says it received."""
        self.assertOk(reply)
        return json.loads(reply.body)

    def header_of(self, record, name):
        values = [v for n, v in record["headers"] if n.lower() == name.lower()]
        return values[0] if values else None

    def mark(self):
        return self.env.app.recorder.mark()

    def seen_since(self, mark):
        return self.env.app.recorder.since(mark)


class ForwardingCases:
    """Requests and replies pass through whole."""

    def test_get_with_query(self):
        query = "x=1&y=a%20b&z=%C3%A9&w=a+b&e="
        seen = self.echoed(self.fetch("nph-gw", "/echo/items?" + query))
        self.assertEqual(seen["method"], "GET")
        self.assertEqual(seen["target"], "/echo/items?" + query)
        self.assertEqual(seen["request_version"], "HTTP/1.0")
        self.assertEqual(self.header_of(seen, "Host"), "127.0.0.1:%d" % self.env.app.port)
        self.assertTrue(self.header_of(seen, "User-Agent").startswith("curl/"))
        self.assertIsNone(self.header_of(seen, "Content-Length"))
        # Apache also passes a query without "=" as arguments; they are ignored.
        seen = self.echoed(self.fetch("nph-gw", "/echo?alpha+beta"))
        self.assertEqual(seen["target"], "/echo?alpha+beta")

    def test_target_reply_passes_byte_for_byte(self):
        direct = curl(self.env, "http://127.0.0.1:%d/redirect?to=/x" % self.env.app.port)
        through = self.fetch("nph-gw", "/redirect?to=/x")
        self.assertOk(through, 302)
        strip_date = lambda head: re.sub(rb"\r\nDate: [^\r]*", b"", head)
        self.assertEqual(strip_date(through.raw_head), strip_date(direct.raw_head))
        self.assertEqual(through.body, direct.body)
        self.assertTrue(through.raw_head.startswith(b"HTTP/1.0 302 Found\r\n"))

    def test_redirect_location_untouched(self):
        # Not followed, not rewritten; a relative Location would make Apache
        # redirect internally for an ordinary CGI program, never for nph-.
        for location in ("http://elsewhere.invalid/landing?from=target&x=%20",
                         "/local/page?q=1", "relative/next"):
            with self.subTest(location=location):
                reply = self.fetch("nph-gw", "/redirect?to=" + urllib.parse.quote(location, ""))
                self.assertOk(reply, 302)
                self.assertEqual(reply.status_line, "HTTP/1.0 302 Found")
                self.assertEqual(reply.all("Location"), [location])
                self.assertEqual(reply.body, b"moved\n")

    def test_post_form(self):
        form = "name=Jos%C3%A9&note=a+b%26c&empty="
        seen = self.echoed(self.fetch("nph-gw", "/echo/form", "--data-raw", form))
        self.assertEqual(seen["method"], "POST")
        self.assertEqual(seen["body_text"], form)
        self.assertEqual(self.header_of(seen, "Content-Type"),
                         "application/x-www-form-urlencoded")
        self.assertEqual(self.header_of(seen, "Content-Length"), str(len(form)))

    def test_post_20mb_with_content_length(self):
        seen = self.echoed(self.fetch("nph-gw", "/echo/upload", "--data-binary",
                                    "@" + self.env.upload, "-H",
                                    "Content-Type: application/octet-stream"))
        self.assertEqual(seen["body_length"], e2e_env.UPLOAD_SIZE)
        self.assertEqual(seen["body_sha256"], self.env.upload_sha)
        self.assertEqual(self.header_of(seen, "Content-Length"), str(e2e_env.UPLOAD_SIZE))
        self.assertEqual(self.header_of(seen, "Content-Type"), "application/octet-stream")

    def test_post_20mb_chunked(self):
        # Apache dechunks and sets no CONTENT_LENGTH; the target must get a
        # plain body with its length, and no Transfer-Encoding.
        seen = self.echoed(self.fetch("nph-gw", "/echo/upload", "--data-binary",
                                    "@" + self.env.upload, "-H", "Transfer-Encoding: chunked",
                                    "-H", "Content-Type: application/octet-stream"))
        self.assertEqual(seen["body_length"], e2e_env.UPLOAD_SIZE)
        self.assertEqual(seen["body_sha256"], self.env.upload_sha)
        self.assertEqual(self.header_of(seen, "Content-Length"), str(e2e_env.UPLOAD_SIZE))
        self.assertIsNone(self.header_of(seen, "Transfer-Encoding"))

    def test_download_50mb(self):
        size = 50 * 1024 * 1024
        out = os.path.join(self.env.scratch, "download-%s.bin" % self.MODE)
        reply = self.fetch("nph-gw", "/stream?size=%d&seed=50" % size, output=out)
        try:
            self.assertOk(reply)
            self.assertEqual(reply.header("Content-Length"), str(size))
            self.assertEqual(os.path.getsize(out), size)
            self.assertEqual(e2e_env.file_sha256(out), stream_sha256(size, 50))
        finally:
            os.unlink(out)

    def test_download_without_content_length(self):
        # HTTP/1.0 without a length: the body ends when the target closes.
        size = 5 * 1024 * 1024 + 7
        reply = self.fetch("nph-gw", "/stream?size=%d&seed=5&length=0" % size)
        self.assertOk(reply)
        self.assertIsNone(reply.header("Content-Length"))
        self.assertEqual(len(reply.body), size)
        self.assertEqual(hashlib.sha256(reply.body).hexdigest(), stream_sha256(size, 5))

    def test_cookies_both_ways(self):
        seen = self.echoed(self.fetch("nph-gw", "/echo/c", "-b", "sid=abc; theme=light"))
        self.assertEqual(self.header_of(seen, "Cookie"), "sid=abc; theme=light")
        jar = os.path.join(self.env.scratch, "jar-%s.txt" % self.MODE)
        reply = self.fetch("nph-gw", "/cookies/set", "-c", jar)
        self.assertOk(reply)
        self.assertEqual(reply.all("Set-Cookie"),
                         ["sid=s3cr3t; Path=/; HttpOnly", "theme=dark; Path=/"])
        seen = self.echoed(self.fetch("nph-gw", "/echo/again", "-b", jar))
        cookies = sorted(c.strip() for c in self.header_of(seen, "Cookie").split(";"))
        self.assertEqual(cookies, ["sid=s3cr3t", "theme=dark"])


class StaticFileCases:
    """nginx as the target: its HEAD, conditional GET and Range handling."""

    def direct(self, path, *args):
        return curl(self.env, "http://127.0.0.1:%d%s" % (self.env.nginx.port, path), *args)

    def test_static_get_and_head(self):
        reply = self.fetch("nph-static", "/big.bin")
        self.assertOk(reply)
        self.assertEqual(len(reply.body), e2e_env.STATIC_SIZE)
        self.assertEqual(hashlib.sha256(reply.body).hexdigest(), self.env.static_sha)
        reference = self.direct("/big.bin", "-I")
        for name in ("Content-Length", "Last-Modified", "ETag", "Content-Type"):
            self.assertEqual(reply.header(name), reference.header(name), name)
        # HEAD ends at the header although it declares 8 MiB: no wait for a
        # body that never comes.
        head = self.fetch("nph-static", "/big.bin", "-I")
        self.assertOk(head)
        self.assertEqual(head.header("Content-Length"), str(e2e_env.STATIC_SIZE))
        self.assertEqual(head.body, head.raw_head)  # curl -I writes the header as output
        self.assertLess(head.elapsed, 5)

    def test_conditional_get_gives_304(self):
        first = self.fetch("nph-static", "/small.html")
        self.assertOk(first)
        since = first.header("Last-Modified")
        reply = self.fetch("nph-static", "/small.html", "-H", "If-Modified-Since: " + since)
        self.assertOk(reply, 304)
        self.assertEqual(reply.body, b"")
        self.assertLess(reply.elapsed, 5)
        reply = self.fetch("nph-static", "/small.html", "-H",
                         "If-None-Match: " + first.header("ETag"))
        self.assertOk(reply, 304)
        # An older copy is not current: the page comes whole.
        reply = self.fetch("nph-static", "/small.html", "-H",
                         "If-Modified-Since: Sat, 01 Jan 2000 00:00:00 GMT")
        self.assertOk(reply)
        self.assertEqual(reply.body, first.body)

    def test_range(self):
        reply = self.fetch("nph-static", "/big.bin", "-r", "100-1099")
        self.assertOk(reply, 206)
        self.assertEqual(reply.header("Content-Range"), "bytes 100-1099/%d" % e2e_env.STATIC_SIZE)
        with open(os.path.join(self.env.nginx.www, "big.bin"), "rb") as data:
            data.seek(100)
            self.assertEqual(reply.body, data.read(1000))


class PathCases:
    """Paths as Apache decodes them, the reserved paths and the lists."""

    def test_special_characters_reach_target_encoded(self):
        cases = [
            ("/echo/a%20b", "/echo/a%20b"),
            ("/echo/100%25", "/echo/100%25"),
            ("/echo/what%3F?q=1", "/echo/what%3F?q=1"),
            ("/echo/frag%23ment", "/echo/frag%23ment"),
            ("/echo/caf%c3%a9", "/echo/caf%C3%A9"),
            ("/echo/caf\u00e9", "/echo/caf%C3%A9"),          # raw UTF-8 from the client
            ("/echo/%E2%82%AC%20x?k=%E2%82%AC", "/echo/%E2%82%AC%20x?k=%E2%82%AC"),
            ("/echo/a+b/%7Euser", "/echo/a+b/~user"),
            ("/echo/mixed%20%25%3F%23%C3%A9?a=%23&b=c", "/echo/mixed%20%25%3F%23%C3%A9?a=%23&b=c"),
        ]
        for sent, expected in cases:
            with self.subTest(path=sent):
                seen = self.echoed(self.fetch("nph-gw", sent))
                self.assertEqual(seen["target"], expected)

    def test_local_reply_with_unread_body_reaches_browser(self):
        # A refused path, the information page and the probe answer without
        # forwarding the body. Under mod_cgid a program that exits with its
        # input unread loses its reply (the socket is reset), so the gateway
        # must still consume it.
        body = os.path.join(self.env.scratch, "body-5mb.bin")
        if not os.path.exists(body):
            with open(body, "wb") as out:
                out.write(b"z" * (5 * 1024 * 1024))
        mark = self.mark()
        for script, path, status, marker in (
                ("nph-admin", "/admin/upload", 403, b"<H2>Forbidden</H2>"),
                ("nph-gw", "/~~info", 200, b"<H2>Product information</H2>"),
                ("nph-gw", "/~~target", 200, b"<B>Good:</B>")):
            for framing in ([], ["-H", "Transfer-Encoding: chunked"]):
                for attempt in range(3):
                    with self.subTest(path=path, framing=framing, attempt=attempt):
                        reply = self.fetch(script, path, "--data-binary", "@" + body, *framing)
                        self.assertOk(reply, status)
                        self.assertIn(marker, reply.body)
        probes = self.seen_since(mark)
        self.assertEqual({(r["method"], r["target"], r["body_length"]) for r in probes},
                         {("GET", "/", 0)})

    def test_reserved_paths(self):
        mark = self.mark()
        echo = self.fetch("nph-gw", "/~~echo")
        self.assertOk(echo)
        self.assertEqual(echo.header("Content-Type"), "text/plain")
        self.assertTrue(echo.body.startswith(b"GET /~~echo HTTP/1.0\r\n"), echo.body)
        self.assertIn(b"\r\nHost: 127.0.0.1\r\n", echo.body)
        self.assertNotIn(str(self.env.app.port).encode(), echo.body)
        self.assertTrue(echo.body.endswith(b"\r\n\r\n"))
        posted = self.fetch("nph-gw", "/~~echo", "--data-raw", "a=1&b=2")
        self.assertOk(posted)
        self.assertIn(b"\r\nContent-Length: 7\r\n", posted.body)
        self.assertTrue(posted.body.endswith(b"\r\n\r\na=1&b=2"))

        info = self.fetch("nph-gw", "/~~info")
        self.assertOk(info)
        text = info.body.decode("latin-1")
        self.assertRegex(text, r"<B>Script name:</B> /cgi-bin/nph-gw \(\d+\.\d+\.\d+\)<BR>")
        self.assertIn("<B>Server software:</B> Apache/2.4", text)
        self.assertIn("<B>Server protocol:</B> HTTP/1.1<BR>", text)
        self.assertIn("<B>Gateway interface:</B> CGI/1.1<BR>", text)
        self.assertEqual(self.seen_since(mark), [], "echo and info must not reach the target")

        good = self.fetch("nph-gw", "/~~target")
        self.assertOk(good)
        self.assertIn(b"<B>Good:</B> target server reached.", good.body)
        probes = self.seen_since(mark)
        self.assertEqual([(r["method"], r["target"]) for r in probes], [("GET", "/")])
        bad = self.fetch("nph-down", "/~~target")
        self.assertOk(bad)
        self.assertIn(b"<B>Bad:</B> target server not reached.", bad.body)

        # Only the exact names are reserved: near misses go to the target.
        mark = self.mark()
        for near in ("/~~ECHO", "/~~echo/x"):
            self.assertEqual(self.fetch("nph-gw", near).status, 404)  # the target's answer
        self.assertEqual([r["path"] for r in self.seen_since(mark)], ["/~~ECHO", "/~~echo/x"])

    def test_refused_paths_stay_refused(self):
        variants = ["/admin", "/ADMIN", "//admin", "/./admin", "/x/../admin", "/%61dmin",
                    "/Admin/users?x=1", "/%41DMIN/"]
        mark = self.mark()
        for path in variants:
            with self.subTest(path=path):
                reply = self.fetch("nph-admin", path, "--path-as-is")
                self.assertOk(reply, 403)
                self.assertEqual(reply.raw_head, FORBIDDEN_PAGE)
                self.assertEqual(reply.body, b"<H2>Forbidden</H2>")
        self.assertEqual(self.seen_since(mark), [], "a refused path reached the target")
        # Everything else still goes through.
        seen = self.echoed(self.fetch("nph-admin", "/echo/administration-is-elsewhere"))
        self.assertEqual(seen["path"], "/echo/administration-is-elsewhere")


class FailureCases:
    """What the browser sees when the target fails."""

    def test_target_down(self):
        reply = self.fetch("nph-down", "/anything")
        self.assertOk(reply, 500)
        self.assertEqual(reply.raw_head, ERROR_PAGE)
        self.assertEqual(reply.body, b"<H2>CGI Error</H2>")
        self.assertLess(reply.elapsed, 5)

    def test_slow_target(self):
        within = self.fetch("nph-gw", "/slow?seconds=1.5")
        self.assertOk(within)
        self.assertEqual(within.body, b"slow reply\n")
        # Timeout=2 in nph-slow.ini: whole seconds, counted from the send.
        beyond = self.fetch("nph-slow", "/slow?seconds=6")
        self.assertOk(beyond, 500)
        self.assertEqual(beyond.raw_head, ERROR_PAGE)
        self.assertGreater(beyond.elapsed, 0.9)
        self.assertLess(beyond.elapsed, 4.5)

    def test_target_closes_early(self):
        # Without waiting for Timeout (30 s here).
        for stage in ("header", "body"):
            with self.subTest(stage=stage):
                reply = self.fetch("nph-gw", "/close-early?stage=" + stage)
                self.assertOk(reply, 500)
                self.assertEqual(reply.body, b"<H2>CGI Error</H2>")
                self.assertLess(reply.elapsed, 5)


class DeploymentCases:
    """How the way Apache is set up shows through."""

    def test_linked_gateway_reads_its_own_settings(self):
        # Apache starts the program under the link's name.
        reply = self.fetch("nph-linked", "/small.html")
        self.assertOk(reply)
        self.assertIn(b"Static page from nginx", reply.body)

    def test_without_nph_name_apache_rejects_the_output(self):
        # Parsed as an ordinary CGI program, the status line is a malformed
        # header: Apache answers 500, yet the request did reach the target.
        mark = self.mark()
        reply = self.fetch("parsed-gw", "/echo/parsed", "--data-raw", "order=1")
        self.assertOk(reply, 500)
        self.assertIn("Apache", reply.header("Server"))
        self.assertEqual([(r["method"], r["path"]) for r in self.seen_since(mark)],
                         [("POST", "/echo/parsed")])
        self.assertIn("malformed header from script", self.apache.error_log_text())

    def test_encoded_slash_is_refused_by_apache(self):
        # AllowEncodedSlashes is Off by default: Apache answers 404 itself.
        mark = self.mark()
        reply = self.fetch("nph-gw", "/echo/a%2Fb")
        self.assertOk(reply, 404)
        self.assertIn("Apache", reply.header("Server"))
        self.assertEqual(self.seen_since(mark), [])

    def test_apache_timeout_below_gateway_timeout(self):
        # Why the gateway's Timeout must stay below Apache's: past Apache's
        # limit the browser gets no response at all, not the 500 page.
        root = tempfile.mkdtemp(prefix="short-", dir=self.root)
        short = servers.Apache(self.MODE, root, {"nph-gw": ENV.gateway_settings()["nph-gw"]},
                               apache_timeout=2)
        try:
            short.start(ENV.gateway)
            reply = curl(self.env, short.url("nph-gw", "/slow?seconds=5"))
        finally:
            short.stop()
        self.assertEqual(reply.returncode, 52, reply)  # curl: empty reply from server
        self.assertLess(reply.elapsed, 4.5)


class LoadCases:
    """Many gateways at once, all writing the same log."""

    def test_200_requests_at_concurrency_8_with_log(self):
        with open(self.log_path, "w"):
            pass  # empty, keeping the owner the gateway writes as
        count = 200
        work = tempfile.mkdtemp(prefix="load-", dir=self.env.scratch)
        config = os.path.join(work, "urls.txt")
        with open(config, "w") as out:
            for n in range(count):
                # A short pause at the target keeps 8 gateways alive at once.
                out.write('url = "%s"\noutput = "%s/out-%03d"\n'
                          % (self.url("nph-log", "/echo/load?n=%d&delay=0.03" % n), work, n))
        mark = self.mark()
        lingering = self.env.app.recorder.reset_max()
        done = subprocess.run(["curl", "-sS", "--include", "--max-time", "60", "--parallel",
                               "--parallel-immediate", "--parallel-max", "8",
                               "--config", config],
                              capture_output=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stderr)
        for n in range(count):
            with open(os.path.join(work, "out-%03d" % n), "rb") as reply:
                head, _, body = reply.read().partition(b"\r\n\r\n")
            self.assertTrue(head.startswith(b"HTTP/1.0 200 OK\r\n"), (n, head))
            self.assertEqual(json.loads(body)["query"], "n=%d&delay=0.03" % n)
        seen = sorted(r["query"] for r in self.seen_since(mark))
        self.assertEqual(seen, sorted("n=%d&delay=0.03" % n for n in range(count)))
        at_once = self.env.app.recorder.max_in_flight - lingering
        self.assertGreaterEqual(at_once, 4, "requests were not served side by side")
        print("\n[%s] at most %d requests at the target at once" % (self.MODE, at_once),
              flush=True)
        self.check_log(count)

    def check_log(self, count):
        with open(self.log_path, encoding="ascii") as log:
            lines = log.read().split("\n")
        self.assertEqual(lines[-1], "", "the log ends inside a line")
        lines = lines[:-1]
        self.assertEqual(len(lines), 5 * count)
        # Processes append line by line, so records may interleave; each line
        # must be whole, and each record's lines come in their order.
        totals = {"banner": 0, "stamp": 0, "Connected": 0, "Data sent": 0, "Reply": 0}
        for at, line in enumerate(lines):
            if line == LOG_BANNER:
                totals["banner"] += 1
                self.assertRegex(lines[at + 1], LOG_STAMP)  # written with the banner
            elif LOG_STAMP.match(line):
                totals["stamp"] += 1
            elif line == "\tConnected":
                totals["Connected"] += 1
            elif line == "\tData sent":
                totals["Data sent"] += 1
            elif line == "Reply sent back to browser":
                totals["Reply"] += 1
            else:
                self.fail("unexpected log line %d: %r" % (at, line))
            self.assertTrue(totals["banner"] >= totals["stamp"] >= totals["Connected"]
                            >= totals["Data sent"] >= totals["Reply"], (at, totals))
        self.assertEqual(set(totals.values()), {count}, totals)
        contiguous = sum(1 for at in range(len(lines) - 4)
                         if lines[at] == LOG_BANNER and lines[at + 2:at + 5]
                         == ["\tConnected", "\tData sent", "Reply sent back to browser"])
        print("\n[%s] log: %d of %d records contiguous" % (self.MODE, contiguous, count),
              flush=True)


class BrowserCases:
    """A real browser, through the gateway."""

    def chromium(self, url, profile, *extra):
        return e2e_env.chromium(url, profile, *extra)

    def test_browser_page_form_and_cookies(self):
        if not e2e_env.chromium_binary():
            if e2e_env.IN_CI:
                self.fail("chromium not found; " + e2e_env.INSTALL_HINT)
            self.skipTest("chromium not installed")
        page = self.url("nph-gw", "/app/")
        mark = self.mark()
        profile = tempfile.mkdtemp(prefix="chromium-", dir=self.env.scratch)
        code, dom, err = self.chromium(page, profile, "--dump-dom")
        self.assertEqual(code, 0, err[-3000:])

        def field(name):
            found = re.search(r'id="%s"[^>]*>([^<]*)<' % re.escape(name), dom)
            self.assertIsNotNone(found, "no #%s in the DOM:\n%s" % (name, dom))
            return html.unescape(found.group(1))

        self.assertEqual(field("status"), "done", dom)
        self.assertEqual(field("cookie-seen"), "yes")
        for check in ("style_applied", "image_loaded", "script_ran"):
            self.assertEqual(field("f-" + check), "yes", check)
        self.assertEqual(field("f-who"), "browser")
        self.assertEqual(field("f-word"), "h\u00e9llo w\u00f6rld & more")
        cookies = field("whoami")
        self.assertIn("client_side=set-by-script", cookies)
        self.assertRegex(cookies, r"app_session=[0-9a-f]{16}")

        asked = [(r["method"], r["path"].split("/app/", 1)[-1]) for r in self.seen_since(mark)]
        for wanted in [("GET", ""), ("GET", "style.css"), ("GET", "form.js"),
                       ("GET", "pixel.png"), ("POST", "submit"), ("GET", "result"),
                       ("GET", "result.js"), ("GET", "whoami")]:
            self.assertIn(wanted, asked)
        post = [r for r in self.seen_since(mark) if r["method"] == "POST"][0]
        self.assertEqual(self.header_of(post, "Content-Type"), "application/x-www-form-urlencoded")

        shot_profile = tempfile.mkdtemp(prefix="chromium-", dir=self.env.scratch)
        shot = os.path.join(self.env.artifacts, "browser-%s.png" % self.MODE)
        if os.path.exists(shot):
            os.unlink(shot)
        code, _, err = self.chromium(page, shot_profile, "--screenshot=" + shot)
        self.assertEqual(code, 0, err[-3000:])
        with open(shot, "rb") as image:
            self.assertEqual(image.read(8), b"\x89PNG\r\n\x1a\n")
        self.assertGreater(os.path.getsize(shot), 2000)
        for folder in (profile, shot_profile):
            shutil.rmtree(folder, ignore_errors=True)


ALL_CASES = (ForwardingCases, StaticFileCases, PathCases, FailureCases, DeploymentCases,
             LoadCases, BrowserCases)


class PreforkCgiTest(*ALL_CASES, ApacheFixture, unittest.TestCase):
    MODE = "prefork-cgi"


class EventCgidTest(*ALL_CASES, ApacheFixture, unittest.TestCase):
    MODE = "event-cgid"


if __name__ == "__main__":
    unittest.main()
