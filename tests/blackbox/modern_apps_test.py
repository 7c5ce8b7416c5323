"""Present-day applications behind the gateway: other request headers, the
client's address, redirects and cookies that lead back to the gateway, and a
bounded connection attempt. Each setting off must give the old bytes."""

import http.server
import json
import socket
import threading
import time
import unittest
import urllib.parse

from harness import CGI_ERROR_PAGE, TIMED_OUT, GatewayTestCase

APP_HEADERS = {
    # Inserted last to first: the environment's order must not matter.
    "HTTP_X_REQUESTED_WITH": "XMLHttpRequest",
    "HTTP_ORIGIN": "http://webhost.example",
    "HTTP_DESTINATION": "http://webhost.example/cgi-bin/nph-gw/dav/b.txt",
    "HTTP_DEPTH": "1",
}


def log_text(installation):
    with open(installation.log_path, encoding="latin-1") as handle:
        return handle.read()


class AppTestCase(GatewayTestCase):
    def setUp(self):
        super().setUp()
        self.server = self.target()
        self.gw = self.gateway()

    def settings(self, text=None, **more):
        """Writes the settings; `text` is extra lines in the Forward section."""
        base = "[Forward]\nTargetServer=127.0.0.1\nTargetPort=%d\nTimeout=10\n" % self.server.port
        self.gw.write_settings(base + "".join("%s=%s\n" % item for item in more.items()) + (text or ""))

    def forward(self, **kwargs):
        run = self.request(self.gw, **kwargs)
        return run, self.server.last_request()


class OtherHeadersTest(AppTestCase):
    def test_off_forwards_the_header_map_only(self):
        self.settings()
        _, received = self.forward(path_info="/dav/a.txt", env=dict(APP_HEADERS, HTTP_ACCEPT="*/*"))
        self.assertEqual(received.head_raw,
                         b"GET /dav/a.txt HTTP/1.0\r\nAccept: */*\r\nHost: 127.0.0.1:%d\r\n\r\n"
                         % self.server.port)

    def test_on_forwards_them_sorted_before_host_and_never_the_dangerous_ones(self):
        self.settings("forwardotherheaders = 1\n")
        env = dict(APP_HEADERS)
        env.update({
            "HTTP_ACCEPT": "*/*",
            "HTTP_PROXY": "http://attacker.example:3128",
            "HTTP_PROXY_CONNECTION": "keep-alive",
            "HTTP_KEEP_ALIVE": "300",
            "HTTP_CONTENT_LENGTH": "99",
            "HTTP_CONTENT_TYPE": "text/evil",
            "HTTP_X_TRACE": "a\r\nX-Injected: 1",
        })
        _, received = self.forward(path_info="/dav/a.txt", env=env)
        self.assertEqual(
            received.head_raw,
            (b"GET /dav/a.txt HTTP/1.0\r\nAccept: */*\r\n"
             b"Depth: 1\r\nDestination: http://webhost.example/cgi-bin/nph-gw/dav/b.txt\r\n"
             b"Origin: http://webhost.example\r\nX-Requested-With: XMLHttpRequest\r\n"
             b"X-Trace: a  X-Injected: 1\r\nHost: 127.0.0.1:%d\r\n\r\n") % self.server.port)

    def test_echo_shows_them(self):
        self.settings("ForwardOtherHeaders=1\n")
        run = self.request(self.gw, path_info="/~~echo", env={"HTTP_ORIGIN": "http://webhost.example"})
        self.assertIn(b"\r\nHost: webhost.example\r\nOrigin: http://webhost.example\r\n\r\n", run.stdout)


class ForwardedHeadersTest(AppTestCase):
    ENV = {"REMOTE_ADDR": "198.51.100.4", "HTTP_HOST": "www.example.org", "HTTPS": "on",
           "HTTP_X_FORWARDED_FOR": "10.0.0.1"}

    def test_off_adds_nothing(self):
        self.settings()
        _, received = self.forward(path_info="/a", env=self.ENV)
        self.assertEqual(received.header_names(), ["Host"])

    def test_on_names_client_host_and_scheme(self):
        self.settings("ADDFORWARDEDHEADERS=1\n")
        _, received = self.forward(path_info="/a", env=self.ENV)
        self.assertEqual(received.headers, [
            ("X-Forwarded-For", "10.0.0.1, 198.51.100.4"),
            ("X-Forwarded-Host", "www.example.org"),
            ("X-Forwarded-Proto", "https"),
            ("Host", "127.0.0.1:%d" % self.server.port)])
        _, received = self.forward(path_info="/a", env={"HTTPS": "off"})
        self.assertEqual(received.header("X-Forwarded-Proto"), "http")
        self.assertEqual(received.header("X-Forwarded-For"), "127.0.0.1")

    def test_with_other_headers_each_line_appears_once(self):
        self.settings(ForwardOtherHeaders=1, AddForwardedHeaders=1)
        env = dict(self.ENV, HTTP_X_FORWARDED_HOST="spoofed.example", HTTP_X_FORWARDED_PROTO="http",
                   HTTP_ORIGIN="https://www.example.org")
        _, received = self.forward(path_info="/a", env=env)
        names = received.header_names()
        self.assertEqual(names, ["Origin", "X-Forwarded-For", "X-Forwarded-Host", "X-Forwarded-Proto", "Host"])
        self.assertEqual(received.header("X-Forwarded-Host"), "www.example.org")
        self.assertEqual(received.header("X-Forwarded-Proto"), "https")


class RedirectTest(AppTestCase):
    def redirect_to(self, location, **env):
        self.server.add_raw("/go", b"HTTP/1.0 302 Found\r\nLocation: " + location.encode() +
                            b"\r\nContent-Length: 0\r\n\r\n")
        run, received = self.forward(path_info="/go", env=env)
        return run, received

    def location(self, run):
        for line in run.stdout.split(b"\r\n\r\n")[0].split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.lower() == b"location":
                return value.strip().decode("latin-1")
        return None

    def test_off_relays_the_reply_byte_for_byte(self):
        self.settings()
        run, received = self.redirect_to("http://127.0.0.1:%d/login" % self.server.port)
        self.assertEqual(run.stdout, received.reply)

    def test_on_sends_the_browser_back_through_the_gateway(self):
        self.settings("RewriteRedirects=1\n")
        port = self.server.port
        cases = [
            ("http://127.0.0.1:%d/login?next=/a" % port, {},
             "http://webhost.example/cgi-bin/nph-gw/login?next=/a"),
            ("http://127.0.0.1:%d/" % port, {"HTTPS": "on", "HTTP_HOST": "www.example.org:8443"},
             "https://www.example.org:8443/cgi-bin/nph-gw/"),
            ("/login", {}, "/cgi-bin/nph-gw/login"),
            ("//other.example/x", {}, "//other.example/x"),
            ("next/page", {}, "next/page"),
            ("http://other.example/x", {}, "http://other.example/x"),
            ("http://127.0.0.1/x", {}, "http://127.0.0.1/x"),  # port 80 is not the target's
        ]
        for location, env, expected in cases:
            with self.subTest(location=location):
                run, _ = self.redirect_to(location, **env)
                self.assertEqual(self.location(run), expected)

    def test_public_path_empty_or_given(self):
        port = self.server.port
        self.settings('PublicPath=""\nRewriteRedirects=1\n')
        run, _ = self.redirect_to("http://127.0.0.1:%d/login" % port)
        self.assertEqual(self.location(run), "http://webhost.example/login")
        self.settings("publicpath=/site/\nrewriteredirects=1\n")
        run, _ = self.redirect_to("/login")
        self.assertEqual(self.location(run), "/site/login")

    def test_target_named_as_written_in_the_settings(self):
        self.gw.write_settings({"TargetServer": "localhost", "TargetPort": self.server.port,
                                "RewriteRedirects": 1})
        run, _ = self.redirect_to("http://LOCALHOST:%d/x" % self.server.port)
        self.assertEqual(self.location(run), "http://webhost.example/cgi-bin/nph-gw/x")

    def test_cookies_and_body(self):
        port = self.server.port
        body = b"Location: http://127.0.0.1:%d/\r\n\r\nSet-Cookie: a=1; Path=/\r\n" % port
        head = (b"HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:%d/home\r\n"
                b"Set-Cookie: sid=1; Path=/; Domain=127.0.0.1; HttpOnly\r\n"
                b"Set-Cookie: pref=2; Domain=example.org; Path=/app\r\n"
                b"X-Other:  kept  as is\r\nContent-Length: %d\r\n\r\n") % (port, len(body))
        self.server.add_raw("/login", head + body)
        for streaming in (0, 1):
            with self.subTest(streaming=streaming):
                self.settings(RewriteRedirects=1, Streaming=streaming)
                run, _ = self.forward(path_info="/login")
                self.assertEqual(
                    run.stdout,
                    b"HTTP/1.0 302 Found\r\nLocation: http://webhost.example/cgi-bin/nph-gw/home\r\n"
                    b"Set-Cookie: sid=1; Path=/cgi-bin/nph-gw/; HttpOnly\r\n"
                    b"Set-Cookie: pref=2; Domain=example.org; Path=/cgi-bin/nph-gw/app\r\n"
                    b"X-Other:  kept  as is\r\nContent-Length: %d\r\n\r\n" % len(body) + body)

    def test_interim_reply_before_the_final_one(self):
        self.settings(RewriteRedirects=1)
        reply = (b"HTTP/1.1 100 Continue\r\n\r\n"
                 b"HTTP/1.0 303 See Other\r\nLocation: /done\r\nContent-Length: 2\r\n\r\nok")
        self.server.add_raw("/form", reply)
        run, _ = self.forward(path_info="/form", method="POST", body=b"a=1")
        self.assertEqual(run.stdout, reply.replace(b"/done", b"/cgi-bin/nph-gw/done"))


class FullListener:
    """A loopback listener that never accepts, its queue of pending
    connections full: the system drops further connection attempts, so they
    wait as they would for an unreachable host."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        self.fillers = []
        self.full = False
        for _ in range(100):
            try:
                self.fillers.append(socket.create_connection(("127.0.0.1", self.port), timeout=0.3))
            except socket.timeout:
                self.full = True
                break

    def close(self):
        for filler in self.fillers:
            filler.close()
        self.listener.close()


class ConnectTimeoutTest(GatewayTestCase):
    def test_unanswered_attempt_fails_with_the_timed_out_code(self):
        listener = FullListener()
        self.addCleanup(listener.close)
        self.assertTrue(listener.full, "the system never dropped a connection attempt")
        gw = self.gateway()
        for streaming in (0, 1):
            with self.subTest(streaming=streaming):
                gw.write_settings("[Forward]\nTargetPort=%d\nconnecttimeout=1\nLog=1\nStreaming=%d\n"
                                  % (listener.port, streaming))
                run = self.request(gw, path_info="/a")
                self.assertEqual(run.stdout, CGI_ERROR_PAGE)
                self.assertGreaterEqual(run.elapsed, 0.9)
                self.assertLess(run.elapsed, 2.5)
        self.assertEqual(log_text(gw).count("\nConnection error: %d\n" % TIMED_OUT), 2)

    def test_reachable_target_is_served_as_without_it(self):
        server = self.target()
        gw = self.gateway(self.settings_for(server.port, ConnectTimeout=1))
        run = self.request(gw, path_info="/_t/bytes", query="n=100")
        self.assertEqual(run.stdout, server.last_request().reply)


class App(http.server.BaseHTTPRequestHandler):
    """An application that trusts only same-origin AJAX posts and keeps a
    session in a cookie for the whole site."""

    sessions = {}

    def log_message(self, *args):
        pass

    def reply(self, code, body, headers=()):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.path != "/login":
            return self.reply(404, b"no")
        # The CSRF check of the day: the browser's Origin must be the site the
        # browser sees, as the proxy in front says.
        public = "%s://%s" % (self.headers.get("X-Forwarded-Proto"), self.headers.get("X-Forwarded-Host"))
        if self.headers.get("Origin") != public or self.headers.get("X-Requested-With") != "XMLHttpRequest":
            return self.reply(403, b"cross-site request refused")
        user = urllib.parse.parse_qs(body.decode())["user"][0]
        App.sessions["s-" + user] = (user, self.headers.get("X-Forwarded-For"))
        host = self.headers.get("Host")
        self.reply(302, b"", [("Location", "http://%s/home" % host),
                              ("Set-Cookie", "session=s-%s; Path=/; Domain=%s; HttpOnly"
                               % (user, host.split(":")[0]))])

    def do_GET(self):
        cookie = self.headers.get("Cookie") or ""
        session = App.sessions.get(cookie.partition("session=")[2].split(";")[0])
        if self.path != "/home" or not session:
            return self.reply(401, b"please log in")
        self.reply(200, json.dumps({"user": session[0], "client": session[1]}).encode())


class Browser:
    """Just enough of a browser: follows a Location that stays on the site
    and keeps the cookies the site may have."""

    SITE = "http://webhost.example"

    def __init__(self, test, gw):
        self.test, self.gw, self.cookies = test, gw, {}

    def run(self, path, method="GET", body=None, env=None):
        cookies = "; ".join("%s=%s" % (name, value) for name, (value, scope) in self.cookies.items()
                            if path.startswith(scope))
        environment = dict(env or {}, REMOTE_ADDR="192.0.2.10")
        if cookies:
            environment["HTTP_COOKIE"] = cookies
        script = "/cgi-bin/nph-gw"
        if not path.startswith(script + "/"):
            return None
        run = self.test.request(self.gw, path_info=path[len(script):], method=method, body=body, env=environment)
        head, _, content = run.stdout.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        location = None
        for line in lines[1:]:
            name, _, value = line.partition(":")
            value = value.strip()
            if name.lower() == "location":
                location = value
            elif name.lower() == "set-cookie":
                pair, *attributes = [part.strip() for part in value.split(";")]
                attributes = dict(a.partition("=")[::2] for a in attributes)
                domain = attributes.get("Domain")
                if domain and domain.lstrip(".") != "webhost.example":
                    continue  # a browser refuses a cookie for another site
                name_, _, cookie = pair.partition("=")
                self.cookies[name_] = (cookie, attributes.get("Path", "/"))
        return status, location, content

    def follow(self, location):
        if location.startswith(self.SITE + "/"):
            location = location[len(self.SITE):]
        if not location.startswith("/"):
            return None  # a place the browser cannot reach
        return self.run(location)


class LoginFlowTest(GatewayTestCase):
    def setUp(self):
        super().setUp()
        App.sessions = {}
        self.app = http.server.ThreadingHTTPServer(("127.0.0.1", 0), App)
        thread = threading.Thread(target=self.app.serve_forever, daemon=True)
        thread.start()
        self.addCleanup(thread.join, 5)
        self.addCleanup(self.app.server_close)
        self.addCleanup(self.app.shutdown)

    def login(self, **settings):
        gw = self.gateway(dict(self.settings_for(self.app.server_address[1]), **settings))
        browser = Browser(self, gw)
        status, location, _ = browser.run(
            "/cgi-bin/nph-gw/login", method="POST", body=b"user=alice",
            env={"HTTP_ORIGIN": "http://webhost.example", "HTTP_X_REQUESTED_WITH": "XMLHttpRequest"})
        if status != 302:
            return status, None
        followed = browser.follow(location)
        return status, followed

    def test_login_works_through_the_gateway_with_the_settings_on(self):
        status, followed = self.login(ForwardOtherHeaders=1, AddForwardedHeaders=1, RewriteRedirects=1)
        self.assertEqual(status, 302)
        self.assertIsNotNone(followed, "the redirect led away from the site")
        self.assertEqual(followed[0], 200)
        self.assertEqual(json.loads(followed[2]), {"user": "alice", "client": "192.0.2.10"})

    def test_login_fails_with_the_settings_off(self):
        self.assertEqual(self.login(), (403, None))
        status, followed = self.login(ForwardOtherHeaders=1, AddForwardedHeaders=1)
        self.assertEqual(status, 302)
        self.assertIsNone(followed, "without rewriting the browser is sent to the target's address")


if __name__ == "__main__":
    unittest.main()
