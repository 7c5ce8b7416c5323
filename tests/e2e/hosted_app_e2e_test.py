"""An application on a shared host behind the gateway, under Apache (prefork +
mod_cgi, event + mod_cgid): on a socket file only its user can open, started
by the first request that finds it down, with its own Basic and bearer login.

The application is this file run with --serve SOCKET: target_app.py's handler
on a socket file, plus /api/me (wants a bearer token) and /basic (wants Basic
credentials). Each start appends its pid, session and inherited files to
SOCKET.starts.
"""

import base64
import concurrent.futures
import json
import os
import pathlib
import pwd
import signal
import socketserver
import stat
import subprocess
import sys
import tempfile
import time
import types
import unittest

TOKEN, BASIC = "t0k3n", "Basic " + base64.b64encode(b"alice:wonderland").decode()
PYTHON = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable
OTHER_USER = "nph-e2e-other"


def serve(path):
    from target_app import Handler, Recorder

    class AppHandler(Handler):
        def _serve(self):
            wanted = {"/api/me": "Bearer " + TOKEN, "/basic": BASIC}.get(self.path)
            if wanted and self.headers.get("Authorization") != wanted:
                return self._send(401, b"no\n", "text/plain", [("WWW-Authenticate", wanted[:6])])
            return self._send(200, b"yes\n", "text/plain") if wanted else super()._serve()

    class AppServer(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
        daemon_threads = True

    fds = {}  # what it was given (the listing's own descriptor is gone when read)
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds[fd] = os.readlink("/proc/self/fd/" + fd)
        except OSError:
            pass
    with open(path + ".starts", "a") as starts:
        starts.write(json.dumps({"pid": os.getpid(), "sid": os.getsid(0), "fds": fds}) + "\n")
    time.sleep(0.3)  # a start that takes a moment, as real ones do
    server = AppServer(path, AppHandler)  # private from the start: umask 077
    os.chmod(path, 0o600)
    server.recorder, server.app_forms, server.site_sessions = Recorder(), {}, {}
    server.serve_forever()


if __name__ == "__main__" and sys.argv[1:2] == ["--serve"]:
    serve(sys.argv[2])

import e2e_env  # noqa: E402  (the application needs none of these)
import servers  # noqa: E402
from e2e_env import curl  # noqa: E402

ROOT, CREATED_USER = None, False


def setUpModule():
    global ROOT, CREATED_USER
    e2e_env.check_tools()
    ROOT = tempfile.mkdtemp(prefix="nph-hosted-")
    os.chmod(ROOT, 0o755)
    if os.geteuid() == 0:  # "another user" for the direct connect
        try:
            pwd.getpwnam(OTHER_USER)
        except KeyError:
            subprocess.run(["useradd", "--system", "--no-create-home", OTHER_USER], check=True)
            CREATED_USER = True


def tearDownModule():
    if CREATED_USER:
        subprocess.run(["userdel", OTHER_USER], check=False)
    subprocess.run(["rm", "-rf", ROOT], check=False)


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as info:
            return info.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def wait_until(condition):
    for _ in range(100):
        if condition():
            return True
        time.sleep(0.05)
    return False


class HostedFixture:
    MODE = None

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix=cls.MODE + "-", dir=ROOT)
        cls.env = types.SimpleNamespace(scratch=cls.root)  # all curl() needs
        folder = os.path.join(cls.root, "app")  # the application's; others may pass
        os.makedirs(folder, 0o711)
        cls.socket = folder + "/app.sock"
        ini = "[Forward]\nTimeout=30\nLog=1\nTargetSocket=%s/%%s.sock\n%%s\n" % folder
        cls.scripts = {
            "nph-app": ini % ("app", "PassAuthorization=1\nStartCommand=umask 077; exec %s %s "
                              "--serve %s" % (PYTHON, os.path.abspath(__file__), cls.socket)),
            "nph-broken": ini % ("broken", "StartCommand=echo cannot start >&2; exit 3"),
            "nph-slow": ini % ("slow", "StartTimeout=1\nStartCommand=exec sleep 60"),
        }
        cls.apache = servers.Apache(cls.MODE, cls.root, cls.scripts, extra_conf=(
            '<Directory "%s/cgi-bin">\n    CGIPassAuth On\n</Directory>\n' % cls.root))
        owner = cls.apache.user[1:] if cls.apache.user else (os.geteuid(), os.getegid())
        try:
            cls.apache.start(e2e_env.gateway_binary())
            os.chown(folder, *owner)
            for path in [cls.apache.cgi_bin + "/" + s + e for s in cls.scripts
                         for e in (".txt", ".lock", ".start.log")]:
                pathlib.Path(path).touch()
                os.chown(path, *owner)
        except BaseException:
            cls.apache.stop()
            raise
        cls.owner = owner[0]

    @classmethod
    def tearDownClass(cls):
        cls.stop_application(signal.SIGTERM)
        cls.apache.stop()

    @classmethod
    def starts(cls):
        try:
            with open(cls.socket + ".starts") as lines:
                return [json.loads(line) for line in lines]
        except FileNotFoundError:
            return []

    @classmethod
    def stop_application(cls, how):
        """By its own process id: it runs on after each request."""
        for pid in [start["pid"] for start in cls.starts() if alive(start["pid"])]:
            os.kill(pid, how)
            wait_until(lambda: not alive(pid))

    def fetch(self, script, path, *args, status=200):
        reply = curl(self.env, self.apache.url(script, path), *args)
        self.assertEqual((reply.returncode, reply.status), (0, status), reply.stderr)
        return reply

    def cgi_file(self, name):
        return pathlib.Path(self.apache.cgi_bin, name).read_text()


class HostedCases:

    def test_first_request_starts_it_on_a_private_socket(self):
        self.stop_application(signal.SIGTERM)
        reply = self.fetch("nph-app", "/echo/first")
        self.assertIn(["Host", "localhost"], json.loads(reply.body)["headers"])
        start = self.starts()[-1]
        self.assertIn("\tTarget started, process %d\n\tConnected\n" % start["pid"],
                      self.cgi_file("nph-app.txt"))
        info = os.stat(self.socket)
        self.assertEqual((stat.S_ISSOCK(info.st_mode), stat.S_IMODE(info.st_mode), info.st_uid),
                         (True, 0o600, self.owner))
        if self.apache.user:
            direct = subprocess.run(["runuser", "-u", OTHER_USER, "--", PYTHON, "-c",
                                     "import socket, sys; socket.socket(socket.AF_UNIX)"
                                     ".connect(sys.argv[1])", self.socket], capture_output=True)
            self.assertIn(b"PermissionError", direct.stderr)
        # Apache has seen the CGI end (it logs the request only then) while the
        # application lives on, in a session of its own, with none of its files.
        access = pathlib.Path(self.root, "logs", "access.log")
        self.assertTrue(wait_until(lambda: "/echo/first " in access.read_text()))
        self.assertTrue(alive(start["pid"]))
        self.assertEqual(start["sid"], start["pid"])
        log = os.path.join(self.apache.cgi_bin, "nph-app.start.log")
        self.assertEqual(start["fds"], {"0": "/dev/null", "1": log, "2": log})

    def test_twenty_first_requests_at_once_start_one_copy(self):
        self.stop_application(signal.SIGTERM)
        before = len(self.starts())
        with concurrent.futures.ThreadPoolExecutor(20) as pool:
            list(pool.map(lambda i: self.fetch("nph-app", "/echo/%d" % i), range(20)))
        self.assertEqual(len(self.starts()) - before, 1)

    def test_killed_application_is_started_again(self):
        self.fetch("nph-app", "/echo/running")
        self.stop_application(signal.SIGKILL)  # its socket file stays behind
        self.fetch("nph-app", "/echo/after-kill")
        self.assertTrue(alive(self.starts()[-1]["pid"]))

    def test_application_that_does_not_come_up(self):
        self.assertLess(self.fetch("nph-broken", "/x", status=500).elapsed, 10)
        self.assertIn("\tTarget exited with code 3\n", self.cgi_file("nph-broken.txt"))
        self.assertIn("cannot start", self.cgi_file("nph-broken.start.log"))
        self.assertLess(self.fetch("nph-slow", "/x", status=500).elapsed, 5)
        log = self.cgi_file("nph-slow.txt")
        self.assertIn("\tTarget not accepting after 1 s, stopped\n", log)
        pid = int(log.split("process ")[1].split("\n")[0])
        self.assertTrue(wait_until(lambda: not alive(pid)))

    def test_basic_and_bearer_credentials_reach_the_application(self):
        self.fetch("nph-app", "/api/me", "-H", "Authorization: Bearer " + TOKEN)
        refused = self.fetch("nph-app", "/api/me", "-H", "Authorization: Bearer x", status=401)
        self.assertEqual(refused.header("WWW-Authenticate"), "Bearer")
        self.fetch("nph-app", "/basic", "-u", "alice:wonderland")
        self.fetch("nph-app", "/basic", "-u", "alice:guess", status=401)
        seen = json.loads(self.fetch("nph-app", "/echo/a", "-H", "Authorization: Bearer x").body)
        self.assertEqual([h for h in seen["headers"] if "uthoriz" in h[0]],
                         [["Authorization", "Bearer x"]])


class PreforkCgiHostedTest(HostedCases, HostedFixture, unittest.TestCase):
    MODE = "prefork-cgi"


class EventCgidHostedTest(HostedCases, HostedFixture, unittest.TestCase):
    MODE = "event-cgid"
