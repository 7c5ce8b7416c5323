#!/usr/bin/env python3
# Targets on 127.0.0.1 (or ::1) that follow a script, plain or over TLS, for the unit
# tests (tests/support/scripted_target.h drives them).
#
# Prints one line, "control=<port> ca=<CA file>", then serves until its parent
# process ends (or it is stopped by its PID, or an hour has passed). Each
# connection to the control port sends one script, a line per step:
#
#   listen <port> | file <path>   where to listen (default: a free port)
#   ipv6               listen on ::1 instead of 127.0.0.1
#   backlog            a listener that never accepts; answers "<port>"
#   tls <certificate>  good (localhost), sni (other.test; tls.test when asked
#                      for), expired (localhost), all signed by the test CA
#   certificates       makes them now; answers an empty line
#   noread             play without reading a request first
#   send <n> (then n bytes), pause <ms>, close, reset, hold
#   read               reads the next request on the same connection
#   start <count>      serve that many connections; answers "<port>"
#   report             answers "<connections> <n>" and the n request bytes so far
#   closes             once the connections are served: how many ended with the
#                      client's close_notify after the target's
#   end                closes its listeners, then the control connection
#
# A script that runs out closes the connection (with close_notify over TLS);
# "close" closes it without, "reset" with a reset, and "hold" keeps it open
# until the control connection ends.

import os
import random
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

FOLDER = None  # the certificates' folder, made by main()
CONTEXTS = {}  # certificate name: server context, made at the first need
MADE = threading.Lock()


def make_certificates(folder):
    """A test CA and server certificates, made with the openssl command."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)

    def key(name):
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-out", name + ".key")

    key("ca")
    openssl("req", "-x509", "-new", "-key", "ca.key", "-subj", "/CN=nph-gw test CA",
            "-days", "2", "-out", "ca.pem")
    # cn-only names its host in the subject alone, as browsers no longer accept.
    for name, host, days in (("good", "localhost", "2"), ("other", "other.test", "2"),
                             ("named", "tls.test", "2"), ("expired", "localhost", "-1"),
                             ("cn-only", "localhost", "2")):
        key(name)
        openssl("req", "-new", "-key", name + ".key", "-subj", "/CN=" + host, "-out", name + ".csr")
        with open(os.path.join(folder, name + ".ext"), "w") as ext:
            ext.write("basicConstraints=CA:FALSE\n" if name == "cn-only" else
                      "subjectAltName=DNS:%s\n" % host)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-days", days, "-extfile", name + ".ext", "-out", name + ".pem")


def context(name):
    with MADE:
        if not CONTEXTS:
            make_certificates(FOLDER)
            for made in ("good", "other", "named", "expired", "cn-only"):
                CONTEXTS[made] = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                CONTEXTS[made].load_cert_chain(os.path.join(FOLDER, made + ".pem"),
                                               os.path.join(FOLDER, made + ".key"))
            CONTEXTS["sni"] = CONTEXTS["other"]
            CONTEXTS["sni"].sni_callback = lambda conn, asked, _: (
                setattr(conn, "context", CONTEXTS["named"]) if asked == "tls.test" else None)
    return CONTEXTS[name]


def read_request(conn):
    """The header and its declared body, or what came before a pause of 2 s; None when
    the connection ended before a byte of it."""
    request, expected = b"", None
    conn.settimeout(2)
    try:
        while expected is None or len(request) < expected:
            piece = conn.recv(65536)
            if not piece:
                return request or None
            request += piece
            head_end = request.find(b"\r\n\r\n")
            if expected is None and head_end >= 0:
                expected = head_end + 4
                for line in request[:head_end].split(b"\r\n")[1:]:
                    if line.lower().startswith(b"content-length:"):
                        expected += int(line[15:])
    except socket.timeout:
        pass
    except (OSError, ValueError):
        return request or None
    return request


class Script:
    def __init__(self, control):
        self.control, self.steps, self.listeners = control, [], []
        self.read, self.tls, self.where, self.servers = True, None, 0, []
        self.host = "127.0.0.1"
        self.received, self.connections, self.notified = b"", 0, 0
        self.done, self.lock = threading.Event(), threading.Lock()

    def run(self):
        commands = self.control.makefile("rb")
        try:
            for line in commands:
                word, _, argument = line.decode().strip().partition(" ")
                if word == "send":
                    self.steps.append((word, commands.read(int(argument))))
                elif word in ("pause", "close", "reset", "hold", "read"):
                    self.steps.append((word, int(argument or 0)))
                elif word == "noread":
                    self.read = False
                elif word == "tls":
                    self.tls = context(argument)
                elif word == "certificates":
                    context("good")
                    self.control.sendall(b"\n")
                elif word == "ipv6":
                    self.host = "::1"
                elif word in ("listen", "file"):
                    self.where = int(argument) if word == "listen" else argument
                elif word == "backlog":
                    self.control.sendall(b"%d\n" % self.listen(0).getsockname()[1])
                elif word == "start":
                    listener = self.listen(16)
                    server = threading.Thread(target=self.serve, args=(listener, int(argument)),
                                              daemon=True)
                    self.servers.append(server)
                    server.start()
                    port = listener.getsockname()[1] if listener.family != socket.AF_UNIX else 0
                    self.control.sendall(b"%d\n" % port)
                elif word == "report":
                    with self.lock:
                        self.control.sendall(b"%d %d\n%s" % (self.connections, len(self.received),
                                                             self.received))
                elif word == "closes":
                    for server in self.servers:
                        server.join(5)
                    self.control.sendall(b"%d\n" % self.notified)
                elif word == "end":
                    break
        except OSError:
            pass
        finally:
            self.done.set()
            # A listener is closed only once no thread can be in accept() on it: its
            # descriptor, reused by another script's listener, would take that one's
            # connections.
            for server in self.servers:
                server.join()
            for listener in self.listeners:
                listener.close()
            self.control.close()  # the test knows then that its ports are closed

    def listen(self, backlog):
        unix = isinstance(self.where, str)
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        listener = socket.socket(socket.AF_UNIX if unix else family)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        while True:
            # A port of its own below the system's ephemeral range: there no connect
            # of the machine's takes it, or one of its port pairs, in passing.
            port = self.where or random.randrange(20000, 32768)
            try:
                listener.bind(self.where if unix else (self.host, port))
                break
            except OSError:
                if unix or self.where:
                    raise
        listener.listen(backlog)
        listener.settimeout(0.05)
        self.listeners.append(listener)
        return listener

    def serve(self, listener, count):
        while count > 0 and not self.done.is_set():
            try:
                conn, _ = listener.accept()
            except OSError:
                continue
            conn.settimeout(10)
            try:
                conn = self.tls.wrap_socket(conn, server_side=True) if self.tls else conn
                request = read_request(conn) if self.read else b""
            except (OSError, ssl.SSLError):
                conn, request = conn.close(), b""  # a handshake given up on counts
            if request is None and not self.tls:
                # Gone before a byte of its request: a connect the system reset and made
                # again (a port pair still held from an earlier connection), not one of
                # those the script serves.
                conn.close()
                continue
            count -= 1
            with self.lock:
                self.connections += 1
                self.received += request or b""
            try:
                if conn:
                    self.play(conn)
            except (OSError, ssl.SSLError):
                conn.close()

    def play(self, conn):
        conn.settimeout(30)
        for kind, value in self.steps:
            if kind == "send":
                conn.sendall(value)
            elif kind == "pause":
                time.sleep(value / 1000)
            elif kind == "reset":
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return conn.close()
            elif kind == "close":
                return conn.close()  # over TLS: without close_notify
            elif kind == "hold":
                self.done.wait()
                return conn.close()
            elif kind == "read":
                request = read_request(conn)
                if request is None:
                    return conn.close()
                conn.settimeout(30)
                with self.lock:
                    self.received += request
        # Over TLS this fails unless the client answers with its close_notify.
        (conn.unwrap() if self.tls else conn).close()
        self.notified += self.tls is not None


def take_scripts(control):
    while True:
        threading.Thread(target=Script(control.accept()[0]).run, daemon=True).start()


def main():
    # Taken first: a test that is done before the line is read back would
    # otherwise leave the targets running, holding its output pipes.
    global FOLDER
    parent = os.getppid()
    FOLDER = tempfile.mkdtemp(prefix="nph-gw-targets-")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))  # stopped by PID: clean up too
    try:
        control = socket.create_server(("127.0.0.1", 0))
        threading.Thread(target=take_scripts, args=(control,), daemon=True).start()
        print("control=%d ca=%s" % (control.getsockname()[1], os.path.join(FOLDER, "ca.pem")),
              flush=True)
        ends = time.time() + 3600  # an hour at most, whatever happens
        while os.getppid() == parent and time.time() < ends:
            time.sleep(0.2)
    finally:
        shutil.rmtree(FOLDER, ignore_errors=True)


if __name__ == "__main__":
    main()
