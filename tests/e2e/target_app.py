#!/usr/bin/env python3
"""The test application behind the gateway. It records every request in .seen
(method, request target, headers, body length and SHA-256) and answers most
with that record as JSON. /app/ is a small login site that knows itself by its
own address, as frameworks behind a proxy do: absolute redirects and a session
cookie with Domain=127.0.0.1. /ws switches protocols as a WebSocket server does
and then holds the connection. /say/STATUS?NAME=VALUE&... answers with that
status and those header lines (and "said" to a GET that may have a body).

Run alone for the demo:  python3 target_app.py --port 8089
"""

import argparse
import hashlib
import json
import os
import secrets
import socket
import socketserver
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler

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


# Replies as a careless or hostile target writes them: /raw/<name>.
FORGED = b"HTTP/1.1 200 OK\r\nX-Forged: yes\r\nContent-Length: 0\r\n\r\n"
RAW = {"cut-short": b"HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n\r\n" + bytes(100000),
       "two-lengths": b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nContent-Length: 5\r\n\r\n"
                      b"hello%s" % (5 + len(FORGED), FORGED)}


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
        path, _, query = self.path.partition("?")
        if path == "/ws":
            self.switch_protocols()
        elif path.startswith("/app/"):
            self.site(path[len("/app/"):], body)
        elif path.startswith("/raw/"):
            self.wfile.write(RAW[path[len("/raw/"):]])
            self.wfile.flush()
            time.sleep(0.5)  # what was sent goes on before the close
        elif path.startswith("/say/"):
            self.send_response(int(path[len("/say/"):]))
            for name, value in urllib.parse.parse_qsl(query):
                self.send_header(name, value)
            self.end_headers()
            if self.command == "GET" and not path.endswith("304"):
                self.wfile.write(b"said")
        else:
            self.reply(200, json.dumps(record).encode(), "application/json")

    do_POST = do_PUT = do_HEAD = do_GET

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


class TargetApp(socketserver.ThreadingMixIn, socketserver.TCPServer):
    """On 127.0.0.1:port, or on the socket file at path."""
    daemon_threads = allow_reuse_address = True

    def __init__(self, port=0, path=None):
        self.address_family = socket.AF_UNIX if path else socket.AF_INET
        super().__init__(path or ("127.0.0.1", port), Handler)
        self.port = port if path else self.server_address[1]
        self.seen, self.sessions = [], {}

    def start(self):
        threading.Thread(target=self.serve_forever, daemon=True).start()
        return self

    def stop(self):
        self.shutdown()
        self.server_close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="The gateway's test application.")
    parser.add_argument("--port", type=int, default=8089)
    parser.add_argument("--socket", help="listen on this socket file instead, as an "
                        "application started on demand; each start is noted in SOCKET.starts")
    options = parser.parse_args()
    if options.socket:  # how it was started; then a moment, as real starts take
        fds = {fd: os.readlink("/proc/self/fd/" + fd) for fd in os.listdir("/proc/self/fd")
               if os.path.exists("/proc/self/fd/" + fd)}
        with open(options.socket + ".starts", "a") as starts:
            starts.write(json.dumps({"pid": os.getpid(), "sid": os.getsid(0), "fds": fds,
                                     "secret": os.environ.get("APP_SECRET")}) + "\n")
        time.sleep(0.3)
    app = TargetApp(options.port, options.socket)
    if options.socket:
        os.chmod(options.socket, 0o600)  # umask 077 has kept others out until now
    print("test application on", options.socket or "http://127.0.0.1:%d/app/" % app.port,
          flush=True)
    app.serve_forever()
