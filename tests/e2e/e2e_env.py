"""What the end-to-end cases share: the tools they need, the gateway under
test, one target application and one nginx for the whole run, generated
files, and curl as the client."""

import glob
import hashlib
import os
import random
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import servers
from target_app import TargetApp

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
IN_CI = bool(os.environ.get("CI"))
INSTALL_HINT = "install them with scripts/install-e2e-deps.sh (as root)"

UPLOAD_SIZE = 20 * 1024 * 1024
STATIC_SIZE = 8 * 1024 * 1024


def chromium_binary():
    for name in (os.environ.get("CHROMIUM"), "chromium", "chromium-browser"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


def chromium(url, profile, *extra):
    """Runs headless Chromium on `url` with a fresh profile, in its own
    session; stopped by its PID group if it overstays. Returns the exit code,
    the standard output (the DOM with --dump-dom) and the standard error."""
    command = [chromium_binary(), "--headless", "--no-sandbox", "--disable-gpu",
               "--no-first-run", "--disable-background-networking",
               "--disable-component-update", "--disable-sync", "--disable-quic",
               "--user-data-dir=" + profile, "--virtual-time-budget=15000",
               "--window-size=1000,700"] + list(extra) + [url]
    child_env = dict(os.environ, HOME=profile, XDG_CONFIG_HOME=profile,
                     XDG_CACHE_HOME=profile)
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               cwd=profile, env=child_env, start_new_session=True)
    try:
        out, err = process.communicate(timeout=90)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
    return process.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


def gateway_binary():
    """The gateway to test: $NPH_GW (CTest sets it), else a build in the tree."""
    named = os.environ.get("NPH_GW")
    if named:
        return named if os.access(named, os.X_OK) else None
    for candidate in sorted(glob.glob(os.path.join(REPO, "build*", "nph-gw"))):
        if os.access(candidate, os.X_OK):
            return candidate
    return None


def check_tools():
    """Skips the suite where Apache is simply not installed on a developer's
    machine; anywhere else a missing piece is a failure, so CI cannot pass
    without having run."""
    if not os.access(servers.APACHE_BIN, os.X_OK):
        message = "apache2 not found at %s; %s" % (servers.APACHE_BIN, INSTALL_HINT)
        if not IN_CI:
            print("E2E SKIPPED: " + message, flush=True)
            raise unittest.SkipTest(message)
        raise RuntimeError(message)
    missing = [name for name, found in (("nginx", os.access(servers.NGINX_BIN, os.X_OK)),
                                        ("curl", shutil.which("curl")))
               if not found]
    if missing:
        raise RuntimeError("missing: %s; %s" % (", ".join(missing), INSTALL_HINT))
    if not gateway_binary():
        raise RuntimeError("no gateway binary: set NPH_GW or build it (cmake --build build)")


def write_random_file(path, size, seed):
    rng = random.Random(seed)
    digest = hashlib.sha256()
    with open(path, "wb") as out:
        left = size
        while left:
            piece = rng.randbytes(min(left, 1 << 20))
            digest.update(piece)
            out.write(piece)
            left -= len(piece)
    os.chmod(path, 0o644)
    return digest.hexdigest()


def write_pattern_file(path, size, seed, block=1 << 20):
    """A large file written quickly: one random block repeated, each copy
    stamped with its index so a lost, repeated or misplaced block still
    changes the SHA-256. Returns the SHA-256, computed while writing."""
    pattern = bytearray(random.Random(seed).randbytes(block))
    digest = hashlib.sha256()
    with open(path, "wb") as out:
        index = 0
        left = size
        while left:
            pattern[:8] = index.to_bytes(8, "big")
            piece = memoryview(pattern)[:min(left, block)]
            digest.update(piece)
            out.write(piece)
            left -= len(piece)
            index += 1
    os.chmod(path, 0o644)
    return digest.hexdigest()


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        for piece in iter(lambda: data.read(1 << 20), b""):
            digest.update(piece)
    return digest.hexdigest()


class Environment:
    """Started once for the run; both Apache configurations use it."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="nph-e2e-")
        os.chmod(self.root, 0o755)
        self.scratch = os.path.join(self.root, "scratch")
        os.makedirs(self.scratch)
        self.gateway = gateway_binary()
        self.artifacts = os.environ.get("E2E_ARTIFACTS") or os.path.join(os.getcwd(),
                                                                          "e2e-artifacts")
        os.makedirs(self.artifacts, exist_ok=True)
        self.app = None
        self.nginx = None
        try:
            self._start()
        except BaseException:
            self.close()
            raise

    def _start(self):
        self.upload = os.path.join(self.scratch, "upload.bin")
        self.upload_sha = write_random_file(self.upload, UPLOAD_SIZE, 20)
        self.app = TargetApp().start()
        self.nginx = servers.Nginx(os.path.join(self.root, "nginx"))
        os.makedirs(self.nginx.www)
        self.static_sha = write_random_file(os.path.join(self.nginx.www, "big.bin"),
                                            STATIC_SIZE, 8)
        with open(os.path.join(self.nginx.www, "small.html"), "w") as page:
            page.write("<html><body><h1>Static page from nginx</h1></body></html>\n")
        with open(os.path.join(self.nginx.www, "index.html"), "w") as page:
            page.write("<html><body><h1>nginx index</h1></body></html>\n")
        for name in os.listdir(self.nginx.www):
            os.chmod(os.path.join(self.nginx.www, name), 0o644)
        self.nginx.start()

    def gateway_settings(self):
        """The gateways each Apache gets: one script name, one .ini, one role."""
        def ini(port, *extra):
            lines = ["; written by the end-to-end tests", "[Forward]",
                     "TargetServer=127.0.0.1", "TargetPort=%d" % port, "Timeout=30"]
            return "\n".join(lines + list(extra)) + "\n"
        app, static, down = self.app.port, self.nginx.port, servers.free_port()
        return {
            "nph-gw": ini(app),
            "nph-static": ini(static).replace("TargetServer=127.0.0.1", "TargetServer=localhost"),
            "nph-slow": ini(app).replace("Timeout=30", "Timeout=2"),
            "nph-admin": ini(app, "Forbidden=/admin"),
            "nph-log": ini(app, "Log=1"),
            "nph-down": ini(down),
            # Started under the link's name, the gateway reads the link's .ini.
            "nph-linked": ("link", "nph-gw", ini(static)),
            # Without the nph- prefix Apache parses the output.
            "parsed-gw": ini(app),
        }

    def close(self):
        if self.nginx:
            self.nginx.stop()
        if self.app:
            self.app.stop()
        if not os.environ.get("E2E_KEEP"):
            shutil.rmtree(self.root, ignore_errors=True)


class Reply:
    """One response as curl received it."""

    def __init__(self, returncode, stderr, head_bytes, body, elapsed):
        self.returncode = returncode
        self.stderr = stderr
        self.elapsed = elapsed
        self.body = body
        # Interim replies (Apache's own "100 Continue") come first; keep the last.
        blocks = [b for b in head_bytes.split(b"\r\n\r\n") if b.startswith(b"HTTP/")]
        self.raw_head = (blocks[-1] + b"\r\n\r\n") if blocks else b""
        self.interim = [b.split(b"\r\n")[0].decode("latin-1") for b in blocks[:-1]]
        lines = self.raw_head.decode("latin-1").split("\r\n")
        self.status_line = lines[0]
        parts = self.status_line.split(" ", 2)
        self.status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
        self.headers = []
        for line in lines[1:]:
            if ":" in line:
                name, value = line.split(":", 1)
                self.headers.append((name, value.strip()))

    def header(self, name):
        values = self.all(name)
        return values[0] if values else None

    def all(self, name):
        return [v for n, v in self.headers if n.lower() == name.lower()]

    def __repr__(self):
        return "<Reply rc=%d %r %d body bytes>" % (self.returncode, self.status_line,
                                                  len(self.body or b""))


def curl(env, url, *args, output=None, timeout=60):
    """Runs curl; the body is kept in memory unless `output` names a file."""
    head = tempfile.NamedTemporaryFile(dir=env.scratch, delete=False)
    head.close()
    body_path = output or head.name + ".body"
    started = time.monotonic()
    done = subprocess.run(
        ["curl", "-sS", "--max-time", str(timeout), "-D", head.name, "-o", body_path]
        + list(args) + [url],
        capture_output=True, timeout=timeout + 30)
    elapsed = time.monotonic() - started
    with open(head.name, "rb") as text:
        head_bytes = text.read()
    body = None
    if output is None:
        try:
            with open(body_path, "rb") as data:
                body = data.read()
        except FileNotFoundError:
            body = b""
        if os.path.exists(body_path):
            os.unlink(body_path)
    os.unlink(head.name)
    return Reply(done.returncode, done.stderr.decode("utf-8", "replace"), head_bytes, body,
                 elapsed)
