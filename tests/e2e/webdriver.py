"""A small W3C WebDriver client over chromedriver: just the commands the end-to-end test
uses, so the test needs nothing beyond Python's standard library and Debian's chromium."""

import base64
import json
import os
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.request

ELEMENT_KEY = "element-6066-11e4-a52e-4f735466cecf"

CHROMIUM_ARGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--window-size=1024,768",
]


class WebDriverError(RuntimeError):
    pass


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Browser:
    """Headless Chromium driven through its own chromedriver process group."""

    def __init__(self, chromedriver, chromium, port, profile_dir, log_path):
        self._log = open(log_path, "wb")
        self._session = None
        try:
            # The port was free when it was chosen; another test may have taken it since,
            # and then chromedriver ends at once. Another free port is tried then.
            for attempt in range(3):
                self._start_driver(chromedriver, port)
                try:
                    self._wait_ready(20.0)
                    break
                except WebDriverError:
                    if self._driver.poll() is None or attempt == 2:
                        raise
                    port = _free_port()
            caps = {"capabilities": {"alwaysMatch": {
                "browserName": "chrome",
                "goog:chromeOptions": {
                    "binary": chromium,
                    "args": CHROMIUM_ARGS + [f"--user-data-dir={profile_dir}"],
                },
            }}}
            self._session = self._call("POST", "/session", caps)["sessionId"]
        except BaseException:
            self.close()
            raise

    def _start_driver(self, chromedriver, port):
        self._base = f"http://127.0.0.1:{port}"
        # Its own process group, so every browser process can be ended together even when
        # the test fails half-way.
        self._driver = subprocess.Popen(
            [chromedriver, f"--port={port}", "--allowed-ips=127.0.0.1"],
            stdout=self._log, stderr=subprocess.STDOUT, start_new_session=True)

    def _wait_ready(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            if self._driver.poll() is not None:
                raise WebDriverError("chromedriver ended at start-up")
            try:
                if self._call("GET", "/status").get("ready"):
                    return
            except (OSError, WebDriverError):
                pass
            if time.monotonic() > deadline:
                raise WebDriverError("chromedriver did not become ready")
            time.sleep(0.05)  # polling a process we do not control; no event to wait on

    def _call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self._base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=30) as response:
                answer = json.load(response)
        except urllib.error.HTTPError as e:
            try:
                detail = json.load(e).get("value", {})
            except ValueError:
                detail = {}
            raise WebDriverError(f"{method} {path}: {detail.get('error')}: "
                                 f"{detail.get('message', '')[:300]}") from None
        return answer.get("value")

    def _s(self, path):
        return f"/session/{self._session}{path}"

    def get(self, url):
        self._call("POST", self._s("/url"), {"url": url})

    def current_url(self):
        return self._call("GET", self._s("/url"))

    def execute(self, script, *args):
        return self._call("POST", self._s("/execute/sync"), {"script": script, "args": list(args)})

    def find(self, css):
        return self._call("POST", self._s("/element"),
                          {"using": "css selector", "value": css})[ELEMENT_KEY]

    def type_into(self, css, text):
        element = self.find(css)
        self._call("POST", self._s(f"/element/{element}/clear"), {})
        self._call("POST", self._s(f"/element/{element}/value"), {"text": text})

    def click(self, css):
        self._call("POST", self._s(f"/element/{self.find(css)}/click"), {})

    def screenshot(self, css):
        """PNG bytes of one element as drawn."""
        return base64.b64decode(self._call("GET", self._s(f"/element/{self.find(css)}/screenshot")))

    def wait_for(self, script, timeout, what, *args):
        """Polls a script until it answers something true; returns that answer."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.execute(script, *args)
            if value:
                return value
            if time.monotonic() > deadline:
                raise WebDriverError(f"timed out waiting for {what}")
            time.sleep(0.05)  # the page has no channel to tell us; poll its state

    def close(self):
        if self._session is not None:
            try:
                self._call("DELETE", self._s(""))
            except (OSError, WebDriverError):
                pass
            self._session = None
        if self._driver.poll() is None:
            try:
                os.killpg(self._driver.pid, signal.SIGTERM)
                self._driver.wait(timeout=5)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        try:
            os.killpg(self._driver.pid, signal.SIGKILL)  # browser children left behind
        except ProcessLookupError:
            pass
        if self._driver.poll() is None:
            self._driver.wait(timeout=5)
        self._log.close()
