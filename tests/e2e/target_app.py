#!/usr/bin/env python3
"""The application the end-to-end tests put behind the gateway.

A threaded HTTP/1.0 server (standard library only) that echoes what reaches
it, sets cookies, redirects, answers slowly, streams large bodies with and
without Content-Length, closes early on request, and serves a small browser
application. Every request it receives is recorded, so a test can tell what
the gateway really sent and whether anything was sent at all.

Run it alone for the demo:  python3 target_app.py --port 8089
"""

import argparse
import hashlib
import html
import json
import random
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
        body = self._read_body()
        split = urllib.parse.urlsplit(self.path)
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
        for name in ("/echo", "/cookies", "/redirect", "/slow", "/stream",
                     "/close-early", "/app/"):
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
        if route.startswith("/close-early"):
            return self._close_early(query.get("stage", ["header"])[0])
        if route.startswith("/app/"):
            return self._app(route[len("/app/"):], body)
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
        self.end_headers()
        if self.command == "HEAD":
            return
        for piece in stream_pieces(size, seed):
            self.wfile.write(piece)
        # Without a length the reply ends when the connection closes, which
        # HTTP/1.0 handling does after this method returns.

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
