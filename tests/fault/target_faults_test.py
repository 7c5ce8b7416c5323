"""Targets that misbehave: the gateway answers the 500 page (or relays what
the target sent, unchanged) within Timeout + 2 s, and exits with 0."""

import os
import random
import unittest

from fault_harness import CGI_ERROR_PAGE, FaultTarget, FaultTestCase

HEADER_10000 = b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 10000\r\n\r\n"


class TargetFaultTest(FaultTestCase):
    def serve(self, behaviour):
        target = FaultTarget(behaviour)
        self.addCleanup(target.stop)
        self.gw = self.install(self.settings_for(target.port))
        return target

    def test_reset_mid_reply(self):
        for where, part in (("in the header", HEADER_10000[:30]),
                            ("in the body", HEADER_10000 + os.urandom(3000))):
            with self.subTest(where):
                def behaviour(conn, target, part=part):
                    target.read_request(conn)
                    target.send(conn, part)
                    target.reset(conn)
                self.serve(behaviour)
                run = self.check(self.gw, [CGI_ERROR_PAGE], path_info="/reset")
                self.assertLess(run.elapsed, 2.0, "a reset fails at once")
                self.assertRegex(self.read_log(self.gw), r"\t(Network error|Connection closed)\n")

    def test_stall_mid_body(self):
        def behaviour(conn, target):
            target.read_request(conn)
            target.send(conn, HEADER_10000 + b"x" * 4000)
            target.hold()
        self.serve(behaviour)
        run = self.check(self.gw, [CGI_ERROR_PAGE], path_info="/stall")
        self.assertGreaterEqual(run.elapsed, self.TIMEOUT - 1)
        self.assertIn("\tTimeout\n", self.read_log(self.gw))

    def test_nul_inside_the_header(self):
        reply = b"HTTP/1.0 200 OK\r\nX-Odd: a\x00b\r\nContent-Length: 5\r\n\r\nhello"
        for ending in ("close", "hold"):
            with self.subTest(ending):
                def behaviour(conn, target, ending=ending):
                    target.read_request(conn)
                    target.send(conn, reply)
                    if ending == "hold":
                        target.hold()
                self.serve(behaviour)
                # Relayed unchanged, or refused: never altered.
                self.check(self.gw, [reply, CGI_ERROR_PAGE], path_info="/nul")

    def test_nul_in_the_body_is_relayed(self):
        reply = b"HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\n\x00a\x00\r\n\x00"

        def behaviour(conn, target):
            target.read_request(conn)
            target.send(conn, reply)
            target.hold()
        self.serve(behaviour)
        run = self.check(self.gw, [reply], path_info="/nul-body")
        self.assertLess(run.elapsed, 2.0)

    def test_header_that_never_ends(self):
        # The target keeps sending header lines for as long as it is read.
        def endless(conn, target):
            target.read_request(conn)
            line = b"X-Filler: " + b"a" * 1000 + b"\r\n"
            target.send(conn, b"HTTP/1.0 200 OK\r\n")
            for _ in range(50 * 1024):  # 50 MB at most
                if target.stopping.is_set():
                    break
                target.send(conn, line)
        target = self.serve(endless)
        run = self.check(self.gw, [CGI_ERROR_PAGE], path_info="/endless")
        self.assertLess(run.elapsed, 2.0, "the header limit ends the wait")
        # Given up at the limit, not after buffering all the target sent.
        self.assertIn("\tReply header too large\n", self.read_log(self.gw))
        target.stopping.set()
        self.assertLess(len(target.sent), 10 << 20, "the gateway stopped reading early")

    def test_header_that_never_ends_slowly(self):
        # Below the size limit, the timeout ends it.
        def trickle(conn, target):
            target.read_request(conn)
            target.send(conn, b"HTTP/1.0 200 OK\r\n")
            while not target.stopping.wait(0.1):
                target.send(conn, b"X-Slow: 1\r\n")
        self.serve(trickle)
        self.check(self.gw, [CGI_ERROR_PAGE], path_info="/trickle")
        self.assertIn("\tTimeout\n", self.read_log(self.gw))

    # A target that accepts and never reads: once the socket buffers are full
    # the send waits, and Timeout bounds that wait like the receive's.
    def test_target_that_never_reads_a_large_upload(self):
        def deaf(conn, target):
            target.hold()
        self.serve(deaf)
        self.check(self.gw, [CGI_ERROR_PAGE], path_info="/upload", method="POST",
                   body=b"u" * (50 << 20))

    def test_garbage_instead_of_http(self):
        rng = random.Random(6)
        noise = bytes(rng.randrange(256) for _ in range(5000)).replace(b"\r\n\r\n", b"")
        with_blank = b"SSH-2.0-OpenSSH_9.2\r\n\r\n" + noise
        cases = [
            ("noise, then close", noise, "close", [CGI_ERROR_PAGE]),
            ("noise, then silence", noise, "hold", [CGI_ERROR_PAGE]),
            # A blank line makes it a header without a length: what follows
            # until the close is the body, relayed as it came.
            ("noise with a blank line, then close", with_blank, "close", [with_blank, CGI_ERROR_PAGE]),
            ("one byte, then close", b"\x16", "close", [CGI_ERROR_PAGE]),
            ("nothing, then close", b"", "close", [CGI_ERROR_PAGE]),
        ]
        for name, data, ending, allowed in cases:
            with self.subTest(name):
                def behaviour(conn, target, data=data, ending=ending):
                    target.read_request(conn)
                    if data:
                        target.send(conn, data)
                    if ending == "hold":
                        target.hold()
                self.serve(behaviour)
                self.check(self.gw, allowed, path_info="/garbage")

    def test_target_that_closes_without_reading_the_upload(self):
        def rude(conn, target):
            conn.recv(100)
            target.reset(conn)
        self.serve(rude)
        self.check(self.gw, [CGI_ERROR_PAGE], path_info="/upload", method="POST",
                   body=b"u" * (4 << 20))


if __name__ == "__main__":
    unittest.main()
