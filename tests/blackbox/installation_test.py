"""How the program finds its settings and log, and how it behaves as a process."""

import calendar
import os
import re
import time
import unittest

from harness import (CGI_ERROR_PAGE, CONNECTION_REFUSED, FORBIDDEN_PAGE, LOG_LINE_END,
                     SEND_FAILED, GatewayTestCase)
from target import unused_port

BANNER = "------------------------ LOG ------------------------"
STAMP = re.compile(r"^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                   r"\d\d \d\d:\d\d:\d\d \d{4}$")


def read_log(path):
    with open(path, "rb") as handle:
        return handle.read().replace(LOG_LINE_END, b"\n").decode("latin-1")


def records(text):
    """The log's records, each as its list of lines after the banner."""
    chunks = text.split(BANNER + "\n")
    assert chunks[0] == "", "text before the first banner: %r" % chunks[0]
    return [chunk.split("\n")[:-1] for chunk in chunks[1:]]


class LogTest(GatewayTestCase):
    def setUp(self):
        super().setUp()
        self.server = self.target()
        self.gw = self.gateway(self.settings_for(self.server.port, Log=1))

    def test_each_request_appends_one_record_beside_the_program(self):
        before = time.time()
        self.request(self.gw, path_info="/shop")
        self.request(self.gw, path_info="/~~info")
        self.request(self.gw, path_info="/~~echo")
        self.request(self.gw, path_info="/~~target")
        self.gw.write_settings(self.settings_for(unused_port(), Log=1, Forbidden="/no"))
        self.request(self.gw, path_info="/shop")
        self.request(self.gw, path_info="/~~target")
        self.request(self.gw, path_info="/no")
        after = time.time()

        self.assertEqual(os.listdir(self.scratch).count("nph-gw.txt"), 1)
        log = records(read_log(self.gw.log_path))
        refused = "Connection error: %d" % CONNECTION_REFUSED
        self.assertEqual([lines[1:] for lines in log], [
            ["\tConnected", "\tData sent", "Reply sent back to browser"],
            [],
            [],
            ["\tConnected", "\tData sent", "Reply sent back to browser"],
            [refused],
            [refused, "Reply sent back to browser"],
            [],
        ])
        for lines in log:
            self.assertRegex(lines[0], STAMP)
            stamp = calendar.timegm(time.strptime(lines[0], "%a %b %d %H:%M:%S %Y"))
            self.assertGreaterEqual(stamp, int(before) - 1)
            self.assertLessEqual(stamp, after + 1)

    def test_log_off_leaves_no_file(self):
        for value in ("0", "256"):  # the flag keeps the low 8 bits
            with self.subTest(Log=value):
                self.gw.write_settings(self.settings_for(self.server.port, Log=value))
                self.request(self.gw, path_info="/shop")
                self.assertFalse(os.path.exists(self.gw.log_path))

    def test_unwritable_log_does_not_stop_the_request(self):
        os.mkdir(self.gw.log_path)  # a folder where the file should be
        run = self.request(self.gw, path_info="/shop")
        self.assertEqual(run.stdout, self.server.last_request().reply)


class SettingsLocationTest(GatewayTestCase):
    def setUp(self):
        super().setUp()
        self.server = self.target()

    def assertForwards(self, installation, **kwargs):
        count = len(self.server.requests)
        run = self.request(installation, path_info="/where", **kwargs)
        self.assertEqual(len(self.server.wait_for_requests(count + 1)), count + 1,
                         "the request did not reach the target")
        self.assertEqual(run.stdout, self.server.last_request().reply)

    def test_a_renamed_copy_reads_its_own_settings_and_log(self):
        gw = self.gateway(self.settings_for(unused_port()))  # nph-gw.ini: a decoy
        shop = self.gateway(self.settings_for(self.server.port, Log=1), name="nph-shop")
        self.assertForwards(shop, env={"SCRIPT_NAME": "/cgi-bin/nph-shop"})
        self.assertTrue(os.path.exists(os.path.join(self.scratch, "nph-shop.txt")))
        self.assertEqual(self.request(gw, path_info="/where").stdout, CGI_ERROR_PAGE)

    def test_a_dot_in_a_folder_name_does_not_cut_the_path(self):
        site = os.path.join(self.scratch, "example.com")
        gw = self.gateway(self.settings_for(self.server.port, Log=1),
                          folder=os.path.join(site, "cgi-bin"))
        decoy = os.path.join(self.scratch, "example.ini")
        gw.write_settings(self.settings_for(unused_port(), Forbidden="/"), path=decoy)
        self.assertForwards(gw)
        self.assertTrue(os.path.exists(os.path.join(site, "cgi-bin", "nph-gw.txt")))
        self.assertFalse(os.path.exists(os.path.join(self.scratch, "example.txt")))

    def test_settings_found_whatever_name_the_program_was_started_under(self):
        gw = self.gateway(self.settings_for(self.server.port))
        for argv0 in ("./nph-gw", "nph-gw"):  # relative; bare name as found on PATH
            with self.subTest(argv0=argv0):
                self.assertForwards(gw, argv0=argv0)

    def test_a_settings_file_written_on_windows_is_read(self):
        gw = self.gateway()
        gw.write_settings("; gateway settings\r\n[forward]\r\n# the backend\r\n"
                          "targetserver = 127.0.0.1\r\nTARGETPORT=%d\r\n"
                          "Forbidden = \"/admin\"\r\n" % self.server.port)
        self.assertForwards(gw)
        self.assertEqual(self.request(gw, path_info="/admin").stdout, FORBIDDEN_PAGE)

    def test_without_settings_file_the_default_target_is_used(self):
        gw = self.gateway()
        run = self.request(gw, path_info="/~~echo")
        self.assertEqual(run.status_line(), b"HTTP/1.0 200 OK")


class ProcessTest(GatewayTestCase):
    def setUp(self):
        super().setUp()
        self.server = self.target()
        self.gw = self.gateway(self.settings_for(self.server.port))

    def test_command_line_words_change_nothing(self):
        plain_echo = self.request(self.gw, path_info="/~~echo", query="a=1").stdout
        plain_forward = self.request(self.gw, path_info="/x", query="foo").stdout
        for args in (["foo"], ["--help", "-v", "/etc/passwd", "TargetPort=1"]):
            with self.subTest(args=args):
                self.assertEqual(self.request(self.gw, path_info="/~~echo", query="a=1",
                                              args=args).stdout, plain_echo)
                self.assertEqual(self.request(self.gw, path_info="/x", query="foo",
                                              args=args).stdout, plain_forward)

    def test_a_browser_that_went_away_still_ends_in_exit_code_0(self):
        for path in ("/_t/bytes", "/~~info"):
            with self.subTest(path=path):
                self.request(self.gw, path_info=path, query="n=300000", close_stdout=True)

    def test_a_target_that_drops_the_request_still_ends_in_exit_code_0(self):
        # The target reads the head and closes while a large body is still
        # being sent to it.
        self.gw.write_settings(self.settings_for(self.server.port, Log=1))
        self.server.add_raw("/drop", b"", early_close=1)
        run = self.request(self.gw, path_info="/drop", method="POST", body=os.urandom(4 << 20))
        self.assertEqual(run.stdout, CGI_ERROR_PAGE)
        # Usually the send fails; when the system took the whole body into its
        # buffers before the reset arrived, the receive fails instead.
        self.assertRegex(read_log(self.gw.log_path),
                         r"\tConnected\n(Send error: (%d|%d)|\tData sent\n\tNetwork error)\n"
                         % SEND_FAILED)


if __name__ == "__main__":
    unittest.main()
