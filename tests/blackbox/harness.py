# Runs the built program as a web server does (CGI variables only, the body on
# standard input, standard output captured) against one scriptable loopback
# target.
#
#   NPH_GW           the program (default build/nph-gw)
#   NPH_GW_RUNNER    a command that starts it (Wine's runner, valgrind)
#   NPH_GW_PLATFORM  "windows": cases that need POSIX files (named pipes,
#                    links) are skipped
#   NPH_GW_IIS_HOST  on Windows, tests/support/iis_host.cpp: the program is
#                    started through it, with its variables in UTF-16, as IIS
#                    starts it

import hashlib
import itertools
import os
import shlex
import shutil
import signal
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from http.server import BaseHTTPRequestHandler
from types import SimpleNamespace

RUNNER = shlex.split(os.environ.get("NPH_GW_RUNNER", ""))
WINDOWS = os.environ.get("NPH_GW_PLATFORM") == "windows"
IIS_HOST = os.environ.get("NPH_GW_IIS_HOST")
SLACK = 6.0 if RUNNER else 0.0  # a runner starts the program slowly
PROGRAM = os.path.abspath(os.environ.get("NPH_GW") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "nph-gw"))
MiB = 1 << 20
BLOCK = bytes(range(256)) * 4096  # 1 MiB of every byte value, NUL and CR LF included
TIME = "/usr/bin/time"
# Peak memory is measured with GNU time (a child started from here would carry
# this process's own peak); through a runner it would measure the runner.
MEASURABLE = os.access(TIME, os.X_OK) and not RUNNER
REPLY = b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"  # the target's, unless scripted
CHUNKED = {"CONTENT_LENGTH": None, "HTTP_TRANSFER_ENCODING": "chunked"}  # dechunked by the web server
ENVIRONMENT = {  # what Apache sets, less what a case chooses
    "GATEWAY_INTERFACE": "CGI/1.1", "SERVER_SOFTWARE": "Apache/2.4", "SERVER_NAME": "webhost.example",
    "SERVER_PORT": "80", "SERVER_PROTOCOL": "HTTP/1.1", "REMOTE_ADDR": "127.0.0.1",
    "SCRIPT_NAME": "/cgi-bin/nph-gw", "HTTP_HOST": "webhost.example",
}


def iis_started(mode, program, environment):
    # The command that has the IIS host start `program` with `environment` as
    # IIS hands it over: each value decoded from UTF-8 where its bytes are
    # UTF-8, else through the ANSI code page (1252 under Wine). A value a
    # Linux environment cannot carry (a lone surrogate) goes as it is.
    def as_iis_decodes(value):
        try:
            return value.encode("utf-8", "surrogateescape").decode("utf-8")
        except UnicodeEncodeError:
            return value
        except UnicodeDecodeError:
            return value.encode("utf-8", "surrogateescape").decode("cp1252", "replace")
    block = "".join("%s=%s\0" % (name, as_iis_decodes(value)) for name, value in environment.items())
    return RUNNER + [IIS_HOST, mode, block.encode("utf-16-le", "surrogatepass").hex(),
                     "Z:" + os.path.abspath(program).replace("/", "\\")]


def pieces(data):
    # `data`, bytes or a size (that many bytes of BLOCK), a MiB at a time.
    if isinstance(data, int):
        return (BLOCK[:min(MiB, data - at)] for at in range(0, data, MiB))
    return (data[at:at + MiB] for at in range(0, len(data or b""), MiB))


def sha256_of(*parts):
    digest = hashlib.sha256()
    for part in parts:
        for piece in pieces(part):
            digest.update(piece)
    return digest.hexdigest()


def framed(size):
    return b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % size


class Target(socketserver.ThreadingTCPServer):
    # A loopback target run by a script. `reply`: bytes, a size (a framed body
    # of that many bytes of BLOCK), or None (the connection dropped unanswered).
    # `read_body`: False answers without reading the body (as many servers do
    # for a GET). `stall`: (n, seconds) of silence after the reply's first n
    # pieces (its head, then a MiB each). A connection stays open for another
    # request when the request asks for it, as HTTP/1.1 servers keep them.
    def __init__(self, reply=REPLY, read_body=True, stall=(None, 0)):
        super().__init__(("127.0.0.1", 0), Exchange)
        self.reply, self.read_body, self.stall = reply, read_body, stall
        self.requests = []  # (header fields, body length, body SHA-256)
        self.lines = []  # request lines, as Latin-1 text
        self.sent = None  # SHA-256 of the last reply sent whole
        self.stopping = threading.Event()
        self.port = self.server_address[1]
        threading.Thread(target=self.serve_forever, args=(0.01,), daemon=True).start()

    def stop(self):
        # The requests, once every connection has ended.
        self.stopping.set()
        self.shutdown()
        self.server_close()
        return self.requests

    def handle_error(self, request, address):
        # A peer gone mid-reply is what some cases play; anything else is the harness's own fault.
        if not isinstance(sys.exc_info()[1], OSError):
            super().handle_error(request, address)


class Exchange(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keeps a connection open when the request asks for it
    timeout = 30

    def do_GET(self):
        target = self.server
        length = int(self.headers.get("Content-Length", 0)) if target.read_body else 0
        digest, got = hashlib.sha256(), 0
        while got < length:
            chunk = self.rfile.read(min(MiB, length - got))
            if not chunk:
                break
            digest.update(chunk)
            got += len(chunk)
        target.requests.append((self.headers, got, digest.hexdigest()))
        target.lines.append(self.requestline)
        if target.reply is None:
            return
        reply = target.reply
        reply = itertools.chain([framed(reply)], pieces(reply)) if isinstance(reply, int) else [reply]
        digest = hashlib.sha256()
        for index, piece in enumerate(reply):
            if index == target.stall[0] and target.stopping.wait(target.stall[1]):
                return
            self.wfile.write(piece)
            digest.update(piece)
        target.sent = digest.hexdigest()  # hashed here, while the program relays it

    do_POST = do_PUT = do_GET


class GatewayCase(unittest.TestCase):
    # Each case gets a folder; `run_gateway()` checks what holds for every run: exit
    # code 0, nothing on standard error, done within `limit` seconds, no file
    # made beside the program but its logs.
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="nph-blackbox-")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)

    def target(self, **script):
        target = Target(**script)
        self.addCleanup(target.stop)
        return target

    def gateway(self, target=None, folder=None, name="nph-gw", link=False, **settings):
        # A copy of the program (or a link to it) named `name` in `folder`, with its settings.
        program = os.path.join(folder or self.scratch, name)
        os.makedirs(os.path.dirname(program), exist_ok=True)
        (os.symlink if link else shutil.copy2)(PROGRAM, program)
        settings = {"TargetServer": "127.0.0.1", "TargetPort": target.port if target else 1,
                    "Timeout": 10, **settings}
        with open(program + ".ini", "w") as ini:
            ini.write("[Forward]\n" + "".join("%s=%s\n" % item for item in settings.items()))
        return program

    def run_gateway(self, program, limit=5.0, path="/", method="GET", body=None, env=None,
                    pause=0.0, read=None, argv0=None, args=(), peak_kib=None):
        # `body`: bytes, or a size, written a MiB at a time `pause` seconds
        # apart. `read`: bytes the web server takes of the output before it
        # closes the pipe. `peak_kib`: the most resident memory the program may
        # take, where it can be measured. Gives `out` (the first MiB of
        # standard output), `length` and `sha` (all of it), `fed` (body bytes
        # the program took).
        environment = dict(ENVIRONMENT, REQUEST_METHOD=method, PATH_INFO=path, QUERY_STRING="")
        if body is not None:
            environment.update(CONTENT_LENGTH=str(body if isinstance(body, int) else len(body)),
                               CONTENT_TYPE="application/octet-stream")
        environment = {k: v for k, v in dict(environment, **(env or {})).items() if v is not None}
        command = RUNNER + [argv0 or program] + list(args)
        if WINDOWS:
            command = iis_started("cgi", program, environment) + list(args)
            environment = {"PATH": os.environ["PATH"]}
        measure = peak_kib and MEASURABLE
        if measure:
            peak = tempfile.NamedTemporaryFile("r", prefix="nph-peak-")  # gone once closed
            self.addCleanup(peak.close)
            command = [TIME, "-f", "%M", "-o", peak.name] + command
        folder = os.path.dirname(program)
        before = set(os.listdir(folder))
        reader, writer = os.pipe()
        if read == 0:  # no reader from the start: every write meets a closed pipe
            os.close(reader)
        started = time.monotonic()
        process = subprocess.Popen(command, executable=program if argv0 else None, cwd=folder,
                                   env=environment, stdin=subprocess.PIPE, stdout=writer,
                                   stderr=subprocess.PIPE, bufsize=0, start_new_session=True)
        # Its own group: a runner's children end with it.
        self.addCleanup(lambda: process.poll() is None and os.killpg(process.pid, signal.SIGKILL))
        os.close(writer)
        run, digest = SimpleNamespace(out=b"", length=0, fed=0, err=b""), hashlib.sha256()

        def feed():
            try:
                for index, piece in enumerate(pieces(body)):
                    time.sleep(pause if index else 0)
                    run.fed += process.stdin.write(piece)
            except OSError:
                pass
            process.stdin.close()

        def drain():
            while read != 0 and (read is None or run.length < read):
                chunk = os.read(reader, MiB if read is None else read - run.length)
                if not chunk:
                    break
                run.out += chunk[:max(0, MiB - len(run.out))]
                run.length += len(chunk)
                digest.update(chunk)
            if read != 0:
                os.close(reader)

        def errors():
            run.err = process.stderr.read()

        threads = [threading.Thread(target=work, daemon=True) for work in (feed, drain, errors)]
        for thread in threads:
            thread.start()
        code = process.wait(timeout=limit + SLACK + 3)
        elapsed = time.monotonic() - started
        for thread in threads:
            thread.join(timeout=10)
        process.stderr.close()
        run.sha = digest.hexdigest()
        self.assertEqual((code, run.err), (0, b""))
        self.assertLess(elapsed, limit + SLACK)
        self.assertLessEqual(set(os.listdir(folder)) - before,
                             {os.path.basename(program) + own
                              for own in (".txt", ".access.log", ".pid", ".backoff")})
        if measure:
            run.peak = int(peak.read().split()[-1])
            self.assertLess(run.peak, peak_kib, "peak resident memory, KiB")
        return run
