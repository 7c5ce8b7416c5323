# Large transfers: every byte through, and with Streaming=1 the program's own
# peak resident memory stays small whatever the size.

import re
import unittest

from harness import CHUNKED, MEASURABLE, MiB, GatewayCase, sha256_of

PEAK_KIB = 16 * 1024


class MemoryTest(GatewayCase):
    @unittest.skipUnless(MEASURABLE, "peak memory cannot be measured here")
    def test_256_mib_both_ways(self):
        size = 256 * MiB
        with self.subTest("download"):
            target = self.target(reply=size)
            run = self.run_gateway(self.gateway(target, Streaming=1), limit=30, path="/download",
                                   peak_kib=PEAK_KIB)
            target.stop()
            self.assertEqual(run.sha, target.sent)
        with self.subTest("upload"):
            target = self.target()
            run = self.run_gateway(self.gateway(target, Streaming=1), limit=30, path="/upload",
                                   method="PUT", body=size, peak_kib=PEAK_KIB)
            [(_, length, sha)] = target.stop()
            self.assertEqual((length, sha), (size, sha256_of(size)))
            self.assertTrue(run.out.startswith(b"HTTP/1.0 200 OK\r\n"))

    def test_echo_of_a_48_mib_binary_body(self):
        size = 48 * MiB
        for streaming, env in ((0, {}), (1, {}), (1, CHUNKED)):
            with self.subTest(Streaming=streaming, chunked=bool(env)):
                run = self.run_gateway(self.gateway(Streaming=streaming), limit=20, path="/~~echo",
                                       method="POST", body=size, env=env,
                                       peak_kib=PEAK_KIB if streaming else None)
                page = run.out.index(b"\r\n\r\n") + 4
                request = run.out.index(b"\r\n\r\n", page) + 4
                declared = re.search(rb"\r\ncontent-length: *(\d+)\r\n", run.out[:page], re.I)
                self.assertEqual(int(declared.group(1)), run.length - page)
                self.assertEqual(run.length - request, size)
                self.assertEqual(run.sha, sha256_of(run.out[:request], size))
