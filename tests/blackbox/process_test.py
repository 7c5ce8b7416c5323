# What the program does as a process: where it finds its settings and log, the
# pipes a web server gives it, and the connection it opens to the target.

import hashlib
import os
import unittest

from harness import REPLY, MiB, RUNNER, WINDOWS, GatewayCase

# A request smuggled in a GET's body: a target that keeps the connection open
# and answers the GET without reading its body would run it next.
SMUGGLED = b"POST /admin/users/delete?id=1 HTTP/1.1\r\nHost: target\r\nContent-Length: 0\r\n\r\n"
BROWSER_HOP_HEADERS = {"HTTP_CONNECTION": "keep-alive", "HTTP_KEEP_ALIVE": "300",
                       "HTTP_TE": "trailers", "HTTP_UPGRADE": "websocket",
                       "HTTP_X_REQUESTED_WITH": "fetch"}


class ProgramFilesTest(GatewayCase):
    def test_settings_and_log_are_found_beside_the_program_as_started(self):
        target = self.target()
        dotted = os.path.join(self.scratch, "example.com", "cgi-bin")
        cases = [  # case, program name, folder, a link?, how it is started
            ("renamed copy", "nph-shop", None, False, {}),
            ("link to the program", "nph-shop", None, True, {}),
            ("dot in a folder name", "nph-gw", dotted, False, {}),
            ("relative name", "nph-gw", None, False, {"argv0": "./nph-gw"}),
            ("bare name, as found on PATH", "nph-gw", None, False, {"argv0": "nph-gw"}),
            ("words on the command line", "nph-gw", None, False, {"args": ["--help", "TargetPort=1"]}),
        ]
        for index, (case, name, folder, link, start) in enumerate(cases):
            if (link and WINDOWS) or ("argv0" in start and RUNNER):
                continue
            with self.subTest(case):
                folder = folder or os.path.join(self.scratch, str(index))
                gateway = self.gateway(target, folder=folder, name=name, link=link, Log=1)
                # Files a wrong reading of the path would find instead.
                for decoy in (os.path.join(folder, "nph-gw.ini"), os.path.join(self.scratch, "example.ini")):
                    if decoy != gateway.ini:
                        gateway.write({"TargetPort": 1, "Forbidden": "/"}, path=decoy)
                logs = []
                for _ in range(2):
                    run = self.run_gateway(gateway, path="/shop", **start)
                    self.assertEqual(run.out, REPLY)
                    with open(gateway.log, "rb") as log:
                        logs.append(log.read())
                self.assertTrue(logs[1].startswith(logs[0]) and len(logs[1]) > len(logs[0]),
                                "each run appends to the log")


class PipesTest(GatewayCase):
    def test_web_server_that_closes_standard_output_early(self):
        # Written to a pipe nobody reads any more: no signal ends the program.
        held = self.target(reply=5 * MiB)
        # Streamed: the program stops once the browser is gone, without
        # waiting for the rest of a reply the target is slow to send.
        streamed = self.target(reply=8 * MiB, stall_after=4 * MiB, stall=30)
        for streaming, target, path, read in [(0, held, "/big", 0), (0, held, "/big", 70000),
                                              (0, held, "/~~info", 0), (0, held, "/~~echo", 0),
                                              (1, streamed, "/big", 0), (1, streamed, "/big", MiB)]:
            with self.subTest(streaming=streaming, path=path, read=read):
                gateway = self.gateway(target, Streaming=streaming)
                run = self.run_gateway(gateway, limit=3, path=path, read=read)
                self.assertEqual(run.length, read)

    def test_body_is_read_from_the_pipe_as_it_comes(self):
        body = os.urandom(3 * MiB + 17)
        chunked = {"CONTENT_LENGTH": None, "HTTP_TRANSFER_ENCODING": "chunked"}
        for streaming in (0, 1):
            for case, env in (("with its length", {}), ("dechunked by the web server", chunked)):
                with self.subTest(case, streaming=streaming):
                    target = self.target()
                    gateway = self.gateway(target, Streaming=streaming)
                    run = self.run_gateway(gateway, path="/upload", method="PUT", body=body, env=env,
                                           pause=0.05)
                    self.assertTrue(run.out.startswith(b"HTTP/1.0 200 OK\r\n"))
                    [(head, length, sha)] = target.settle()
                    self.assertIn(b"\r\nContent-Length: %d\r\n" % len(body), head)
                    self.assertEqual((length, sha), (len(body), hashlib.sha256(body).hexdigest()))

    def test_body_left_unread_is_still_taken_from_the_pipe(self):
        # Where input and output are one socket (mod_cgid), exiting with input
        # unread resets the connection before the web server reads the reply.
        target = self.target()
        gateway = self.gateway(target, Forbidden="/no")
        for path, status in (("/no", b"403"), ("/~~info", b"200"), ("/~~target", b"200")):
            with self.subTest(path=path):
                run = self.run_gateway(gateway, path=path, method="POST", body=MiB)
                self.assertTrue(run.out.startswith(b"HTTP/1.0 " + status))
                self.assertEqual(run.fed, MiB)

    def test_body_that_ends_before_its_length(self):
        target = self.target()
        for streaming in (0, 1):
            with self.subTest(streaming=streaming):
                gateway = self.gateway(target, Streaming=streaming)
                run = self.run_gateway(gateway, path="/upload", method="POST", body=b"x" * 1000,
                                       env={"CONTENT_LENGTH": "100000"})
                self.assertTrue(run.out.startswith(b"HTTP/1.0 500 "))


class TargetConnectionTest(GatewayCase):
    def test_a_body_never_becomes_a_second_request(self):
        for other_headers in (0, 1):
            for streaming in (0, 1):
                with self.subTest(ForwardOtherHeaders=other_headers, Streaming=streaming):
                    target = self.target(reply=b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
                                         read_body=False, keep_open=True)
                    gateway = self.gateway(target, ForwardOtherHeaders=other_headers, Streaming=streaming)
                    self.run_gateway(gateway, path="/public", body=SMUGGLED, env=BROWSER_HOP_HEADERS)
                    heads = [head.lower() for head, _, _ in target.settle()]
                    self.assertEqual(len(heads), 1, "requests the target ran")
                    for name in (b"connection:", b"keep-alive:", b"te:", b"upgrade:"):
                        self.assertNotIn(b"\r\n" + name, heads[0])
                    # The process's own environment, listed: the last variable too.
                    self.assertEqual(b"\r\nx-requested-with: fetch" in heads[0], bool(other_headers))

    def test_target_that_drops_the_connection_while_a_big_body_is_sent(self):
        for streaming in (0, 1):
            for case, reset in (("closes", False), ("resets", True)):
                with self.subTest(case, streaming=streaming):
                    target = self.target(reply=None, read_body=False, reset=reset)
                    gateway = self.gateway(target, Streaming=streaming)
                    run = self.run_gateway(gateway, limit=3, path="/upload", method="POST", body=32 * MiB)
                    self.assertTrue(run.out.startswith(b"HTTP/1.0 500 "))


if __name__ == "__main__":
    unittest.main()
