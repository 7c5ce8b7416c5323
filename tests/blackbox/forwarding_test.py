"""Requests forwarded to a live target and replies relayed back."""

import hashlib
import os
import unittest

from harness import CGI_ERROR_PAGE, GatewayTestCase
from target import pattern


class ForwardingTest(GatewayTestCase):
    def setUp(self):
        super().setUp()
        self.server = self.target()
        self.gw = self.gateway(self.settings_for(self.server.port))

    def forward(self, **kwargs):
        run = self.request(self.gw, **kwargs)
        received = self.server.last_request()
        self.assertIsNotNone(received, "target saw no request")
        return run, received


class RequestRebuildingTest(ForwardingTest):
    def test_get_with_query_arrives_as_http_1_0_with_mapped_headers(self):
        run, received = self.forward(
            path_info="/shop/list", query="x=1&y=two",
            env={
                "HTTP_ACCEPT": "text/html",
                "HTTP_ACCEPT_LANGUAGE": "en",
                "HTTP_USER_AGENT": "Blackbox/1.0",
                "HTTP_COOKIE": "sid=abc",
                "HTTP_REFERER": "http://webhost.example/page",
                "REMOTE_USER": "alice",
                "HTTP_AUTHORIZATION": "Basic YWxpY2U6cHc=",
                "HTTP_X_CUSTOM": "not mapped",
                "CONTENT_TYPE": "text/plain",  # no body: not forwarded
            })
        expected = (
            "GET /shop/list?x=1&y=two HTTP/1.0\r\n"
            "Accept: text/html\r\n"
            "Accept-Language: en\r\n"
            "Authorization: alice\r\n"
            "Proxy-Authorization: Basic YWxpY2U6cHc=\r\n"
            "Referer: http://webhost.example/page\r\n"
            "User-Agent: Blackbox/1.0\r\n"
            "Cookie: sid=abc\r\n"
            "Host: 127.0.0.1:%d\r\n"
            "\r\n" % self.server.port).encode()
        self.assertEqual(received.head_raw, expected)
        self.assertEqual(received.body, b"")
        self.assertEqual(run.stdout, received.reply)

    def test_no_path_info_forwards_root_and_empty_query_adds_no_question_mark(self):
        _, received = self.forward(path_info=None, query="")
        self.assertEqual(received.request_line, "GET / HTTP/1.0")

    def test_post_of_300_kb_fed_slowly_arrives_whole(self):
        body = os.urandom(300 * 1024)
        run, received = self.forward(path_info="/upload", method="POST", body=body,
                                     pieces=6, pause=0.12)
        self.assertEqual(run.fed, len(body))
        self.assertEqual(received.method, "POST")
        self.assertEqual(received.header("Content-Length"), str(len(body)))
        self.assertEqual(received.header("Content-Type"), "application/octet-stream")
        self.assertLess(received.header_names().index("Content-Length"),
                        received.header_names().index("Content-Type"))
        self.assertEqual(len(received.body), len(body))
        self.assertEqual(received.body_sha256, hashlib.sha256(body).hexdigest())
        self.assertEqual(run.stdout, received.reply)

    def test_body_shorter_than_content_length_is_not_forwarded(self):
        run = self.request(self.gw, path_info="/upload", method="POST", body=b"x" * 400,
                           content_length=1000)
        self.assertEqual(run.stdout, CGI_ERROR_PAGE)
        self.assertEqual(self.server.connection_count(), 0)

    def test_chunked_upload_is_sent_with_the_length_read(self):
        body = os.urandom(5000)
        _, received = self.forward(path_info="/upload", method="POST", body=body,
                                   content_length=False, pieces=3, pause=0.05,
                                   env={"HTTP_TRANSFER_ENCODING": "chunked"})
        self.assertEqual(received.header("Content-Length"), "5000")
        self.assertIsNone(received.header("Transfer-Encoding"))
        self.assertEqual(received.body, body)

    def test_decoded_path_is_encoded_again_in_the_request_line(self):
        _, received = self.forward(
            path_info=b"/a b/100%/what?/#frag/caf\xc3\xa9/\x7f\x01",
            query=b"q=a b&u=\xc3\xa9&p=%41&h=#x?y")
        self.assertEqual(
            received.request_line,
            "GET /a%20b/100%25/what%3F/%23frag/caf%C3%A9/%7F%01"
            "?q=a%20b&u=%C3%A9&p=%41&h=#x?y HTTP/1.0")

    def test_line_breaks_in_variables_cannot_add_header_lines(self):
        _, received = self.forward(path_info="/x", env={
            "HTTP_USER_AGENT": "agent\r\nX-Injected: yes",
            "HTTP_COOKIE": "a=1\nb=2",
        })
        self.assertEqual(received.header("User-Agent"), "agent  X-Injected: yes")
        self.assertEqual(received.header("Cookie"), "a=1 b=2")
        self.assertIsNone(received.header("X-Injected"))


class RelayTest(ForwardingTest):
    def test_reply_without_content_length_of_200_kb_is_relayed_to_the_close(self):
        run, received = self.forward(path_info="/_t/bytes",
                                     query="n=204800&length=0&pieces=8&pause=0.05")
        self.assertNotIn(b"Content-Length", received.reply.split(b"\r\n\r\n")[0])
        self.assertEqual(run.stdout, received.reply)
        self.assertEqual(run.body(), pattern(204800))

    def test_odd_reply_is_relayed_byte_for_byte_up_to_its_length(self):
        body = b"\x00\r\n\r\nbody\xff\xfe\x00!"
        reply = (b"HTTP/1.1 404 Not Here\r\nX-Odd:  spaced  \r\nSet-Cookie: a=1\r\n"
                 b"set-cookie: b=2; HttpOnly\r\ncontent-length: " + str(len(body)).encode() +
                 b"\r\n\r\n" + body)
        self.server.add_raw("/odd", reply + b"BEYOND THE LENGTH")
        run, _ = self.forward(path_info="/odd")
        self.assertEqual(run.stdout, reply)

    def test_redirects_cookies_and_target_errors_pass_unchanged(self):
        for query_path, query, first_line in [
                ("/_t/redirect", "to=http://elsewhere.example/next%3Fx%3D1", b"HTTP/1.0 302 Found"),
                ("/_t/cookie", "session=xyz&theme=dark", b"HTTP/1.0 200 OK"),
                ("/_t/status", "code=500", b"HTTP/1.0 500 Internal Server Error"),
                ("/missing", "", b"HTTP/1.0 200 OK")]:
            with self.subTest(path=query_path):
                run, received = self.forward(path_info=query_path, query=query)
                self.assertEqual(run.stdout, received.reply)
                self.assertEqual(run.status_line(), first_line)
        self.assertIn(b"\r\nLocation: http://elsewhere.example/next?x=1\r\n",
                      self.server.requests[0].reply)
        self.assertIn(b"\r\nSet-Cookie: session=xyz; Path=/\r\nSet-Cookie: theme=dark; Path=/\r\n",
                      self.server.requests[1].reply)

    def test_slow_reply_in_pieces_is_relayed_whole(self):
        run, received = self.forward(path_info="/_t/bytes",
                                     query="n=50000&delay=0.3&pieces=5&pause=0.1")
        self.assertEqual(run.stdout, received.reply)
        self.assertEqual(run.body(), pattern(50000))


class ReplyEndTest(ForwardingTest):
    """The gateway must stop at the reply's end, not wait for the close."""

    def test_head_is_answered_at_the_end_of_the_header(self):
        run, received = self.forward(path_info="/_t/bytes", method="HEAD", query="n=5000&hold=8")
        self.assertEqual(received.method, "HEAD")
        self.assertIn(b"Content-Length: 5000\r\n", run.stdout)
        self.assertEqual(run.stdout, received.reply)
        self.assertTrue(run.stdout.endswith(b"\r\n\r\n"))
        self.assertLess(run.elapsed, 3.0)

    def test_204_and_304_end_at_their_header_whatever_the_length(self):
        for code in (204, 304):
            with self.subTest(code=code):
                run, received = self.forward(path_info="/_t/status",
                                             query="code=%d&declared=100&hold=8" % code)
                self.assertEqual(run.stdout, received.reply)
                self.assertLess(run.elapsed, 3.0)

    def test_content_length_ends_the_reply_while_the_target_stays_open(self):
        run, received = self.forward(path_info="/_t/bytes", query="n=1000&hold=8")
        self.assertEqual(run.stdout, received.reply)
        self.assertLess(run.elapsed, 3.0)

    def test_interim_reply_is_kept_and_the_final_one_framed(self):
        reply = (b"HTTP/1.1 100 Continue\r\n\r\n"
                 b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello")
        self.server.add_raw("/interim", reply, hold=8)
        run, _ = self.forward(path_info="/interim")
        self.assertEqual(run.stdout, reply)
        self.assertLess(run.elapsed, 3.0)


class FailedExchangeTest(ForwardingTest):
    def setUp(self):
        super().setUp()
        self.gw.write_settings(self.settings_for(self.server.port, Timeout=2, Log=1))

    def log_text(self):
        with open(self.gw.log_path, encoding="latin-1") as handle:
            return handle.read()

    def test_early_close_fails_at_once(self):
        for cut in (20, 3000):  # inside the header, inside the body
            with self.subTest(cut=cut):
                self.gw.write_settings(self.settings_for(self.server.port, Timeout=10, Log=1))
                run = self.request(self.gw, path_info="/_t/bytes", query="n=10000&cut=%d" % cut)
                self.assertEqual(run.stdout, CGI_ERROR_PAGE)
                self.assertLess(run.elapsed, 3.0)
        self.assertEqual(self.log_text().count("\tConnection closed\n"), 2)

    def test_silent_target_times_out(self):
        # Timeout=2 counts whole seconds: between one and two seconds pass.
        run = self.request(self.gw, path_info="/_t/bytes", query="n=10&delay=6")
        self.assertEqual(run.stdout, CGI_ERROR_PAGE)
        self.assertGreaterEqual(run.elapsed, 1.0)
        self.assertLess(run.elapsed, 4.0)
        self.assertIn("\tData sent\n\tTimeout\n", self.log_text())


if __name__ == "__main__":
    unittest.main()
