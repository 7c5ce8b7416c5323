# FastCGI mode in a real process: a listening socket as standard input makes
# the program serve connection after connection; a TCP peer that
# FCGI_WEB_SERVER_ADDRS does not name is turned away unanswered. On Windows,
# IIS's named pipe as standard input does the same (the tests' IIS stand-in
# makes the pipe and connects to it for each request).

import os
import socket
import struct
import subprocess
import unittest

from harness import ENVIRONMENT, PROGRAM, RUNNER, WINDOWS, GatewayCase, iis_started


def record(kind, content=b""):
    return struct.pack(">BBHHBB", 1, kind, 1, len(content), 0, 0) + content


def request(variables):
    # A whole responder request: its variables (each shorter than 128 bytes),
    # and no body.
    params = b"".join(bytes([len(name), len(value)]) + name + value
                      for name, value in ((n.encode(), v.encode()) for n, v in variables.items()))
    return record(1, struct.pack(">HB5x", 1, 0)) + record(4, params) + record(4) + record(5)


END = record(6) + record(3, bytes(8))  # the end of a reply: no more output, request complete




@unittest.skipIf(WINDOWS, "IIS hands its FastCGI programs a named pipe")
class FastCgiProcess(unittest.TestCase):
    def test_web_server_addresses_decide_who_is_served(self):
        for allowed, served in ((None, True), ("10.0.0.1", False), ("10.0.0.1, 127.0.0.1", True)):
            listener = socket.create_server(("127.0.0.1", 0))
            environment = {} if allowed is None else {"FCGI_WEB_SERVER_ADDRS": allowed}
            gateway = subprocess.Popen(RUNNER + [PROGRAM], stdin=listener, env=environment)
            for _ in range(3):  # connection after connection, one process
                with socket.create_connection(listener.getsockname(), timeout=10) as connection:
                    connection.sendall(request({"PATH_INFO": "/~~info", "REQUEST_METHOD": "GET"}))
                    try:
                        reply = b"".join(iter(lambda: connection.recv(65536), b""))
                    except ConnectionResetError:  # closed with the request unread
                        reply = b""
                with self.subTest(allowed=allowed):
                    self.assertEqual(served, b"Status: 200 OK\r\nContent-Type: text/html" in reply)
                    if served:
                        self.assertTrue(reply.endswith(END))
            gateway.terminate()  # by its PID, as web servers stop FastCGI programs
            gateway.wait(10)
            listener.close()


@unittest.skipUnless(WINDOWS, "IIS's named pipe is Windows's")
class IisFastCgiProcess(GatewayCase):
    def connect(self, data, end):  # one connection to the pipe (tests/support/iis_host.cpp)
        self.host.stdin.write(data.hex().encode() + end + b"\n")
        self.host.stdin.flush()
        return bytes.fromhex(self.host.stdout.readline().decode())

    def ask(self, path, **variables):
        reply = self.connect(request(dict(ENVIRONMENT, REQUEST_METHOD="GET", PATH_INFO=path,
                                          **variables)), b"?")
        self.assertTrue(reply.endswith(END))
        return reply

    def test_requests_over_the_pipe_one_process(self):
        target, other = self.target(), self.target()
        program = self.gateway(target)
        self.host = subprocess.Popen(iis_started("fastcgi", program, {}), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, cwd=os.path.dirname(program))
        self.addCleanup(self.host.wait, 20)
        self.addCleanup(self.host.stdin.close)  # the host then ends the program, and itself
        self.assertIn(b"Status: 200 OK\r\nContent-Type: text/html", self.ask("/~~info"))
        self.connect(request({"PATH_INFO": "/"})[:30], b".")  # given up: the next is served
        for number in range(200):  # each request its own
            self.assertIn(b"Status: 200 OK", self.ask("/n", QUERY_STRING="n=%d" % number))
        self.assertEqual(target.lines, ["GET /n?n=%d HTTP/1.1" % n for n in range(200)])
        with open(program + ".ini", "w") as ini:
            ini.write("[Forward]\nTargetPort=%d\n" % other.port)
        self.ask("/moved")
        self.assertEqual((len(target.lines), len(other.lines)), (200, 1))
