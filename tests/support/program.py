"""The program run headless from outside, for the tests that drive an installed copy."""

import hashlib
import os
import select
import signal
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

START_TIMEOUT = 20.0
STOP_TIMEOUT = 15.0
# The camera user and password of the starter settings.
STARTER_USER = "admin"
STARTER_DIGEST = hashlib.md5(b"orbiscope").hexdigest().upper()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def replace_once(text, old, new):
    """`text` with its one `old` replaced; an edit that misses fails loudly instead of
    leaving the test to run on something else."""
    if text.count(old) != 1:
        raise AssertionError(f"expected {old!r} once, found it {text.count(old)} times")
    return text.replace(old, new)


def starter_on_port(path, port):
    """The starter settings at `path`, serving on `port` from the test pattern."""
    with open(path, "rb") as f:
        text = f.read().decode("cp1252")
    text = replace_once(text, "<PORT>8080</PORT>", f"<PORT>{port}</PORT>")
    return replace_once(text, "<DEVICE/>", "<DEVICE>Orbiscope test pattern</DEVICE>")


def fetch(url, timeout=10, **kwargs):
    """(status, headers, body) of a GET. A picture asked for before the first frame reached
    the server (an empty JPEG, a 400 for the other routes) is asked for again until `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            with urllib.request.urlopen(url, timeout=timeout, **kwargs) as r:
                answer = r.status, r.headers, r.read()
        except urllib.error.HTTPError as e:
            answer = e.code, e.headers, e.read()
        status, headers, body = answer
        first_frame_missing = status == 400 or (headers.get("Content-Type", "").startswith("image/") and not body)
        if not first_frame_missing or time.monotonic() > deadline:
            return answer
        time.sleep(0.05)  # a frame is due within a frame time


class Program:
    """The program, headless, in its own process group, with a private runtime folder so
    that another copy on this machine does not make it a silent second instance."""

    def __init__(self, exe, args, runtime_dir):
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime_dir)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "ORBISCOPE_HOME"):
            env.pop(name, None)
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen([exe, "--headless", *args], env=env, stdout=subprocess.PIPE,
                                        stderr=self.errors, start_new_session=True)

    def wait_serving(self):
        """The base URL the program says it serves."""
        deadline = time.monotonic() + START_TIMEOUT
        out = self.process.stdout.fileno()
        said = b""
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([out], [], [], remaining)[0]:
                raise AssertionError(f"the program did not say where it serves: {self.stderr()}")
            chunk = os.read(out, 4096)
            if not chunk:
                raise AssertionError(f"the program ended at start-up ({self.process.wait()}): {self.stderr()}")
            said += chunk
            for line in said.decode("utf-8", "replace").splitlines():
                if line.startswith("Orbiscope serves "):
                    return line[len("Orbiscope serves "):].strip()

    def stderr(self):
        """What the program has written to standard error so far."""
        self.errors.seek(0)
        return self.errors.read().decode("utf-8", "replace")

    def terminate(self):
        """The exit status after SIGTERM."""
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the program did not end within {STOP_TIMEOUT:.0f} s of SIGTERM") from None

    def kill(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        self.process.stdout.close()
        self.errors.close()
