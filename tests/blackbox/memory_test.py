# Large transfers: every byte through, and with Streaming=1 the program's own
# peak resident memory stays small whatever the size.

import re
import unittest

from harness import MEASURABLE, MiB, GatewayCase, sha256_of

LIMIT_KIB = 16 * 1024


class MemoryTest(GatewayCase):
    def assertBounded(self, run):
        if run.peak is not None:
            self.assertLess(run.peak, LIMIT_KIB, "peak resident memory %d KiB" % run.peak)

    @unittest.skipUnless(MEASURABLE, "peak memory cannot be measured here")
    def test_256_mib_both_ways(self):
        size = 256 * MiB
        with self.subTest("download"):
            target = self.target(reply=size)
            run = self.run_gateway(self.gateway(target, Streaming=1), limit=30, path="/download",
                                   measure=True)
            target.settle()
            self.assertEqual(run.sha, target.sent[-1])
            self.assertGreater(run.length, size)
            self.assertBounded(run)
        with self.subTest("upload"):
            target = self.target()
            run = self.run_gateway(self.gateway(target, Streaming=1), limit=30, path="/upload",
                                   method="PUT", body=size, measure=True)
            [(_, length, sha)] = target.settle()
            self.assertEqual((length, sha), (size, sha256_of(size)))
            self.assertTrue(run.out.startswith(b"HTTP/1.0 200 OK\r\n"))
            self.assertBounded(run)

    def test_echo_of_a_48_mib_binary_body(self):
        size = 48 * MiB
        chunked = {"CONTENT_LENGTH": None, "HTTP_TRANSFER_ENCODING": "chunked"}
        for streaming, env in ((0, {}), (1, {}), (1, chunked)):
            with self.subTest(Streaming=streaming, chunked=bool(env)):
                gateway = self.gateway(Streaming=streaming)
                run = self.run_gateway(gateway, limit=20, path="/~~echo", method="POST", body=size,
                                       env=env, measure=MEASURABLE and streaming == 1)
                page = run.out.index(b"\r\n\r\n") + 4
                request = run.out.index(b"\r\n\r\n", page) + 4
                declared = re.search(rb"\r\ncontent-length: *(\d+)\r\n", run.out[:page], re.I)
                self.assertEqual(int(declared.group(1)), run.length - page)
                self.assertEqual(run.length - request, size)
                self.assertEqual(run.sha, sha256_of(size, run.out[:request]))
                self.assertBounded(run)


if __name__ == "__main__":
    unittest.main()
