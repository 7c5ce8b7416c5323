#!/usr/bin/env python3
"""The test application behind the gateway. It records every request (method,
request target, headers, body length and SHA-256; .mark() and .since(mark))
and answers most with that record as JSON. /app/ is a small login site that
knows itself by its own address, as frameworks behind a proxy do: absolute
redirects and a session cookie with Domain=127.0.0.1. /ws switches protocols
as a WebSocket server does and then holds the connection.

Run alone for the demo:  python3 target_app.py --port 8089
"""

import argparse
import hashlib
import json
import secrets
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOGIN = b"""<!DOCTYPE html><html><head><title>Sign in</title>
<link rel="stylesheet" href="style.css"></head><body><h1>Sign in</h1>
<form id="login" method="post" action="login">
<input name="user" value="alice"> <input name="password" type="password" value="wonderland">
<button>Sign in</button></form>
<script>if (location.search == '?auto=1') document.getElementById('login').submit();</script>
</body></html>"""

# Shows where the browser ended, whether the stylesheet applied and what the
# API answered with the session cookie.
WELCOME = b"""<!DOCTYPE html><html><head><title>Welcome</title>
<link rel="stylesheet" href="style.css"></head><body><h1 id="greeting">Welcome, %s</h1>
<p id="address"></p><p id="colour"></p><p id="api">waiting</p>
<script>window.addEventListener('load', function () {
  document.getElementById('address').textContent = location.href;
  document.getElementById('colour').textContent =
      getComputedStyle(document.getElementById('greeting')).color;
  fetch('api/me').then(function (r) { return r.text(); })
      .then(function (t) { document.getElementById('api').textContent = t; });
});</script></body></html>"""


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):  # the record is the log
        pass

    def do_GET(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        record = {"method": self.command, "target": self.path,
                  "headers": [[n, v] for n, v in self.headers.items()],
                  "body_length": len(body), "body_sha256": hashlib.sha256(body).hexdigest()}
        self.server.seen.append(record)
        path = self.path.split("?")[0]
        if path == "/ws":
            self.switch_protocols()
        elif path.startswith("/app/"):
            self.site(path[len("/app/"):], body)
        else:
            self.reply(200, json.dumps(record).encode(), "application/json")

    do_POST = do_PUT = do_GET

    def reply(self, status, body, kind="text/html", extra=()):
        self.send_response(status)
        for name, value in (("Content-Type", kind), ("Content-Length", len(body))) + extra:
            self.send_header(name, str(value))
        self.end_headers()
        self.wfile.write(body)

    def switch_protocols(self):
        self.wfile.write(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                         b"Connection: Upgrade\r\n"
                         b"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n")
        self.wfile.flush()
        self.connection.settimeout(30)
        try:
            self.connection.recv(1)  # a WebSocket server waits for frames
        except OSError:
            pass

    def site(self, page, body):
        cookies = dict(c.strip().split("=", 1) for c in self.headers.get("Cookie", "").split(";")
                       if "=" in c)
        user = self.server.sessions.get(cookies.get("session"))
        if page == "login" and self.command == "POST":
            if body != b"user=alice&password=wonderland":
                return self.reply(401, b"<h1>Wrong user or password</h1>")
            token = secrets.token_hex(8)
            self.server.sessions[token] = "alice"
            host = "127.0.0.1:%d" % self.server.port
            return self.reply(303, b"", extra=(
                ("Location", "http://%s/app/welcome" % host),
                ("Set-Cookie", "session=%s; Path=/; Domain=127.0.0.1; HttpOnly" % token)))
        if page in ("", "login"):
            return self.reply(200, LOGIN)
        if page == "style.css":
            return self.reply(200, b"h1 { color: rgb(1, 2, 3); }", "text/css")
        if page in ("welcome", "api/me") and not user:
            return self.reply(401, b"<h1 id='greeting'>Please sign in</h1>")
        if page == "welcome":
            return self.reply(200, WELCOME % user.encode())
        if page == "api/me":
            return self.reply(200, json.dumps({"user": user}).encode(), "application/json")
        self.reply(404, b"no such page")


class TargetApp(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, port=0):
        super().__init__(("127.0.0.1", port), Handler)
        self.port = self.server_address[1]
        self.seen, self.sessions = [], {}

    def start(self):
        threading.Thread(target=self.serve_forever, daemon=True).start()
        return self

    def stop(self):
        self.shutdown()
        self.server_close()

    def mark(self):
        return len(self.seen)

    def since(self, mark):
        return self.seen[mark:]


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="The gateway's test application.")
    parser.add_argument("--port", type=int, default=8089)
    app = TargetApp(parser.parse_args().port)
    print("test application on http://127.0.0.1:%d/app/" % app.port, flush=True)
    app.serve_forever()
