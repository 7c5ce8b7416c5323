"""Runs the built gateway the way a web server does.

A test installs a copy of the program in a temporary folder with its settings
file beside it, then runs it with CGI variables only (no inherited
environment), the body on standard input and standard output captured.
"""

import errno
import os
import shlex
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

_DEFAULT_PROGRAM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "nph-gw")


# NPH_GW_RUNNER: a command that starts the program (scripts/test-windows.sh
# names its Wine session's runner). NPH_GW_PLATFORM=windows: the log has the
# Windows line end and Windows Sockets' error codes.
RUNNER = shlex.split(os.environ.get("NPH_GW_RUNNER", ""))
WINDOWS = os.environ.get("NPH_GW_PLATFORM") == "windows"
if WINDOWS:
    CONNECTION_REFUSED, TIMED_OUT, SEND_FAILED, LOG_LINE_END = 10061, 10060, (10053, 10054), b"\r\n"
else:
    CONNECTION_REFUSED, TIMED_OUT, SEND_FAILED, LOG_LINE_END = (
        errno.ECONNREFUSED, errno.ETIMEDOUT, (errno.EPIPE, errno.ECONNRESET), b"\n")


def program_path():
    path = os.path.realpath(os.environ.get("NPH_GW") or _DEFAULT_PROGRAM)
    if not os.access(path, os.X_OK):
        raise AssertionError(
            "gateway program not found at %s (build it, or set NPH_GW)" % path)
    return path


# What Apache sets for a CGI program, less what a test chooses itself.
BASE_ENVIRONMENT = {
    "GATEWAY_INTERFACE": "CGI/1.1",
    "SERVER_SOFTWARE": "Apache/2.4.57 (Debian)",
    "SERVER_NAME": "webhost.example",
    "SERVER_PORT": "80",
    "SERVER_PROTOCOL": "HTTP/1.1",
    "SERVER_ADDR": "127.0.0.1",
    "REMOTE_ADDR": "127.0.0.1",
    "REMOTE_PORT": "50000",
    "DOCUMENT_ROOT": "/var/www/html",
    "SCRIPT_NAME": "/cgi-bin/nph-gw",
    "HTTP_HOST": "webhost.example",
}


def cgi_environment(method, query, path_info, body, content_length, env):
    """The variables a web server would set, as bytes for the child. A body
    brings CONTENT_TYPE and, unless `content_length` says otherwise (False: not
    set), its own length as CONTENT_LENGTH. Values in `env` that are None
    remove the variable."""
    environment = dict(BASE_ENVIRONMENT)
    environment["REQUEST_METHOD"] = method
    if query is not None:
        environment["QUERY_STRING"] = query
    if path_info is not None:
        environment["PATH_INFO"] = path_info
    if body is not None:
        if content_length is None:
            content_length = len(body)
        environment["CONTENT_TYPE"] = "application/octet-stream"
    if content_length is not None and content_length is not False:
        environment["CONTENT_LENGTH"] = str(content_length)
    for key, value in (env or {}).items():
        if value is None:
            environment.pop(key, None)
        else:
            environment[key] = value
    return {os.fsencode(k): v if isinstance(v, bytes) else os.fsencode(v)
            for k, v in environment.items()}


class Run:
    """The outcome of one run of the program."""

    def __init__(self, stdout, stderr, returncode, elapsed, fed):
        self.stdout = stdout
        self.stderr = stderr
        self.returncode = returncode
        self.elapsed = elapsed
        self.fed = fed  # body bytes the program took before it stopped reading

    def status_line(self):
        return self.stdout.split(b"\r\n", 1)[0]

    def body(self):
        return self.stdout.split(b"\r\n\r\n", 1)[1]


class Installation:
    """A copy of the program, as `name`, in `folder`, with its settings file."""

    def __init__(self, folder, name="nph-gw", settings=None):
        os.makedirs(folder, exist_ok=True)
        self.folder = folder
        self.name = name
        self.program = os.path.join(folder, name)
        shutil.copy2(program_path(), self.program)
        if settings is not None:
            self.write_settings(settings)

    @property
    def settings_path(self):
        return self.program + ".ini"

    @property
    def log_path(self):
        return self.program + ".txt"

    def write_settings(self, settings, path=None):
        """`settings` is a dict of Forward keys, or the file's whole text."""
        if isinstance(settings, dict):
            text = "[Forward]\n" + "".join("%s=%s\n" % item for item in settings.items())
        else:
            text = settings
        with open(path or self.settings_path, "w", encoding="latin-1") as handle:
            handle.write(text)

    def run(self, path_info=None, method="GET", query="", body=None, env=None, args=(),
            pieces=1, pause=0.0, content_length=None, argv0=None, close_stdout=False,
            timeout=20.0):
        """Runs one request. `body` (bytes) goes to standard input in `pieces`
        with `pause` seconds between them; CONTENT_LENGTH is its length unless
        `content_length` says otherwise (False: not set). Values in `env` that
        are None remove the variable."""
        environ_bytes = cgi_environment(method, query, path_info, body,
                                        content_length if body is not None else None, env)

        started = time.monotonic()
        if RUNNER:
            command, executable = RUNNER + [self.program] + list(args), None
        else:
            command, executable = [argv0 or self.program] + list(args), self.program
        process = subprocess.Popen(
            command, executable=executable, cwd=self.folder,
            env=environ_bytes, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if close_stdout:
            # A browser that went away: whatever the program writes meets a
            # pipe with no reader.
            process.stdout.close()
            process.stdout = None
        fed = [0]
        out = {}

        def feed():
            try:
                if body:
                    size = -(-len(body) // max(1, pieces))
                    for index, offset in enumerate(range(0, len(body), size)):
                        if index and pause:
                            time.sleep(pause)
                        process.stdin.write(body[offset:offset + size])
                        process.stdin.flush()
                        fed[0] += len(body[offset:offset + size])
            except (BrokenPipeError, OSError):
                pass
            finally:
                try:
                    process.stdin.close()
                except OSError:
                    pass

        def drain(name, stream):
            out[name] = stream.read()

        threads = [threading.Thread(target=feed, daemon=True)]
        if not close_stdout:
            threads.append(threading.Thread(target=drain, args=("stdout", process.stdout), daemon=True))
        threads.append(threading.Thread(target=drain, args=("stderr", process.stderr), daemon=True))
        for thread in threads:
            thread.start()
        try:
            returncode = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise AssertionError("gateway still running after %.0f s" % timeout)
        elapsed = time.monotonic() - started
        for thread in threads:
            thread.join(timeout=5)
        for stream in (process.stdout, process.stderr):
            if stream:
                stream.close()
        return Run(out.get("stdout", b""), out.get("stderr", b""), returncode, elapsed, fed[0])


class GatewayTestCase(unittest.TestCase):
    """Gives each test a temporary folder; `gateway()` installs the program
    there, and `request()` runs it and checks what holds for every run: exit
    code 0 and nothing on standard error."""

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="nph-blackbox-")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)

    def gateway(self, settings=None, folder=None, name="nph-gw"):
        return Installation(folder or self.scratch, name, settings)

    def target(self):
        from target import Target

        server = Target().start()
        self.addCleanup(server.stop)
        return server

    def settings_for(self, port, **more):
        settings = {"TargetServer": "127.0.0.1", "TargetPort": port, "Timeout": 10}
        settings.update(more)
        return settings

    def request(self, installation, **kwargs):
        run = installation.run(**kwargs)
        self.assertEqual(run.returncode, 0, "exit code")
        self.assertEqual(run.stderr, b"", "standard error")
        return run


def local_page(status, content_type, body):
    """The exact bytes of a page the gateway makes itself."""
    return (b"HTTP/1.0 " + status + b"\r\nContent-Type: " + content_type +
            b"\r\nContent-length: " + str(len(body)).encode() + b"\r\n\r\n" + body)


CGI_ERROR_PAGE = (b"HTTP/1.0 500 Internal Error\r\nContent-Type: text/html\r\n"
                  b"Content-length: 18\r\n\r\n<H2>CGI Error</H2>")
FORBIDDEN_PAGE = (b"HTTP/1.0 403 Forbidden\r\nContent-Type: text/html\r\n"
                  b"Content-length: 18\r\n\r\n<H2>Forbidden</H2>")
