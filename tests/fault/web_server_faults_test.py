"""A web server that stops listening or stops talking: standard output closed
early, standard input that ends before the declared body."""

import os
import unittest

from fault_harness import (CGI_ERROR_PAGE, ECHO_FAILED_PAGE, FORBIDDEN_PAGE, FaultTarget,
                           FaultTestCase)

BIG = 5 << 20


def big_reply():
    body = bytes(range(256)) * (BIG // 256)
    return b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body


class WebServerFaultTest(FaultTestCase):
    def setUp(self):
        super().setUp()
        self.reply = big_reply()

        def behaviour(conn, target):
            target.read_request(conn)
            target.send(conn, self.reply)
            target.hold(5)
        self.target = FaultTarget(behaviour)
        self.addCleanup(self.target.stop)
        self.gw = self.install(self.settings_for(self.target.port))

    def test_standard_output_closed_before_the_response(self):
        for path in ("/big", "/~~info", "/~~echo", "/~~target"):
            with self.subTest(path=path):
                self.check(self.gw, [], path_info=path, close_stdout=True)

    def test_standard_output_closed_part_way_through_a_large_reply(self):
        for read in (0, 1, 100, 70000):
            with self.subTest(read=read):
                run = self.check(self.gw, [self.reply], path_info="/big", stdout_limit=read)
                self.assertEqual(len(run.stdout), read)

    def test_standard_input_that_ends_before_the_declared_body(self):
        for body, declared in ((b"", 10), (b"x" * 1000, 100000), (os.urandom(1 << 20), (1 << 20) + 1)):
            with self.subTest(sent=len(body), declared=declared):
                self.check(self.gw, [CGI_ERROR_PAGE], path_info="/upload", method="POST",
                           body=body, content_length=declared)
        self.assertEqual(self.target.connections, 0, "a cut body is never forwarded")

    def test_standard_input_that_ends_early_on_the_echo_page(self):
        self.check(self.gw, [ECHO_FAILED_PAGE], path_info="/~~echo", method="POST",
                   body=b"abc", content_length=50)

    def test_local_pages_with_a_body_left_unread(self):
        # The rest of the declared body is read and dropped; a short one ends it.
        self.gw.write_settings(self.settings_for(self.target.port, Forbidden="/no"))
        info = self.gw.run_fault(path_info="/~~info").stdout
        for path, page in (("/no", FORBIDDEN_PAGE), ("/~~info", info)):
            with self.subTest(path=path):
                self.check(self.gw, [page], path_info=path, method="POST", body=b"b" * 1000,
                           content_length=5000)


if __name__ == "__main__":
    unittest.main()
