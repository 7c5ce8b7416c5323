"""An application on a shared host behind the gateway, under a real Apache
httpd (mpm_prefork + mod_cgi, and mpm_event + mod_cgid): on a socket file only
its user can open, started by the first request that finds it down, with its
own Basic and bearer authentication (PassAuthorization=1, CGIPassAuth On).

The application is this file run as `python3 hosted_app_e2e_test.py --serve
SOCKET`: the test application of target_app.py on a socket file, with an API
that wants a bearer token and a page that wants Basic credentials. Each start
appends a line to SOCKET.starts with its process id, session and the files it
was given, so a test can count the starts and see what was inherited.
"""

import base64
import json
import os
import pwd
import signal
import socketserver
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

TOKEN = "t0k3n-for-the-api"
USER, PASSWORD = "alice", "wonderland"
PYTHON = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable
OTHER_USER = "nph-e2e-other"


# --- The application --------------------------------------------------------

def serve(path):
    from target_app import Handler, Recorder

    class AppHandler(Handler):
        def _serve(self):
            route = urllib.parse.urlsplit(self.path).path
            given = self.headers.get("Authorization", "")
            if route == "/api/me":
                if given != "Bearer " + TOKEN:
                    return self._send(401, b"token wanted\n", "text/plain",
                                      [("WWW-Authenticate", 'Bearer realm="api"')])
                return self._send(200, json.dumps({"user": USER}).encode(), "application/json")
            if route == "/basic":
                wanted = "Basic " + base64.b64encode(("%s:%s" % (USER, PASSWORD)).encode()).decode()
                if given != wanted:
                    return self._send(401, b"login wanted\n", "text/plain",
                                      [("WWW-Authenticate", 'Basic realm="app"')])
                return self._send(200, b"hello " + USER.encode() + b"\n", "text/plain")
            return super()._serve()

    class AppServer(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
        daemon_threads = True

    # What this process was given, before it opens anything itself (the
    # listing's own descriptor is gone by the time it is read).
    fds = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds[fd] = os.readlink("/proc/self/fd/" + fd)
        except OSError:
            pass
    with open(path + ".starts", "a") as starts:
        starts.write(json.dumps({"pid": os.getpid(), "sid": os.getsid(0), "fds": fds}) + "\n")
    time.sleep(0.3)  # a start that takes a moment, as a real one does
    server = AppServer(path, AppHandler)  # private from the start: umask 077
    os.chmod(path, 0o600)
    server.recorder = Recorder()
    server.app_forms, server.site_sessions = {}, {}
    server.serve_forever()


if __name__ == "__main__" and sys.argv[1:2] == ["--serve"]:
    serve(sys.argv[2])
    sys.exit(0)


# --- The tests --------------------------------------------------------------

import e2e_env  # noqa: E402  (the application above needs none of these)
import servers  # noqa: E402
from e2e_env import curl  # noqa: E402

ROOT = None
CREATED_OTHER_USER = False


class Scratch:
    """What curl() needs of the shared environment: a folder for its files."""

    def __init__(self, root):
        self.scratch = os.path.join(root, "scratch")
        os.makedirs(self.scratch)


def setUpModule():
    global ROOT, CREATED_OTHER_USER
    e2e_env.check_tools()
    ROOT = tempfile.mkdtemp(prefix="nph-hosted-")
    os.chmod(ROOT, 0o755)
    if os.geteuid() == 0:
        try:
            pwd.getpwnam(OTHER_USER)
        except KeyError:
            subprocess.run(["useradd", "--system", "--no-create-home", "--shell",
                            "/usr/sbin/nologin", OTHER_USER], check=True)
            CREATED_OTHER_USER = True


def tearDownModule():
    if CREATED_OTHER_USER:
        subprocess.run(["userdel", OTHER_USER], check=False)
    if ROOT and not os.environ.get("E2E_KEEP"):
        subprocess.run(["rm", "-rf", ROOT], check=False)


def gateways(folder):
    def ini(name, *lines):
        return "\n".join(["[Forward]", "Timeout=30", "Log=1",
                          "TargetSocket=%s/%s.sock" % (folder, name)] + list(lines)) + "\n"
    app = "%s/app.sock" % folder
    return {
        # As README's section on running an application behind the gateway has it.
        "nph-app": ini("app", "PassAuthorization=1", "StartTimeout=20",
                       "StartCommand=umask 077; exec %s %s --serve %s"
                       % (PYTHON, os.path.abspath(__file__), app)),
        "nph-broken": ini("broken", "StartTimeout=20",
                          "StartCommand=echo 'cannot start' >&2; exit 3"),
        "nph-slow": ini("slow", "StartTimeout=1", "StartCommand=exec sleep 60"),
    }


class HostedFixture:
    MODE = None

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix=cls.MODE + "-", dir=ROOT)
        cls.env = Scratch(cls.root)
        # The application's own folder: its user's, others may pass through.
        cls.folder = os.path.join(cls.root, "app")
        os.makedirs(cls.folder)
        cls.socket = os.path.join(cls.folder, "app.sock")
        cls.apache = servers.Apache(cls.MODE, cls.root, gateways(cls.folder), extra_conf=(
            '<Directory "%s/cgi-bin">\n    CGIPassAuth On\n</Directory>\n' % cls.root))
        cls.user = cls.apache.user  # (name, uid, gid) of the CGI's user, or None
        if cls.user:
            os.chown(cls.folder, cls.user[1], cls.user[2])
        os.chmod(cls.folder, 0o711)
        try:
            cls.apache.start(e2e_env.gateway_binary())
            # The files beside each gateway that its user writes.
            for script in gateways(cls.folder):
                for extension in (".txt", ".lock", ".start.log"):
                    path = os.path.join(cls.apache.cgi_bin, script + extension)
                    open(path, "a").close()
                    if cls.user:
                        os.chown(path, cls.user[1], cls.user[2])
        except BaseException:
            cls.apache.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.stop_application(signal.SIGTERM)
        cls.apache.stop()

    # The application runs on after each request, detached: these find it
    # and stop it by its own process id.
    @classmethod
    def starts(cls):
        try:
            with open(cls.socket + ".starts") as lines:
                return [json.loads(line) for line in lines]
        except FileNotFoundError:
            return []

    @classmethod
    def stop_application(cls, how):
        for start in cls.starts():
            try:
                os.kill(start["pid"], how)
            except ProcessLookupError:
                continue
            for _ in range(100):
                if not alive(start["pid"]):
                    break
                time.sleep(0.05)

    def fetch(self, script, path, *args):
        return curl(self.env, self.apache.url(script, path), *args)

    def log_of(self, script):
        with open(os.path.join(self.apache.cgi_bin, script + ".txt")) as log:
            return log.read()

    def assertAnswered(self, reply, status=200):
        self.assertEqual(reply.returncode, 0, reply.stderr)
        self.assertEqual(reply.status, status, (reply.raw_head, reply.body[:300]))


def alive(pid):
    """True while the process runs (a zombie counts as ended)."""
    try:
        with open("/proc/%d/stat" % pid) as info:
            return info.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class HostedCases:

    def test_first_request_starts_it_on_a_private_socket(self):
        self.stop_application(signal.SIGTERM)
        before = len(self.starts())
        reply = self.fetch("nph-app", "/echo/first")
        self.assertAnswered(reply)
        self.assertEqual([h for h in json.loads(reply.body)["headers"] if h[0] == "Host"],
                         [["Host", "localhost"]])
        started = self.starts()[before:]
        self.assertEqual(len(started), 1)
        pid = started[0]["pid"]

        # The socket file is the application's user's alone.
        info = os.stat(self.socket)
        self.assertTrue(stat.S_ISSOCK(info.st_mode))
        self.assertEqual(stat.S_IMODE(info.st_mode), 0o600)
        self.assertEqual(info.st_uid, self.user[1] if self.user else os.geteuid())
        if self.user and os.geteuid() == 0:
            direct = subprocess.run(
                ["runuser", "-u", OTHER_USER, "--", PYTHON, "-c",
                 "import socket, sys; s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1])",
                 self.socket], capture_output=True, text=True, timeout=30)
            self.assertNotEqual(direct.returncode, 0)
            self.assertIn("PermissionError", direct.stderr)

        # The request is over (Apache logged it) and the application lives on,
        # in a session of its own, holding nothing of the CGI's.
        self.assertTrue(alive(pid))
        self.assertEqual(started[0]["sid"], pid)
        fds = started[0]["fds"]
        start_log = os.path.join(self.apache.cgi_bin, "nph-app.start.log")
        self.assertEqual((fds["0"], fds["1"], fds["2"]), ("/dev/null", start_log, start_log))
        self.assertEqual(sorted(fds), ["0", "1", "2"], fds)
        access = os.path.join(self.root, "logs", "access.log")
        for _ in range(100):
            with open(access) as log:
                if "GET /cgi-bin/nph-app/echo/first " in log.read():
                    break
            time.sleep(0.05)
        else:
            self.fail("Apache still waits for the request to end")
        self.assertIn("\tTarget started, process %d\n\tConnected\n" % pid, self.log_of("nph-app"))

    def test_twenty_first_requests_at_once_start_one_copy(self):
        self.stop_application(signal.SIGTERM)
        before = len(self.starts())
        replies = [None] * 20

        def fetch(index):
            replies[index] = self.fetch("nph-app", "/echo/at-once-%d" % index)
        threads = [threading.Thread(target=fetch, args=(i,)) for i in range(20)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for reply in replies:
            self.assertAnswered(reply)
        self.assertEqual(len(self.starts()) - before, 1)

    def test_killed_application_is_started_again(self):
        self.assertAnswered(self.fetch("nph-app", "/echo/running"))
        killed = self.starts()[-1]["pid"]
        self.stop_application(signal.SIGKILL)  # its socket file stays behind
        self.assertTrue(os.path.exists(self.socket))
        self.assertAnswered(self.fetch("nph-app", "/echo/after-kill"))
        self.assertNotEqual(self.starts()[-1]["pid"], killed)

    def test_application_that_does_not_come_up(self):
        # A command that fails at once: the 500 page without waiting out
        # StartTimeout, and the reason in the log and the start log.
        reply = self.fetch("nph-broken", "/echo/x")
        self.assertAnswered(reply, 500)
        self.assertLess(reply.elapsed, 10)
        self.assertIn("\tTarget exited with code 3\n", self.log_of("nph-broken"))
        with open(os.path.join(self.apache.cgi_bin, "nph-broken.start.log")) as output:
            self.assertIn("cannot start", output.read())
        # One that never accepts is stopped once StartTimeout has passed.
        reply = self.fetch("nph-slow", "/echo/x")
        self.assertAnswered(reply, 500)
        self.assertLess(reply.elapsed, 5)
        log = self.log_of("nph-slow")
        self.assertIn("\tTarget not accepting after 1 s, stopped\n", log)
        pid = int(log.split("\tTarget started, process ")[1].split("\n")[0])
        for _ in range(100):
            if not alive(pid):
                break
            time.sleep(0.05)
        self.assertFalse(alive(pid))

    def test_basic_and_bearer_credentials_reach_the_application(self):
        api = self.fetch("nph-app", "/api/me", "-H", "Authorization: Bearer " + TOKEN)
        self.assertAnswered(api)
        self.assertEqual(json.loads(api.body), {"user": USER})
        refused = self.fetch("nph-app", "/api/me", "-H", "Authorization: Bearer guessed")
        self.assertAnswered(refused, 401)
        self.assertEqual(refused.header("WWW-Authenticate"), 'Bearer realm="api"')
        self.assertAnswered(self.fetch("nph-app", "/basic", "-u", "%s:%s" % (USER, PASSWORD)))
        self.assertAnswered(self.fetch("nph-app", "/basic", "-u", USER + ":wrong"), 401)
        echoed = json.loads(self.fetch("nph-app", "/echo/auth", "-H", "Authorization: Bearer x").body)
        self.assertEqual([h for h in echoed["headers"] if "authorization" in h[0].lower()],
                         [["Authorization", "Bearer x"]])


class PreforkCgiHostedTest(HostedCases, HostedFixture, unittest.TestCase):
    MODE = "prefork-cgi"


class EventCgidHostedTest(HostedCases, HostedFixture, unittest.TestCase):
    MODE = "event-cgid"


if __name__ == "__main__":
    unittest.main()
