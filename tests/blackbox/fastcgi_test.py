# FastCGI mode in a real process: a listening socket as standard input makes
# the program serve connection after connection; a TCP peer that
# FCGI_WEB_SERVER_ADDRS does not name is turned away unanswered.

import socket
import struct
import subprocess
import unittest

from harness import PROGRAM, RUNNER, WINDOWS


def record(kind, content=b""):
    return struct.pack(">BBHHBB", 1, kind, 1, len(content), 0, 0) + content


PARAMS = b"\x09\x07PATH_INFO/~~info\x0e\x03REQUEST_METHODGET"
INFO = record(1, struct.pack(">HB5x", 1, 0)) + record(4, PARAMS) + record(4) + record(5)


@unittest.skipIf(WINDOWS, "the Windows build runs as a CGI program only")
class FastCgiProcess(unittest.TestCase):
    def test_web_server_addresses_decide_who_is_served(self):
        for allowed, served in ((None, True), ("10.0.0.1", False), ("10.0.0.1, 127.0.0.1", True)):
            listener = socket.create_server(("127.0.0.1", 0))
            environment = {} if allowed is None else {"FCGI_WEB_SERVER_ADDRS": allowed}
            gateway = subprocess.Popen(RUNNER + [PROGRAM], stdin=listener, env=environment)
            for _ in range(3):  # connection after connection, one process
                with socket.create_connection(listener.getsockname(), timeout=10) as connection:
                    connection.sendall(INFO)
                    try:
                        reply = b"".join(iter(lambda: connection.recv(65536), b""))
                    except ConnectionResetError:  # closed with the request unread
                        reply = b""
                with self.subTest(allowed=allowed):
                    self.assertEqual(served, b"Status: 200 OK\r\nContent-Type: text/html" in reply)
                    if served:
                        self.assertTrue(reply.endswith(record(6) + record(3, bytes(8))))
            gateway.terminate()  # by its PID, as web servers stop FastCGI programs
            gateway.wait(10)
            listener.close()
