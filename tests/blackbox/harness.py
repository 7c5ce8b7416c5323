# Runs the built program as a web server does (CGI variables only, the body on
# standard input, standard output captured) against one scriptable loopback
# target.
#
#   NPH_GW           the program (default build/nph-gw)
#   NPH_GW_RUNNER    a command that starts it (Wine's runner, valgrind)
#   NPH_GW_PLATFORM  "windows": cases that need POSIX files (named pipes,
#                    modes, links) are skipped

import hashlib
import os
import pwd
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

RUNNER = shlex.split(os.environ.get("NPH_GW_RUNNER", ""))
WINDOWS = os.environ.get("NPH_GW_PLATFORM") == "windows"
SLACK = 6.0 if RUNNER else 0.0  # a runner starts the program slowly
MiB = 1 << 20
BLOCK = bytes(range(256)) * 4096  # 1 MiB of every byte value, NUL and CR LF included
TIME = "/usr/bin/time"
# Peak memory is measured with GNU time (a child started from here would carry
# this process's own peak); through a runner it would measure the runner.
MEASURABLE = os.access(TIME, os.X_OK) and not RUNNER
REPLY = b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"  # the target's, unless scripted
ENVIRONMENT = {  # what Apache sets, less what a case chooses
    "GATEWAY_INTERFACE": "CGI/1.1", "SERVER_SOFTWARE": "Apache/2.4", "SERVER_NAME": "webhost.example",
    "SERVER_PORT": "80", "SERVER_PROTOCOL": "HTTP/1.1", "REMOTE_ADDR": "127.0.0.1",
    "SCRIPT_NAME": "/cgi-bin/nph-gw", "HTTP_HOST": "webhost.example",
}


def blocks(total):
    for offset in range(0, total, MiB):
        yield BLOCK[:min(MiB, total - offset)]


def sha256_of(total, prefix=b""):
    digest = hashlib.sha256(prefix)
    for piece in blocks(total):
        digest.update(piece)
    return digest.hexdigest()


PROGRAM = os.path.abspath(os.environ.get("NPH_GW") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "nph-gw"))


class Run:
    # `out`: the first MiB of standard output, `length` and `sha`: all of it;
    # `fed`: body bytes the program took; `peak`: resident memory, KiB.
    out, length, err, fed, peak = b"", 0, b"", 0, None


class Gateway:
    # A copy of the program (or a link to it) named `name` in `folder`.
    def __init__(self, folder, name="nph-gw", settings=None, link=False):
        os.makedirs(folder, exist_ok=True)
        self.folder, self.program = folder, os.path.join(folder, name)
        (os.symlink if link else shutil.copy2)(PROGRAM, self.program)
        self.ini, self.log = self.program + ".ini", self.program + ".txt"
        if settings is not None:
            self.write(settings)

    def write(self, settings, path=None):
        with open(path or self.ini, "w") as handle:
            handle.write("[Forward]\n" + "".join("%s=%s\n" % item for item in settings.items()))

    def run(self, path="/", method="GET", body=None, env=None, pause=0.0, read=None,
            argv0=None, args=(), user=None, measure=False, kill_after=60.0):
        # `body`: bytes, or a size (that many bytes of BLOCK), written a MiB at a
        # time `pause` seconds apart. `read`: bytes the web server takes of the
        # output before it closes the pipe.
        environment = dict(ENVIRONMENT, REQUEST_METHOD=method, PATH_INFO=path, QUERY_STRING="")
        if body is not None:
            size = body if isinstance(body, int) else len(body)
            environment.update(CONTENT_LENGTH=str(size), CONTENT_TYPE="application/octet-stream")
        environment.update(env or {})
        environment = {k: v for k, v in environment.items() if v is not None}
        command = RUNNER + [argv0 or self.program] + list(args)
        peak_file = os.path.join(tempfile.gettempdir(), "nph-peak-%d" % id(self))
        if measure:
            command = [TIME, "-f", "%M", "-o", peak_file] + command
        who = {}
        if user:
            entry = pwd.getpwnam(user)
            who = {"user": entry.pw_uid, "group": entry.pw_gid, "extra_groups": []}
        output = subprocess.PIPE
        if read == 0:  # no reader from the start: every write meets a closed pipe
            reader, output = os.pipe()
            os.close(reader)
        run, started, digest = Run(), time.monotonic(), hashlib.sha256()
        process = subprocess.Popen(command, executable=None if RUNNER or measure else self.program,
                                   cwd=self.folder, env=environment, stdin=subprocess.PIPE,
                                   stdout=output, stderr=subprocess.PIPE, start_new_session=True, **who)
        if read == 0:
            os.close(output)

        def feed():
            try:
                chunks = blocks(body) if isinstance(body, int) else (
                    body[i:i + MiB] for i in range(0, len(body or b""), MiB))
                for index, chunk in enumerate(chunks):
                    if index and pause:
                        time.sleep(pause)
                    process.stdin.write(chunk)
                    process.stdin.flush()
                    run.fed += len(chunk)
            except OSError:
                pass
            finally:
                try:
                    process.stdin.close()
                except OSError:
                    pass

        def drain():
            while process.stdout and (read is None or run.length < read):
                chunk = process.stdout.read1(MiB if read is None else min(MiB, read - run.length))
                if not chunk:
                    break
                run.out += chunk[:max(0, MiB - len(run.out))]
                run.length += len(chunk)
                digest.update(chunk)
            if process.stdout:
                process.stdout.close()

        def errors():
            run.err = process.stderr.read()

        threads = [threading.Thread(target=work, daemon=True) for work in (feed, drain, errors)]
        for thread in threads:
            thread.start()
        try:
            run.code = process.wait(timeout=kill_after)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)  # its own group: the runner's children too
            process.wait()
            raise AssertionError("the program still ran after %.0f s" % kill_after)
        run.elapsed = time.monotonic() - started
        for thread in threads:
            thread.join(timeout=10)
        process.stderr.close()
        if measure:
            with open(peak_file) as handle:
                run.peak = int(handle.read().split()[-1])
            os.remove(peak_file)
        run.sha = digest.hexdigest()
        return run


class Target:
    # A loopback target run by a script. `reply`: bytes, a size (a framed body
    # of that many bytes of BLOCK), or None (no answer). `read_body`: False
    # answers without reading the body (as many servers do for a GET).
    # `stall`: seconds of silence after `stall_after` bytes of the reply.
    # `reset`: end the connection with a reset instead of a close. `keep_open`:
    # serve further requests on the connection when a request asks for it.
    def __init__(self, reply=REPLY, read_body=True,
                 stall_after=None, stall=0.0, reset=False, keep_open=False):
        self.reply, self.read_body, self.reset, self.keep_open = reply, read_body, reset, keep_open
        self.stall_after, self.stall = stall_after, stall
        self.requests = []  # (head, body length, body SHA-256)
        self.sent = []  # SHA-256 of each reply as far as it went
        self.stopping = threading.Event()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.listener.settimeout(0.05)
        self.port = self.listener.getsockname()[1]
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def stop(self):
        self.stopping.set()
        self.settle()
        self.listener.close()

    def settle(self):
        # The requests, once every connection so far has ended.
        for thread in self.threads[1:]:
            thread.join(timeout=10)
        return self.requests

    def _accept(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except OSError:
                continue
            worker = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self.threads.append(worker)
            worker.start()

    def _serve(self, conn):
        conn.settimeout(30)
        data = b""
        try:
            while True:
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                head, _, data = data.partition(b"\r\n\r\n")
                fields = dict((name.strip().lower(), value.strip()) for name, _, value in
                              (line.partition(b":") for line in head.split(b"\r\n")[1:]))
                length = int(fields.get(b"content-length", 0)) if self.read_body else 0
                digest, got = hashlib.sha256(data[:length]), min(length, len(data))
                data = data[length:]
                while got < length:
                    chunk = conn.recv(min(MiB, length - got))
                    if not chunk:
                        break
                    digest.update(chunk)
                    got += len(chunk)
                self.requests.append((head + b"\r\n\r\n", got, digest.hexdigest()))
                if self.reset:
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    return
                if self.reply is None:
                    return
                self._send(conn)
                connection = fields.get(b"connection", b"").lower()
                if not (self.keep_open and (b"keep-alive" in connection or (
                        head.split(b"\r\n")[0].endswith(b"1.1") and b"close" not in connection))):
                    return
        except OSError:
            pass
        finally:
            conn.close()

    def _send(self, conn):
        pieces = [self.reply]
        if isinstance(self.reply, int):
            pieces = [b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % self.reply]
            pieces += blocks(self.reply)
        digest, sent = hashlib.sha256(), 0
        try:
            for piece in pieces:
                if self.stall_after is not None and sent <= self.stall_after < sent + len(piece):
                    cut = self.stall_after - sent
                    conn.sendall(piece[:cut])
                    digest.update(piece[:cut])
                    sent, piece = sent + cut, piece[cut:]
                    if self.stopping.wait(self.stall):
                        return
                conn.sendall(piece)
                digest.update(piece)
                sent += len(piece)
        finally:
            self.sent.append(digest.hexdigest())


class GatewayCase(unittest.TestCase):
    # Each case gets a folder; `run_gateway()` checks what holds for every run: exit
    # code 0, nothing on standard error, done within `limit` seconds, no file
    # made beside the program but its log.
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="nph-blackbox-")
        os.chmod(self.scratch, 0o777)  # reachable for a run as another user
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)

    def target(self, **script):
        target = Target(**script)
        self.addCleanup(target.stop)
        return target

    def gateway(self, target=None, folder=None, name="nph-gw", link=False, **settings):
        settings = dict(dict(TargetServer="127.0.0.1", TargetPort=target.port if target else 1,
                             Timeout=10), **settings)
        return Gateway(folder or self.scratch, name, settings, link)

    def run_gateway(self, gateway, limit=5.0, **request):
        before = set(os.listdir(gateway.folder))
        run = gateway.run(kill_after=limit + SLACK + 3, **request)
        self.assertEqual((run.code, run.err), (0, b""))
        self.assertLess(run.elapsed, limit + SLACK)
        self.assertLessEqual(set(os.listdir(gateway.folder)) - before, {os.path.basename(gateway.log)})
        return run
