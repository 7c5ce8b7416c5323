"""Settings files and log paths that are odd, huge or out of reach: the
gateway still answers, with its defaults where the file cannot be used."""

import os
import random
import unittest

from fault_harness import FaultTarget, FaultTestCase, run_as_other_user

REPLY = b"HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\nthrough"


class SettingsFaultTest(FaultTestCase):
    def setUp(self):
        super().setUp()

        def behaviour(conn, target):
            target.read_request(conn)
            target.send(conn, REPLY)
        self.target = FaultTarget(behaviour)
        self.addCleanup(self.target.stop)
        self.gw = self.install()
        self.info = self.gw.run_fault(path_info="/~~info").stdout
        self.assertTrue(self.info.startswith(b"HTTP/1.0 200 OK\r\n"))

    def write_raw(self, data):
        with open(self.gw.settings_path, "wb") as handle:
            handle.write(data)

    def tail(self, **more):
        """Settings lines that point at the target and turn the log on."""
        settings = self.settings_for(self.target.port, **more)
        return ("\n[Forward]\n" + "".join("%s=%s\n" % item for item in settings.items())).encode()

    def assertSettingsRead(self):
        self.check(self.gw, [REPLY], path_info="/read")
        self.assertIn("\tConnected\n", self.read_log(self.gw))

    def assertDefaultsUsed(self):
        # The information page needs no target; the log stays off by default.
        self.check(self.gw, [self.info], path_info="/~~info")
        self.assertFalse(os.path.lexists(self.gw.log_path), "the log is off by default")

    def test_empty_file(self):
        self.write_raw(b"")
        self.assertDefaultsUsed()

    def test_binary_file(self):
        rng = random.Random(6)
        noise = bytes(rng.randrange(256) for _ in range(64 * 1024))
        with self.subTest("noise only"):
            self.write_raw(noise)
            self.assertDefaultsUsed()
        with self.subTest("noise, then the section"):
            self.write_raw(noise + self.tail())
            self.assertSettingsRead()

    def test_file_of_one_megabyte(self):
        tail = self.tail()
        filler = b"; " + b"f" * 98 + b"\n"
        body = filler * (((1 << 20) - len(tail)) // len(filler))
        body += b"#" * ((1 << 20) - len(tail) - len(body) - 1) + b"\n"
        with self.subTest("exactly 1 MB is read"):
            self.write_raw(body + tail)
            self.assertEqual(os.path.getsize(self.gw.settings_path), 1 << 20)
            self.assertSettingsRead()
        os.remove(self.gw.log_path)
        with self.subTest("one byte more is refused"):
            self.write_raw(b"\n" + body + tail)
            self.assertDefaultsUsed()

    def test_ten_thousand_keys(self):
        keys = "".join("Key%05d=value %d\n" % (i, i) for i in range(10000)).encode()
        self.write_raw(b"[Forward]\n" + keys + self.tail()[len(b"\n[Forward]\n"):])
        run = self.check(self.gw, [REPLY], path_info="/many")
        self.assertLess(run.elapsed, 2.0)

    def test_file_that_cannot_be_read(self):
        cases = {
            "a folder": lambda path: os.mkdir(path),
            "a link to itself": lambda path: os.symlink(os.path.basename(path), path),
            "a link to nothing": lambda path: os.symlink("missing/nph-gw.ini", path),
            "a named pipe nobody writes": lambda path: os.mkfifo(path),
        }
        for name, make in cases.items():
            with self.subTest(name):
                make(self.gw.settings_path)
                try:
                    self.assertDefaultsUsed()
                finally:
                    if os.path.isdir(self.gw.settings_path) and not os.path.islink(self.gw.settings_path):
                        os.rmdir(self.gw.settings_path)
                    else:
                        os.remove(self.gw.settings_path)

    def test_file_without_read_permission(self):
        # Root reads every file whatever its mode, so the program runs as
        # another user for this one.
        user = run_as_other_user()
        if os.geteuid() == 0 and user is None:
            self.skipTest("no other user to run as")
        os.chmod(self.scratch, 0o777)
        self.write_raw(self.tail())
        with self.subTest("readable: the control case"):
            os.chmod(self.gw.settings_path, 0o644)
            self.check(self.gw, [REPLY], path_info="/read", user=user)
            self.assertIn("\tConnected\n", self.read_log(self.gw))
            os.remove(self.gw.log_path)
        with self.subTest("mode 000"):
            os.chmod(self.gw.settings_path, 0o000)
            self.check(self.gw, [self.info], path_info="/~~info", user=user)
            self.assertFalse(os.path.lexists(self.gw.log_path))


class LogPathFaultTest(FaultTestCase):
    def setUp(self):
        super().setUp()

        def behaviour(conn, target):
            target.read_request(conn)
            target.send(conn, REPLY)
        self.target = FaultTarget(behaviour)
        self.addCleanup(self.target.stop)
        self.gw = self.install(self.settings_for(self.target.port))

    def test_log_that_cannot_be_written(self):
        cases = {
            "a folder": lambda path: os.mkdir(path),
            "a link into a missing folder": lambda path: os.symlink("missing/log.txt", path),
            "a link to a full device": lambda path: os.symlink("/dev/full", path),
        }
        for name, make in cases.items():
            with self.subTest(name):
                make(self.gw.log_path)
                try:
                    self.check(self.gw, [REPLY], path_info="/logged")
                finally:
                    if os.path.isdir(self.gw.log_path) and not os.path.islink(self.gw.log_path):
                        os.rmdir(self.gw.log_path)
                    else:
                        os.remove(self.gw.log_path)

    # A named pipe in the log's place that no one reads must not keep the
    # gateway waiting: only a regular file is taken as the log.
    def test_log_that_is_a_named_pipe_nobody_reads(self):
        os.mkfifo(self.gw.log_path)
        self.check(self.gw, [REPLY], path_info="/logged")

    def test_log_in_a_folder_the_program_cannot_write(self):
        user = run_as_other_user()
        if user is None:
            self.skipTest("needs root, to run as another user")
        os.chmod(self.scratch, 0o755)
        self.check(self.gw, [REPLY], path_info="/logged", user=user)
        self.assertFalse(os.path.lexists(self.gw.log_path))


if __name__ == "__main__":
    unittest.main()
