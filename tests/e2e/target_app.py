#!/usr/bin/env python3
"""The application the end-to-end tests put behind the gateway.

A threaded HTTP/1.0 server (standard library only) that echoes what reaches
it, sets cookies, redirects, answers slowly, streams large bodies with and
without Content-Length, closes early on request, and serves a small browser
application, a login site that behaves like a present-day web framework
(Origin check, AJAX-only endpoint, absolute redirects, domain cookies) and a
sink that hashes uploads of any size without holding them. Every request it receives is recorded, so a test can tell what
the gateway really sent and whether anything was sent at all.

Run it alone for the demo:  python3 target_app.py --port 8089
"""

import argparse
import hashlib
import html
import json
import random
import secrets
import struct
import sys
import threading
import time
import urllib.parse
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

STREAM_PIECE = 1 << 20


def stream_pieces(size, seed):
    """Deterministic bytes for large bodies: the same (size, seed) always
    yields the same bytes, so a client can check them without a copy."""
    rng = random.Random(seed)
    left = size
    while left > 0:
        piece = min(left, STREAM_PIECE)
        yield rng.randbytes(piece)
        left -= piece


def stream_sha256(size, seed):
    digest = hashlib.sha256()
    for piece in stream_pieces(size, seed):
        digest.update(piece)
    return digest.hexdigest()


def _png(width, height, rgb):
    """A tiny solid-colour PNG, made here so the tests ship no binary file."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    row = b"\x00" + bytes(rgb) * width
    raw = row * height
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw))
            + chunk(b"IEND", b""))


PIXEL_PNG = _png(3, 2, (0x20, 0x80, 0x40))

APP_STYLE = b"""body { font-family: sans-serif; margin: 2em; background: #fafafa; }
h1 { color: rgb(1, 2, 3); }
.ok { color: #080; font-weight: bold; }
img#logo { width: 30px; height: 20px; border: 1px solid #888; }
"""

# Runs on the form page: records what the browser managed to load, then
# submits the form (a real form POST, not fetch).
APP_SCRIPT_FORM = b"""window.addEventListener('load', function () {
  var h1 = document.querySelector('h1');
  var img = document.getElementById('logo');
  var form = document.getElementById('f');
  form.elements['style_applied'].value =
      getComputedStyle(h1).color === 'rgb(1, 2, 3)' ? 'yes' : 'no';
  form.elements['image_loaded'].value =
      (img.complete && img.naturalWidth === 3 && img.naturalHeight === 2) ? 'yes' : 'no';
  form.elements['script_ran'].value = 'yes';
  document.cookie = 'client_side=set-by-script; path=/';
  form.submit();
});
"""

# Runs on the result page: asks the target which cookies it now receives.
APP_SCRIPT_RESULT = b"""window.addEventListener('load', function () {
  fetch('whoami', {credentials: 'same-origin'})
    .then(function (r) { return r.json(); })
    .then(function (j) {
      document.getElementById('whoami').textContent = j.cookie;
      document.getElementById('status').textContent = 'done';
    })
    .catch(function (e) {
      document.getElementById('status').textContent = 'fetch failed: ' + e;
    });
});
"""

APP_INDEX = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Gateway sample application</title>
<link rel="stylesheet" href="style.css">
<script src="form.js"></script></head>
<body>
<h1>Gateway sample application</h1>
<p>This page, its stylesheet, script and image came through the gateway.</p>
<img id="logo" src="pixel.png" alt="logo">
<form id="f" method="post" action="submit">
  <input name="who" value="browser">
  <input name="word" value="h\u00e9llo w\u00f6rld &amp; more">
  <input type="hidden" name="style_applied" value="">
  <input type="hidden" name="image_loaded" value="">
  <input type="hidden" name="script_ran" value="">
  <noscript><button>Send</button></noscript>
</form>
</body></html>
"""


# The login site: a small application written the way present-day frameworks
# behave behind a proxy. It knows itself by its own address (its "base URL"),
# so its redirects and cookies name that address; it refuses a form POST whose
# Origin is not the host the browser used (taken from X-Forwarded-Host when a
# proxy sends one, as a framework told to trust its proxy does), and its API
# answers AJAX requests only.
SITE_USER = "alice"
SITE_PASSWORD = "wonderland"

SITE_LOGIN = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Sign in</title></head>
<body><h1 id="greeting">Sign in</h1>
<form id="login" method="post" action="login">
  <input name="user" value=""> <input type="password" name="password" value="">
  <button>Sign in</button>
</form>
<script>
// With ?auto=1 the page signs in by itself, for a headless browser.
window.addEventListener('load', function () {
  if (location.search.indexOf('auto=1') < 0) return;
  var form = document.getElementById('login');
  form.elements['user'].value = '%s';
  form.elements['password'].value = '%s';
  form.submit();
});
</script>
</body></html>
""" % (SITE_USER, SITE_PASSWORD)

SITE_WELCOME = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Welcome</title></head>
<body><h1 id="greeting">Welcome, %(user)s</h1>
<p>Client address the application sees: <span id="client">%(client)s</span></p>
<p>API: <span id="ajax">(waiting)</span></p>
<p>Address: <span id="address"></span></p>
<p>Status: <span id="status">loading</span></p>
<script>
document.getElementById('address').textContent = location.href;
fetch('api/me', {credentials: 'same-origin',
                 headers: {'X-Requested-With': 'XMLHttpRequest'}})
  .then(function (r) {
    return r.text().then(function (t) {
      document.getElementById('ajax').textContent = r.status + ' ' + t;
      document.getElementById('status').textContent = 'done';
    });
  })
  .catch(function (e) {
    document.getElementById('status').textContent = 'fetch failed: ' + e;
  });
</script>
</body></html>
"""

SITE_REFUSED = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>%(title)s</title></head>
<body><h1 id="greeting">%(title)s</h1><p id="reason">%(reason)s</p>
<p><a href="login">Sign in</a></p></body></html>
"""


class Recorder:
    """What the target has been asked, in arrival order, and how many
    requests it was serving at once."""

    def __init__(self):
        self._lock = threading.Lock()
        self._records = []
        self._in_flight = 0
        self.max_in_flight = 0

    def add(self, record):
        with self._lock:
            self._records.append(record)

    def enter(self):
        with self._lock:
            self._in_flight += 1
            self.max_in_flight = max(self.max_in_flight, self._in_flight)

    def leave(self):
        with self._lock:
            self._in_flight -= 1

    def reset_max(self):
        """Starts a new count; returns how many requests are still being
        served (say, a slow one whose client gave up)."""
        with self._lock:
            self.max_in_flight = self._in_flight
            return self._in_flight

    def mark(self):
        with self._lock:
            return len(self._records)

    def since(self, mark):
        with self._lock:
            return list(self._records[mark:])


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "e2e-target/1"

    def log_message(self, *args):  # quiet: the tests read the records instead
        pass

    # Every method goes through one dispatcher.
    def do_GET(self): self._dispatch()
    def do_POST(self): self._dispatch()
    def do_PUT(self): self._dispatch()
    def do_DELETE(self): self._dispatch()
    def do_HEAD(self): self._dispatch()
    def do_OPTIONS(self): self._dispatch()
    def do_PATCH(self): self._dispatch()

    def _read_body(self):
        length = self.headers.get("Content-Length")
        if length is not None:
            left = int(length)
            parts = []
            while left > 0:
                piece = self.rfile.read(min(left, 1 << 20))
                if not piece:
                    break
                parts.append(piece)
                left -= len(piece)
            return b"".join(parts)
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            # The gateway should never send this; read it anyway so a test
            # sees the header rather than a hang.
            parts = []
            while True:
                size = int(self.rfile.readline().split(b";")[0], 16)
                if size == 0:
                    self.rfile.readline()
                    break
                parts.append(self.rfile.read(size))
                self.rfile.readline()
            return b"".join(parts)
        return b""

    def _dispatch(self):
        self.server.recorder.enter()
        try:
            self._serve()
        finally:
            self.server.recorder.leave()

    def _serve(self):
        split = urllib.parse.urlsplit(self.path)
        # Uploads to ".../sink" are hashed as they arrive, never held whole.
        if split.path.rsplit("/", 1)[-1] == "sink":
            return self._sink(split)
        body = self._read_body()
        record = {
            "method": self.command,
            "target": self.path,
            "request_version": self.request_version,
            "path": split.path,
            "query": split.query,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body_length": len(body),
            "body_sha256": hashlib.sha256(body).hexdigest(),
        }
        self.server.recorder.add(record)
        query = urllib.parse.parse_qs(split.query)
        path = split.path
        # The application may be mounted under any prefix: route on the tail.
        route = path
        for name in ("/echo", "/cookies", "/redirect", "/slow", "/stream", "/trickle",
                     "/close-early", "/app/", "/site/"):
            at = path.find(name)
            if at >= 0:
                route = path[at:]
                break
        if route.startswith("/echo"):
            return self._echo(record, body)
        if route.startswith("/cookies/set"):
            return self._send(200, json.dumps(record).encode(), "application/json",
                              [("Set-Cookie", "sid=s3cr3t; Path=/; HttpOnly"),
                               ("Set-Cookie", "theme=dark; Path=/")])
        if route.startswith("/redirect"):
            to = query.get("to", ["http://elsewhere.invalid/landing?from=target"])[0]
            return self._send(302, b"moved\n", "text/plain", [("Location", to)])
        if route.startswith("/slow"):
            time.sleep(float(query.get("seconds", ["1"])[0]))
            return self._send(200, b"slow reply\n", "text/plain")
        if route.startswith("/stream"):
            return self._stream(query)
        if route.startswith("/trickle"):
            return self._trickle(query)
        if route.startswith("/close-early"):
            return self._close_early(query.get("stage", ["header"])[0])
        if route.startswith("/app/"):
            return self._app(route[len("/app/"):], body)
        if route.startswith("/site/"):
            return self._site(route[len("/site/"):], body)
        if route == "/":
            return self._send(200, b"<html><body><h1>Target home</h1></body></html>\n",
                              "text/html")
        return self._send(404, b"no such page\n", "text/plain")

    def _send(self, status, body, content_type, extra=(), length=True):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        for name, value in extra:
            self.send_header(name, value)
        if length:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _echo(self, record, body):
        delay = urllib.parse.parse_qs(record["query"]).get("delay")
        if delay:
            time.sleep(float(delay[0]))
        reply = dict(record)
        reply["body_text"] = body.decode("latin-1") if len(body) <= 65536 else None
        self._send(200, json.dumps(reply).encode(), "application/json")

    def _stream(self, query):
        size = int(query.get("size", ["0"])[0])
        seed = int(query.get("seed", ["1"])[0])
        with_length = query.get("length", ["1"])[0] == "1"
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if with_length:
            self.send_header("Content-Length", str(size))
        if query.get("named", ["0"])[0] == "1":
            # A header naming the target, for the gateway to rewrite.
            self.send_header("Content-Location",
                             "http://%s:%d%s" % (self.server.server_address[:2] + (self.path,)))
        self.end_headers()
        if self.command == "HEAD":
            return
        for piece in stream_pieces(size, seed):
            self.wfile.write(piece)
        # Without a length the reply ends when the connection closes, which
        # HTTP/1.0 handling does after this method returns.

    def _trickle(self, query):
        """A reply that keeps flowing slowly: `pieces` lines, one every
        `interval` seconds, with the length declared up front."""
        pieces = int(query.get("pieces", ["5"])[0])
        interval = float(query.get("interval", ["0.5"])[0])
        lines = [b"piece %04d\n" % n for n in range(pieces)]
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(sum(len(line) for line in lines)))
        self.end_headers()
        for line in lines:
            self.wfile.write(line)
            self.wfile.flush()
            time.sleep(interval)

    def _close_early(self, stage):
        if stage == "header":
            self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Type: text/pl")
        else:
            self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n"
                             b"Content-Length: 100000\r\n\r\n" + b"x" * 1000)
        self.wfile.flush()
        self.close_connection = True

    def _app(self, page, body):
        cookies = self.headers.get("Cookie", "")
        if page in ("", "index.html"):
            return self._send(200, APP_INDEX.encode("utf-8"), "text/html; charset=utf-8")
        if page == "style.css":
            return self._send(200, APP_STYLE, "text/css")
        if page == "form.js":
            return self._send(200, APP_SCRIPT_FORM, "application/javascript")
        if page == "result.js":
            return self._send(200, APP_SCRIPT_RESULT, "application/javascript")
        if page == "pixel.png":
            return self._send(200, PIXEL_PNG, "image/png")
        if page == "submit" and self.command == "POST":
            fields = urllib.parse.parse_qs(body.decode("ascii", "replace"))
            token = hashlib.sha256(body).hexdigest()[:16]
            self.server.app_forms[token] = {k: v[0] for k, v in fields.items()}
            # See Other: the browser follows with a GET, carrying the cookie.
            return self._send(303, b"", "text/plain",
                              [("Location", "result"),
                               ("Set-Cookie", "app_session=%s; Path=/" % token)])
        if page == "result":
            jar = dict(part.strip().split("=", 1) for part in cookies.split(";")
                       if "=" in part)
            token = jar.get("app_session", "")
            form = self.server.app_forms.get(token)
            rows = "".join('<tr><th>%s</th><td id="f-%s">%s</td></tr>\n'
                           % (html.escape(k), html.escape(k), html.escape(v))
                           for k, v in sorted((form or {}).items()))
            page_html = ("""<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Result</title>
<link rel="stylesheet" href="style.css"><script src="result.js"></script></head>
<body><h1>Form received</h1>
<p>Session cookie seen by the target: <span id="cookie-seen" class="ok">%s</span></p>
<table>%s</table>
<p>Cookies the target receives now: <span id="whoami">(waiting)</span></p>
<p>Status: <span id="status">loading</span></p>
<img id="logo" src="pixel.png" alt="logo">
</body></html>
""" % ("yes" if form is not None else "no", rows))
            return self._send(200, page_html.encode("utf-8"), "text/html; charset=utf-8")
        if page == "whoami":
            return self._send(200, json.dumps({"cookie": cookies}).encode(),
                              "application/json", [("Cache-Control", "no-store")])
        return self._send(404, b"no such page\n", "text/plain")

    def _sink(self, split):
        """Hashes the body as it arrives and keeps none of it, so uploads of
        any size can be checked."""
        digest = hashlib.sha256()
        total = 0
        length = self.headers.get("Content-Length")
        left = int(length) if length is not None else 0
        while left > 0:
            piece = self.rfile.read(min(left, STREAM_PIECE))
            if not piece:
                break
            digest.update(piece)
            total += len(piece)
            left -= len(piece)
        record = {
            "method": self.command,
            "target": self.path,
            "request_version": self.request_version,
            "path": split.path,
            "query": split.query,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body_length": total,
            "body_sha256": digest.hexdigest(),
        }
        self.server.recorder.add(record)
        self._send(200, json.dumps(record).encode(), "application/json")

    def _site_base(self):
        return "http://%s:%d" % self.server.server_address[:2]

    def _site_user(self):
        jar = dict(part.strip().split("=", 1) for part in self.headers.get("Cookie", "").split(";")
                   if "=" in part)
        return self.server.site_sessions.get(jar.get("site_session", ""))

    def _site_refuse(self, status, title, reason):
        page = SITE_REFUSED % {"title": html.escape(title), "reason": html.escape(reason)}
        self._send(status, page.encode("utf-8"), "text/html; charset=utf-8")

    def _site(self, page, body):
        base = self._site_base()
        client = self.headers.get("X-Forwarded-For") or self.client_address[0]
        if page == "login" and self.command == "POST":
            origin = self.headers.get("Origin")
            host = self.headers.get("X-Forwarded-Host") or self.headers.get("Host", "")
            if not origin:
                return self._site_refuse(403, "Forbidden", "Origin check failed: no Origin")
            if urllib.parse.urlsplit(origin).netloc.lower() != host.lower():
                return self._site_refuse(403, "Forbidden", "Origin check failed: %s is not %s"
                                         % (origin, host))
            fields = urllib.parse.parse_qs(body.decode("ascii", "replace"))
            if (fields.get("user", [""])[0] != SITE_USER
                    or fields.get("password", [""])[0] != SITE_PASSWORD):
                return self._site_refuse(401, "Unauthorized", "wrong user or password")
            token = secrets.token_hex(8)
            self.server.site_sessions[token] = SITE_USER
            welcome = base + "/site/welcome"
            text = '<p>Signed in: <a href="%s">continue</a></p>\n' % welcome
            return self._send(303, text.encode(), "text/html",
                              [("Location", welcome),
                               ("Set-Cookie", "site_session=%s; Path=/; Domain=%s; HttpOnly"
                                % (token, self.server.server_address[0]))])
        if page == "login":
            return self._send(200, SITE_LOGIN.encode(), "text/html; charset=utf-8")
        if page == "welcome":
            user = self._site_user()
            extra = [("Content-Location", base + "/site/welcome"),
                     ("Cache-Control", "no-store")]
            if not user:
                page_html = SITE_REFUSED % {"title": "Please sign in", "reason": "no session"}
                return self._send(401, page_html.encode(), "text/html; charset=utf-8", extra)
            page_html = SITE_WELCOME % {"user": html.escape(user), "client": html.escape(client)}
            return self._send(200, page_html.encode(), "text/html; charset=utf-8", extra)
        if page == "api/me":
            if self.headers.get("X-Requested-With") != "XMLHttpRequest":
                return self._send(400, b'{"error": "AJAX requests only"}', "application/json")
            user = self._site_user()
            if not user:
                return self._send(401, b'{"error": "not signed in"}', "application/json")
            answer = {"user": user, "client": client,
                      "proto": self.headers.get("X-Forwarded-Proto", "http"),
                      "host": self.headers.get("X-Forwarded-Host") or self.headers.get("Host")}
            return self._send(200, json.dumps(answer).encode(), "application/json",
                              [("Cache-Control", "no-store")])
        if page == "logout":
            return self._send(302, b"signed out\n", "text/plain",
                              [("Location", "/site/login"),
                               ("Set-Cookie", "site_session=; Path=/; Domain=%s; Max-Age=0"
                                % self.server.server_address[0])])
        return self._send(404, b"no such page\n", "text/plain")


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that gave up (the gateway killed by its web server, a
        # browser gone) is part of what the tests provoke; anything else is
        # worth a trace.
        error = sys.exc_info()[1]
        if isinstance(error, (BrokenPipeError, ConnectionResetError)):
            return
        super().handle_error(request, client_address)


class TargetApp:
    """The target application on a loopback port, served by threads."""

    def __init__(self, port=0):
        self.server = _Server(("127.0.0.1", port), Handler)
        self.server.recorder = Recorder()
        self.server.app_forms = {}
        self.server.site_sessions = {}
        self.port = self.server.server_address[1]
        self._thread = None

    @property
    def recorder(self):
        return self.server.recorder

    def start(self):
        self._thread = threading.Thread(target=self.server.serve_forever,
                                        name="target-app", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        if self._thread:
            self._thread.join(10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=8089)
    args = parser.parse_args()
    app = TargetApp(args.port)
    print("target application on http://127.0.0.1:%d/" % app.port, flush=True)
    try:
        app.server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        app.server.server_close()


if __name__ == "__main__":
    main()
