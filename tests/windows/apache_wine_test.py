"""End to end on Linux: Apache httpd runs nph-gw.exe, through Wine, as its CGI
program, and a browser-like client gets the target's reply through it.

The Windows program sits in the ScriptAlias folder with its settings file; a
two-line wrapper named "nph-gw" (the "nph-" prefix tells Apache to pass the
output unparsed) hands it to the Wine session's runner.

Environment:
  NPH_GW_EXE        the built nph-gw.exe
  NPH_GW_CGI_RUNNER the runner the Apache workers use (see wine_session.sh);
                    when Apache starts as root its workers run as www-data,
                    which needs a Wine session of its own
  APACHE_BIN, APACHE_MODULES  where Apache lives (Debian's paths by default)
"""

import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

APACHE_BIN = os.environ.get("APACHE_BIN", "/usr/sbin/apache2")
APACHE_MODULES = os.environ.get("APACHE_MODULES", "/usr/lib/apache2/modules")

CONF = """ServerRoot "{root}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile "{root}/httpd.pid"
DefaultRuntimeDir "{root}"
Mutex file:{root} default
ErrorLog "{root}/error.log"
LogLevel warn
LoadModule mpm_prefork_module {modules}/mod_mpm_prefork.so
LoadModule cgi_module {modules}/mod_cgi.so
LoadModule alias_module {modules}/mod_alias.so
LoadModule authz_core_module {modules}/mod_authz_core.so
{user}
StartServers 1
MinSpareServers 1
MaxSpareServers 2
Timeout 30
DocumentRoot "{root}/htdocs"
ScriptAlias /cgi-bin/ "{root}/cgi-bin/"
<Directory "{root}/cgi-bin">
    Options +ExecCGI
    Require all granted
</Directory>
"""

WRAPPER = """#!/bin/sh
# Apache runs this; the gateway itself is the Windows program beside it.
exec '{runner}' "${{0%/*}}/nph-gw.exe" "$@"
"""

TARGET_REPLY = (b"HTTP/1.0 201 Created\r\nContent-Type: application/octet-stream\r\n"
                b"X-From: target\r\nContent-Length: 260\r\n\r\n" + bytes(range(256)) + b"\r\n\r\n")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Target:
    """A loopback target that records each request and answers TARGET_REPLY."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.requests = []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            with connection:
                connection.settimeout(10)
                data = b""
                while b"\r\n\r\n" not in data:
                    piece = connection.recv(65536)
                    if not piece:
                        break
                    data += piece
                head, _, body = data.partition(b"\r\n\r\n")
                for line in head.split(b"\r\n"):
                    if line.lower().startswith(b"content-length:"):
                        wanted = int(line.split(b":", 1)[1])
                        while len(body) < wanted:
                            piece = connection.recv(65536)
                            if not piece:
                                break
                            body += piece
                self.requests.append(head + b"\r\n\r\n" + body)
                connection.sendall(TARGET_REPLY)

    def stop(self):
        self.listener.close()


def exchange(port, request):
    """Sends raw bytes to Apache and reads its answer to the end."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as client:
        client.sendall(request)
        answer = b""
        while True:
            piece = client.recv(65536)
            if not piece:
                return answer
            answer += piece


class ApacheRunsTheWindowsGateway(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        exe = os.environ.get("NPH_GW_EXE")
        runner = os.environ.get("NPH_GW_CGI_RUNNER")
        if not exe or not runner:
            raise unittest.SkipTest("set NPH_GW_EXE and NPH_GW_CGI_RUNNER")
        if not os.access(APACHE_BIN, os.X_OK):
            raise unittest.SkipTest("apache2 not installed")
        cls.root = tempfile.mkdtemp(prefix="nph-apache-wine-")
        os.chmod(cls.root, 0o755)
        cls.target = Target()
        cgi_bin = os.path.join(cls.root, "cgi-bin")
        for sub in ("htdocs", "cgi-bin"):
            os.makedirs(os.path.join(cls.root, sub))
        os.chmod(cgi_bin, 0o755)
        shutil.copyfile(exe, os.path.join(cgi_bin, "nph-gw.exe"))
        with open(os.path.join(cgi_bin, "nph-gw"), "w") as wrapper:
            wrapper.write(WRAPPER.format(runner=runner))
        with open(os.path.join(cgi_bin, "nph-gw.ini"), "w") as ini:
            ini.write("[Forward]\r\nTargetServer=127.0.0.1\r\nTargetPort=%d\r\nTimeout=20\r\n"
                      % cls.target.port)
        for name in ("nph-gw.exe", "nph-gw", "nph-gw.ini"):
            os.chmod(os.path.join(cgi_bin, name), 0o755)
        user = ""
        if os.geteuid() == 0:
            entry = pwd.getpwnam("www-data")
            user = "User www-data\nGroup #%d" % entry.pw_gid
        cls.port = free_port()
        conf = os.path.join(cls.root, "httpd.conf")
        with open(conf, "w") as out:
            out.write(CONF.format(root=cls.root, port=cls.port, modules=APACHE_MODULES,
                                  user=user))
        cls.apache = subprocess.Popen([APACHE_BIN, "-f", conf, "-DFOREGROUND"],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 20
        while True:
            if cls.apache.poll() is not None:
                raise RuntimeError("apache2 exited: %s" % cls.error_log())
            try:
                socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise RuntimeError("apache2 did not listen: %s" % cls.error_log())
                time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        # Stopped by its own PID.
        if cls.apache.poll() is None:
            cls.apache.send_signal(signal.SIGTERM)
            try:
                cls.apache.wait(15)
            except subprocess.TimeoutExpired:
                cls.apache.kill()
                cls.apache.wait(5)
        cls.target.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    @classmethod
    def error_log(cls):
        try:
            with open(os.path.join(cls.root, "error.log"), errors="replace") as log:
                return log.read()[-3000:]
        except OSError:
            return ""

    def test_a_post_reaches_the_target_and_its_reply_comes_back_unchanged(self):
        before = len(self.target.requests)
        body = b"name=value&bytes=" + bytes(range(1, 256))
        answer = exchange(self.port, b"POST /cgi-bin/nph-gw/shop/cart?x=1 HTTP/1.0\r\n"
                          b"Host: webhost.example\r\nUser-Agent: e2e/1.0\r\n"
                          b"Content-Type: application/x-www-form-urlencoded\r\n"
                          b"Content-Length: %d\r\n\r\n" % len(body) + body)
        self.assertEqual(TARGET_REPLY, answer, self.error_log())
        self.assertEqual(before + 1, len(self.target.requests))
        request = self.target.requests[-1]
        head, _, sent_body = request.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        self.assertEqual(b"POST /shop/cart?x=1 HTTP/1.0", lines[0])
        self.assertIn(b"User-Agent: e2e/1.0", lines)
        self.assertIn(b"Host: 127.0.0.1:%d" % self.target.port, lines)
        self.assertEqual(body, sent_body)

    def test_a_byte_beyond_ascii_in_the_path_reaches_the_target_encoded(self):
        # Apache decodes %E9 into PATH_INFO; the byte crosses Windows' ANSI
        # environment and the gateway encodes it again for the target.
        answer = exchange(self.port, b"GET /cgi-bin/nph-gw/caf%E9/x?q=%FF&r=1 HTTP/1.0\r\n"
                          b"Host: webhost.example\r\n\r\n")
        self.assertEqual(TARGET_REPLY, answer, self.error_log())
        request_line = self.target.requests[-1].split(b"\r\n", 1)[0]
        self.assertEqual(b"GET /caf%E9/x?q=%FF&r=1 HTTP/1.0", request_line)

    def test_info_page_shows_the_version_from_the_resource(self):
        answer = exchange(self.port, b"GET /cgi-bin/nph-gw/~~info HTTP/1.0\r\n"
                          b"Host: webhost.example\r\n\r\n")
        self.assertTrue(answer.startswith(b"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n"),
                        answer[:200] + self.error_log().encode())
        # The version text comes from the program's version resource.
        version = os.environ.get("NPH_GW_VERSION", "").encode()
        self.assertRegex(answer, rb"<B>Script name:</B> /cgi-bin/nph-gw \((\d+\.)+\d+\)<BR>")
        if version:
            self.assertIn(b"<B>Script name:</B> /cgi-bin/nph-gw (%s)<BR>" % version, answer)
        self.assertIn(b"<B>Server software:</B> Apache", answer)
        self.assertIn(b"<B>Gateway interface:</B> CGI/1.1<BR>", answer)


if __name__ == "__main__":
    unittest.main()
