"""FastCGI mode as a process shows it: a listening socket as standard input
makes the program serve connection after connection, and a TCP peer that
FCGI_WEB_SERVER_ADDRS does not name is turned away unanswered."""

import socket
import struct
import subprocess
import unittest

from harness import WINDOWS, program_path


def record(kind, content=b""):
    return struct.pack(">BBHHBB", 1, kind, 1, len(content), 0, 0) + content


def pair(name, value):
    return bytes([len(name), len(value)]) + name + value


INFO_REQUEST = (record(1, struct.pack(">HB5x", 1, 0))  # responder, connection not kept
                + record(4, pair(b"PATH_INFO", b"/~~info") + pair(b"REQUEST_METHOD", b"GET"))
                + record(4) + record(5))
END_REQUEST = record(3, bytes(8))


@unittest.skipIf(WINDOWS, "the Windows build runs as a CGI program only")
class FastCgiProcess(unittest.TestCase):
    def replies(self, environment, connections=3):
        listener = socket.create_server(("127.0.0.1", 0))
        gateway = subprocess.Popen([program_path()], stdin=listener, env=environment)
        try:
            replies = []
            for _ in range(connections):
                with socket.create_connection(listener.getsockname(), timeout=10) as connection:
                    connection.sendall(INFO_REQUEST)
                    try:
                        replies.append(b"".join(iter(lambda: connection.recv(65536), b"")))
                    except ConnectionResetError:  # closed with the request unread
                        replies.append(b"")
            return replies
        finally:
            gateway.terminate()  # by its PID, as web servers stop their FastCGI programs
            gateway.wait(10)
            listener.close()

    def test_web_server_addresses_decide_who_is_served(self):
        for allowed, served in ((None, True), ("10.0.0.1", False), ("10.0.0.1, 127.0.0.1", True)):
            with self.subTest(allowed=allowed):
                environment = {} if allowed is None else {"FCGI_WEB_SERVER_ADDRS": allowed}
                for reply in self.replies(environment):
                    if served:
                        self.assertTrue(reply.startswith(record(6)[:4]), reply[:40])
                        self.assertIn(b"Status: 200 OK\r\nContent-Type: text/html\r\n", reply)
                        self.assertTrue(reply.endswith(record(6) + END_REQUEST), reply[-40:])
                    else:
                        self.assertEqual(b"", reply)


if __name__ == "__main__":
    unittest.main()
