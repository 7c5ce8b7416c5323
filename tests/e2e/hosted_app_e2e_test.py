"""An application on a shared host behind the gateway, under Apache: on a
socket file only its user can open, started by the first request that finds
it down. The application is the test application run with --socket."""

import base64
import concurrent.futures
import json
import os
import signal
import stat
import subprocess
import sys
import unittest

import harness

PYTHON = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable
APPLICATION = os.path.join(os.path.dirname(os.path.abspath(__file__)), "target_app.py")


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as info:
            return info.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class Hosted:
    MODE = None

    @classmethod
    def setUpClass(cls):
        program = harness.require()
        cls.apache = harness.Apache(cls.MODE, {})
        folder = os.path.join(cls.apache.root, "app")  # the application's; others may pass
        os.makedirs(folder, 0o711)
        os.chown(folder, *cls.apache.owner)
        cls.socket = folder + "/app.sock"
        cls.apache.gateways = {"nph-" + name: harness.settings(
            None, "Log=1", "TargetSocket=%s/%s.sock" % (folder, name), *lines) for name, lines in (
                ("app", ("PassAuthorization=1", "StartCommand=umask 077; exec %s %s --socket %s"
                         % (PYTHON, APPLICATION, cls.socket))),
                ("broken", ("StartCommand=echo cannot start >&2; exit 3",)),
                ("slow", ("StartTimeout=1", "StartCommand=exec sleep 60")))}
        cls.apache.start(program)

    @classmethod
    def tearDownClass(cls):
        cls.stop_application(signal.SIGTERM)
        cls.apache.stop()

    @classmethod
    def starts(cls):
        return [json.loads(line) for line in harness.read(cls.socket + ".starts").splitlines()]

    @classmethod
    def stop_application(cls, how):
        """By its own process id: it runs on after each request."""
        for pid in [start["pid"] for start in cls.starts() if alive(start["pid"])]:
            os.kill(pid, how)
            harness.wait_until(lambda: not alive(pid), 5)

    def fetch(self, script, path, status=200, headers=()):
        reply = harness.request(self.apache.url(script, path), headers=headers)
        self.assertEqual(reply.status, status, reply.body)
        return reply

    def cgi_file(self, name):
        return harness.read(os.path.join(self.apache.cgi_bin, name))

    def test_first_request_starts_it_on_a_private_socket(self):
        self.stop_application(signal.SIGTERM)
        reply = self.fetch("nph-app", "/echo/first")
        self.assertIn(["Host", "localhost"], json.loads(reply.body)["headers"])
        start = self.starts()[-1]
        self.assertIn("\tTarget started, process %d\n\tConnected\n" % start["pid"],
                      self.cgi_file("nph-app.txt"))
        info = os.stat(self.socket)
        self.assertEqual((stat.S_ISSOCK(info.st_mode), stat.S_IMODE(info.st_mode), info.st_uid),
                         (True, 0o600, self.apache.owner[0]))
        if self.apache.user:
            direct = subprocess.run(["runuser", "-u", "nobody", "--", PYTHON, "-c",
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
        self.assertTrue(harness.wait_until(lambda: not alive(pid), 5))

    def test_basic_and_bearer_credentials_reach_the_application(self):
        for credentials in ("Basic " + base64.b64encode(b"alice:wonderland").decode(),
                            "Bearer t0k3n"):
            seen = json.loads(self.fetch("nph-app", "/echo", headers={
                "Authorization": credentials}).body)
            self.assertEqual([h for h in seen["headers"] if "uthoriz" in h[0]],
                             [["Authorization", credentials]])


class PreforkCgi(Hosted, unittest.TestCase):
    MODE = "prefork-cgi"


class EventCgid(Hosted, unittest.TestCase):
    MODE = "event-cgid"
