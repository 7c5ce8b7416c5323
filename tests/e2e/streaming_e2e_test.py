"""Large transfers with Streaming=1 under a real Apache httpd: a 1 GiB
download from nginx and 1 GiB uploads to the test application, each checked
by SHA-256, with the gateway's peak memory measured by /usr/bin/time; a
browser that goes away half-way; a target that stops half-way.

The gateway runs behind a wrapper script (servers.Apache.install_measured)
that leaves, per request, the gateway's peak resident memory, exit status and
run time once it has exited. Every case runs under mpm_prefork + mod_cgi and
mpm_event + mod_cgid; each 1 GiB transfer takes a few seconds on loopback.
"""

import glob
import hashlib
import json
import os
import socket
import subprocess
import tempfile
import time
import unittest

import e2e_env
import servers
from e2e_env import curl

ENV = None
LARGE = None  # (path, SHA-256) of the 1 GiB file nginx serves
LARGE_SIZE = 1 << 30
PEAK_LIMIT_KIB = 8 * 1024
# How long a gateway may take to end after its browser went away.
PROMPT_EXIT_SECONDS = 5


def setUpModule():
    global ENV, LARGE
    e2e_env.check_tools()
    if not os.access(servers.TIME_BIN, os.X_OK):
        raise RuntimeError("%s not found: install the Debian package \"time\""
                           % servers.TIME_BIN)
    ENV = e2e_env.Environment()
    started = time.monotonic()
    path = os.path.join(ENV.nginx.www, "large.bin")
    LARGE = (path, e2e_env.write_pattern_file(path, LARGE_SIZE, 1024))
    print("\n[streaming] 1 GiB file written in %.1f s" % (time.monotonic() - started), flush=True)


def tearDownModule():
    if ENV:
        ENV.close()


class StreamingFixture:
    MODE = None

    @classmethod
    def setUpClass(cls):
        cls.env = ENV
        cls.root = tempfile.mkdtemp(prefix="streaming-%s-" % cls.MODE, dir=ENV.root)
        cls.runs = os.path.join(cls.root, "runs")

        def ini(port, *extra, timeout=30, streaming=1):
            lines = ["[Forward]", "TargetServer=127.0.0.1", "TargetPort=%d" % port,
                     "Timeout=%d" % timeout, "Streaming=%d" % streaming]
            return "\n".join(lines + list(extra)) + "\n"

        def measured(name, port, *extra):
            return ("measured", os.path.join(cls.runs, name), ini(port, *extra))
        gateways = {
            "nph-download": measured("nph-download", ENV.nginx.port),
            "nph-upload": measured("nph-upload", ENV.app.port),
            "nph-cut": measured("nph-cut", ENV.nginx.port, "Log=1"),
            "nph-short": measured("nph-short", ENV.app.port, "Log=1"),
            "nph-upcut": measured("nph-upcut", ENV.app.port, "Log=1"),
            # A reply that keeps flowing for longer than Timeout, streamed and held.
            "nph-trickle": ini(ENV.app.port, timeout=1),
            "nph-trickle-held": ini(ENV.app.port, timeout=1, streaming=0),
        }
        # Apache refuses request bodies over 1 GiB by default (LimitRequestBody).
        cls.apache = servers.Apache(cls.MODE, cls.root, gateways,
                                    extra_conf="LimitRequestBody 0\n")
        try:
            cls.apache.start(ENV.gateway)
            for name in ("nph-cut", "nph-short", "nph-upcut"):
                cls.apache.allow_log_writes(name)
        except BaseException:
            cls.apache.stop()
            raise
        cls.started = time.monotonic()

    @classmethod
    def tearDownClass(cls):
        cls.apache.stop()
        print("\n[%s] streaming cases took %.1f s" % (cls.MODE, time.monotonic() - cls.started),
              flush=True)

    # Helpers -----------------------------------------------------------------

    def url(self, script, path=""):
        return self.apache.url(script, path)

    def runs_of(self, script):
        return set(glob.glob(os.path.join(self.runs, script, "run-*.txt")))

    def finished_run(self, script, before, seconds):
        """The one gateway run of `script` not in `before`, once it has ended
        (time writes its record then): (peak KiB, exit status, seconds run,
        when it was seen to end)."""
        deadline = time.monotonic() + seconds
        while True:
            new = self.runs_of(script) - before
            texts = []
            for path in new:
                with open(path) as record:
                    texts.append(record.read())
            if len(new) == 1 and texts[0].endswith("\n"):
                break
            if time.monotonic() > deadline:
                self.fail("no finished gateway run of %s within %.0f s: %r"
                          % (script, seconds, texts))
            time.sleep(0.02)
        seen_at = time.monotonic()
        # Consumed, so that a later shell with the same PID cannot hide its run.
        os.unlink(new.pop())
        # A gateway killed by a signal makes time say so on a line of its own.
        lines = texts[0].strip().split("\n")
        self.assertEqual(len(lines), 1, texts[0])
        peak, status, elapsed = lines[0].split()
        return int(peak), int(status), float(elapsed), seen_at

    def log_records(self, script):
        with open(os.path.join(self.apache.cgi_bin, script + ".txt")) as log:
            return log.read().split("------------------------ LOG ------------------------\n")[1:]

    def report(self, what, seconds, peak):
        print("\n[%s] %s: %.1f s (%.0f MiB/s), gateway peak %d KiB"
              % (self.MODE, what, seconds, LARGE_SIZE / seconds / (1 << 20), peak), flush=True)


class LargeTransferCases:

    def test_download_1gib(self):
        before = self.runs_of("nph-download")
        head = os.path.join(self.env.scratch, "download-head-%s.txt" % self.MODE)
        started = time.monotonic()
        # Hashed as it arrives: nothing of the 1 GiB is kept.
        digest = hashlib.sha256()
        received = 0
        with subprocess.Popen(["curl", "-sS", "--max-time", "120", "-D", head, "-o", "-",
                               self.url("nph-download", "/large.bin")],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE) as client:
            for piece in iter(lambda: client.stdout.read(1 << 20), b""):
                digest.update(piece)
                received += len(piece)
            error = client.stderr.read()
        self.assertEqual(client.returncode, 0, error)
        seconds = time.monotonic() - started
        with open(head, "rb") as text:
            header = text.read()
        self.assertTrue(header.startswith(b"HTTP/1.1 200 OK\r\n"), header)
        self.assertIn(b"\r\nContent-Length: %d\r\n" % LARGE_SIZE, header)
        self.assertEqual(received, LARGE_SIZE)
        self.assertEqual(digest.hexdigest(), LARGE[1])
        peak, status, _, _ = self.finished_run("nph-download", before, 10)
        self.assertEqual(status, 0)
        self.report("1 GiB download", seconds, peak)
        self.assertLessEqual(peak, PEAK_LIMIT_KIB)

    def upload(self, *framing):
        before = self.runs_of("nph-upload")
        started = time.monotonic()
        # -T streams the file (--data-binary would first read all of it into
        # curl); -X POST keeps the method of a form upload.
        reply = curl(self.env, self.url("nph-upload", "/files/sink"), "-T", LARGE[0], "-X", "POST",
                     "-H", "Content-Type: application/octet-stream", *framing, timeout=180)
        seconds = time.monotonic() - started
        self.assertEqual(reply.returncode, 0, reply.stderr)
        self.assertEqual(reply.status, 200, reply.raw_head)
        seen = json.loads(reply.body)
        self.assertEqual(seen["method"], "POST")
        self.assertEqual(seen["body_length"], LARGE_SIZE)
        self.assertEqual(seen["body_sha256"], LARGE[1])
        sent = {name.lower(): value for name, value in seen["headers"]}
        self.assertEqual(sent.get("content-length"), str(LARGE_SIZE))
        self.assertNotIn("transfer-encoding", sent)
        peak, status, _, _ = self.finished_run("nph-upload", before, 10)
        self.assertEqual(status, 0)
        return seconds, peak

    def test_upload_1gib_with_content_length(self):
        seconds, peak = self.upload()
        self.report("1 GiB upload (Content-Length)", seconds, peak)
        self.assertLessEqual(peak, PEAK_LIMIT_KIB)

    def test_upload_1gib_chunked(self):
        # Apache dechunks and gives no CONTENT_LENGTH: the gateway spools the
        # body to a temporary file to learn its length, then streams it.
        seconds, peak = self.upload("-H", "Transfer-Encoding: chunked")
        self.report("1 GiB upload (chunked)", seconds, peak)
        self.assertLessEqual(peak, PEAK_LIMIT_KIB)


class EndingCases:

    def test_browser_goes_away_half_way(self):
        before = self.runs_of("nph-cut")
        wanted = LARGE_SIZE // 2
        received = 0
        with socket.create_connection(("127.0.0.1", self.apache.port), timeout=30) as browser:
            browser.sendall(b"GET /cgi-bin/nph-cut/large.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                            b"Connection: close\r\n\r\n")
            first = b""
            while received < wanted:
                piece = browser.recv(1 << 20)
                if not piece:
                    break
                if not first:
                    first = piece
                received += len(piece)
        # Closed with unread data: the kernel resets the connection.
        closed = time.monotonic()
        self.assertTrue(first.startswith(b"HTTP/1.1 200 OK\r\n"), first[:200])
        self.assertGreaterEqual(received, wanted)
        peak, status, _, seen_at = self.finished_run("nph-cut", before, 30)
        print("\n[%s] browser gone after %d MiB: gateway ended %.2f s later, exit %d, "
              "peak %d KiB" % (self.MODE, received >> 20, seen_at - closed, status, peak),
              flush=True)
        self.assertLess(seen_at - closed, PROMPT_EXIT_SECONDS)
        self.assertEqual(status, 0)
        self.assertLessEqual(peak, PEAK_LIMIT_KIB)
        record = self.log_records("nph-cut")[-1]
        self.assertTrue(record.endswith("\tConnected\n\tData sent\nReply sent back to browser\n"
                                        "\tBrowser closed\n"), record)

    def test_browser_goes_away_during_upload(self):
        # The body ends early: nothing was relayed yet, so the gateway gives
        # up on the target (which sees a short body, never a complete one)
        # and ends promptly.
        before = self.runs_of("nph-upcut")
        mark = self.env.app.recorder.mark()
        sent = 0
        with socket.create_connection(("127.0.0.1", self.apache.port), timeout=30) as browser:
            browser.sendall(b"POST /cgi-bin/nph-upcut/files/sink HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                            b"Content-Type: application/octet-stream\r\n"
                            b"Content-Length: %d\r\n\r\n" % LARGE_SIZE)
            with open(LARGE[0], "rb") as data:
                while sent < LARGE_SIZE // 16:
                    piece = data.read(1 << 20)
                    browser.sendall(piece)
                    sent += len(piece)
        closed = time.monotonic()
        peak, status, _, seen_at = self.finished_run("nph-upcut", before, 30)
        print("\n[%s] browser gone after sending %d MiB: gateway ended %.2f s later, exit %d"
              % (self.MODE, sent >> 20, seen_at - closed, status), flush=True)
        self.assertLess(seen_at - closed, PROMPT_EXIT_SECONDS)
        self.assertEqual(status, 0)
        self.assertLessEqual(peak, PEAK_LIMIT_KIB)
        record = self.log_records("nph-upcut")[-1]
        self.assertTrue(record.endswith("\tConnected\n\tRequest body ended early\n"), record)
        deadline = time.monotonic() + 10
        while not self.env.app.recorder.since(mark) and time.monotonic() < deadline:
            time.sleep(0.05)
        seen = self.env.app.recorder.since(mark)
        self.assertEqual(len(seen), 1, seen)
        self.assertLess(seen[0]["body_length"], LARGE_SIZE)

    def test_timeout_counts_from_the_last_byte(self):
        # Eight lines, one every half second, with Timeout=1: streamed, the
        # reply keeps flowing and starts at once; held, it is cut.
        path = "/trickle?pieces=8&interval=0.5"
        done = subprocess.run(["curl", "-sS", "--max-time", "30", "-o", "-", "-w",
                               "\n%{http_code} %{time_starttransfer} %{time_total}",
                               self.url("nph-trickle", path)],
                              capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        body, _, timing = done.stdout.rpartition(b"\n")
        code, first, total = timing.decode().split()
        self.assertEqual(code, "200")
        self.assertEqual(body, b"".join(b"piece %04d\n" % n for n in range(8)))
        self.assertGreater(float(total), 3.4)
        self.assertLess(float(first), 1.0, "the reply was not relayed as it arrived")
        held = curl(self.env, self.url("nph-trickle-held", path))
        self.assertEqual(held.status, 500, held.raw_head)
        self.assertLess(held.elapsed, 3.4)

    def test_target_stops_half_way(self):
        # The header is already relayed: the browser gets a response shorter
        # than its Content-Length, never the 500 page, and the gateway still
        # exits with 0.
        before = self.runs_of("nph-short")
        reply = curl(self.env, self.url("nph-short", "/close-early?stage=body"))
        self.assertEqual(reply.returncode, 18, reply.stderr)  # curl: partial file
        self.assertEqual(reply.status, 200, reply.raw_head)
        self.assertEqual(reply.header("Content-Length"), "100000")
        self.assertEqual(reply.body, b"x" * 1000)
        self.assertLess(reply.elapsed, 5)
        _, status, _, _ = self.finished_run("nph-short", before, 10)
        self.assertEqual(status, 0)
        record = self.log_records("nph-short")[-1]
        self.assertTrue(record.endswith("Reply sent back to browser\n\tConnection closed\n"),
                        record)

    def test_replies_that_end_at_their_header(self):
        # HEAD, and a 304, declare or imply a body that never comes: the
        # streamed reply ends at the header, without waiting for Timeout.
        before = self.runs_of("nph-download")
        head = curl(self.env, self.url("nph-download", "/large.bin"), "-I")
        self.assertEqual(head.returncode, 0, head.stderr)
        self.assertEqual(head.status, 200)
        self.assertEqual(head.header("Content-Length"), str(LARGE_SIZE))
        self.assertEqual(head.body, head.raw_head)  # curl -I writes the header as output
        self.assertLess(head.elapsed, 5)
        self.assertEqual(self.finished_run("nph-download", before, 10)[1], 0)
        since = head.header("Last-Modified")
        same = curl(self.env, self.url("nph-download", "/large.bin"),
                    "-H", "If-Modified-Since: " + since)
        self.assertEqual(same.status, 304, same.raw_head)
        self.assertEqual(same.body, b"")
        self.assertLess(same.elapsed, 5)
        # A range from the middle of the file.
        part = curl(self.env, self.url("nph-download", "/large.bin"), "-r",
                    "%d-%d" % (LARGE_SIZE // 2, LARGE_SIZE // 2 + 99999))
        self.assertEqual(part.status, 206, part.raw_head)
        with open(LARGE[0], "rb") as data:
            data.seek(LARGE_SIZE // 2)
            self.assertEqual(part.body, data.read(100000))


ALL_CASES = (LargeTransferCases, EndingCases)


class PreforkCgiStreamingTest(*ALL_CASES, StreamingFixture, unittest.TestCase):
    MODE = "prefork-cgi"


class EventCgidStreamingTest(*ALL_CASES, StreamingFixture, unittest.TestCase):
    MODE = "event-cgid"


if __name__ == "__main__":
    unittest.main()
