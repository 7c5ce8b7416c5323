# What the program does as a process: where it finds its settings and log, the
# pipes a web server gives it, and the connection it opens to the target.

import hashlib
import os

from harness import CHUNKED, REPLY, MiB, RUNNER, WINDOWS, GatewayCase

# A request smuggled in a GET's body: a target that keeps the connection open
# and answers the GET without reading its body would run it next.
SMUGGLED = b"POST /admin/users/delete?id=1 HTTP/1.1\r\nHost: target\r\nContent-Length: 0\r\n\r\n"
# A browser's hop-by-hop headers, and one the program finds only by listing
# its environment.
BROWSER_HEADERS = {"HTTP_CONNECTION": "keep-alive", "HTTP_KEEP_ALIVE": "300", "HTTP_TE": "trailers",
                   "HTTP_UPGRADE": "websocket", "HTTP_X_REQUESTED_WITH": "fetch"}
# Text beyond ASCII as a web server hands it over, and what the target gets
# (bytes; None: nothing is sent) on Linux and on Windows. Apache passes the
# request's bytes; IIS decodes them from UTF-8 where they are UTF-8, else
# through the system's code page (the harness does that for it), and the
# Windows program sends what it got as UTF-8. A lone surrogate, which only a
# Windows environment can hold, becomes U+FFFD. "-": not on that system.
BEYOND_ASCII = [  # variable, value, Linux, Windows where it differs
    ("PATH_INFO", "/caf\xe9/\u4e2d/\U0001f642", b"GET /caf%C3%A9/%E4%B8%AD/%F0%9F%99%82 HTTP/1.0"),
    ("PATH_INFO", "/caf\udce9", b"GET /caf%E9 HTTP/1.0", b"GET /caf%C3%A9 HTTP/1.0"),
    ("QUERY_STRING", "q=\u0436", b"GET /?q=%D0%B6 HTTP/1.0"),
    ("HTTP_USER_AGENT", "Zo\xeb \u4e2d", "Zo\xeb \u4e2d".encode()),
    ("HTTP_USER_AGENT", "caf\udce9", b"caf\xe9", b"caf\xc3\xa9"),
    ("HTTP_USER_AGENT", "a\ud800b", "-", b"a\xef\xbf\xbdb"),
    ("REQUEST_METHOD", "G\xc9T", None),  # no HTTP token: the 500 page
]


class ProgramFilesTest(GatewayCase):
    def test_settings_and_log_are_found_beside_the_program_as_started(self):
        # A wrong reading of the path finds no settings: no log, and the
        # default target instead of this one.
        target = self.target()
        cases = [  # case, program name, folder, a link?, how it is started
            ("renamed copy", "nph-shop", "copy", False, {}),
            ("link to the program", "nph-shop", "link", True, {}),
            ("dot in a folder name", "nph-gw", "example.com/cgi-bin", False, {}),
            ("folder named beyond any one code page", "nph-gw", "\u043f\u0430\u043f\u043a\u0430-\u4e2d", False, {}),
            ("relative name", "nph-gw", "relative", False, {"argv0": "./nph-gw"}),
            ("bare name, as found on PATH", "nph-gw", "bare", False, {"argv0": "nph-gw"}),
            ("words on the command line", "nph-gw", "words", False, {"args": ["--help", "TargetPort=1"]}),
        ]
        for case, name, folder, link, start in cases:
            if (link and WINDOWS) or ("argv0" in start and RUNNER):
                continue
            with self.subTest(case):
                program = self.gateway(target, os.path.join(self.scratch, folder), name, link, Log=1)
                logs = []
                for _ in range(2):
                    self.assertEqual(self.run_gateway(program, path="/shop", **start).out, REPLY)
                    with open(program + ".txt", "rb") as log:
                        logs.append(log.read())
                    if not WINDOWS:
                        self.assertEqual(os.stat(program + ".txt").st_mode & 0o777, 0o600)
                self.assertTrue(logs[1].startswith(logs[0]) and len(logs[1]) > len(logs[0]),
                                "each run appends to the log")

    def test_settings_or_log_file_that_is_no_regular_file(self):
        # Opened as a file is, a named pipe nobody writes or reads holds the
        # program for ever.
        cases = [("folder", os.mkdir)] + ([] if WINDOWS else [("named pipe", os.mkfifo)])
        for kind in (".ini", ".txt"):
            for case, make in cases:
                with self.subTest(case, file=kind):
                    program = self.gateway(folder=os.path.join(self.scratch, kind + case), Log=1)
                    if kind == ".ini":
                        os.remove(program + kind)
                    make(program + kind)
                    run = self.run_gateway(program, path="/~~info")
                    self.assertTrue(run.out.startswith(b"HTTP/1.0 200 OK\r\n"))

    def test_files_of_its_own_that_are_links_are_not_used(self):
        # A link planted by another account that may write the folder must not
        # make the program write or create a file where it points.
        if WINDOWS:
            self.skipTest("links are made by POSIX calls here")
        own = (".txt", ".start.log", ".lock")
        for kind in own:
            with self.subTest(file=kind):
                folder = os.path.join(self.scratch, "links" + kind)
                program = self.gateway(folder=folder, Log=1, StartCommand="exit 3",
                                       TargetSocket=os.path.join(folder, "app.sock"))
                for name in own:
                    open(program + name, "w").close()
                os.remove(program + kind)
                elsewhere = os.path.join(self.scratch, "elsewhere" + kind)
                os.symlink(elsewhere, program + kind)
                self.assertTrue(self.run_gateway(program).out.startswith(b"HTTP/1.0 500 "))
                self.assertFalse(os.path.lexists(elsewhere))
                with open(program + ".txt" if kind != ".txt" else os.devnull, "rb") as log:
                    self.assertEqual(kind != ".txt", b"\tFile is a link, not used: %s%s\n" % (
                        program.encode(), kind.encode()) in log.read())


class PipesTest(GatewayCase):
    def test_web_server_that_closes_standard_output_early(self):
        # Written to a pipe nobody reads any more: no signal ends the program.
        held = self.target(reply=5 * MiB)
        # Streamed: the program stops once the browser is gone, without
        # waiting for the rest of a reply the target is slow to send.
        streamed = self.target(reply=8 * MiB, stall=(5, 30))
        for streaming, target, path, read in [(0, held, "/big", 0), (0, held, "/big", 70000),
                                              (0, held, "/~~info", 0), (0, held, "/~~echo", 0),
                                              (1, streamed, "/big", 0), (1, streamed, "/big", MiB)]:
            with self.subTest(streaming=streaming, path=path, read=read):
                program = self.gateway(target, Streaming=streaming)
                self.assertEqual(self.run_gateway(program, limit=3, path=path, read=read).length, read)

    def test_body_is_read_from_the_pipe_as_it_comes(self):
        body = os.urandom(3 * MiB + 17)
        cases = [("with its length", {}, b"200"), ("dechunked by the web server", CHUNKED, b"200"),
                 ("ending before its length", {"CONTENT_LENGTH": str(len(body) + 1)}, b"500")]
        for streaming in (0, 1):
            for case, env, status in cases:
                with self.subTest(case, streaming=streaming):
                    target = self.target()
                    run = self.run_gateway(self.gateway(target, Streaming=streaming), path="/upload",
                                           method="PUT", body=body, env=env, pause=0.02)
                    self.assertTrue(run.out.startswith(b"HTTP/1.0 " + status))
                    if status == b"200":
                        [(_, length, sha)] = target.stop()
                        self.assertEqual((length, sha), (len(body), hashlib.sha256(body).hexdigest()))

    def test_body_left_unread_is_still_taken_from_the_pipe(self):
        # Where input and output are one socket (mod_cgid), exiting with input
        # unread resets the connection before the web server reads the reply.
        program = self.gateway(self.target(), Forbidden="/no")
        for path, status in (("/no", b"403"), ("/~~info", b"200"), ("/~~target", b"200")):
            with self.subTest(path=path):
                run = self.run_gateway(program, path=path, method="POST", body=MiB)
                self.assertTrue(run.out.startswith(b"HTTP/1.0 " + status))
                self.assertEqual(run.fed, MiB)


class TargetConnectionTest(GatewayCase):
    def test_a_body_never_becomes_a_second_request(self):
        for other_headers in (0, 1):
            for streaming in (0, 1):
                with self.subTest(ForwardOtherHeaders=other_headers, Streaming=streaming):
                    target = self.target(reply=b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
                                         read_body=False)
                    program = self.gateway(target, ForwardOtherHeaders=other_headers, Streaming=streaming)
                    self.run_gateway(program, path="/public", body=SMUGGLED, env=BROWSER_HEADERS)
                    requests = target.stop()
                    self.assertEqual(len(requests), 1, "requests the target ran")
                    fields = requests[0][0]
                    for name in ("Connection", "Keep-Alive", "TE", "Upgrade"):
                        self.assertNotIn(name, fields)
                    # The process's own environment, listed: the last variable too.
                    self.assertEqual(fields.get("X-Requested-With"), "fetch" if other_headers else None)

    def test_text_beyond_ascii_reaches_the_target_as_utf8(self):
        target = self.target()
        program = self.gateway(target)
        for variable, value, *sent in BEYOND_ASCII:
            sent = sent[-1] if WINDOWS else sent[0]
            if sent == "-":
                continue
            with self.subTest(variable, value=value):
                del target.lines[:], target.requests[:]
                run = self.run_gateway(program, env={variable: value})
                self.assertTrue(run.out.startswith(b"HTTP/1.0 500 " if sent is None else REPLY))
                got = (target.lines if variable != "HTTP_USER_AGENT" else
                       [fields["User-Agent"] for fields, _, _ in target.requests])
                self.assertEqual([text.encode("latin-1") for text in got], [] if sent is None else [sent])

    def test_target_that_drops_the_connection_while_a_big_body_is_sent(self):
        # Closed with the body unread, the connection ends with a reset.
        target = self.target(reply=None, read_body=False)
        for streaming in (0, 1):
            with self.subTest(streaming=streaming):
                run = self.run_gateway(self.gateway(target, Streaming=streaming), limit=3, path="/upload",
                                       method="POST", body=32 * MiB)
                self.assertTrue(run.out.startswith(b"HTTP/1.0 500 "))
