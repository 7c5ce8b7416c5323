# Settings and log files the program cannot use: it still answers, at once,
# with its defaults where the settings cannot be read.

import os
import unittest

from harness import REPLY, RUNNER, WINDOWS, GatewayCase

SPOIL = {"folder": os.mkdir, "named pipe": os.mkfifo, "unreadable": lambda path: os.chmod(path, 0)}
# Root reads a file whatever its mode: the program runs as another user then.
USER = "nobody" if os.geteuid() == 0 and not RUNNER else None


class UnusableFilesTest(GatewayCase):
    def spoiled(self, case, file_of, target=None):
        folder = os.path.join(self.scratch, case)
        gateway = self.gateway(target, folder=folder, Log=1)
        os.chmod(folder, 0o777)
        path = file_of(gateway)
        if case in ("folder", "named pipe") and os.path.exists(path):
            os.remove(path)
        if case in SPOIL:
            SPOIL[case](path)
        return gateway

    def test_settings_file(self):
        # Log=1 in a file that was read shows as a log file.
        for case in ("readable", "folder", "named pipe", "unreadable"):
            if (WINDOWS and case not in ("folder", "readable")) or (
                    case == "unreadable" and os.geteuid() == 0 and not USER):
                continue
            with self.subTest(case):
                gateway = self.spoiled(case, lambda gateway: gateway.ini)
                run = self.run_gateway(gateway, path="/~~info", user=USER)
                self.assertTrue(run.out.startswith(b"HTTP/1.0 200 OK\r\n"))
                self.assertEqual(os.path.exists(gateway.log), case == "readable")

    def test_log_file(self):
        target = self.target()
        for case in ("folder",) if WINDOWS else ("folder", "named pipe"):
            with self.subTest(case):
                gateway = self.spoiled(case, lambda gateway: gateway.log, target)
                run = self.run_gateway(gateway, path="/shop")
                self.assertEqual(run.out, REPLY)


if __name__ == "__main__":
    unittest.main()
