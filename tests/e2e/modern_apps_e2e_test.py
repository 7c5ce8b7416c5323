"""A present-day application behind the gateway, under a real Apache httpd:
the settings ForwardOtherHeaders, AddForwardedHeaders, RewriteRedirects and
PublicPath, each off and on, with curl and with a headless browser signing in.

The application (target_app.py, /site/) knows itself by its own address: its
redirects name http://127.0.0.1:<its port>/ and its session cookie carries
Domain=127.0.0.1 and Path=/. It refuses a form POST whose Origin does not name
the host the browser used, and its API answers AJAX requests only. The browser
reaches Apache as http://public.test:<port>/ (mapped to 127.0.0.1 inside the
browser and curl only), so a name that is the target's and not the browser's
shows. Every case runs under mpm_prefork + mod_cgi and mpm_event + mod_cgid.
"""

import hashlib
import html
import json
import os
import re
import shutil
import tempfile
import time
import unittest
import urllib.parse

import e2e_env
import servers
from e2e_env import curl
from target_app import stream_sha256

ENV = None
PUBLIC_HOST = "public.test"


def setUpModule():
    global ENV
    e2e_env.check_tools()
    ENV = e2e_env.Environment()


def tearDownModule():
    if ENV:
        ENV.close()


def gateways(app_port):
    def ini(*extra):
        lines = ["[Forward]", "TargetServer=127.0.0.1", "TargetPort=%d" % app_port,
                 "Timeout=30"]
        return "\n".join(lines + list(extra)) + "\n"
    other, forwarded, rewrite = "ForwardOtherHeaders=1", "AddForwardedHeaders=1", "RewriteRedirects=1"
    return {
        "nph-off": ini(),
        "nph-other": ini(other),
        "nph-fwd": ini(forwarded),
        "nph-headers": ini(other, forwarded),
        "nph-rewrite": ini(rewrite),
        "nph-modern": ini(other, forwarded, rewrite),
        "nph-modern-stream": ini(other, forwarded, rewrite, "Streaming=1"),
        # Told by Apache that the browser came over TLS (see below).
        "nph-tls": ini(other, forwarded, rewrite),
        # The whole site, routed by the rewrite rule below.
        "nph-site": ini(other, forwarded, rewrite, "PublicPath="),
    }


# The whole site through the gateway as the README shows, /cgi-bin/ itself
# staying reachable; and one gateway that sees HTTPS=on, as behind a TLS
# front end.
EXTRA_CONF = """
<Location "/cgi-bin/nph-tls">
    SetEnv HTTPS on
</Location>
RewriteEngine On
RewriteCond %{REQUEST_URI} !^/cgi-bin/
RewriteRule ^/(.*)$ /cgi-bin/nph-site/$1 [PT,L]
"""


class ModernFixture:
    MODE = None

    @classmethod
    def setUpClass(cls):
        cls.env = ENV
        cls.root = tempfile.mkdtemp(prefix="modern-%s-" % cls.MODE, dir=ENV.root)
        cls.apache = servers.Apache(cls.MODE, cls.root, gateways(ENV.app.port),
                                    extra_conf=EXTRA_CONF, extra_modules=("rewrite", "env"))
        try:
            cls.apache.start(ENV.gateway)
        except BaseException:
            cls.apache.stop()
            raise
        cls.port = cls.apache.port
        cls.public = "%s:%d" % (PUBLIC_HOST, cls.port)
        cls.target = "127.0.0.1:%d" % ENV.app.port
        cls.started = time.monotonic()

    @classmethod
    def tearDownClass(cls):
        cls.apache.stop()
        print("\n[%s] modern application cases took %.1f s"
              % (cls.MODE, time.monotonic() - cls.started), flush=True)

    def fetch(self, script, path, *args, **kw):
        """Through the gateway `script`, addressed as the browser would:
        http://public.test:<port>/cgi-bin/<script><path>."""
        url = "http://%s/cgi-bin/%s%s" % (self.public, script, path)
        return curl(self.env, url, "--resolve", "%s:127.0.0.1" % self.public, *args, **kw)

    def fetch_site(self, path, *args, **kw):
        """The site routed wholly to the gateway: no /cgi-bin/ in the address."""
        url = "http://%s%s" % (self.public, path)
        return curl(self.env, url, "--resolve", "%s:127.0.0.1" % self.public, *args, **kw)

    def assertStatus(self, reply, status):
        self.assertEqual(reply.returncode, 0, reply.stderr)
        self.assertEqual(reply.status, status, (reply.raw_head, reply.body[:300]))

    def echoed(self, reply):
        self.assertStatus(reply, 200)
        return json.loads(reply.body)

    @staticmethod
    def headers_named(record, name):
        return [v for n, v in record["headers"] if n.lower() == name.lower()]

    def mark(self):
        return self.env.app.recorder.mark()

    def seen_since(self, mark):
        return self.env.app.recorder.since(mark)

    def site_requests(self, mark):
        """The login site's requests, leaving out what a browser asks for on
        its own (/favicon.ico)."""
        return [r for r in self.seen_since(mark) if r["path"].startswith("/site/")]

    def sign_in(self, script, *args):
        """The login form's POST as a browser on the public address sends it."""
        return self.fetch(script, "/site/login", "--data-raw", "user=alice&password=wonderland",
                          "-H", "Origin: http://" + self.public, *args)


# What a browser and a WebDAV client send that the fixed header map lacks.
OTHER_HEADERS = [
    ("Depth", "1"),
    ("Destination", "http://public.test/dav/new%20name.txt"),
    ("Origin", "http://public.test"),
    ("X-Custom-Trace", "abc-123"),
    ("X-Requested-With", "XMLHttpRequest"),
]


class HeaderCases:

    def test_other_headers_off_and_on(self):
        sent = []
        for name, value in OTHER_HEADERS + [("Proxy", "http://evil.example:3128/")]:
            sent += ["-H", "%s: %s" % (name, value)]
        off = self.echoed(self.fetch("nph-off", "/echo/dav", *sent))
        for name, _ in OTHER_HEADERS:
            self.assertEqual(self.headers_named(off, name), [], name)
        on = self.echoed(self.fetch("nph-other", "/echo/dav", *sent))
        for name, value in OTHER_HEADERS:
            self.assertEqual(self.headers_named(on, name), [value], name)
        # Never forwarded: the "httpoxy" header, and Host names the target.
        self.assertEqual(self.headers_named(on, "Proxy"), [])
        self.assertEqual(self.headers_named(on, "Host"), [self.target])
        # Sorted by variable name, whatever order the environment had.
        order = [n.lower() for n, _ in on["headers"]]
        self.assertEqual([order.index(n.lower()) for n, _ in OTHER_HEADERS],
                         sorted(order.index(n.lower()) for n, _ in OTHER_HEADERS))

    def test_origin_and_ajax_checks_of_the_application(self):
        # Off, the CSRF check sees no Origin at all.
        refused = self.sign_in("nph-off")
        self.assertStatus(refused, 403)
        self.assertIn(b"Origin check failed: no Origin", refused.body)
        # The Origin alone is not enough: the application compares it with
        # the host it is addressed as, which is the target's own.
        refused = self.sign_in("nph-other")
        self.assertStatus(refused, 403)
        self.assertIn(("Origin check failed: http://%s is not %s"
                       % (self.public, self.target)).encode(), refused.body)
        # With X-Forwarded-Host it knows the browser's host.
        self.assertStatus(self.sign_in("nph-headers"), 303)
        # The AJAX-only endpoint: off it refuses, on the request gets past the
        # check (and is refused later for want of a session).
        ajax = ("-H", "X-Requested-With: XMLHttpRequest")
        self.assertStatus(self.fetch("nph-off", "/site/api/me", *ajax), 400)
        self.assertStatus(self.fetch("nph-other", "/site/api/me", *ajax), 401)

    def test_forwarded_headers_off_and_on(self):
        names = ("X-Forwarded-For", "X-Forwarded-Host", "X-Forwarded-Proto")
        off = self.echoed(self.fetch("nph-off", "/echo/fwd"))
        for name in names:
            self.assertEqual(self.headers_named(off, name), [], name)
        on = self.echoed(self.fetch("nph-fwd", "/echo/fwd"))
        self.assertEqual(self.headers_named(on, "X-Forwarded-For"), ["127.0.0.1"])
        self.assertEqual(self.headers_named(on, "X-Forwarded-Host"), [self.public])
        self.assertEqual(self.headers_named(on, "X-Forwarded-Proto"), ["http"])
        self.assertEqual(self.headers_named(on, "Host"), [self.target])
        # Behind another proxy: the client's address is appended to the chain;
        # what the client claims as host and scheme is replaced, also when
        # every other header is forwarded, and no header comes twice.
        claims = ("-H", "X-Forwarded-For: 203.0.113.7", "-H", "X-Forwarded-Host: evil.example",
                  "-H", "X-Forwarded-Proto: https")
        for script in ("nph-fwd", "nph-modern"):
            with self.subTest(script=script):
                seen = self.echoed(self.fetch(script, "/echo/chain", *claims))
                self.assertEqual(self.headers_named(seen, "X-Forwarded-For"),
                                 ["203.0.113.7, 127.0.0.1"])
                self.assertEqual(self.headers_named(seen, "X-Forwarded-Host"), [self.public])
                self.assertEqual(self.headers_named(seen, "X-Forwarded-Proto"), ["http"])


class RedirectCases:

    def test_login_redirect_and_cookie_off_and_on(self):
        welcome = "http://%s/site/welcome" % self.target
        off = self.sign_in("nph-headers")
        self.assertStatus(off, 303)
        # The browser is sent to an address it cannot reach, with a cookie
        # for a host it is not on.
        self.assertEqual(off.all("Location"), [welcome])
        cookie = off.header("Set-Cookie")
        self.assertRegex(cookie, r"^site_session=[0-9a-f]{16}; Path=/; Domain=127\.0\.0\.1; HttpOnly$")

        on = self.sign_in("nph-modern")
        self.assertStatus(on, 303)
        self.assertEqual(on.all("Location"),
                         ["http://%s/cgi-bin/nph-modern/site/welcome" % self.public])
        self.assertRegex(on.header("Set-Cookie"),
                         r"^site_session=[0-9a-f]{16}; Path=/cgi-bin/nph-modern/; HttpOnly$")
        # Only the header changes: the body still names the target and its
        # length is the declared one.
        self.assertEqual(on.body, off.body)
        self.assertIn(welcome.encode(), on.body)
        self.assertEqual(on.header("Content-Length"), str(len(on.body)))
        self.assertEqual(on.header("Content-Type"), off.header("Content-Type"))

    def test_login_followed_by_curl(self):
        # curl follows the redirect and keeps cookies as a browser does.
        def follow(script):
            jar = tempfile.NamedTemporaryFile(dir=self.env.scratch, delete=False).name
            try:
                return self.sign_in(script, "-L", "-c", jar, "-b", jar)
            finally:
                os.unlink(jar)
        # Off: curl leaves the gateway for the target's own address (reachable
        # here only because it is the same machine), without the cookie,
        # which named another host.
        mark = self.mark()
        off = follow("nph-headers")
        self.assertEqual(off.returncode, 0, off.stderr)
        self.assertEqual(off.status, 401)
        direct = [r for r in self.seen_since(mark) if r["path"] == "/site/welcome"]
        self.assertEqual(len(direct), 1)
        self.assertEqual(self.headers_named(direct[0], "X-Forwarded-For"), [],
                         "the redirect was followed through the gateway")
        # On: back through the gateway, signed in.
        signed = follow("nph-modern")
        self.assertStatus(signed, 200)
        self.assertIn(b"Welcome, alice", signed.body)

    def test_https_seen_by_the_gateway(self):
        seen = self.echoed(self.fetch("nph-tls", "/echo/tls"))
        self.assertEqual(self.headers_named(seen, "X-Forwarded-Proto"), ["https"])
        signed = self.sign_in("nph-tls")
        self.assertStatus(signed, 303)
        self.assertEqual(signed.all("Location"),
                         ["https://%s/cgi-bin/nph-tls/site/welcome" % self.public])

    def test_path_absolute_and_content_location(self):
        # "Location: /site/login" and the cookie being cleared.
        off = self.fetch("nph-off", "/site/logout")
        self.assertStatus(off, 302)
        self.assertEqual(off.all("Location"), ["/site/login"])
        on = self.fetch("nph-rewrite", "/site/logout")
        self.assertStatus(on, 302)
        self.assertEqual(on.all("Location"), ["/cgi-bin/nph-rewrite/site/login"])
        self.assertEqual(on.all("Set-Cookie"),
                         ["site_session=; Path=/cgi-bin/nph-rewrite/; Max-Age=0"])
        # Content-Location naming the target.
        off = self.fetch("nph-off", "/site/welcome")
        self.assertStatus(off, 401)
        self.assertEqual(off.all("Content-Location"), ["http://%s/site/welcome" % self.target])
        on = self.fetch("nph-rewrite", "/site/welcome")
        self.assertStatus(on, 401)
        self.assertEqual(on.all("Content-Location"),
                         ["http://%s/cgi-bin/nph-rewrite/site/welcome" % self.public])

    def test_other_addresses_untouched(self):
        # Addresses that do not name the target stay as they are: another
        # host, another port of the same host, and a different scheme.
        for location in ("http://elsewhere.invalid/landing?x=1",
                         "http://127.0.0.1:%d/x" % servers.free_port(),
                         "https://%s/secure" % self.target,
                         "relative/next"):
            with self.subTest(location=location):
                reply = self.fetch("nph-rewrite", "/redirect?to=" + urllib.parse.quote(location, ""))
                self.assertStatus(reply, 302)
                self.assertEqual(reply.all("Location"), [location])

    def test_rewritten_header_before_a_large_body(self):
        # The rewritten header differs in length from the target's; the body
        # after it must still arrive whole, held or streamed, framed by its
        # length or by the close.
        size = 20 * 1024 * 1024 + 3
        for script in ("nph-modern", "nph-modern-stream"):
            for length in ("1", "0"):
                with self.subTest(script=script, length=length):
                    path = "/stream?size=%d&seed=7&named=1&length=%s" % (size, length)
                    reply = self.fetch(script, path)
                    self.assertStatus(reply, 200)
                    self.assertEqual(reply.all("Content-Location"),
                                     ["http://%s/cgi-bin/%s%s" % (self.public, script, path)])
                    self.assertEqual(reply.header("Content-Length"),
                                     str(size) if length == "1" else None)
                    self.assertEqual(len(reply.body), size)
                    self.assertEqual(hashlib.sha256(reply.body).hexdigest(),
                                     stream_sha256(size, 7))

    def test_whole_site_through_rewrite_rule(self):
        mark = self.mark()
        seen = self.echoed(self.fetch_site("/echo/hello%20there?x=1"))
        self.assertEqual(seen["target"], "/echo/hello%20there?x=1")
        self.assertEqual(self.headers_named(seen, "X-Forwarded-Host"), [self.public])
        # PublicPath= (empty): the public address carries no /cgi-bin/ prefix.
        signed = self.fetch_site("/site/login", "--data-raw", "user=alice&password=wonderland",
                                 "-H", "Origin: http://" + self.public)
        self.assertStatus(signed, 303)
        self.assertEqual(signed.all("Location"), ["http://%s/site/welcome" % self.public])
        self.assertRegex(signed.header("Set-Cookie"), r"^site_session=[0-9a-f]{16}; Path=/; HttpOnly$")
        out = self.fetch_site("/site/logout")
        self.assertStatus(out, 302)
        self.assertEqual(out.all("Location"), ["/site/login"])
        # The other gateways keep their own addresses.
        self.assertEqual(self.echoed(self.fetch("nph-off", "/echo/direct"))["target"],
                         "/echo/direct")
        self.assertEqual([r["path"] for r in self.seen_since(mark)],
                         ["/echo/hello%20there", "/site/login", "/site/logout", "/echo/direct"])


class BrowserLoginCases:
    """Headless Chromium signs in: the login page's script submits the form
    (a real form POST, with the browser's own Origin), follows the redirect,
    keeps the cookie and calls the API with X-Requested-With."""

    def sign_in_with_browser(self, url):
        if not e2e_env.chromium_binary():
            if e2e_env.IN_CI:
                self.fail("chromium not found; " + e2e_env.INSTALL_HINT)
            self.skipTest("chromium not installed")
        profile = tempfile.mkdtemp(prefix="chromium-", dir=self.env.scratch)
        try:
            code, dom, err = e2e_env.chromium(
                url, profile, "--dump-dom",
                "--host-resolver-rules=MAP %s 127.0.0.1" % PUBLIC_HOST)
        finally:
            shutil.rmtree(profile, ignore_errors=True)
        self.assertEqual(code, 0, err[-3000:])
        return dom

    def field(self, dom, name):
        found = re.search(r'id="%s"[^>]*>([^<]*)<' % re.escape(name), dom)
        self.assertIsNotNone(found, "no #%s in the DOM:\n%s" % (name, dom))
        return html.unescape(found.group(1))

    def check_signed_in(self, dom, requests, address):
        self.assertEqual(self.field(dom, "greeting"), "Welcome, alice", dom)
        self.assertEqual(self.field(dom, "address"), address)
        self.assertEqual(self.field(dom, "client"), "127.0.0.1")
        self.assertEqual(self.field(dom, "status"), "done", dom)
        status, _, answer = self.field(dom, "ajax").partition(" ")
        self.assertEqual(status, "200", dom)
        self.assertEqual(json.loads(answer),
                         {"user": "alice", "client": "127.0.0.1", "proto": "http",
                          "host": self.public})
        # Every step went through the gateway.
        steps = [(r["method"], r["path"]) for r in requests]
        self.assertEqual(steps, [("GET", "/site/login"), ("POST", "/site/login"),
                                 ("GET", "/site/welcome"), ("GET", "/site/api/me")])
        for record in requests:
            self.assertEqual(self.headers_named(record, "X-Forwarded-For"), ["127.0.0.1"],
                             record["path"])
        self.assertEqual(self.headers_named(requests[1], "Origin"), ["http://" + self.public])
        self.assertEqual(self.headers_named(requests[3], "X-Requested-With"), ["XMLHttpRequest"])

    def test_browser_login_settings_off(self):
        # Nothing on: the form POST arrives without its Origin.
        mark = self.mark()
        dom = self.sign_in_with_browser(
            "http://%s/cgi-bin/nph-off/site/login?auto=1" % self.public)
        self.assertEqual(self.field(dom, "greeting"), "Forbidden", dom)
        self.assertEqual(self.field(dom, "reason"), "Origin check failed: no Origin")
        self.assertNotIn("Welcome", dom)
        steps = [(r["method"], r["path"]) for r in self.site_requests(mark)]
        self.assertEqual(steps, [("GET", "/site/login"), ("POST", "/site/login")])

    def test_browser_login_without_rewriting(self):
        # Headers on, RewriteRedirects off: the sign-in passes, but the
        # redirect takes the browser to the target's own address, where the
        # cookie (Domain=127.0.0.1, set while on public.test) was refused.
        mark = self.mark()
        dom = self.sign_in_with_browser(
            "http://%s/cgi-bin/nph-headers/site/login?auto=1" % self.public)
        self.assertEqual(self.field(dom, "greeting"), "Please sign in", dom)
        self.assertNotIn("Welcome", dom)
        requests = self.site_requests(mark)
        self.assertEqual([(r["method"], r["path"]) for r in requests],
                         [("GET", "/site/login"), ("POST", "/site/login"),
                          ("GET", "/site/welcome")])
        left = requests[2]
        self.assertEqual(self.headers_named(left, "Host"), [self.target])
        self.assertEqual(self.headers_named(left, "X-Forwarded-For"), [],
                         "the browser should have left the gateway")
        self.assertEqual(self.headers_named(left, "Cookie"), [])

    def test_browser_login_settings_on(self):
        for script in ("nph-modern", "nph-modern-stream"):
            with self.subTest(script=script):
                mark = self.mark()
                dom = self.sign_in_with_browser(
                    "http://%s/cgi-bin/%s/site/login?auto=1" % (self.public, script))
                self.check_signed_in(dom, self.site_requests(mark),
                                     "http://%s/cgi-bin/%s/site/welcome" % (self.public, script))

    def test_browser_login_whole_site(self):
        # The rewrite rule and PublicPath=: no /cgi-bin/ in any address.
        mark = self.mark()
        dom = self.sign_in_with_browser("http://%s/site/login?auto=1" % self.public)
        self.check_signed_in(dom, self.site_requests(mark),
                             "http://%s/site/welcome" % self.public)


ALL_CASES = (HeaderCases, RedirectCases, BrowserLoginCases)


class PreforkCgiModernTest(*ALL_CASES, ModernFixture, unittest.TestCase):
    MODE = "prefork-cgi"


class EventCgidModernTest(*ALL_CASES, ModernFixture, unittest.TestCase):
    MODE = "event-cgid"


if __name__ == "__main__":
    unittest.main()
