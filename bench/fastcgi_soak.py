#!/usr/bin/env python3
"""Runs the gateway as a FastCGI application without a web server: it gets a
listening Unix socket as standard input, as mod_fcgid gives it, and this script
sends it request after request on one kept connection, forwarded to a small
target of its own, and prints the gateway's resident memory as it goes.

  bench/fastcgi_soak.py build/nph-gw --requests 100000
  bench/fastcgi_soak.py build-dyn/nph-gw --requests 1000 \
      --wrap "valgrind --leak-check=full --error-exitcode=9"

The gateway keeps its connection to the target from request to request, as
FastCGI mode does by default; with --one-per-request (TargetHttp11=0) each
request makes its own. With --tls the target speaks TLS (a test CA of its
own): a new connection resumes the process's last TLS session.
"""

import argparse
import os
import shlex
import shutil
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

REPLY = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1024\r\n\r\n" + b"x" * 1024


class Target(socketserver.BaseRequestHandler):
    tls = None  # a server context, with --tls
    connections = 0

    def handle(self):
        Target.connections += 1
        conn = self.tls.wrap_socket(self.request, server_side=True) if self.tls else self.request
        data = b""
        while True:  # request after request while the gateway keeps the connection
            # The whole request, body included (over TLS it comes in records of
            # its own; one left unread would make the close a reset).
            while b"\r\n\r\n" not in data or len(data) < expected(data):
                piece = conn.recv(65536)
                if not piece:
                    return
                data += piece
            data = data[expected(data):]
            conn.sendall(REPLY)


def expected(data):
    head, _, _ = data.partition(b"\r\n\r\n")
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            return len(head) + 4 + int(line[15:])
    return len(head) + 4


def record(kind, request_id, content=b""):
    return struct.pack(">BBHHBB", 1, kind, request_id, len(content), 0, 0) + content


def pair(name, value):
    def length(n):
        return bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)
    return length(len(name)) + length(len(value)) + name + value


def request(number):
    """Requests that differ in every variable, by turns."""
    if number % 2:
        params = [(b"REQUEST_METHOD", b"POST"), (b"PATH_INFO", b"/a/%d" % number),
                  (b"CONTENT_LENGTH", b"5"), (b"HTTP_COOKIE", b"s=%d" % number),
                  (b"REMOTE_USER", b"ann"), (b"HTTP_USER_AGENT", b"u" * 300)]
        body = b"hello"
    else:
        params = [(b"REQUEST_METHOD", b"GET"), (b"PATH_INFO", b"/b"),
                  (b"QUERY_STRING", b"q=%d" % number), (b"HTTP_X_OTHER", b"1")]
        body = b""
    encoded = b"".join(pair(name, value) for name, value in params)
    return (record(1, 1, struct.pack(">HB5x", 1, 1)) + record(4, 1, encoded) + record(4, 1)
            + (record(5, 1, body) if body else b"") + record(5, 1))


def read_reply(connection, buffered):
    """Reads records until END_REQUEST; returns (STDOUT bytes, leftover)."""
    out = b""
    while True:
        while len(buffered) < 8:
            piece = connection.recv(65536)
            if not piece:
                raise RuntimeError("the gateway closed the connection")
            buffered += piece
        _, kind, _, length, padding, _ = struct.unpack(">BBHHBB", buffered[:8])
        while len(buffered) < 8 + length + padding:
            buffered += connection.recv(65536)
        if kind == 6:
            out += buffered[8:8 + length]
        buffered = buffered[8 + length + padding:]
        if kind == 3:
            return out, buffered


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS"):
                return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("gateway")
    parser.add_argument("--requests", type=int, default=100000)
    parser.add_argument("--wrap", default="", help="command put before the gateway (valgrind)")
    parser.add_argument("--tls", action="store_true", help="a TLS target")
    parser.add_argument("--one-per-request", action="store_true",
                        help="TargetHttp11=0: a target connection per request")
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="fcgi-soak-")
    settings = ""
    if args.tls:
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                        "tests", "support"))
        from scripted_target import make_certificates
        make_certificates(folder)
        Target.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        Target.tls.load_cert_chain(os.path.join(folder, "good.pem"),
                                   os.path.join(folder, "good.key"))
        settings = "TargetServer=localhost\nTargetTls=1\nTlsCaFile=%s\n" % os.path.join(
            folder, "ca.pem")
    target = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Target)
    target.daemon_threads = True
    threading.Thread(target=target.serve_forever, daemon=True).start()
    program = os.path.join(folder, "gw.fcgi")
    shutil.copyfile(args.gateway, program)
    os.chmod(program, 0o755)
    with open(os.path.join(folder, "gw.ini"), "w") as ini:
        ini.write("[Forward]\nTargetPort=%d\nForwardOtherHeaders=1\nAddForwardedHeaders=1\n%s%s"
                  % (target.server_address[1], settings,
                     "TargetHttp11=0\n" if args.one_per_request else ""))
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(os.path.join(folder, "socket"))
    listener.listen(8)
    gateway = subprocess.Popen(shlex.split(args.wrap) + [program], stdin=listener.fileno())
    connection = socket.socket(socket.AF_UNIX)
    connection.connect(os.path.join(folder, "socket"))
    buffered = b""
    started = time.monotonic()
    for number in range(args.requests):
        connection.sendall(request(number))
        out, buffered = read_reply(connection, buffered)
        if not out.startswith(b"Status: 200 OK\r\n") or not out.endswith(b"x" * 1024):
            sys.exit("request %d: unexpected reply %r" % (number, out[:200]))
        if (number + 1) % max(1, args.requests // 10) == 0:
            print("%7d requests  %6.1f s  RSS %d KiB"
                  % (number + 1, time.monotonic() - started, resident_kib(gateway.pid)), flush=True)
    connection.close()
    gateway.terminate()  # by its PID, as mod_fcgid stops its processes
    code = gateway.wait(120)
    listener.close()
    target.shutdown()
    shutil.rmtree(folder, ignore_errors=True)
    print("gateway exit status %d; the target accepted %d connections"
          % (code, Target.connections))


if __name__ == "__main__":
    main()
