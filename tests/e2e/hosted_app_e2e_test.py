"""An application on a shared host behind the gateway, under Apache: on a
socket file only its user can open, started by the first request that finds
it down, with its own Basic and bearer login.

The application is this file run with --serve SOCKET: the test application's
handler on a socket file, where /api/me wants a bearer token and /basic Basic
credentials. Each start appends its pid, session and open files to
SOCKET.starts.
"""

import base64
import concurrent.futures
import json
import os
import signal
import socketserver
import stat
import subprocess
import sys
import time
import unittest

TOKEN, BASIC = "t0k3n", "Basic " + base64.b64encode(b"alice:wonderland").decode()
PYTHON = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable
OTHER_USER = "nph-e2e-other"


def serve(path):
    from target_app import Handler

    class AppHandler(Handler):
        def do_GET(self):
            wanted = {"/api/me": "Bearer " + TOKEN, "/basic": BASIC}.get(self.path)
            if not wanted:
                return super().do_GET()
            ok = self.headers.get("Authorization") == wanted
            self.reply(200 if ok else 401, b"yes\n" if ok else b"no\n", "text/plain",
                       () if ok else (("WWW-Authenticate", wanted.split()[0]),))

    class AppServer(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
        daemon_threads = True
        seen, sessions, port = [], {}, 0

    fds = {fd: os.readlink("/proc/self/fd/" + fd) for fd in os.listdir("/proc/self/fd")
           if os.path.exists("/proc/self/fd/" + fd)}
    with open(path + ".starts", "a") as starts:
        starts.write(json.dumps({"pid": os.getpid(), "sid": os.getsid(0), "fds": fds}) + "\n")
    time.sleep(0.3)  # a start that takes a moment, as real ones do
    server = AppServer(path, AppHandler)  # private from the start: umask 077
    os.chmod(path, 0o600)
    server.serve_forever()


if __name__ == "__main__" and sys.argv[1:2] == ["--serve"]:
    serve(sys.argv[2])

import harness  # noqa: E402  (the application needs none of it)


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


class Hosted:
    MODE = None

    @classmethod
    def setUpClass(cls):
        program = harness.require()
        cls.other_user = False
        if os.geteuid() == 0 and subprocess.run(["id", OTHER_USER], capture_output=True).returncode:
            subprocess.run(["useradd", "--system", "--no-create-home", OTHER_USER], check=True)
            cls.other_user = True
        ini = "[Forward]\nTimeout=30\nLog=1\nTargetSocket={folder}/%s.sock\n%s\n"
        cls.apache = harness.Apache(cls.MODE, {}, conf=(
            '<Directory "{cgi}">\n    CGIPassAuth On\n</Directory>\n'))
        folder = os.path.join(cls.apache.root, "app")  # the application's; others may pass
        os.makedirs(folder, 0o711)
        cls.socket = folder + "/app.sock"
        cls.apache.conf = cls.apache.conf.format(cgi=cls.apache.cgi_bin)
        cls.apache.gateways = {name: (ini % (sock, extra)).format(folder=folder) for name, sock, extra in (
            ("nph-app", "app", "PassAuthorization=1\nStartCommand=umask 077; exec %s %s --serve %s"
             % (PYTHON, os.path.abspath(__file__), cls.socket)),
            ("nph-broken", "broken", "StartCommand=echo cannot start >&2; exit 3"),
            ("nph-slow", "slow", "StartTimeout=1\nStartCommand=exec sleep 60"))}
        cls.owner = cls.apache.user[1:] if cls.apache.user else (os.geteuid(), os.getegid())
        os.chown(folder, *cls.owner)
        os.mkdir(cls.apache.cgi_bin, 0o755)  # with the files the CGI's user must write
        for name in cls.apache.gateways:
            for suffix in (".txt", ".lock", ".start.log"):
                open(os.path.join(cls.apache.cgi_bin, name + suffix), "a").close()
                os.chown(os.path.join(cls.apache.cgi_bin, name + suffix), *cls.owner)
        cls.apache.start(program)

    @classmethod
    def tearDownClass(cls):
        cls.stop_application(signal.SIGTERM)
        cls.apache.stop()
        if cls.other_user:
            subprocess.run(["userdel", OTHER_USER], check=False)

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

    def fetch(self, script, path, status=200, headers=()):
        reply = harness.request(self.apache.url(script, path), headers=headers)
        self.assertEqual(reply.status, status, reply.body)
        return reply

    def cgi_file(self, name):
        with open(os.path.join(self.apache.cgi_bin, name)) as text:
            return text.read()

    def test_first_request_starts_it_on_a_private_socket(self):
        self.stop_application(signal.SIGTERM)
        reply = self.fetch("nph-app", "/echo/first")
        self.assertIn(["Host", "localhost"], json.loads(reply.body)["headers"])
        start = self.starts()[-1]
        self.assertIn("\tTarget started, process %d\n\tConnected\n" % start["pid"],
                      self.cgi_file("nph-app.txt"))
        info = os.stat(self.socket)
        self.assertEqual((stat.S_ISSOCK(info.st_mode), stat.S_IMODE(info.st_mode), info.st_uid),
                         (True, 0o600, self.owner[0]))
        if self.apache.user:
            direct = subprocess.run(["runuser", "-u", OTHER_USER, "--", PYTHON, "-c",
                                     "import socket, sys; socket.socket(socket.AF_UNIX)"
                                     ".connect(sys.argv[1])", self.socket], capture_output=True)
            self.assertIn(b"PermissionError", direct.stderr)
        # The CGI has ended while the application lives on, in a session of its
        # own, with none of the web server's files.
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
        self.assertLess(self.fetch("nph-broken", "/x", status=500).seconds, 10)
        self.assertIn("\tTarget exited with code 3\n", self.cgi_file("nph-broken.txt"))
        self.assertIn("cannot start", self.cgi_file("nph-broken.start.log"))
        self.assertLess(self.fetch("nph-slow", "/x", status=500).seconds, 5)
        log = self.cgi_file("nph-slow.txt")
        self.assertIn("\tTarget not accepting after 1 s, stopped\n", log)
        pid = int(log.split("process ")[1].split("\n")[0])
        self.assertTrue(wait_until(lambda: not alive(pid)))

    def test_basic_and_bearer_credentials_reach_the_application(self):
        def auth(value):
            return [("Authorization", value)]
        self.fetch("nph-app", "/api/me", headers=auth("Bearer " + TOKEN))
        refused = self.fetch("nph-app", "/api/me", 401, auth("Bearer x"))
        self.assertEqual(refused.headers["WWW-Authenticate"], "Bearer")
        self.fetch("nph-app", "/basic", headers=auth(BASIC))
        self.fetch("nph-app", "/basic", 401, auth("Basic " + base64.b64encode(b"a:b").decode()))
        seen = json.loads(self.fetch("nph-app", "/echo/a", headers=auth("Bearer x")).body)
        self.assertEqual([h for h in seen["headers"] if "uthoriz" in h[0]],
                         [["Authorization", "Bearer x"]])


class PreforkCgi(Hosted, unittest.TestCase):
    MODE = "prefork-cgi"


class EventCgid(Hosted, unittest.TestCase):
    MODE = "event-cgid"
