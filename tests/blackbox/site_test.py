# Running a site: the access log with requests served at once, and the pages
# the gateway answers with when the application is down or the site is in
# maintenance.

import collections
import concurrent.futures
import os
import re

from harness import WINDOWS, GatewayCase

# The byte 0xE9 reaches a Windows program as "é" (IIS decodes it), sent on as UTF-8.
E9 = r"\\xc3\\xa9" if WINDOWS else r"\\xe9"
LINE = re.compile(r'127\.0\.0\.1 - - \[\d\d/\w{3}/\d{4}:\d\d:\d\d:\d\d \+0000\] '
                  r'"GET /cgi-bin/nph-gw(\S+) HTTP/1\.1" (\d{3}) \d+ "-" "a \\"b\\"\\n' + E9 + r'" '
                  r'\d+ ([\w-]+)\n')


class SiteTest(GatewayCase):
    def test_twenty_requests_at_once_leave_one_whole_line_each(self):
        program = self.gateway(self.target(), AccessLog=1, Forbidden="/no")
        kinds = {"/shop": ("200", "forwarded"), "/no": ("403", "refused"),
                 "/~~echo": ("200", "echo"), "/~~info": ("200", "info")}
        paths = [list(kinds)[n % len(kinds)] for n in range(20)]

        def run(path):
            self.run_gateway(program, path=path, env={
                "REQUEST_URI": "/cgi-bin/nph-gw" + path, "HTTP_USER_AGENT": 'a "b"\n\udce9'})

        with concurrent.futures.ThreadPoolExecutor(20) as pool:
            list(pool.map(run, paths))
        with open(program + ".access.log", newline="") as log:
            lines = log.readlines()
        self.assertEqual(len(lines), 20)
        seen = [LINE.fullmatch(line) for line in lines]
        self.assertTrue(all(seen), lines)
        self.assertEqual(collections.Counter(match.groups() for match in seen),
                         collections.Counter((path,) + kinds[path] for path in paths))

    def test_own_error_page_and_maintenance(self):
        page = b"<h1>Back soon</h1>"
        program = self.gateway(GatewayStatus=1, ErrorPage="down.html", MaintenanceFile="down.now",
                               Log=1)
        folder = os.path.dirname(program)
        cases = [  # error page, maintenance, path: status line, Retry-After, body
            (page, False, "/x", b"502 Bad Gateway", False, page),
            (page, True, "/x", b"503 Service Unavailable", True, page),
            (page, True, "/~~info", b"200 OK", False, None),
            (page * 4000, False, "/x", b"502 Bad Gateway", False, b"<H2>CGI Error</H2>"),
        ]
        for body, maintenance, path, status, retry, shown in cases:
            with self.subTest(size=len(body), maintenance=maintenance, path=path):
                with open(os.path.join(folder, "down.html"), "wb") as out:
                    out.write(body)
                if maintenance:
                    open(os.path.join(folder, "down.now"), "w").close()
                elif os.path.exists(os.path.join(folder, "down.now")):
                    os.remove(os.path.join(folder, "down.now"))
                head, _, rest = self.run_gateway(program, path=path).out.partition(b"\r\n\r\n")
                self.assertTrue(head.startswith(b"HTTP/1.0 " + status), head)
                self.assertEqual(b"\r\nRetry-After: 5" in head, retry)
                if shown:
                    self.assertEqual(rest, shown)
        with open(program + ".txt") as log:
            self.assertEqual(log.read().count("\tError page not usable: "), 1)
