"""A loopback HTTP server that plays the gateway's target in end-to-end tests.

It listens on 127.0.0.1 on a free port, serves each connection on its own
thread, records every request it receives and every reply it sends, and lets a
test shape the reply through the request's path and query:

  any other path        echo: a JSON body describing the request received
  /_t/bytes?n=N         a body of N bytes (see pattern())
  /_t/redirect?to=URL   302 (or code=3xx) with that Location
  /_t/cookie?a=1&b=2    one Set-Cookie line per pair, body "cookies"
  /_t/status?code=C     that status, an empty body

Parameters that apply to every reply:

  length=0      leave out the Content-Length line (the close ends the body)
  declared=D    write "Content-Length: D" whatever the body's size
  delay=S       wait S seconds before answering
  pieces=K      send the reply in K pieces ...
  pause=S       ... with S seconds between them
  cut=B         send only the first B bytes of the reply, then close
  hold=S        keep the connection open S seconds after the reply

A reply of exact bytes can be registered for a request target with
add_raw(); the same sending parameters apply as keyword arguments, and
early_close=1 closes the connection as soon as the request head has arrived,
without reading the body or answering.

Only the Python standard library is used, so any suite can import it.
"""

import hashlib
import http
import json
import socket
import threading
import time
import urllib.parse

__all__ = ["Target", "ReceivedRequest", "pattern", "unused_port"]

_MAX_HEAD = 1 << 20
_READ_TIMEOUT = 15.0


def pattern(n):
    """N bytes that cover every byte value, NUL and CR LF included."""
    block = bytes(range(256))
    return (block * (n // 256 + 1))[:n]


def unused_port():
    """A port on 127.0.0.1 where nothing listens (at the moment of asking)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ReceivedRequest:
    """One request as the target read it off the wire."""

    def __init__(self, head_raw, body):
        self.head_raw = head_raw  # request line and headers, blank line included
        self.body = body
        self.reply = b""  # the bytes handed to the connection, as far as it went
        lines = head_raw.decode("latin-1").split("\r\n")
        parts = lines[0].split(" ")
        self.request_line = lines[0]
        self.method = parts[0] if parts else ""
        self.target = " ".join(parts[1:-1]) if len(parts) > 2 else (parts[1] if len(parts) > 1 else "")
        self.version = parts[-1] if len(parts) > 2 else ""
        self.path, _, self.query = self.target.partition("?")
        self.headers = []  # (name, value) in the order received
        for line in lines[1:]:
            if not line:
                continue
            name, _, value = line.partition(":")
            self.headers.append((name, value.strip()))

    def header(self, name):
        """The value of the first header called `name` (any case), or None."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def header_names(self):
        return [name for name, _ in self.headers]

    @property
    def body_sha256(self):
        return hashlib.sha256(self.body).hexdigest()

    def describe(self):
        return {
            "method": self.method,
            "target": self.target,
            "path": self.path,
            "query": self.query,
            "version": self.version,
            "headers": self.headers,
            "body_length": len(self.body),
            "body_sha256": self.body_sha256,
        }


class Target:
    """The server. Use as a context manager, or call start() and stop()."""

    def __init__(self):
        self._listener = None
        self._stopping = threading.Event()
        self._lock = threading.Lock()
        self._threads = []
        self._raw = {}
        self._arrived = threading.Condition(self._lock)
        self.requests = []
        self.connections = 0
        self.port = 0

    # -- lifecycle --------------------------------------------------------

    def start(self):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(64)
        self._listener.settimeout(0.05)
        self.port = self._listener.getsockname()[1]
        accept = threading.Thread(target=self._accept_loop, name="target-accept", daemon=True)
        accept.start()
        self._threads.append(accept)
        return self

    def stop(self):
        self._stopping.set()
        for thread in list(self._threads):
            thread.join(timeout=5)
        if self._listener is not None:
            self._listener.close()
            self._listener = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- shaping replies --------------------------------------------------

    def add_raw(self, request_target, data, **sending):
        """Answer requests for `request_target` (path and query as sent) with
        exactly `data`; `sending` takes delay, pieces, pause, cut, hold and
        early_close."""
        with self._lock:
            self._raw[request_target] = (bytes(data), {k: str(v) for k, v in sending.items()})

    # -- what arrived -----------------------------------------------------

    def wait_for_requests(self, count, timeout=5.0):
        """The requests received once `count` have arrived (or the timeout)."""
        deadline = time.monotonic() + timeout
        with self._arrived:
            while len(self.requests) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._arrived.wait(left)
            return list(self.requests)

    def last_request(self):
        with self._lock:
            return self.requests[-1] if self.requests else None

    def connection_count(self, settle=0.15):
        """Connections accepted so far, after letting pending ones arrive."""
        time.sleep(settle)
        with self._lock:
            return self.connections

    # -- serving ----------------------------------------------------------

    def _accept_loop(self):
        while not self._stopping.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                self.connections += 1
            worker = threading.Thread(target=self._serve, args=(conn,), name="target-conn", daemon=True)
            with self._lock:
                self._threads.append(worker)
            worker.start()

    def _serve(self, conn):
        with conn:
            conn.settimeout(_READ_TIMEOUT)
            try:
                request = self._read_request(conn)
            except (OSError, ValueError):
                return
            if request is None:
                return
            reply, sending = self._make_reply(request)
            with self._arrived:
                self.requests.append(request)
                self._arrived.notify_all()
            try:
                self._send(conn, request, reply, sending)
            except OSError:
                pass

    def _raw_reply(self, request):
        with self._lock:
            return self._raw.get(request.target, (None, {}))

    def _read_request(self, conn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                return None
            data += chunk
            if len(data) > _MAX_HEAD:
                raise ValueError("request head too large")
        end = data.index(b"\r\n\r\n") + 4
        head, rest = data[:end], data[end:]
        request = ReceivedRequest(head, b"")
        if self._raw_reply(request)[1].get("early_close") == "1":
            request.body = rest
            return request
        length = request.header("Content-Length")
        if request.header("Transfer-Encoding") and "chunked" in request.header("Transfer-Encoding").lower():
            body, rest = Target._read_chunked(conn, rest)
        elif length is not None and length.strip().isdigit():
            want = int(length)
            chunks = [rest]
            have = len(rest)
            while have < want:
                chunk = conn.recv(min(1 << 20, want - have))
                if not chunk:
                    break  # a short body is recorded as it came
                chunks.append(chunk)
                have += len(chunk)
            body = b"".join(chunks)[:want]
        else:
            body = b""
        request.body = body
        return request

    @staticmethod
    def _read_chunked(conn, data):
        body = bytearray()

        def need(count):
            nonlocal data
            while len(data) < count:
                chunk = conn.recv(65536)
                if not chunk:
                    raise ValueError("chunked body cut short")
                data += chunk

        while True:
            while b"\r\n" not in data:
                need(len(data) + 1)
            line, _, data = data.partition(b"\r\n")
            size = int(line.split(b";")[0].strip() or b"0", 16)
            if size == 0:
                while b"\r\n\r\n" not in b"\r\n" + data:
                    need(len(data) + 1)
                return bytes(body), b""
            need(size + 2)
            body += data[:size]
            data = data[size + 2:]

    def _make_reply(self, request):
        raw = self._raw_reply(request)
        if raw[0] is not None:
            return raw
        params = {k: v[-1] for k, v in urllib.parse.parse_qs(request.query, keep_blank_values=True).items()}
        code = 200
        extra = []
        content_type = "application/octet-stream"
        if request.path == "/_t/bytes":
            body = pattern(int(params.get("n", "0")))
        elif request.path == "/_t/redirect":
            code = int(params.get("code", "302"))
            extra.append(("Location", params.get("to", "/")))
            body = b""
        elif request.path == "/_t/cookie":
            reserved = {"length", "declared", "delay", "pieces", "pause", "cut", "hold"}
            for name, value in urllib.parse.parse_qsl(request.query, keep_blank_values=True):
                if name not in reserved:
                    extra.append(("Set-Cookie", "%s=%s; Path=/" % (name, value)))
            body = b"cookies"
            content_type = "text/plain"
        elif request.path == "/_t/status":
            code = int(params.get("code", "200"))
            body = b""
        else:
            body = json.dumps(request.describe(), sort_keys=True).encode("utf-8")
            content_type = "application/json"
        try:
            reason = http.HTTPStatus(code).phrase
        except ValueError:
            reason = "Status"
        lines = ["HTTP/1.0 %d %s" % (code, reason), "Server: blackbox-target", "Content-Type: " + content_type]
        lines += ["%s: %s" % pair for pair in extra]
        if "declared" in params:
            lines.append("Content-Length: " + params["declared"])
        elif params.get("length") != "0":
            lines.append("Content-Length: %d" % len(body))
        head = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
        if request.method == "HEAD":
            body = b""
        return head + body, params

    def _send(self, conn, request, reply, sending):
        delay = float(sending.get("delay", 0))
        pieces = max(1, int(sending.get("pieces", 1)))
        pause = float(sending.get("pause", 0))
        hold = float(sending.get("hold", 0))
        if sending.get("early_close") == "1":
            return
        if "cut" in sending:
            reply = reply[:int(sending["cut"])]
        if delay and self._stopping.wait(delay):
            return
        size = -(-len(reply) // pieces) if reply else 0
        offset = 0
        for index in range(pieces):
            piece = reply[offset:offset + size] if size else b""
            if piece:
                # Recorded before sending: the gateway may have read it all
                # and exited before sendall() returns here.
                with self._lock:
                    request.reply += piece
                conn.sendall(piece)
                offset += len(piece)
            if pause and index + 1 < pieces and self._stopping.wait(pause):
                return
        if hold:
            self._stopping.wait(hold)
