"""Large transfers with "Streaming": bytes relayed as they flow, in bounded
memory, with the same bytes as without it."""

import hashlib
import os
import socket
import subprocess
import threading
import time
import unittest
import urllib.parse

from harness import BASE_ENVIRONMENT, CGI_ERROR_PAGE, RUNNER, GatewayTestCase
from target import pattern

MiB = 1 << 20
BLOCK = bytes(range(256)) * 4096  # 1 MiB, every byte value


def blocks(total):
    """`total` bytes of BLOCK repeated, as pieces of at most 1 MiB."""
    left = total
    while left > 0:
        piece = BLOCK if left >= len(BLOCK) else BLOCK[:left]
        yield piece
        left -= len(piece)


class BulkTarget:
    """A loopback target that makes large bodies as it sends them and hashes
    uploads as they arrive, so that neither side of a test holds them.

      /download?n=N[&framed=0][&stall_after=B&stall=S]   N bytes of BLOCK
      anything with a body                               a JSON of its length and SHA-256
    """

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.listener.settimeout(0.05)
        self.port = self.listener.getsockname()[1]
        self.stopping = threading.Event()
        self.received = []  # (request head, body length, body SHA-256)
        self.sent = []      # SHA-256 of each download's body as far as it went
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def last_sent(self, timeout=5.0):
        """The SHA-256 of the last download, once its sending has ended (the
        gateway may have read the last byte before the sender noticed)."""
        deadline = time.monotonic() + timeout
        while not self.sent and time.monotonic() < deadline:
            time.sleep(0.01)
        return self.sent[-1] if self.sent else None

    def stop(self):
        self.stopping.set()
        for thread in list(self.threads):
            thread.join(timeout=5)
        self.listener.close()

    def _accept(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            worker = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self.threads.append(worker)
            worker.start()

    def _serve(self, conn):
        with conn:
            conn.settimeout(15)
            try:
                data = b""
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                head, _, rest = data.partition(b"\r\n\r\n")
                lines = head.decode("latin-1").split("\r\n")
                headers = {k.lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
                length = int(headers.get("content-length", "0"))
                digest = hashlib.sha256(rest[:length])
                have = len(rest[:length])
                while have < length:
                    chunk = conn.recv(min(MiB, length - have))
                    if not chunk:
                        break
                    digest.update(chunk)
                    have += len(chunk)
                self.received.append((head + b"\r\n\r\n", have, digest.hexdigest()))
                path, _, query = lines[0].split(" ")[1].partition("?")
                params = dict(urllib.parse.parse_qsl(query))
                if path == "/download":
                    self._download(conn, params)
                else:
                    body = ('{"length": %d, "sha256": "%s"}' % (have, digest.hexdigest())).encode()
                    conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
            except OSError:
                pass

    def _download(self, conn, params):
        total = int(params["n"])
        head = b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
        if params.get("framed", "1") == "1":
            head += b"Content-Length: %d\r\n" % total
        conn.sendall(head + b"\r\n")
        stall_after = int(params.get("stall_after", "-1"))
        digest = hashlib.sha256()
        sent = 0
        try:
            for piece in blocks(total):
                if 0 <= stall_after < sent + len(piece) and stall_after >= sent:
                    cut = stall_after - sent
                    conn.sendall(piece[:cut])
                    digest.update(piece[:cut])
                    if self.stopping.wait(float(params.get("stall", "1"))):
                        return
                    conn.sendall(piece[cut:])
                    digest.update(piece[cut:])
                else:
                    conn.sendall(piece)
                    digest.update(piece)
                sent += len(piece)
        finally:
            self.sent.append(digest.hexdigest())


def expected_sha256(total):
    digest = hashlib.sha256()
    for piece in blocks(total):
        digest.update(piece)
    return digest.hexdigest()


TIME = "/usr/bin/time"


class Spawned:
    """The program started as a web server starts it, its output read by the
    test as it comes. With `measure`, it runs under GNU time, and `wait()`
    gives its peak resident memory (KiB) as well as the exit code. (The
    rusage of a child this process starts directly would carry this
    process's own peak: the child is made with vfork.)"""

    def __init__(self, installation, path_info, method="GET", query="", env=None, content_length=None,
                 measure=False):
        environment = dict(BASE_ENVIRONMENT, REQUEST_METHOD=method, QUERY_STRING=query, PATH_INFO=path_info)
        if content_length is not None:
            environment["CONTENT_LENGTH"] = str(content_length)
            environment["CONTENT_TYPE"] = "application/octet-stream"
        environment.update(env or {})
        command = RUNNER + [installation.program]
        self.measured = None
        if measure:
            self.measured = os.path.join(installation.folder, "peak.txt")
            command = [TIME, "-f", "%M", "-o", self.measured] + command
        self.started = time.monotonic()
        self.process = subprocess.Popen(command, cwd=installation.folder, env=environment,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def feed(self, total):
        """Writes `total` bytes of BLOCK to standard input, then closes it.
        Returns the SHA-256 of what was written."""
        digest = hashlib.sha256()
        try:
            for piece in blocks(total):
                self.process.stdin.write(piece)
                digest.update(piece)
        except (BrokenPipeError, OSError):
            pass
        finally:
            try:
                self.process.stdin.close()
            except OSError:
                pass
        return digest.hexdigest()

    def wait(self, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            pid, status, _ = os.wait4(self.process.pid, os.WNOHANG)
            if pid:
                self.process.returncode = os.waitstatus_to_exitcode(status)
                self.elapsed = time.monotonic() - self.started
                peak = None
                if self.measured:
                    with open(self.measured) as handle:
                        peak = int(handle.read().split()[-1])
                return self.process.returncode, peak
            if time.monotonic() > deadline:
                self.process.kill()
                self.process.wait()
                raise AssertionError("gateway still running after %.0f s" % timeout)
            time.sleep(0.005)

    def close(self):
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            if stream:
                try:
                    stream.close()
                except OSError:
                    pass
        if self.process.returncode is None:
            self.process.kill()
            self.process.wait()


class StreamingTestCase(GatewayTestCase):
    def setUp(self):
        super().setUp()
        self.bulk = BulkTarget()
        self.addCleanup(self.bulk.stop)

    def install(self, port=None, **settings):
        gw = self.gateway(dict(self.settings_for(port or self.bulk.port, Log=1), **settings))
        return gw

    def spawn(self, gw, *args, **kwargs):
        spawned = Spawned(gw, *args, **kwargs)
        self.addCleanup(spawned.close)
        return spawned

    def log_text(self, gw):
        with open(gw.log_path, encoding="latin-1") as handle:
            return handle.read()

    def download(self, spawned, on_first=None):
        """Reads the whole output, hashing its body; returns (head, body
        length, body SHA-256, seconds until the first body byte)."""
        head = b""
        digest = hashlib.sha256()
        length = 0
        first = None
        fd = spawned.process.stdout.fileno()
        while True:
            chunk = os.read(fd, MiB)
            if not chunk:
                break
            if b"\r\n\r\n" not in head:
                head += chunk
                if b"\r\n\r\n" not in head:
                    continue
                head, _, chunk = head.partition(b"\r\n\r\n")
                head += b"\r\n\r\n"
            if chunk and first is None:
                first = time.monotonic() - spawned.started
            digest.update(chunk)
            length += len(chunk)
        return head, length, digest.hexdigest(), first


class DownloadTest(StreamingTestCase):
    def test_50_mib_relayed_byte_for_byte_with_and_without_streaming(self):
        total = 50 * MiB
        expected = expected_sha256(total)
        for streaming in (0, 1):
            for framed in (1, 0):
                with self.subTest(streaming=streaming, framed=framed):
                    gw = self.install(Streaming=streaming)
                    spawned = self.spawn(gw, "/download", query="n=%d&framed=%d" % (total, framed))
                    head, length, sha, _ = self.download(spawned)
                    code, _ = spawned.wait()
                    self.assertEqual(code, 0)
                    self.assertEqual(spawned.process.stderr.read(), b"")
                    self.assertEqual(head.startswith(b"HTTP/1.0 200 OK\r\n"), True)
                    self.assertEqual(b"Content-Length: %d\r\n" % total in head, bool(framed))
                    self.assertEqual(length, total)
                    self.assertEqual(sha, expected)

    def test_output_flows_while_the_target_stalls(self):
        gw = self.install(STREAMING=1)  # key names ignore case
        spawned = self.spawn(gw, "/download", query="n=%d&stall_after=%d&stall=1.5" % (4 * MiB, MiB))
        _, length, sha, first = self.download(spawned)
        code, _ = spawned.wait()
        self.assertEqual((code, length, sha), (0, 4 * MiB, expected_sha256(4 * MiB)))
        self.assertLess(first, 1.0, "the first megabyte must not wait for the stall")
        self.assertGreaterEqual(spawned.elapsed, 1.5)

    def test_head_204_and_304_end_at_the_header(self):
        server = self.target()
        gw = self.gateway(self.settings_for(server.port, Streaming=1))
        run = self.request(gw, path_info="/_t/bytes", method="HEAD", query="n=5000&hold=8")
        self.assertEqual(run.stdout, server.last_request().reply)
        self.assertIn(b"Content-Length: 5000\r\n", run.stdout)
        self.assertLess(run.elapsed, 3.0)
        for code in (204, 304):
            with self.subTest(code=code):
                run = self.request(gw, path_info="/_t/status", query="code=%d&declared=100&hold=8" % code)
                self.assertEqual(run.stdout, server.last_request().reply)
                self.assertLess(run.elapsed, 3.0)

    def test_nothing_beyond_the_declared_length(self):
        server = self.target()
        reply = b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"
        server.add_raw("/over", reply + b" and more the browser must not see", hold=8)
        gw = self.gateway(self.settings_for(server.port, Streaming=1))
        run = self.request(gw, path_info="/over")
        self.assertEqual(run.stdout, reply)
        self.assertLess(run.elapsed, 3.0)


class FailureTest(StreamingTestCase):
    def setUp(self):
        super().setUp()
        self.server = self.target()
        self.gw = self.gateway(self.settings_for(self.server.port, Streaming=1, Log=1, Timeout=10))

    def test_target_down_gives_the_error_page(self):
        from target import unused_port
        self.gw.write_settings(self.settings_for(unused_port(), Streaming=1))
        run = self.request(self.gw, path_info="/a")
        self.assertEqual(run.stdout, CGI_ERROR_PAGE)

    def test_close_inside_the_header_gives_the_error_page(self):
        run = self.request(self.gw, path_info="/_t/bytes", query="n=10000&cut=20")
        self.assertEqual(run.stdout, CGI_ERROR_PAGE)
        self.assertIn("\tData sent\n\tConnection closed\n", self.log_text(self.gw))

    def test_close_inside_the_body_ends_the_response_short(self):
        run = self.request(self.gw, path_info="/_t/bytes", query="n=100000&cut=30000")
        received = self.server.last_request()
        self.assertEqual(run.stdout, received.reply)
        self.assertEqual(len(run.stdout), 30000)
        self.assertIn("Reply sent back to browser\n\tConnection closed\n", self.log_text(self.gw))

    def test_body_that_ends_early_gives_the_error_page(self):
        run = self.request(self.gw, path_info="/upload", method="POST", body=b"x" * 400,
                           content_length=100000)
        self.assertEqual(run.stdout, CGI_ERROR_PAGE)
        self.assertIn("\tConnected\n\tRequest body ended early\n", self.log_text(self.gw))

    def test_timeout_counts_from_the_last_byte(self):
        # Six pieces 0.6 s apart: three seconds in all, never a second of silence.
        query = "n=6000&pieces=6&pause=0.6"
        streamed = self.gateway(self.settings_for(self.server.port, Streaming=1, Timeout=1),
                                folder=os.path.join(self.scratch, "on"))
        run = self.request(streamed, path_info="/_t/bytes", query=query)
        self.assertEqual(run.stdout, self.server.last_request().reply)
        self.assertEqual(run.body(), pattern(6000))
        whole = self.gateway(self.settings_for(self.server.port, Streaming=0, Timeout=1),
                             folder=os.path.join(self.scratch, "off"))
        run = self.request(whole, path_info="/_t/bytes", query=query)
        self.assertEqual(run.stdout, CGI_ERROR_PAGE)

    def test_browser_that_goes_away_half_way(self):
        gw = self.install(Streaming=1)
        spawned = self.spawn(gw, "/download", query="n=%d" % (200 * MiB))
        fd = spawned.process.stdout.fileno()
        got = 0
        while got < 2 * MiB:
            chunk = os.read(fd, MiB)
            self.assertTrue(chunk, "output ended before the browser left")
            got += len(chunk)
        left = time.monotonic()
        spawned.process.stdout.close()
        code, _ = spawned.wait(timeout=10)
        self.assertEqual(code, 0)
        self.assertLess(time.monotonic() - left, 2.0, "the gateway must stop once the browser is gone")
        self.assertEqual(spawned.process.stderr.read(), b"")
        self.assertIn("\tBrowser closed\n", self.log_text(gw))


class UploadTest(StreamingTestCase):
    def test_upload_in_pieces_arrives_whole(self):
        body = os.urandom(3 * MiB)
        gw = self.install(Streaming=1)
        run = self.request(gw, path_info="/upload", method="PUT", body=body, pieces=5, pause=0.05)
        head, length, sha = self.bulk.received[-1]
        self.assertEqual((length, sha), (len(body), hashlib.sha256(body).hexdigest()))
        self.assertIn(b"\r\nContent-Length: %d\r\n" % len(body), head)
        self.assertEqual(run.body(), b'{"length": %d, "sha256": "%s"}' % (len(body), sha.encode()))

    def test_chunked_upload_is_sent_with_its_length(self):
        body = os.urandom(MiB + 17)
        gw = self.install(Streaming=1)
        self.request(gw, path_info="/upload", method="POST", body=body, content_length=False,
                     pieces=4, pause=0.02, env={"HTTP_TRANSFER_ENCODING": "chunked"})
        head, length, sha = self.bulk.received[-1]
        self.assertEqual((length, sha), (len(body), hashlib.sha256(body).hexdigest()))
        self.assertIn(b"\r\nContent-Length: %d\r\n" % len(body), head)
        self.assertNotIn(b"Transfer-Encoding", head)


@unittest.skipUnless(os.access(TIME, os.X_OK), "GNU time is not installed")
@unittest.skipIf(RUNNER, "the program runs through NPH_GW_RUNNER: GNU time would measure the runner")
class MemoryTest(StreamingTestCase):
    """The gateway's own peak resident memory stays small whatever the size."""

    LIMIT_KIB = 16 * 1024
    SIZE = 256 * MiB

    def test_256_mib_download_in_bounded_memory(self):
        gw = self.install(Streaming=1, Log=0)
        spawned = self.spawn(gw, "/download", query="n=%d" % self.SIZE, measure=True)
        _, length, sha, _ = self.download(spawned)
        code, peak = spawned.wait()
        self.assertEqual((code, length), (0, self.SIZE))
        self.assertEqual(sha, self.bulk.last_sent())
        self.assertLess(peak, self.LIMIT_KIB, "peak resident memory %d KiB" % peak)

    def test_256_mib_upload_in_bounded_memory(self):
        gw = self.install(Streaming=1, Log=0)
        spawned = self.spawn(gw, "/upload", method="PUT", content_length=self.SIZE, measure=True)
        reader = threading.Thread(target=lambda: setattr(self, "output", spawned.process.stdout.read()))
        reader.start()
        sha = spawned.feed(self.SIZE)
        code, peak = spawned.wait()
        reader.join(timeout=10)
        self.assertEqual(code, 0)
        _, length, received_sha = self.bulk.received[-1]
        self.assertEqual((length, received_sha), (self.SIZE, sha))
        self.assertTrue(self.output.startswith(b"HTTP/1.0 200 OK\r\n"), self.output[:100])
        self.assertLess(peak, self.LIMIT_KIB, "peak resident memory %d KiB" % peak)


if __name__ == "__main__":
    unittest.main()
