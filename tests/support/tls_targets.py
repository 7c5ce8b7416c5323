#!/usr/bin/env python3
"""TLS targets on 127.0.0.1 for the unit tests.

Makes a test CA and server certificates with the openssl command, listens on
one port per behaviour, prints one line "ca=<CA file> <behaviour>=<port> ...",
and serves until its parent process ends (or it is stopped by its PID, or an
hour has passed).
"""
import os
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

BODY = bytes(i % 251 for i in range(100000))
FRAMED = b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(BODY) + BODY
CUT = b"HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc"
UNFRAMED = b"HTTP/1.0 200 OK\r\n\r\n" + BODY


def make_certificates(folder):
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)

    def key(name):
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-out", name + ".key")

    key("ca")
    openssl("req", "-x509", "-new", "-key", "ca.key", "-subj", "/CN=nph-gw test CA",
            "-days", "2", "-out", "ca.pem")
    for name, host, days in (("good", "localhost", "2"), ("other", "other.test", "2"),
                             ("named", "tls.test", "2"), ("expired", "localhost", "-1")):
        key(name)
        openssl("req", "-new", "-key", name + ".key", "-subj", "/CN=" + host, "-out", name + ".csr")
        with open(os.path.join(folder, name + ".ext"), "w") as ext:
            ext.write("subjectAltName=DNS:%s\n" % host)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-days", days, "-extfile", name + ".ext", "-out", name + ".pem")


def context(folder, name):
    made = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    made.load_cert_chain(os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key"))
    return made


def serve(listener, tls, reply, end):
    while True:
        raw, _ = listener.accept()
        try:
            conn = tls.wrap_socket(raw, server_side=True)
            conn.settimeout(5)
            request = b""
            while b"\r\n\r\n" not in request:
                piece = conn.recv(65536)
                if not piece:
                    break
                request += piece
            conn.sendall(reply)
            if end == "reset":
                time.sleep(0.1)
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            elif end == "close_notify":
                conn = conn.unwrap()
            conn.close()  # an SSL socket closes without close_notify
        except (OSError, ssl.SSLError):
            raw.close()


def main():
    # Taken first: a test that is done before the targets' line is read back
    # would otherwise leave them running, holding its output pipes.
    parent = os.getppid()
    folder = tempfile.mkdtemp(prefix="nph-gw-tls-")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))  # stopped by PID: clean up too
    try:
        serve_all(folder, parent)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def serve_all(folder, parent):
    make_certificates(folder)
    named = context(folder, "named")
    sni = context(folder, "other")
    sni.sni_callback = lambda conn, name, _: (
        setattr(conn, "context", named) if name == "tls.test" else None)
    good = context(folder, "good")
    behaviours = {"good": (good, FRAMED, "close_notify"), "sni": (sni, FRAMED, "close_notify"),
                  "expired": (context(folder, "expired"), FRAMED, "close_notify"),
                  "reset": (good, CUT, "reset"), "cut": (good, CUT, "close"),
                  "unframed": (good, UNFRAMED, "close")}
    line = ["ca=" + os.path.join(folder, "ca.pem")]
    for name, (tls, reply, end) in behaviours.items():
        listener = socket.create_server(("127.0.0.1", 0))
        line.append("%s=%d" % (name, listener.getsockname()[1]))
        threading.Thread(target=serve, args=(listener, tls, reply, end), daemon=True).start()
    print(" ".join(line), flush=True)
    ends = time.time() + 3600  # an hour at most, whatever happens
    while os.getppid() == parent and time.time() < ends:
        time.sleep(0.2)


if __name__ == "__main__":
    main()
