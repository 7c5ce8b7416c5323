"""Pages the gateway answers itself: reserved paths, refusals, failures."""

import unittest

from harness import CGI_ERROR_PAGE, FORBIDDEN_PAGE, GatewayTestCase, local_page
from target import unused_port

GOOD_PAGE = (b"<HTML><HEAD><TITLE>Target (backend) test</TITLE><HEAD><BODY><B>Good:</B> "
             b"target server reached.</BODY></HTML>")
BAD_PAGE = (b"<HTML><HEAD><TITLE>Target (backend) test</TITLE><HEAD><BODY><B>Bad:</B> "
            b"target server not reached.</BODY></HTML>")


def info_page(script, version, software, protocol, interface):
    body = ("<HTML><HEAD><TITLE>Information</TITLE></HEAD>\r\n<BODY>\r\n"
            "<H2>Product information</H2><BR>\r\n"
            "<B>Script name:</B> %s (%s)<BR>\r\n"
            "<B>Server software:</B> %s<BR>\r\n"
            "<B>Server protocol:</B> %s<BR>\r\n"
            "<B>Gateway interface:</B> %s<BR>\r\n"
            "<BR>\r\n</BODY></HTML>\r\n" % (script, version, software, protocol, interface))
    return local_page(b"200 OK", b"text/html", body.encode())


class LocalPagesTest(GatewayTestCase):
    def setUp(self):
        super().setUp()
        self.server = self.target()
        self.gw = self.gateway(self.settings_for(self.server.port))

    def assertTargetUntouched(self):
        self.assertEqual(self.server.connection_count(), 0, "the target was contacted")


class EchoTest(LocalPagesTest):
    def test_echo_shows_the_rebuilt_request_with_the_web_servers_host(self):
        run = self.request(self.gw, path_info="/~~echo", query="a=1",
                           env={"HTTP_ACCEPT": "*/*", "HTTP_USER_AGENT": "ua"})
        text = (b"GET /~~echo?a=1 HTTP/1.0\r\nAccept: */*\r\nHost: webhost.example\r\n"
                b"User-Agent: ua\r\n\r\n")
        self.assertEqual(run.stdout, local_page(b"200 OK", b"text/plain", text))
        self.assertTargetUntouched()

    def test_echo_carries_the_body(self):
        body = b"name=value&x=1"
        run = self.request(self.gw, path_info="/~~echo", method="POST", body=body, pieces=2,
                           pause=0.05, env={"CONTENT_TYPE": "application/x-www-form-urlencoded"})
        text = (b"POST /~~echo HTTP/1.0\r\nContent-Length: 14\r\n"
                b"Content-Type: application/x-www-form-urlencoded\r\nHost: webhost.example\r\n\r\n" + body)
        self.assertEqual(run.stdout, local_page(b"200 OK", b"text/plain", text))

    def test_echo_fails_without_a_whole_request(self):
        failed = local_page(b"500 Internal Error", b"text/plain", b"Test failed")
        with self.subTest("short body"):
            run = self.request(self.gw, path_info="/~~echo", method="POST", body=b"abc",
                               content_length=10)
            self.assertEqual(run.stdout, failed)
        with self.subTest("no method"):
            run = self.request(self.gw, path_info="/~~echo", env={"REQUEST_METHOD": None})
            self.assertEqual(run.stdout, failed)

    def test_near_misses_of_reserved_paths_are_forwarded(self):
        for path in ("/~~ECHO", "/~~echo/x", "/~~info ", "/x/~~target"):
            with self.subTest(path=path):
                run = self.request(self.gw, path_info=path)
                self.assertEqual(self.server.last_request().path, path.replace(" ", "%20"))
                self.assertEqual(run.stdout, self.server.last_request().reply)


class InfoTest(LocalPagesTest):
    def test_info_names_script_version_and_web_server(self):
        run = self.request(self.gw, path_info="/~~info")
        self.assertEqual(run.stdout, info_page("/cgi-bin/nph-gw", "1.0.0", "Apache/2.4.57 (Debian)",
                                               "HTTP/1.1", "CGI/1.1"))
        self.assertTargetUntouched()

    def test_info_escapes_values_and_marks_missing_ones(self):
        run = self.request(self.gw, path_info="/~~info", env={
            "SERVER_SOFTWARE": '<script>"a&b"</script>', "GATEWAY_INTERFACE": None})
        self.assertEqual(run.stdout, info_page(
            "/cgi-bin/nph-gw", "1.0.0", "&lt;script&gt;&quot;a&amp;b&quot;&lt;/script&gt;",
            "HTTP/1.1", "n/a"))

    def test_info_page_stays_bounded_with_huge_values(self):
        run = self.request(self.gw, path_info="/~~info", env={
            "SCRIPT_NAME": "/" + "s" * 6000, "SERVER_SOFTWARE": "<" * 6000})
        self.assertEqual(run.status_line(), b"HTTP/1.0 200 OK")
        self.assertTrue(run.stdout.endswith(b"</BODY></HTML>\r\n"))
        declared = int(run.stdout.split(b"Content-length: ")[1].split(b"\r\n")[0])
        self.assertEqual(declared, len(run.body()))


class TargetProbeTest(LocalPagesTest):
    def test_probe_of_a_live_target_is_good_and_hides_its_reply(self):
        run = self.request(self.gw, path_info="/~~target", method="POST", body=b"ignored",
                           query="q=1", env={"HTTP_USER_AGENT": "ua"})
        self.assertEqual(run.stdout, local_page(b"200 OK", b"text/html", GOOD_PAGE))
        received = self.server.last_request()
        self.assertEqual(received.head_raw, b"GET / HTTP/1.0\r\nUser-Agent: ua\r\nHost: 127.0.0.1:%d\r\n\r\n"
                         % self.server.port)

    def test_probe_of_a_target_that_is_down_is_bad(self):
        gw = self.gateway(self.settings_for(unused_port()))
        run = self.request(gw, path_info="/~~target")
        self.assertEqual(run.stdout, local_page(b"200 OK", b"text/html", BAD_PAGE))


class RefusalTest(LocalPagesTest):
    def test_forbidden_prefix_refuses_regardless_of_case(self):
        self.gw.write_settings(self.settings_for(self.server.port, Forbidden="/admin"))
        for path, body in (("/Admin/x", None), ("/ADMIN", b"p" * 200000)):
            with self.subTest(path=path):
                run = self.request(self.gw, path_info=path, method="POST" if body else "GET",
                                   body=body)
                self.assertEqual(run.stdout, FORBIDDEN_PAGE)
        self.assertTargetUntouched()
        # The entry must stand at the start of the path.
        self.request(self.gw, path_info="/public/admin")
        self.assertEqual(self.server.last_request().path, "/public/admin")

    def test_allowed_list_limits_what_is_forwarded(self):
        self.gw.write_settings(self.settings_for(self.server.port, Allowed="/public,/shop"))
        self.assertEqual(self.request(self.gw, path_info="/private/a").stdout, FORBIDDEN_PAGE)
        self.assertTargetUntouched()
        self.request(self.gw, path_info="/Shop/list")
        self.assertEqual(self.server.last_request().path, "/Shop/list")

    def test_lists_test_the_decoded_path(self):
        self.gw.write_settings(self.settings_for(self.server.port, Forbidden="/secret files"))
        self.assertEqual(self.request(self.gw, path_info="/Secret Files/x").stdout, FORBIDDEN_PAGE)
        self.assertTargetUntouched()

    def test_empty_path_is_refused_by_the_default_list(self):
        self.assertEqual(self.request(self.gw, path_info="").stdout, FORBIDDEN_PAGE)
        self.assertTargetUntouched()

    def test_reserved_paths_are_served_even_when_the_lists_refuse_all(self):
        self.gw.write_settings(self.settings_for(self.server.port, Allowed="/none", Forbidden="/"))
        self.assertEqual(self.request(self.gw, path_info="/~~echo").status_line(), b"HTTP/1.0 200 OK")
        self.assertEqual(self.request(self.gw, path_info="/~~info").status_line(), b"HTTP/1.0 200 OK")
        run = self.request(self.gw, path_info="/~~target")
        self.assertEqual(run.stdout, local_page(b"200 OK", b"text/html", GOOD_PAGE))


class TargetDownTest(GatewayTestCase):
    def test_target_down_gives_the_cgi_error_page(self):
        gw = self.gateway(self.settings_for(unused_port()))
        run = self.request(gw, path_info="/shop", query="x=1")
        self.assertEqual(run.stdout, CGI_ERROR_PAGE)
        self.assertLess(run.elapsed, 3.0)


if __name__ == "__main__":
    unittest.main()
