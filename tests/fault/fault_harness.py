"""Runs the built gateway under hostile conditions and checks what must hold
whatever happens.

Builds on the black-box harness (tests/blackbox/harness.py), which it imports
unchanged, and adds what fault cases need: a per-run limit of Timeout + 2 s, a
web server that stops reading its standard output part way, another user to
run as, a check that no file appears but the log,
and (with NPH_FAULT_VALGRIND=1) every run under valgrind memcheck.
"""

import hashlib
import os
import pwd
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))

from harness import (BASE_ENVIRONMENT, CGI_ERROR_PAGE, FORBIDDEN_PAGE,  # noqa: E402,F401
                     Installation, cgi_environment, local_page, program_path)

ECHO_FAILED_PAGE = local_page(b"500 Internal Error", b"text/plain", b"Test failed")

# Runs under valgrind start slowly; their limit is widened by this much.
_VALGRIND_SLACK = 6.0


def valgrind_enabled():
    return os.environ.get("NPH_FAULT_VALGRIND") == "1"


def _valgrind_log_folder():
    folder = os.environ.get("NPH_FAULT_VALGRIND_LOGS")
    if not folder:
        folder = os.path.join(tempfile.gettempdir(), "nph-fault-valgrind")
    os.makedirs(folder, exist_ok=True)
    os.chmod(folder, 0o1777)  # a run as another user writes its report here too
    return folder


_CHECKED_REPORTS = set()


def _reports(valgrind_log):
    """The reports of an installation's runs not read yet."""
    folder, pattern = os.path.split(valgrind_log)
    prefix = pattern.split("%p")[0]
    found = [os.path.join(folder, name) for name in os.listdir(folder) if name.startswith(prefix)]
    return [path for path in found if path not in _CHECKED_REPORTS]


def _remove_reports(valgrind_log):
    for path in _reports(valgrind_log):
        os.remove(path)


class Outcome:
    def __init__(self, stdout, stderr, status, elapsed, fed, valgrind_log):
        self.stdout = stdout
        self.stderr = stderr
        self.status = status  # exit code, or -signal
        self.elapsed = elapsed
        self.fed = fed
        self.valgrind_log = valgrind_log


def _snapshot(folder):
    """Every path under `folder` with a digest of its content."""
    found = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            relative = os.path.relpath(path, folder)
            if os.path.islink(path):
                found[relative] = "link:" + os.readlink(path)
            elif os.path.isfile(path):
                with open(path, "rb") as handle:
                    found[relative] = hashlib.sha256(handle.read()).hexdigest()
            else:
                found[relative] = "other"
    return found


class FaultInstallation(Installation):
    """A copy of the program that runs with the fault checks' extras."""

    def run_fault(self, path_info=None, method="GET", query="", body=None, env=None,
                  content_length=None, stdin_open=False, close_stdout=False,
                  stdout_limit=None, user=None, limit=20.0):
        """Runs one request; the program is killed after `limit` seconds.

        `stdin_open`: standard input stays open after the body.
        `close_stdout`: the web server reads nothing of the response.
        `stdout_limit`: the web server reads that many bytes, then closes.
        `user`: a user name to run as (when the tests run as root)."""
        environ_bytes = cgi_environment(method, query, path_info, body,
                                        content_length, env)

        command = [self.program]
        valgrind_log = None
        if valgrind_enabled():
            valgrind_log = os.path.join(_valgrind_log_folder(), "fault.%d.%%p.log" % id(self))
            command = ["valgrind", "--error-exitcode=99", "--leak-check=full",
                       "--errors-for-leak-kinds=definite", "--log-file=" + valgrind_log] + command
            limit += _VALGRIND_SLACK

        preexec = None
        if user is not None:
            entry = pwd.getpwnam(user)

            def preexec():
                os.setgroups([])
                os.setgid(entry.pw_gid)
                os.setuid(entry.pw_uid)

        started = time.monotonic()
        process = subprocess.Popen(command, cwd=self.folder, env=environ_bytes,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, preexec_fn=preexec)
        out = {"stdout": b"", "stderr": b""}
        fed = [0]

        def feed():
            try:
                if body:
                    step = 1 << 20
                    for offset in range(0, len(body), step):
                        process.stdin.write(body[offset:offset + step])
                        process.stdin.flush()
                        fed[0] += len(body[offset:offset + step])
            except (BrokenPipeError, OSError, ValueError):
                pass
            if not stdin_open:
                try:
                    process.stdin.close()
                except OSError:
                    pass

        def drain_stdout():
            stream = process.stdout
            if close_stdout:
                stream.close()
                return
            if stdout_limit is None:
                out["stdout"] = stream.read()
            else:
                out["stdout"] = stream.read(stdout_limit)
                stream.close()

        def drain_stderr():
            out["stderr"] = process.stderr.read()

        threads = [threading.Thread(target=work, daemon=True)
                   for work in (feed, drain_stdout, drain_stderr)]
        for thread in threads:
            thread.start()

        try:
            status = process.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            self._close(process)
            if valgrind_log:
                _remove_reports(valgrind_log)  # cut short: they hold no verdict
            raise AssertionError("gateway still running after %.1f s" % limit)
        elapsed = time.monotonic() - started
        for thread in threads:
            thread.join(timeout=5)
        self._close(process)
        return Outcome(out["stdout"], out["stderr"], status, elapsed, fed[0], valgrind_log)

    @staticmethod
    def _close(process):
        for stream in (process.stdin, process.stdout, process.stderr):
            try:
                if stream:
                    stream.close()
            except OSError:
                pass


class FaultTestCase(unittest.TestCase):
    """Each test gets a folder; `check()` runs the program and asserts what
    holds for every fault: exit code 0, nothing on standard error, done within
    Timeout + 2 s, one of the allowed responses (empty only when standard
    output was closed), and no file but the log made or changed."""

    TIMEOUT = 3  # the Timeout setting of the installations made here

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="nph-fault-")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)

    def install(self, settings=None, name="nph-gw", folder=None):
        return FaultInstallation(folder or self.scratch, name, settings)

    def settings_for(self, port, **more):
        settings = {"TargetServer": "127.0.0.1", "TargetPort": port, "Timeout": self.TIMEOUT,
                    "Log": 1}
        settings.update(more)
        return settings

    def check(self, installation, allowed, timeout=None, **kwargs):
        """Runs and checks; `allowed` is the list of acceptable stdouts (bytes),
        or None when the caller compares the output with what the target sent."""
        timeout = self.TIMEOUT if timeout is None else timeout
        limit = timeout + 2
        before = _snapshot(installation.folder)
        run = installation.run_fault(limit=limit + 10, **kwargs)
        if run.valgrind_log:
            self._check_valgrind(run)
        self.assertEqual(run.status, 0, "exit code")
        self.assertEqual(run.stderr, b"", "standard error")
        slack = _VALGRIND_SLACK if valgrind_enabled() else 0.0
        self.assertLess(run.elapsed, limit + slack, "finished within Timeout + 2 s")
        closed = kwargs.get("close_stdout") or kwargs.get("stdout_limit") is not None
        if kwargs.get("stdout_limit") is not None:
            self.assertTrue(any(page.startswith(run.stdout) for page in allowed),
                            "what was read begins an allowed response: %r" % run.stdout[:200])
        elif not closed and allowed is not None:
            self.assertIn(run.stdout, allowed, "one allowed response")
        elif not closed:
            self.assertNotEqual(run.stdout, b"", "a response")
        after = _snapshot(installation.folder)
        log_name = os.path.relpath(installation.log_path, installation.folder)
        changed = {path for path in set(before) | set(after)
                   if before.get(path) != after.get(path) and path != log_name}
        self.assertEqual(changed, set(), "files made or changed besides the log")
        return run

    def _check_valgrind(self, run):
        text = ""
        for path in _reports(run.valgrind_log):
            with open(path, encoding="utf-8", errors="replace") as handle:
                text += handle.read()
            _CHECKED_REPORTS.add(path)  # kept for the summary of scripts/test-sanitizers.sh
        self.assertIn("ERROR SUMMARY: 0 errors", text, "valgrind found errors:\n" + text)
        self.assertNotIn("definitely lost: ", text.replace("definitely lost: 0 bytes", ""),
                         "valgrind found a definite leak:\n" + text)

    def read_log(self, installation):
        try:
            with open(installation.log_path, encoding="latin-1") as handle:
                return handle.read()
        except OSError:
            return ""


class FaultTarget:
    """A loopback target whose every connection is handled by `behaviour`
    (conn, target) on its own thread. Records the request heads and bodies it
    read and every byte it sent."""

    def __init__(self, behaviour):
        self.behaviour = behaviour
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.connections = 0
        self.received = b""
        self.sent = b""
        self._threads = []
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(16)
        self._listener.settimeout(0.05)
        self.port = self._listener.getsockname()[1]
        accept = threading.Thread(target=self._accept_loop, daemon=True)
        accept.start()
        self._threads.append(accept)

    def stop(self):
        self.stopping.set()
        for thread in list(self._threads):
            thread.join(timeout=5)
        self._listener.close()

    def _accept_loop(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.connections += 1
            worker = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self._threads.append(worker)
            worker.start()

    def _serve(self, conn):
        try:
            conn.settimeout(15)
            self.behaviour(conn, self)
        except OSError:
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass

    # Helpers for behaviours ------------------------------------------------

    def read_request(self, conn):
        """Reads the head and a body of the declared length; returns the head."""
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        head, _, rest = data.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length" and value.strip().isdigit():
                length = int(value.strip())
        while len(rest) < length:
            chunk = conn.recv(min(65536, length - len(rest)))
            if not chunk:
                break
            rest += chunk
        with self.lock:
            self.received += data[:len(head) + 4] + rest
        return head

    def send(self, conn, data):
        conn.sendall(data)
        with self.lock:
            self.sent += data

    def hold(self, seconds=30):
        """Keeps the connection open, silent, until the test ends."""
        self.stopping.wait(seconds)

    @staticmethod
    def reset(conn):
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()


def run_as_other_user():
    """A user to run as when the tests run as root (file modes bind no one
    else), or None."""
    if os.geteuid() != 0:
        return None
    try:
        pwd.getpwnam("nobody")
    except KeyError:
        return None
    return "nobody"
