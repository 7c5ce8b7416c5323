"""Requests crafted to get past the gateway: header injection, reserved-path
look-alikes, odd CONTENT_LENGTH values, refused paths in other letter cases."""

import itertools
import os
import re
import time
import unittest

from fault_harness import CGI_ERROR_PAGE, FORBIDDEN_PAGE, FaultTestCase
from target import Target

_HEADER_MAP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "forwarding",
                           "header_map.cpp")

# CR and LF in every arrangement, each trying to start a header or a request.
INJECTION = "v\r\nX-Injected: crlf\rX-Injected-Cr: cr\nX-Injected-Lf: lf\r\n\r\nGET /smuggled HTTP/1.0\r\nX-Last: 1"


def mapped_variables():
    """(header, variable) for every row of the gateway's header map."""
    with open(_HEADER_MAP, encoding="utf-8") as handle:
        rows = re.findall(r'\{"([A-Za-z0-9-]+)", "([A-Z0-9_]+)"\}', handle.read())
    assert len(rows) == 50, "the header map has %d rows" % len(rows)
    return rows


class SecurityTestCase(FaultTestCase):
    def setUp(self):
        super().setUp()
        self.server = Target().start()
        self.addCleanup(self.server.stop)
        self.gw = self.install(self.settings_for(self.server.port))

    def forwarded(self, **kwargs):
        """Runs a request that must reach the target; returns what arrived."""
        count = len(self.server.requests)
        run = self.check(self.gw, None, **kwargs)
        requests = self.server.wait_for_requests(count + 1)
        self.assertEqual(len(requests), count + 1, "one request reached the target")
        received = requests[-1]
        deadline = time.monotonic() + 2
        while received.reply != run.stdout and time.monotonic() < deadline:
            time.sleep(0.01)  # the target records what it sent just after sending it
        self.assertEqual(run.stdout, received.reply, "the target's reply relayed unchanged")
        return received

    def assertRefused(self, **kwargs):
        self.check(self.gw, [FORBIDDEN_PAGE], **kwargs)

    def assertNoInjection(self, head_raw):
        self.assertEqual(head_raw.count(b"\r\n\r\n"), 1)
        self.assertTrue(head_raw.endswith(b"\r\n\r\n"))
        lines = head_raw[:-4].split(b"\r\n")
        for line in lines:
            self.assertNotIn(b"\r", line)
            self.assertNotIn(b"\n", line)
        names = [line.split(b":", 1)[0] for line in lines[1:]]
        for name in names:
            self.assertFalse(name.lower().startswith(b"x-"), "injected header %r" % name)


class HeaderInjectionTest(SecurityTestCase):
    def test_every_mapped_variable(self):
        for header, variable in mapped_variables():
            with self.subTest(variable=variable):
                env = {variable: INJECTION}
                body = None
                if variable in ("CONTENT_TYPE", "CONTENT_LENGTH", "HTTP_TRANSFER_ENCODING"):
                    body = b"hello"  # the content rows travel only with a body
                if variable == "CONTENT_LENGTH":
                    env[variable] = "5" + INJECTION
                unframed = variable in ("CONTENT_LENGTH", "HTTP_TRANSFER_ENCODING")
                received = self.forwarded(path_info="/inject", method="POST" if body else "GET",
                                          body=body, content_length=False if unframed else None,
                                          env=env)
                self.assertNoInjection(received.head_raw)
                self.assertEqual(received.request_line,
                                 "%s /inject HTTP/1.0" % ("POST" if body else "GET"))
                if variable in ("SERVER_NAME", "HTTP_TRANSFER_ENCODING"):
                    continue  # never forwarded as they stand
                if variable == "CONTENT_LENGTH":
                    self.assertEqual(received.header(header), "5")  # the number read
                    continue
                self.assertEqual(received.header(header), env[variable].replace("\r", " ").replace("\n", " ").strip())
        self.assertEqual(self.server.connection_count(), len(self.server.requests),
                         "no request smuggled in")

    def test_the_echo_page_shows_no_injected_line(self):
        env = {variable: INJECTION for _, variable in mapped_variables()
               if variable not in ("CONTENT_LENGTH", "HTTP_TRANSFER_ENCODING")}
        run = self.gw.run_fault(path_info="/~~echo", env=env)
        text = run.stdout.split(b"\r\n\r\n", 1)[1]
        self.assertNoInjection(text)
        self.assertIn(b"\r\nHost: " + INJECTION.replace("\r", " ").replace("\n", " ").encode() + b"\r\n", text)

    def test_path_info(self):
        received = self.forwarded(path_info="/inject" + INJECTION)
        self.assertNoInjection(received.head_raw)
        self.assertEqual(received.request_line,
                         "GET /inject" + INJECTION.replace("\r", "%0D").replace("\n", "%0A")
                         .replace(" ", "%20") + " HTTP/1.0")

    def test_query_string(self):
        received = self.forwarded(path_info="/inject", query="a=1" + INJECTION)
        self.assertNoInjection(received.head_raw)
        self.assertEqual(received.query, "a=1" + INJECTION.replace("\r", "%0D").replace("\n", "%0A")
                         .replace(" ", "%20"))


class ReservedLookAlikeTest(SecurityTestCase):
    LOOK_ALIKES = ("/~~ECHO", "/~~echo/", "/~~echo?x", "/~~Echo", "/~~echo ", "/~~echo\t",
                   "/~~INFO", "/~~info/", "/~~Target", "/~~target/x", "//~~echo", "/~~echo/..")

    def test_look_alikes_are_refused_by_a_forbidden_prefix(self):
        self.gw.write_settings(self.settings_for(self.server.port, Forbidden="/~~"))
        for path in self.LOOK_ALIKES:
            with self.subTest(path=path):
                if path.startswith("//"):
                    continue  # not under "/~~"
                self.assertRefused(path_info=path)
        self.assertEqual(self.server.connection_count(), 0)

    def test_look_alikes_are_refused_outside_the_allowed_list(self):
        self.gw.write_settings(self.settings_for(self.server.port, Allowed="/app"))
        for path in self.LOOK_ALIKES:
            with self.subTest(path=path):
                self.assertRefused(path_info=path)
        self.assertEqual(self.server.connection_count(), 0)

    def test_look_alikes_otherwise_go_to_the_target(self):
        for path in self.LOOK_ALIKES:
            with self.subTest(path=path):
                received = self.forwarded(path_info=path)
                self.assertEqual(received.method, "GET")
                self.assertTrue(received.path.lower().startswith(("/~~", "//~~")))


class ContentLengthTest(SecurityTestCase):
    def assertNotForwarded(self, value, body=b"0123456789"):
        self.check(self.gw, [CGI_ERROR_PAGE], path_info="/upload", method="POST", body=body,
                   content_length=value)
        self.assertEqual(self.server.connection_count(), 0, "nothing reaches the target")

    def assertConsistent(self, value, body, sent_body):
        """The target gets one plain decimal length that matches the body."""
        received = self.forwarded(path_info="/upload", method="POST", body=body,
                                  content_length=value)
        length = received.header("Content-Length")
        if sent_body:
            self.assertEqual(length, str(len(sent_body)), "Content-Length as sent")
            self.assertEqual(received.body, sent_body)
        else:
            self.assertIn(length, (None, "0"), "no body, no length")
            self.assertEqual(received.body, b"")
            self.assertIsNone(received.header("Content-Type"))

    def test_lengths_too_large_to_hold(self):
        for value in ("2147483648", "9223372036854775808", "18446744073709551616",
                      "99999999999999999999999999", "2147483647"):
            with self.subTest(value=value):
                self.assertNotForwarded(value)

    def test_lengths_with_blanks(self):
        for value in (" 5", "5 ", "\t5", " 5 "):
            with self.subTest(value=repr(value)):
                self.assertConsistent(value, b"hello", b"hello")

    # The length goes out as the number the gateway read: with a sign the
    # target might read the line otherwise than the gateway did.
    def test_length_with_a_plus_sign(self):
        self.assertConsistent("+5", b"hello", b"hello")

    # A length below zero sends no body, and so no content rows either.
    def test_negative_length(self):
        self.assertConsistent("-1", b"", b"")

    def test_large_negative_length(self):
        self.assertConsistent("-9223372036854775808", b"", b"")


class RefusedPathCaseTest(SecurityTestCase):
    def test_every_letter_case_of_a_forbidden_path(self):
        for listed in ("/admin", "/ADMIN", "/aDmIn"):
            self.gw.write_settings(self.settings_for(self.server.port, Forbidden="/x," + listed))
            for letters in itertools.product(*[(c.lower(), c.upper()) for c in "admin"]):
                path = "/" + "".join(letters)
                for suffix in ("", "/users", "?x"):
                    with self.subTest(listed=listed, path=path + suffix):
                        self.assertRefused(path_info=path + suffix)
        self.assertEqual(self.server.connection_count(), 0)

    def test_a_path_outside_the_list_still_passes(self):
        self.gw.write_settings(self.settings_for(self.server.port, Forbidden="/admin"))
        for path in ("/adm", "/a/admin", "/%61dmin"):
            with self.subTest(path=path):
                received = self.forwarded(path_info=path)
                self.assertFalse(received.path.lower().startswith("/admin"))


if __name__ == "__main__":
    unittest.main()
